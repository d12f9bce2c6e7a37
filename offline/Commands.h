// Registration of duv's subcommands. Each sets `status` to the exit status
// when it runs.
#pragma once

namespace CLI {
class App;
}

namespace duvoffline {
void addRunCommand(CLI::App& app, int& status);
void addInspectCommand(CLI::App& app, int& status);
void addConvertCommand(CLI::App& app, int& status);
void addSimulateCommand(CLI::App& app, int& status);

// ISMRMRD files given to `duv run` (ConvertCommand.cpp): the options, and
// the run of an input that is a measurement directory or an ISMRMRD file
// (converted into OUT/input/, then run as a directory).
struct IsmrmrdImportOptions;
struct RunOptions;
void addIsmrmrdOptions(CLI::App& command, IsmrmrdImportOptions& options);
int runDirectoryOrIsmrmrdFile(RunOptions options, IsmrmrdImportOptions ismrmrd);
}  // namespace duvoffline

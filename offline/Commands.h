// Registration of duv's subcommands. Each sets `status` to the exit status
// when it runs.
#pragma once

#include <string>

namespace CLI {
class App;
}

namespace duvoffline {
void addRunCommand(CLI::App& app, int& status);
void addInspectCommand(CLI::App& app, int& status);
void addConvertCommand(CLI::App& app, int& status);

// ISMRMRD files given to `duv run` (ConvertCommand.cpp): the options, the
// test for a file rather than a measurement directory, and the run itself
// (convert into OUT/input/, then run that directory).
struct IsmrmrdImportOptions;
struct RunOptions;
void addIsmrmrdOptions(CLI::App& command, IsmrmrdImportOptions& options);
bool isIsmrmrdFile(const std::string& input);
int runIsmrmrdMeasurement(RunOptions options, IsmrmrdImportOptions ismrmrd);
}  // namespace duvoffline

namespace duvsim {
void addSimulateCommand(CLI::App& app, int& status);
}

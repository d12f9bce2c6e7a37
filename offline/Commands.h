// Registration of duv's subcommands. Each sets `status` to the exit status
// when it runs.
#pragma once

namespace CLI {
class App;
}

namespace duvoffline {
void addRunCommand(CLI::App& app, int& status);
void addInspectCommand(CLI::App& app, int& status);
}  // namespace duvoffline

namespace duvsim {
void addSimulateCommand(CLI::App& app, int& status);
}

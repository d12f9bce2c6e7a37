// duv: the offline host. Subcommands: run, simulate, inspect, convert, version.
#include <CLI/CLI.hpp>
#include <filesystem>
#include <iostream>

#include "Commands.h"
#include "Version.h"
#include "duvhost/Pipeline.h"

namespace {

// An installed duv keeps the modules in their own directory (lib/duv, at the
// same place relative to bin/ wherever the prefix is); a build tree has them
// next to libduvhost, which the loader searches first.
void addInstalledModuleDirectory() {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (ec) return;
    const fs::path dir = (exe.parent_path() / DUV_MODULE_DIR_FROM_BIN).lexically_normal();
    if (!fs::is_directory(dir, ec)) return;
    std::vector<std::string> path = ModuleLoader::instance().searchPath();
    path.push_back(dir.string());
    ModuleLoader::instance().setSearchPath(path);
}

constexpr const char* kFooter = R"(
Exit status: 0 success; 1 a run or simulation failed; 2 bad input or usage;
130 a run ended by SIGINT or SIGTERM. `duv COMMAND --help` gives each
command's own.)";

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"duv - offline host for the Derovo2 spectroscopy and Viviv NIfTI export modules"};
    app.require_subcommand(1);
    app.set_version_flag("--version", duvoffline::versionText(), "print the version and the build's commit");
    app.footer(kFooter);
    addInstalledModuleDirectory();
    int status = 0;
    duvoffline::addRunCommand(app, status);
    duvoffline::addInspectCommand(app, status);
    duvoffline::addConvertCommand(app, status);
    duvoffline::addSimulateCommand(app, status);
    CLI::App* version = app.add_subcommand("version", "Print the version and the build's commit");
    version->footer("\nExit status: 0.");
    version->callback([] { std::cout << duvoffline::versionText() << "\n"; });
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // Usage errors exit 2 like bad input; --help and --version exit 0.
        const int code = app.exit(e);
        return code == 0 ? 0 : 2;
    } catch (const std::exception& e) {
        // The subcommands report their own failures; an exception that gets
        // this far still ends in one line and a failure status, never an abort.
        std::cerr << "duv: " << e.what() << "\n";
        return 1;
    } catch (...) {
        std::cerr << "duv: unknown exception\n";
        return 1;
    }
    return status;
}

// duv: the offline host. Subcommands: run, simulate, inspect, convert.
#include <CLI/CLI.hpp>
#include <iostream>

#include "Commands.h"

int main(int argc, char** argv) {
    CLI::App app{"duv - offline host for the Derovo2 spectroscopy and Viviv NIfTI export modules"};
    app.require_subcommand(1);
    int status = 0;
    duvoffline::addRunCommand(app, status);
    duvoffline::addInspectCommand(app, status);
    duvoffline::addConvertCommand(app, status);
    duvoffline::addSimulateCommand(app, status);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // Usage errors exit 2 like bad input; --help exits 0.
        const int code = app.exit(e);
        return code == 0 ? 0 : 2;
    }
    return status;
}

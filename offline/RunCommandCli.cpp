// Command line of `duv run`.
#include <CLI/CLI.hpp>

#include "Commands.h"
#include "RunCommand.h"

namespace duvoffline {

void addRunCommand(CLI::App& app, int& status) {
    auto options = std::make_shared<RunOptions>();
    CLI::App* run = app.add_subcommand("run", "Run a measurement (DIR/protocol.txt with readouts.bin or images.bin) "
                                              "through the module it needs and store what the stages send");
    run->add_option("DIR", options->input, "measurement directory")->required();
    run->add_option("--out", options->output, "output directory (default DIR/out)");
    run->add_option("--module", options->module, "module to compose with (default: Derovo2 for readouts, Viviv for images)");
    run->add_option("--module-path", options->modulePath, "directories holding lib<Module>.so (default: next to libduvhost.so)");
    run->add_option("--stop-after", options->stopAfter, "stop the measurement after N records");
    run->add_option("--log-level", options->logLevel, "standard error shows trace records at or above this level (3 notice, 5 error)")
        ->check(CLI::Range(1, 6));
    run->add_flag("--keep-displays", options->keepDisplays, "keep every online-display image, not only the latest of each kind");
    run->add_flag("!--no-progress", options->progress, "no progress bar");
    run->callback([options, &status] { status = runMeasurement(*options); });
}

}  // namespace duvoffline

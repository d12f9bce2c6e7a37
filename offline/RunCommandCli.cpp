// Command line of `duv run`.
#include <CLI/CLI.hpp>
#include <memory>
#include <thread>

#include "BatchRun.h"
#include "Commands.h"
#include "IsmrmrdImport.h"
#include "ModuleOutput.h"
#include "RunCommand.h"
#include "duvhost/Framework.h"

namespace duvoffline {

namespace {

constexpr const char* kRunFooter = R"(
Reads DIR/protocol.txt and DIR/readouts.bin (spectroscopy, module Derovo2) or
DIR/images.bin (export, module Viviv); docs/formats.md describes the files.
An ISMRMRD file (FILE.h5) is first converted into OUT/input/ (as duv convert
does; default OUT: FILE without extension, then _out) and then run.
Writes into OUT:
  index.html     the report page: status, spectra, maps, display images, links
  spectra/       one NIfTI-MRS file per data set (.nii) and its header (.json)
  data-sets/     with --data-sets: every data set exactly as the module sent it
                 (one file each, not conjugated) and its header (.json)
  display/       online-display images as SVG (latest_<kind>.svg)
  nifti/         the export directory of the NIfTI writer
  host/          the host's installation (SimMeasData/, temp/, work/)
  trace.log      every trace record
  module.log     what the modules printed on standard output and error; a
                 failed run's one-line reason ends with its last line, as
                 (module: LINE)
  summary.json   counts, files, statuses of every lifecycle call, wall time
An OUT that holds an earlier run is reused: duv says so, then replaces the
earlier results. A run that fails leaves no empty folders behind.
Before a spectroscopy run starts, duv counts the data sets the protocol asks
the module for (channels sent one by one x repetitions x edit steps x averages
sent one by one x slices of a 2D grid; two files each, four with --data-sets)
and their bytes (voxels x spectral points x 8). More than 1000 files per
readout of the input, or 1000 times the bytes of readouts.bin, is refused with
exit status 2, naming the protocol value that multiplies most: such a protocol
would fill the disk with empty spectra. --max-files N and --max-bytes N set
the caps to N instead.
Several DIRs: each is run by its own process into OUT/NAME (NAME: the
folder's name, or the file's without extension), -j at a time; OUT gets a
combined summary.json and index.html. Warnings about the protocol go to
standard error, one line each.
Ctrl-C (SIGINT) or SIGTERM ends the run like a stopped measurement: end of job
with the stop status, the outputs so far written, summary.json noting the
interruption; a second one ends duv at once.
Exit status: 0 success (everything the run produced was written); 1 a
lifecycle call failed (status and last error on standard error) or an output
could not be written, details in summary.json; 2 bad input or usage (nothing
written is claimed); 130 ended by SIGINT or SIGTERM. Several DIRs: 130 when
interrupted, else the highest status of the runs (a crashed run counts 1), at
least 1 when OUT/summary.json or OUT/index.html cannot be written.)";

}  // namespace

void addRunCommand(CLI::App& app, int& status) {
    auto options = std::make_shared<RunOptions>();
    auto ismrmrd = std::make_shared<IsmrmrdImportOptions>();
    auto logLevel = std::make_shared<int>(duvtrace::Error);
    CLI::App* run = app.add_subcommand("run", "Run a measurement (DIR/protocol.txt with readouts.bin or images.bin) "
                                              "through the module it needs and store what the stages send");
    run->footer(kRunFooter);
    auto inputs = std::make_shared<std::vector<std::string>>();
    auto jobs = std::make_shared<int>(int(std::max(1u, std::thread::hardware_concurrency())));
    run->add_option("DIR", *inputs, "measurement directories or ISMRMRD files")->required();
    run->add_option("--out", options->output, "output directory (default DIR/out; required for several DIRs)");
    run->add_option("-j,--jobs", *jobs, "several DIRs: runs at a time, each its own process (default: the number "
                                         "of processors)")
        ->check(CLI::PositiveNumber);
    run->add_option("--module", options->module,
                    "module to compose with (default: Derovo2 for readouts, Viviv for images)");
    run->add_option("--configurator", options->configurator,
                    "configurator of the module (default: the module's own)");
    run->add_option("--module-path", options->modulePath,
                    "directories holding lib<Module>.so, separated by ':' (default: next to libduvhost.so, then "
                    "an installation's lib/duv)")
        ->delimiter(':')
        ->allow_extra_args(false);
    run->add_option("--stop-after", options->stopAfter,
                    "stop the measurement after N records: end of job then gets a stop status instead of I_ACQ_END")
        ->check(CLI::NonNegativeNumber);
    run->add_option("--log-level", *logLevel,
                    "standard error shows trace records at or above this level (1 debug, 3 notice, 5 error; "
                    "default 5); trace.log has all of them")
        ->check(CLI::Range(1, 6));
    run->add_option("--max-files", options->maxFiles,
                    "refuse a spectroscopy run whose protocol makes more than N spectra files (default: 1000 "
                    "per readout of the input)")
        ->check(CLI::NonNegativeNumber);
    run->add_option("--max-bytes", options->maxBytes,
                    "refuse a spectroscopy run whose protocol makes more than N bytes of spectra (default: 1000 "
                    "times the size of readouts.bin)")
        ->check(CLI::NonNegativeNumber);
    run->add_flag("--keep-displays", options->keepDisplays,
                  "keep every online-display image, not only the latest of each kind");
    run->add_flag("--data-sets", options->dataSets,
                  "also write every data set exactly as the module sent it (not conjugated) into OUT/data-sets");
    run->add_flag("!--no-progress", options->progress, "no progress bar (there is none unless standard error is a terminal)");
    addIsmrmrdOptions(*run, *ismrmrd);
    run->callback([options, ismrmrd, logLevel, inputs, jobs, &status] {
        duvtrace::clearSinks();
        duvtrace::addSink(std::make_shared<DuvErrTraceSink>(*logLevel));
        if (inputs->size() > 1) {
            status = runBatch(*inputs, options->output, *jobs, *options, *ismrmrd);
            return;
        }
        options->input = inputs->front();
        status = runDirectoryOrIsmrmrdFile(*options, *ismrmrd);
    });
}

}  // namespace duvoffline

// ISMRMRD files on the command line: `duv convert FILE.h5 DIR`, and
// `duv run FILE.h5`, which converts into OUT/input/ and runs that directory.
#include <CLI/CLI.hpp>
#include <filesystem>
#include <iostream>
#include <memory>

#include "Commands.h"
#include "IsmrmrdImport.h"
#include "RunCommand.h"

namespace duvoffline {

namespace fs = std::filesystem;

namespace {

void printResult(const char* command, const IsmrmrdImportResult& r, const std::string& dir) {
    std::cout << "duv " << command << ": " << r.records << " " << (r.kind == "readouts" ? "readout" : "image")
              << (r.records == 1 ? "" : "s") << " written to " << dir << " (protocol.txt, " << r.kind << ".bin)\n";
    for (const std::string& n : r.notes) std::cout << "  " << n << "\n";
}

constexpr const char* kConvertFooter = R"(
Acquisitions become readouts.bin (for the spectroscopy module): the ISMRMRD
readout is the spectral axis, kspace_encode_step_1 the first phase-encoding
direction (and kspace_encode_step_2 the third). Images become images.bin (for
the NIfTI writer). docs/formats.md ("ISMRMRD files") gives every mapped field
and the defaults; --protocol overrides any protocol path.
Exit status: 0 success; 2 a file or record that cannot be mapped (one line
naming the acquisition or image; nothing is written).)";

}  // namespace

void addIsmrmrdOptions(CLI::App& command, IsmrmrdImportOptions& o) {
    command.add_option("--dataset", o.dataset, "HDF5 group of the measurement in an ISMRMRD file (default dataset)");
    command.add_option("--images", o.images,
                       "convert this image group of an ISMRMRD file instead of its acquisitions");
    command.add_option("--protocol", o.protocolOverrides,
                       "protocol text file whose leaves replace the mapped ones (path = value per line)");
}

int runDirectoryOrIsmrmrdFile(RunOptions options, IsmrmrdImportOptions ismrmrd) {
    std::error_code ec;
    if (!fs::is_regular_file(options.input, ec)) {
        if (!ismrmrd.images.empty() || !ismrmrd.protocolOverrides.empty() || ismrmrd.dataset != "dataset") {
            std::cerr << "duv run: --dataset, --images and --protocol apply to ISMRMRD files, not to the "
                         "measurement directory "
                      << options.input << "\n";
            return 2;
        }
        return runMeasurement(options);
    }
    ismrmrd.file = options.input;
    fs::path out = options.output;
    if (out.empty()) {
        fs::path in(options.input);
        out = in.parent_path() / (in.stem().string() + "_out");
    }
    const fs::path input = fs::absolute(out) / "input";
    try {
        printResult("run", convertIsmrmrd(ismrmrd, input.string()), input.string());
    } catch (const std::exception& e) {
        std::cerr << "duv run: " << e.what() << "\n";
        return 2;
    }
    options.input = input.string();
    options.output = out.string();
    return runMeasurement(options);
}

void addConvertCommand(CLI::App& app, int& status) {
    auto options = std::make_shared<IsmrmrdImportOptions>();
    auto dir = std::make_shared<std::string>();
    CLI::App* convert = app.add_subcommand(
        "convert", "Convert an ISMRMRD file into a measurement directory (protocol.txt with readouts.bin or images.bin)");
    convert->footer(kConvertFooter);
    convert->add_option("FILE", options->file, "ISMRMRD file (.h5)")->required();
    convert->add_option("DIR", *dir, "measurement directory to write (created; its measurement files are replaced)")
        ->required();
    addIsmrmrdOptions(*convert, *options);
    convert->callback([options, dir, &status] {
        try {
            printResult("convert", convertIsmrmrd(*options, *dir), *dir);
            status = 0;
        } catch (const std::exception& e) {
            std::cerr << "duv convert: " << e.what() << "\n";
            status = 2;
        }
    });
}

}  // namespace duvoffline

// `duv simulate KIND DIR [options]`: the command line of the simulator.
#include <CLI/CLI.hpp>
#include <filesystem>
#include <iostream>
#include <map>
#include <set>

#include "Commands.h"
#include "SimOptions.h"
#include "Simulations.h"

namespace duvoffline {

namespace fs = std::filesystem;
using namespace duvsim;

namespace {

const char* kKindsHelp =
    "Kinds:\n"
    "  svs            single voxel, brain metabolites (NAA 2.01, Cr 3.03, Cho 3.20, mI 3.56, water 4.70 ppm)\n"
    "  svs-multicoil  the same with 8 receive channels and the uncombined channels sent\n"
    "  csi2d, csi3d   chemical-shift imaging of a phantom with a hot (choline) voxel and a region without NAA\n"
    "  calib-refv     reference-voltage calibration: the excitation flip angle steps per repetition\n"
    "  calib-vapor    water-suppression calibration: the VAPOR flip angle steps per repetition\n"
    "  images2d       multi-slice image series (gap, interleaved) with landmark pixels, for export\n"
    "  images3d       3D slab image series (256 x 256 x 176 by default) with landmark pixels\n"
    "Writes DIR/protocol.txt, DIR/readouts.bin (spectroscopy) or DIR/images.bin (images), and DIR/truth.json\n"
    "(what a correct reconstruction shows). Run it with: duv run DIR\n"
    "Exit status: 0 written; 1 the simulation failed (nothing is left behind); 2 bad options.";

// Options that mean nothing for a kind are refused rather than ignored.
const std::map<std::string, std::set<Kind>>& appliesTo() {
    static const std::set<Kind> spectro = {Kind::Svs,      Kind::SvsMulticoil, Kind::Csi2d,
                                           Kind::Csi3d,    Kind::CalibRefV,    Kind::CalibVapor};
    static const std::set<Kind> svs = {Kind::Svs, Kind::SvsMulticoil};
    static const std::set<Kind> csi = {Kind::Csi2d, Kind::Csi3d};
    static const std::set<Kind> images = {Kind::Images2d, Kind::Images3d};
    static const std::set<Kind> calib = {Kind::CalibRefV, Kind::CalibVapor};
    static const std::set<Kind> svsCsi = {Kind::Svs, Kind::SvsMulticoil, Kind::Csi2d, Kind::Csi3d};
    static const std::map<std::string, std::set<Kind>> table = {
        {"--averages", svsCsi},       {"--vector-size", spectro},    {"--oversampling", spectro},
        {"--pre-echo", spectro},      {"--snr", spectro},            {"--water-ref", svsCsi},
        {"--noise-scan", svs},        {"--field", spectro},          {"--ref-scans", svs},
        {"--uncombined", svsCsi},     {"--no-uncombined", svsCsi},   {"--averaging-mode", svsCsi},
        {"--hamming", csi},           {"--image-format", images},    {"--slices", {Kind::Csi2d, Kind::Images2d}},
        {"--calib-truth", calib},
    };
    return table;
}

int simulate(SimOptions& o, const CLI::App& cmd) {
    try {
        if (cmd.count("--uncombined") > 0 && cmd.count("--no-uncombined") > 0)
            throw SimError("--uncombined and --no-uncombined exclude each other");
        // 0 stands for "the kind's default" inside; given explicitly it is refused.
        const std::pair<const char*, int> counts[] = {{"--channels", o.channels},       {"--averages", o.averages},
                                                      {"--vector-size", o.vectorSize}, {"--repetitions", o.repetitions},
                                                      {"--slices", o.slices}};
        for (const auto& [name, value] : counts)
            if (cmd.count(name) > 0 && value < 1) throw SimError(std::string(name) + ": must be at least 1");
        if (cmd.count("--uncombined") > 0) o.uncombined = 1;
        if (cmd.count("--no-uncombined") > 0) o.uncombined = 0;
        const Kind kind = kindFromName(o.kindName);
        for (const auto& [option, kinds] : appliesTo())
            if (cmd.count(option) > 0 && kinds.count(kind) == 0)
                throw SimError(option + " does not apply to " + o.kindName);
        resolve(o);
    } catch (const SimError& e) {
        std::cerr << "duv simulate: " << e.what() << "\n";
        return 2;
    }

    const fs::path dir = fs::absolute(o.dir);
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec || !fs::is_directory(dir)) {
        std::cerr << "duv simulate: " << dir.string() << ": cannot be created" << (ec ? ": " + ec.message() : "")
                  << "\n";
        return 2;
    }
    // Everything goes to temporary names first and is moved into place only
    // when all three files are complete, so a failure leaves no half
    // measurement behind.
    const bool images = !isSpectroscopy(o.kind);
    const std::string dataName = images ? "images.bin" : "readouts.bin";
    OutputPaths tmp{(dir / "protocol.txt.tmp").string(), (dir / "readouts.bin.tmp").string(),
                    (dir / "images.bin.tmp").string(), (dir / "truth.json.tmp").string()};
    auto cleanUp = [&] {
        for (const std::string& p : {tmp.protocol, tmp.readouts, tmp.images, tmp.truth}) fs::remove(p, ec);
    };
    try {
        switch (o.kind) {
            case Kind::Svs:
            case Kind::SvsMulticoil: simulateSingleVoxel(o, tmp); break;
            case Kind::Csi2d:
            case Kind::Csi3d: simulateCsi(o, tmp); break;
            case Kind::CalibRefV:
            case Kind::CalibVapor: simulateCalibration(o, tmp); break;
            case Kind::Images2d:
            case Kind::Images3d: simulateImageSeries(o, tmp); break;
        }
        fs::rename(tmp.protocol, dir / "protocol.txt");
        fs::rename(images ? tmp.images : tmp.readouts, dir / dataName);
        fs::rename(tmp.truth, dir / "truth.json");
        // duv run takes whichever data file it finds: drop the other kind's.
        fs::remove(dir / (images ? "readouts.bin" : "images.bin"), ec);
    } catch (const SimError& e) {
        cleanUp();
        std::cerr << "duv simulate: " << e.what() << "\n";
        return 2;
    } catch (const std::exception& e) {
        cleanUp();
        std::cerr << "duv simulate: " << e.what() << "\n";
        return 1;
    }
    std::cout << "duv simulate: " << o.kindName << " written to " << dir.string() << " (protocol.txt, " << dataName
              << ", truth.json)\n";
    return 0;
}

}  // namespace

void addSimulateCommand(CLI::App& app, int& status) {
    auto o = std::make_shared<SimOptions>();
    CLI::App* cmd = app.add_subcommand("simulate", "Write a simulated measurement with the truth a correct "
                                                   "reconstruction must show");
    cmd->footer(kKindsHelp);
    cmd->add_option("KIND", o->kindName, "what to simulate (see Kinds below)")
        ->required()
        ->check(CLI::IsMember(kindNames()));
    cmd->add_option("DIR", o->dir, "measurement directory (created; existing files are replaced)")->required();
    cmd->add_option("--seed", o->seed, "seed of noise, coil sensitivities and calibration truth (default 1)");
    cmd->add_option("--channels", o->channels, "receive channels (default 1; svs-multicoil 8)");
    cmd->add_option("--averages", o->averages, "averages (default 4 for single voxel, 1 for CSI)");
    cmd->add_option("--vector-size", o->vectorSize, "spectral points after oversampling removal, a power of two "
                                                    "(default 1024; CSI 512)");
    cmd->add_option("--oversampling", o->oversampling, "readout oversampling factor 1 or 2 (default 2)");
    cmd->add_option("--pre-echo", o->preEcho, "raw samples before the echo top (default 0)");
    cmd->add_option("--matrix", o->matrix, "CSI NxM or NxMxK (default 16x16, 8x8x4); images COLSxLINES[xSLICES] "
                                           "(default 256x256x20, 256x256x176)");
    cmd->add_option("--orientation", o->orientation, "tra, cor, sag or oblique (default tra; images3d sag)");
    cmd->add_option("--rotation", o->rotationDeg, "in-plane rotation in degrees (default 0; oblique 20)");
    cmd->add_option("--patient-position", o->patientPosition, "HFS, HFP, FFS, FFP, HFDL, HFDR, FFDL, FFDR (default HFS)");
    cmd->add_option("--snr", o->snr, "NAA amplitude over noise per point, one channel of unit sensitivity, one "
                                     "average (default 20; 0: no noise)");
    cmd->add_flag("--water-ref", o->waterRef, "add an internal water-reference readout (coil weights from it)");
    cmd->add_flag("--noise-scan", o->noiseScan, "add a noise readout");
    cmd->add_option("--repetitions", o->repetitions, "repetitions (default 1; calib-refv 16, calib-vapor 12)");
    cmd->add_option("--field", o->fieldTesla, "field strength in tesla: 3 (123.2 MHz) or 7 (297.2 MHz)");
    cmd->add_option("--ref-scans", o->refScans, "automatic reference scans: 4 x N extra readouts (default 0)");
    cmd->add_flag("--uncombined", "also send every uncombined channel (default for svs-multicoil)");
    cmd->add_flag("--no-uncombined", "send only the combined spectra");
    cmd->add_option("--averaging-mode", o->averagingMode, "1 short term, 2 long term (default 2)");
    cmd->add_flag("--hamming", o->hamming, "switch the CSI k-space Hamming filter on");
    cmd->add_option("--slices", o->slices, "slices (csi2d default 1, images2d default 20)");
    cmd->add_option("--image-format", o->imageFormat, "int16, float or complex (default int16)");
    cmd->add_option("--calib-truth", o->calibTruth, "true reference voltage (V) or VAPOR flip angle (deg) "
                                                   "(default: drawn from the seed)");
    cmd->callback([o, cmd, &status] { status = simulate(*o, *cmd); });
}

}  // namespace duvoffline

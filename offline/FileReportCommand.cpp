// `duv inspect FILE...`: what a NIfTI-MRS or NIfTI-1 file holds, in words and pictures.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "Commands.h"
#include "DisplaySink.h"
#include "NiftiMrs.h"
#include "NiftiPicture.h"
#include "Png.h"
#include "PeakAnalysis.h"
#include "Plots.h"

namespace duvoffline {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

struct InspectOptions {
    std::vector<std::string> files;
    std::string out;        // pictures go here (default: next to each file)
    double mapPpm = 3.2;    // peak whose area the CSI map shows (choline)
    bool json = false;
};


std::string picturePath(const InspectOptions& o, const fs::path& file, const std::string& suffix) {
    const fs::path dir = o.out.empty() ? file.parent_path() : fs::path(o.out);
    return (dir / (file.stem().string() + suffix)).string();
}

std::array<double, 3> world(const niftimrs::Volume& v, double i, double j, double k) {
    std::array<double, 3> w{};
    for (int r = 0; r < 3; ++r) w[r] = v.affine[r][0] * i + v.affine[r][1] * j + v.affine[r][2] * k + v.affine[r][3];
    return w;
}

std::vector<std::complex<double>> voxelFid(const niftimrs::Volume& v, int64_t x, int64_t y, int64_t z) {
    return duvoffline::voxelFid(v, x + v.dims[0] * (y + v.dims[1] * z));
}

// Dimensions 5 to 7 are shown step by step; everything else works on their sum.
niftimrs::Volume summedOverHigherDimensions(const niftimrs::Volume& full) {
    niftimrs::Volume v = full;
    v.higher = {1, 1, 1};
    const size_t block = size_t(full.dims[0] * full.dims[1] * full.dims[2] * full.dims[3]);
    v.data.assign(full.data.begin(), full.data.begin() + long(block));
    for (size_t i = block; i < full.data.size(); ++i) v.data[i % block] += full.data[i];
    return v;
}

json inspectMrs(const InspectOptions& o, const fs::path& file) {
    const niftimrs::Volume full = niftimrs::read(file.string());
    const niftimrs::Volume v = summedOverHigherDimensions(full);
    const json meta = json::parse(v.json.empty() ? "{}" : v.json, nullptr, false);
    std::string nucleus;
    const SpectrumAxis axis = spectrumAxisOf(v, nucleus);
    json r;
    r["file"] = file.string();
    r["kind"] = "nifti-mrs";
    r["dims"] = v.dims;
    r["dwellSeconds"] = v.dwellSeconds;
    r["frequencyMHz"] = axis.frequencyMHz;
    r["nucleus"] = nucleus;
    r["centrePpm"] = axis.referencePpm;
    r["qformCode"] = v.qformCode;
    r["affine"] = v.affine;
    const int64_t nx = v.dims[0], ny = v.dims[1], nz = v.dims[2];
    json voxels = json::array();
    std::vector<double> mapArea(size_t(nx * ny * nz), 0.0);
    double best = -1.0;
    std::array<int64_t, 3> bestIndex{0, 0, 0};
    double strongest = -1.0;
    std::array<int64_t, 3> strongestIndex{0, 0, 0};
    for (int64_t z = 0; z < nz; ++z)
        for (int64_t y = 0; y < ny; ++y)
            for (int64_t x = 0; x < nx; ++x) {
                const auto fid = voxelFid(v, x, y, z);
                const auto peaks = findPeaks(fid, axis);
                const double area = peakArea(fid, axis, o.mapPpm, 0.1);
                mapArea[size_t(x + nx * (y + ny * z))] = area;
                if (area > best) best = area, bestIndex = {x, y, z};
                double total = 0.0;
                for (const auto& s : fid) total += std::abs(s);
                if (total > strongest) strongest = total, strongestIndex = {x, y, z};
                json pj = json::array();
                for (const Peak& p : peaks) pj.push_back({{"ppm", p.ppm}, {"hz", p.hz}, {"height", p.height}, {"area", p.area}});
                voxels.push_back({{"index", {x, y, z}}, {"world", world(v, double(x), double(y), double(z))},
                                  {"peaks", pj}, {"mapArea", area}});
            }
    r["voxels"] = voxels;
    const auto& [sx, sy, sz] = strongestIndex;
    const auto fid = voxelFid(v, sx, sy, sz);
    const auto peaks = findPeaks(fid, axis);
    const std::string specPath = picturePath(o, file, "_spectrum.svg");
    std::ofstream(specPath) << spectrumSvg(fid, axis, file.filename().string());
    r["spectrumPicture"] = specPath;
    r["shownVoxel"] = strongestIndex;
    // Each step of dimensions 5 to 7 at the shown voxel (the voxels and the
    // picture above are their sum).
    const int64_t steps = full.higher[0] * full.higher[1] * full.higher[2];
    json stepsJ = json::array();
    if (steps > 1) {
        json tags = json::array();
        for (int d = 5; d <= 7; ++d) {
            const std::string key = "dim_" + std::to_string(d);
            tags.push_back(meta.is_object() && meta.contains(key) && meta[key].is_string() ? meta[key] : json(nullptr));
        }
        r["higherDims"] = full.higher;
        r["dimTags"] = tags;
        const int64_t block = v.dims[0] * v.dims[1] * v.dims[2] * v.dims[3];
        niftimrs::Volume one = v;
        for (int64_t step = 0; step < steps; ++step) {
            std::copy(full.data.begin() + long(step * block), full.data.begin() + long((step + 1) * block), one.data.begin());
            json pj = json::array();
            for (const Peak& p : findPeaks(voxelFid(one, sx, sy, sz), axis)) pj.push_back(p.ppm);
            stepsJ.push_back({{"index", {step % full.higher[0], step / full.higher[0] % full.higher[1],
                                         step / (full.higher[0] * full.higher[1])}},
                              {"peaks", pj}});
        }
        r["steps"] = stepsJ;
    }
    if (nx * ny * nz > 1) {
        r["map"] = {{"ppm", o.mapPpm}, {"maxIndex", bestIndex},
                    {"maxWorld", world(v, double(bestIndex[0]), double(bestIndex[1]), double(bestIndex[2]))}};
        const std::string mapPath = picturePath(o, file, "_map.svg");
        char title[96];
        std::snprintf(title, sizeof title, "area of the magnitude at %.2f ppm, slice %lld of %lld", o.mapPpm,
                      static_cast<long long>(bestIndex[2]), static_cast<long long>(nz));
        MapPicture map;
        map.values.assign(mapArea.begin() + long(nx * ny * bestIndex[2]), mapArea.begin() + long(nx * ny * (bestIndex[2] + 1)));
        map.nx = long(nx);
        map.ny = long(ny);
        map.title = title;
        orientMap(map, v);
        std::ofstream(mapPath) << mapSvg(map);
        r["map"]["picture"] = mapPath;
    }
    if (!o.json) {
        std::printf("%s: NIfTI-MRS, %lld x %lld x %lld voxels, %lld points, dwell %.4g ms, %.3f MHz %s\n",
                    file.string().c_str(), static_cast<long long>(nx), static_cast<long long>(ny),
                    static_cast<long long>(nz), static_cast<long long>(v.dims[3]), v.dwellSeconds * 1e3,
                    axis.frequencyMHz, nucleus.c_str());
        if (v.qformCode == 0) {
            std::printf("  geometry: none (qform_code 0)\n");
        } else {
            const auto c = world(v, (nx - 1) * 0.5, (ny - 1) * 0.5, (nz - 1) * 0.5);
            std::printf("  geometry: grid centre (%.1f, %.1f, %.1f) mm in world RAS\n", c[0], c[1], c[2]);
        }
        std::printf("  peaks (voxel %lld,%lld,%lld):", static_cast<long long>(sx), static_cast<long long>(sy),
                    static_cast<long long>(sz));
        for (const Peak& p : peaks) std::printf(" %.2f", p.ppm);
        std::printf(" ppm%s\n", steps > 1 ? " (sum over dimensions 5 to 7)" : "");
        if (steps > 1) {
            for (int d = 0; d < 3; ++d)
                if (full.higher[size_t(d)] > 1)
                    std::printf("  dim_%d: %s, %lld steps\n", d + 5,
                                r["dimTags"][size_t(d)].is_string() ? r["dimTags"][size_t(d)].get<std::string>().c_str()
                                                                     : "(no tag)",
                                static_cast<long long>(full.higher[size_t(d)]));
            for (const json& st : stepsJ) {
                std::printf("    step (%lld, %lld, %lld):", st["index"][0].get<long long>(),
                            st["index"][1].get<long long>(), st["index"][2].get<long long>());
                for (const json& p : st["peaks"]) std::printf(" %.2f", p.get<double>());
                std::printf(" ppm\n");
            }
        }
        std::printf("  spectrum picture: %s\n", specPath.c_str());
        if (r.contains("map")) {
            const auto w = r["map"]["maxWorld"];
            std::printf("  largest %.2f ppm area: voxel (%lld, %lld, %lld) at (%.1f, %.1f, %.1f) mm; map: %s\n",
                        o.mapPpm, static_cast<long long>(bestIndex[0]), static_cast<long long>(bestIndex[1]),
                        static_cast<long long>(bestIndex[2]), w[0].get<double>(), w[1].get<double>(),
                        w[2].get<double>(), r["map"]["picture"].get<std::string>().c_str());
        }
    }
    return r;
}

json inspectNifti1(const InspectOptions& o, const fs::path& file, const std::vector<unsigned char>& bytes) {
    const Nifti1MidSlice m = readNifti1MidSlice(file.string(), bytes);
    json r;
    r["file"] = file.string();
    r["kind"] = "nifti-1";
    r["dim"] = m.dim;
    r["datatype"] = m.datatype;
    r["pixdim"] = m.pixdim;
    r["qformCode"] = m.qformCode;
    r["sformCode"] = m.sformCode;
    r["srow"] = m.srow;
    const std::string png = picturePath(o, file, "_mid.png");
    writeGreyPng(png, m.width, m.height, m.pixels);
    r["picture"] = png;
    if (!o.json) {
        std::printf("%s: NIfTI-1, dim %d x %d x %d x %d x %d, datatype %d, voxel %.3g x %.3g x %.3g mm, "
                    "sform_code %d\n  mid-slice picture (slice %d): %s\n",
                    file.string().c_str(), m.dim[1], m.dim[2], m.dim[3], m.dim[4], m.dim[5], m.datatype, m.pixdim[1],
                    m.pixdim[2], m.pixdim[3], m.sformCode, m.slice, png.c_str());
    }
    return r;
}

int inspect(const InspectOptions& o) {
    json all = json::array();
    int status = 0;
    if (!o.out.empty()) {
        std::error_code ec;
        fs::create_directories(o.out, ec);
        if (ec) {
            std::cerr << "duv inspect: " << o.out << ": cannot be created: " << ec.message() << "\n";
            return 2;
        }
    }
    for (const std::string& name : o.files) {
        try {
            const fs::path file(name);
            std::ifstream f(file, std::ios::binary);
            if (!f) throw std::runtime_error(name + ": cannot be opened");
            std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
            // NIfTI-MRS in either NIfTI version is spectra, never an image.
            const niftimrs::Kind kind = niftimrs::probe(bytes);
            if (kind.mrs)
                all.push_back(inspectMrs(o, file));
            else if (kind.version == 1)
                all.push_back(inspectNifti1(o, file, bytes));
            else if (kind.version == 2)
                throw std::runtime_error(name + ": a NIfTI-2 image (not NIfTI-MRS): only NIfTI-1 images are shown");
            else
                throw std::runtime_error(name + ": neither NIfTI-MRS nor a NIfTI-1 image (single .nii file, "
                                                "little-endian, not compressed)");
        } catch (const std::exception& e) {
            std::cerr << "duv inspect: " << e.what() << "\n";
            status = 2;
        }
    }
    if (o.json) std::cout << all.dump(2) << "\n";
    return status;
}

}  // namespace

void addInspectCommand(CLI::App& app, int& status) {
    auto options = std::make_shared<InspectOptions>();
    CLI::App* cmd = app.add_subcommand("inspect", "Describe NIfTI-MRS spectra and NIfTI-1 images, with pictures");
    cmd->footer(R"(
NIfTI-MRS (NIfTI-2) files: dimensions, dwell time, frequency, nucleus and
geometry; the peaks of every voxel in ppm (centred FFT with the NIfTI-MRS
sign, peaks above a noise-based threshold); <name>_spectrum.svg, the spectrum
of the strongest voxel on a reversed ppm axis; for a CSI grid <name>_map.svg,
the area of the --map-ppm peak per voxel.
NIfTI-1 files: a header summary and <name>_mid.png, the middle slice.
Exit status: 0 when every file was read, 2 otherwise.)");
    cmd->add_option("FILE", options->files, "files to inspect")->required();
    cmd->add_option("--out", options->out, "directory for the pictures (default: next to each file)");
    cmd->add_option("--map-ppm", options->mapPpm, "peak whose area a CSI map shows (default 3.2, choline)");
    cmd->add_flag("--json", options->json, "print the findings as JSON");
    cmd->callback([options, &status] { status = inspect(*options); });
}

}  // namespace duvoffline

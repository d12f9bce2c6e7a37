#include "ReportPage.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "DisplaySink.h"
#include "NiftiMrs.h"
#include "NiftiPicture.h"
#include "PeakAnalysis.h"
#include "Png.h"
#include "Plots.h"

namespace duvoffline {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// Enough of everything for a page that still opens quickly; the links list
// every file regardless.
constexpr size_t kMostSpectra = 40, kMostImages = 24, kMostLinks = 2000;

std::string html(const std::string& s) { return escapeXml(s); }

std::string base64(const std::string& bytes) {
    static const char* table = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (size_t i = 0; i < bytes.size(); i += 3) {
        const uint32_t b0 = uint8_t(bytes[i]), b1 = i + 1 < bytes.size() ? uint8_t(bytes[i + 1]) : 0,
                       b2 = i + 2 < bytes.size() ? uint8_t(bytes[i + 2]) : 0;
        const uint32_t v = (b0 << 16) | (b1 << 8) | b2;
        out += table[(v >> 18) & 63];
        out += table[(v >> 12) & 63];
        out += i + 1 < bytes.size() ? table[(v >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? table[v & 63] : '=';
    }
    return out;
}

// A picture inside the page: the page needs no other file to show it.
std::string image(const std::string& mime, const std::string& bytes, const std::string& alt,
                  const std::string& cssClass = "") {
    return "<img" + (cssClass.empty() ? std::string() : " class=\"" + cssClass + "\"") + " alt=\"" + html(alt) +
           "\" src=\"data:" + mime + ";base64," + base64(bytes) + "\">";
}

std::string readFile(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

std::string relativeLink(const fs::path& p, const fs::path& out) { return p.lexically_relative(out).generic_string(); }

std::string link(const fs::path& p, const fs::path& out) {
    const std::string r = relativeLink(p, out);
    return "<a href=\"" + html(r) + "\">" + html(r) + "</a>";
}

// Files below `dir` whose name ends with one of the endings, sorted.
std::vector<fs::path> filesBelow(const fs::path& dir, std::initializer_list<const char*> endings) {
    std::vector<fs::path> found;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        if (!it->is_regular_file(ec)) continue;
        const std::string name = it->path().filename().string();
        for (const char* e : endings)
            if (name.size() >= std::strlen(e) && name.compare(name.size() - std::strlen(e), std::string::npos, e) == 0)
                found.push_back(it->path());
    }
    std::sort(found.begin(), found.end());
    return found;
}

std::string text(const json& j) { return j.is_string() ? j.get<std::string>() : j.is_null() ? "" : j.dump(); }

const char* kStyle = R"(
body { font-family: sans-serif; margin: 1.5em; color: #222; max-width: 1400px; }
h1 { font-size: 1.4em; } h2 { font-size: 1.15em; margin-top: 1.6em; border-bottom: 1px solid #ccc; }
.status { display: inline-block; padding: 0.3em 0.8em; border-radius: 4px; font-weight: bold; }
.ok { background: #d7f2d7; } .failed { background: #f8d0d0; } .interrupted { background: #fbe7b5; }
table { border-collapse: collapse; } td, th { padding: 0.2em 0.8em; text-align: left; vertical-align: top; }
tr:nth-child(even) { background: #f4f4f4; }
.pictures { display: flex; flex-wrap: wrap; gap: 1em; }
figure { margin: 0; } figcaption { font-size: 0.85em; color: #555; max-width: 800px; word-break: break-all; }
img.spectrum { width: 800px; max-width: 100%; } img.small { width: 400px; } img.display { width: 480px; } img.slice { width: 256px; image-rendering: pixelated; }
pre { background: #f4f4f4; padding: 0.5em; }
ul.files { columns: 2; font-size: 0.85em; }
)";

std::string pageStart(const std::string& title) {
    return "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>" + html(title) +
           "</title>\n<style>" + kStyle + "</style>\n</head>\n<body>\n<h1>" + html(title) + "</h1>\n";
}

// --- status and summary -----------------------------------------------------

std::string statusBadge(const json& s) {
    if (!s.value("interrupted", json()).is_null())
        return "<span class=\"status interrupted\">interrupted (" + html(text(s["interrupted"])) + ")</span>";
    if (s.value("ok", false)) return "<span class=\"status ok\">succeeded</span>";
    return "<span class=\"status failed\">failed</span>";
}

std::string summarySection(const json& s, const fs::path& out) {
    std::ostringstream os;
    os << "<p>" << statusBadge(s);
    if (!text(s.value("failure", json())).empty()) os << " " << html(text(s["failure"]));
    os << "</p>\n<table>\n";
    auto row = [&](const std::string& name, const std::string& value) {
        os << "<tr><th>" << html(name) << "</th><td>" << html(value) << "</td></tr>\n";
    };
    row("input", text(s.value("input", json())));
    row("module", text(s.value("module", json())) + " (" + text(s.value("configurator", json())) + ")");
    row("records", text(s.value("fed", json())) + " of " + text(s.value("records", json())) + " " +
                       text(s.value("recordKind", json())) + " fed");
    row("end of job status", text(s.value("endStatus", json())));
    row("data sets stored", text(s.value("dataSets", json())));
    row("spectra files", std::to_string(s.value("spectraFiles", json::array()).size()));
    row("display images", text(s.value("displayImages", json())));
    row("NIfTI files", std::to_string(s.value("niftiFiles", json::array()).size()));
    if (s.contains("wallSeconds")) {
        char t[32];
        std::snprintf(t, sizeof t, "%.2f s", s["wallSeconds"].get<double>());
        row("wall time", t);
    }
    os << "</table>\n";
    if (!s.value("warnings", json::array()).empty()) {
        os << "<p>Warnings about the protocol:</p>\n<ul>\n";
        for (const json& w : s["warnings"]) os << "<li>" << html(text(w)) << "</li>\n";
        os << "</ul>\n";
    }
    const json calib = s.value("calibrationFile", json());
    if (calib.is_object())
        os << "<p>Calibration file " << html(text(calib["path"])) << ":</p>\n<pre>" << html(text(calib["content"]))
           << "</pre>\n";
    os << "<p>Everything in " << link(out / "summary.json", out) << " and " << link(out / "trace.log", out)
       << "; what the modules printed in " << link(out / "module.log", out) << ".</p>\n";
    return os.str();
}

// --- spectra ------------------------------------------------------------------

struct Resonance {
    std::string name;
    double ppm;
};

std::string spectraFileBlock(const fs::path& file, const fs::path& out, bool small) {
    std::ostringstream os;
    const niftimrs::Volume v = niftimrs::read(file.string());
    std::string nucleus;
    const SpectrumAxis axis = spectrumAxisOf(v, nucleus);
    const int64_t nx = v.dims[0], ny = v.dims[1], nz = v.dims[2], voxels = nx * ny * nz;
    if (voxels < 1 || v.dims[3] < 1) throw std::runtime_error("no data");

    // Every voxel's magnitude spectrum once; the strongest voxel is shown.
    std::vector<std::vector<double>> mags(static_cast<size_t>(voxels));
    int64_t strongest = 0;
    double best = -1.0;
    for (int64_t p = 0; p < voxels; ++p) {
        mags[size_t(p)] = zeroFilledMagnitude(voxelFid(v, p));
        double total = 0.0;
        for (double m : mags[size_t(p)]) total += m;
        if (total > best) best = total, strongest = p;
    }
    const int64_t sx = strongest % nx, sy = strongest / nx % ny, sz = strongest / (nx * ny);
    std::string title = file.filename().string();
    if (voxels > 1)
        title += ", voxel (" + std::to_string(sx) + ", " + std::to_string(sy) + ", " + std::to_string(sz) + ")";
    os << "<h3>" << link(file, out) << "</h3>\n<p>" << nx << " x " << ny << " x " << nz << " voxels, " << v.dims[3]
       << " points, " << html(nucleus) << " at " << axis.frequencyMHz << " MHz"
       << (v.qformCode ? "" : ", no geometry") << "</p>\n<div class=\"pictures\">\n<figure>"
       << image("image/svg+xml", spectrumSvg(voxelFid(v, strongest), axis, title), "spectrum of " + title, small ? "spectrum small" : "spectrum")
       << "<figcaption>magnitude spectrum of " << html(title) << "</figcaption></figure>\n";
    if (voxels > 1 && axis.hasPpmScale(mags[0].size())) {
        // Maps of the main metabolites (for other nuclei: of the tallest peaks).
        std::vector<Resonance> resonances;
        if (nucleus == "1H") {
            resonances = {{"NAA", 2.01}, {"Cr", 3.03}, {"Cho", 3.20}};
        } else {
            std::vector<Peak> peaks = findPeaks(voxelFid(v, strongest), axis);
            std::sort(peaks.begin(), peaks.end(), [](const Peak& a, const Peak& b) { return a.height > b.height; });
            for (size_t i = 0; i < peaks.size() && i < 3; ++i) {
                char name[32];
                std::snprintf(name, sizeof name, "%.2f ppm", peaks[i].ppm);
                resonances.push_back({name, peaks[i].ppm});
            }
        }
        const size_t n = mags[0].size();
        const double ppmStep = 1.0 / (double(n) * axis.dwellSeconds * axis.frequencyMHz);
        for (const Resonance& r : resonances) {
            MapPicture map;
            map.nx = long(nx);
            map.ny = long(ny);
            for (int64_t p = nx * ny * sz; p < nx * ny * (sz + 1); ++p) {
                double area = 0.0;
                for (size_t k = 0; k < n; ++k)
                    if (std::fabs(axis.ppmOf(double(k), n) - r.ppm) <= 0.1) area += mags[size_t(p)][k];
                map.values.push_back(area * ppmStep);
            }
            char t[128];
            std::snprintf(t, sizeof t, "%s (%.2f ppm +- 0.1), slice %lld of %lld", r.name.c_str(), r.ppm,
                          static_cast<long long>(sz), static_cast<long long>(nz));
            map.title = t;
            orientMap(map, v);
            os << "<figure>" << image("image/svg+xml", mapSvg(map), "map of " + r.name, "map")
               << "<figcaption>" << html(t) << ": area of the magnitude spectrum"
               << (map.plusX.empty() ? ", no geometry: edges unlabelled" : "") << "</figcaption></figure>\n";
        }
    }
    os << "</div>\n";
    return os.str();
}

std::string spectraSection(const fs::path& out) {
    const std::vector<fs::path> files = filesBelow(out / "spectra", {".nii", ".nii.gz"});
    if (files.empty()) return "";
    std::ostringstream os;
    os << "<h2>Spectra</h2>\n";
    for (size_t i = 0; i < files.size(); ++i) {
        if (i == kMostSpectra) {
            os << "<p>" << files.size() - i << " further spectra files: see the list of files.</p>\n";
            break;
        }
        try {
            os << spectraFileBlock(files[i], out, files.size() > 2);
        } catch (const std::exception& e) {
            os << "<h3>" << link(files[i], out) << "</h3>\n<p>not shown: " << html(e.what()) << "</p>\n";
        }
    }
    return os.str();
}

// --- display images and exported images --------------------------------------

std::string displaySection(const fs::path& out) {
    const std::vector<fs::path> files = filesBelow(out / "display", {".svg"});
    if (files.empty()) return "";
    std::ostringstream os;
    os << "<h2>Online display and calibration</h2>\n<div class=\"pictures\">\n";
    size_t shown = 0;
    // The latest of each kind first; with --keep-displays every image is linked.
    for (const fs::path& f : files) {
        if (f.filename().string().rfind("latest_", 0) != 0) continue;
        if (shown++ == kMostImages) break;
        os << "<figure>" << image("image/svg+xml", readFile(f), f.filename().string(), "display")
           << "<figcaption>" << link(f, out) << "</figcaption></figure>\n";
    }
    os << "</div>\n";
    return os.str();
}

std::string niftiSection(const fs::path& out) {
    const std::vector<fs::path> files = filesBelow(out / "nifti", {".nii"});
    if (files.empty()) return "";
    std::ostringstream os;
    os << "<h2>Exported images (middle slices)</h2>\n<div class=\"pictures\">\n";
    for (size_t i = 0; i < files.size(); ++i) {
        if (i == kMostImages) {
            os << "</div>\n<p>" << files.size() - i << " further files: see the list of files.</p>\n<div>\n";
            break;
        }
        const std::string bytes = readFile(files[i]);
        try {
            const std::vector<unsigned char> b(bytes.begin(), bytes.end());
            if (b.size() < 348 || std::memcmp(b.data() + 344, "n+1", 4) != 0)
                throw std::runtime_error("not a single-file NIfTI-1");
            const Nifti1MidSlice m = readNifti1MidSlice(files[i].filename().string(), b);
            const std::vector<uint8_t> png = encodeGreyPng(m.width, m.height, m.pixels);
            char caption[96];
            std::snprintf(caption, sizeof caption, ": %d x %d x %d, slice %d", m.dim[1], m.dim[2], m.dim[3], m.slice);
            os << "<figure>"
               << image("image/png", std::string(png.begin(), png.end()), files[i].filename().string(), "slice")
               << "<figcaption>" << link(files[i], out) << caption << "</figcaption></figure>\n";
        } catch (const std::exception& e) {
            os << "<figure><figcaption>" << link(files[i], out) << ": not shown (" << html(e.what())
               << ")</figcaption></figure>\n";
        }
    }
    os << "</div>\n";
    return os.str();
}

std::string filesSection(const fs::path& out) {
    std::vector<fs::path> files = filesBelow(out, {""});
    files.erase(std::remove(files.begin(), files.end(), out / "index.html"), files.end());
    std::ostringstream os;
    os << "<h2>Files</h2>\n<ul class=\"files\">\n";
    for (size_t i = 0; i < files.size() && i < kMostLinks; ++i) {
        std::error_code ec;
        const uintmax_t size = fs::file_size(files[i], ec);
        os << "<li>" << link(files[i], out) << " <small>(" << (ec ? 0 : size) << " bytes)</small></li>\n";
    }
    os << "</ul>\n";
    if (files.size() > kMostLinks) os << "<p>and " << files.size() - kMostLinks << " further files.</p>\n";
    return os.str();
}

bool writePage(const fs::path& out, const std::string& page) {
    const fs::path path = out / "index.html";
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << page;
    f.close();
    return bool(f);
}

}  // namespace

bool writeRunReportPage(const fs::path& out, const json& summary) {
    std::ostringstream os;
    os << pageStart("duv run: " + fs::path(text(summary.value("input", json()))).filename().string())
       << summarySection(summary, out) << spectraSection(out) << displaySection(out) << niftiSection(out)
       << filesSection(out) << "</body>\n</html>\n";
    return writePage(out, os.str());
}

bool writeBatchReportPage(const fs::path& out, const json& combined) {
    std::ostringstream os;
    os << pageStart("duv run: " + std::to_string(combined["runs"].size()) + " measurements");
    os << "<p>";
    if (!combined["interrupted"].is_null())
        os << "<span class=\"status interrupted\">interrupted (" << html(text(combined["interrupted"])) << ")</span> ";
    os << combined["succeeded"].get<long>() << " succeeded, " << combined["failed"].size() << " failed, "
       << combined["notStarted"].get<long>() << " not started; " << combined["jobs"].get<long>()
       << " at a time.</p>\n<table>\n<tr><th>measurement</th><th>status</th><th>records</th><th>outputs</th>"
       << "<th>input</th></tr>\n";
    for (const json& r : combined["runs"]) {
        const fs::path page = fs::path(text(r["output"])) / "index.html";
        std::error_code ec;
        os << "<tr><td>"
           << (fs::exists(page, ec) ? "<a href=\"" + html(relativeLink(page, out)) + "\">" + html(text(r["name"])) + "</a>"
                                    : html(text(r["name"])))
           << "</td><td>";
        const json& s = r["summary"];
        if (r["exitStatus"].is_null())
            os << "not started";
        else if (s.is_object())
            os << statusBadge(s) << (r["exitStatus"] == 0 ? "" : " exit status " + text(r["exitStatus"]));
        else
            os << "<span class=\"status failed\">failed</span> exit status " << text(r["exitStatus"]);
        os << "</td><td>";
        if (s.is_object())
            os << html(text(s.value("fed", json())) + " of " + text(s.value("records", json())) + " " +
                       text(s.value("recordKind", json())));
        os << "</td><td>";
        if (s.is_object())
            os << s.value("spectraFiles", json::array()).size() << " spectra, " << html(text(s.value("displayImages", json())))
               << " display images, " << s.value("niftiFiles", json::array()).size() << " NIfTI files";
        if (s.is_object() && !text(s.value("failure", json())).empty()) os << "<br>" << html(text(s["failure"]));
        os << "</td><td>" << html(text(r["input"])) << "</td></tr>\n";
    }
    os << "</table>\n<p>Everything in " << link(out / "summary.json", out) << ".</p>\n</body>\n</html>\n";
    return writePage(out, os.str());
}

}  // namespace duvoffline

#include "DataSetSink.h"

#include <cctype>
#include <cmath>
#include <ctime>
#include <fstream>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "duvhost/Framework.h"
#include "Geometry.h"

namespace duvoffline {

using nlohmann::json;

namespace {

template <class T>
T field(const MiniHeader& h, const std::string& name, T fallback) {
    T v = fallback;
    h.get(name, v);
    return v;
}

std::vector<double> list(const MiniHeader& h, const std::string& name) {
    std::vector<double> v;
    h.getArrayValues(name, v);
    v.resize(3, 0.0);
    return v;
}

// A header text as part of a file name: letters, digits, '-' and '_' only
// (everything else becomes '_'), at most `limit` characters.
std::string safeName(const std::string& s, size_t limit = 64) {
    std::string out;
    for (char c : s) {
        if (out.size() == limit) break;
        out += (std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_') ? c : '_';
    }
    return out;
}

double norm(const std::vector<double>& v) { return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]); }

// Voxel size along an unlocalised direction.
constexpr double kUnlocalisedMm = 10000.0;

std::string isoNow() {
    const std::time_t t = std::time(nullptr);
    std::tm local{};
    localtime_r(&t, &local);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &local);
    return buf;
}

}  // namespace

std::string headerToJson(const MiniHeader& header) {
    json j = json::object();
    for (const auto& f : header.fields()) {
        switch (f.type) {
            case MiniHeader::Int: j[f.name] = std::get<long>(f.value); break;
            case MiniHeader::Bool: j[f.name] = std::get<bool>(f.value); break;
            case MiniHeader::Double: j[f.name] = std::get<double>(f.value); break;
            case MiniHeader::Text: j[f.name] = std::get<std::string>(f.value); break;
            case MiniHeader::Array: j[f.name] = std::get<std::vector<double>>(f.value); break;
        }
    }
    return j.dump(2, ' ', false, json::error_handler_t::replace);
}

SpectraSink::SpectraSink(std::string directory, const XProtocol& protocol, Samples samples)
    : dir_(std::move(directory)), facts_(readMrsProtocol(protocol)), samples_(samples) {
    for (const std::string& w : facts_.warnings)
        getStdStackTraceStream("DUV.duv", duvtrace::Warning, 1, "DUV", "duv", "DataSetSink.cpp", __LINE__,
                               "SpectraSink", "DLL", false)
            << w;
}

niftimrs::Volume SpectraSink::toVolume(DuvAs& data, const MiniHeader& header) const {
    niftimrs::Volume v;
    const long ncol = data.getLen(COL);
    const size_t vectors = ncol > 0 ? data.elementCount() / size_t(ncol) : 0;
    long nx = field<long>(header, "NoOfCols", 1), ny = field<long>(header, "NoOfRows", 1);
    if (nx < 1) nx = 1;
    if (ny < 1) ny = 1;
    long nz = data.getLen(SEG);
    if (size_t(nx) * size_t(ny) * size_t(nz) != vectors) {
        // A header whose counts do not describe the block: keep every vector, as a line of voxels.
        nx = long(vectors);
        ny = nz = 1;
    }
    v.dims = {nx, ny, nz, ncol};

    // Gather in the view's order (COL fastest): vector p = x + nx*y + nx*ny*z.
    std::vector<std::complex<float>> raw(data.elementCount());
    if (data.getDuvObjFormat() != CXFL || data.gather(raw.data(), raw.size() * sizeof(raw[0])) == 0)
        throw std::runtime_error("data set is not complex float");
    v.data.resize(raw.size());
    const size_t plane = size_t(nx) * ny * nz;
    // The module's spectra rotate clockwise above the carrier (its end of job
    // conjugates the raw readouts); the standard's rotate counter-clockwise.
    const bool conjugate = samples_ == Samples::Standard;
    for (size_t p = 0; p < plane; ++p)
        for (long t = 0; t < ncol; ++t) {
            const std::complex<float> x = raw[p * size_t(ncol) + size_t(t)];
            v.data[p + plane * size_t(t)] = conjugate ? std::conj(x) : x;
        }

    const double dwellNs = field<long>(header, "RealDwellTime", 0);
    v.dwellSeconds = dwellNs / 1e9;
    v.description = field<std::string>(header, "SequenceDescription", "");

    // Geometry: voxel i of n lies (i - (n-1)/2) spacings along its direction
    // from PosVec; partition k lies k thicknesses along the slab normal. A
    // data set without in-plane directions (single voxel without a volume of
    // interest) has no real-world position: qform_code 0, 10000 mm voxels.
    const std::vector<double> row = list(header, "RowVec"), col = list(header, "ColVec"), pos = list(header, "PosVec");
    std::vector<double> spacing;
    header.getArrayValues("PixelSpacing", spacing);
    spacing.resize(2, 0.0);
    const double rowLen = norm(row), colLen = norm(col);
    const double thickness = field<double>(header, "SliceThickness", 0.0);
    if (rowLen > 0.0 && colLen > 0.0) {
        // The third axis. A grid's slab normal is the one of the data set's
        // slice geometry: after the reorientation RowVec x ColVec may point
        // either way. A single spectrum travels in a fresh object whose
        // geometry is the default one, and a slice geometry that is not
        // perpendicular to the in-plane directions does not belong to them:
        // then the normal is ColVec x RowVec (the readout direction is
        // normal x phase).
        const sVec colXRow{col[1] * row[2] - col[2] * row[1], col[2] * row[0] - col[0] * row[2],
                           col[0] * row[1] - col[1] * row[0]};
        sVec n = colXRow;
        if (size_t(nx) * size_t(ny) * size_t(nz) > 1)
            if (const DuvSoda* s = data.calcCurrentSodaPtr()) n = s->getSliceNormVec();
        double nlen = std::sqrt(n.x * n.x + n.y * n.y + n.z * n.z);
        const double along = nlen > 0.0 ? std::fabs(n.x * row[0] + n.y * row[1] + n.z * row[2]) / rowLen +
                                              std::fabs(n.x * col[0] + n.y * col[1] + n.z * col[2]) / colLen
                                        : 0.0;
        if (!(nlen > 0.0) || along > 1e-6 * nlen) {
            n = colXRow;
            nlen = std::sqrt(n.x * n.x + n.y * n.y + n.z * n.z);
        }
        // PixelSpacing is (between lines, between columns): [1] runs along RowVec.
        const double du = spacing[1] > 0.0 ? spacing[1] : kUnlocalisedMm;
        const double dv = spacing[0] > 0.0 ? spacing[0] : kUnlocalisedMm;
        const double dz = thickness > 0.0 ? thickness : kUnlocalisedMm;
        const double dirs[3][3] = {{row[0] / rowLen * du, row[1] / rowLen * du, row[2] / rowLen * du},
                                   {col[0] / colLen * dv, col[1] / colLen * dv, col[2] / colLen * dv},
                                   {n.x / nlen * dz, n.y / nlen * dz, n.z / nlen * dz}};
        const double ox = -(double(nx) - 1.0) * 0.5, oy = -(double(ny) - 1.0) * 0.5;
        const double origin[3] = {pos[0] + ox * dirs[0][0] + oy * dirs[1][0], pos[1] + ox * dirs[0][1] + oy * dirs[1][1],
                                  pos[2] + ox * dirs[0][2] + oy * dirs[1][2]};
        // World = the patient's RAS for every patient position.
        const auto o = duvfiles::toPatientRas(MrMath::VectorPat(origin[0], origin[1], origin[2]));
        for (int j = 0; j < 3; ++j) {
            const auto d = duvfiles::toPatientRas(MrMath::VectorPat(dirs[j][0], dirs[j][1], dirs[j][2]));
            for (int i = 0; i < 3; ++i) v.affine[i][j] = d[i];
        }
        for (int i = 0; i < 3; ++i) v.affine[i][3] = o[i];
        v.qformCode = 1;
    }

    // Times of the header are in ms; the standard's keys are in seconds.
    const std::string channelKind = field<std::string>(header, "ImageComment", "");
    json j;
    addProtocolKeys(j, facts_, channelKind, size_t(nx) * size_t(ny) * size_t(nz) > 1, isoNow());
    j["EchoTime"] = field<double>(header, "TE", 0.0) / 1e3;
    j["RepetitionTime"] = field<double>(header, "TR", 0.0) / 1e3;
    j["InversionTime"] = field<double>(header, "TI", 0.0) / 1e3;
    if (v.dwellSeconds > 0.0) j["SpectralWidth"] = 1.0 / v.dwellSeconds;
    j["ProtocolName"] = facts_.protocolName.empty() ? v.description : facts_.protocolName;
    j["SequenceName"] = field<std::string>(header, "SequenceString", "");
    j["ConversionMethod"] = "duv run";
    j["ConversionTime"] = isoNow();
    // User-defined keys carry their value and a description.
    j["SeriesDescription"] = {{"Value", v.description}, {"Description", "the data set's series (SequenceDescription)"}};
    j["ImageComment"] = {{"Value", channelKind},
                         {"Description", "channel kind of the data set: empty (one channel), _u (uncombined), _c_<n> (combined)"}};
    j["NumberInSeries"] = {{"Value", field<long>(header, "NumberInSeries", 0)},
                           {"Description", "running number of the data set in its series"}};
    v.json = j.dump(-1, ' ', false, json::error_handler_t::replace);
    return v;
}

DuvStatus SpectraSink::receive(DuvAs& data, MiniHeader& header) {
    try {
        niftimrs::Volume v = toVolume(data, header);
        std::lock_guard<std::mutex> g(mutex_);
        char number[24];
        std::snprintf(number, sizeof number, "%04ld", count_ + 1);
        // <running number>_<series><channel kind><suffix>[_slc<n>]: the running
        // number keeps names apart (the slices of one pass share their suffix),
        // the rest says what the data set is.
        std::string base = std::string(number) + "_" + safeName(v.description.empty() ? "spectra" : v.description) +
                           safeName(field<std::string>(header, "ImageComment", "")) +
                           safeName(field<std::string>(header, "Suffix4DataFileName", ""));
        long slice = 0;
        if (header.get("ProtocolSliceNumber", slice)) base += "_slc" + std::to_string(slice);
        const std::string path = dir_ + "/" + base + ".nii";
        niftimrs::write(path, v);
        {
            std::ofstream out(dir_ + "/" + base + ".json");
            out << headerToJson(header) << "\n";
            out.close();
            if (!out) throw std::runtime_error(dir_ + "/" + base + ".json: write failed");
        }
        ++count_;
        files_.push_back(path);
        ++series_[v.description + field<std::string>(header, "ImageComment", "")];
        return I_OK;
    } catch (const std::exception& e) {
        std::lock_guard<std::mutex> g(mutex_);
        lastError_ = e.what();
        return I_FAIL;
    }
}

long SpectraSink::count() const {
    std::lock_guard<std::mutex> g(mutex_);
    return count_;
}
std::vector<std::string> SpectraSink::files() const {
    std::lock_guard<std::mutex> g(mutex_);
    return files_;
}
std::map<std::string, long> SpectraSink::seriesCounts() const {
    std::lock_guard<std::mutex> g(mutex_);
    return series_;
}
std::string SpectraSink::lastError() const {
    std::lock_guard<std::mutex> g(mutex_);
    return lastError_;
}

}  // namespace duvoffline

#include "NiftiMrs.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace niftimrs {

namespace {

constexpr int32_t kHeaderBytes = 540;
constexpr int16_t kComplex64 = 32;
constexpr int32_t kMrsEcode = 44;
constexpr char kIntentName[] = "mrs_v0_9";

template <class T>
void put(unsigned char* h, size_t off, T v) {
    std::memcpy(h + off, &v, sizeof v);
}
template <class T>
T get(const unsigned char* h, size_t off) {
    T v;
    std::memcpy(&v, h + off, sizeof v);
    return v;
}

}  // namespace

Quaternion toQuaternion(const std::array<std::array<double, 4>, 3>& a) {
    // Column lengths are the voxel sizes; the normalised columns form the rotation.
    double r[3][3];
    Quaternion q{};
    for (int j = 0; j < 3; ++j) {
        double len = std::sqrt(a[0][j] * a[0][j] + a[1][j] * a[1][j] + a[2][j] * a[2][j]);
        if (len == 0.0) len = 1.0;
        q.pixdim[j] = len;
        for (int i = 0; i < 3; ++i) r[i][j] = a[i][j] / len;
    }
    const double det = r[0][0] * (r[1][1] * r[2][2] - r[1][2] * r[2][1]) -
                       r[0][1] * (r[1][0] * r[2][2] - r[1][2] * r[2][0]) +
                       r[0][2] * (r[1][0] * r[2][1] - r[1][1] * r[2][0]);
    q.qfac = det < 0.0 ? -1.0 : 1.0;
    if (det < 0.0)
        for (int i = 0; i < 3; ++i) r[i][2] = -r[i][2];
    // Standard conversion of a proper rotation to (a, b, c, d) with a >= 0.
    double qa = r[0][0] + r[1][1] + r[2][2] + 1.0, b, c, d;
    if (qa > 0.5) {
        qa = 0.5 * std::sqrt(qa);
        b = 0.25 * (r[2][1] - r[1][2]) / qa;
        c = 0.25 * (r[0][2] - r[2][0]) / qa;
        d = 0.25 * (r[1][0] - r[0][1]) / qa;
    } else {
        const double xd = 1.0 + r[0][0] - (r[1][1] + r[2][2]);
        const double yd = 1.0 + r[1][1] - (r[0][0] + r[2][2]);
        const double zd = 1.0 + r[2][2] - (r[0][0] + r[1][1]);
        if (xd > 1.0) {
            b = 0.5 * std::sqrt(xd);
            c = 0.25 * (r[0][1] + r[1][0]) / b;
            d = 0.25 * (r[0][2] + r[2][0]) / b;
            qa = 0.25 * (r[2][1] - r[1][2]) / b;
        } else if (yd > 1.0) {
            c = 0.5 * std::sqrt(yd);
            b = 0.25 * (r[0][1] + r[1][0]) / c;
            d = 0.25 * (r[1][2] + r[2][1]) / c;
            qa = 0.25 * (r[0][2] - r[2][0]) / c;
        } else {
            d = 0.5 * std::sqrt(zd);
            b = 0.25 * (r[0][2] + r[2][0]) / d;
            c = 0.25 * (r[1][2] + r[2][1]) / d;
            qa = 0.25 * (r[1][0] - r[0][1]) / d;
        }
        if (qa < 0.0) {
            b = -b;
            c = -c;
            d = -d;
        }
    }
    q.b = b;
    q.c = c;
    q.d = d;
    return q;
}

void write(const std::string& path, const Volume& v) {
    const size_t expected = size_t(v.dims[0] * v.dims[1] * v.dims[2] * v.dims[3]);
    if (v.data.size() != expected) throw std::runtime_error(path + ": data size does not match the dimensions");

    // Extension: esize (8 bytes of esize and ecode plus the JSON) padded to 16.
    size_t esize = 8 + v.json.size();
    esize = (esize + 15) / 16 * 16;
    std::vector<unsigned char> ext(esize, 0);
    put<int32_t>(ext.data(), 0, int32_t(esize));
    put<int32_t>(ext.data(), 4, kMrsEcode);
    std::memcpy(ext.data() + 8, v.json.data(), v.json.size());

    unsigned char h[kHeaderBytes] = {};
    put<int32_t>(h, 0, kHeaderBytes);
    std::memcpy(h + 4, "n+2\0\r\n\032\n", 8);
    put<int16_t>(h, 12, kComplex64);
    put<int16_t>(h, 14, 64);
    const int64_t dim[8] = {4, v.dims[0], v.dims[1], v.dims[2], v.dims[3], 1, 1, 1};
    for (int i = 0; i < 8; ++i) put<int64_t>(h, 16 + 8 * i, dim[i]);
    const Quaternion q = toQuaternion(v.affine);
    const double pixdim[8] = {q.qfac, q.pixdim[0], q.pixdim[1], q.pixdim[2], v.dwellSeconds, 1, 1, 1};
    for (int i = 0; i < 8; ++i) put<double>(h, 104 + 8 * i, pixdim[i]);
    const int64_t voxOffset = kHeaderBytes + 4 + int64_t(esize);
    put<int64_t>(h, 168, voxOffset);
    put<double>(h, 176, 1.0);  // scl_slope
    std::strncpy(reinterpret_cast<char*>(h + 240), v.description.c_str(), 79);
    put<int32_t>(h, 344, v.qformCode);
    put<int32_t>(h, 348, v.qformCode);  // the sform carries the same transform
    put<double>(h, 352, q.b);
    put<double>(h, 360, q.c);
    put<double>(h, 368, q.d);
    for (int i = 0; i < 3; ++i) put<double>(h, 376 + 8 * i, v.affine[i][3]);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 4; ++j) put<double>(h, 400 + 32 * i + 8 * j, v.affine[i][j]);
    put<int32_t>(h, 500, 2 | 8);  // millimetres and seconds
    std::memcpy(h + 508, kIntentName, sizeof kIntentName);

    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) throw std::runtime_error(path + ": cannot be created");
    const unsigned char extender[4] = {1, 0, 0, 0};
    bool ok = std::fwrite(h, 1, sizeof h, f) == sizeof h && std::fwrite(extender, 1, 4, f) == 4 &&
              std::fwrite(ext.data(), 1, ext.size(), f) == ext.size() &&
              std::fwrite(v.data.data(), sizeof(std::complex<float>), v.data.size(), f) == v.data.size();
    ok = (std::fclose(f) == 0) && ok;
    if (!ok) throw std::runtime_error(path + ": write failed");
}

Volume read(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) throw std::runtime_error(path + ": cannot be opened");
    unsigned char h[kHeaderBytes + 4];
    auto fail = [&](const std::string& why) {
        std::fclose(f);
        throw std::runtime_error(path + ": " + why);
    };
    if (std::fread(h, 1, sizeof h, f) != sizeof h) fail("shorter than a NIfTI-2 header");
    if (get<int32_t>(h, 0) != kHeaderBytes || std::memcmp(h + 4, "n+2\0\r\n\032\n", 8) != 0)
        fail("not a single-file NIfTI-2");
    if (get<int16_t>(h, 12) != kComplex64) fail("datatype is not complex64");
    if (std::fseek(f, 0, SEEK_END) != 0) fail("cannot seek");
    const long fileBytes = std::ftell(f);
    if (std::fseek(f, long(sizeof h), SEEK_SET) != 0) fail("cannot seek");
    Volume v;
    const int64_t ndim = get<int64_t>(h, 16);
    if (ndim < 1 || ndim > 7) fail("dim[0] out of range [1, 7]: " + std::to_string(ndim));
    for (int i = 0; i < 4; ++i) {
        const int64_t d = i < ndim ? get<int64_t>(h, 24 + 8 * i) : 1;
        if (d < 1) fail("dim[" + std::to_string(i + 1) + "] below 1: " + std::to_string(d));
        v.dims[i] = d;
    }
    for (int i = 4; i < ndim; ++i)
        if (get<int64_t>(h, 24 + 8 * i) > 1) fail("dimensions beyond the fourth are not read");
    v.dwellSeconds = get<double>(h, 104 + 8 * 4);
    v.qformCode = get<int32_t>(h, 344);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 4; ++j) v.affine[i][j] = get<double>(h, 400 + 32 * i + 8 * j);
    char desc[81] = {};
    std::memcpy(desc, h + 240, 80);
    v.description = desc;
    const int64_t voxOffset = get<int64_t>(h, 168);
    if (voxOffset < kHeaderBytes + 4 || voxOffset > fileBytes) fail("vox_offset outside the file");
    // Compare the data size with what the file holds before allocating it.
    uint64_t points = 1;
    for (int64_t d : v.dims) {
        if (points > uint64_t(fileBytes) / uint64_t(d)) fail("data shorter than the dimensions");
        points *= uint64_t(d);
    }
    if (points > uint64_t(fileBytes - voxOffset) / sizeof(std::complex<float>)) fail("data shorter than the dimensions");
    if (h[kHeaderBytes] == 1) {
        int64_t pos = kHeaderBytes + 4;
        while (pos + 8 <= voxOffset) {
            unsigned char eh[8];
            if (std::fread(eh, 1, 8, f) != 8) fail("truncated extension");
            const int32_t esize = get<int32_t>(eh, 0), ecode = get<int32_t>(eh, 4);
            if (esize < 8 || pos + esize > voxOffset) fail("bad extension size");
            std::string body(size_t(esize - 8), '\0');
            if (std::fread(body.data(), 1, body.size(), f) != body.size()) fail("truncated extension");
            if (ecode == kMrsEcode) v.json = std::string(body.c_str());
            pos += esize;
        }
    }
    if (std::fseek(f, long(voxOffset), SEEK_SET) != 0) fail("vox_offset beyond the file");
    v.data.resize(size_t(points));
    if (std::fread(v.data.data(), sizeof(std::complex<float>), v.data.size(), f) != v.data.size())
        fail("truncated data");
    std::fclose(f);
    return v;
}

}  // namespace niftimrs

#include "NiftiMrs.h"

#include <cmath>
#include <cstdio>
#include <algorithm>
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
    const size_t expected =
        size_t(v.dims[0] * v.dims[1] * v.dims[2] * v.dims[3] * v.higher[0] * v.higher[1] * v.higher[2]);
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
    const int64_t used = v.higher[2] > 1 ? 7 : v.higher[1] > 1 ? 6 : v.higher[0] > 1 ? 5 : 4;
    const int64_t dim[8] = {used, v.dims[0], v.dims[1], v.dims[2], v.dims[3], v.higher[0], v.higher[1], v.higher[2]};
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

namespace {

// Where the fields this reader needs lie in the two header layouts.
struct Layout {
    int version;
    int32_t headerBytes;
    size_t dim, datatype, pixdim, voxOffset, descrip, qformCode, sformCode, quatern, srow, xyztUnits, intentName;
};
constexpr Layout kNifti1{1, 348, 40, 70, 76, 108, 148, 252, 254, 256, 280, 123, 328};
constexpr Layout kNifti2{2, 540, 16, 12, 104, 168, 240, 344, 348, 352, 400, 500, 508};

const Layout* layoutOf(const unsigned char* h, size_t n) {
    if (n >= 348 && get<int32_t>(h, 0) == 540 && std::memcmp(h + 4, "n+2\0\r\n\032\n", 8) == 0) return &kNifti2;
    if (n >= 348 && get<int32_t>(h, 0) == 348 && std::memcmp(h + 344, "n+1\0", 4) == 0) return &kNifti1;
    return nullptr;
}

// Integer and real fields of either layout.
int64_t dimOf(const Layout& l, const unsigned char* h, int i) {
    return l.version == 2 ? get<int64_t>(h, l.dim + 8 * size_t(i)) : get<int16_t>(h, l.dim + 2 * size_t(i));
}
double realOf(const Layout& l, const unsigned char* h, size_t off, int i) {
    return l.version == 2 ? get<double>(h, off + 8 * size_t(i)) : get<float>(h, off + 4 * size_t(i));
}
// vox_offset: a float in NIfTI-1. One that is not a finite number in the
// range of a file offset reads as -1 (no data position), never as the
// undefined result of converting it.
int64_t voxOffsetOf(const Layout& l, const unsigned char* h) {
    if (l.version == 2) return get<int64_t>(h, l.voxOffset);
    const float v = get<float>(h, l.voxOffset);
    return v >= 0.0f && v < 9.0e18f ? int64_t(v) : -1;
}

}  // namespace

Kind probe(const std::vector<unsigned char>& bytes) {
    Kind k;
    const Layout* l = layoutOf(bytes.data(), bytes.size());
    if (!l || bytes.size() < size_t(l->headerBytes)) return k;
    k.version = l->version;
    k.mrs = std::memcmp(bytes.data() + l->intentName, "mrs_v", 5) == 0;
    // Extensions between the header (and its 4-byte extender) and the data.
    const int64_t voxOffset = voxOffsetOf(*l, bytes.data());
    size_t pos = size_t(l->headerBytes) + 4;
    if (bytes.size() >= pos && bytes[size_t(l->headerBytes)] == 1)
        while (pos + 8 <= bytes.size() && int64_t(pos + 8) <= voxOffset) {
            const int32_t esize = get<int32_t>(bytes.data(), pos), ecode = get<int32_t>(bytes.data(), pos + 4);
            if (ecode == kMrsEcode) k.mrs = true;
            if (esize < 8) break;
            pos += size_t(esize);
        }
    return k;
}

Volume read(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) throw std::runtime_error(path + ": cannot be opened");
    unsigned char h[kHeaderBytes + 4] = {};
    auto fail = [&](const std::string& why) {
        std::fclose(f);
        throw std::runtime_error(path + ": " + why);
    };
    const size_t got = std::fread(h, 1, sizeof h, f);
    if (got < 348) fail("shorter than a NIfTI header");
    const Layout* lp = layoutOf(h, got);
    if (!lp) {
        const int32_t size = get<int32_t>(h, 0);
        if (size == 0x5c010000 || size == 0x1c020000) fail("big-endian NIfTI is not read");
        if (std::memcmp(h + 344, "ni1\0", 4) == 0 || std::memcmp(h + 4, "ni2\0", 4) == 0)
            fail("a NIfTI header without its data (.hdr/.img pair) is not read; single .nii files are");
        fail("not a single-file NIfTI-1 or NIfTI-2");
    }
    const Layout& l = *lp;
    if (got < size_t(l.headerBytes) + 4) fail("shorter than a NIfTI-" + std::to_string(l.version) + " header");
    const int16_t datatype = get<int16_t>(h, l.datatype);
    constexpr int16_t kComplex128 = 1792;
    if (datatype != kComplex64 && datatype != kComplex128)
        fail("datatype " + std::to_string(datatype) + " is not complex (complex64 or complex128)");
    if (std::fseek(f, 0, SEEK_END) != 0) fail("cannot seek");
    const long fileBytes = std::ftell(f);
    Volume v;
    const int64_t ndim = dimOf(l, h, 0);
    if (ndim < 1 || ndim > 7) fail("dim[0] out of range [1, 7]: " + std::to_string(ndim));
    for (int i = 0; i < 7; ++i) {
        const int64_t d = i < ndim ? dimOf(l, h, i + 1) : 1;
        if (d < 1) fail("dim[" + std::to_string(i + 1) + "] below 1: " + std::to_string(d));
        (i < 4 ? v.dims[size_t(i)] : v.higher[size_t(i - 4)]) = d;
    }
    // The dwell time in seconds, whatever unit xyzt_units names.
    const int units = (l.version == 2 ? get<int32_t>(h, l.xyztUnits) : h[l.xyztUnits]) & 0x38;
    v.dwellSeconds = realOf(l, h, l.pixdim, 4) * (units == 16 ? 1e-3 : units == 24 ? 1e-6 : 1.0);
    const int sform = l.version == 2 ? get<int32_t>(h, l.sformCode) : get<int16_t>(h, l.sformCode);
    v.qformCode = l.version == 2 ? get<int32_t>(h, l.qformCode) : get<int16_t>(h, l.qformCode);
    if (sform > 0) {
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 4; ++j) v.affine[size_t(i)][size_t(j)] = realOf(l, h, l.srow + (l.version == 2 ? 32 : 16) * size_t(i), j);
        if (v.qformCode == 0) v.qformCode = sform;
    } else if (v.qformCode > 0) {
        // The quaternion form: rotation from (b, c, d), columns scaled by the
        // voxel sizes, the third by qfac.
        const double b = realOf(l, h, l.quatern, 0), c = realOf(l, h, l.quatern, 1), d = realOf(l, h, l.quatern, 2);
        const double a = std::sqrt(std::max(0.0, 1.0 - (b * b + c * c + d * d)));
        const double r[3][3] = {{a * a + b * b - c * c - d * d, 2 * (b * c - a * d), 2 * (b * d + a * c)},
                                {2 * (b * c + a * d), a * a + c * c - b * b - d * d, 2 * (c * d - a * b)},
                                {2 * (b * d - a * c), 2 * (c * d + a * b), a * a + d * d - c * c - b * b}};
        const double qfac = realOf(l, h, l.pixdim, 0) < 0.0 ? -1.0 : 1.0;
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 3; ++j)
                v.affine[size_t(i)][size_t(j)] = r[i][j] * realOf(l, h, l.pixdim, j + 1) * (j == 2 ? qfac : 1.0);
            v.affine[size_t(i)][3] = realOf(l, h, l.quatern, 3 + i);
        }
    }
    char desc[81] = {};
    std::memcpy(desc, h + l.descrip, 80);
    v.description = desc;
    const int64_t voxOffset = voxOffsetOf(l, h);
    if (voxOffset < l.headerBytes || voxOffset > fileBytes) fail("vox_offset outside the file");
    // Compare the data size with what the file holds before allocating it.
    const size_t pointBytes = datatype == kComplex64 ? 8 : 16;
    uint64_t points = 1;
    for (int64_t d : {v.dims[0], v.dims[1], v.dims[2], v.dims[3], v.higher[0], v.higher[1], v.higher[2]}) {
        if (points > uint64_t(fileBytes) / uint64_t(d)) fail("data shorter than the dimensions");
        points *= uint64_t(d);
    }
    if (points > uint64_t(fileBytes - voxOffset) / pointBytes) fail("data shorter than the dimensions");
    if (h[l.headerBytes] == 1) {
        int64_t pos = l.headerBytes + 4;
        if (std::fseek(f, long(pos), SEEK_SET) != 0) fail("cannot seek");
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
    if (datatype == kComplex64) {
        if (std::fread(v.data.data(), sizeof(std::complex<float>), v.data.size(), f) != v.data.size())
            fail("truncated data");
    } else {
        std::vector<std::complex<double>> wide(v.data.size());
        if (std::fread(wide.data(), sizeof(std::complex<double>), wide.size(), f) != wide.size()) fail("truncated data");
        for (size_t i = 0; i < wide.size(); ++i) v.data[i] = std::complex<float>(wide[i]);
    }
    // Spectra of values that are not numbers have no peaks, scale or picture.
    for (size_t i = 0; i < v.data.size(); ++i)
        if (!std::isfinite(v.data[i].real()) || !std::isfinite(v.data[i].imag()))
            fail("data point " + std::to_string(i) + " is not a finite number");
    std::fclose(f);
    return v;
}

}  // namespace niftimrs

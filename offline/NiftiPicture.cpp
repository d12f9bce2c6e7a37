#include "NiftiPicture.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

namespace duvoffline {

namespace {

template <class T>
T at(const std::vector<unsigned char>& h, size_t off) {
    T v;
    std::memcpy(&v, h.data() + off, sizeof v);
    return v;
}

}  // namespace

Nifti1MidSlice readNifti1MidSlice(const std::string& name, const std::vector<unsigned char>& bytes) {
    if (bytes.size() < 352) throw std::runtime_error(name + ": shorter than a NIfTI-1 header");
    Nifti1MidSlice r;
    for (int i = 0; i < 8; ++i) r.dim[size_t(i)] = at<short>(bytes, 40 + 2 * size_t(i));
    r.datatype = at<short>(bytes, 70);
    for (int i = 0; i < 8; ++i) r.pixdim[size_t(i)] = at<float>(bytes, 76 + 4 * size_t(i));
    const float voxOffset = at<float>(bytes, 108);
    if (!(voxOffset >= 348.0f && voxOffset <= float(bytes.size())))
        throw std::runtime_error(name + ": vox_offset outside the file");
    const size_t vox = size_t(voxOffset);
    r.qformCode = at<short>(bytes, 252);
    r.sformCode = at<short>(bytes, 254);
    for (size_t i = 0; i < 3; ++i)
        for (size_t j = 0; j < 4; ++j) r.srow[i][j] = at<float>(bytes, 280 + 16 * i + 4 * j);
    const int nx = std::max<short>(1, r.dim[1]), ny = std::max<short>(1, r.dim[2]), nz = std::max<short>(1, r.dim[3]);
    const size_t bytesPer = r.datatype == 4 ? 2 : r.datatype == 16 ? 4 : r.datatype == 32 ? 8 : 0;
    if (bytesPer == 0) throw std::runtime_error(name + ": datatype " + std::to_string(r.datatype) + " not shown");
    r.slice = nz / 2;
    r.width = nx;
    r.height = ny;
    std::vector<double> values(size_t(nx) * size_t(ny));
    for (int y = 0; y < ny; ++y)
        for (int x = 0; x < nx; ++x) {
            const size_t off = vox + ((size_t(r.slice) * size_t(ny) + size_t(y)) * size_t(nx) + size_t(x)) * bytesPer;
            if (off + bytesPer > bytes.size()) throw std::runtime_error(name + ": data shorter than dim");
            double val = 0.0;
            if (r.datatype == 4) val = at<short>(bytes, off);
            else if (r.datatype == 16) val = at<float>(bytes, off);
            else val = std::hypot(at<float>(bytes, off), at<float>(bytes, off + 4));
            values[size_t(y) * size_t(nx) + size_t(x)] = val;
        }
    const auto [lo, hi] = std::minmax_element(values.begin(), values.end());
    r.pixels.resize(values.size());
    // NIfTI's j runs upwards: picture rows run downwards.
    for (int y = 0; y < ny; ++y)
        for (int x = 0; x < nx; ++x)
            r.pixels[size_t(ny - 1 - y) * size_t(nx) + size_t(x)] =
                uint8_t(*hi > *lo ? 255.0 * (values[size_t(y) * size_t(nx) + size_t(x)] - *lo) / (*hi - *lo) + 0.5
                                  : 0.0);
    return r;
}

}  // namespace duvoffline

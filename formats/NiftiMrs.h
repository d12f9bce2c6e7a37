// NIfTI-MRS files: a NIfTI-2 single file (complex64, time as dimension 4)
// with one header extension (ecode 44) holding the JSON metadata.
#pragma once

#include <array>
#include <complex>
#include <cstdint>
#include <string>
#include <vector>

namespace niftimrs {

struct Volume {
    std::array<int64_t, 4> dims{1, 1, 1, 1};  // x, y, z, time points
    double dwellSeconds = 0.0;
    // Voxel-to-world transform (rows of a 3x4 matrix, mm). qformCode 0 leaves
    // the file without a real-world position (voxels of 10000 mm).
    std::array<std::array<double, 4>, 3> affine{{{10000, 0, 0, 0}, {0, 10000, 0, 0}, {0, 0, 10000, 0}}};
    int qformCode = 0;
    std::string json;                          // extension text (UTF-8 JSON)
    std::vector<std::complex<float>> data;     // x fastest, then y, z, time
    std::string description;                   // descrip, at most 79 characters kept
};

// Throws std::runtime_error when the file cannot be written.
void write(const std::string& path, const Volume& v);
// Reads a file written by write() (or any single-file NIfTI-2 complex64);
// throws std::runtime_error naming the problem.
Volume read(const std::string& path);

// Quaternion parameters of a 3x3 direction matrix (columns = axis directions
// with their lengths); qfac is -1 for a left-handed set.
struct Quaternion {
    double b, c, d, qfac;
    std::array<double, 3> pixdim;
};
Quaternion toQuaternion(const std::array<std::array<double, 4>, 3>& affine);

}  // namespace niftimrs

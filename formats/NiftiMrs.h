// NIfTI-MRS files: a NIfTI-2 single file (complex64, time as dimension 4,
// optional dimensions 5 to 7) with one header extension (ecode 44) holding
// the JSON metadata. The reader also takes NIfTI-1 single files and
// complex128 data, as other converters write them.
#pragma once

#include <array>
#include <complex>
#include <cstdint>
#include <string>
#include <vector>

namespace niftimrs {

struct Volume {
    std::array<int64_t, 4> dims{1, 1, 1, 1};  // x, y, z, time points
    std::array<int64_t, 3> higher{1, 1, 1};   // dimensions 5 to 7 (their tags are in the JSON)
    double dwellSeconds = 0.0;
    // Voxel-to-world transform (rows of a 3x4 matrix, mm). qformCode 0 leaves
    // the file without a real-world position (voxels of 10000 mm).
    std::array<std::array<double, 4>, 3> affine{{{10000, 0, 0, 0}, {0, 10000, 0, 0}, {0, 0, 10000, 0}}};
    int qformCode = 0;
    std::string json;                          // extension text (UTF-8 JSON)
    std::vector<std::complex<float>> data;     // x fastest, then y, z, time, dimensions 5 to 7
    std::string description;                   // descrip, at most 79 characters kept
};

// Throws std::runtime_error when the file cannot be written.
void write(const std::string& path, const Volume& v);
// Reads a single-file NIfTI-1 or NIfTI-2 with complex64 or complex128 data
// (little-endian); throws std::runtime_error naming what it cannot read.
Volume read(const std::string& path);

// What a file's first bytes say: its NIfTI version (0: none) and whether it
// is NIfTI-MRS (intent name "mrs_v..." or an extension with ecode 44) rather
// than an image.
struct Kind {
    int version = 0;
    bool mrs = false;
};
Kind probe(const std::vector<unsigned char>& bytes);

// Quaternion parameters of a 3x3 direction matrix (columns = axis directions
// with their lengths); qfac is -1 for a left-handed set.
struct Quaternion {
    double b, c, d, qfac;
    std::array<double, 3> pixdim;
};
Quaternion toQuaternion(const std::array<std::array<double, 4>, 3>& affine);

}  // namespace niftimrs

// The middle slice of a NIfTI-1 image file as a greyscale picture, for
// `duv inspect` and the report page.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace duvoffline {

struct Nifti1MidSlice {
    std::array<short, 8> dim{};
    short datatype = 0;
    std::array<float, 8> pixdim{};
    short qformCode = 0, sformCode = 0;
    std::array<std::array<float, 4>, 3> srow{};
    int slice = 0;             // the middle slice, dim[3] / 2
    int width = 0, height = 0;
    // width x height bytes, rows top to bottom (NIfTI's j runs upwards), the
    // slice's range stretched to 0...255; complex data as magnitude.
    std::vector<uint8_t> pixels;
};

// Reads the header and the middle slice (int16, float32 or complex64) from
// the file's bytes; throws std::runtime_error naming `name` and the problem.
Nifti1MidSlice readNifti1MidSlice(const std::string& name, const std::vector<unsigned char>& bytes);

}  // namespace duvoffline

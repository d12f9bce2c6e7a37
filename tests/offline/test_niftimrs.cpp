// The NIfTI-MRS writer and reader: header fields at their NIfTI-2 offsets,
// the extension, the quaternion, and what the reader refuses.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "NiftiMrs.h"
#include "OfflineTestSupport.h"

using namespace offlinetest;

namespace {

using Affine = std::array<std::array<double, 4>, 3>;

niftimrs::Volume smallVolume(const std::string& json) {
    niftimrs::Volume v;
    v.dims = {2, 3, 1, 4};
    v.dwellSeconds = 2.5e-4;
    v.json = json;
    v.description = "svs_se";
    v.qformCode = 1;
    v.affine = {{{-10, 0, 0, 5}, {0, -12, 0, 6}, {0, 0, 15, 7}}};
    for (int i = 0; i < 24; ++i) v.data.emplace_back(float(i), -float(i) - 0.25f);
    return v;
}

// The rotation matrix (times pixdim and qfac) that a reader builds from the
// quaternion fields, as the NIfTI standard defines it.
Affine fromQuaternion(const std::vector<unsigned char>& h) {
    const double b = peek<double>(h, 352), c = peek<double>(h, 360), d = peek<double>(h, 368);
    const double a = std::sqrt(std::max(0.0, 1.0 - (b * b + c * c + d * d)));
    const double qfac = peek<double>(h, 104) < 0 ? -1.0 : 1.0;
    const double dx = peek<double>(h, 112), dy = peek<double>(h, 120), dz = peek<double>(h, 128) * qfac;
    const double r[3][3] = {{a * a + b * b - c * c - d * d, 2 * (b * c - a * d), 2 * (b * d + a * c)},
                            {2 * (b * c + a * d), a * a + c * c - b * b - d * d, 2 * (c * d - a * b)},
                            {2 * (b * d - a * c), 2 * (c * d + a * b), a * a + d * d - c * c - b * b}};
    Affine m{};
    for (int i = 0; i < 3; ++i) {
        m[i][0] = r[i][0] * dx;
        m[i][1] = r[i][1] * dy;
        m[i][2] = r[i][2] * dz;
        m[i][3] = peek<double>(h, 376 + 8 * size_t(i));
    }
    return m;
}

TEST(NiftiMrsWrite, HeaderFieldsSitAtTheirNifti2Offsets) {
    TempDir dir;
    const std::string json = "{\"SpectrometerFrequency\":[123.2],\"ResonantNucleus\":[\"1H\"]}";
    niftimrs::write(dir / "a.nii", smallVolume(json));
    const auto h = readBytes(dir / "a.nii");
    EXPECT_EQ(peek<int32_t>(h, 0), 540);
    EXPECT_EQ(std::memcmp(h.data() + 4, "n+2\0\r\n\032\n", 8), 0);
    EXPECT_EQ(peek<int16_t>(h, 12), 32);  // complex64
    EXPECT_EQ(peek<int16_t>(h, 14), 64);
    const int64_t dims[8] = {4, 2, 3, 1, 4, 1, 1, 1};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(peek<int64_t>(h, 16 + 8 * size_t(i)), dims[i]) << "dim " << i;
    EXPECT_EQ(peek<double>(h, 104 + 8 * 4), 2.5e-4);  // pixdim[4]: dwell in s
    for (int i = 5; i < 8; ++i) EXPECT_EQ(peek<double>(h, 104 + 8 * size_t(i)), 1.0);
    EXPECT_EQ(peek<double>(h, 176), 1.0);  // scl_slope
    EXPECT_EQ(peek<double>(h, 184), 0.0);  // scl_inter
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(h.data() + 240)), "svs_se");
    EXPECT_EQ(peek<int32_t>(h, 344), 1);  // qform_code
    EXPECT_EQ(peek<int32_t>(h, 348), 1);  // sform_code
    EXPECT_EQ(peek<int32_t>(h, 500), 2 | 8);  // mm and s
    EXPECT_EQ(peek<int32_t>(h, 504), 0);      // intent_code
    const std::string intent(reinterpret_cast<const char*>(h.data() + 508), 16);
    EXPECT_EQ(intent, std::string("mrs_v0_9") + std::string(8, '\0'));

    // One extension, ecode 44, padded to 16 bytes with esize the padded size.
    EXPECT_EQ(h[540], 1);
    EXPECT_EQ(h[541] | h[542] | h[543], 0);
    const int32_t esize = peek<int32_t>(h, 544);
    EXPECT_EQ(esize % 16, 0);
    EXPECT_EQ(esize, int32_t((8 + json.size() + 15) / 16 * 16));
    EXPECT_EQ(peek<int32_t>(h, 548), 44);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(h.data() + 552), json.size()), json);
    for (size_t i = 552 + json.size(); i < 544 + size_t(esize); ++i) EXPECT_EQ(h[i], 0) << i;
    const int64_t voxOffset = peek<int64_t>(h, 168);
    EXPECT_EQ(voxOffset, 544 + esize);
    EXPECT_EQ(voxOffset % 16, 0);

    // Data: x fastest, then y, z and time; complex64 pairs.
    ASSERT_EQ(h.size(), size_t(voxOffset) + 24 * 8);
    EXPECT_EQ(peek<float>(h, size_t(voxOffset) + 8 * 7), 7.0f);
    EXPECT_EQ(peek<float>(h, size_t(voxOffset) + 8 * 7 + 4), -7.25f);
}

TEST(NiftiMrsWrite, ExtensionOfAnExactMultipleOf16IsNotPaddedFurther) {
    TempDir dir;
    niftimrs::write(dir / "a.nii", smallVolume(std::string(24, ' ')));  // 8 + 24 = 32
    const auto h = readBytes(dir / "a.nii");
    EXPECT_EQ(peek<int32_t>(h, 544), 32);
    EXPECT_EQ(peek<int64_t>(h, 168), 544 + 32);
}

TEST(NiftiMrsWrite, WithoutPositionQformCodeIsZeroAndVoxelsAre10000Mm) {
    TempDir dir;
    niftimrs::Volume v;
    v.dims = {1, 1, 1, 2};
    v.data = {{1, 0}, {0, 1}};
    niftimrs::write(dir / "a.nii", v);
    const auto h = readBytes(dir / "a.nii");
    EXPECT_EQ(peek<int32_t>(h, 344), 0);
    EXPECT_EQ(peek<int32_t>(h, 348), 0);
    for (int i = 1; i <= 3; ++i) EXPECT_EQ(peek<double>(h, 104 + 8 * size_t(i)), 10000.0);
    EXPECT_EQ(peek<double>(h, 104), 1.0);  // qfac
}

TEST(NiftiMrsWrite, QuaternionAndSformReproduceTheAffine) {
    const double s = std::sqrt(0.5);
    const Affine cases[] = {
        {{{-10, 0, 0, 1}, {0, -10, 0, 2}, {0, 0, 10, 3}}},                 // RAS of HFS transverse, 180 deg about z
        {{{0, 5, 0, 0}, {-5, 0, 0, 0}, {0, 0, 8, 0}}},                     // 90 deg about z
        {{{10, 0, 0, 0}, {0, 10, 0, 0}, {0, 0, -10, 0}}},                  // left-handed: qfac -1
        {{{0, 0, 4, 0}, {4 * s, 4 * s, 0, 0}, {-4 * s, 4 * s, 0, 0}}},     // oblique
        {{{-2, 0, 0, 0}, {0, 2, 0, 0}, {0, 0, -2, 0}}},                    // 180 deg about y
    };
    TempDir dir;
    for (const Affine& a : cases) {
        niftimrs::Volume v;
        v.dims = {1, 1, 1, 1};
        v.data = {{0, 0}};
        v.affine = a;
        v.qformCode = 1;
        niftimrs::write(dir / "q.nii", v);
        const auto h = readBytes(dir / "q.nii");
        const Affine q = fromQuaternion(h);
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 4; ++j) {
                EXPECT_NEAR(q[size_t(i)][size_t(j)], a[size_t(i)][size_t(j)], 1e-9) << i << "," << j;
                EXPECT_EQ(peek<double>(h, 400 + 32 * size_t(i) + 8 * size_t(j)), a[size_t(i)][size_t(j)]);
            }
    }
}

TEST(NiftiMrsRead, ReadsBackWhatWasWritten) {
    TempDir dir;
    const niftimrs::Volume v = smallVolume("{\"a\":1}");
    niftimrs::write(dir / "a.nii", v);
    const niftimrs::Volume r = niftimrs::read(dir / "a.nii");
    EXPECT_EQ(r.dims, v.dims);
    EXPECT_EQ(r.dwellSeconds, v.dwellSeconds);
    EXPECT_EQ(r.qformCode, 1);
    EXPECT_EQ(r.affine, v.affine);
    EXPECT_EQ(r.json, "{\"a\":1}");
    EXPECT_EQ(r.description, "svs_se");
    EXPECT_EQ(r.data, v.data);
}

TEST(NiftiMrsRead, RefusesWhatItCannotRead) {
    TempDir dir;
    niftimrs::write(dir / "a.nii", smallVolume("{}"));
    const auto good = readBytes(dir / "a.nii");
    auto message = [&](const std::vector<unsigned char>& b) {
        writeBytes(dir / "b.nii", b);
        try {
            niftimrs::read(dir / "b.nii");
            return std::string();
        } catch (const std::runtime_error& e) {
            return std::string(e.what());
        }
    };
    const std::string p = dir / "b.nii";
    auto b = good;
    b[6] = '1';
    EXPECT_EQ(message(b), p + ": not a single-file NIfTI-1 or NIfTI-2");
    b = good;
    patch<int32_t>(b, 0, 0x1c020000);  // 540 read with the other byte order
    EXPECT_EQ(message(b), p + ": big-endian NIfTI is not read");
    b = good;
    std::memcpy(b.data() + 4, "ni2\0", 4);
    EXPECT_EQ(message(b), p + ": a NIfTI header without its data (.hdr/.img pair) is not read; single .nii files are");
    b = good;
    patch<int16_t>(b, 12, 16);
    EXPECT_EQ(message(b), p + ": datatype 16 is not complex (complex64 or complex128)");
    EXPECT_EQ(message(std::vector<unsigned char>(good.begin(), good.end() - 1)), p + ": data shorter than the dimensions");
    b = good;
    patch<int64_t>(b, 24, -2);
    EXPECT_EQ(message(b), p + ": dim[1] below 1: -2");
    b = good;
    patch<int64_t>(b, 24, int64_t(1) << 60);  // would need exabytes
    EXPECT_EQ(message(b), p + ": data shorter than the dimensions");
    b = good;
    patch<int64_t>(b, 168, int64_t(good.size()) + 16);
    EXPECT_EQ(message(b), p + ": vox_offset outside the file");
    EXPECT_EQ(message(std::vector<unsigned char>(good.begin(), good.begin() + 300)), p + ": shorter than a NIfTI header");
    b = good;
    patch<float>(b, good.size() - 4, NAN);  // the last point's imaginary part
    EXPECT_EQ(message(b), p + ": data point " + std::to_string(smallVolume("{}").data.size() - 1) +
                              " is not a finite number");
}

TEST(NiftiMrsRead, HigherDimensionsComeBackInOrder) {
    TempDir dir;
    niftimrs::Volume v = smallVolume("{\"dim_5\": \"DIM_COIL\"}");
    const size_t block = v.data.size();
    v.higher = {2, 3, 1};
    v.data.resize(block * 6);
    for (size_t i = 0; i < v.data.size(); ++i) v.data[i] = {float(i), -float(i)};
    niftimrs::write(dir / "h.nii", v);
    const auto h = readBytes(dir / "h.nii");
    EXPECT_EQ(peek<int64_t>(h, 16), 6);  // dim[0]: the last dimension used
    EXPECT_EQ(peek<int64_t>(h, 16 + 8 * 5), 2);
    EXPECT_EQ(peek<int64_t>(h, 16 + 8 * 6), 3);
    const niftimrs::Volume r = niftimrs::read(dir / "h.nii");
    EXPECT_EQ(r.higher, (std::array<int64_t, 3>{2, 3, 1}));
    EXPECT_EQ(r.data, v.data);
    EXPECT_TRUE(niftimrs::probe(h).mrs);
    EXPECT_EQ(niftimrs::probe(h).version, 2);
}

}  // namespace

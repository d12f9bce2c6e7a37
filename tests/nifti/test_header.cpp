// The NIfTI-1 header that the writer's first call builds: every byte of the
// written header, the dimension checks, the channel and sample-format rules
// and the voxel-to-world transform.
#include <gtest/gtest.h>

#include <sstream>

#include "NiftiTestSupport.h"
#include "duvhost/Framework.h"

using namespace niftitest;

namespace {

// Expected file prefix built field by field from the format table; every byte
// of 0..351 must be described exactly once.
class ExpectedHeader {
public:
    ExpectedHeader() : bytes_(352, 0), covered_(352, 0) {}
    void i32(size_t o, int32_t v) { put(o, &v, 4); }
    void i16(size_t o, int16_t v) { put(o, &v, 2); }
    void f32(size_t o, double v) {
        const float f = float(v);
        put(o, &f, 4);
    }
    // A float compared by value: the sign of a zero depends on how the
    // patient-to-device rotation was evaluated.
    void f32value(size_t o, double v) {
        f32(o, v);
        byValue_.push_back(o);
    }
    void u8(size_t o, unsigned char v) { put(o, &v, 1); }
    void zeros(size_t o, size_t n) {
        std::vector<unsigned char> z(n, 0);
        put(o, z.data(), n);
    }
    void text(size_t o, size_t n, const std::string& s) {
        std::vector<unsigned char> t(n, 0);
        std::memcpy(t.data(), s.data(), std::min(s.size(), n));
        put(o, t.data(), n);
    }
    void expectMatches(const std::vector<unsigned char>& file) const {
        for (size_t i = 0; i < covered_.size(); ++i) ASSERT_EQ(covered_[i], 1) << "byte " << i << " described "
                                                                                << int(covered_[i]) << " times";
        ASSERT_GE(file.size(), 352u);
        std::vector<bool> skip(352, false);
        for (size_t o : byValue_) {
            EXPECT_EQ(at<float>(file, o), at<float>(bytes_, o)) << "float at " << o;
            for (size_t i = o; i < o + 4; ++i) skip[i] = true;
        }
        for (size_t i = 0; i < 352; ++i) {
            if (!skip[i]) {
                EXPECT_EQ(int(file[i]), int(bytes_[i])) << "byte " << i;
            }
        }
    }

    // The fields every written header shares.
    void common(int16_t dim0, int16_t nCol, int16_t nLin, int16_t dim3, int16_t dim4, int16_t dim5, int16_t datatype,
                int16_t bitpix, double du, double dv, double dw, double pixdim4, const std::string& descrip) {
        i32(0, 348);
        zeros(4, 10);
        zeros(14, 18);
        i32(32, 0);
        i16(36, 0);
        u8(38, 0);
        u8(39, 0);
        const int16_t dims[8] = {dim0, nCol, nLin, dim3, dim4, dim5, 1, 1};
        for (int d = 0; d < 8; ++d) i16(40 + 2 * d, dims[d]);
        f32(56, 0);
        f32(60, 0);
        f32(64, 0);
        i16(68, 0);
        i16(70, datatype);
        i16(72, bitpix);
        i16(74, 0);
        f32(76, -1.0);
        f32(80, du);
        f32(84, dv);
        f32(88, dw);
        f32(92, pixdim4);
        f32(96, 0);
        f32(100, 0);
        f32(104, 0);
        f32(108, 352.0);
        f32(112, 1.0);
        f32(116, 0);
        i16(120, int16_t(dim3 - 1));
        u8(122, 1);
        u8(123, 10);
        for (size_t o = 124; o <= 136; o += 4) f32(o, 0);
        i32(140, 0);
        i32(144, 0);
        text(148, 80, descrip.substr(0, 79));
        zeros(228, 24);
        i16(252, 0);
        for (size_t o = 256; o <= 276; o += 4) f32(o, 0);
        zeros(328, 16);
        text(344, 4, std::string("n+1\0", 4));
        const unsigned char ext[4] = {1, 0, 0, 0};
        put(348, ext, 4);
    }
    // sform rows for HFS (file convention = patient sag, cor, tra) from the
    // geometry of slice 0, with the centre terms of the image convention.
    void hfsSform(const Geometry& g, double dw, long nCol, long nLin) {
        i16(254, 1);
        const sVec u = g.row, v = g.column, w = g.normal, p = g.position;
        const double i0 = nCol / 2, j0 = nLin - 1 - nLin / 2;
        const double du = g.rowSpacing, dv = g.columnSpacing;
        const float x0 = float(-u.x * du), x1 = float(v.x * dv), y0 = float(-u.y * du), y1 = float(v.y * dv);
        const float z0 = float(u.z * du), z1 = float(-v.z * dv);
        f32value(280, x0);
        f32value(284, x1);
        f32value(288, -w.x * dw);
        f32value(292, -p.x - i0 * x0 - j0 * x1);
        f32value(296, y0);
        f32value(300, y1);
        f32value(304, -w.y * dw);
        f32value(308, -p.y - i0 * y0 - j0 * y1);
        f32value(312, z0);
        f32value(316, z1);
        f32value(320, w.z * dw);
        f32value(324, p.z - i0 * z0 - j0 * z1);
    }

private:
    void put(size_t o, const void* src, size_t n) {
        std::memcpy(bytes_.data() + o, src, n);
        for (size_t i = o; i < o + n; ++i) ++covered_[i];
    }
    std::vector<unsigned char> bytes_;
    std::vector<int> covered_;
    std::vector<size_t> byValue_;
};

Geometry transverse() {
    Geometry g;
    g.position = {10.0, -20.0, 30.0};
    g.rowSpacing = 0.9;
    g.columnSpacing = 1.1;
    return g;
}

// Runs one job through EndInit, the images, endOfJob; returns the file bytes.
std::vector<unsigned char> runJob(Writer& w, const std::string& file,
                                  const std::vector<std::pair<TestImage, ImageControl>>& images,
                                  DuvStatus* lastStatus = nullptr) {
    EXPECT_EQ(w.EndInit(nullptr), I_OK);
    DuvStatus status = I_OK;
    for (const auto& [image, control] : images) {
        DuvAs as = makeImage(image);
        MrPtr<MiniHeader> h = makeHeader(image.slice);
        ImageControl ctrl = control;
        status = w.ComputeImage(as, h, ctrl);
        if (!lastStatus) {
            EXPECT_EQ(status, I_OK);
        }
    }
    if (lastStatus) *lastStatus = status;
    EXPECT_EQ(w.endOfJob(I_ACQ_END), I_OK);
    return readFile(file);
}

// World of every voxel corner of the first and last slice equals the RAS
// position of the image pixel that the voxel stores (lines reversed).
void expectHfsAffine(const std::vector<unsigned char>& file, const Geometry& g, long nCol, long nLin, long nSlices) {
    for (long k : {0L, nSlices - 1})
        for (long i : {0L, nCol / 2, nCol - 1})
            for (long j : {0L, nLin / 2, nLin - 1}) {
                const sVec world = sformWorld(file, double(i), double(j), double(k));
                const sVec want = rasOfHfs(g.pixel(i, nLin - 1 - j, k, nCol, nLin));
                EXPECT_NEAR(world.x, want.x, 1e-3) << i << "," << j << "," << k;
                EXPECT_NEAR(world.y, want.y, 1e-3) << i << "," << j << "," << k;
                EXPECT_NEAR(world.z, want.z, 1e-3) << i << "," << j << "," << k;
            }
}

// The first call after EndInit with one image of the test pattern.
DuvStatus firstCall(Writer& w, const TestImage& s = TestImage{}, const Counts& c = Counts{}) {
    DuvAs as = makeImage(s);
    MrPtr<MiniHeader> h = makeHeader(0);
    ImageControl ctrl = makeControl(c);
    return w.FirstCall(as, h, ctrl);
}

std::string dump(const ImageControl& c) {
    std::ostringstream os;
    os << c;
    return os.str();
}

const std::string kFailSuffix = " status = 0xc0000001";

}  // namespace

// --- every header byte --------------------------------------------------------

TEST(NiftiHeaderBytes, TwoDimensionalMultiSliceWithGap) {
    TempDir dir;
    Job job;
    job.nSlc = 20;
    job.sliceThk = 5.0;
    job.distFact = 0.2;
    MrPtr<Writer> w = makeWriter(job, dir.str(), "t2d.nii");
    TestImage s;
    s.geometry = transverse();
    s.geometry.sliceStep = 6.0;
    Counts c;
    c.slc = 20;
    const auto file = runJob(*w, dir / "t2d.nii", {{s, makeControl(c)}});

    ExpectedHeader e;
    // 20 slices of 5 mm with a gap of 20 %: neighbouring slices 6 mm apart.
    e.common(5, 8, 6, 20, 1, 1, 4, 16, 0.9, 1.1, 6.0, 2.0, "t1_mprage_sag");
    e.hfsSform(s.geometry, 6.0, 8, 6);
    e.expectMatches(file);
    EXPECT_EQ(file.size(), 352u + 20u * 8 * 6 * 2);
    expectHfsAffine(file, s.geometry, 8, 6, 20);
}

TEST(NiftiHeaderBytes, ThreeDimensionalSlabFirstImageNotPartitionZero) {
    TempDir dir;
    Job job;
    job.nParMeas = 2;
    job.nParFT = 176;
    job.sliceThk = 176.0;
    MrPtr<Writer> w = makeWriter(job, dir.str(), "t3d.nii");
    TestImage s;
    s.geometry = transverse();
    s.geometry.sliceStep = 1.0;
    s.slice = 5;  // partition 5 arrives first
    Counts c;
    c.par = 176;
    const auto file = runJob(*w, dir / "t3d.nii", {{s, makeControl(c, 0, 5)}});

    ExpectedHeader e;
    e.common(5, 8, 6, 176, 1, 1, 4, 16, 0.9, 1.1, 1.0, 2.0, "t1_mprage_sag");
    e.hfsSform(s.geometry, 1.0, 8, 6);  // origin: partition 0
    e.expectMatches(file);
    expectHfsAffine(file, s.geometry, 8, 6, 176);
}

TEST(NiftiHeaderBytes, ComplexSingleSliceRepetitions) {
    TempDir dir;
    Job job;
    job.nRepProtocol = 9;  // ten repetitions
    job.sliceThk = 3.0;
    MrPtr<Writer> w = makeWriter(job, dir.str(), "cx.nii");
    TestImage s;
    s.format = CXFL;
    s.geometry = transverse();
    Counts c;
    c.rep = 10;
    const auto file = runJob(*w, dir / "cx.nii", {{s, makeControl(c)}});

    ExpectedHeader e;
    e.common(5, 8, 6, 1, 10, 1, 32, 64, 0.9, 1.1, 3.0, 2.0, "t1_mprage_sag");
    e.hfsSform(s.geometry, 3.0, 8, 6);
    e.expectMatches(file);
    EXPECT_EQ(file.size(), 352u + 10u * 8 * 6 * 8);
}

// --- dimension checks -----------------------------------------------------------

struct CheckCase {
    const char* name;
    Counts counts;
    Job job;
    const char* message;
};

TEST(NiftiFirstCallChecks, OnlyTheFirstMatchingRowIsReported) {
    auto counts = [](auto f) {
        Counts c;
        f(c);
        return c;
    };
    Job plain;
    Job threeSlices;
    threeSlices.nSlc = 3;
    Job slab;
    slab.nParMeas = 2;
    slab.nParFT = 4;
    Job sets;
    sets.nSet = 2;
    Job reps;
    reps.nRepProtocol = 1;
    Job phases;
    phases.nPhs = 2;
    // Each case also breaks later rows; only its own message may appear.
    const CheckCase cases[] = {
        {"eco", counts([](Counts& c) { c.eco = 2; c.idb = 2; c.slc = 9; }), plain,
         "qomNiftiWriter: ECHOES > 1 not supported!"},
        {"idb", counts([](Counts& c) { c.idb = 2; c.idc = 2; }), plain, "qomNiftiWriter: IDB > 1 not supported!"},
        {"idc", counts([](Counts& c) { c.idc = 2; c.idd = 2; }), plain, "qomNiftiWriter: IDC > 1 not supported!"},
        {"idd", counts([](Counts& c) { c.idd = 2; c.ave = 2; }), plain, "qomNiftiWriter: IDD > 1 not supported!"},
        {"ave", counts([](Counts& c) { c.ave = 2; c.ide = 2; }), plain,
         "qomNiftiWriter: UNCOMBINED AVERAGES not supported!"},
        {"ide", counts([](Counts& c) { c.ide = 2; c.seg = 2; }), plain, "qomNiftiWriter: IDE > 1 not supported!"},
        {"seg", counts([](Counts& c) { c.seg = 2; c.par = 2; c.slc = 2; }), plain,
         "qomNiftiWriter: SEGMENTS > 1 not supported except for multiple-phase cardiac imaging!"},
        {"parslc", counts([](Counts& c) { c.par = 2; c.slc = 2; c.set = 2; c.rep = 2; }), plain,
         "qomNiftiWriter: SLICES > 1 and PARTITIONS > 1 not supported!"},
        {"setrep", counts([](Counts& c) { c.set = 2; c.rep = 2; c.phs = 2; }), plain,
         "qomNiftiWriter: SETS > 1 and REPETITIONS > 1 not supported!"},
        {"phsrep", counts([](Counts& c) { c.phs = 2; c.rep = 2; c.seg = 2; }), plain,
         "qomNiftiWriter: PHASES > 1 and REPETITIONS > 1 not supported!"},
        {"phsset", counts([](Counts& c) { c.phs = 2; c.set = 2; }), plain,
         "qomNiftiWriter: PHASES > 1 and SETS > 1 not supported!"},
        {"slc", counts([](Counts& c) { c.slc = 2; c.set = 3; }), plain, "qomNiftiWriter: SLC dimension mismatch!"},
        {"par", counts([](Counts& c) { c.par = 2; c.set = 3; }), slab, "qomNiftiWriter: PAR dimension mismatch!"},
        {"set", counts([](Counts& c) { c.set = 3; c.rep = 1; }), reps, "qomNiftiWriter: SET dimension mismatch!"},
        {"rep", counts([](Counts& c) { c.rep = 1; c.phs = 3; }), reps, "qomNiftiWriter: REP dimension mismatch!"},
        {"phs", counts([](Counts& c) { c.phs = 3; }), phases, "qomNiftiWriter: PHS dimension mismatch!"},
    };
    for (const CheckCase& k : cases) {
        SCOPED_TRACE(k.name);
        TempDir dir;
        MrPtr<Writer> w = makeWriter(k.job, dir.str());
        ASSERT_EQ(w->EndInit(nullptr), I_OK);
        duvtrace::ScopedMemorySink sink;
        DuvFramework::ClearLastError();
        TestImage s;
        DuvAs as = makeImage(s);
        MrPtr<MiniHeader> h = makeHeader(0);
        ImageControl ctrl = makeControl(k.counts);
        EXPECT_EQ(w->ComputeImage(as, h, ctrl), I_FAIL);
        EXPECT_EQ(DuvFramework::GetLastError(), I_FAIL);
        const auto errors = sink->find("DUV.Viviv", duvtrace::Error,
                                       "qomNiftiWriter::FirstCall(srcAs, dataHeader, ctrl)", "");
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_EQ(errors[0].text, k.message + dump(ctrl) + kFailSuffix);
        EXPECT_EQ(errors[0].group, "MrSpecAcq");
        EXPECT_EQ(errors[0].component, "Viviv");
        EXPECT_EQ(errors[0].file, "qomNiftiWriter");
        // The failure of the first call stays for the rest of the job; nothing is written.
        EXPECT_EQ(w->ComputeImage(as, h, ctrl), I_FAIL);
        EXPECT_TRUE(sink->contains("qomNiftiWriter: ExecuteCallbacks failed, aborting..." + kFailSuffix));
        EXPECT_FALSE(fs::exists(dir / "out.nii.tmp"));
    }
}

TEST(NiftiFirstCallChecks, WorkingSizesAreRaisedToOneAndTraced) {
    TempDir dir;
    Job job;
    job.nSlc = 0;
    job.nSet = 0;
    job.nPhs = -1;
    job.nRepProtocol = -1;  // EndInit makes 0, the first call 1
    MrPtr<Writer> w = makeWriter(job, dir.str());
    ASSERT_EQ(w->EndInit(nullptr), I_OK);
    duvtrace::ScopedMemorySink sink;
    TestImage s;
    // Vectors without zero components: the traces show them as converted.
    s.geometry.position = {1.5, -2.5, 3.5};
    s.geometry.row = {1, 2, 3};
    s.geometry.column = {4, 5, 6};
    s.geometry.normal = {7, 8, 9};
    DuvAs as = makeImage(s);
    MrPtr<MiniHeader> h = makeHeader(0);
    ImageControl ctrl = makeControl(Counts{});
    ASSERT_EQ(w->ComputeImage(as, h, ctrl), I_OK);
    EXPECT_EQ(w->getNSlc(), 1);
    EXPECT_EQ(w->getNSet(), 1);
    EXPECT_EQ(w->getNPhs(), 1);
    EXPECT_EQ(w->getNRep(), 1);
    EXPECT_EQ(w->nCol(), 8);
    EXPECT_EQ(w->nLin(), 6);
    EXPECT_EQ(w->nPar(), 1);
    EXPECT_TRUE(sink->contains("qomNiftiWriter::FirstCall started: nCol = 8 ; nCha = 1 ; nLin = 6 ; nSlc = 1 ; "
                               "nPar = 1 ; nSet = 1 ; nPhs = 1 ; nRep = 1"));
    EXPECT_TRUE(sink->containsSubstring("qomNiftiWriter::FirstCall: original Soda:\n"));
    // Geometry traces: HFS keeps (sag, cor, tra).
    EXPECT_TRUE(sink->contains("qomNiftiWriter::FirstCall: Slice Position X/Y/Z (1.5, -2.5, 3.5)"));
    EXPECT_TRUE(sink->contains("qomNiftiWriter::FirstCall: Slice Normal X/Y/Z   (7, 8, 9)"));
    EXPECT_TRUE(sink->contains("qomNiftiWriter::FirstCall: Row X/Y/Z            (1, 2, 3)"));
    EXPECT_TRUE(sink->contains("qomNiftiWriter::FirstCall: Column X/Y/Z         (4, 5, 6)"));
    EXPECT_TRUE(sink->contains("qomNiftiWriter::FirstCall: sform code: 1"));
    // The sform rows as stored, in the stream's default number format.
    const NiftiHeader1& hd = w->header();
    const float* rows[3] = {hd.srow_x, hd.srow_y, hd.srow_z};
    const char* names[3] = {"X", "Y", "Z"};
    // (-u du, v dv, -w dw, origin) with i0 4, j0 2, dw 5 and the x and y rows negated.
    const float want[3][4] = {{-1, 4, -35, -1.5f + 4 - 8}, {-2, 5, -40, 2.5f + 8 - 10}, {3, -6, 45, 3.5f - 12 + 12}};
    for (int r = 0; r < 3; ++r) {
        std::ostringstream text;
        text << "qomNiftiWriter::FirstCall: sform " << names[r] << "              (" << rows[r][0] << ", "
             << rows[r][1] << ", " << rows[r][2] << ", " << rows[r][3] << ")";
        EXPECT_TRUE(sink->contains(text.str())) << text.str();
        for (int c = 0; c < 4; ++c) EXPECT_EQ(rows[r][c], want[r][c]) << r << "," << c;
    }
}

TEST(NiftiFirstCallChecks, DebugTracesNeedDebugLogging) {
    TempDir dir;
    Job job;
    job.debug = false;
    MrPtr<Writer> w = makeWriter(job, dir.str());
    ASSERT_EQ(w->EndInit(nullptr), I_OK);
    duvtrace::ScopedMemorySink sink;
    TestImage s;
    DuvAs as = makeImage(s);
    MrPtr<MiniHeader> h = makeHeader(0);
    ImageControl ctrl = makeControl(Counts{});
    ASSERT_EQ(w->ComputeImage(as, h, ctrl), I_OK);
    EXPECT_FALSE(sink->containsSubstring("FirstCall started"));
    EXPECT_FALSE(sink->containsSubstring("qomNiftiWriter: opening "));
    EXPECT_TRUE(sink->contains("qomNiftiWriter::FirstCall: sform code: 1"));  // not a debug trace
}

// --- channel rule ---------------------------------------------------------------

TEST(NiftiChannelRule, CoilCombinedImagesOfAManyChannelProtocol) {
    TempDir dir;
    Job job;
    job.nCha = 32;
    MrPtr<Writer> w = makeWriter(job, dir.str(), "cc.nii");
    TestImage s;
    const auto file = runJob(*w, dir / "cc.nii", {{s, makeControl(Counts{})}});
    EXPECT_EQ(w->getNCha(), 1);
    EXPECT_EQ(at<int16_t>(file, 40), 3);  // dim[0]
    EXPECT_EQ(at<int16_t>(file, 50), 1);  // dim[5]
    EXPECT_EQ(file.size(), 352u + 8 * 6 * 2);
}

TEST(NiftiChannelRule, LoweredChannelsKeepEveryVolumeAndChannelVisible) {
    {  // coil-combined with repetitions: 4D
        TempDir dir;
        Job job;
        job.nCha = 32;
        job.nRepProtocol = 3;
        MrPtr<Writer> w = makeWriter(job, dir.str(), "r.nii");
        Counts c;
        c.rep = 4;
        const auto file = runJob(*w, dir / "r.nii", {{TestImage{}, makeControl(c)}});
        EXPECT_EQ(at<int16_t>(file, 40), 4);
        EXPECT_EQ(at<int16_t>(file, 48), 4);
    }
    {  // four of 32 channels: 5D
        TempDir dir;
        Job job;
        job.nCha = 32;
        MrPtr<Writer> w = makeWriter(job, dir.str(), "c.nii");
        Counts c;
        c.cha = 4;
        TestImage s;
        s.nCha = 4;
        const auto file = runJob(*w, dir / "c.nii", {{s, makeControl(c)}});
        EXPECT_EQ(w->getNCha(), 4);
        EXPECT_EQ(at<int16_t>(file, 40), 5);
        EXPECT_EQ(at<int16_t>(file, 50), 4);
    }
    {  // channels as in the protocol: dim[0] stays 5
        TempDir dir;
        Job job;
        job.nCha = 2;
        MrPtr<Writer> w = makeWriter(job, dir.str(), "e.nii");
        Counts c;
        c.cha = 2;
        TestImage s;
        s.nCha = 2;
        const auto file = runJob(*w, dir / "e.nii", {{s, makeControl(c)}});
        EXPECT_EQ(at<int16_t>(file, 40), 5);
        EXPECT_EQ(at<int16_t>(file, 50), 2);
    }
}

TEST(NiftiChannelRule, MoreImageChannelsThanTheProtocolFails) {
    TempDir dir;
    Job job;
    job.nCha = 2;
    MrPtr<Writer> w = makeWriter(job, dir.str());
    ASSERT_EQ(w->EndInit(nullptr), I_OK);
    duvtrace::ScopedMemorySink sink;
    Counts c;
    c.cha = 4;
    TestImage s;
    s.nCha = 4;
    EXPECT_EQ(firstCall(*w, s, c), I_FAIL);
    EXPECT_TRUE(sink->contains("qomNiftiWriter: CHA dimension mismatch!" + kFailSuffix));  // no control dump
    // Without export nothing happens to NCha and the call goes on.
    w->setDoNiftiExport(false);
    EXPECT_EQ(firstCall(*w, s, c), I_OK);
    EXPECT_EQ(w->getNCha(), 2);
}

// --- sample formats, description, export switch ---------------------------------

TEST(NiftiSampleFormat, DatatypeAndBitsPerFormat) {
    const struct {
        DuvFormat_t format;
        int16_t datatype, bitpix;
        int bytes;
    } cases[] = {{SH, 4, 16, 2}, {FL, 16, 32, 4}, {CXFL, 32, 64, 8}};
    for (const auto& k : cases) {
        SCOPED_TRACE(int(k.format));
        TempDir dir;
        MrPtr<Writer> w = makeWriter(Job{}, dir.str(), "f.nii");
        TestImage s;
        s.format = k.format;
        const auto file = runJob(*w, dir / "f.nii", {{s, makeControl(Counts{})}});
        EXPECT_EQ(at<int16_t>(file, 70), k.datatype);
        EXPECT_EQ(at<int16_t>(file, 72), k.bitpix);
        EXPECT_EQ(w->bytesPerValue(), k.bytes);
        EXPECT_EQ(file.size(), 352u + 8 * 6 * size_t(k.bytes));
        const auto want = expectedImageBytes(s, 0);
        EXPECT_TRUE(std::equal(want.begin(), want.end(), file.begin() + 352));
    }
}

TEST(NiftiSampleFormat, OtherFormatsAreRefused) {
    TempDir dir;
    MrPtr<Writer> w = makeWriter(Job{}, dir.str());
    ASSERT_EQ(w->EndInit(nullptr), I_OK);
    duvtrace::ScopedMemorySink sink;
    DuvFramework::ClearLastError();
    TestImage s;
    s.format = LO;
    DuvAs as = makeImage(s);
    MrPtr<MiniHeader> h = makeHeader(0);
    ImageControl ctrl = makeControl(Counts{});
    EXPECT_EQ(w->FirstCall(as, h, ctrl), I_FAIL);
    std::ostringstream viewDump;
    viewDump << as;
    EXPECT_TRUE(sink->contains("qomNiftiWriter: unsupported DuvObj format 1\n" + viewDump.str() + kFailSuffix));
    EXPECT_EQ(DuvFramework::GetLastError(), I_FAIL);
}

TEST(NiftiHeaderFields, DescriptionIsCutTo79Characters) {
    TempDir dir;
    MrPtr<Writer> w = makeWriter(Job{}, dir.str());
    ASSERT_EQ(w->EndInit(nullptr), I_OK);
    std::string longText;
    for (int i = 0; i < 100; ++i) longText += char('a' + i % 26);
    DuvAs as = makeImage(TestImage{});
    MrPtr<MiniHeader> h = makeHeader(0, longText);
    ImageControl ctrl = makeControl(Counts{});
    ASSERT_EQ(w->FirstCall(as, h, ctrl), I_OK);
    EXPECT_EQ(std::string(w->header().descrip, 79), longText.substr(0, 79));
    EXPECT_EQ(w->header().descrip[79], '\0');
}

TEST(NiftiHeaderFields, MissingSequenceDescriptionFails) {
    TempDir dir;
    MrPtr<Writer> w = makeWriter(Job{}, dir.str());
    ASSERT_EQ(w->EndInit(nullptr), I_OK);
    duvtrace::ScopedMemorySink sink;
    DuvAs as = makeImage(TestImage{});
    MrPtr<MiniHeader> h(Rudu::HeapObject<MiniHeader>::Create());
    ImageControl ctrl = makeControl(Counts{});
    EXPECT_EQ(w->FirstCall(as, h, ctrl), I_FAIL);
    EXPECT_TRUE(sink->contains(
        "qomNiftiWriter: dataHeader->get('SequenceDescription', strSeriesName) failed! Aborting ..." + kFailSuffix));
}

TEST(NiftiHeaderFields, WithoutExportNoCheckRunsButTheRulesStill) {
    TempDir dir;
    Job job;
    job.nCha = 8;
    MrPtr<Writer> w = makeWriter(job, dir.str());
    w->setDoNiftiExport(false);
    ASSERT_EQ(w->EndInit(nullptr), I_OK);
    Counts c;
    c.eco = 3;   // would fail the first check
    c.slc = 7;   // and the slice count
    DuvAs as = makeImage(TestImage{});
    MrPtr<MiniHeader> h = makeHeader(0);
    ImageControl ctrl = makeControl(c);
    EXPECT_EQ(w->FirstCall(as, h, ctrl), I_OK);
    EXPECT_EQ(w->getNCha(), 1);  // channel rule
    MrPtr<MiniHeader> bare(Rudu::HeapObject<MiniHeader>::Create());
    EXPECT_EQ(w->FirstCall(as, bare, ctrl), I_FAIL);
    TestImage lo;
    lo.format = LO;
    DuvAs loAs = makeImage(lo);
    EXPECT_EQ(w->FirstCall(loAs, h, ctrl), I_FAIL);
}

TEST(NiftiHeaderFields, VolumeDimensionAndTimeStep) {
    const struct {
        int nSet, nPhs, nRepProtocol;
        Counts counts;
        int16_t dim4;
        float pixdim4;
    } cases[] = {
        {3, 1, 0, [] { Counts c; c.set = 3; return c; }(), 3, 0.004f},
        {1, 1, 9, [] { Counts c; c.rep = 10; return c; }(), 10, 2.0f},
        {1, 5, 0, [] { Counts c; c.phs = 5; return c; }(), 5, 2.0f},
    };
    for (const auto& k : cases) {
        TempDir dir;
        Job job;
        job.nSet = k.nSet;
        job.nPhs = k.nPhs;
        job.nRepProtocol = k.nRepProtocol;
        MrPtr<Writer> w = makeWriter(job, dir.str());
        ASSERT_EQ(w->EndInit(nullptr), I_OK);
        ASSERT_EQ(firstCall(*w, TestImage{}, k.counts), I_OK);
        EXPECT_EQ(w->header().dim[4], k.dim4);
        EXPECT_FLOAT_EQ(w->header().pixdim[4], k.pixdim4);
    }
}

TEST(NiftiHeaderFields, DimensionsUpToSixteenBitsAreKept) {
    const struct {
        long nCol, nLin;
        const char* refused;  // null: accepted
    } cases[] = {{32767, 1, nullptr},
                 {1, 32767, nullptr},
                 {32768, 1, "dim[1] = 32768"},
                 {1, 32768, "dim[2] = 32768"}};
    for (const auto& k : cases) {
        SCOPED_TRACE(std::to_string(k.nCol) + "x" + std::to_string(k.nLin));
        TempDir dir;
        MrPtr<Writer> w = makeWriter(Job{}, dir.str());
        ASSERT_EQ(w->EndInit(nullptr), I_OK);
        duvtrace::ScopedMemorySink sink;
        TestImage s;
        s.nCol = k.nCol;
        s.nLin = k.nLin;
        EXPECT_EQ(firstCall(*w, s), k.refused ? I_FAIL : I_OK);
        if (k.refused) {
            EXPECT_TRUE(sink->contains("qomNiftiWriter: " + std::string(k.refused) +
                                       " does not fit the NIfTI-1 header, aborting..." + kFailSuffix));
        } else {
            EXPECT_EQ(w->header().dim[1], k.nCol);
            EXPECT_EQ(w->header().dim[2], k.nLin);
        }
    }
}

// --- geometry ---------------------------------------------------------------------

TEST(NiftiGeometry, PixelSpacingsFollowTheirDirections) {
    TempDir dir;
    MrPtr<Writer> w = makeWriter(Job{}, dir.str());
    ASSERT_EQ(w->EndInit(nullptr), I_OK);
    TestImage s;
    s.geometry.rowSpacing = 0.5;    // between columns
    s.geometry.columnSpacing = 2.0; // between lines
    ASSERT_EQ(firstCall(*w, s), I_OK);
    EXPECT_FLOAT_EQ(w->header().pixdim[1], 0.5f);
    EXPECT_FLOAT_EQ(w->header().pixdim[2], 2.0f);
    // The column of the sform has the length of its pixdim.
    EXPECT_FLOAT_EQ(std::hypot(w->header().srow_x[0], w->header().srow_y[0], w->header().srow_z[0]), 0.5f);
    EXPECT_FLOAT_EQ(std::hypot(w->header().srow_x[1], w->header().srow_y[1], w->header().srow_z[1]), 2.0f);
}

TEST(NiftiGeometry, SliceStepOfSlicesSlabsAndSingleSlices) {
    const struct {
        int nSlc, nParMeas, nParFT;
        double thk, dist;
        Counts counts;
        float pixdim3;
    } cases[] = {
        {20, 1, 1, 5.0, 0.0, [] { Counts c; c.slc = 20; return c; }(), 5.0f},
        {20, 1, 1, 5.0, 0.5, [] { Counts c; c.slc = 20; return c; }(), 7.5f},
        {1, 1, 1, 5.0, 0.5, Counts{}, 5.0f},
        {1, 2, 64, 96.0, 0.5, [] { Counts c; c.par = 64; return c; }(), 1.5f},
    };
    for (const auto& k : cases) {
        TempDir dir;
        Job job;
        job.nSlc = k.nSlc;
        job.nParMeas = k.nParMeas;
        job.nParFT = k.nParFT;
        job.sliceThk = k.thk;
        job.distFact = k.dist;
        MrPtr<Writer> w = makeWriter(job, dir.str());
        ASSERT_EQ(w->EndInit(nullptr), I_OK);
        ASSERT_EQ(firstCall(*w, TestImage{}, k.counts), I_OK);
        EXPECT_FLOAT_EQ(w->header().pixdim[3], k.pixdim3);
        EXPECT_FLOAT_EQ(w->header().srow_z[2], k.pixdim3);
    }
}

// Slices of each main orientation (row = readout, column = phase as the
// conventions derive them from the normal), and an oblique one whose row and
// column have no zero component, so that every entry of the sform counts.
Geometry oriented(const std::string& name) {
    Geometry g = transverse();
    const double a = 0.6, b = 0.8;
    if (name == "coronal") {
        g.row = {0.0, 0.0, -1.0}, g.column = {1.0, 0.0, 0.0}, g.normal = {0.0, 1.0, 0.0};
    } else if (name == "sagittal") {
        g.row = {0.0, 0.0, 1.0}, g.column = {0.0, 1.0, 0.0}, g.normal = {1.0, 0.0, 0.0};
    } else if (name == "oblique") {
        g.row = {a, b * b, -b * a}, g.column = {-b, a * b, -a * a}, g.normal = {0.0, a, b};
    }
    return g;
}

class NiftiOrientedGeometry : public ::testing::TestWithParam<const char*> {};

INSTANTIATE_TEST_SUITE_P(Slices, NiftiOrientedGeometry,
                         ::testing::Values("transverse", "coronal", "sagittal", "oblique"),
                         [](const ::testing::TestParamInfo<const char*>& i) { return std::string(i.param); });

TEST_P(NiftiOrientedGeometry, OddMatrixSizesPlaceEveryPixelCentre) {
    TempDir dir;
    Job job;
    job.nSlc = 3;
    job.sliceThk = 2.0;
    MrPtr<Writer> w = makeWriter(job, dir.str(), "odd.nii");
    TestImage s;
    s.nCol = 5;
    s.nLin = 7;
    s.geometry = oriented(GetParam());
    s.geometry.sliceStep = 2.0;
    s.slice = 2;  // the last slice arrives first
    Counts c;
    c.slc = 3;
    const auto file = runJob(*w, dir / "odd.nii", {{s, makeControl(c)}});
    expectHfsAffine(file, s.geometry, 5, 7, 3);
    // The stored first line is the image's last line.
    const auto want = expectedImageBytes(s, 0);
    EXPECT_TRUE(std::equal(want.begin(), want.end(), file.begin() + 352 + 2 * 5 * 7 * 2));
}

TEST(NiftiGeometry, UnknownPatientPositionGivesNoTransform) {
    TempDir dir;
    Job job;
    job.patientPosition = "XYZ";
    MrPtr<Writer> w = makeWriter(job, dir.str());
    ASSERT_EQ(w->EndInit(nullptr), I_OK);
    duvtrace::ScopedMemorySink sink;
    TestImage s;
    s.geometry = transverse();
    ASSERT_EQ(firstCall(*w, s), I_OK);
    EXPECT_EQ(w->header().sform_code, 0);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(w->header().srow_x[i], 0.0f);
        EXPECT_EQ(w->header().srow_y[i], 0.0f);
        EXPECT_EQ(w->header().srow_z[i], 0.0f);
    }
    const auto errors = sink->find("DUV.Viviv", duvtrace::Error, "MrMath::transformPCSToDCS", "");
    ASSERT_EQ(errors.size(), 4u);  // row, column, normal, position
    EXPECT_EQ(errors[0].text.rfind("ERROR in ", 0), 0u);
    EXPECT_NE(errors[0].text.find("XYZ"), std::string::npos);
    EXPECT_TRUE(sink->contains("qomNiftiWriter::FirstCall: sform code: 0"));
}

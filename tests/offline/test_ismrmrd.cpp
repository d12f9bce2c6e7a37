// ISMRMRD files to measurement files: every mapped header field (files made
// here with libismrmrd, where every field has a value of its own), the
// generator's Shepp-Logan files (one and eight coils, oversampling 2), and the
// refusal of records that cannot be mapped.
#include <gtest/gtest.h>
#include <ismrmrd/dataset.h>
#include <ismrmrd/meta.h>
#include <ismrmrd/xml.h>

#include <cmath>
#include <cstdlib>
#include <sstream>

#include "IsmrmrdImport.h"
#include "OfflineTestSupport.h"
#include "duvhost/MrMath.h"
#include "duvhost/XProtocol.h"

using namespace offlinetest;
using duvoffline::convertIsmrmrd;
using duvoffline::IsmrmrdError;
using duvoffline::IsmrmrdImportOptions;
using duvoffline::IsmrmrdImportResult;

namespace {

using Vec3 = std::array<double, 3>;

Vec3 v3(const float f[3]) { return {f[0], f[1], f[2]}; }
Vec3 v3(const sVec& s) { return {s.x, s.y, s.z}; }
Vec3 add(const Vec3& a, const Vec3& b, double f) { return {a[0] + f * b[0], a[1] + f * b[1], a[2] + f * b[2]}; }

#define EXPECT_VEC_NEAR(a, b, tol)              \
    do {                                        \
        const Vec3 a_ = (a), b_ = (b);          \
        for (int k_ = 0; k_ < 3; ++k_)          \
            EXPECT_NEAR(a_[k_], b_[k_], (tol)); \
    } while (0)

// An oblique, right-handed frame (slice = read x phase), as float cosines.
struct Cosines {
    float read[3], phase[3], slice[3];
};
Cosines obliqueCosines() {
    const double a = 0.35, b = 0.2;  // rotations about tra, then sag
    const double ca = std::cos(a), sa = std::sin(a), cb = std::cos(b), sb = std::sin(b);
    // Columns of Rz(a) * Rx(b).
    const double r[3] = {ca, sa, 0.0}, p[3] = {-sa * cb, ca * cb, sb}, s[3] = {sa * sb, -ca * sb, cb};
    Cosines c;
    for (int k = 0; k < 3; ++k) c.read[k] = float(r[k]), c.phase[k] = float(p[k]), c.slice[k] = float(s[k]);
    return c;
}

ISMRMRD::IsmrmrdHeader mappingHeader() {
    ISMRMRD::IsmrmrdHeader h;
    h.experimentalConditions.H1resonanceFrequency_Hz = 123200000;
    ISMRMRD::MeasurementInformation mi;
    mi.patientPosition = "FFS";
    mi.protocolName = std::string("ismrmrd_mapping");
    mi.seriesDescription = std::string("mapped series");
    h.measurementInformation = mi;
    ISMRMRD::AcquisitionSystemInformation sys;
    sys.receiverChannels = (unsigned short)3;
    sys.systemModel = std::string("Scanner X");
    for (unsigned short c = 0; c < 3; ++c) sys.coilLabel.push_back({c, "C" + std::to_string(c)});
    h.acquisitionSystemInformation = sys;
    ISMRMRD::SequenceParameters sp;
    sp.TR = std::vector<float>{1500.0f};
    sp.TE = std::vector<float>{20.0f, 40.0f};
    sp.TI = std::vector<float>{300.0f};
    sp.flipAngle_deg = std::vector<float>{70.0f, 160.0f};
    sp.sequence_type = std::string("GRE");
    h.sequenceParameters = sp;
    ISMRMRD::Encoding e;
    e.encodedSpace.matrixSize = ISMRMRD::MatrixSize(32, 8, 1);
    e.encodedSpace.fieldOfView_mm = {400.0f, 240.0f, 5.0f};
    e.reconSpace.matrixSize = ISMRMRD::MatrixSize(16, 8, 1);
    e.reconSpace.fieldOfView_mm = {200.0f, 240.0f, 5.0f};
    e.encodingLimits.kspace_encoding_step_1 = ISMRMRD::Limit(0, 6, 3);
    e.trajectory = ISMRMRD::TrajectoryType::CARTESIAN;
    h.encoding.push_back(e);
    return h;
}

// A file with the given header (none when null) and acquisitions.
void writeAcquisitionFile(const std::string& path, const ISMRMRD::IsmrmrdHeader* header,
                          const std::vector<ISMRMRD::Acquisition>& acquisitions) {
    std::remove(path.c_str());
    ISMRMRD::Dataset d(path.c_str(), "dataset", true);
    if (header) {
        std::ostringstream xml;
        ISMRMRD::serialize(*header, xml);
        d.writeHeader(xml.str());
    }
    for (const ISMRMRD::Acquisition& a : acquisitions) d.appendAcquisition(a);
}

ISMRMRD::Acquisition acquisition(uint16_t samples, uint16_t channels, float seed) {
    ISMRMRD::Acquisition a(samples, channels);
    for (uint16_t c = 0; c < channels; ++c)
        for (uint16_t s = 0; s < samples; ++s) a.data(s, c) = {seed + s + 100.0f * c, -seed - 0.5f * s};
    a.sample_time_us() = 2.5f;
    return a;
}

// The acquisitions of the mapping file: a noise readout that fits, one that
// does not, a navigator, then 28 imaging readouts (7 lines x 2 slices x 2
// repetitions) with counters, time stamps and geometry of their own, one of
// them flagged reverse and one phase correction.
std::vector<ISMRMRD::Acquisition> mappingAcquisitions() {
    std::vector<ISMRMRD::Acquisition> v;
    const Cosines c = obliqueCosines();
    ISMRMRD::Acquisition noise = acquisition(36, 3, 0.25f);
    noise.setFlag(ISMRMRD::ISMRMRD_ACQ_IS_NOISE_MEASUREMENT);
    noise.discard_pre() = 1;
    v.push_back(noise);
    ISMRMRD::Acquisition shortNoise = acquisition(20, 3, 0.5f);
    shortNoise.setFlag(ISMRMRD::ISMRMRD_ACQ_IS_NOISE_MEASUREMENT);
    v.push_back(shortNoise);
    ISMRMRD::Acquisition nav = acquisition(36, 3, 0.75f);
    nav.setFlag(ISMRMRD::ISMRMRD_ACQ_IS_NAVIGATION_DATA);
    v.push_back(nav);
    for (int i = 0; i < 28; ++i) {
        ISMRMRD::Acquisition a = acquisition(36, 3, float(i));
        a.discard_pre() = 2;
        a.discard_post() = 2;
        a.center_sample() = 18;
        a.measurement_uid() = 4242;
        a.scan_counter() = uint32_t(100 + i);
        a.acquisition_time_stamp() = uint32_t(14400000 + 7 * i);
        a.physiology_time_stamp()[0] = uint32_t(77 + i);
        a.idx().kspace_encode_step_1 = uint16_t(i % 7);
        a.idx().slice = uint16_t((i / 7) % 2);
        a.idx().repetition = uint16_t(i / 14);
        a.idx().average = uint16_t(i % 3);
        a.idx().contrast = uint16_t(i % 2);
        a.idx().set = 5;
        a.idx().segment = 4;
        const float offset = 6.0f * a.idx().slice;
        const float centre[3] = {10.0f, -20.0f, 30.0f};
        for (int k = 0; k < 3; ++k) {
            a.position()[k] = centre[k] + offset * c.slice[k];
            a.read_dir()[k] = c.read[k];
            a.phase_dir()[k] = c.phase[k];
            a.slice_dir()[k] = c.slice[k];
        }
        if (i == 5) a.setFlag(ISMRMRD::ISMRMRD_ACQ_IS_REVERSE);
        if (i == 9) a.setFlag(ISMRMRD::ISMRMRD_ACQ_IS_PHASECORR_DATA);
        v.push_back(a);
    }
    return v;
}

std::vector<duvfiles::ReadoutRecord> readReadouts(const std::string& path, int32_t& slices) {
    duvfiles::ReadoutReader reader(path);
    slices = reader.slices();
    std::vector<duvfiles::ReadoutRecord> out;
    duvfiles::ReadoutRecord r;
    while (reader.next(r)) out.push_back(r);
    return out;
}

std::vector<duvfiles::ImageRecord> readImages(const std::string& path) {
    duvfiles::ImageReader reader(path);
    std::vector<duvfiles::ImageRecord> out;
    duvfiles::ImageRecord r;
    while (reader.next(r)) out.push_back(r);
    return out;
}

uint64_t evalMask(const sScanHeader& h) { return uint64_t(h.aulEvalInfoMask[0]) | uint64_t(h.aulEvalInfoMask[1]) << 32; }

// Store line of a file's kspace_encode_step_1: centre to n/2, reversed about it.
uint16_t expectedLine(int step, int centre, int n) { return uint16_t((n - (step - centre + n / 2)) % n); }

IsmrmrdImportOptions optionsFor(const std::string& file, const std::string& images = "") {
    IsmrmrdImportOptions o;
    o.file = file;
    o.images = images;
    return o;
}

// The refusal message of a conversion, or "" when it succeeds.
std::string refusal(const IsmrmrdImportOptions& o, const std::string& dir) {
    try {
        convertIsmrmrd(o, dir);
        return "";
    } catch (const IsmrmrdError& e) {
        return e.what();
    }
}

bool noMeasurementIn(const fs::path& dir) {
    for (const auto& e : fs::directory_iterator(dir)) {
        const std::string n = e.path().filename().string();
        if (n == "protocol.txt" || n == "readouts.bin" || n == "images.bin" ||
            n.find(".partial") != std::string::npos)
            return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Acquisitions: every header field.
// ---------------------------------------------------------------------------

class AcquisitionMapping : public ::testing::Test {
protected:
    void SetUp() override {
        file = tmp / "mapping.h5";
        const ISMRMRD::IsmrmrdHeader h = mappingHeader();
        acquisitions = mappingAcquisitions();
        writeAcquisitionFile(file, &h, acquisitions);
        result = convertIsmrmrd(optionsFor(file), tmp / "out");
        protocol = XProtocol::LoadFromFile(tmp / "out/protocol.txt");
        records = readReadouts(tmp / "out/readouts.bin", slices);
    }
    TempDir tmp{"duv-ismrmrd"};
    std::string file;
    std::vector<ISMRMRD::Acquisition> acquisitions;
    IsmrmrdImportResult result;
    XProtocol protocol;
    std::vector<duvfiles::ReadoutRecord> records;
    int32_t slices = 0;
};

TEST_F(AcquisitionMapping, KeepsImagingAndFittingNoiseReadoutsAndSaysWhatItLeftOut) {
    EXPECT_EQ(result.kind, "readouts");
    EXPECT_EQ(result.records, 29u);  // the fitting noise readout and the 28 imaging readouts
    EXPECT_EQ(records.size(), 29u);
    EXPECT_EQ(result.skipped, 2u);
    EXPECT_EQ(slices, 2);
    const std::vector<std::string> expected = {
        "1 readouts are flagged reverse (MDH_REFLECT): their samples are passed on unreversed",
        "left out: 1 readout: navigator", "left out: 1 readout: noise of another size"};
    EXPECT_EQ(result.notes, expected);
    EXPECT_TRUE(fs::exists(tmp / "out/protocol.txt"));
    EXPECT_FALSE(fs::exists(tmp / "out/images.bin"));
}

TEST_F(AcquisitionMapping, XmlHeaderFillsTheProtocolPaths) {
    auto L = [&](const char* p) { return protocol.At(p).ToLong(); };
    auto D = [&](const char* p) { return protocol.At(p).ToDouble(); };
    auto S = [&](const char* p) { return protocol.At(p).ToString(); };
    EXPECT_EQ(S("MEAS.tProtocolName"), "ismrmrd_mapping");
    EXPECT_EQ(S("YAPS.tPatientPosition"), "FFS");
    EXPECT_EQ(S("YAPS.tSequenceString"), "GRE");
    EXPECT_EQ(S("MEAS.sTXSPEC.asNucleusInfo.0.tNucleus"), "1H");
    EXPECT_EQ(L("MEAS.sTXSPEC.asNucleusInfo.0.lFrequency"), 123200000);
    EXPECT_EQ(L("MEAS.alTR.0"), 1500000);
    EXPECT_EQ(L("MEAS.alTE.0"), 20000);
    EXPECT_EQ(L("MEAS.alTE.1"), 40000);
    EXPECT_EQ(L("MEAS.alTI.0"), 300000);
    EXPECT_EQ(D("MEAS.adFlipAngleDegree.0"), 70.0);
    EXPECT_EQ(D("MEAS.adFlipAngleDegree.1"), 160.0);
    // Readout: 36 samples less 2 + 2 discarded, oversampling 32/16.
    EXPECT_EQ(L("MEAS.sSpecPara.lVectorSize"), 16);
    EXPECT_EQ(D("YAPS.flReadoutOSFactor"), 2.0);
    EXPECT_TRUE(protocol.At("MEAS.sSpecPara.ucRemoveOversampling").ToBool());
    EXPECT_EQ(L("MEAS.sRXSPEC.alDwellTime.0"), 2500);  // sample_time_us 2.5, in ns
    // One phase-encoding direction of 8 (the encoded y), nothing else encoded.
    EXPECT_EQ(L("MEAS.sKSpace.lBaseResolution"), 8);
    EXPECT_EQ(L("MEAS.sKSpace.lPhaseEncodingLines"), 1);
    EXPECT_EQ(L("MEAS.sKSpace.lPartitions"), 1);
    EXPECT_EQ(L("MEAS.sKSpace.ucDimension"), 2);
    EXPECT_EQ(L("MEAS.sSpecPara.lFinalMatrixSizeRead"), 8);
    EXPECT_EQ(L("MEAS.sSpecPara.lFinalMatrixSizePhase"), 1);
    EXPECT_EQ(L("MEAS.sSpecPara.lFinalMatrixSizeSlice"), 1);
    EXPECT_FALSE(protocol.At("MEAS.sSpecPara.ucVoIValid").ToBool());
    // Counters: 3 averages, 2 repetitions, 2 contrasts (echo dimension).
    EXPECT_EQ(L("MEAS.lAverages"), 3);
    EXPECT_EQ(L("MEAS.lRepetitions"), 1);
    EXPECT_EQ(L("YAPS.alDUVProgramPara.10"), 2);
    EXPECT_EQ(L("MEAS.lContrasts"), 2);
    EXPECT_EQ(L("YAPS.alDUVProgramPara.12"), 2);
    // Coils.
    EXPECT_EQ(L("YAPS.iMaxNoOfRxChannels"), 3);
    for (int c = 0; c < 3; ++c) {
        const std::string i = std::to_string(c);
        EXPECT_EQ(protocol.At("YAPS.CoilSelects.0." + i + ".CoilElementID").ToString(), "C" + i);
        EXPECT_EQ(protocol.At("MEAS.sCoilSelectMeas.aRxCoilSelectData.0.asList." + i + ".lRxChannelConnected").ToLong(),
                  c + 1);
    }
    EXPECT_EQ(S("YAPS.atCoilSelectInfoText"), "Scanner X");
    EXPECT_EQ(L("MEAS.sWipMemBlock.alFree.45"), 0);  // water-reference processing off
}

TEST_F(AcquisitionMapping, SliceGeometryPutsTheFirstDirectionAlongPhaseDir) {
    const Cosines c = obliqueCosines();
    ASSERT_EQ(protocol.At("MEAS.sSliceArray.lSize").ToLong(), 2);
    for (int s = 0; s < 2; ++s) {
        const std::string base = "MEAS.sSliceArray.asSlice." + std::to_string(s);
        const Vec3 pos = {protocol.At(base + ".sPosition.dSag").ToDouble(), protocol.At(base + ".sPosition.dCor").ToDouble(),
                          protocol.At(base + ".sPosition.dTra").ToDouble()};
        EXPECT_VEC_NEAR(pos, add({10.0, -20.0, 30.0}, v3(c.slice), 6.0 * s), 1e-5);
        const MrMath::VectorPat n(protocol.At(base + ".sNormal.dSag").ToDouble(),
                                  protocol.At(base + ".sNormal.dCor").ToDouble(),
                                  protocol.At(base + ".sNormal.dTra").ToDouble());
        EXPECT_VEC_NEAR(Vec3({n.sag(), n.cor(), n.tra()}), v3(c.slice), 1e-6);
        // The protocol's normal and in-plane rotation give readout = phase_dir
        // (the encoded direction) and phase = read_dir (the spectral axis).
        MrMath::Slice slice;
        ASSERT_TRUE(slice.normal(n, true));
        slice.rotationAngle(protocol.At(base + ".dInPlaneRot").ToDouble());
        MrMath::VectorPat phase, readout;
        ASSERT_TRUE(slice.calcPhaseAndReadoutVectors(phase, readout, 1e-6));
        EXPECT_VEC_NEAR(Vec3({readout.sag(), readout.cor(), readout.tra()}), v3(c.phase), 1e-6);
        EXPECT_VEC_NEAR(Vec3({phase.sag(), phase.cor(), phase.tra()}), v3(c.read), 1e-6);
        EXPECT_EQ(protocol.At(base + ".dReadoutFOV").ToDouble(), 240.0);  // encoded FOV y
        EXPECT_EQ(protocol.At(base + ".dPhaseFOV").ToDouble(), 200.0);    // reconstructed FOV x
        EXPECT_EQ(protocol.At(base + ".dThickness").ToDouble(), 5.0);
    }
}

TEST_F(AcquisitionMapping, EveryAcquisitionHeaderFieldReachesTheScanHeader) {
    const Cosines c = obliqueCosines();
    const MrMath::TransformDevPat ffs("FFS");
    // Record 0 is the fitting noise readout (acquisition 0), records 1... the
    // imaging readouts (acquisitions 3...).
    for (size_t r = 0; r < records.size(); ++r) {
        SCOPED_TRACE("record " + std::to_string(r));
        const ISMRMRD::Acquisition& a = acquisitions[r == 0 ? 0 : r + 2];
        const ISMRMRD::AcquisitionHeader& ah = a.getHead();
        const sScanHeader& h = records[r].header;
        EXPECT_EQ(h.ushSamplesInScan, ah.number_of_samples);
        EXPECT_EQ(h.ushUsedChannels, 3);
        EXPECT_EQ(h.ulFlagsAndDMALength, 192u + 8u * ah.number_of_samples * 3u);
        EXPECT_EQ(h.lMeasUID, int32_t(ah.measurement_uid));
        EXPECT_EQ(h.ulScanCounter, ah.scan_counter);
        EXPECT_EQ(h.ulTimeStamp, ah.acquisition_time_stamp);
        EXPECT_EQ(h.ulPMUTimeStamp, ah.physiology_time_stamp[0]);
        EXPECT_EQ(h.sCutOff.ushPre, ah.discard_pre);
        EXPECT_EQ(h.sCutOff.ushPost, ah.discard_post);
        EXPECT_EQ(h.aushDuvProgramPara[4], ah.discard_pre);
        EXPECT_EQ(h.ushKSpaceCentreColumn, ah.center_sample);
        EXPECT_EQ(h.ushKSpaceCentreLineNo, 4);
        EXPECT_EQ(h.ushKSpaceCentrePartitionNo, 0);
        EXPECT_EQ(h.sLC.ushSet, ah.idx.average);
        EXPECT_EQ(h.sLC.ushEcho, ah.idx.contrast);
        EXPECT_EQ(h.sLC.ushSlice, ah.idx.slice);
        EXPECT_EQ(h.sLC.ushRepetition, ah.idx.repetition);
        EXPECT_EQ(h.sLC.ushPhase, 0);
        EXPECT_EQ(h.sLC.ushIda, ah.idx.set);
        EXPECT_EQ(h.sLC.ushIdb, ah.idx.segment);
        EXPECT_EQ(h.sLC.ushSeg, 0);
        EXPECT_EQ(h.sLC.ushPartition, 0);
        if (r == 0) {
            EXPECT_EQ(evalMask(h), MDH_NOISEADJSCAN);
            EXPECT_EQ(h.sLC.ushLine, 4);  // noise stays at the k-space centre
            continue;
        }
        EXPECT_EQ(h.sLC.ushLine, expectedLine(ah.idx.kspace_encode_step_1, 3, 8));
        const uint64_t kind = r == 10 ? MDH_PHASCOR : MDH_ONLINE;
        EXPECT_EQ(evalMask(h), kind | (r == 6 ? MDH_REFLECT : 0));
        EXPECT_EQ(h.sSliceData.flSag, ah.position[0]);
        EXPECT_EQ(h.sSliceData.flCor, ah.position[1]);
        EXPECT_EQ(h.sSliceData.flTra, ah.position[2]);
        // Slice geometry: row vector = phase_dir (first direction), column
        // vector = read_dir, spacing along the row = encoded FOV y / lines.
        const DuvSoda& soda = records[r].soda;
        EXPECT_VEC_NEAR(v3(soda.getSlicePosVec()), v3(ah.position), 1e-6);
        const MrMath::VectorDev dev = ffs * MrMath::VectorPat(ah.position[0], ah.position[1], ah.position[2]);
        EXPECT_VEC_NEAR(v3(soda.getSlicePosVecSBCS()), Vec3({dev.X(), dev.Y(), dev.Z()}), 1e-6);
        EXPECT_VEC_NEAR(v3(soda.getSliceNormVec()), v3(c.slice), 1e-6);
        EXPECT_VEC_NEAR(v3(soda.getRowVec()), v3(c.phase), 1e-6);
        EXPECT_VEC_NEAR(v3(soda.getColumnVec()), v3(c.read), 1e-6);
        EXPECT_DOUBLE_EQ(soda.getRowSpacing(), 30.0);
        EXPECT_DOUBLE_EQ(soda.getColumnSpacing(), 200.0);
        EXPECT_DOUBLE_EQ(soda.getThickness(), 5.0);
        // Quaternion of the frame whose columns are phase (read_dir), readout
        // (phase_dir) and normal: a unit quaternion.
        const float* q = h.sSliceData.aflQuaternion;
        EXPECT_NEAR(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3], 1.0, 1e-6);
    }
}

TEST_F(AcquisitionMapping, SamplesAreCopiedChannelByChannel) {
    for (size_t r = 0; r < records.size(); ++r) {
        const ISMRMRD::Acquisition& a = acquisitions[r == 0 ? 0 : r + 2];
        const size_t n = a.getNumberOfDataElements();
        ASSERT_EQ(records[r].samples.size(), 2 * n);
        EXPECT_EQ(std::memcmp(records[r].samples.data(), a.getDataPtr(), n * sizeof(std::complex<float>)), 0);
        EXPECT_EQ(records[r].samples[2 * 36 + 2], 101.0f + (r == 0 ? 0.25f : float(r - 1)));  // channel 1, sample 1
    }
}

TEST_F(AcquisitionMapping, ProtocolOverridesWinOverTheMapping) {
    std::ofstream(tmp / "over.txt") << "MEAS.ucUncombImages = true\nMEAS.sWipMemBlock.alFree.45 = 1\n"
                                    << "YAPS.tPatientPosition = \"HFS\"\n";
    IsmrmrdImportOptions o = optionsFor(file);
    o.protocolOverrides = tmp / "over.txt";
    convertIsmrmrd(o, tmp / "over");
    const XProtocol p = XProtocol::LoadFromFile(tmp / "over/protocol.txt");
    EXPECT_TRUE(p.At("MEAS.ucUncombImages").ToBool());
    EXPECT_EQ(p.At("MEAS.sWipMemBlock.alFree.45").ToLong(), 1);
    // The overridden patient position also gives the scanner coordinates.
    int32_t n = 0;
    const auto recs = readReadouts(tmp / "over/readouts.bin", n);
    const sVec& pos = recs[1].soda.getSlicePosVec();
    const sVec& dev = recs[1].soda.getSlicePosVecSBCS();
    EXPECT_DOUBLE_EQ(dev.x, pos.x);
    EXPECT_DOUBLE_EQ(dev.y, -pos.y);
    EXPECT_DOUBLE_EQ(dev.z, -pos.z);
}

TEST(AcquisitionMapping3d, SecondEncodingStepFillsTheSegmentCounter) {
    TempDir tmp("duv-ismrmrd");
    ISMRMRD::IsmrmrdHeader h = mappingHeader();
    h.encoding[0].encodedSpace.matrixSize.z = 4;
    h.encoding[0].encodedSpace.fieldOfView_mm.z = 40.0f;
    h.encoding[0].encodingLimits.kspace_encoding_step_2 = ISMRMRD::Limit(0, 3, 2);
    std::vector<ISMRMRD::Acquisition> acqs;
    for (uint16_t p = 0; p < 4; ++p) {
        ISMRMRD::Acquisition a = acquisition(32, 1, float(p));
        a.idx().kspace_encode_step_1 = 3;
        a.idx().kspace_encode_step_2 = p;
        acqs.push_back(a);
    }
    writeAcquisitionFile(tmp / "3d.h5", &h, acqs);
    convertIsmrmrd(optionsFor(tmp / "3d.h5"), tmp / "out");
    const XProtocol p = XProtocol::LoadFromFile(tmp / "out/protocol.txt");
    EXPECT_EQ(p.At("MEAS.sKSpace.ucDimension").ToLong(), 4);
    EXPECT_EQ(p.At("MEAS.sKSpace.lPartitions").ToLong(), 4);
    EXPECT_EQ(p.At("MEAS.sSpecPara.lFinalMatrixSizeSlice").ToLong(), 4);
    EXPECT_EQ(p.At("MEAS.sSliceArray.asSlice.0.dThickness").ToDouble(), 40.0);
    int32_t slices = 0;
    const auto recs = readReadouts(tmp / "out/readouts.bin", slices);
    ASSERT_EQ(recs.size(), 4u);
    const uint16_t expected[4] = {0, 3, 2, 1};  // centre 2 at index 2, order reversed about it
    for (size_t k = 0; k < 4; ++k) {
        EXPECT_EQ(recs[k].header.sLC.ushSeg, expected[k]);
        EXPECT_EQ(recs[k].header.sLC.ushPartition, expected[k]);
        EXPECT_EQ(recs[k].header.sLC.ushLine, 4);
        EXPECT_EQ(recs[k].header.ushKSpaceCentrePartitionNo, 2);
        EXPECT_DOUBLE_EQ(recs[k].soda.getThickness(), 40.0);
    }
}

// ---------------------------------------------------------------------------
// The generator's Shepp-Logan files.
// ---------------------------------------------------------------------------

class SheppLogan : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::string(ISMRMRD_GENERATOR).empty()) GTEST_SKIP() << "ismrmrd_generate_cartesian_shepp_logan not found";
    }
    std::string generate(int coils, const std::string& extra) {
        const std::string path = tmp / ("shepp" + std::to_string(coils) + ".h5");
        const std::string cmd = std::string(ISMRMRD_GENERATOR) + " -m 32 -O 2 -c " + std::to_string(coils) + " " +
                                extra + " -o " + path + " > /dev/null 2>&1";
        if (std::system(cmd.c_str()) != 0) ADD_FAILURE() << "generator failed: " << cmd;
        return path;
    }
    void check(const std::string& path, int coils, size_t noiseReadouts, int repetitions) {
        const IsmrmrdImportResult r = convertIsmrmrd(optionsFor(path), tmp / "out");
        const XProtocol p = XProtocol::LoadFromFile(tmp / "out/protocol.txt");
        EXPECT_EQ(p.At("MEAS.sSpecPara.lVectorSize").ToLong(), 32);  // 64 samples, oversampling 2
        EXPECT_EQ(p.At("YAPS.flReadoutOSFactor").ToDouble(), 2.0);
        EXPECT_EQ(p.At("MEAS.sRXSPEC.alDwellTime.0").ToLong(), 5000);
        EXPECT_EQ(p.At("MEAS.sKSpace.lBaseResolution").ToLong(), 32);
        EXPECT_EQ(p.At("MEAS.sSpecPara.lFinalMatrixSizeRead").ToLong(), 32);
        EXPECT_EQ(p.At("YAPS.iMaxNoOfRxChannels").ToLong(), coils);
        EXPECT_EQ(p.At("MEAS.sTXSPEC.asNucleusInfo.0.lFrequency").ToLong(), 63500000);
        EXPECT_EQ(p.At("YAPS.alDUVProgramPara.10").ToLong(), repetitions);
        EXPECT_EQ(p.At("MEAS.sSliceArray.asSlice.0.dReadoutFOV").ToDouble(), 300.0);
        EXPECT_EQ(p.At("MEAS.sSliceArray.asSlice.0.dThickness").ToDouble(), 6.0);
        int32_t slices = 0;
        const auto recs = readReadouts(tmp / "out/readouts.bin", slices);
        ASSERT_EQ(recs.size(), noiseReadouts + size_t(32 * repetitions));
        EXPECT_EQ(r.records, recs.size());
        ISMRMRD::Dataset d(path.c_str(), "dataset", false);
        for (size_t i = 0; i < recs.size(); ++i) {
            ISMRMRD::Acquisition a;
            d.readAcquisition(uint32_t(i), a);
            const sScanHeader& h = recs[i].header;
            ASSERT_EQ(h.ushUsedChannels, coils);
            ASSERT_EQ(h.ushSamplesInScan, 64);
            const bool noise = a.isFlagSet(ISMRMRD::ISMRMRD_ACQ_IS_NOISE_MEASUREMENT);
            EXPECT_EQ(i < noiseReadouts, noise);
            EXPECT_EQ(evalMask(h), noise ? MDH_NOISEADJSCAN : MDH_ONLINE);
            if (!noise) {
                EXPECT_EQ(h.sLC.ushLine, expectedLine(a.idx().kspace_encode_step_1, 16, 32));
            }
            EXPECT_EQ(h.sLC.ushRepetition, a.idx().repetition);
            EXPECT_EQ(std::memcmp(recs[i].samples.data(), a.getDataPtr(), a.getDataSize()), 0);
            // The generator writes no geometry: the transverse default frame,
            // first direction along phase_dir = posterior.
            EXPECT_VEC_NEAR(v3(recs[i].soda.getRowVec()), Vec3({0, 1, 0}), 1e-12);
            EXPECT_VEC_NEAR(v3(recs[i].soda.getColumnVec()), Vec3({1, 0, 0}), 1e-12);
            EXPECT_VEC_NEAR(v3(recs[i].soda.getSliceNormVec()), Vec3({0, 0, 1}), 1e-12);
        }
    }
    TempDir tmp{"duv-ismrmrd"};
};

TEST_F(SheppLogan, OneCoil) { check(generate(1, ""), 1, 0, 1); }

TEST_F(SheppLogan, EightCoilsWithNoiseCalibrationAndTwoRepetitions) { check(generate(8, "-C -r 2"), 8, 1, 2); }

// ---------------------------------------------------------------------------
// Images.
// ---------------------------------------------------------------------------

template <class T>
ISMRMRD::Image<T> image(uint16_t nx, uint16_t ny, uint16_t nz, uint16_t channels, float base) {
    ISMRMRD::Image<T> im(nx, ny, nz, channels);
    T* p = im.getDataPtr();
    for (size_t k = 0; k < im.getNumberOfDataElements(); ++k) p[k] = T(base + float(k));
    im.setFieldOfView(10.0f * nx, 10.0f * ny, 3.0f * nz);
    const Cosines c = obliqueCosines();
    im.setReadDirection(c.read[0], c.read[1], c.read[2]);
    im.setPhaseDirection(c.phase[0], c.phase[1], c.phase[2]);
    im.setSliceDirection(c.slice[0], c.slice[1], c.slice[2]);
    im.setPosition(1.0f, 2.0f, 3.0f);
    return im;
}

class ImageMapping : public ::testing::Test {
protected:
    void SetUp() override {
        file = tmp / "images.h5";
        ISMRMRD::Dataset d(file.c_str(), "dataset", true);
        ISMRMRD::IsmrmrdHeader h = mappingHeader();
        std::ostringstream xml;
        ISMRMRD::serialize(h, xml);
        d.writeHeader(xml.str());
        // Two slices x two repetitions of 6 x 4 float images with 2 channels.
        for (int rep = 0; rep < 2; ++rep)
            for (int s = 0; s < 2; ++s) {
                ISMRMRD::Image<float> im = image<float>(6, 4, 1, 2, 1000.0f * (2 * rep + s));
                im.setSlice(uint16_t(s));
                im.setRepetition(uint16_t(rep));
                im.setPosition(1.0f, 2.0f, 3.0f + 4.0f * s);
                if (s == 1) {
                    ISMRMRD::MetaContainer meta;
                    meta.append("SeriesDescription", "T1");
                    meta.append("SeriesDescription", "map");
                    std::ostringstream attr;
                    ISMRMRD::serialize(meta, attr);
                    im.setAttributeString(attr.str());
                }
                d.appendImage("slices", im);
            }
        d.appendImage("volume", image<std::complex<float>>(4, 4, 3, 1, 5.0f));
        d.appendImage("shorts", image<short>(4, 2, 1, 1, -3.0f));
    }
    TempDir tmp{"duv-ismrmrd"};
    std::string file;
};

TEST_F(ImageMapping, SlicesAndRepetitionsBecomeControlIndicesWithCentredPositions) {
    const IsmrmrdImportResult r = convertIsmrmrd(optionsFor(file, "slices"), tmp / "out");
    EXPECT_EQ(r.kind, "images");
    const auto recs = readImages(tmp / "out/images.bin");
    ASSERT_EQ(recs.size(), 4u);
    const Cosines c = obliqueCosines();
    const MrMath::TransformDevPat ffs("FFS");
    for (size_t i = 0; i < recs.size(); ++i) {
        SCOPED_TRACE("image " + std::to_string(i));
        const duvfiles::ImageRecord& rec = recs[i];
        const int s = int(i % 2), rep = int(i / 2);
        EXPECT_EQ(rec.format, FL);
        EXPECT_EQ(rec.columns, 6);
        EXPECT_EQ(rec.lines, 4);
        EXPECT_EQ(rec.channels, 2);
        EXPECT_EQ(rec.control.getCount(SLC), 2);
        EXPECT_EQ(rec.control.getCount(REP), 2);
        EXPECT_EQ(rec.control.getCount(CHA), 2);
        EXPECT_EQ(rec.control.getCount(COL), 6);
        EXPECT_EQ(rec.control.getCount(LIN), 4);
        for (DuvDim d : {SET, ECO, PHS, SEG, PAR, IDA, IDB, IDC, IDD, IDE, AVE}) EXPECT_EQ(rec.control.getCount(d), 1);
        EXPECT_EQ(rec.control.getIndex(SLC), s);
        EXPECT_EQ(rec.control.getIndex(REP), rep);
        EXPECT_EQ(rec.control.getIndex(PAR), 0);
        // The centre of the field of view is half a pixel before the centre
        // of pixel (3, 2) along both in-plane directions (10 mm pixels).
        const Vec3 centre = {1.0, 2.0, 3.0 + 4.0 * s};
        EXPECT_VEC_NEAR(v3(rec.soda.getSlicePosVec()), add(add(centre, v3(c.read), 5.0), v3(c.phase), 5.0), 1e-5);
        const sVec& p = rec.soda.getSlicePosVec();
        const MrMath::VectorDev dev = ffs * MrMath::VectorPat(p.x, p.y, p.z);
        EXPECT_VEC_NEAR(v3(rec.soda.getSlicePosVecSBCS()), Vec3({dev.X(), dev.Y(), dev.Z()}), 1e-9);
        EXPECT_VEC_NEAR(v3(rec.soda.getRowVec()), v3(c.read), 1e-6);
        EXPECT_VEC_NEAR(v3(rec.soda.getColumnVec()), v3(c.phase), 1e-6);
        EXPECT_VEC_NEAR(v3(rec.soda.getSliceNormVec()), v3(c.slice), 1e-6);
        EXPECT_DOUBLE_EQ(rec.soda.getRowSpacing(), 10.0);
        EXPECT_DOUBLE_EQ(rec.soda.getColumnSpacing(), 10.0);
        EXPECT_DOUBLE_EQ(rec.soda.getThickness(), 3.0);
        ASSERT_EQ(rec.fields.size(), 2u);
        EXPECT_EQ(rec.fields[0].name, "SequenceDescription");
        EXPECT_EQ(std::get<std::string>(rec.fields[0].value), s == 1 ? "T1_map" : "mapped series");
        EXPECT_EQ(rec.fields[1].name, "AnatomicalSliceNo");
        EXPECT_EQ(std::get<long>(rec.fields[1].value), s);
        ASSERT_EQ(rec.data.size(), 6u * 4u * 2u * 4u);
        const float* v = reinterpret_cast<const float*>(rec.data.data());
        for (int k = 0; k < 48; ++k) ASSERT_EQ(v[k], 1000.0f * float(2 * rep + s) + float(k));
    }
    const XProtocol p = XProtocol::LoadFromFile(tmp / "out/protocol.txt");
    EXPECT_EQ(p.At("MEAS.sSliceArray.lSize").ToLong(), 2);
    EXPECT_EQ(p.At("MEAS.lRepetitions").ToLong(), 1);
    EXPECT_EQ(p.At("YAPS.iMaxNoOfRxChannels").ToLong(), 2);
    EXPECT_EQ(p.At("YAPS.iNSet").ToLong(), 1);
    EXPECT_EQ(p.At("MEAS.sPhysioImaging.lPhases").ToLong(), 1);
    EXPECT_EQ(p.At("MEAS.sKSpace.lImagesPerSlab").ToLong(), 1);
    EXPECT_EQ(p.At("YAPS.iNoOfFourierPartitions").ToLong(), 1);
    EXPECT_EQ(p.At("MEAS.sSliceArray.asSlice.0.dThickness").ToDouble(), 3.0);
    EXPECT_EQ(p.At("MEAS.alTR.0").ToLong(), 1500000);
    EXPECT_EQ(p.At("YAPS.tPatientPosition").ToString(), "FFS");
}

TEST_F(ImageMapping, AVolumeBecomesOneRecordPerPartition) {
    convertIsmrmrd(optionsFor(file, "volume"), tmp / "out");
    const auto recs = readImages(tmp / "out/images.bin");
    ASSERT_EQ(recs.size(), 3u);
    const Cosines c = obliqueCosines();
    for (int k = 0; k < 3; ++k) {
        const duvfiles::ImageRecord& rec = recs[size_t(k)];
        EXPECT_EQ(rec.format, CXFL);
        EXPECT_EQ(rec.control.getCount(PAR), 3);
        EXPECT_EQ(rec.control.getIndex(PAR), k);
        EXPECT_EQ(std::get<long>(rec.fields[1].value), k);
        const Vec3 centre = add(add(add({1.0, 2.0, 3.0}, v3(c.read), 5.0), v3(c.phase), 5.0), v3(c.slice), 3.0 * (k - 1));
        EXPECT_VEC_NEAR(v3(rec.soda.getSlicePosVec()), centre, 1e-5);
        EXPECT_DOUBLE_EQ(rec.soda.getThickness(), 3.0);
        const std::complex<float>* v = reinterpret_cast<const std::complex<float>*>(rec.data.data());
        ASSERT_EQ(rec.data.size(), 16u * 8u);
        for (int e = 0; e < 16; ++e) ASSERT_EQ(v[e], std::complex<float>(5.0f + float(16 * k + e)));
    }
    const XProtocol p = XProtocol::LoadFromFile(tmp / "out/protocol.txt");
    EXPECT_EQ(p.At("MEAS.sKSpace.lImagesPerSlab").ToLong(), 3);
    EXPECT_EQ(p.At("YAPS.iNoOfFourierPartitions").ToLong(), 3);
    EXPECT_EQ(p.At("MEAS.sSliceArray.asSlice.0.dThickness").ToDouble(), 9.0);
}

TEST_F(ImageMapping, ShortImagesKeepTheirValues) {
    convertIsmrmrd(optionsFor(file, "shorts"), tmp / "out");
    const auto recs = readImages(tmp / "out/images.bin");
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].format, SH);
    const int16_t* v = reinterpret_cast<const int16_t*>(recs[0].data.data());
    for (int e = 0; e < 8; ++e) EXPECT_EQ(v[e], int16_t(-3 + e));
}

TEST_F(ImageMapping, AFileWithoutAcquisitionsNeedsTheImageGroupNamedWhenItHasSeveral) {
    EXPECT_EQ(refusal(optionsFor(file), tmp / "out"),
              file + ": dataset \"dataset\" has no acquisitions and several image groups (shorts, slices, volume): "
                     "name one with --images");
    EXPECT_EQ(refusal(optionsFor(file, "nope"), tmp / "out"),
              file + ": dataset \"dataset\" has no image group \"nope\" (image groups: shorts, slices, volume)");
}

// ---------------------------------------------------------------------------
// Refusals: one line naming the record and field; nothing left in DIR, not
// even the measurement that was there before.
// ---------------------------------------------------------------------------

class Refusal : public ::testing::Test {
protected:
    // A good conversion first, so that DIR holds a measurement to replace.
    std::string refuse(const IsmrmrdImportOptions& o) {
        const std::string good = tmp / "good.h5";
        const ISMRMRD::IsmrmrdHeader h = mappingHeader();
        writeAcquisitionFile(good, &h, {acquisition(32, 1, 0.0f)});
        convertIsmrmrd(optionsFor(good), tmp / "out");
        EXPECT_TRUE(fs::exists(tmp / "out/readouts.bin"));
        const std::string message = refusal(o, tmp / "out");
        EXPECT_TRUE(noMeasurementIn(tmp / "out"));
        return message;
    }
    std::string refuseAcquisitions(std::vector<ISMRMRD::Acquisition> acqs,
                                   const ISMRMRD::IsmrmrdHeader& h = mappingHeader()) {
        writeAcquisitionFile(file, &h, acqs);
        return refuse(optionsFor(file));
    }
    TempDir tmp{"duv-ismrmrd"};
    std::string file = tmp / "bad.h5";
};

TEST_F(Refusal, UnsupportedImageDataType) {
    {
        ISMRMRD::Dataset d(file.c_str(), "dataset", true);
        d.appendImage("doubles", image<double>(4, 4, 1, 1, 0.0f));
    }
    EXPECT_EQ(refuse(optionsFor(file, "doubles")),
              file + ": image 0: field data_type: 6 (double) is not supported: short, float or complex float");
}

TEST_F(Refusal, ImagesWithoutAFieldOfView) {
    {
        ISMRMRD::Dataset d(file.c_str(), "dataset", true);
        ISMRMRD::Image<float> good = image<float>(6, 4, 1, 1, 0.0f), flat = good;
        flat.setFieldOfViewZ(0.0f);
        d.appendImage("imgs", good);
        d.appendImage("imgs", flat);
    }
    EXPECT_EQ(refuse(optionsFor(file, "imgs")), file + ": image 1: field field_of_view: not positive");
}

TEST_F(Refusal, MoreChannelsThanAReadoutHolds) {
    EXPECT_EQ(refuseAcquisitions({acquisition(32, 1, 0.0f), acquisition(4, 1025, 0.0f)}),
              file + ": acquisition 1: field active_channels: 1025 channels; a readout holds 1 to 1024");
}

TEST_F(Refusal, ReadoutsOfAnotherSize) {
    EXPECT_EQ(refuseAcquisitions({acquisition(32, 1, 0.0f), acquisition(32, 1, 0.0f), acquisition(30, 1, 0.0f)}),
              file + ": acquisition 2: field number_of_samples: 30 samples to keep, the first readout has 32");
    EXPECT_EQ(refuseAcquisitions({acquisition(32, 1, 0.0f), acquisition(32, 2, 0.0f)}),
              file + ": acquisition 1: field active_channels: 2 channels, the first readout has 1");
}

TEST_F(Refusal, LineOutsideTheEncodedMatrix) {
    ISMRMRD::Acquisition a = acquisition(32, 1, 0.0f);
    a.idx().kspace_encode_step_1 = 7;  // centre 3 of 8: 7 would be store index 8
    EXPECT_EQ(refuseAcquisitions({acquisition(32, 1, 0.0f), a}),
              file + ": acquisition 1: field idx.kspace_encode_step_1: 7 lies outside the encoded matrix of 8 "
                     "(k-space centre 3)");
    ISMRMRD::Acquisition b = acquisition(32, 1, 0.0f);
    b.idx().kspace_encode_step_2 = 1;
    EXPECT_EQ(refuseAcquisitions({b}), file + ": acquisition 0: field idx.kspace_encode_step_2: 1 lies outside the "
                                              "encoded matrix of 1 (k-space centre 0)");
}

TEST_F(Refusal, CardiacPhases) {
    ISMRMRD::Acquisition a = acquisition(32, 1, 0.0f);
    a.idx().phase = 2;
    EXPECT_EQ(refuseAcquisitions({a}), file + ": acquisition 0: field idx.phase: cardiac phase 2: the spectroscopy "
                                              "store has no place for cardiac phases");
}

TEST_F(Refusal, DirectionsThatAreNotOrthonormal) {
    ISMRMRD::Acquisition a = acquisition(32, 1, 0.0f);
    a.read_dir()[0] = 1.0f;
    a.phase_dir()[0] = 0.6f;
    a.phase_dir()[1] = 0.8f;
    EXPECT_EQ(refuseAcquisitions({a}), file + ": acquisition 0: field phase_dir: not orthogonal to read_dir");
    ISMRMRD::Acquisition b = acquisition(32, 1, 0.0f);
    b.read_dir()[0] = 2.0f;
    b.phase_dir()[1] = 1.0f;
    EXPECT_EQ(refuseAcquisitions({b}), file + ": acquisition 0: field read_dir: not a unit vector (length 2.000000)");
}

TEST_F(Refusal, HeadersThatDoNotDescribeACartesianReadout) {
    ISMRMRD::IsmrmrdHeader h = mappingHeader();
    h.encoding[0].encodedSpace.matrixSize.x = 48;
    EXPECT_EQ(refuseAcquisitions({acquisition(32, 1, 0.0f)}, h),
              file + ": XML header: field encodedSpace.matrixSize.x: 48 is neither 1 nor 2 times "
                     "reconSpace.matrixSize.x 16: the readout oversampling must be 1 or 2");
    h = mappingHeader();
    h.encoding[0].trajectory = ISMRMRD::TrajectoryType::RADIAL;
    EXPECT_EQ(refuseAcquisitions({acquisition(32, 1, 0.0f)}, h),
              file + ": XML header: field encoding.trajectory: not cartesian: only Cartesian acquisitions map to "
                     "phase-encoding counters");
    writeAcquisitionFile(file, nullptr, {acquisition(32, 1, 0.0f)});
    EXPECT_EQ(refuse(optionsFor(file)),
              file + ": no XML header: the encoded matrix, field of view and readout oversampling of the "
                     "acquisitions come from it");
}

// Values that convert would otherwise map into a measurement that duv run
// refuses (or into times of lround(inf)); the message names the input field.
TEST_F(Refusal, ValuesOutsideWhatAMeasurementHolds) {
    ISMRMRD::IsmrmrdHeader h = mappingHeader();
    h.sequenceParameters->TR = std::vector<float>{INFINITY};
    EXPECT_EQ(refuseAcquisitions({acquisition(32, 1, 0.0f)}, h),
              file + ": XML header: field sequenceParameters.TR: inf ms is not a time of 0 to 2147483.647 ms");
    ISMRMRD::Acquisition dwell = acquisition(32, 1, 0.0f);
    dwell.sample_time_us() = NAN;
    EXPECT_EQ(refuseAcquisitions({dwell}), file + ": acquisition 0: field sample_time_us: nan is not a dwell time of "
                                                  "more than 0 and at most 1000000 us");
    ISMRMRD::Acquisition slice = acquisition(32, 1, 0.0f);
    slice.idx().slice = 5000;
    EXPECT_EQ(refuseAcquisitions({slice}),
              file + ": acquisition 0: field idx.slice: 5000: a measurement holds 4096 slices at most");
    ISMRMRD::Acquisition position = acquisition(32, 1, 0.0f);
    position.position()[1] = NAN;
    EXPECT_EQ(refuseAcquisitions({position}), file + ": acquisition 0: field position: not a finite vector");
}

TEST_F(Refusal, FilesThatAreNotMeasurements) {
    writeBytes(file, {'n', 'o', 't', ' ', 'h', 'd', 'f'});
    EXPECT_EQ(refuse(optionsFor(file)), file + ": not an HDF5 file (ISMRMRD files are HDF5)");
    EXPECT_EQ(refuse(optionsFor(tmp / "missing.h5")), tmp / "missing.h5" + ": no such file");
    writeAcquisitionFile(file, nullptr, {acquisition(32, 1, 0.0f)});
    IsmrmrdImportOptions o = optionsFor(file);
    o.dataset = "other";
    const std::vector<unsigned char> before = readBytes(file);
    EXPECT_EQ(refuse(o), file + ": no dataset \"other\" (datasets in the file: dataset)");
    // The input is read, never written (the group asked for is not added).
    EXPECT_EQ(readBytes(file), before);
}

// Record arrays that are data sets without dimensions: the library would
// count their records through a null pointer.
TEST_F(Refusal, RecordArraysWithoutDimensions) {
    for (const char* path : {"/dataset/data", "/dataset/imgs/header"}) {
        std::remove(file.c_str());
        const hid_t f = H5Fcreate(file.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT);
        const hid_t groups = H5Pcreate(H5P_LINK_CREATE);
        H5Pset_create_intermediate_group(groups, 1);
        const hid_t scalar = H5Screate(H5S_SCALAR);
        H5Dclose(H5Dcreate2(f, path, H5T_NATIVE_INT, scalar, groups, H5P_DEFAULT, H5P_DEFAULT));
        H5Sclose(scalar);
        H5Pclose(groups);
        H5Fclose(f);
        const bool images = std::string(path) != "/dataset/data";
        EXPECT_EQ(refuse(optionsFor(file, images ? "imgs" : "")),
                  file + ": " + (images ? "image headers" : "acquisitions") + " (" + path + ") is not an array");
    }
}

// Header counts that disagree with the arrays stored beside them: the
// library would size its buffers from the counts and copy the stored arrays
// past them, so the record is refused before it is read.
struct CountCase {
    const char* name;
    bool image;
    const char* field;  // member of the stored header ("head" of an acquisition)
    uint32_t value;
    std::string message;  // after "FILE: acquisition 1: " or "FILE: image 1: "
};

// Writes `value` into one header member of record 1, leaving every other
// member (and the arrays) as they were: HDF5 writes a subset of a compound.
void patchCount(const std::string& file, const std::string& path, bool nested, const char* field, uint32_t value) {
    const hid_t f = H5Fopen(file.c_str(), H5F_ACC_RDWR, H5P_DEFAULT);
    ASSERT_GE(f, 0);
    const hid_t d = H5Dopen2(f, path.c_str(), H5P_DEFAULT);
    ASSERT_GE(d, 0);
    const bool wide = std::string(field) == "attribute_string_len";
    const bool matrix = std::string(field) == "matrix_size";
    const hsize_t three = 3, one = 1, start = 1;
    const hid_t leafType = matrix ? H5Tarray_create2(H5T_NATIVE_UINT16, 1, &three)
                                  : H5Tcopy(wide ? H5T_NATIVE_UINT32 : H5T_NATIVE_UINT16);
    // matrix_size keeps y and z; x becomes `value`.
    uint16_t buffer16[3] = {uint16_t(value), 4, 1};
    uint32_t buffer32 = value;
    const size_t leafSize = H5Tget_size(leafType);
    const hid_t inner = H5Tcreate(H5T_COMPOUND, leafSize);
    H5Tinsert(inner, field, 0, leafType);
    hid_t type = inner;
    if (nested) {
        type = H5Tcreate(H5T_COMPOUND, leafSize);
        H5Tinsert(type, "head", 0, inner);
    }
    const hid_t space = H5Dget_space(d);
    H5Sselect_hyperslab(space, H5S_SELECT_SET, &start, nullptr, &one, nullptr);
    const hid_t memory = H5Screate_simple(1, &one, nullptr);
    const void* buffer = wide ? static_cast<const void*>(&buffer32) : static_cast<const void*>(buffer16);
    EXPECT_GE(H5Dwrite(d, type, memory, space, H5P_DEFAULT, buffer), 0);
    H5Sclose(memory);
    H5Sclose(space);
    if (nested) H5Tclose(type);
    H5Tclose(inner);
    H5Tclose(leafType);
    H5Dclose(d);
    H5Fclose(f);
}

class CountsThatDisagreeWithTheStoredArrays : public ::testing::TestWithParam<CountCase> {};

TEST_P(CountsThatDisagreeWithTheStoredArrays, AreRefusedBeforeTheRecordIsRead) {
    const CountCase& c = GetParam();
    TempDir tmp{"duv-ismrmrd"};
    const std::string file = tmp / "counts.h5";
    if (c.image) {
        ISMRMRD::Dataset d(file.c_str(), "dataset", true);
        ISMRMRD::Image<float> im = image<float>(6, 4, 1, 2, 0.0f);
        im.setAttributeString("<ismrmrdMeta/>");
        d.appendImage("imgs", im);
        d.appendImage("imgs", im);
    } else {
        const ISMRMRD::IsmrmrdHeader h = mappingHeader();
        writeAcquisitionFile(file, &h, {acquisition(32, 2, 0.0f), acquisition(32, 2, 1.0f)});
    }
    patchCount(file, c.image ? "/dataset/imgs/header" : "/dataset/data", !c.image, c.field, c.value);
    EXPECT_EQ(refusal(optionsFor(file, c.image ? "imgs" : ""), tmp / "out"),
              file + (c.image ? ": image 1: " : ": acquisition 1: ") + c.message);
    EXPECT_TRUE(noMeasurementIn(tmp / "out"));
}

// A stored sequence length far beyond the file (the first four bytes of the
// record's "data" member in its raw chunk) is refused from the raw bytes,
// before HDF5 sizes a buffer from it.
TEST(IsmrmrdRecords, AStoredLengthBeyondTheFileIsRefusedBeforeHdf5ReadsIt) {
    TempDir tmp{"duv-ismrmrd"};
    const std::string file = tmp / "length.h5";
    const ISMRMRD::IsmrmrdHeader h = mappingHeader();
    writeAcquisitionFile(file, &h, {acquisition(32, 2, 0.0f), acquisition(32, 2, 1.0f)});
    const hid_t f = H5Fopen(file.c_str(), H5F_ACC_RDWR, H5P_DEFAULT);
    const hid_t d = H5Dopen2(f, "/dataset/data", H5P_DEFAULT);
    const hid_t type = H5Dget_type(d), plist = H5Dget_create_plist(d);
    hsize_t chunk = 0, offset = 0, bytes = 0;
    ASSERT_EQ(H5Pget_chunk(plist, 1, &chunk), 1);
    offset = 1 - 1 % chunk;
    ASSERT_GE(H5Dget_chunk_storage_size(d, &offset, &bytes), 0);
    std::vector<unsigned char> raw(bytes);
    uint32_t filters = 0;
    ASSERT_GE(H5Dread_chunk(d, H5P_DEFAULT, &offset, &filters, raw.data()), 0);
    const size_t at = size_t(1 - offset) * H5Tget_size(type) +
                      H5Tget_member_offset(type, unsigned(H5Tget_member_index(type, "data")));
    const uint32_t huge = 0x7fffffff;
    std::memcpy(raw.data() + at, &huge, 4);
    EXPECT_GE(H5Dwrite_chunk(d, H5P_DEFAULT, filters, &offset, bytes, raw.data()), 0);
    H5Pclose(plist);
    H5Tclose(type);
    H5Dclose(d);
    H5Fclose(f);
    EXPECT_EQ(refusal(optionsFor(file), tmp / "out"),
              file + ": acquisition 1: field active_channels: 2 channels of 32 samples (number_of_samples) need 128 "
                     "floats; the record's data hold 2147483647");
}

INSTANTIATE_TEST_SUITE_P(
    IsmrmrdRecords, CountsThatDisagreeWithTheStoredArrays,
    ::testing::Values(
        CountCase{"ActiveChannels", false, "active_channels", 3,
                  "field active_channels: 3 channels of 32 samples (number_of_samples) need 192 floats; the record's "
                  "data hold 128"},
        CountCase{"NumberOfSamples", false, "number_of_samples", 4000,
                  "field active_channels: 2 channels of 4000 samples (number_of_samples) need 16000 floats; the "
                  "record's data hold 128"},
        CountCase{"TrajectoryDimensions", false, "trajectory_dimensions", 3,
                  "field trajectory_dimensions: 3 dimensions of 32 samples (number_of_samples) need 96 floats; the "
                  "record's trajectory holds 0"},
        CountCase{"MatrixSize", true, "matrix_size", 600,
                  "field matrix_size: matrix_size[0] is 600; the stored data hold 6"},
        CountCase{"Channels", true, "channels", 9, "field channels: channels is 9; the stored data hold 2"},
        CountCase{"AttributeStringLength", true, "attribute_string_len", 100000,
                  "field attribute_string_len: 100000 bytes; the stored attribute string holds 14"},
        // A type code the library does not know: it would fail after allocating.
        CountCase{"DataType", true, "data_type", 99,
                  "field data_type: 99 (unknown) is not supported: short, float or complex float"}),
    [](const ::testing::TestParamInfo<CountCase>& i) { return std::string(i.param.name); });

}  // namespace

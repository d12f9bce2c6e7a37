// Shared helpers of the NIfTI export tests: a writer configured for a job,
// images with a known pixel pattern and geometry, temporary directories and
// byte-level readers of the written files.
#pragma once


#include "../support/TempDir.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "Viviv_NS_qomNiftiWriter.h"
#include "duvhost/DuvObj.h"
#include "duvhost/Headers.h"
#include "duvhost/HostStages.h"
#include "duvhost/Rudu.h"
#include "duvhost/XProtocol.h"

namespace niftitest {

namespace fs = std::filesystem;

// Temporary directories: the shared helper, with this area's name prefix.
class TempDir : public duvtest::TempDir {
public:
    explicit TempDir(const std::string& tag = "viviv") : duvtest::TempDir(tag) {}
};

// Changes the working directory for the lifetime of the object.
class ScopedCwd {
public:
    explicit ScopedCwd(const fs::path& dir) : old_(fs::current_path()) { fs::current_path(dir); }
    ~ScopedCwd() {
        std::error_code ec;
        fs::current_path(old_, ec);
    }

private:
    fs::path old_;
};

inline std::vector<unsigned char> readFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

inline void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << bytes;
}

template <class T>
T at(const std::vector<unsigned char>& bytes, size_t offset) {
    T v{};
    std::memcpy(&v, bytes.data() + offset, sizeof v);
    return v;
}

// Geometry of one image series (patient coordinates, mm).
struct Geometry {
    sVec position{0.0, 0.0, 0.0};  // centre of pixel (nCol/2, nLin/2) of slice 0
    sVec row{1.0, 0.0, 0.0};
    sVec column{0.0, 1.0, 0.0};
    sVec normal{0.0, 0.0, 1.0};
    double rowSpacing = 1.0;     // between columns
    double columnSpacing = 1.0;  // between lines
    double sliceStep = 1.0;      // between slices (or partitions) along the normal
    double thickness = 1.0;

    sVec slicePosition(long slice) const {
        return {position.x + slice * sliceStep * normal.x, position.y + slice * sliceStep * normal.y,
                position.z + slice * sliceStep * normal.z};
    }
    // Centre of pixel (col, line) of a slice, by the image-series convention.
    sVec pixel(long col, long line, long slice, long nCol, long nLin) const {
        const sVec p = slicePosition(slice);
        const double a = (col - nCol / 2) * rowSpacing, b = (line - nLin / 2) * columnSpacing;
        return {p.x + a * row.x + b * column.x, p.y + a * row.y + b * column.y, p.z + a * row.z + b * column.z};
    }
};

// The pixel pattern: a distinct value per column, line, channel, slice and volume.
inline double pixelValue(long col, long line, long ch, long slice, long vol) {
    return double((col * 3 + line * 7 + ch * 101 + slice * 37 + vol * 211) % 30011);
}

struct TestImage {
    DuvFormat_t format = SH;
    long nCol = 8, nLin = 6, nCha = 1;
    long slice = 0, vol = 0;       // which slice and volume the pattern encodes
    Geometry geometry;
};

// An image object filled with the pattern (complex: real = pattern, imaginary = -pattern - 0.5).
inline DuvAs makeImage(const TestImage& s) {
    MrPtr<DuvObj> obj(Rudu::HeapObject<DuvObj>::Create());
    obj->create(s.format, {{COL, s.nCol}, {LIN, s.nLin}, {CHA, s.nCha}});
    unsigned char* data = obj->data();
    const size_t bytes = DuvFormatBytes(s.format);
    for (long ch = 0; ch < s.nCha; ++ch)
        for (long lin = 0; lin < s.nLin; ++lin)
            for (long col = 0; col < s.nCol; ++col) {
                const double v = pixelValue(col, lin, ch, s.slice, s.vol);
                unsigned char* e = data + ((ch * s.nLin + lin) * s.nCol + col) * bytes;
                if (s.format == SH) {
                    const int16_t x = int16_t(v);
                    std::memcpy(e, &x, 2);
                } else if (s.format == FL) {
                    const float x = float(v) + 0.25f;
                    std::memcpy(e, &x, 4);
                } else if (s.format == CXFL) {
                    const float x[2] = {float(v), float(-v - 0.5)};
                    std::memcpy(e, x, 8);
                } else {
                    std::memset(e, int(v) & 0xff, bytes);
                }
            }
    DuvSoda& soda = obj->soda(0);
    soda.setSlicePosVec(s.geometry.slicePosition(s.slice));
    soda.setRowVec(s.geometry.row);
    soda.setColumnVec(s.geometry.column);
    soda.setSliceNormVec(s.geometry.normal);
    soda.setRowSpacing(s.geometry.rowSpacing);
    soda.setColumnSpacing(s.geometry.columnSpacing);
    soda.setThickness(s.geometry.thickness);
    return DuvAs(obj);
}

// The bytes the file must hold for one 2D image: lines last to first.
inline std::vector<unsigned char> expectedImageBytes(const TestImage& s, long ch) {
    DuvAs as = makeImage(s);
    const size_t bytes = DuvFormatBytes(s.format), line = size_t(s.nCol) * bytes;
    const unsigned char* base = static_cast<const unsigned char*>(as.calcSplObjStartAddr()) + ch * s.nLin * line;
    std::vector<unsigned char> out;
    for (long lin = s.nLin - 1; lin >= 0; --lin) out.insert(out.end(), base + lin * line, base + (lin + 1) * line);
    return out;
}

inline MrPtr<MiniHeader> makeHeader(long anatomicalSlice, const std::string& description = "t1_mprage_sag") {
    MrPtr<MiniHeader> h(Rudu::HeapObject<MiniHeader>::Create());
    h->set("SequenceDescription", description);
    h->set("AnatomicalSliceNo", anatomicalSlice);
    return h;
}

// Counts of a job: every dimension 1 except those given.
struct Counts {
    long cha = 1, set = 1, eco = 1, phs = 1, rep = 1, seg = 1, par = 1, slc = 1, idb = 1, idc = 1, idd = 1, ide = 1,
         ave = 1;
};

inline ImageControl makeControl(const Counts& c, long slcIndex = 0, long parIndex = 0, long volIndex = 0,
                                DuvDim volDim = REP) {
    ImageControl ctrl;
    for (int d = 0; d < DUV_DIM_COUNT; ++d) {
        ctrl.setCount(DuvDim(d), 1);
        ctrl.setIndex(DuvDim(d), 0);
    }
    ctrl.setCount(CHA, c.cha);
    ctrl.setCount(SET, c.set);
    ctrl.setCount(ECO, c.eco);
    ctrl.setCount(PHS, c.phs);
    ctrl.setCount(REP, c.rep);
    ctrl.setCount(SEG, c.seg);
    ctrl.setCount(PAR, c.par);
    ctrl.setCount(SLC, c.slc);
    ctrl.setCount(IDB, c.idb);
    ctrl.setCount(IDC, c.idc);
    ctrl.setCount(IDD, c.idd);
    ctrl.setCount(IDE, c.ide);
    ctrl.setCount(AVE, c.ave);
    ctrl.setIndex(SLC, slcIndex);
    ctrl.setIndex(PAR, parIndex);
    ctrl.setIndex(volDim, volIndex);
    return ctrl;
}

using Writer = Viviv_NS_qomNiftiWriter;

// A writer with the protocol values of a job (as the host sets them; NRep
// as the protocol holds it, one less than the count) and a protocol file.
struct Job {
    int nCha = 1, nSlc = 1, nParFT = 1, nParMeas = 1, nSet = 1, nPhs = 1, nRepProtocol = 0;
    double sliceThk = 5.0, distFact = 0.0;
    std::string patientPosition = "HFS";
    int tr = 2000000, b0Delay = 4000;
    bool debug = true;
};

inline MrPtr<Writer> makeWriter(const Job& j, const std::string& dir, const std::string& fileName = "out.nii") {
    MrPtr<Writer> w(Rudu::HeapObject<Writer>::Create());
    const std::string prot = dir + "/current_prot.evp";
    if (!fs::exists(prot)) writeFile(prot, "MEAS.lRepetitions = 0\n");
    w->setXProtFileName(prot);
    w->setExportFilePath(dir);
    w->setExportFileName(fileName);
    w->setDebugLogging(j.debug);
    w->setNCha(j.nCha);
    w->setNSlc(j.nSlc);
    w->setNParFT(j.nParFT);
    w->setNParMeas(j.nParMeas);
    w->setNSet(j.nSet);
    w->setNPhs(j.nPhs);
    w->setNRep(j.nRepProtocol);
    w->setSliceThk(j.sliceThk);
    w->setDistFact(j.distFact);
    w->setPatientPosition(j.patientPosition);
    w->setTR(j.tr);
    w->setB0EncodeDelay_us(j.b0Delay);
    return w;
}

// Collects the images that a writer passes on.
struct Successor {
    long images = 0;
    DuvStatus status = I_OK;
    void attach(Writer& w) {
        w.ImageReady.bind([this](DuvAs&, MrPtr<MiniHeader>&, ImageControl&) -> DuvStatus {
            ++images;
            return status;
        });
    }
};

// World coordinates of voxel (i, j, k) through the file's sform.
inline sVec sformWorld(const std::vector<unsigned char>& file, double i, double j, double k) {
    double r[3];
    for (int row = 0; row < 3; ++row) {
        const size_t o = 280 + 16 * row;
        r[row] = at<float>(file, o) * i + at<float>(file, o + 4) * j + at<float>(file, o + 8) * k +
                 at<float>(file, o + 12);
    }
    return {r[0], r[1], r[2]};
}

// NIfTI world (RAS) of a head-first supine patient position: (-sag, -cor, tra).
inline sVec rasOfHfs(const sVec& p) { return {-p.x, -p.y, p.z}; }

// A measurement protocol with every path that the writer's properties read.
inline XProtocol fullProtocol() {
    XProtocol p;
    p.SetLong("YAPS.iMaxNoOfRxChannels", 32);
    p.SetLong("MEAS.sSliceArray.lSize", 3);
    p.SetLong("MEAS.sKSpace.lImagesPerSlab", 1);
    p.SetLong("YAPS.iNoOfFourierPartitions", 1);
    p.SetLong("YAPS.iNSet", 1);
    p.SetLong("YAPS.iNIda", 1);
    p.SetLong("MEAS.sPhysioImaging.lPhases", 1);
    p.SetLong("MEAS.lRepetitions", 0);
    p.SetLong("MEAS.sKSpace.lBaseResolution", 8);
    p.SetLong("MEAS.sKSpace.lPhaseEncodingLines", 6);
    p.SetDouble("MEAS.sSliceArray.asSlice.0.dReadoutFOV", 220.0);
    p.SetDouble("MEAS.sSliceArray.asSlice.0.dPhaseFOV", 165.0);
    p.SetDouble("MEAS.sSliceArray.asSlice.0.dThickness", 4.0);
    p.SetDouble("MEAS.sGroupArray.asGroup.0.dDistFact", 0.25);
    p.SetString("YAPS.tPatientPosition", "HFS");
    p.SetLong("MEAS.sTXSPEC.asNucleusInfo.0.lFrequency", 123251815);
    p.SetLong("MEAS.sGRADSPEC.asGPAData.0.lOffsetX", 11);
    p.SetLong("MEAS.sGRADSPEC.asGPAData.0.lOffsetY", -12);
    p.SetLong("MEAS.sGRADSPEC.asGPAData.0.lOffsetZ", 13);
    for (long i = 0; i < 5; ++i) p.SetLong("MEAS.sGRADSPEC.alShimCurrent." + std::to_string(i), 100 + i);
    p.SetLong("MEAS.alTR.0", 2300000);
    p.SetLong("MEAS.alTR.1", 9);
    for (long i = 0; i < 16; ++i) p.SetLong("YAPS.alDUVProgramPara." + std::to_string(i), 1000 + i);
    p.SetString("MEAS.tProtocolName", "t1 \"quoted\"\n");
    return p;
}

}  // namespace niftitest

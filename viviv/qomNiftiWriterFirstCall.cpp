// First call of a job: the checks that the job's images fit one NIfTI-1 file,
// the working sizes, and the complete header with its voxel-to-world
// transform.
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

#include "Viviv_NS_qomNiftiWriter.h"
#include "VivivTrace.h"
#include "duvhost/MrMath.h"

namespace {

constexpr const char* kSource = "qomNiftiWriter";
constexpr const char* kFirstCall = "qomNiftiWriter::FirstCall(srcAs, dataHeader, ctrl)";

struct DimensionCheck {
    bool failed;
    const char* message;
};

// "x, y, z" in the stream's default number format.
struct VecText {
    const sVec& v;
};
std::ostream& operator<<(std::ostream& os, VecText t) { return os << t.v.x << ", " << t.v.y << ", " << t.v.z; }

sVec minus(const sVec& a, const sVec& b, double f) { return {a.x - f * b.x, a.y - f * b.y, a.z - f * b.z}; }

}  // namespace

xyzVec::xyzVec(const sVec& vector, const std::string& patientPosition) {
    try {
        const MrMath::TransformDevPat toDevice(patientPosition);
        const MrMath::VectorDev dev = toDevice(MrMath::VectorPat(vector.x, vector.y, vector.z));
        x = dev.X();
        y = -dev.Y();
        z = -dev.Z();
    } catch (const std::invalid_argument& e) {
        VIVIV_ERROR(kSource, "MrMath::transformPCSToDCS") << "ERROR in " << e.what();
        x = y = z = 0.0;
        valid = false;
    }
}

using W = Viviv_NS_qomNiftiWriter;

DuvStatus W::FirstCall(DuvAs& srcAs, MrPtr<MiniHeader>& dataHeader, ImageControl& ctrl) {
    // 1. Working sizes.
    m_iNCol = static_cast<int>(srcAs.getLen(COL));
    m_iNLin = static_cast<int>(srcAs.getLen(LIN));
    if (m_iNSlc < 1) m_iNSlc = 1;
    if (m_iNSet < 1) m_iNSet = 1;
    if (m_iNPhs < 1) m_iNPhs = 1;
    if (m_iNRep < 1) m_iNRep = 1;
    m_iNPar = m_iNParMeas > 1 ? m_iNParFT : 1;

    const DuvSoda* sodaPtr = srcAs.calcCurrentSodaPtr();
    // A view without geometry gets an all-zero one and no valid transform.
    DuvSoda soda;
    if (sodaPtr) {
        soda = *sodaPtr;
    } else {
        soda.setSliceNormVec({});
        soda.setRowVec({});
        soda.setColumnVec({});
        soda.setRowSpacing(0.0);
        soda.setColumnSpacing(0.0);
        VIVIV_ERROR(kSource, kFirstCall) << "qomNiftiWriter: image carries no slice geometry; sform_code 0";
    }

    // 2. Debug traces.
    VIVIV_DEBUG(m_bDebugLogging, kSource, kFirstCall)
        << "qomNiftiWriter::FirstCall started: nCol = " << m_iNCol << " ; nCha = " << m_iNCha
        << " ; nLin = " << m_iNLin << " ; nSlc = " << m_iNSlc << " ; nPar = " << m_iNPar << " ; nSet = " << m_iNSet
        << " ; nPhs = " << m_iNPhs << " ; nRep = " << m_iNRep;
    VIVIV_DEBUG(m_bDebugLogging, kSource, kFirstCall) << "qomNiftiWriter::FirstCall: original Soda:\n" << soda;

    // 3. Dimension checks: the first rule that matches fails the call.
    if (m_bDoNiftiExport) {
        const auto n = [&ctrl](DuvDim d) { return ctrl.getCount(d); };
        const DimensionCheck checks[] = {
            {n(ECO) >= 2, "qomNiftiWriter: ECHOES > 1 not supported!"},
            {n(IDB) >= 2, "qomNiftiWriter: IDB > 1 not supported!"},
            {n(IDC) >= 2, "qomNiftiWriter: IDC > 1 not supported!"},
            {n(IDD) >= 2, "qomNiftiWriter: IDD > 1 not supported!"},
            {n(AVE) >= 2, "qomNiftiWriter: UNCOMBINED AVERAGES not supported!"},
            {n(IDE) >= 2, "qomNiftiWriter: IDE > 1 not supported!"},
            {n(SEG) >= 2 && n(PHS) < 2,
             "qomNiftiWriter: SEGMENTS > 1 not supported except for multiple-phase cardiac imaging!"},
            {n(PAR) >= 2 && n(SLC) >= 2, "qomNiftiWriter: SLICES > 1 and PARTITIONS > 1 not supported!"},
            {n(SET) >= 2 && n(REP) >= 2, "qomNiftiWriter: SETS > 1 and REPETITIONS > 1 not supported!"},
            {n(PHS) >= 2 && n(REP) >= 2, "qomNiftiWriter: PHASES > 1 and REPETITIONS > 1 not supported!"},
            {n(PHS) >= 2 && n(SET) >= 2, "qomNiftiWriter: PHASES > 1 and SETS > 1 not supported!"},
            {m_iNSlc != n(SLC), "qomNiftiWriter: SLC dimension mismatch!"},
            {m_iNPar != n(PAR), "qomNiftiWriter: PAR dimension mismatch!"},
            {m_iNSet != n(SET), "qomNiftiWriter: SET dimension mismatch!"},
            {m_iNRep != n(REP), "qomNiftiWriter: REP dimension mismatch!"},
            {m_iNPhs != n(PHS), "qomNiftiWriter: PHS dimension mismatch!"},
        };
        for (const DimensionCheck& check : checks) {
            if (!check.failed) continue;
            VIVIV_ERROR(kSource, kFirstCall) << check.message << ctrl << VivivStatus{I_FAIL};
            DuvFramework::SetLastError(I_FAIL, env_);
            return I_FAIL;
        }
    }

    // 4. Channel rule: coil-combined images of a multi-channel protocol
    // lower NCha to the images' channel count.
    bool channelsLowered = false;
    const long chaCount = ctrl.getCount(CHA);
    if (m_iNCha < chaCount) {
        if (m_bDoNiftiExport) {
            VIVIV_ERROR(kSource, kFirstCall) << "qomNiftiWriter: CHA dimension mismatch!" << VivivStatus{I_FAIL};
            DuvFramework::SetLastError(I_FAIL, env_);
            return I_FAIL;
        }
    } else if (m_iNCha > chaCount) {
        m_iNCha = static_cast<int>(chaCount);
        channelsLowered = true;
    }

    // 5. Sequence description.
    std::string description;
    if (!dataHeader || !dataHeader->get("SequenceDescription", description, false)) {
        VIVIV_ERROR(kSource, kFirstCall)
            << "qomNiftiWriter: dataHeader->get('SequenceDescription', strSeriesName) failed! Aborting ..."
            << VivivStatus{I_FAIL};
        DuvFramework::SetLastError(I_FAIL, env_);
        return I_FAIL;
    }

    // 6. Sample format rule.
    const DuvFormat_t format = srcAs.getDuvObjFormat();
    int16_t datatype = 0;
    switch (format) {
        case SH:
            datatype = kNiftiInt16;
            m_iBytesPerValue = 2;
            break;
        case FL:
            datatype = kNiftiFloat32;
            m_iBytesPerValue = 4;
            break;
        case CXFL:
            datatype = kNiftiComplex64;
            m_iBytesPerValue = 8;
            break;
        default:
            VIVIV_ERROR(kSource, kFirstCall) << "qomNiftiWriter: unsupported DuvObj format " << static_cast<int>(format)
                                             << "\n"
                                             << srcAs << VivivStatus{I_FAIL};
            DuvFramework::SetLastError(I_FAIL, env_);
            return I_FAIL;
    }

    const long dim3 = m_iNPar > 1 ? m_iNPar : m_iNSlc;
    const long dim4 = m_iNSet > 1 ? m_iNSet : m_iNPhs > 1 ? m_iNPhs : m_iNRep;
    // The header's dimensions are 16-bit: a larger one would describe a
    // different array than the one written.
    if (m_bDoNiftiExport) {
        const long dims[] = {m_iNCol, m_iNLin, dim3, dim4, m_iNCha};
        for (int i = 0; i < 5; ++i) {
            if (dims[i] >= 1 && dims[i] <= std::numeric_limits<int16_t>::max()) continue;
            VIVIV_ERROR(kSource, kFirstCall) << "qomNiftiWriter: dim[" << (i + 1) << "] = " << dims[i]
                                             << " does not fit the NIfTI-1 header, aborting..." << VivivStatus{I_FAIL};
            DuvFramework::SetLastError(I_FAIL, env_);
            return I_FAIL;
        }
    }

    // 7. Geometry in the file's convention.
    const xyzVec u(soda.getRowVec(), m_strPatientPosition);
    const xyzVec v(soda.getColumnVec(), m_strPatientPosition);
    const xyzVec w(soda.getSliceNormVec(), m_strPatientPosition);
    const xyzVec p(soda.getSlicePosVec(), m_strPatientPosition);
    const bool geometryValid = sodaPtr && u.valid && v.valid && w.valid && p.valid;

    // 8. Header.
    NiftiHeader1& h = m_sNiftiHeader;
    std::memset(&h, 0, sizeof h);
    h.sizeof_hdr = kNiftiHeaderBytes;
    // dim[0]: never fewer dimensions than the data need, so that readers see
    // every volume and every channel.
    int16_t dim0 = 5;
    if (channelsLowered) dim0 = m_iNCha > 1 ? 5 : dim4 > 1 ? 4 : 3;
    h.dim[0] = dim0;
    h.dim[1] = static_cast<int16_t>(m_iNCol);
    h.dim[2] = static_cast<int16_t>(m_iNLin);
    h.dim[3] = static_cast<int16_t>(dim3);
    h.dim[4] = static_cast<int16_t>(dim4);
    h.dim[5] = static_cast<int16_t>(m_iNCha);
    h.dim[6] = 1;
    h.dim[7] = 1;
    h.datatype = datatype;
    h.bitpix = static_cast<int16_t>(8 * m_iBytesPerValue);
    const double du = soda.getRowSpacing();     // between neighbouring columns
    const double dv = soda.getColumnSpacing();  // between neighbouring lines
    // Slice step: partitions of a slab share its thickness; neighbouring 2D
    // slices lie one thickness plus the gap apart.
    double dw = m_dSliceThk / static_cast<double>(h.dim[3]);
    if (m_iNPar <= 1 && m_iNSlc > 1) dw = m_dSliceThk * (1.0 + m_dDistFact);
    h.pixdim[0] = -1.0f;
    h.pixdim[1] = static_cast<float>(du);
    h.pixdim[2] = static_cast<float>(dv);
    h.pixdim[3] = static_cast<float>(dw);
    h.pixdim[4] = static_cast<float>((m_iNSet > 1 ? m_iB0EncodeDelay_us : m_iTR) / 1000000.0);
    h.vox_offset = static_cast<float>(kNiftiHeaderBytes + kNiftiExtenderBytes);
    h.scl_slope = 1.0f;
    h.slice_end = static_cast<int16_t>(h.dim[3] - 1);
    h.slice_code = 1;
    h.xyzt_units = 10;
    std::strncpy(h.descrip, description.c_str(), sizeof h.descrip - 1);
    h.qform_code = 0;
    h.sform_code = geometryValid ? 1 : 0;
    std::memcpy(h.magic, "n+1", 4);
    m_ucExtender[0] = 1;
    m_ucExtender[1] = m_ucExtender[2] = m_ucExtender[3] = 0;

    // 9. sform. The origin is the centre of the centre pixel of slice (or
    // partition) 0: the first image need not be slice 0. Lines are stored
    // last line first, so the file's line j is image line nLin - 1 - j.
    long sliceIndex = 0;
    if (m_iNPar > 1) {
        sliceIndex = ctrl.getIndex(PAR);
    } else if (dataHeader) {
        long anatomical = 0;
        if (dataHeader->get("AnatomicalSliceNo", anatomical, true)) sliceIndex = anatomical;
    }
    const sVec p0 = minus(p, w, static_cast<double>(sliceIndex) * dw);
    const double i0 = std::floor(m_iNCol / 2.0);
    const double j0 = m_iNLin - 1 - std::floor(m_iNLin / 2.0);
    if (geometryValid) {
        h.srow_x[0] = static_cast<float>(-u.x * du);
        h.srow_x[1] = static_cast<float>(v.x * dv);
        h.srow_x[2] = static_cast<float>(-w.x * dw);
        h.srow_x[3] = static_cast<float>(-p0.x - i0 * h.srow_x[0] - j0 * h.srow_x[1]);
        h.srow_y[0] = static_cast<float>(-u.y * du);
        h.srow_y[1] = static_cast<float>(v.y * dv);
        h.srow_y[2] = static_cast<float>(-w.y * dw);
        h.srow_y[3] = static_cast<float>(-p0.y - i0 * h.srow_y[0] - j0 * h.srow_y[1]);
        h.srow_z[0] = static_cast<float>(u.z * du);
        h.srow_z[1] = static_cast<float>(-v.z * dv);
        h.srow_z[2] = static_cast<float>(w.z * dw);
        h.srow_z[3] = static_cast<float>(p0.z - i0 * h.srow_z[0] - j0 * h.srow_z[1]);
    }

    // 10. Geometry traces.
    VIVIV_NOTICE(kSource, kFirstCall) << "qomNiftiWriter::FirstCall: Slice Position X/Y/Z (" << p.x << ", " << p.y
                                      << ", " << p.z << ")";
    VIVIV_NOTICE(kSource, kFirstCall) << "qomNiftiWriter::FirstCall: Slice Normal X/Y/Z   (" << VecText{w} << ")";
    VIVIV_NOTICE(kSource, kFirstCall) << "qomNiftiWriter::FirstCall: Row X/Y/Z            (" << VecText{u} << ")";
    VIVIV_NOTICE(kSource, kFirstCall) << "qomNiftiWriter::FirstCall: Column X/Y/Z         (" << VecText{v} << ")";
    VIVIV_NOTICE(kSource, kFirstCall) << "qomNiftiWriter::FirstCall: sform code: " << h.sform_code;
    const float* rows[3] = {h.srow_x, h.srow_y, h.srow_z};
    const char* labels[3] = {"X", "Y", "Z"};
    for (int r = 0; r < 3; ++r)
        VIVIV_NOTICE(kSource, kFirstCall) << "qomNiftiWriter::FirstCall: sform " << labels[r] << "              ("
                                          << rows[r][0] << ", " << rows[r][1] << ", " << rows[r][2] << ", "
                                          << rows[r][3] << ")";

    m_eFirstFormat = format;
    m_lFirstImageChannels = srcAs.getLen(CHA);
    return I_OK;
}

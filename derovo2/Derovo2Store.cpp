// The raw spectral store and the reference store of Derovo2: addressing, and
// the insertion of one readout (cutting, oversampling removal, averaging,
// references, online weights, timing tables, display hand-off, counting).
//
// Layout of the raw store (COL fastest): COL, AVE, LIN, PHS, SEG, ECO, CHA,
// SLC, REP. The last AVE slot is the running sum; with two or more channels
// the last CHA slot is kept for the combined result. The reference store is
// COL, LIN (0 noise, 1 water reference), CHA.
//
// insert allocates nothing: the view windows are reused members, the
// transforms work in the FFT object's fixed array, and the per-channel
// addresses live on the stack.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "Derovo2.h"
#include "Derovo2Trace.h"
#include "duvhost/Framework.h"
#include "duvhost/Platform.h"

namespace {

constexpr uint64_t kMaxVectorSize = 65536;
constexpr float kLowestFloat = -3.4028235e38f;
constexpr DuvDim kRawDims[9] = {COL, AVE, LIN, PHS, SEG, ECO, CHA, SLC, REP};
constexpr DuvDim kRefDims[3] = {COL, LIN, CHA};

bool isPowerOfTwo(uint64_t n) { return n != 0 && (n & (n - 1)) == 0; }

// vs x factor, with the product in single precision and the rounding in
// double precision, as the column length of the store is computed.
uint64_t oversampledLength(uint64_t vs, float factor)
{
    const double r = static_cast<double>(static_cast<float>(vs) * factor) + 0.5;
    if (!(r > 0.0)) return 0;
    if (r >= 18446744073709551615.0) return UINT64_MAX;
    return static_cast<uint64_t>(r);
}

// Magnitude of a complex sample: squares summed in single precision, root in double.
double magnitude(const float* x)
{
    const float sq = x[0] * x[0] + x[1] * x[1];
    return std::sqrt(static_cast<double>(sq));
}

// Addresses of raw-store elements without binding a view (the online
// weights look at many candidate points per readout).
struct RawStoreAddress {
    explicit RawStoreAddress(DuvObj& raw) : base(reinterpret_cast<float*>(raw.data()))
    {
        for (int i = 0; i < 9; ++i) floats[i] = 2 * raw.strideElements(kRawDims[i]);
    }
    const float* at(long ave, long lin, long phs, long seg, long eco, long cha, long slc, long rep) const
    {
        const long idx[9] = {0, ave, lin, phs, seg, eco, cha, slc, rep};
        size_t off = 0;
        for (int i = 0; i < 9; ++i) off += static_cast<size_t>(idx[i]) * floats[i];
        return base + off;
    }
    float* base;
    size_t floats[9];
};

bool inArrayPlotRange(int plot, int lo, int hi) { return plot >= lo && plot <= hi; }

}  // namespace

Derovo2StoreDims Derovo2::storeDims() const
{
    Derovo2StoreDims d;
    if (!m_raw || !m_raw->IsValid()) return d;
    d.col = m_raw->getLen(COL);
    d.ave = m_raw->getLen(AVE);
    d.lin = m_raw->getLen(LIN);
    d.phs = m_raw->getLen(PHS);
    d.seg = m_raw->getLen(SEG);
    d.eco = m_raw->getLen(ECO);
    d.cha = m_raw->getLen(CHA);
    d.slc = m_raw->getLen(SLC);
    d.rep = m_raw->getLen(REP);
    return d;
}

float* Derovo2::get_ptr(long c_col, long c_ave, long c_1st, long c_2nd, long c_3rd, long c_eco, long c_cha,
                        long c_slc, long c_rep)
{
    const Derovo2StoreDims d = storeDims();
    const long len[9] = {d.col, d.ave, d.lin, d.phs, d.seg, d.eco, d.cha, d.slc, d.rep};
    const long idx[9] = {c_col, c_ave, c_1st, c_2nd, c_3rd, c_eco, c_cha, c_slc, c_rep};
    for (int i = 0; i < 9; ++i) {
        if (idx[i] >= 0 && idx[i] < len[i]) continue;
        std::fprintf(stderr,
                     "\nVizara::get_ptr(): I was asked to reach unallocated memory:\ncurrent DuvObj dimensions: %lu "
                     "%lu %lu %lu %lu %lu %lu %lu %lu\nthe address requested was: %lu %lu %lu %lu %lu %lu %lu %lu %lu",
                     static_cast<unsigned long>(len[0]), static_cast<unsigned long>(len[1]),
                     static_cast<unsigned long>(len[2]), static_cast<unsigned long>(len[3]),
                     static_cast<unsigned long>(len[4]), static_cast<unsigned long>(len[5]),
                     static_cast<unsigned long>(len[6]), static_cast<unsigned long>(len[7]),
                     static_cast<unsigned long>(len[8]), static_cast<unsigned long>(idx[0]),
                     static_cast<unsigned long>(idx[1]), static_cast<unsigned long>(idx[2]),
                     static_cast<unsigned long>(idx[3]), static_cast<unsigned long>(idx[4]),
                     static_cast<unsigned long>(idx[5]), static_cast<unsigned long>(idx[6]),
                     static_cast<unsigned long>(idx[7]), static_cast<unsigned long>(idx[8]));
        return nullptr;
    }
    _rawWindows.resize(9);
    for (int i = 0; i < 9; ++i) _rawWindows[static_cast<size_t>(i)] = DuvWindow{kRawDims[i], idx[i], 1, 1};
    if (m_rawAs.object().get() != m_raw.get()) m_rawAs = DuvAs(m_raw);
    if (!m_rawAs.init(_rawWindows)) {
        D2_NOTICE("get_ptr") << "==>Creation of DUV AccessSpecifier in *Derovo2::get_ptr with m_rawAs.init failed!";
        return nullptr;
    }
    return static_cast<float*>(m_rawAs.calcSplObjStartAddr());
}

float* Derovo2::get_qom_ref_ptr(long c_col, long c_1st, long c_cha)
{
    const bool valid = m_qom_ref && m_qom_ref->IsValid();
    const long len[3] = {valid ? m_qom_ref->getLen(COL) : 0, valid ? m_qom_ref->getLen(LIN) : 0,
                         valid ? m_qom_ref->getLen(CHA) : 0};
    const long idx[3] = {c_col, c_1st, c_cha};
    for (int i = 0; i < 3; ++i) {
        if (idx[i] >= 0 && idx[i] < len[i]) continue;
        std::fprintf(stderr,
                     "\nVizara::get_qom_ref_ptr(): I was asked to reach unallocated memory:\ncurrent DuvObj "
                     "dimensions: %lu %lu %lu\nthe address requested was: %lu %lu %lu",
                     static_cast<unsigned long>(len[0]), static_cast<unsigned long>(len[1]),
                     static_cast<unsigned long>(len[2]), static_cast<unsigned long>(idx[0]),
                     static_cast<unsigned long>(idx[1]), static_cast<unsigned long>(idx[2]));
        return nullptr;
    }
    _refWindows.resize(3);
    for (int i = 0; i < 3; ++i) _refWindows[static_cast<size_t>(i)] = DuvWindow{kRefDims[i], idx[i], 1, 1};
    if (m_qom_refAs.object().get() != m_qom_ref.get()) m_qom_refAs = DuvAs(m_qom_ref);
    if (!m_qom_refAs.init(_refWindows)) {
        D2_NOTICE("get_qom_ref_ptr")
            << "==>Creation of DUV AccessSpecifier in *Derovo2::get_ref_ptr with m_qom_refAs.init failed!";
        return nullptr;
    }
    return static_cast<float*>(m_qom_refAs.calcSplObjStartAddr());
}

float Derovo2::max_measured_averages()
{
    float m = 0.0f;
    for (long i = 0; i < kDerovo2CsiAveragesSize; ++i) m = std::max(m, csiAverages[i]);
    return m;
}

bool Derovo2::insert(DuvAs& srcAs, MdhProxy& mdh)
{
    const sScanHeader& h = mdh.header();
    const Derovo2StoreDims dims = storeDims();
    const uint64_t vs = dims.col > 0 ? static_cast<uint64_t>(dims.col) : 0;
    const uint64_t acq = h.ushSamplesInScan;
    const uint64_t pre = h.aushDuvProgramPara[4];
    const long cLin = h.sLC.ushLine, cPhs = h.sLC.ushPhase, cSeg = h.sLC.ushSeg;
    const long cEco = h.sLC.ushEcho, cSlc = h.sLC.ushSlice, cRep = h.sLC.ushRepetition;
    const long cSet = h.sLC.ushSet;

    // 1. Reference-scan state; leaving a reference-scan block restarts the
    // display scaling.
    RefScanFlagPrev = RefScanFlag;
    RefScanFlag = h.aushDuvProgramPara[5];
    if (RefScanFlagPrev == 1 && RefScanFlag == 0) _qom_plot_max = _qom_plot_max2 = _qom_plot_max3 = kLowestFloat;

    // 2. The last channel slot is kept for the combined result.
    long nfill = dims.measuredChannels();

    // 3. Sample counts (unsigned 64-bit, as the checks below expect).
    const uint64_t relevant = m_bRemoveOversampling ? oversampledLength(vs, m_fReadoutOSFactor) : vs;
    const uint64_t right = acq - relevant - pre;
    const uint64_t osShift = std::min(pre, right);

    // 4. Checks; a refused readout leaves the stores untouched.
    if (vs - 1 > kMaxVectorSize - 1) {
        std::printf("\n Derovo2::insert(): NEVER HAPPEN Error\n vector size %lu out of range [1,%d]\n no data will be "
                    "inserted into the database.",
                    static_cast<unsigned long>(vs), static_cast<int>(kMaxVectorSize));
        return false;
    }
    if (relevant != vs && relevant != 2 * vs) {
        std::printf("\n Derovo2::insert(): Error\n the current oversampling factor is %f\n only oversampling factors "
                    "equal to 1 or 2 are supported.\n no data will be inserted into the database.",
                    static_cast<double>(m_fReadoutOSFactor));
        D2_NOTICE("insert") << "\n==> relevant_samples:      " << relevant;
        D2_NOTICE("insert") << "\n==> vectorsize:            " << vs;
        D2_NOTICE("insert") << "\n==> relevant_samples != vectorsize ";
        D2_NOTICE("insert") << "\n==> relevant_samples != 2*vectorsize ";
        return false;
    }
    if (relevant != vs && !isPowerOfTwo(vs)) {
        std::printf("\n Derovo2::insert(): Error\n specified vectorsize %lu  is not a power of two while oversampling "
                    "was turned on.\n no data will be inserted into the database.",
                    static_cast<unsigned long>(vs));
        return false;
    }
    if (static_cast<int64_t>(acq) - static_cast<int64_t>(pre) < static_cast<int64_t>(relevant)) {
        std::printf("\n Derovo2::insert(): NEVER HAPPEN Error\n number of samples = %lu is out of range.\n no data "
                    "will be inserted into the database.\n",
                    static_cast<unsigned long>(acq));
        return false;
    }
    if (relevant + pre + right != acq) {
        std::printf("\n Derovo2::insert(): NEVER HAPPEN Error\n check sum error when computing "
                    "additional_right_samples.\n no data will be inserted into the database.\n");
        return false;
    }
    const bool removeOs = relevant > vs;
    if (removeOs && osShift > static_cast<uint64_t>(static_cast<double>(relevant) * 0.25 + 0.5)) {
        std::printf("\n Derovo2::insert():\n too many sampling points are specified as negligible.\n the number of "
                    "points left is unsufficient for the removal of oversampled points\n no data will be inserted "
                    "into the database.\n");
        return false;
    }
    // The transform of the oversampling removal needs both lengths in
    // 2 ... 65536: a vector of 1 point or of 65536 points at factor 2 cannot
    // be cropped, and storing the uncropped samples would be wrong.
    if (removeOs && (vs < 2 || !_fft.is_allowed(relevant))) {
        std::printf("\n Derovo2::insert(): Error\n oversampling removal from %lu to %lu samples is not possible "
                    "(both must be powers of two in [2,%d]).\n no data will be inserted into the database.\n",
                    static_cast<unsigned long>(relevant), static_cast<unsigned long>(vs),
                    static_cast<int>(kMaxVectorSize));
        return false;
    }
    // Every sample read lies below acq: the readout must hold that many
    // consecutive complex floats per channel.
    if (srcAs.getDuvObjFormat() != CXFL || srcAs.getLen(COL) < static_cast<long>(acq) ||
        (acq > 1 && srcAs.strideElements(COL) != 1)) {
        std::printf("\n Derovo2::insert(): Error\n the readout does not hold %lu consecutive complex float samples "
                    "per channel.\n no data will be inserted into the database.\n",
                    static_cast<unsigned long>(acq));
        return false;
    }

    // 5. Channels delivered versus channels stored.
    const long used = h.ushUsedChannels;
    if (used > nfill) {
        std::printf("\nonline(),insert(): warning, no. channels in MDH %lu > channel dim of duv object "
                    "%lu\nonly the channels specified in the duv object are recorded.\n",
                    static_cast<unsigned long>(used), static_cast<unsigned long>(nfill));
    } else if (used < nfill) {
        std::printf("\nonline(),insert(): warning, no. channels in MDH %lu < channel dim of duv object %lu\nkiv "
                    "object is not filled completely.\n",
                    static_cast<unsigned long>(used), static_cast<unsigned long>(nfill));
        nfill = used;
    }
    if (nfill < 1) {
        std::printf("\n Derovo2::insert(): Error\n the readout carries no channel.\n no data will be inserted into "
                    "the database.\n");
        return false;
    }
    if (nfill > kMaxWeightChannels) {
        std::printf("\n Derovo2::insert(): Error\n %lu channels exceed the %ld channels of the online weights.\n no "
                    "data will be inserted into the database.\n",
                    static_cast<unsigned long>(nfill), static_cast<long>(kMaxWeightChannels));
        return false;
    }

    // 6. Readout time (ticks of 2.5 ms, read as signed; 64-bit so that late
    // readouts do not overflow) and the local date.
    const int32_t ticks = static_cast<int32_t>(h.ulTimeStamp);
    if (ticks < 0) {
        D2_NOTICE("insert") << "\n==>ticks < 0 ";
    }
    const int64_t micros = static_cast<int64_t>(ticks) * 2500;
    const int64_t seconds = micros / 1000000;
    const int64_t remainder = micros % 1000000;
    std::tm local{};
    DuvPlatform::LocalTime(static_cast<int64_t>(std::time(nullptr)), local);

    // 7.
    const long cAve = m_bisCSI ? 0 : cSet;

    // 8. Transfer channel by channel.
    const bool isReference = mdh.isFlagSet(MDH_PHASCOR) || mdh.isFlagSet(MDH_NOISEADJSCAN);
    const bool isNoise = mdh.isFlagSet(MDH_NOISEADJSCAN);
    const bool toSumSlot = !isReference && RefScanFlag != 1;
    // An odd shift is taken as the even one below it, so that the two halves
    // of the stored vector join without a one-sample jump; the parameter
    // dump keeps the shift as measured.
    const uint64_t halfShift = osShift / 2;
    const uint64_t literalShift =
        static_cast<uint64_t>(static_cast<double>(osShift) * static_cast<double>(vs) / static_cast<double>(relevant) +
                              0.5);
    const unsigned long nvs = static_cast<unsigned long>(vs), nrel = static_cast<unsigned long>(relevant);
    float* dCh[kMaxWeightChannels] = {};
    float* dSumCh[kMaxWeightChannels] = {};

    _srcChannelWindow.resize(1);
    for (long c = 0; c < nfill; ++c) {
        _srcChannelWindow[0] = DuvWindow{CHA, c, 1, 1};
        if (!srcAs.modify(_srcChannelWindow)) {
            D2_ERROR("insert") << "Channel modification of srcAs failed in Derovo2::insert" << D2Status{I_FAIL};
            DuvFramework::SetLastError(I_FAIL, nullptr);
            return false;
        }
        float* s = static_cast<float*>(srcAs.calcSplObjStartAddr());

        float* d = nullptr;
        float* dSum = nullptr;
        if (!isReference) {
            d = get_ptr(0, cAve, cLin, cPhs, cSeg, cEco, c, cSlc, cRep);
            if (toSumSlot) {
                dSum = get_ptr(0, dims.ave - 1, cLin, cPhs, cSeg, cEco, c, cSlc, cRep);
                if (!d || !dSum) {
                    std::printf("\nonline(),insert(): NEVER HAPPEN\n trying to reach unallocated memory.\n");
                    return false;
                }
                if (d == dSum) dSum = nullptr;  // the readout names the sum slot itself
            } else if (!d) {
                std::printf("\nonline(),insert(): NEVER HAPPEN\n trying to reach unallocated memory.\n");
                return false;
            }
        } else {
            if (c == 0 && isNoise) {
                D2_NOTICE("insert") << "==>found qom internal noise reference";
            } else if (c == 0) {
                D2_NOTICE("insert") << "==>found qom internal water reference";
            }
            if (m_iSpec_B0Correct == 1) {
                d = get_qom_ref_ptr(0, isNoise ? 0 : 1, c);
                if (!d) {
                    if (isNoise)
                        std::printf(
                            "\nonline(),noiseadjscan,insert(): NEVER HAPPEN\n trying to reach unallocated memory.\n");
                    else
                        std::printf("\nonline(),internal_water_ref,insert(): NEVER HAPPEN\n trying to reach "
                                    "unallocated memory.\n");
                    return false;
                }
            }
        }

        // The slice geometry of the block the raw view addresses now (one
        // geometry per slice of the store) follows the readout's.
        DuvSoda* dstSoda = m_rawAs.calcCurrentSodaPtr();
        const DuvSoda* srcSoda = srcAs.calcCurrentSodaPtr();
        if (dstSoda && srcSoda) *dstSoda = *srcSoda;

        // Add the samples into the slot(s).
        if (d || dSum) {
            if (!removeOs) {
                const float* in = s + 2 * pre;
                const uint64_t n = 2 * vs;
                if (d && dSum) {
                    for (uint64_t k = 0; k < n; ++k) {
                        d[k] += in[k];
                        dSum[k] += in[k];
                    }
                } else {
                    float* one = d ? d : dSum;
                    for (uint64_t k = 0; k < n; ++k) one[k] += in[k];
                }
            } else if (halfShift == 0) {
                if (!_fft.rm_os(nrel, nvs, s + 2 * pre)) return false;  // excluded by the checks above
                if (d) _fft.export_add(nvs, d, 0);
                if (dSum) _fft.export_add(nvs, dSum, 0);
            } else {
                // The first half from the window that starts early, the
                // second from the one that starts late, both cut at the echo.
                const unsigned long half = nvs / 2, sh = static_cast<unsigned long>(halfShift);
                if (!_fft.rm_os(nrel, nvs, s + 2 * (pre - 2 * halfShift))) return false;
                if (d) _fft.export_add(half, d, sh);
                if (dSum) _fft.export_add(half, dSum, sh);
                if (!_fft.rm_os(nrel, nvs, s + 2 * (pre + 2 * halfShift))) return false;
                if (d) _fft.export_add(half, d + 2 * half, half - sh);
                if (dSum) _fft.export_add(half, dSum + 2 * half, half - sh);
            }
        }
        if (c == 0 && toSumSlot && cRep == 0 && cEco == 0 && cSlc == 0) ++m_iSumSlotReadouts;
        dCh[c] = d;
        dSumCh[c] = dSum;
    }

    const int plot = m_iQOM_ArrayPlot;

    // 10. Online combination weights: the strongest of the water reference,
    // the sum slot at the k-space centre and at the readout's own point.
    if (!isReference && nfill > 1 && !inArrayPlotRange(plot, 1, 5) && m_qom_ref && m_qom_ref->IsValid()) {
        const RawStoreAddress raw(*m_raw);
        const float* refBase = reinterpret_cast<const float*>(m_qom_ref->data());
        const size_t refLin = 2 * m_qom_ref->strideElements(LIN), refCha = 2 * m_qom_ref->strideElements(CHA);
        auto waterRef = [&](long c) { return refBase + refLin + static_cast<size_t>(c) * refCha; };
        auto strength = [&](auto first) {
            double sum = 0.0;
            for (long c = 0; c < nfill; ++c) sum += magnitude(first(c));
            return sum;
        };
        double best = strength(waterRef);
        long bestEco = -1, bestRep = -1, bLin = 0, bPhs = 0, bSeg = 0;
        const bool grid = dims.isCsiGrid();
        for (long r = 0; r < dims.rep; ++r)
            for (long e = 0; e < dims.eco; ++e) {
                const long mLin = dims.lin / 2, mPhs = dims.phs / 2, mSeg = dims.seg / 2;
                const double centre =
                    strength([&](long c) { return raw.at(dims.ave - 1, mLin, mPhs, mSeg, e, c, 0, r); });
                if (centre > best) best = centre, bestEco = e, bestRep = r, bLin = mLin, bPhs = mPhs, bSeg = mSeg;
                if (grid) {
                    const double own =
                        strength([&](long c) { return raw.at(dims.ave - 1, cLin, cPhs, cSeg, e, c, 0, r); });
                    if (own > best) best = own, bestEco = e, bestRep = r, bLin = cLin, bPhs = cPhs, bSeg = cSeg;
                }
            }
        double sumSq = 0.0;
        for (long c = 0; c < nfill; ++c) {
            const float* ref = (bestEco == -1 && bestRep == -1)
                                   ? waterRef(c)
                                   : raw.at(dims.ave - 1, bLin, bPhs, bSeg, bestEco, c, 0, bestRep);
            const double w = magnitude(ref);
            _current_weight[c] = w;
            _current_pcor[2 * c] = w > 0.0 ? ref[0] / w : 1.0;
            _current_pcor[2 * c + 1] = w > 0.0 ? ref[1] / w : 0.0;
            sumSq += w * w;
        }
        // Without any signal there is nothing to normalise; keep the factor
        // finite.
        _lamda = sumSq > 0.0 ? 1.0 / std::sqrt(sumSq) : 0.0;
    }

    // 11. Timing tables of the readout's repetition.
    if (cRep < kDerovo2RepTableSize) {
        const double readoutSeconds = static_cast<double>(micros) / 1e6;
        if (cRep != _last_crep) {
            _firstTimeStampPerRep = readoutSeconds;
            time_span[cRep] = 0.0;
        } else {
            time_span[cRep] = readoutSeconds - _firstTimeStampPerRep;
        }
        _last_crep = cRep;
        dateStamp[cRep] = static_cast<float>((local.tm_mon + 1) * 100 + local.tm_mday +
                                             ((local.tm_year + 1900) % 1000 + 0.5) * 0.001);
        timeStamp[cRep] = static_cast<float>(seconds);
        time_ms_Stamp[cRep] = static_cast<float>(remainder / 1000);  // whole milliseconds
    } else {
        D2_NOTICE("insert") << "==>repetition " << cRep << " lies beyond the " << kDerovo2RepTableSize
                            << " entries of the repetition tables: not recorded";
    }

    const auto keepBookkeeping = [&] {
        m_iNo_samples_acquired = static_cast<long>(acq);
        m_iNo_samples_before_echo = static_cast<long>(pre);
        m_iRelevant_samples = static_cast<long>(relevant);
        m_iAdditional_right_samples = static_cast<long>(right);
        m_iOS_shift_samples = static_cast<long>(osShift);
        m_iShift_samples = static_cast<long>(literalShift);
    };

    // 12. References are not shown or counted.
    if (isReference) {
        keepBookkeeping();
        return true;
    }

    // 13. Display buffers. Only the display hand-off below reads them, so
    // they are not prepared for a readout that is not shown.
    const long nv = static_cast<long>(vs);
    const long m = 2 * nv;
    const bool shown = !(cEco != 0 && inArrayPlotRange(plot, 1, 10));
    if (shown) {
        if (nfill == 1) {
            std::memcpy(_current_ondisp, dCh[0], sizeof(float) * static_cast<size_t>(m));
            std::memcpy(_current_ondisp_sum, dSumCh[0] ? dSumCh[0] : dCh[0], sizeof(float) * static_cast<size_t>(m));
        } else {
            std::fill(_current_ondisp, _current_ondisp + m, 0.0f);
            std::fill(_current_ondisp_sum, _current_ondisp_sum + m, 0.0f);
            if (inArrayPlotRange(plot, 1, 5) && dSumCh[0]) {
                // Sum of the channels' magnitude spectra.
                for (long c = 0; c < nfill; ++c) {
                    if (!dSumCh[c]) continue;
                    std::memcpy(_current_ondisp, dSumCh[c], sizeof(float) * static_cast<size_t>(m));
                    _fft.fft(nvs, -1.0, _current_ondisp, 1, 0, _current_ondisp, 1, 1, 0, 0.0);
                    for (long i = 0; i < nv; ++i)
                        _current_ondisp_sum[i] += static_cast<float>(magnitude(_current_ondisp + 2 * i));
                }
            } else {
                // Weighted, phase-corrected sum of the channels.
                for (long c = 0; c < nfill; ++c) {
                    const double w = _current_weight[c], pr = _current_pcor[2 * c], pi = _current_pcor[2 * c + 1];
                    const double ar = w * pr, ai = -w * pi;  // w x conj(pcor)
                    const float* x = dCh[c];
                    for (long i = 0; i < nv; ++i) {
                        const double xr = x[2 * i], xi = x[2 * i + 1];
                        _current_ondisp[2 * i] += static_cast<float>(ar * xr - ai * xi);
                        _current_ondisp[2 * i + 1] += static_cast<float>(ar * xi + ai * xr);
                    }
                    if (!dSumCh[0] || !dSumCh[c]) continue;
                    const float* y = dSumCh[c];
                    for (long i = 0; i < nv; ++i) {
                        const double yr = y[2 * i], yi = y[2 * i + 1];
                        _current_ondisp_sum[2 * i] += static_cast<float>(ar * yr - ai * yi);
                        _current_ondisp_sum[2 * i + 1] += static_cast<float>(ar * yi + ai * yr);
                    }
                }
                if (!dSumCh[0])
                    std::memcpy(_current_ondisp_sum, _current_ondisp, sizeof(float) * static_cast<size_t>(m));
            }
        }
    }
    if (dims.isCsiGrid()) _qom_plot_max = _qom_plot_max2 = _qom_plot_max3 = kLowestFloat;

    // 14. Display hand-off.
    const long nAve = dims.ave, nEco = dims.eco, nRep = dims.rep;
    const bool arrayFits = (cRep + 1) * nv <= kOnDispArrayFloats;
    if (cEco == 0 && inArrayPlotRange(plot, 1, 10) && !arrayFits) {
        D2_NOTICE("insert") << "==>repetition " << cRep << " lies beyond the online display array: not shown";
    } else if (cEco == 0 && inArrayPlotRange(plot, 1, 5)) {
        float* row = _current_ondisp_array + cRep * nv;
        const float n = static_cast<float>(cSet + 1);
        for (long i = 0; i < nv; ++i) row[i] = _current_ondisp_sum[i] / n;
        feed_online_display_trace(_current_ondisp_array, nv, plot, cSet, nAve, cRep, nRep);
    } else if (cEco == 0 && inArrayPlotRange(plot, 6, 10)) {
        const float n = static_cast<float>(cSet + 1);
        for (long i = 0; i < nv; ++i) {
            _current_ondisp_sum[2 * i] /= n;
            _current_ondisp_sum[2 * i + 1] /= -n;
        }
        _fft.fft(nvs, -1.0, _current_ondisp_sum, 1, 0, _current_ondisp_sum, 1, 1, 0, 0.0);
        float* row = _current_ondisp_array + cRep * nv;
        for (long i = 0; i < nv; ++i) row[i] = static_cast<float>(magnitude(_current_ondisp_sum + 2 * i));
        feed_online_display_calib(_current_ondisp_array, nv, plot, cSet, nAve, cRep, nRep);
    } else if (!inArrayPlotRange(plot, 1, 10)) {
        feed_online_display(_current_ondisp_sum, _current_ondisp, &_qom_plot_max, &_qom_plot_max2, &_qom_plot_max3,
                            nv, cSet, nAve, cEco, nEco, cRep, nRep,
                            static_cast<long>(static_cast<float>(nv) * _left_online_border),
                            static_cast<long>(static_cast<float>(nv) * _right_online_border));
    }

    // 15. Counting: one count per readout of a phase-encoding point, taken
    // from the first repetition, echo and slice only, so that the averages
    // per point do not grow with repetitions, editing steps or slices.
    if (cRep == 0 && cEco == 0 && cSlc == 0) {
        const long point = (cSeg * dims.phs + cPhs) * dims.lin + cLin;
        if (point < kDerovo2CsiAveragesSize) csiAverages[point] += 1.0f;
    }
    if (cRep < kDerovo2RepTableSize) goc_per_rep[cRep] += 1.0f;
    global_online_counter += 1;

    // 16.
    keepBookkeeping();
    return true;
}

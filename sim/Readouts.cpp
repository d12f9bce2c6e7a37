#include "Readouts.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace duvsim {

ReadoutStream::ReadoutStream(const std::string& path, int32_t slices, const Sampling& sampling, int channels,
                             long trMicroseconds)
    : writer_(path, slices), sampling_(sampling), channels_(channels) {
    // 2.5 ms ticks; at least one, so that readouts never share a time stamp.
    step_ = uint32_t(std::max(1L, std::lround(double(trMicroseconds) / 2500.0)));
}

void ReadoutStream::add(const ReadoutCounters& c, const DuvSoda& soda, const Frame& frame,
                        std::vector<float> samples) {
    duvfiles::ReadoutRecord rec;
    sScanHeader& h = rec.header;
    std::memset(&h, 0, sizeof h);
    const uint32_t samplesInScan = uint32_t(sampling_.acquired());
    // DMA length: header plus the samples of every channel.
    h.ulFlagsAndDMALength = uint32_t(sizeof(sScanHeader) + 8u * samplesInScan * uint32_t(channels_)) & 0x01FFFFFFu;
    h.lMeasUID = 4711;
    h.ulScanCounter = ++scanCounter_;
    h.ulTimeStamp = ticks_;
    h.ulPMUTimeStamp = ticks_;
    h.ushSystemType = 1;
    h.aulEvalInfoMask[0] = uint32_t(c.evalMask & 0xFFFFFFFFu);
    h.aulEvalInfoMask[1] = uint32_t(c.evalMask >> 32);
    h.ushSamplesInScan = uint16_t(samplesInScan);
    h.ushUsedChannels = uint16_t(channels_);
    h.sLC.ushLine = c.line;
    h.sLC.ushPhase = c.phase;
    h.sLC.ushSeg = c.seg;
    h.sLC.ushPartition = c.seg;
    h.sLC.ushSet = c.set;
    h.sLC.ushEcho = c.echo;
    h.sLC.ushSlice = c.slice;
    h.sLC.ushRepetition = c.repetition;
    h.sCutOff.ushPre = uint16_t(sampling_.pre);
    h.sCutOff.ushPost = uint16_t(sampling_.post);
    h.ushKSpaceCentreColumn = uint16_t(sampling_.pre);
    const sVec& p = soda.getSlicePosVec();
    h.sSliceData.flSag = float(p.x);
    h.sSliceData.flCor = float(p.y);
    h.sSliceData.flTra = float(p.z);
    const auto q = frameQuaternion(frame);
    for (int i = 0; i < 4; ++i) h.sSliceData.aflQuaternion[i] = q[size_t(i)];
    h.aushDuvProgramPara[4] = uint16_t(sampling_.pre);
    h.aushDuvProgramPara[5] = c.refScanFlag;
    rec.soda = soda;
    rec.samples = std::move(samples);
    writer_.add(rec);
    ticks_ += step_;
}

}  // namespace duvsim

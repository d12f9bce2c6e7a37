#include "OutputEstimate.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace duvoffline {

namespace {

// A protocol number as the host's conversion gives it to an int property, or
// `fallback` when the node is missing or no number (the property fill reports
// that itself once the run composes its pipeline).
long number(const XProtocol& p, const char* path, long fallback) {
    const ReadonlyXNode n = p.At(path, false);
    if (!n.IsOk() || !n.IsLeaf() || n.IsType(ReadonlyXNode::String)) return fallback;
    try {
        return n.ToLong();
    } catch (const ReadonlyXNode::Exception&) {
        return fallback;
    }
}

uint64_t atLeast1(long v) { return v < 1 ? 1 : uint64_t(v); }

uint64_t times(uint64_t a, uint64_t b) {
    if (a != 0 && b > std::numeric_limits<uint64_t>::max() / a) return std::numeric_limits<uint64_t>::max();
    return a * b;
}

struct Factor {
    uint64_t value;
    std::string text;  // where it comes from, for the refusal
};

Factor factor(uint64_t value, const char* path, long protocolValue, const char* what) {
    return {value, std::string("protocol: ") + path + " = " + std::to_string(protocolValue) + " (" + what + ")"};
}

// Entries of the module's per-repetition tables: it sends no repetition beyond.
constexpr long kRepetitionTable = 512;
// The module sends at most 99 uncombined channels besides the combined one.
constexpr long kUncombinedChannels = 99;

}  // namespace

SpectraEstimate estimateDerovo2Spectra(const XProtocol& p, uint64_t readouts, int32_t slices, bool dataSetsToo) {
    // Processing mode and store lengths as the first call decides them.
    const long baseResolution = number(p, "MEAS.sKSpace.lBaseResolution", 1);
    const long lines = number(p, "MEAS.sKSpace.lPhaseEncodingLines", 1);
    const bool encoded3D = number(p, "MEAS.sKSpace.ucDimension", 2) == 4;
    const long partitions = number(p, "MEAS.sKSpace.lPartitions", 1);
    const bool csi = baseResolution > 1 || lines > 1 || (encoded3D && partitions > 1);
    const long finalRead = number(p, "MEAS.sSpecPara.lFinalMatrixSizeRead", 1);
    const long finalPhase = number(p, "MEAS.sSpecPara.lFinalMatrixSizePhase", 1);
    const long finalSlice = number(p, "MEAS.sSpecPara.lFinalMatrixSizeSlice", 1);
    // A grid is sent per slice in 2D, as one block in 3D; a single voxel once.
    const bool grid = csi && (finalRead > 1 || finalPhase > 1 || (encoded3D && finalSlice > 1));
    const bool perSlice = grid && !(encoded3D && finalSlice > 1);

    std::vector<Factor> factors;

    // Channel kinds: the combined spectra, and with uncombined images on each
    // receiver channel as well.
    const long channels = number(p, "YAPS.iMaxNoOfRxChannels", 1);
    const bool prescan = number(p, "MEAS.sPreScanNormalizeFilter.ucOn", 0) != 0;
    const long storeChannels = channels > 1 || prescan ? channels + 1 : 1;
    if (storeChannels > 2 && number(p, "MEAS.ucUncombImages", 0) != 0)
        factors.push_back(factor(1 + uint64_t(std::min(storeChannels - 1, kUncombinedChannels)),
                                 "YAPS.iMaxNoOfRxChannels", channels, "channels sent one by one"));

    // Repetitions: the loop ends at the first without data, so there are no
    // more than readouts.
    const long repetitions = number(p, "YAPS.alDUVProgramPara.10", 0);
    factors.push_back(factor(std::min<uint64_t>({atLeast1(repetitions), kRepetitionTable, readouts}),
                             "YAPS.alDUVProgramPara.10", repetitions, "repetitions"));

    // Edit steps: every one is sent, with data or without.
    const long editSteps = number(p, "YAPS.alDUVProgramPara.12", 0);
    factors.push_back(factor(atLeast1(editSteps), "YAPS.alDUVProgramPara.12", editSteps, "edit steps"));

    // Averages: single-voxel runs send each one when asked to (and with 2
    // also the sum); the store keeps one slot more than there are averages,
    // plus four per reference scan.
    const long resolve = csi ? 0 : number(p, "YAPS.alDUVProgramPara.11", 0);
    if (resolve != 0) {
        const long averages = number(p, "MEAS.lAverages", 1);
        long slots = averages + 1;
        if (number(p, "MEAS.sSpecPara.lAutoRefScanMode", 0) > 1)
            slots += 4 * number(p, "MEAS.sSpecPara.lAutoRefScanNo", 0);
        factors.push_back(factor(atLeast1(resolve == 2 ? slots : slots - 1), "MEAS.lAverages", averages,
                                 resolve == 2 ? "averages sent one by one and summed" : "averages sent one by one"));
    }

    if (perSlice)
        factors.push_back({atLeast1(slices), "readouts.bin: " + std::to_string(slices) + " slices (a 2D grid each)"});

    // The samples of one data set: its voxels times the spectral points, a
    // complex float each.
    std::vector<Factor> sizes;
    if (grid) {
        sizes.push_back(factor(atLeast1(finalRead), "MEAS.sSpecPara.lFinalMatrixSizeRead", finalRead, "voxels"));
        sizes.push_back(factor(atLeast1(finalPhase), "MEAS.sSpecPara.lFinalMatrixSizePhase", finalPhase, "voxels"));
        if (!perSlice)
            sizes.push_back(factor(atLeast1(finalSlice), "MEAS.sSpecPara.lFinalMatrixSizeSlice", finalSlice, "voxels"));
    }
    const long vectorSize = number(p, "MEAS.sSpecPara.lVectorSize", 1);
    const ReadonlyXNode os = p.At("YAPS.flReadoutOSFactor", false);
    const double oversampling = os.IsOk() && os.IsLeaf() && !os.IsType(ReadonlyXNode::String) ? os.ToDouble() : 1.0;
    const double points = number(p, "MEAS.sSpecPara.ucRemoveOversampling", 0) != 0
                              ? double(vectorSize)
                              : std::floor(double(vectorSize) * oversampling + 0.5);
    sizes.push_back(factor(points >= 1.0 && points < 1e18 ? uint64_t(points) : 1, "MEAS.sSpecPara.lVectorSize",
                           vectorSize, "spectral points"));

    SpectraEstimate e;
    e.dataSets = readouts == 0 ? 0 : 1;  // without readouts no first call, nothing to send
    uint64_t most = 1;
    for (const Factor& f : factors) {
        e.dataSets = times(e.dataSets, f.value);
        if (f.value > most) most = f.value, e.largest = f.text;
    }
    e.largestOfBytes = e.largest;
    e.bytes = times(e.dataSets, dataSetsToo ? 16 : 8);
    for (const Factor& f : sizes) {
        e.bytes = times(e.bytes, f.value);
        if (f.value > most) most = f.value, e.largestOfBytes = f.text;
    }
    // Each data set: a NIfTI-MRS file and its header as JSON; --data-sets twice that.
    e.files = times(e.dataSets, dataSetsToo ? 4 : 2);
    return e;
}

std::string spectraOutputRefusal(const SpectraEstimate& e, uint64_t readouts, uint64_t readoutBytes, long maxFiles,
                                 long long maxBytes) {
    const auto start = [](const std::string& largest) {
        return largest.empty() ? std::string("the measurement") : largest;
    };
    const uint64_t fileCap =
        maxFiles >= 0 ? uint64_t(maxFiles) : times(kSpectraOutputRatio, std::max<uint64_t>(readouts, 1));
    if (e.files > fileCap) {
        const std::string line = start(e.largest) + " makes " + std::to_string(e.files) + " spectra files from " +
                                 std::to_string(readouts) + " readout" + (readouts == 1 ? "" : "s");
        if (maxFiles >= 0) return line + ", more than --max-files " + std::to_string(maxFiles);
        return line + ", more than " + std::to_string(kSpectraOutputRatio) +
               " per readout; --max-files N lets a run write up to N";
    }
    const uint64_t byteCap =
        maxBytes >= 0 ? uint64_t(maxBytes) : times(kSpectraOutputRatio, std::max<uint64_t>(readoutBytes, 1));
    if (e.bytes > byteCap) {
        const std::string line = start(e.largestOfBytes) + " makes " + std::to_string(e.bytes) +
                                 " bytes of spectra from " + std::to_string(readoutBytes) + " bytes of readouts.bin";
        if (maxBytes >= 0) return line + ", more than --max-bytes " + std::to_string(maxBytes);
        return line + ", more than " + std::to_string(kSpectraOutputRatio) +
               " times as many; --max-bytes N lets a run write up to N";
    }
    return {};
}

}  // namespace duvoffline

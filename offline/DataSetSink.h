// Stores the spectroscopy data sets a stage sends: one NIfTI-MRS file per data
// set plus its complete header as JSON.
#pragma once

#include <array>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "duvhost/Headers.h"
#include "duvhost/XProtocol.h"
#include "MrsMetadata.h"
#include "NiftiMrs.h"

namespace duvoffline {

class SpectraSink {
public:
    // How the samples go into the files: conjugated, so that they rotate
    // counter-clockwise above the reference as NIfTI-MRS wants, or exactly
    // as the module sent them (clockwise; `duv run --data-sets`).
    enum class Samples { Standard, AsSent };

    SpectraSink(std::string directory, const XProtocol& protocol, Samples samples = Samples::Standard);

    // Writes the data set; returns I_OK or I_FAIL (with the reason in lastError()).
    DuvStatus receive(DuvAs& data, MiniHeader& header);

    long count() const;
    std::vector<std::string> files() const;
    std::string lastError() const;
    // What the protocol gave that the files cannot carry as it is, one
    // sentence each (also traced as warnings).
    const std::vector<std::string>& warnings() const { return facts_.warnings; }
    // Data sets per series: SequenceDescription + ImageComment.
    std::map<std::string, long> seriesCounts() const;

    // The volume for a data set (exposed for tests): grid, dwell, affine, JSON.
    niftimrs::Volume toVolume(DuvAs& data, const MiniHeader& header) const;

private:
    std::string dir_;
    MrsProtocolFacts facts_;
    Samples samples_;
    mutable std::mutex mutex_;
    long count_ = 0;
    std::vector<std::string> files_;
    std::map<std::string, long> series_;
    std::string lastError_;
};

// The header as a JSON object text (every field with its value).
std::string headerToJson(const MiniHeader& header);

}  // namespace duvoffline

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
#include "NiftiMrs.h"

namespace duvoffline {

// World coordinates of the files we write: the device frame seen as RAS of a
// head-first supine patient, (-X, Y, -Z) of the device vector. For "HFS" this
// is the patient's RAS (-sag, -cor, tra).
std::array<double, 3> patientToWorld(const std::string& patientPosition, double sag, double cor, double tra);

class SpectraSink {
public:
    SpectraSink(std::string directory, const XProtocol& protocol);

    // Writes the data set; returns I_OK or I_FAIL (with the reason in lastError()).
    unsigned long receive(DuvAs& data, MiniHeader& header);

    long count() const;
    std::vector<std::string> files() const;
    std::string lastError() const;
    // Data sets per series: SequenceDescription + ImageComment.
    std::map<std::string, long> seriesCounts() const;

    // The volume for a data set (exposed for tests): grid, dwell, affine, JSON.
    niftimrs::Volume toVolume(DuvAs& data, const MiniHeader& header) const;

private:
    std::string dir_;
    std::string patientPosition_, nucleus_, protocolName_;
    double frequencyMHz_ = 0.0;
    bool positionKnown_ = true;  // the protocol's patient position is one the host knows
    mutable std::mutex mutex_;
    long count_ = 0;
    std::vector<std::string> files_;
    std::map<std::string, long> series_;
    std::string lastError_;
};

// The header as a JSON object text (every field with its value).
std::string headerToJson(const MiniHeader& header);

}  // namespace duvoffline

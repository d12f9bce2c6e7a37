// The host's own stages (source, image finishing, sink) and the two
// ready-made environments.
#include "duvhost/HostStages.h"

#include <string>
#include <utility>

namespace {

using ScanSignature = DuvStatus(DuvAs&, MdhProxy&, ScanControl&);
using ImageSignature = DuvStatus(DuvAs&, MrPtr<MiniHeader>&, ImageControl&);

}  // namespace

// ---------------------------------------------------------------------------
// Type records
// ---------------------------------------------------------------------------
const Rudu::Type* DuvRootFunctor::TypeOf() {
    static const Rudu::Type type("DuvRootFunctor", {IFunctor::TypeOf()}, {},
                                 {Rudu::MakeEvent("ScanReady", &DuvRootFunctor::ScanReady),
                                  Rudu::MakeEvent("ImageReady", &DuvRootFunctor::ImageReady)},
                                 {});
    return &type;
}

const Rudu::Type* DuvImaFinishFunctor::TypeOf() {
    static const Rudu::Type type("DuvImaFinishFunctor", {IFunctor::TypeOf()},
                                 {Rudu::MakeMethod("ComputeImage", &DuvImaFinishFunctor::ComputeImage)},
                                 {Rudu::MakeEvent("ImageReady", &DuvImaFinishFunctor::ImageReady)}, {});
    return &type;
}

const Rudu::Type* DuvSinkFunctor::TypeOf() {
    static const Rudu::Type type("DuvSinkFunctor", {IFunctor::TypeOf()},
                                 {Rudu::MakeMethod("ComputeScan", &DuvSinkFunctor::ComputeScan),
                                  Rudu::MakeMethod("ComputeImage", &DuvSinkFunctor::ComputeImage)},
                                 {}, {});
    return &type;
}

// ---------------------------------------------------------------------------
// Stages
// ---------------------------------------------------------------------------
DuvStatus DuvImaFinishFunctor::ComputeImage(DuvAs& as, MrPtr<MiniHeader>& header, ImageControl& ctrl) {
    return ImageReady(as, header, ctrl);
}

DuvStatus DuvSinkFunctor::ComputeScan(DuvAs& as, MdhProxy& mdh, ScanControl&) {
    ++scans_;
    if (onScan) onScan(as, mdh);
    return I_OK;
}

DuvStatus DuvSinkFunctor::ComputeImage(DuvAs& as, MrPtr<MiniHeader>& header, ImageControl& ctrl) {
    ++images_;
    if (onImage) onImage(as, header, ctrl);
    return I_OK;
}

// ---------------------------------------------------------------------------
// DuvEnvironment
// ---------------------------------------------------------------------------
DuvEnvironment::DuvEnvironment(Receiver receiver) : receiver_(std::move(receiver)) {}

DuvStatus DuvEnvironment::Receive(DuvAs& data, MrPtr<MiniHeader>& header, ImageControl& control) {
    // Stages of several pipe services may send at the same time; the
    // receiver (a file writer, a display) sees one data set at a time.
    std::lock_guard<std::mutex> guard(mutex_);
    if (!receiver_) return I_OK;  // nobody listens: the data set is dropped
    return receiver_(data, header, control);
}

DuvStatus DuvEnvironment::SeriesInstanceUID(IFunctor*, const std::string&, std::string& out) {
    std::lock_guard<std::mutex> guard(uidMutex_);
    out = "2.25." + std::to_string(++uidCounter_);
    return I_OK;
}

void DuvEnvironment::setReceiver(Receiver r) {
    std::lock_guard<std::mutex> guard(mutex_);
    receiver_ = std::move(r);
}

// ---------------------------------------------------------------------------
// RecordingEnvironment
// ---------------------------------------------------------------------------
DuvStatus RecordingEnvironment::Receive(DuvAs& data, MrPtr<MiniHeader>& header, ImageControl& control) {
    Sent s;
    s.dims = data.dims();
    s.format = data.getDuvObjFormat();
    s.data.resize(data.elementCount() * DuvFormatBytes(s.format));
    if (!s.data.empty() && data.gather(s.data.data(), s.data.size()) != s.data.size()) s.data.clear();
    if (header) s.header = header->deepCopy();
    s.control = control;
    if (const DuvSoda* soda = data.calcCurrentSodaPtr()) s.soda = *soda;
    sent.push_back(std::move(s));
    return receiveStatus;
}

DuvStatus RecordingEnvironment::SeriesInstanceUID(IFunctor*, const std::string&, std::string& out) {
    if (!DuvIsFailure(uidStatus)) out = uid;
    return uidStatus;
}

// Stages that the host itself puts into a pipeline: the readout or image
// source "root", the image-finishing stage "imafinish", and sinks that count
// what reaches the end of the pipeline. Also a ready-made environment.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "duvhost/Functors.h"
#include "duvhost/Pipeline.h"

// Source of a job. Events "ScanReady" and "ImageReady"; the pipeline raises
// them (DuvPipeline::RaiseScan/RaiseImage).
class DuvRootFunctor : public DuvFunctorBase {
public:
    static const Rudu::Type* TypeOf();
    const Rudu::Type* GetType() const override { return TypeOf(); }

    MulticastDelegate_3<DuvStatus, DuvAs&, MdhProxy&, ScanControl&> ScanReady;
    MulticastDelegate_3<DuvStatus, DuvAs&, MrPtr<MiniHeader>&, ImageControl&> ImageReady;
};

// Passes every image on unchanged: method "ComputeImage", event "ImageReady".
class DuvImaFinishFunctor : public DuvFunctorBase {
public:
    static const Rudu::Type* TypeOf();
    const Rudu::Type* GetType() const override { return TypeOf(); }
    DuvStatus ComputeImage(DuvAs& as, MrPtr<MiniHeader>& header, ImageControl& ctrl);

    MulticastDelegate_3<DuvStatus, DuvAs&, MrPtr<MiniHeader>&, ImageControl&> ImageReady;
};

// End of the pipeline: methods "ComputeScan" and "ComputeImage" count what
// arrives and hand it to an optional observer.
class DuvSinkFunctor : public DuvFunctorBase {
public:
    static const Rudu::Type* TypeOf();
    const Rudu::Type* GetType() const override { return TypeOf(); }
    DuvStatus ComputeScan(DuvAs& as, MdhProxy& mdh, ScanControl& ctrl);
    DuvStatus ComputeImage(DuvAs& as, MrPtr<MiniHeader>& header, ImageControl& ctrl);

    long scans() const { return scans_.load(); }
    long images() const { return images_.load(); }
    std::function<void(DuvAs&, MdhProxy&)> onScan;
    std::function<void(DuvAs&, MrPtr<MiniHeader>&, ImageControl&)> onImage;

private:
    std::atomic<long> scans_{0}, images_{0};
};

// An environment that hands each sent data set to a receiver function and
// makes series identifiers "2.25.<n>" (n counting up per request).
class DuvEnvironment : public IRuduEnvironment {
public:
    using Receiver = std::function<DuvStatus(DuvAs&, MrPtr<MiniHeader>&, ImageControl&)>;
    explicit DuvEnvironment(Receiver receiver = nullptr);
    DuvStatus Receive(DuvAs& data, MrPtr<MiniHeader>& header, ImageControl& control) override;
    DuvStatus SeriesInstanceUID(IFunctor* functor, const std::string& name, std::string& out) override;
    void setReceiver(Receiver r);

private:
    std::mutex mutex_;     // one data set at a time reaches the receiver
    std::mutex uidMutex_;  // separate, so that a receiver may ask for identifiers
    Receiver receiver_;
    long uidCounter_ = 0;
};

// Keeps a copy of everything it receives (tests).
class RecordingEnvironment : public IRuduEnvironment {
public:
    struct Sent {
        std::vector<DuvDimLength> dims;   // the view's dimensions and lengths
        DuvFormat_t format;
        std::vector<unsigned char> data;  // the view's elements, gathered in its order
        MrPtr<MiniHeader> header;         // deep copy
        ImageControl control;
        DuvSoda soda;
    };
    DuvStatus Receive(DuvAs& data, MrPtr<MiniHeader>& header, ImageControl& control) override;
    DuvStatus SeriesInstanceUID(IFunctor* functor, const std::string& name, std::string& out) override;

    std::vector<Sent> sent;
    DuvStatus receiveStatus = I_OK;  // what Receive returns
    DuvStatus uidStatus = I_OK;      // what SeriesInstanceUID returns
    std::string uid = "2.25.1";
};

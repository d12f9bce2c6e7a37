// Stage interfaces and the stage bases: the IFunctor type record, the
// common stage base, and the callback lists of scan and image stages.
#include "duvhost/Functors.h"

#include <string>
#include <vector>

namespace {

#define HOST_FUNCTOR_TRACE(level, function) \
    getStdStackTraceStream("DUV.host", level, 1, "DUV", "duvhost", "Functors", __LINE__, function, "DLL", false)

// The first-call check shared by both stage bases. The first data of a job
// runs firstCall; its failure is kept and returned for every later item, so
// a stage whose set-up failed never processes data of that job. A warning
// from the first call is passed on once and then forgotten.
template <class FirstCall>
DuvStatus runFirstCallCheck(bool& done, DuvStatus& status, FirstCall&& firstCall) {
    if (done) return DuvIsFailure(status) ? status : I_OK;
    done = true;
    status = I_FAIL;  // stays when FirstCall throws
    status = firstCall();
    return status;
}

}  // namespace

// ---------------------------------------------------------------------------
// IFunctor
// ---------------------------------------------------------------------------
const Rudu::Type* IFunctor::TypeOf() {
    static const Rudu::Type type = [] {
        auto property = [](const char* name, Rudu::ValueType t, auto getter) {
            Rudu::PropertyDescriptor d;
            d.name = name;
            d.type = t;
            d.get = [getter](const Rudu::Component& c) -> Rudu::PropertyValue {
                return Rudu::PropertyValue(getter(dynamic_cast<const IFunctor&>(c)));
            };
            return d;
        };
        std::vector<Rudu::PropertyDescriptor> properties;
        properties.push_back(property("Threading", Rudu::ValueType::Threading,
                                      [](const IFunctor& f) { return f.getThreading(); }));
        properties.push_back(
            property("_Execute", Rudu::ValueType::Bool, [](const IFunctor& f) { return f.get_Execute(); }));
        properties.push_back(property("_BypassEvents", Rudu::ValueType::StringVector,
                                      [](const IFunctor& f) { return f.get_BypassEvents(); }));
        properties.push_back(property("_BypassSinks", Rudu::ValueType::StringVector,
                                      [](const IFunctor& f) { return f.get_BypassSinks(); }));
        return Rudu::Type("IFunctor", {}, {}, {}, std::move(properties));
    }();
    return &type;
}

// ---------------------------------------------------------------------------
// DuvFunctorBase
// ---------------------------------------------------------------------------
DuvFunctorBase::DuvFunctorBase() = default;
DuvFunctorBase::~DuvFunctorBase() = default;

DuvStatus DuvFunctorBase::BeginInit(IRuduEnvironment* env) {
    env_ = env;
    return I_OK;
}

DuvStatus DuvFunctorBase::EndInit(IRuduEnvironment* env) {
    env_ = env;
    return I_OK;
}

DuvStatus DuvFunctorBase::endOfJob(DuvStatus) { return I_OK; }

DuvStatus DuvFunctorBase::SendNLS(const std::string& text) {
    HOST_FUNCTOR_TRACE(duvtrace::Notice, "SendNLS") << name_ << ": " << text;
    return I_OK;
}

DuvStatus DuvFunctorBase::SendNLS(const std::string& text, long value) {
    HOST_FUNCTOR_TRACE(duvtrace::Notice, "SendNLS") << name_ << ": " << text << " " << value;
    return I_OK;
}

DuvStatus DuvFunctorBase::SendNLS(const std::string& text, const std::string& value) {
    HOST_FUNCTOR_TRACE(duvtrace::Notice, "SendNLS") << name_ << ": " << text << " " << value;
    return I_OK;
}

// ---------------------------------------------------------------------------
// DuvScanFunctors
// ---------------------------------------------------------------------------
DuvScanFunctors::DuvScanFunctors() = default;
DuvScanFunctors::~DuvScanFunctors() = default;

DuvStatus DuvScanFunctors::BeginInit(IRuduEnvironment* env) {
    const DuvStatus status = DuvFunctorBase::BeginInit(env);
    firstCallDone_ = false;
    firstCallStatus_ = I_OK;
    return status;
}

DuvStatus DuvScanFunctors::FirstCall(DuvAs&, MdhProxy&, ScanControl&) { return I_OK; }
DuvStatus DuvScanFunctors::NextRep(DuvAs&, MdhProxy&, ScanControl&) { return I_OK; }
DuvStatus DuvScanFunctors::NextRepX(DuvAs&, MdhProxy&, ScanControl&) { return I_OK; }
DuvStatus DuvScanFunctors::FirstCallOnce(DuvAs&, MdhProxy&, ScanControl&) { return I_OK; }
DuvStatus DuvScanFunctors::NextRepOnce(DuvAs&, MdhProxy&, ScanControl&) { return I_OK; }
DuvStatus DuvScanFunctors::NextRepXOnce(DuvAs&, MdhProxy&, ScanControl&) { return I_OK; }

DuvStatus DuvScanFunctors::checkForFirstCall(DuvAs& as, MdhProxy& mdh, ScanControl& ctrl) {
    return runFirstCallCheck(firstCallDone_, firstCallStatus_, [&] { return FirstCall(as, mdh, ctrl); });
}

DuvStatus DuvScanFunctors::ExecuteCallbacks(DuvAs& as, MdhProxy& mdh, ScanControl& ctrl) {
    if (!callbacksOn_) return I_OK;
    for (Callback cb : callbacks_) {
        const DuvStatus status = (this->*cb)(as, mdh, ctrl);
        // A failure ends the scan; a warning or information status only
        // ends the callbacks, the scan itself is still processed.
        if (!DuvIsPlainSuccess(status)) return status;
    }
    return I_OK;
}

// ---------------------------------------------------------------------------
// DuvImageReconFunctors
// ---------------------------------------------------------------------------
DuvImageReconFunctors::DuvImageReconFunctors() = default;
DuvImageReconFunctors::~DuvImageReconFunctors() = default;

DuvStatus DuvImageReconFunctors::BeginInit(IRuduEnvironment* env) {
    const DuvStatus status = DuvFunctorBase::BeginInit(env);
    firstCallDone_ = false;
    firstCallStatus_ = I_OK;
    return status;
}

DuvStatus DuvImageReconFunctors::EndInit(IRuduEnvironment* env) {
    // Image stages may be initialised with EndInit alone; it starts a job too.
    const DuvStatus status = DuvFunctorBase::EndInit(env);
    firstCallDone_ = false;
    firstCallStatus_ = I_OK;
    return status;
}

DuvStatus DuvImageReconFunctors::FirstCall(DuvAs&, MrPtr<MiniHeader>&, ImageControl&) { return I_OK; }

void DuvImageReconFunctors::addCB(int kind) {
    if (kind != 0) {
        HOST_FUNCTOR_TRACE(duvtrace::Notice, "addCB") << "addCB: callback kind " << kind << " is not supported, ignored";
        return;
    }
    callbacks_.push_back(kind);
}

DuvStatus DuvImageReconFunctors::ExecuteCallbacks(DuvAs& as, MrPtr<MiniHeader>& header, ImageControl& ctrl) {
    for (int kind : callbacks_) {
        DuvStatus status = I_OK;
        if (kind == 0)
            status = runFirstCallCheck(firstCallDone_, firstCallStatus_, [&] { return FirstCall(as, header, ctrl); });
        if (!DuvIsPlainSuccess(status)) return status;
    }
    return I_OK;
}

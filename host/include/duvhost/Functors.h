// Stage interfaces and the stage bases that modules derive from.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "duvhost/Headers.h"
#include "duvhost/Rudu.h"

// Initialisation interface of every stage. Its type record publishes four
// read-only properties: "Threading", "_Execute", "_BypassEvents", "_BypassSinks".
class IFunctor {
public:
    virtual ~IFunctor() = default;
    virtual DuvStatus BeginInit(IRuduEnvironment* env) = 0;
    virtual DuvStatus EndInit(IRuduEnvironment* env) = 0;

    virtual Rudu::DefaultThreading getThreading() const { return Rudu::DefaultThreading::Default; }
    virtual bool get_Execute() const { return true; }
    virtual std::vector<std::string> get_BypassEvents() const { return {}; }
    virtual std::vector<std::string> get_BypassSinks() const { return {}; }

    static const Rudu::Type* TypeOf();
};

// End-of-job interface.
class IEnd {
public:
    virtual ~IEnd() = default;
    virtual DuvStatus endOfJob(DuvStatus status) = 0;
};

class DuvFunctorBase : public Rudu::Component, public IFunctor, public IEnd {
public:
    DuvFunctorBase();
    ~DuvFunctorBase() override;

    virtual void setName(const std::string& name) { name_ = name; }
    virtual std::string getName() const { return name_; }
    virtual void setInstanceId(long id) { instanceId_ = id; }
    virtual long getInstanceId() const { return instanceId_; }

    // Keep the environment for later sends.
    DuvStatus BeginInit(IRuduEnvironment* env) override;
    DuvStatus EndInit(IRuduEnvironment* env) override;
    DuvStatus endOfJob(DuvStatus status) override;

    // Serialises calls into this stage when a pipe service has several threads.
    virtual std::recursive_mutex& getDuvFunctorMutex() { return mutex_; }

    // National-language messages to the host user interface; this host only traces them.
    virtual DuvStatus SendNLS(const std::string& text);
    virtual DuvStatus SendNLS(const std::string& text, long value);
    virtual DuvStatus SendNLS(const std::string& text, const std::string& value);

    IRuduEnvironment* environment() const { return env_; }
    void setEnvironment(IRuduEnvironment* env) { env_ = env; }

protected:
    IRuduEnvironment* env_ = nullptr;

private:
    std::string name_;
    long instanceId_ = 0;
    std::recursive_mutex mutex_;
};

// Base of scan stages. Its callback list runs before every scan; the
// first-call check calls FirstCall with the first scan of a job (and, when
// that failed, keeps returning the failure for the rest of the job).
class DuvScanFunctors : public DuvFunctorBase {
public:
    using Callback = DuvStatus (DuvScanFunctors::*)(DuvAs&, MdhProxy&, ScanControl&);

    DuvScanFunctors();
    ~DuvScanFunctors() override;

    DuvStatus BeginInit(IRuduEnvironment* env) override;  // also re-arms the first-call check

    virtual DuvStatus FirstCall(DuvAs& as, MdhProxy& mdh, ScanControl& ctrl);
    virtual DuvStatus NextRep(DuvAs& as, MdhProxy& mdh, ScanControl& ctrl);
    virtual DuvStatus NextRepX(DuvAs& as, MdhProxy& mdh, ScanControl& ctrl);
    virtual DuvStatus FirstCallOnce(DuvAs& as, MdhProxy& mdh, ScanControl& ctrl);
    virtual DuvStatus NextRepOnce(DuvAs& as, MdhProxy& mdh, ScanControl& ctrl);
    virtual DuvStatus NextRepXOnce(DuvAs& as, MdhProxy& mdh, ScanControl& ctrl);
    virtual DuvStatus ComputeScan(DuvAs& as, MdhProxy& mdh, ScanControl& ctrl) = 0;

    DuvStatus checkForFirstCall(DuvAs& as, MdhProxy& mdh, ScanControl& ctrl);

    void addCallback(Callback cb) { callbacks_.push_back(cb); }
    void setCallbackExecution(bool on) { callbacksOn_ = on; }
    bool callbackExecution() const { return callbacksOn_; }

    // Runs the callbacks in order while execution is on. Returns I_OK when all
    // returned a plain success; the first failure (both bits 0xC0000000) at
    // once; a warning or information status stops the remaining callbacks and
    // is returned (the caller goes on with the scan).
    DuvStatus ExecuteCallbacks(DuvAs& as, MdhProxy& mdh, ScanControl& ctrl);

private:
    std::vector<Callback> callbacks_;
    bool callbacksOn_ = false;
    bool firstCallDone_ = false;
    DuvStatus firstCallStatus_ = I_OK;
};

// Base of image stages. addCB(0) registers the first-call check, which calls
// FirstCall with the first image of a job (sticky failure as above).
class DuvImageReconFunctors : public DuvFunctorBase {
public:
    DuvImageReconFunctors();
    ~DuvImageReconFunctors() override;

    DuvStatus BeginInit(IRuduEnvironment* env) override;
    DuvStatus EndInit(IRuduEnvironment* env) override;  // also re-arms the first-call check

    virtual DuvStatus FirstCall(DuvAs& as, MrPtr<MiniHeader>& header, ImageControl& ctrl);

    void addCB(int kind);  // kind 0: first-call check; other kinds are ignored
    DuvStatus ExecuteCallbacks(DuvAs& as, MrPtr<MiniHeader>& header, ImageControl& ctrl);

private:
    std::vector<int> callbacks_;
    bool firstCallDone_ = false;
    DuvStatus firstCallStatus_ = I_OK;
};

// The reconstruction pipeline: stages in pipe services, the toolbox that
// configurators use to compose it, module loading, and running a job.
//
// Stages live in pipe services. Each service runs its stages on its own
// worker thread(s) with a bounded queue. An event bound to a method of a
// stage in the same service is a direct call; one that crosses into another
// service is queued there (the data view, a copy of the scan header and the
// controls travel with it; the data object stays alive through the view).
// Calls into one stage never overlap. End of job follows the last item
// through the services in pipeline order.
#pragma once

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "duvhost/Functors.h"
#include "duvhost/Headers.h"
#include "duvhost/Rudu.h"
#include "duvhost/XProtocol.h"

class DuvPipeline;
namespace detail {
struct StageRecord;
struct ServiceRecord;
}  // namespace detail

namespace ProtocolComposer {

// A must-exist lookup that failed, a stage that cannot be created, a binding
// whose event or method is missing or has another signature.
class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class Toolbox;

// Implemented by configurators. The host calls Compose once per composition
// and releases the configurator with selfDestroy.
class IComposer {
public:
    virtual ~IComposer() = default;
    virtual DuvStatus Compose(Toolbox& toolbox) = 0;
    virtual DuvStatus compose(Toolbox& toolbox) { return Compose(toolbox); }
    virtual void selfDestroy();  // drops the host's reference
};

}  // namespace ProtocolComposer

// The component face of a configurator.
class MrIProtocolComposer : public Rudu::Component {};

// Handle on a stage of the pipeline (bad when there is none).
class MrFunctor {
public:
    MrFunctor() = default;
    bool IsBad() const { return !stage_; }
    const std::string& Name() const;
    const std::string& PipeServiceName() const;
    Rudu::Component* Component() const;

    // The stage's property `name` as a protocol node: FromBool/FromLong/
    // FromDouble/FromString set it, To... read it. Unknown properties give a
    // node whose From... throws "Node: <stage>: SetProperty - Parameter not
    // found <name>"; with mustExist the lookup itself throws that.
    XNode At(const std::string& name, bool mustExist = false) const;
    XNode operator[](const std::string& name) const { return At(name, true); }

private:
    friend class DuvPipeline;
    friend class MrPipeService;
    friend class ProtocolComposer::Toolbox;
    std::shared_ptr<detail::StageRecord> stage_;
};

class MrPipeService {
public:
    MrPipeService() = default;
    bool IsBad() const { return !service_; }
    const std::string& Name() const;

    // Creates a stage "Type@Library" in this service: loads libLibrary.so from
    // the module path, calls Library__CreateObject("Type") and fills every
    // property whose description is a protocol path. Errors (unknown library
    // or type, missing protocol node) throw ProtocolComposer::Error, or the
    // protocol tree's exception. The creation mode is accepted and not used.
    MrFunctor CreateFunctor(const std::string& instanceName, const std::string& typeAtLibrary, int mode = 2);

    // Creates a stage as above and binds predecessor's `event` to its
    // `method`. Handlers bound to that event before move behind the new stage:
    // they are bound to its event of the same name. With mustExist a missing
    // predecessor, event or method throws ProtocolComposer::Error; without
    // it a bad handle is returned.
    MrFunctor CreateConnectFunctor(const MrFunctor& predecessor, const std::string& event,
                                   const std::string& instanceName, const std::string& typeAtLibrary,
                                   const std::string& method, bool mustExist);

    void PoolThreads(int n);
    int PoolThreads() const;

private:
    friend class DuvPipeline;
    friend class ProtocolComposer::Toolbox;
    std::shared_ptr<detail::ServiceRecord> service_;
    DuvPipeline* pipeline_ = nullptr;
};

namespace ProtocolComposer {

class Toolbox {
public:
    explicit Toolbox(DuvPipeline& pipeline);

    DuvStatus Init(const std::string& programName);  // records the name; I_OK
    const std::string& ProgramName() const { return program_; }
    XProtocol& Protocol();

    // mustExist set: a missing one throws Error naming it; else a bad handle.
    MrFunctor FindFunctor(const std::string& name, bool mustExist);
    MrPipeService FindPipeService(const std::string& name, bool mustExist);

    // Puts `stage` directly behind `predecessor`: the handlers of the
    // predecessor's `predecessorEvent` move to the stage's `event`, and the
    // predecessor's event is bound to the stage's `method`. The stage moves
    // right behind the predecessor in the predecessor's service. Returns I_OK,
    // or I_FAIL (with an Error trace) when a name is missing and mustExist is
    // clear; throws Error when mustExist is set.
    DuvStatus InsertAfter(const std::string& stage, const std::string& method, const std::string& event,
                              const std::string& predecessor, const std::string& predecessorEvent,
                              bool mustExist);

    // Starts a new pipe service behind `stage`: the stages that follow it in
    // its service move into the new one, which is placed right after the old
    // one in pipeline order. Returns the new service (one pool thread).
    // Throws Error when the stage is missing or the name is taken.
    MrPipeService SplitAfter(const std::string& stage, const std::string& newServiceName, const char* unused);

private:
    DuvPipeline& pipeline_;
    std::string program_;
};

}  // namespace ProtocolComposer

// Finds and loads modules. A module "Name" is the file libName.so in one of
// the search directories; on first load its Name + "Module" function is
// called. Libraries stay loaded for the life of the process.
class ModuleLoader {
public:
    static ModuleLoader& instance();

    void setSearchPath(std::vector<std::string> directories);
    const std::vector<std::string>& searchPath() const;
    // Back to the state of a fresh process: the default search path and no
    // library known, so that the next create() searches the path again and
    // fails where a fresh process would. The libraries stay mapped, because
    // objects made from them may still be alive; tests call this so that
    // what an earlier test loaded decides nothing.
    void reset();

    // Creates "Type" of module "Library" through Library__CreateObject.
    // Throws ProtocolComposer::Error naming the library, the directories
    // searched and dlerror(), or the type.
    MrPtr<Rudu::Component> create(const std::string& library, const std::string& type);
    // The module's configurator through Library_createProtocolComposer(name, version).
    ProtocolComposer::IComposer* createComposer(const std::string& library, const std::string& name,
                                                double version = 1.0);

private:
    ModuleLoader() = default;
    void* open(const std::string& library);
    struct Impl;
    std::shared_ptr<Impl> impl_;
};

// Per-stage record of how its calls went.
struct StageStatus {
    std::string stage;
    std::string service;
    DuvStatus beginInit = I_OK;
    DuvStatus endInit = I_OK;
    DuvStatus endOfJob = I_OK;
    long calls = 0;             // input-method calls
    long failedCalls = 0;       // calls whose status was a failure
    DuvStatus firstFailure = I_OK;
    std::string firstFailureError;  // trace-free description: method name and status
};

// Owns a pipeline for one job. The offline host and the tests drive it:
// create host stages, compose with a configurator, Start, feed, EndOfJob.
class DuvPipeline {
public:
    DuvPipeline(XProtocol protocol, IRuduEnvironment* env);
    ~DuvPipeline();  // stops the workers
    DuvPipeline(const DuvPipeline&) = delete;
    DuvPipeline& operator=(const DuvPipeline&) = delete;

    XProtocol& protocol();
    IRuduEnvironment* environment() const;
    ProtocolComposer::Toolbox& toolbox();

    // New pipe service at the end of the pipeline order.
    MrPipeService AddPipeService(const std::string& name, int poolThreads = 1);
    // Adds an existing component (a host stage) as a stage of a service.
    MrFunctor AddStage(const MrPipeService& service, const std::string& instanceName,
                       MrPtr<Rudu::Component> component);
    // Binds source's event to target's method (throws ProtocolComposer::Error).
    void Connect(const MrFunctor& source, const std::string& event, const MrFunctor& target,
                 const std::string& method);

    // Runs a configurator's Compose with this pipeline's toolbox; exceptions
    // of the protocol tree and of the toolbox pass through.
    DuvStatus Compose(ProtocolComposer::IComposer& composer);

    // Stages and services in pipeline order.
    std::vector<MrFunctor> Stages() const;
    std::vector<MrPipeService> Services() const;
    std::vector<MrFunctor> StagesOf(const MrPipeService& service) const;

    // BeginInit then EndInit of every stage in pipeline order; stops at the
    // first failure and returns it.
    DuvStatus Init();
    // Starts the worker threads and materialises the bindings.
    void Start(size_t queueCapacity = 64);

    // Raises the source stage's event (an item enters the source's service queue).
    // Blocks while that queue is full. Returns I_OK once queued, or I_FAIL
    // when the pipeline was not started or the event is unknown.
    DuvStatus RaiseScan(const MrFunctor& source, const std::string& event, DuvAs& as, MdhProxy& mdh,
                            ScanControl& ctrl);
    DuvStatus RaiseImage(const MrFunctor& source, const std::string& event, DuvAs& as,
                             MrPtr<MiniHeader>& header, ImageControl& ctrl);

    // Waits for every queued item, then calls endOfJob(status) of every
    // stage, service by service in pipeline order, on that service's worker.
    // Returns the first failure among them, else I_OK. Stops the workers.
    DuvStatus EndOfJob(DuvStatus status);

    // Status records of every stage, in pipeline order.
    std::vector<StageStatus> Statuses() const;
    // First failing status of any input-method call so far (I_OK if none).
    DuvStatus FirstCallFailure() const;

private:
    friend class MrPipeService;
    friend class ProtocolComposer::Toolbox;
    friend class MrFunctor;
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

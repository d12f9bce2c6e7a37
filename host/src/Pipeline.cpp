// The reconstruction pipeline: stages in pipe services, the configurators'
// toolbox, and running a job on the services' worker threads.
//
// Composition only edits a binding table (source stage and event, target
// stage and method). Start turns every binding into a handler on the
// source's event: a direct, serialised call when both stages share a pipe
// service, otherwise a hand-over into the target service's bounded queue.
#include "duvhost/Pipeline.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>
#include <typeindex>
#include <utility>

#include "XNodeDetail.h"

#define HOST_PIPE_TRACE(level, function) \
    getStdStackTraceStream("DUV.host", level, 1, "DUV", "duvhost", "Pipeline", __LINE__, function, "DLL", false)

namespace {

using ScanHandler = std::function<DuvStatus(DuvAs&, MdhProxy&, ScanControl&)>;
using ImageHandler = std::function<DuvStatus(DuvAs&, MrPtr<MiniHeader>&, ImageControl&)>;

const std::type_index kScanSignature = typeid(DuvStatus(DuvAs&, MdhProxy&, ScanControl&));
const std::type_index kImageSignature = typeid(DuvStatus(DuvAs&, MrPtr<MiniHeader>&, ImageControl&));

constexpr int kMaxPoolThreads = 64;

std::string hexStatus(DuvStatus status) {
    std::ostringstream s;
    s << "0x" << std::hex << status;
    return s.str();
}

// Lookups through the type and its bases (depth first, in base order).
const Rudu::EventDescriptor* findEvent(const Rudu::Type* t, const std::string& name) {
    if (!t) return nullptr;
    for (const Rudu::EventDescriptor& e : t->Events())
        if (e.name == name) return &e;
    for (const Rudu::Type* b : t->Bases())
        if (const Rudu::EventDescriptor* e = findEvent(b, name)) return e;
    return nullptr;
}

const Rudu::MethodDescriptor* findMethod(const Rudu::Type* t, const std::string& name) {
    if (!t) return nullptr;
    for (const Rudu::MethodDescriptor& m : t->Methods())
        if (m.name == name) return &m;
    for (const Rudu::Type* b : t->Bases())
        if (const Rudu::MethodDescriptor* m = findMethod(b, name)) return m;
    return nullptr;
}

template <class F>
void forEachEvent(const Rudu::Type* t, F&& f) {
    if (!t) return;
    for (const Rudu::EventDescriptor& e : t->Events()) f(e);
    for (const Rudu::Type* b : t->Bases()) forEachEvent(b, f);
}

}  // namespace

namespace detail {

struct StageRecord {
    std::string name;
    MrPtr<Rudu::Component> component;
    std::string serviceName;
    ServiceRecord* service = nullptr;        // owned by the pipeline
    std::recursive_mutex ownMutex;           // for components that bring none
    std::recursive_mutex* mutex = &ownMutex; // serialises every call into the stage
    StageStatus status;                      // guarded by the pipeline's status mutex

    const Rudu::Type* type() const { return component ? component->GetType() : nullptr; }
};

struct ServiceRecord {
    std::string name;
    int poolThreads = 1;
    std::vector<std::shared_ptr<StageRecord>> stages;  // in pipeline order

    // The worker pool of a running job.
    std::mutex mutex;
    std::condition_variable notEmpty, notFull;
    std::deque<std::function<void()>> queue;
    size_t capacity = 64;
    bool accepting = false;
    bool stopping = false;
    std::vector<std::thread> workers;
};

}  // namespace detail

using detail::ServiceRecord;
using detail::StageRecord;

namespace {

struct Binding {
    std::shared_ptr<StageRecord> source;
    std::string event;
    std::shared_ptr<StageRecord> target;
    std::string method;
    std::type_index signature;
};

// Empty when source's event can feed target's method; otherwise why not.
std::string bindingProblem(const StageRecord& source, const std::string& event, const StageRecord& target,
                           const std::string& method) {
    const Rudu::EventDescriptor* e = findEvent(source.type(), event);
    if (!e) return "functor '" + source.name + "' has no event '" + event + "'";
    const Rudu::MethodDescriptor* m = findMethod(target.type(), method);
    if (!m) return "functor '" + target.name + "' has no method '" + method + "'";
    if (e->signature != m->signature)
        return "event '" + source.name + "." + event + "' and method '" + target.name + "." + method +
               "' have different signatures";
    if (e->signature != kScanSignature && e->signature != kImageSignature)
        return "event '" + source.name + "." + event + "' carries neither scans nor images";
    return {};
}

}  // namespace

// ---------------------------------------------------------------------------
// DuvPipeline::Impl
// ---------------------------------------------------------------------------
struct DuvPipeline::Impl {
    Impl(DuvPipeline& pipeline, XProtocol prot, IRuduEnvironment* e)
        : protocol(std::move(prot)), env(e), toolbox(pipeline) {}

    XProtocol protocol;
    IRuduEnvironment* env;
    ProtocolComposer::Toolbox toolbox;
    std::vector<std::shared_ptr<ServiceRecord>> services;  // pipeline order
    std::vector<Binding> bindings;

    bool running = false;
    bool jobEnded = false;
    DuvStatus endOfJobResult = I_OK;

    // What each source event feeds, materialised by Start (read-only while running).
    std::map<std::pair<const StageRecord*, std::string>, std::vector<ScanHandler>> scanFeeds;
    std::map<std::pair<const StageRecord*, std::string>, std::vector<ImageHandler>> imageFeeds;

    mutable std::mutex statusMutex;
    DuvStatus firstCallFailure = I_OK;

    // Items queued or being processed anywhere in the pipeline.
    std::mutex pendingMutex;
    std::condition_variable idle;
    long pending = 0;

    // --- composition --------------------------------------------------------
    std::shared_ptr<StageRecord> findStage(const std::string& name) const {
        for (const auto& s : services)
            for (const auto& st : s->stages)
                if (st->name == name) return st;
        return nullptr;
    }
    std::shared_ptr<ServiceRecord> findService(const std::string& name) const {
        for (const auto& s : services)
            if (s->name == name) return s;
        return nullptr;
    }
    bool owns(const ServiceRecord* service) const {
        for (const auto& s : services)
            if (s.get() == service) return true;
        return false;
    }
    void requireComposable(const char* operation) const {
        if (running)
            throw ProtocolComposer::Error(std::string(operation) + ": the pipeline is running; compose before Start");
    }

    std::shared_ptr<StageRecord> makeStage(const std::string& name, MrPtr<Rudu::Component> component) {
        if (name.empty()) throw ProtocolComposer::Error("a functor instance needs a name");
        if (!component) throw ProtocolComposer::Error("functor instance '" + name + "' has no component");
        if (findStage(name)) throw ProtocolComposer::Error("a functor instance named '" + name + "' already exists");
        auto st = std::make_shared<StageRecord>();
        st->name = name;
        st->component = std::move(component);
        if (auto* f = dynamic_cast<DuvFunctorBase*>(st->component.get())) {
            f->setName(name);
            st->mutex = &f->getDuvFunctorMutex();
        }
        return st;
    }

    // "Type@Library": load, create, name, fill from the protocol.
    std::shared_ptr<StageRecord> createStage(const std::string& name, const std::string& typeAtLibrary) {
        const size_t at = typeAtLibrary.find('@');
        if (at == std::string::npos || at == 0 || at + 1 == typeAtLibrary.size() ||
            typeAtLibrary.find('@', at + 1) != std::string::npos)
            throw ProtocolComposer::Error("functor instance '" + name + "': type '" + typeAtLibrary +
                                          "' is not of the form Type@Library");
        if (findStage(name)) throw ProtocolComposer::Error("a functor instance named '" + name + "' already exists");
        MrPtr<Rudu::Component> component =
            ModuleLoader::instance().create(typeAtLibrary.substr(at + 1), typeAtLibrary.substr(0, at));
        std::shared_ptr<StageRecord> st = makeStage(name, component);
        Rudu::FillPropertiesFromProtocol(*st->component, name, protocol);
        return st;
    }

    void place(const std::shared_ptr<StageRecord>& st, ServiceRecord& service, size_t index) {
        index = std::min(index, service.stages.size());
        service.stages.insert(service.stages.begin() + long(index), st);
        st->service = &service;
        st->serviceName = service.name;
    }
    void unplace(const std::shared_ptr<StageRecord>& st) {
        if (!st->service) return;
        auto& v = st->service->stages;
        v.erase(std::remove(v.begin(), v.end(), st), v.end());
        st->service = nullptr;
    }
    static size_t indexOf(const ServiceRecord& service, const StageRecord* st) {
        for (size_t i = 0; i < service.stages.size(); ++i)
            if (service.stages[i].get() == st) return i;
        return service.stages.size();
    }

    void addBinding(const std::shared_ptr<StageRecord>& source, const std::string& event,
                    const std::shared_ptr<StageRecord>& target, const std::string& method) {
        bindings.push_back({source, event, target, method, findEvent(source->type(), event)->signature});
    }

    // Checks that every handler of (from, fromEvent) except those of `skip`
    // could be carried by (to, toEvent); empty when they can.
    std::string moveProblem(const StageRecord& from, const std::string& fromEvent, const StageRecord& to,
                            const std::string& toEvent, const StageRecord* skip) const {
        for (const Binding& b : bindings) {
            if (b.source.get() != &from || b.event != fromEvent || b.target.get() == skip) continue;
            std::string p = bindingProblem(to, toEvent, *b.target, b.method);
            if (!p.empty()) return "cannot move the successors of '" + from.name + "." + fromEvent + "': " + p;
        }
        return {};
    }
    // Handlers of (from, fromEvent) move to (to, toEvent); those that
    // targeted `to` itself are dropped.
    void moveHandlers(const std::shared_ptr<StageRecord>& from, const std::string& fromEvent,
                      const std::shared_ptr<StageRecord>& to, const std::string& toEvent) {
        bindings.erase(std::remove_if(bindings.begin(), bindings.end(),
                                      [&](const Binding& b) {
                                          return b.source == from && b.event == fromEvent && b.target == to;
                                      }),
                       bindings.end());
        for (Binding& b : bindings)
            if (b.source == from && b.event == fromEvent) {
                b.source = to;
                b.event = toEvent;
            }
    }

    // --- running ------------------------------------------------------------
    void record(StageRecord& st, const std::string& method, DuvStatus status, const std::string& error) {
        std::lock_guard<std::mutex> g(statusMutex);
        ++st.status.calls;
        if (!DuvIsFailure(status)) return;
        ++st.status.failedCalls;
        if (!DuvIsFailure(st.status.firstFailure)) {
            st.status.firstFailure = status;
            st.status.firstFailureError = error.empty() ? method + " returned " + hexStatus(status) : error;
        }
        if (!DuvIsFailure(firstCallFailure)) firstCallFailure = status;
    }

    // Runs one call into a stage, serialised with every other call into it.
    // An exception never leaves: it becomes a failure of the stage.
    template <class F>
    DuvStatus guardedCall(StageRecord& st, const std::string& what, std::string& error, F&& f) {
        DuvStatus status = I_FAIL;
        {
            std::lock_guard<std::recursive_mutex> g(*st.mutex);
            try {
                status = f();
            } catch (const std::exception& e) {
                error = what + " threw: " + e.what();
            } catch (...) {
                error = what + " threw an unknown exception";
            }
        }
        if (!error.empty())
            HOST_PIPE_TRACE(duvtrace::Error, "DuvPipeline") << "functor '" << st.name << "': " << error
                                                             << " status = 0x" << std::hex << status;
        return status;
    }

    template <class F>
    DuvStatus callStage(StageRecord& st, const std::string& method, F&& f) {
        std::string error;
        const DuvStatus status = guardedCall(st, method, error, std::forward<F>(f));
        record(st, method, status, error);
        return status;
    }

    void itemDone() {
        std::lock_guard<std::mutex> g(pendingMutex);
        if (--pending == 0) idle.notify_all();
    }
    void waitIdle() {
        std::unique_lock<std::mutex> l(pendingMutex);
        idle.wait(l, [&] { return pending == 0; });
    }

    // Blocks while the service's queue is full. False when the service does
    // not run (the item is dropped).
    bool enqueue(ServiceRecord& service, std::function<void()> task, const std::string& what) {
        {
            std::lock_guard<std::mutex> g(pendingMutex);
            ++pending;
        }
        bool queued = false;
        {
            std::unique_lock<std::mutex> l(service.mutex);
            service.notFull.wait(
                l, [&] { return service.stopping || !service.accepting || service.queue.size() < service.capacity; });
            if (service.accepting && !service.stopping) {
                service.queue.push_back(std::move(task));
                queued = true;
            }
        }
        if (queued) {
            service.notEmpty.notify_one();
            return true;
        }
        itemDone();
        HOST_PIPE_TRACE(duvtrace::Error, "DuvPipeline")
            << "pipe service '" << service.name << "' does not run: " << what << " dropped";
        return false;
    }

    void workerLoop(ServiceRecord& service) {
        for (;;) {
            std::function<void()> task;
            {
                std::unique_lock<std::mutex> l(service.mutex);
                service.notEmpty.wait(l, [&] { return service.stopping || !service.queue.empty(); });
                if (service.stopping) return;
                task = std::move(service.queue.front());
                service.queue.pop_front();
            }
            service.notFull.notify_one();
            try {
                task();
            } catch (const std::exception& e) {
                HOST_PIPE_TRACE(duvtrace::Error, "DuvPipeline")
                    << "pipe service '" << service.name << "': item failed: " << e.what();
            } catch (...) {
                HOST_PIPE_TRACE(duvtrace::Error, "DuvPipeline")
                    << "pipe service '" << service.name << "': item failed with an unknown exception";
            }
            task = nullptr;  // the item's data are released before it counts as done
            itemDone();
        }
    }

    void stopWorkers() {
        for (auto& s : services) {
            {
                std::lock_guard<std::mutex> g(s->mutex);
                s->stopping = true;
                s->accepting = false;
            }
            s->notEmpty.notify_all();
            s->notFull.notify_all();
        }
        for (auto& s : services) {
            for (std::thread& t : s->workers)
                if (t.joinable()) t.join();
            s->workers.clear();
            std::lock_guard<std::mutex> g(s->mutex);
            s->queue.clear();
        }
        running = false;
    }

    void clearEvents() {
        for (auto& s : services)
            for (auto& st : s->stages)
                forEachEvent(st->type(), [&](const Rudu::EventDescriptor& e) {
                    if (e.clear) e.clear(*st->component);
                });
    }

    ScanHandler scanDispatch(StageRecord* target, const std::string& method, ScanHandler call, bool direct) {
        if (direct)
            return [this, target, method, call](DuvAs& as, MdhProxy& mdh, ScanControl& ctrl) {
                return callStage(*target, method, [&] { return call(as, mdh, ctrl); });
            };
        return [this, target, method, call](DuvAs& as, MdhProxy& mdh, ScanControl& ctrl) -> DuvStatus {
            // The item owns copies: the caller's header and controls may
            // change as soon as this returns; the view keeps the data alive.
            auto item = [this, target, method, call, a = DuvAs(as), m = MdhProxy(mdh), c = ctrl]() mutable {
                callStage(*target, method, [&] { return call(a, m, c); });
            };
            return enqueue(*target->service, std::move(item), "scan for '" + target->name + "." + method + "'")
                       ? I_OK
                       : I_FAIL;
        };
    }

    ImageHandler imageDispatch(StageRecord* target, const std::string& method, ImageHandler call, bool direct) {
        if (direct)
            return [this, target, method, call](DuvAs& as, MrPtr<MiniHeader>& header, ImageControl& ctrl) {
                return callStage(*target, method, [&] { return call(as, header, ctrl); });
            };
        return [this, target, method, call](DuvAs& as, MrPtr<MiniHeader>& header,
                                            ImageControl& ctrl) -> DuvStatus {
            auto item = [this, target, method, call, a = DuvAs(as), h = header, c = ctrl]() mutable {
                callStage(*target, method, [&] { return call(a, h, c); });
            };
            return enqueue(*target->service, std::move(item), "image for '" + target->name + "." + method + "'")
                       ? I_OK
                       : I_FAIL;
        };
    }

    void materialise() {
        clearEvents();
        scanFeeds.clear();
        imageFeeds.clear();
        for (const Binding& b : bindings) {
            const Rudu::EventDescriptor* e = findEvent(b.source->type(), b.event);
            const Rudu::MethodDescriptor* m = findMethod(b.target->type(), b.method);
            if (!e || !m || !owns(b.source->service) || !owns(b.target->service)) continue;  // checked when bound
            const bool direct = b.source->service == b.target->service;
            const std::any call = m->makeHandler(*b.target->component);
            bool bound = false;
            if (b.signature == kScanSignature) {
                ScanHandler h = scanDispatch(b.target.get(), b.method, std::any_cast<ScanHandler>(call), direct);
                bound = e->bind(*b.source->component, std::any(h));
                scanFeeds[{b.source.get(), b.event}].push_back(std::move(h));
            } else {
                ImageHandler h = imageDispatch(b.target.get(), b.method, std::any_cast<ImageHandler>(call), direct);
                bound = e->bind(*b.source->component, std::any(h));
                imageFeeds[{b.source.get(), b.event}].push_back(std::move(h));
            }
            if (!bound)
                HOST_PIPE_TRACE(duvtrace::Error, "DuvPipeline::Start")
                    << "event '" << b.source->name << "." << b.event << "' refused its handler for '"
                    << b.target->name << "." << b.method << "'";
        }
    }

    template <class Feeds>
    const typename Feeds::mapped_type* feedsOf(const Feeds& feeds, const StageRecord* source,
                                               const std::string& event) const {
        auto it = feeds.find({source, event});
        return it == feeds.end() ? nullptr : &it->second;
    }

    // Checks for Raise*: the pipeline runs and owns the source, which has
    // the event with the expected signature.
    bool canRaise(const MrFunctor& source, const std::string& event, std::type_index signature,
                  const StageRecord* st) const {
        const char* reason = nullptr;
        if (!running)
            reason = "the pipeline has not been started";
        else if (!st || !owns(st->service))
            reason = "the source is no functor of this pipeline";
        else {
            const Rudu::EventDescriptor* e = findEvent(st->type(), event);
            if (!e)
                reason = "the source has no such event";
            else if (e->signature != signature)
                reason = "the event carries other data";
        }
        if (!reason) return true;
        HOST_PIPE_TRACE(duvtrace::Error, "DuvPipeline::Raise")
            << "cannot raise '" << (st ? source.Name() : std::string("?")) << "." << event << "': " << reason
            << " status = 0x" << std::hex << I_FAIL;
        return false;
    }

    DuvStatus endStage(StageRecord& st, DuvStatus reason) {
        auto* end = dynamic_cast<IEnd*>(st.component.get());
        if (!end) return I_OK;
        std::string error;
        const DuvStatus status = guardedCall(st, "endOfJob", error, [&] { return end->endOfJob(reason); });
        std::lock_guard<std::mutex> g(statusMutex);
        st.status.endOfJob = status;
        return status;
    }
};

// ---------------------------------------------------------------------------
// IComposer
// ---------------------------------------------------------------------------
void ProtocolComposer::IComposer::selfDestroy() {
    if (auto* counted = dynamic_cast<Rudu::RefCounted*>(this))
        counted->Unref();
    else
        delete this;  // not reference counted: the host's reference was the only one
}

// ---------------------------------------------------------------------------
// MrFunctor
// ---------------------------------------------------------------------------
namespace {
const std::string kNoName;
}

const std::string& MrFunctor::Name() const { return stage_ ? stage_->name : kNoName; }
const std::string& MrFunctor::PipeServiceName() const { return stage_ ? stage_->serviceName : kNoName; }
Rudu::Component* MrFunctor::Component() const { return stage_ ? stage_->component.get() : nullptr; }

XNode MrFunctor::At(const std::string& name, bool mustExist) const {
    if (!stage_) {
        if (mustExist) throw ProtocolComposer::Error("property '" + name + "' requested from a bad functor handle");
        return XNode();
    }
    // The node holds the stage record, so it stays usable after the pipeline is gone.
    return detail::MakePropertyNode(stage_->component.get(), stage_->name, name, stage_, mustExist);
}

// ---------------------------------------------------------------------------
// MrPipeService
// ---------------------------------------------------------------------------
const std::string& MrPipeService::Name() const { return service_ ? service_->name : kNoName; }

MrFunctor MrPipeService::CreateFunctor(const std::string& instanceName, const std::string& typeAtLibrary, int) {
    if (!service_ || !pipeline_) throw ProtocolComposer::Error("CreateFunctor on a bad pipe service handle");
    DuvPipeline::Impl& m = *pipeline_->impl_;
    m.requireComposable("CreateFunctor");
    std::shared_ptr<StageRecord> st = m.createStage(instanceName, typeAtLibrary);
    m.place(st, *service_, service_->stages.size());
    MrFunctor f;
    f.stage_ = st;
    return f;
}

MrFunctor MrPipeService::CreateConnectFunctor(const MrFunctor& predecessor, const std::string& event,
                                              const std::string& instanceName, const std::string& typeAtLibrary,
                                              const std::string& method, bool mustExist) {
    if (!service_ || !pipeline_) throw ProtocolComposer::Error("CreateConnectFunctor on a bad pipe service handle");
    DuvPipeline::Impl& m = *pipeline_->impl_;
    m.requireComposable("CreateConnectFunctor");
    auto fail = [&](const std::string& why) -> MrFunctor {
        const std::string text = "CreateConnectFunctor('" + instanceName + "'): " + why;
        if (mustExist) throw ProtocolComposer::Error(text);
        HOST_PIPE_TRACE(duvtrace::Error, "MrPipeService::CreateConnectFunctor") << text;
        return MrFunctor();
    };
    const std::shared_ptr<StageRecord>& pred = predecessor.stage_;
    if (!pred || !m.owns(pred->service)) return fail("no predecessor functor");
    if (!findEvent(pred->type(), event)) return fail("functor '" + pred->name + "' has no event '" + event + "'");

    std::shared_ptr<StageRecord> st = m.createStage(instanceName, typeAtLibrary);
    std::string problem = bindingProblem(*pred, event, *st, method);
    if (problem.empty()) problem = m.moveProblem(*pred, event, *st, event, st.get());
    if (!problem.empty()) return fail(problem);

    // The new stage follows its predecessor when they share this service.
    const size_t at = pred->service == service_.get() ? m.indexOf(*service_, pred.get()) + 1 : service_->stages.size();
    m.place(st, *service_, at);
    m.moveHandlers(pred, event, st, event);
    m.addBinding(pred, event, st, method);
    MrFunctor f;
    f.stage_ = st;
    return f;
}

void MrPipeService::PoolThreads(int n) {
    if (!service_) return;
    const int clipped = std::clamp(n, 1, kMaxPoolThreads);
    if (clipped != n)
        HOST_PIPE_TRACE(duvtrace::Notice, "MrPipeService::PoolThreads")
            << "pipe service '" << service_->name << "': " << n << " pool threads requested, using " << clipped;
    service_->poolThreads = clipped;
}

int MrPipeService::PoolThreads() const { return service_ ? service_->poolThreads : 0; }

// ---------------------------------------------------------------------------
// Toolbox
// ---------------------------------------------------------------------------
namespace ProtocolComposer {

Toolbox::Toolbox(DuvPipeline& pipeline) : pipeline_(pipeline) {}

DuvStatus Toolbox::Init(const std::string& programName) {
    program_ = programName;
    return I_OK;
}

XProtocol& Toolbox::Protocol() { return pipeline_.protocol(); }

MrFunctor Toolbox::FindFunctor(const std::string& name, bool mustExist) {
    MrFunctor f;
    f.stage_ = pipeline_.impl_->findStage(name);
    if (!f.stage_ && mustExist) throw Error("FindFunctor: no functor instance '" + name + "' in the pipeline");
    return f;
}

MrPipeService Toolbox::FindPipeService(const std::string& name, bool mustExist) {
    MrPipeService s;
    s.service_ = pipeline_.impl_->findService(name);
    if (!s.service_) {
        if (mustExist) throw Error("FindPipeService: no pipe service '" + name + "' in the pipeline");
        return s;
    }
    s.pipeline_ = &pipeline_;
    return s;
}

DuvStatus Toolbox::InsertAfter(const std::string& stage, const std::string& method, const std::string& event,
                                   const std::string& predecessor, const std::string& predecessorEvent,
                                   bool mustExist) {
    DuvPipeline::Impl& m = *pipeline_.impl_;
    m.requireComposable("InsertAfter");
    auto fail = [&](const std::string& why) -> DuvStatus {
        const std::string text = "InsertAfter('" + stage + "', '" + predecessor + "'): " + why;
        if (mustExist) throw Error(text);
        HOST_PIPE_TRACE(duvtrace::Error, "Toolbox::InsertAfter") << text << " status = 0x" << std::hex << I_FAIL;
        return I_FAIL;
    };
    std::shared_ptr<StageRecord> st = m.findStage(stage);
    if (!st) return fail("no functor instance '" + stage + "'");
    std::shared_ptr<StageRecord> pred = m.findStage(predecessor);
    if (!pred) return fail("no functor instance '" + predecessor + "'");
    if (st == pred) return fail("a functor cannot follow itself");
    std::string problem = bindingProblem(*pred, predecessorEvent, *st, method);
    if (problem.empty() && !findEvent(st->type(), event))
        problem = "functor '" + stage + "' has no event '" + event + "'";
    if (problem.empty()) problem = m.moveProblem(*pred, predecessorEvent, *st, event, st.get());
    if (!problem.empty()) return fail(problem);

    m.moveHandlers(pred, predecessorEvent, st, event);
    m.addBinding(pred, predecessorEvent, st, method);
    m.unplace(st);
    m.place(st, *pred->service, DuvPipeline::Impl::indexOf(*pred->service, pred.get()) + 1);
    return I_OK;
}

MrPipeService Toolbox::SplitAfter(const std::string& stage, const std::string& newServiceName, const char*) {
    DuvPipeline::Impl& m = *pipeline_.impl_;
    m.requireComposable("SplitAfter");
    std::shared_ptr<StageRecord> st = m.findStage(stage);
    if (!st) throw Error("SplitAfter: no functor instance '" + stage + "'");
    if (newServiceName.empty()) throw Error("SplitAfter('" + stage + "'): the new pipe service needs a name");
    if (m.findService(newServiceName))
        throw Error("SplitAfter('" + stage + "'): a pipe service named '" + newServiceName + "' already exists");

    ServiceRecord& old = *st->service;
    auto fresh = std::make_shared<ServiceRecord>();
    fresh->name = newServiceName;
    const size_t from = DuvPipeline::Impl::indexOf(old, st.get()) + 1;
    for (size_t i = from; i < old.stages.size(); ++i) {
        old.stages[i]->service = fresh.get();
        old.stages[i]->serviceName = newServiceName;
        fresh->stages.push_back(old.stages[i]);
    }
    old.stages.resize(std::min(from, old.stages.size()));
    auto pos = std::find_if(m.services.begin(), m.services.end(), [&](const auto& s) { return s.get() == &old; });
    m.services.insert(pos + 1, fresh);

    MrPipeService s;
    s.service_ = fresh;
    s.pipeline_ = &pipeline_;
    return s;
}

}  // namespace ProtocolComposer

// ---------------------------------------------------------------------------
// DuvPipeline
// ---------------------------------------------------------------------------
DuvPipeline::DuvPipeline(XProtocol protocol, IRuduEnvironment* env)
    : impl_(std::make_unique<Impl>(*this, std::move(protocol), env)) {}

DuvPipeline::~DuvPipeline() {
    if (impl_->running) impl_->stopWorkers();
    // Stages may outlive the pipeline; their events must not call into it.
    impl_->clearEvents();
}

XProtocol& DuvPipeline::protocol() { return impl_->protocol; }
IRuduEnvironment* DuvPipeline::environment() const { return impl_->env; }
ProtocolComposer::Toolbox& DuvPipeline::toolbox() { return impl_->toolbox; }

MrPipeService DuvPipeline::AddPipeService(const std::string& name, int poolThreads) {
    impl_->requireComposable("AddPipeService");
    if (name.empty()) throw ProtocolComposer::Error("AddPipeService: a pipe service needs a name");
    if (impl_->findService(name))
        throw ProtocolComposer::Error("AddPipeService: a pipe service named '" + name + "' already exists");
    auto s = std::make_shared<ServiceRecord>();
    s->name = name;
    impl_->services.push_back(s);
    MrPipeService handle;
    handle.service_ = s;
    handle.pipeline_ = this;
    handle.PoolThreads(poolThreads);
    return handle;
}

MrFunctor DuvPipeline::AddStage(const MrPipeService& service, const std::string& instanceName,
                                MrPtr<Rudu::Component> component) {
    impl_->requireComposable("AddStage");
    if (!service.service_ || !impl_->owns(service.service_.get()))
        throw ProtocolComposer::Error("AddStage('" + instanceName + "'): no such pipe service in this pipeline");
    std::shared_ptr<StageRecord> st = impl_->makeStage(instanceName, std::move(component));
    impl_->place(st, *service.service_, service.service_->stages.size());
    MrFunctor f;
    f.stage_ = st;
    return f;
}

void DuvPipeline::Connect(const MrFunctor& source, const std::string& event, const MrFunctor& target,
                          const std::string& method) {
    impl_->requireComposable("Connect");
    if (!source.stage_ || !impl_->owns(source.stage_->service) || !target.stage_ ||
        !impl_->owns(target.stage_->service))
        throw ProtocolComposer::Error("Connect('" + event + "' -> '" + method + "'): no such functor in this pipeline");
    const std::string problem = bindingProblem(*source.stage_, event, *target.stage_, method);
    if (!problem.empty()) throw ProtocolComposer::Error("Connect: " + problem);
    impl_->addBinding(source.stage_, event, target.stage_, method);
}

DuvStatus DuvPipeline::Compose(ProtocolComposer::IComposer& composer) { return composer.Compose(impl_->toolbox); }

std::vector<MrFunctor> DuvPipeline::Stages() const {
    std::vector<MrFunctor> out;
    for (const auto& s : impl_->services)
        for (const auto& st : s->stages) {
            MrFunctor f;
            f.stage_ = st;
            out.push_back(f);
        }
    return out;
}

std::vector<MrPipeService> DuvPipeline::Services() const {
    std::vector<MrPipeService> out;
    for (const auto& s : impl_->services) {
        MrPipeService h;
        h.service_ = s;
        h.pipeline_ = const_cast<DuvPipeline*>(this);
        out.push_back(h);
    }
    return out;
}

std::vector<MrFunctor> DuvPipeline::StagesOf(const MrPipeService& service) const {
    std::vector<MrFunctor> out;
    if (!service.service_) return out;
    for (const auto& st : service.service_->stages) {
        MrFunctor f;
        f.stage_ = st;
        out.push_back(f);
    }
    return out;
}

DuvStatus DuvPipeline::Init() {
    Impl& m = *impl_;
    if (m.running) {
        HOST_PIPE_TRACE(duvtrace::Error, "DuvPipeline::Init")
            << "the pipeline is running; Init comes before Start status = 0x" << std::hex << I_FAIL;
        return I_FAIL;
    }
    {
        std::lock_guard<std::mutex> g(m.statusMutex);
        for (auto& s : m.services)
            for (auto& st : s->stages) st->status = StageStatus{};
        m.firstCallFailure = I_OK;
    }
    // Each stage is initialised completely before the next one begins.
    for (auto& s : m.services)
        for (auto& st : s->stages) {
            auto* f = dynamic_cast<IFunctor*>(st->component.get());
            if (!f) continue;
            std::string error;
            DuvStatus status = m.guardedCall(*st, "BeginInit", error, [&] { return f->BeginInit(m.env); });
            {
                std::lock_guard<std::mutex> g(m.statusMutex);
                st->status.beginInit = status;
            }
            if (DuvIsFailure(status)) return status;
            status = m.guardedCall(*st, "EndInit", error, [&] { return f->EndInit(m.env); });
            {
                std::lock_guard<std::mutex> g(m.statusMutex);
                st->status.endInit = status;
            }
            if (DuvIsFailure(status)) return status;
        }
    return I_OK;
}

void DuvPipeline::Start(size_t queueCapacity) {
    Impl& m = *impl_;
    if (m.running) return;
    m.materialise();
    for (auto& s : m.services) {
        std::lock_guard<std::mutex> g(s->mutex);
        s->queue.clear();
        s->capacity = std::max<size_t>(1, queueCapacity);
        s->stopping = false;
        s->accepting = true;
    }
    m.running = true;
    m.jobEnded = false;
    try {
        for (auto& s : m.services)
            for (int i = 0; i < s->poolThreads; ++i) {
                ServiceRecord* service = s.get();
                s->workers.emplace_back([&m, service] { m.workerLoop(*service); });
            }
    } catch (...) {
        m.stopWorkers();
        throw;
    }
}

DuvStatus DuvPipeline::RaiseScan(const MrFunctor& source, const std::string& event, DuvAs& as, MdhProxy& mdh,
                                     ScanControl& ctrl) {
    Impl& m = *impl_;
    const StageRecord* st = source.stage_.get();
    if (!m.canRaise(source, event, kScanSignature, st)) return I_FAIL;
    const std::vector<ScanHandler>* feeds = m.feedsOf(m.scanFeeds, st, event);
    if (!feeds) return I_OK;  // nothing listens
    auto item = [feeds, a = DuvAs(as), h = MdhProxy(mdh), c = ctrl]() mutable {
        for (const ScanHandler& f : *feeds) f(a, h, c);
    };
    return m.enqueue(*st->service, std::move(item), "scan from '" + st->name + "." + event + "'") ? I_OK : I_FAIL;
}

DuvStatus DuvPipeline::RaiseImage(const MrFunctor& source, const std::string& event, DuvAs& as,
                                      MrPtr<MiniHeader>& header, ImageControl& ctrl) {
    Impl& m = *impl_;
    const StageRecord* st = source.stage_.get();
    if (!m.canRaise(source, event, kImageSignature, st)) return I_FAIL;
    const std::vector<ImageHandler>* feeds = m.feedsOf(m.imageFeeds, st, event);
    if (!feeds) return I_OK;
    auto item = [feeds, a = DuvAs(as), h = header, c = ctrl]() mutable {
        for (const ImageHandler& f : *feeds) f(a, h, c);
    };
    return m.enqueue(*st->service, std::move(item), "image from '" + st->name + "." + event + "'") ? I_OK : I_FAIL;
}

DuvStatus DuvPipeline::EndOfJob(DuvStatus status) {
    Impl& m = *impl_;
    // One end of job per job: a second call reports the first one's result.
    if (m.jobEnded) return m.endOfJobResult;
    DuvStatus result = I_OK;
    auto endService = [&m, status, &result](ServiceRecord& s) {
        for (auto& st : s.stages) {
            const DuvStatus r = m.endStage(*st, status);
            if (DuvIsFailure(r) && !DuvIsFailure(result)) result = r;
        }
    };
    if (!m.running) {
        // Never started: the stages still learn that the job is over.
        for (auto& s : m.services) endService(*s);
    } else {
        m.waitIdle();
        for (auto& s : m.services) {
            ServiceRecord* service = s.get();
            // On the service's own worker, after everything before it has
            // left the pipeline; what it sends on is drained before the
            // next service ends.
            if (!m.enqueue(*service, [&endService, service] { endService(*service); },
                           "end of job of '" + service->name + "'"))
                endService(*service);
            m.waitIdle();
        }
        m.stopWorkers();
    }
    m.jobEnded = true;
    m.endOfJobResult = result;
    return result;
}

std::vector<StageStatus> DuvPipeline::Statuses() const {
    std::vector<StageStatus> out;
    std::lock_guard<std::mutex> g(impl_->statusMutex);
    for (const auto& s : impl_->services)
        for (const auto& st : s->stages) {
            StageStatus status = st->status;
            status.stage = st->name;
            status.service = st->serviceName;
            out.push_back(status);
        }
    return out;
}

DuvStatus DuvPipeline::FirstCallFailure() const {
    std::lock_guard<std::mutex> g(impl_->statusMutex);
    return impl_->firstCallFailure;
}

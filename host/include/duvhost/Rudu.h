// Component framework: reference-counted objects, type records with
// properties, methods and events, modules with factory tables, delegates.
#pragma once

#include <any>
#include <atomic>
#include <functional>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <typeindex>
#include <utility>
#include <variant>
#include <vector>

#include "duvhost/Framework.h"

class XProtocol;
class ReadonlyXNode;
namespace ProtocolComposer {
class IComposer;
}

// ---------------------------------------------------------------------------
// Reference counting
// ---------------------------------------------------------------------------
namespace Rudu {

class Type;

class RefCounted {
public:
    virtual ~RefCounted() = default;
    virtual void Ref() = 0;
    virtual void Unref() = 0;
};

class Component : public RefCounted {
public:
    virtual const Type* GetType() const = 0;
};

// Supplies the reference count. A new object starts at count 0; the first
// MrPtr takes it to 1 and the last one to go deletes it.
template <class T>
class HeapObject final : public T {
public:
    template <class... A>
    explicit HeapObject(A&&... args) : T(std::forward<A>(args)...) {}

    void Ref() override { refs_.fetch_add(1, std::memory_order_relaxed); }
    void Unref() override {
        if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
    }
    long RefCount() const { return refs_.load(); }

    // Null when memory runs out.
    template <class... A>
    static T* Create(A&&... args) {
        try {
            return new HeapObject<T>(std::forward<A>(args)...);
        } catch (const std::bad_alloc&) {
            return nullptr;
        }
    }
    static Component* CreateComponent() { return Create(); }

private:
    std::atomic<long> refs_{0};
};

}  // namespace Rudu

template <class T>
class MrPtr {
public:
    MrPtr() = default;
    MrPtr(T* p) : p_(p) {  // NOLINT: implicit by design, like the host's
        if (p_) p_->Ref();
    }
    MrPtr(const MrPtr& o) : MrPtr(o.p_) {}
    MrPtr(MrPtr&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    template <class U>
    MrPtr(const MrPtr<U>& o) : MrPtr(o.get()) {}
    ~MrPtr() {
        if (p_) p_->Unref();
    }
    MrPtr& operator=(MrPtr o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    T* get() const { return p_; }
    T* operator->() const { return p_; }
    T& operator*() const { return *p_; }
    explicit operator bool() const { return p_ != nullptr; }
    void reset(T* p = nullptr) { *this = MrPtr(p); }

private:
    T* p_ = nullptr;
};

// ---------------------------------------------------------------------------
// Delegates: an output event bound to input methods of other stages.
// Raising returns the combined status: 0; the first non-zero result; or
// I_MULTIPLE_FAILURES once a second handler returns non-zero.
// ---------------------------------------------------------------------------
template <class R, class A1, class A2, class A3>
class MulticastDelegate_3 {
public:
    using Handler = std::function<R(A1, A2, A3)>;

    MulticastDelegate_3() = default;
    MulticastDelegate_3(const MulticastDelegate_3&) = delete;
    MulticastDelegate_3& operator=(const MulticastDelegate_3&) = delete;

    void bind(Handler h) {
        std::lock_guard<std::mutex> g(guard_);
        handlers_.push_back(std::move(h));
    }
    void clear() {
        std::lock_guard<std::mutex> g(guard_);
        handlers_.clear();
    }
    size_t size() const {
        std::lock_guard<std::mutex> g(guard_);
        return handlers_.size();
    }

    R operator()(A1 a1, A2 a2, A3 a3) {
        std::vector<Handler> hs;
        {
            std::lock_guard<std::mutex> g(guard_);
            hs = handlers_;
        }
        R combined = R(0);
        bool seen = false;
        for (auto& h : hs) {
            R r = h(a1, a2, a3);
            if (r != R(0)) {
                combined = seen ? R(I_MULTIPLE_FAILURES) : r;
                seen = true;
            }
        }
        return combined;
    }

private:
    mutable std::mutex guard_;
    std::vector<Handler> handlers_;
};

namespace Rudu {

// ---------------------------------------------------------------------------
// Type records
// ---------------------------------------------------------------------------
enum class DefaultThreading : int { Default = 0, SingleThreaded = 1, MultiThreaded = 2 };

enum class ValueType {
    Int,
    Long,
    Float,
    Double,
    Bool,
    String,
    IntVector,
    FloatVector,
    StringVector,
    StringVectorVector,
    Threading
};
const char* ValueTypeName(ValueType t);

using PropertyValue = std::variant<int, long, float, double, bool, std::string, std::vector<int>, std::vector<float>,
                                   std::vector<std::string>, std::vector<std::vector<std::string>>, DefaultThreading>;

template <class T>
struct ValueTypeOf;
template <> struct ValueTypeOf<int> { static constexpr ValueType value = ValueType::Int; };
template <> struct ValueTypeOf<long> { static constexpr ValueType value = ValueType::Long; };
template <> struct ValueTypeOf<float> { static constexpr ValueType value = ValueType::Float; };
template <> struct ValueTypeOf<double> { static constexpr ValueType value = ValueType::Double; };
template <> struct ValueTypeOf<bool> { static constexpr ValueType value = ValueType::Bool; };
template <> struct ValueTypeOf<std::string> { static constexpr ValueType value = ValueType::String; };
template <> struct ValueTypeOf<std::vector<int>> { static constexpr ValueType value = ValueType::IntVector; };
template <> struct ValueTypeOf<std::vector<float>> { static constexpr ValueType value = ValueType::FloatVector; };
template <> struct ValueTypeOf<std::vector<std::string>> { static constexpr ValueType value = ValueType::StringVector; };
template <> struct ValueTypeOf<std::vector<std::vector<std::string>>> {
    static constexpr ValueType value = ValueType::StringVectorVector;
};
template <> struct ValueTypeOf<DefaultThreading> { static constexpr ValueType value = ValueType::Threading; };

struct PropertyDescriptor {
    std::string name;
    ValueType type = ValueType::Int;
    std::string description;  // the protocol path that feeds the property, or empty
    std::function<PropertyValue(const Component&)> get;
    std::function<void(Component&, const PropertyValue&)> set;  // empty: read-only
    bool readOnly() const { return !set; }
};

struct MethodDescriptor {
    std::string name;
    std::type_index signature = typeid(void);  // typeid(R(A...))
    // Returns a std::function<R(A...)> bound to the given instance.
    std::function<std::any(Component&)> makeHandler;
};

struct EventDescriptor {
    std::string name;
    std::type_index signature = typeid(void);
    // Binds a handler (a std::any holding std::function<R(A...)>) to the event
    // of the given instance; false when the handler has another signature.
    std::function<bool(Component&, const std::any& handler)> bind;
    std::function<void(Component&)> clear;
};

class Type {
public:
    Type(std::string name, std::vector<const Type*> bases, std::vector<MethodDescriptor> methods,
         std::vector<EventDescriptor> events, std::vector<PropertyDescriptor> properties);

    const std::string& Name() const { return name_; }
    const std::vector<const Type*>& Bases() const { return bases_; }
    const std::vector<MethodDescriptor>& Methods() const { return methods_; }
    const std::vector<EventDescriptor>& Events() const { return events_; }
    const std::vector<PropertyDescriptor>& Properties() const { return properties_; }

    // The published property list: own properties in order, then those of
    // the bases (depth first, in base order).
    std::vector<const PropertyDescriptor*> AllProperties() const;
    const PropertyDescriptor* FindProperty(const std::string& name) const;  // also in bases
    const MethodDescriptor* FindMethod(const std::string& name) const;
    const EventDescriptor* FindEvent(const std::string& name) const;

private:
    std::string name_;
    std::vector<const Type*> bases_;
    std::vector<MethodDescriptor> methods_;
    std::vector<EventDescriptor> events_;
    std::vector<PropertyDescriptor> properties_;
};

template <class C, class T>
PropertyDescriptor MakeProperty(const char* name, T (C::*getter)() const, void (C::*setter)(T),
                                const char* description) {
    PropertyDescriptor d;
    d.name = name;
    d.type = ValueTypeOf<T>::value;
    d.description = description ? description : "";
    d.get = [getter](const Component& c) { return PropertyValue((dynamic_cast<const C&>(c).*getter)()); };
    d.set = [setter](Component& c, const PropertyValue& v) { (dynamic_cast<C&>(c).*setter)(std::get<T>(v)); };
    return d;
}

template <class C, class T>
PropertyDescriptor MakeReadOnlyProperty(const char* name, T (C::*getter)() const, const char* description = "") {
    PropertyDescriptor d;
    d.name = name;
    d.type = ValueTypeOf<T>::value;
    d.description = description ? description : "";
    d.get = [getter](const Component& c) { return PropertyValue((dynamic_cast<const C&>(c).*getter)()); };
    return d;
}

template <class C, class R, class... A>
MethodDescriptor MakeMethod(const char* name, R (C::*method)(A...)) {
    MethodDescriptor d;
    d.name = name;
    d.signature = typeid(R(A...));
    d.makeHandler = [method](Component& c) -> std::any {
        C* self = &dynamic_cast<C&>(c);
        return std::function<R(A...)>([self, method](A... a) { return (self->*method)(std::forward<A>(a)...); });
    };
    return d;
}

template <class C, class R, class A1, class A2, class A3>
EventDescriptor MakeEvent(const char* name, MulticastDelegate_3<R, A1, A2, A3> C::*event) {
    EventDescriptor d;
    d.name = name;
    d.signature = typeid(R(A1, A2, A3));
    d.bind = [event](Component& c, const std::any& handler) {
        auto* h = std::any_cast<std::function<R(A1, A2, A3)>>(&handler);
        if (!h) return false;
        (dynamic_cast<C&>(c).*event).bind(*h);
        return true;
    };
    d.clear = [event](Component& c) { (dynamic_cast<C&>(c).*event).clear(); };
    return d;
}

// ---------------------------------------------------------------------------
// Properties by name
// ---------------------------------------------------------------------------

// Sets a property; an unknown (or read-only) name throws
// ReadonlyXNode::Exception "Node: <objectName>: SetProperty - Parameter not found <name>".
// The value must have the property's type.
void SetProperty(Component& c, const std::string& objectName, const std::string& name, const PropertyValue& v);
PropertyValue GetProperty(const Component& c, const std::string& objectName, const std::string& name);

// Converts protocol nodes to a property value of type t. nodes are the nodes
// selected by the property's path (several for a '*' path). A vector takes
// every node (an array node is expanded into its elements); a scalar takes the
// first. A double feeds an int by rounding to nearest, a long or bool feeds a
// bool. Throws ReadonlyXNode::Exception when a node cannot be converted.
PropertyValue ConvertNodes(ValueType t, const std::vector<ReadonlyXNode>& nodes);

// Fills every property whose description is a protocol path. A path that
// selects no node throws ReadonlyXNode::Exception naming the stage, the
// property and the path: "stage <objectName>: property <name>: protocol path <path> not found".
void FillPropertiesFromProtocol(Component& c, const std::string& objectName, const XProtocol& protocol);

// ---------------------------------------------------------------------------
// Modules
// ---------------------------------------------------------------------------
struct FactoryEntry {
    const char* typeName;
    const Type* (*typeInfo)();
    Component* (*create)();
};
using PerformanceMapFunction = void* (*)(void*);

class Module {
public:
    explicit Module(const char* name);
    ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    const std::string& Name() const { return name_; }
    // Creates an object of a registered type; null (with an Error trace on
    // channel "DUV.host") for an unknown name. table ends with an all-null row.
    Component* CreateInstance(const char* typeName, const FactoryEntry* table, PerformanceMapFunction performanceMap);
    void Lock();
    void Unlock();

private:
    std::string name_;
    std::recursive_mutex mutex_;
};

// Scope guard over one process-wide recursive mutex for one-time set-up.
class GlobalGuard {
public:
    GlobalGuard();
    ~GlobalGuard();
    GlobalGuard(const GlobalGuard&) = delete;
    GlobalGuard& operator=(const GlobalGuard&) = delete;
};

using CreateObjectFunction = Component* (*)(const char* typeName);

// Creates the module's configurator by name and hands it to the host with one
// reference taken (the host releases it with IComposer::selfDestroy). Null
// when the name is unknown or the object is no configurator.
ProtocolComposer::IComposer* CreateProtocolComposer(CreateObjectFunction createObject, const char* name, double version);

}  // namespace Rudu

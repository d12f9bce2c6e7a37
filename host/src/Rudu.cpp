// Type records, properties by name, protocol filling, modules, the global guard.
#include "duvhost/Rudu.h"

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>
#include <unordered_set>

#include "XNodeDetail.h"
#include "duvhost/Pipeline.h"
#include "duvhost/XProtocol.h"

using Exception = ReadonlyXNode::Exception;

namespace Rudu {

// The value type of a PropertyValue is its variant index.
static_assert(std::is_same_v<std::variant_alternative_t<static_cast<size_t>(ValueType::Int), PropertyValue>, int>);
static_assert(std::is_same_v<std::variant_alternative_t<static_cast<size_t>(ValueType::Long), PropertyValue>, long>);
static_assert(std::is_same_v<std::variant_alternative_t<static_cast<size_t>(ValueType::Float), PropertyValue>, float>);
static_assert(std::is_same_v<std::variant_alternative_t<static_cast<size_t>(ValueType::Double), PropertyValue>, double>);
static_assert(std::is_same_v<std::variant_alternative_t<static_cast<size_t>(ValueType::Bool), PropertyValue>, bool>);
static_assert(
    std::is_same_v<std::variant_alternative_t<static_cast<size_t>(ValueType::String), PropertyValue>, std::string>);
static_assert(std::is_same_v<std::variant_alternative_t<static_cast<size_t>(ValueType::IntVector), PropertyValue>,
                             std::vector<int>>);
static_assert(std::is_same_v<std::variant_alternative_t<static_cast<size_t>(ValueType::FloatVector), PropertyValue>,
                             std::vector<float>>);
static_assert(std::is_same_v<std::variant_alternative_t<static_cast<size_t>(ValueType::StringVector), PropertyValue>,
                             std::vector<std::string>>);
static_assert(
    std::is_same_v<std::variant_alternative_t<static_cast<size_t>(ValueType::StringVectorVector), PropertyValue>,
                   std::vector<std::vector<std::string>>>);
static_assert(std::is_same_v<std::variant_alternative_t<static_cast<size_t>(ValueType::Threading), PropertyValue>,
                             DefaultThreading>);
static_assert(std::variant_size_v<PropertyValue> == static_cast<size_t>(ValueType::Threading) + 1);

const char* ValueTypeName(ValueType t) {
    switch (t) {
        case ValueType::Int: return "int";
        case ValueType::Long: return "long";
        case ValueType::Float: return "float";
        case ValueType::Double: return "double";
        case ValueType::Bool: return "bool";
        case ValueType::String: return "string";
        case ValueType::IntVector: return "vector<int>";
        case ValueType::FloatVector: return "vector<float>";
        case ValueType::StringVector: return "vector<string>";
        case ValueType::StringVectorVector: return "vector<vector<string>>";
        case ValueType::Threading: return "DefaultThreading";
    }
    return "unknown";
}

// ---------------------------------------------------------------------------
// Type records
// ---------------------------------------------------------------------------
Type::Type(std::string name, std::vector<const Type*> bases, std::vector<MethodDescriptor> methods,
           std::vector<EventDescriptor> events, std::vector<PropertyDescriptor> properties)
    : name_(std::move(name)),
      bases_(std::move(bases)),
      methods_(std::move(methods)),
      events_(std::move(events)),
      properties_(std::move(properties)) {}

namespace {

// Visits t and its bases depth first, in base order, each type once (a base
// reached twice through two paths is published once).
template <class F>
void forEachType(const Type* t, std::unordered_set<const Type*>& seen, F&& f) {
    if (!t || !seen.insert(t).second) return;
    f(*t);
    for (const Type* b : t->Bases()) forEachType(b, seen, f);
}

}  // namespace

// A name published by a derived type hides the same name of a base.
std::vector<const PropertyDescriptor*> Type::AllProperties() const {
    std::vector<const PropertyDescriptor*> out;
    std::unordered_set<std::string> names;
    std::unordered_set<const Type*> seen;
    forEachType(this, seen, [&](const Type& t) {
        for (const auto& p : t.Properties()) {
            if (names.insert(p.name).second) out.push_back(&p);
        }
    });
    return out;
}

const PropertyDescriptor* Type::FindProperty(const std::string& name) const {
    const PropertyDescriptor* found = nullptr;
    std::unordered_set<const Type*> seen;
    forEachType(this, seen, [&](const Type& t) {
        if (found) return;
        for (const auto& p : t.Properties()) {
            if (p.name == name) {
                found = &p;
                return;
            }
        }
    });
    return found;
}

const MethodDescriptor* Type::FindMethod(const std::string& name) const {
    const MethodDescriptor* found = nullptr;
    std::unordered_set<const Type*> seen;
    forEachType(this, seen, [&](const Type& t) {
        if (found) return;
        for (const auto& m : t.Methods()) {
            if (m.name == name) {
                found = &m;
                return;
            }
        }
    });
    return found;
}

const EventDescriptor* Type::FindEvent(const std::string& name) const {
    const EventDescriptor* found = nullptr;
    std::unordered_set<const Type*> seen;
    forEachType(this, seen, [&](const Type& t) {
        if (found) return;
        for (const auto& e : t.Events()) {
            if (e.name == name) {
                found = &e;
                return;
            }
        }
    });
    return found;
}

// ---------------------------------------------------------------------------
// Properties by name
// ---------------------------------------------------------------------------
namespace {

const PropertyDescriptor* lookUp(const Component& c, const std::string& name) {
    const Type* t = c.GetType();
    return t ? t->FindProperty(name) : nullptr;
}

}  // namespace

void SetProperty(Component& c, const std::string& objectName, const std::string& name, const PropertyValue& v) {
    const PropertyDescriptor* d = lookUp(c, name);
    if (!d || d->readOnly()) throw Exception(detail::PropertyNotFoundMessage(objectName, name));
    const auto given = static_cast<ValueType>(v.index());
    if (given != d->type)
        throw Exception("Node: " + objectName + ": SetProperty - " + name + " takes " + ValueTypeName(d->type) +
                        ", not " + ValueTypeName(given));
    d->set(c, v);
}

PropertyValue GetProperty(const Component& c, const std::string& objectName, const std::string& name) {
    const PropertyDescriptor* d = lookUp(c, name);
    if (!d || !d->get) throw Exception("Node: " + objectName + ": GetProperty - Parameter not found " + name);
    return d->get(c);
}

// ---------------------------------------------------------------------------
// Conversions from protocol nodes
// ---------------------------------------------------------------------------
namespace {

const char* nodeTypeName(const ReadonlyXNode& n) {
    switch (n.GetType()) {
        case ReadonlyXNode::Map: return "map";
        case ReadonlyXNode::Array: return "array";
        case ReadonlyXNode::Long: return "long";
        case ReadonlyXNode::Double: return "double";
        case ReadonlyXNode::Bool: return "bool";
        case ReadonlyXNode::String: return "string";
        case ReadonlyXNode::Unset: return "unset";
        default: return "bad";
    }
}

[[noreturn]] void refuse(const ReadonlyXNode& n, const char* target) {
    const std::string where = n.Path().empty() ? std::string() : " " + n.Path();
    throw Exception(std::string("cannot convert ") + nodeTypeName(n) + " node" + where + " to " + target);
}

[[noreturn]] void outOfRange(const ReadonlyXNode& n, const std::string& value, const char* target) {
    const std::string where = n.Path().empty() ? std::string() : " of " + n.Path();
    throw Exception("value " + value + where + " is out of range for " + target);
}

long toLongValue(const ReadonlyXNode& n, const char* target) {
    if (n.IsType(ReadonlyXNode::Long)) return n.ToLong();
    if (n.IsType(ReadonlyXNode::Double)) {
        const double d = n.ToDouble();
        if (!std::isfinite(d) || std::fabs(d) >= 9.2e18) outOfRange(n, n.ToString(), target);
        return std::lround(d);  // to nearest, halves away from zero
    }
    refuse(n, target);
}

int toInt(const ReadonlyXNode& n) {
    const long v = toLongValue(n, "int");
    if (v < INT_MIN || v > INT_MAX) outOfRange(n, std::to_string(v), "int");
    return static_cast<int>(v);
}

double toDouble(const ReadonlyXNode& n, const char* target) {
    if (n.IsType(ReadonlyXNode::Long) || n.IsType(ReadonlyXNode::Double)) return n.ToDouble();
    refuse(n, target);
}

float toFloat(const ReadonlyXNode& n) {
    const double d = toDouble(n, "float");
    if (std::isfinite(d) && std::fabs(d) > static_cast<double>(FLT_MAX)) outOfRange(n, n.ToString(), "float");
    return static_cast<float>(d);
}

bool toBool(const ReadonlyXNode& n) {
    if (n.IsType(ReadonlyXNode::Bool) || n.IsType(ReadonlyXNode::Long)) return n.ToBool();
    refuse(n, "bool");
}

std::string toString(const ReadonlyXNode& n) {
    if (n.IsType(ReadonlyXNode::String)) return n.ToString();
    refuse(n, "string");
}

DefaultThreading toThreading(const ReadonlyXNode& n) {
    const long v = toLongValue(n, "DefaultThreading");
    if (v < 0 || v > 2) outOfRange(n, std::to_string(v), "DefaultThreading");
    return static_cast<DefaultThreading>(v);
}

// The values a node list stands for: an array node is replaced by its set
// elements (an unset element holds no value; "*" selects only the set ones,
// so a long, mostly unset array costs what it holds).
std::vector<ReadonlyXNode> expand(const std::vector<ReadonlyXNode>& nodes) {
    std::vector<ReadonlyXNode> out;
    for (const auto& n : nodes) {
        if (n.IsType(ReadonlyXNode::Array)) {
            for (const ReadonlyXNode& e : n.Select("*")) out.push_back(e);
        } else {
            out.push_back(n);
        }
    }
    return out;
}

template <class T, class F>
std::vector<T> convertAll(const std::vector<ReadonlyXNode>& nodes, F convert) {
    std::vector<T> out;
    for (const auto& n : expand(nodes)) out.push_back(convert(n));
    return out;
}

std::vector<std::string> stringsOf(const ReadonlyXNode& n) {
    if (!n.IsType(ReadonlyXNode::Array)) refuse(n, "vector<string>");
    return convertAll<std::string>({n}, toString);
}

// Each node is one inner list (an array of strings). A node that is an array
// of arrays stands for all of its elements, so that a path ending at the
// outer array fills the whole property.
std::vector<std::vector<std::string>> toStringLists(const std::vector<ReadonlyXNode>& nodes) {
    std::vector<std::vector<std::string>> out;
    for (const auto& n : nodes) {
        if (!n.IsType(ReadonlyXNode::Array)) refuse(n, "vector<vector<string>>");
        const std::vector<ReadonlyXNode> elements = n.Select("*");
        const bool nested = n.Count() > 0 && std::all_of(elements.begin(), elements.end(), [](const ReadonlyXNode& e) {
                                return e.IsType(ReadonlyXNode::Array);
                            });
        if (nested) {
            for (const ReadonlyXNode& e : elements) out.push_back(stringsOf(e));
        } else {
            out.push_back(stringsOf(n));
        }
    }
    return out;
}

}  // namespace

PropertyValue ConvertNodes(ValueType t, const std::vector<ReadonlyXNode>& nodes) {
    switch (t) {
        case ValueType::IntVector: return convertAll<int>(nodes, toInt);
        case ValueType::FloatVector: return convertAll<float>(nodes, toFloat);
        case ValueType::StringVector: return convertAll<std::string>(nodes, toString);
        case ValueType::StringVectorVector: return toStringLists(nodes);
        default: break;
    }
    // A scalar takes the first value.
    const std::vector<ReadonlyXNode> values = expand(nodes);
    if (values.empty()) throw Exception(std::string("no value to convert to ") + ValueTypeName(t));
    const ReadonlyXNode& n = values.front();
    switch (t) {
        case ValueType::Int: return toInt(n);
        case ValueType::Long: return toLongValue(n, "long");
        case ValueType::Float: return toFloat(n);
        case ValueType::Double: return toDouble(n, "double");
        case ValueType::Bool: return toBool(n);
        case ValueType::String: return toString(n);
        case ValueType::Threading: return toThreading(n);
        default: break;
    }
    throw Exception(std::string("no conversion to ") + ValueTypeName(t));
}

void FillPropertiesFromProtocol(Component& c, const std::string& objectName, const XProtocol& protocol) {
    const Type* type = c.GetType();
    if (!type) return;
    for (const PropertyDescriptor* d : type->AllProperties()) {
        if (d->description.empty()) continue;
        const std::string where = "stage " + objectName + ": property " + d->name + ": protocol path " + d->description;
        if (d->readOnly()) {
            // A published path on a getter-only property is a fault of the
            // type record, not of the protocol: say so and go on.
            if (wouldTrace("DUV.host", duvtrace::Warning, 1))
                getStdStackTraceStream("DUV.host", duvtrace::Warning, 1, "DUV", "duvhost", __FILE__, __LINE__,
                                       "Rudu::FillPropertiesFromProtocol", "DLL", false)
                    << where << ": the property is read-only and is not filled";
            continue;
        }
        const std::vector<ReadonlyXNode> nodes = protocol.Select(d->description);
        if (nodes.empty()) throw Exception(where + " not found");
        PropertyValue v;
        try {
            v = ConvertNodes(d->type, nodes);
        } catch (const Exception& e) {
            throw Exception(where + ": " + e.what());
        }
        SetProperty(c, objectName, d->name, v);
    }
}

// ---------------------------------------------------------------------------
// Modules
// ---------------------------------------------------------------------------
Module::Module(const char* name) : name_(name ? name : "") {}
Module::~Module() = default;

// The performance map callback is accepted for the modules' sake; this host
// keeps no performance maps and does not call it.
Component* Module::CreateInstance(const char* typeName, const FactoryEntry* table, PerformanceMapFunction) {
    std::lock_guard<std::recursive_mutex> g(mutex_);
    const std::string wanted = typeName ? typeName : "(none)";
    for (const FactoryEntry* e = typeName ? table : nullptr; e && e->typeName; ++e) {
        if (wanted != e->typeName) continue;
        Component* obj = e->create ? e->create() : nullptr;
        if (!obj && wouldTrace("DUV.host", duvtrace::Error, 1))
            getStdStackTraceStream("DUV.host", duvtrace::Error, 1, "DUV", "duvhost", __FILE__, __LINE__,
                                   "Rudu::Module::CreateInstance", "DLL", false)
                << "Module " << name_ << ": CreateInstance - creating " << wanted << " failed";
        return obj;
    }
    if (wouldTrace("DUV.host", duvtrace::Error, 1))
        getStdStackTraceStream("DUV.host", duvtrace::Error, 1, "DUV", "duvhost", __FILE__, __LINE__,
                               "Rudu::Module::CreateInstance", "DLL", false)
            << "Module " << name_ << ": CreateInstance - unknown type " << wanted;
    return nullptr;
}

void Module::Lock() { mutex_.lock(); }
void Module::Unlock() { mutex_.unlock(); }

namespace {
std::recursive_mutex& globalMutex() {
    // Never destroyed: module objects may be torn down after static destructors ran.
    static std::recursive_mutex* m = new std::recursive_mutex;
    return *m;
}
}  // namespace

GlobalGuard::GlobalGuard() { globalMutex().lock(); }
GlobalGuard::~GlobalGuard() { globalMutex().unlock(); }

ProtocolComposer::IComposer* CreateProtocolComposer(CreateObjectFunction createObject, const char* name,
                                                    double /*version*/) {
    if (!createObject || !name) return nullptr;
    Component* obj = createObject(name);
    if (!obj) return nullptr;
    auto* composer = dynamic_cast<ProtocolComposer::IComposer*>(obj);
    obj->Ref();
    if (!composer) {
        // Nobody else holds it: taking and dropping a reference deletes it.
        obj->Unref();
        return nullptr;
    }
    return composer;
}

}  // namespace Rudu

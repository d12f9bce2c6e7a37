// The image header: typed fields in the order of their first set, and a
// protocol tree that carries the graphics overlay.
#include <atomic>
#include <climits>
#include <cstdint>
#include <limits>
#include <mutex>
#include <ostream>

#include "duvhost/Headers.h"

namespace {
std::mutex globalRefusalsMutex;
std::vector<std::string> globalRefusals;
std::atomic<bool> anyGlobalRefusal{false};  // keeps the lock off every ordinary set

bool refusedEverywhere(const std::string& name) {
    if (!anyGlobalRefusal.load(std::memory_order_relaxed)) return false;
    std::lock_guard<std::mutex> g(globalRefusalsMutex);
    for (const std::string& r : globalRefusals)
        if (r == name || r == "*") return true;
    return false;
}
}  // namespace

void MiniHeader::refuseEverywhere(const std::string& name) {
    std::lock_guard<std::mutex> g(globalRefusalsMutex);
    globalRefusals.push_back(name);
    anyGlobalRefusal = true;
}

void MiniHeader::clearRefusalsEverywhere() {
    std::lock_guard<std::mutex> g(globalRefusalsMutex);
    globalRefusals.clear();
    anyGlobalRefusal = false;
}

MiniHeader::MiniHeader() = default;
MiniHeader::~MiniHeader() = default;

// A field keeps the type of its first set; the flag is that of the latest
// set. Refused names (and every name after refuse("*")) are not written.
bool MiniHeader::put(const std::string& name, FieldType t, decltype(Field::value) v, bool flag) {
    if (name.empty()) return false;
    for (const std::string& r : refused_)
        if (r == name || r == "*") return false;
    if (refusedEverywhere(name)) return false;
    for (Field& f : fields_) {
        if (f.name != name) continue;
        if (f.type != t) return false;
        f.value = std::move(v);
        f.flag = flag;
        return true;
    }
    fields_.push_back(Field{name, t, std::move(v), flag});
    return true;
}

bool MiniHeader::set(const std::string& name, int value, bool flag) { return put(name, Int, std::int64_t(value), flag); }
bool MiniHeader::set(const std::string& name, long value, bool flag) { return put(name, Int, std::int64_t(value), flag); }
bool MiniHeader::set(const std::string& name, long long value, bool flag) {
    return put(name, Int, std::int64_t(value), flag);
}
bool MiniHeader::set(const std::string& name, bool value, bool flag) { return put(name, Bool, value, flag); }
bool MiniHeader::set(const std::string& name, double value, bool flag) { return put(name, Double, value, flag); }
bool MiniHeader::set(const std::string& name, const std::string& value, bool flag) {
    return put(name, Text, value, flag);
}
bool MiniHeader::set(const std::string& name, const char* value, bool flag) {
    return value ? put(name, Text, std::string(value), flag) : false;
}
bool MiniHeader::setArrayValues(const std::string& name, const std::vector<double>& values, bool flag) {
    return put(name, Array, values, flag);
}

const MiniHeader::Field* MiniHeader::find(const std::string& name) const {
    for (const Field& f : fields_)
        if (f.name == name) return &f;
    return nullptr;
}

bool MiniHeader::has(const std::string& name) const { return find(name) != nullptr; }

namespace {
// An integer field into an integer of the caller's width; a value that would
// not fit is refused rather than wrapped.
template <class T>
bool getInteger(const MiniHeader::Field* f, T& value) {
    if (!f || f->type != MiniHeader::Int) return false;
    const std::int64_t v = std::get<std::int64_t>(f->value);
    if (v < std::int64_t(std::numeric_limits<T>::min()) || v > std::int64_t(std::numeric_limits<T>::max()))
        return false;
    value = T(v);
    return true;
}
}  // namespace

bool MiniHeader::get(const std::string& name, int& value, bool) const { return getInteger(find(name), value); }
bool MiniHeader::get(const std::string& name, long& value, bool) const { return getInteger(find(name), value); }
bool MiniHeader::get(const std::string& name, long long& value, bool) const {
    return getInteger(find(name), value);
}

bool MiniHeader::get(const std::string& name, bool& value, bool) const {
    const Field* f = find(name);
    if (!f || f->type != Bool) return false;
    value = std::get<bool>(f->value);
    return true;
}

bool MiniHeader::get(const std::string& name, double& value, bool) const {
    const Field* f = find(name);
    if (!f || f->type != Double) return false;
    value = std::get<double>(f->value);
    return true;
}

bool MiniHeader::get(const std::string& name, std::string& value, bool) const {
    const Field* f = find(name);
    if (!f || f->type != Text) return false;
    value = std::get<std::string>(f->value);
    return true;
}

bool MiniHeader::getArrayValues(const std::string& name, std::vector<double>& values, bool) const {
    const Field* f = find(name);
    if (!f || f->type != Array) return false;
    values = std::get<std::vector<double>>(f->value);
    return true;
}

// The copy is the same header in every respect (fields, flags, protocol tree,
// refusals) but shares nothing with the original.
MrPtr<MiniHeader> MiniHeader::deepCopy() const {
    MrPtr<MiniHeader> copy(Rudu::HeapObject<MiniHeader>::Create());
    if (!copy) return copy;
    copy->fields_ = fields_;
    copy->refused_ = refused_;
    copy->protocol_ = protocol_;
    return copy;
}

std::ostream& operator<<(std::ostream& os, const std::vector<double>& list) {
    for (size_t i = 0; i < list.size(); ++i) {
        if (i) os << ' ';
        os << list[i];
    }
    return os;
}

std::ostream& operator<<(std::ostream& os, const std::vector<int>& list) {
    for (size_t i = 0; i < list.size(); ++i) {
        if (i) os << ' ';
        os << list[i];
    }
    return os;
}

std::ostream& operator<<(std::ostream& os, const MiniHeader& h) {
    static const char* const typeNames[] = {"int", "bool", "double", "text", "array"};
    os << "MiniHeader, " << h.fields().size() << " fields";
    for (const MiniHeader::Field& f : h.fields()) {
        os << "\n  " << f.name << " (" << typeNames[f.type] << (f.flag ? ", flag" : "") << ") = ";
        switch (f.type) {
            case MiniHeader::Int: os << std::get<std::int64_t>(f.value); break;
            case MiniHeader::Bool: os << (std::get<bool>(f.value) ? "true" : "false"); break;
            case MiniHeader::Double: os << std::get<double>(f.value); break;
            case MiniHeader::Text: os << '"' << std::get<std::string>(f.value) << '"'; break;
            case MiniHeader::Array: os << std::get<std::vector<double>>(f.value); break;
        }
    }
    // The protocol may hold a graphics overlay of many thousand points: name
    // its top-level nodes only.
    const std::vector<std::string> nodes = h.getProtocol().ChildNames();
    if (!nodes.empty()) {
        os << "\n  protocol:";
        for (const std::string& n : nodes) os << ' ' << n << " (" << h.getProtocol().At(n).Count() << " entries)";
    }
    return os;
}

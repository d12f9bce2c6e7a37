// The measurement protocol tree, its paths and its text form.
#include "duvhost/XProtocol.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <ostream>
#include <sstream>
#include <type_traits>
#include <unordered_map>

#include "XNodeDetail.h"
#include "duvhost/Framework.h"
#include "duvhost/Rudu.h"

using Exception = ReadonlyXNode::Exception;

namespace {
// Bounds for what a path (text form or API) may create. Arrays keep only the
// elements that were set, so a large index costs no more memory than a small
// one; the bound keeps lengths within what every reader of the tree can walk
// and index (an int on a 32-bit host). A very deep path would make copying
// and destroying the tree recurse without end.
constexpr long kMaxArrayLength = 1L << 20;
constexpr size_t kMaxPathDepth = 256;
}  // namespace

namespace detail {

struct XNodeImpl {
    using Ptr = std::shared_ptr<XNodeImpl>;

    ReadonlyXNode::Type type = ReadonlyXNode::Map;
    std::string name;
    std::weak_ptr<XNodeImpl> parent;
    long lv = 0;
    double dv = 0.0;
    bool bv = false;
    std::string sv;
    std::vector<Ptr> children;                    // maps: children in insertion order
    std::unordered_map<std::string, size_t> keys;  // maps: key -> position in children
    // Arrays: the length, and the elements that hold a node by index. An index
    // below the length without an entry is an unset element: memory follows
    // what was set, not the largest index.
    long length = 0;
    std::map<long, Ptr> elements;

    // Set when the node stands for a stage property (MrFunctor::At).
    struct PropertyRef {
        Rudu::Component* component = nullptr;
        std::string objectName;
        std::string propertyName;
        std::shared_ptr<const void> keepAlive;
    };
    std::unique_ptr<PropertyRef> property;

    static const Ptr& of(const ReadonlyXNode& n) { return n.impl_; }
    static ReadonlyXNode readonly(Ptr p) { return ReadonlyXNode(std::move(p)); }
    static XNode node(Ptr p) { return XNode(std::move(p)); }
};

}  // namespace detail

using detail::XNodeImpl;
using Ptr = XNodeImpl::Ptr;

namespace {

// ---------------------------------------------------------------------------
// Node helpers
// ---------------------------------------------------------------------------
Ptr newNode(ReadonlyXNode::Type type, std::string name = {}) {
    auto p = std::make_shared<XNodeImpl>();
    p->type = type;
    p->name = std::move(name);
    return p;
}

bool isContainer(ReadonlyXNode::Type t) { return t == ReadonlyXNode::Map || t == ReadonlyXNode::Array; }
bool isLeafType(ReadonlyXNode::Type t) {
    return t == ReadonlyXNode::Long || t == ReadonlyXNode::Double || t == ReadonlyXNode::Bool ||
           t == ReadonlyXNode::String;
}

const char* typeName(ReadonlyXNode::Type t) {
    switch (t) {
        case ReadonlyXNode::Bad: return "bad";
        case ReadonlyXNode::Map: return "map";
        case ReadonlyXNode::Array: return "array";
        case ReadonlyXNode::Long: return "long";
        case ReadonlyXNode::Double: return "double";
        case ReadonlyXNode::Bool: return "bool";
        case ReadonlyXNode::String: return "string";
        case ReadonlyXNode::Unset: return "unset";
    }
    return "?";
}

void detach(const Ptr& p) {
    if (p) p->parent.reset();
}

// Drops children and value; the node becomes an empty container or a leaf of `type`.
void resetTo(const Ptr& p, ReadonlyXNode::Type type) {
    for (auto& c : p->children) detach(c);
    for (auto& e : p->elements) detach(e.second);
    p->children.clear();
    p->keys.clear();
    p->elements.clear();
    p->length = 0;
    p->type = type;
    p->lv = 0;
    p->dv = 0.0;
    p->bv = false;
    p->sv.clear();
}

Ptr mapFind(const Ptr& map, const std::string& key) {
    auto it = map->keys.find(key);
    return it == map->keys.end() ? nullptr : map->children[it->second];
}

// Adds child to a map, replacing (in place) a child of the same name.
void mapPut(const Ptr& map, const Ptr& child) {
    child->parent = map;
    auto it = map->keys.find(child->name);
    if (it != map->keys.end()) {
        detach(map->children[it->second]);
        map->children[it->second] = child;
    } else {
        map->keys.emplace(child->name, map->children.size());
        map->children.push_back(child);
    }
}

void arrayResize(const Ptr& arr, long n) {
    if (n < 0 || n > kMaxArrayLength)
        throw Exception("array " + std::string(arr->name) + ": length " + std::to_string(n) + " outside 0.." +
                        std::to_string(kMaxArrayLength));
    for (auto it = arr->elements.lower_bound(n); it != arr->elements.end(); it = arr->elements.erase(it))
        detach(it->second);
    arr->length = n;
}

// An element that holds no node yet reads as this stand-in: an Unset node
// that knows its array and index but is not stored, so that reading a long
// array of unset elements allocates nothing that stays. Assigning to it
// stores it (adoptElement).
Ptr unsetElement(const Ptr& arr, long index) {
    auto p = newNode(ReadonlyXNode::Unset, std::to_string(index));
    p->parent = arr;
    return p;
}

// Element `index` of an array within its length: the stored node or a stand-in.
Ptr arrayGet(const Ptr& arr, long index) {
    auto it = arr->elements.find(index);
    return it != arr->elements.end() ? it->second : unsetElement(arr, index);
}

// The node that an assignment through the handle `node` must change. For the
// stand-in of an unset element that is the element stored at its place by now
// (another handle or a path set it), else the stand-in itself, now stored.
// A stand-in whose array shrank below it or became something else stays
// outside the tree, as a removed element does.
Ptr adoptElement(const Ptr& node) {
    if (node->type != ReadonlyXNode::Unset) return node;
    const Ptr arr = node->parent.lock();
    if (!arr || arr->type != ReadonlyXNode::Array) return node;
    const long index = std::strtol(node->name.c_str(), nullptr, 10);
    if (index >= arr->length) return node;
    Ptr& slot = arr->elements[index];
    if (!slot) slot = node;
    return slot;
}

// Replaces array element i (growing the array as needed).
void arrayPut(const Ptr& arr, long index, const Ptr& child) {
    if (index < 0 || index >= kMaxArrayLength)
        throw Exception("array index " + std::to_string(index) + " outside 0.." + std::to_string(kMaxArrayLength - 1));
    if (index >= arr->length) arrayResize(arr, index + 1);
    Ptr& slot = arr->elements[index];
    detach(slot);
    child->name = std::to_string(index);
    child->parent = arr;
    slot = child;
}

void copyValue(XNodeImpl& dst, const XNodeImpl& src) {
    dst.type = src.type;
    dst.lv = src.lv;
    dst.dv = src.dv;
    dst.bv = src.bv;
    dst.sv = src.sv;
}

Ptr deepCopy(const Ptr& src) {
    auto dst = newNode(src->type, src->name);
    copyValue(*dst, *src);
    dst->keys = src->keys;
    dst->children.reserve(src->children.size());
    for (const auto& c : src->children) {
        auto cc = deepCopy(c);
        cc->parent = dst;
        dst->children.push_back(cc);
    }
    dst->length = src->length;
    for (const auto& [index, e] : src->elements) {
        auto ce = deepCopy(e);
        ce->parent = dst;
        dst->elements.emplace_hint(dst->elements.end(), index, ce);
    }
    return dst;
}

// ---------------------------------------------------------------------------
// Paths
// ---------------------------------------------------------------------------
struct PathPart {
    std::string text;
    bool quoted = false;
    bool numeric() const {
        return !quoted && !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
    }
    bool star() const { return !quoted && text == "*"; }
    // Only meaningful when numeric(); saturates so that huge numbers fail the bound check.
    long index() const {
        long v = 0;
        for (char c : text) {
            if (v > (LONG_MAX - 9) / 10) return LONG_MAX;
            v = v * 10 + (c - '0');
        }
        return v;
    }
};

bool isIdentifier(const std::string& s) {
    if (s.empty()) return false;
    const auto first = static_cast<unsigned char>(s[0]);
    if (!(std::isalpha(first) || first == '_')) return false;
    return std::all_of(s.begin(), s.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return (u < 0x80 && std::isalnum(u)) || c == '_';
    });
}

std::string quoteString(const std::string& s) {
    static const char hex[] = "0123456789abcdef";
    std::string out = "\"";
    for (char c : s) {
        const auto u = static_cast<unsigned char>(c);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            default:
                if (u < 0x20 || u == 0x7f) {
                    out += "\\x";
                    out += hex[u >> 4];
                    out += hex[u & 15];
                } else {
                    out += c;  // bytes of UTF-8 text stay as they are
                }
        }
    }
    return out + "\"";
}

// A map key as a path component: bare when it is an identifier, else quoted
// (numbers too, so that they are not taken for array indices).
std::string keyComponent(const std::string& key) { return isIdentifier(key) ? key : quoteString(key); }

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads a quoted string starting at s[pos] == '"'; pos ends behind the closing
// quote. Returns false with a reason on a bad escape or a missing quote.
bool readQuoted(const std::string& s, size_t& pos, std::string& out, std::string& reason) {
    out.clear();
    ++pos;
    while (pos < s.size()) {
        char c = s[pos++];
        if (c == '"') return true;
        if (c != '\\') {
            out += c;
            continue;
        }
        if (pos >= s.size()) break;
        char e = s[pos++];
        switch (e) {
            case '"': out += '"'; break;
            case '\\': out += '\\'; break;
            case '\'': out += '\''; break;
            case '?': out += '?'; break;
            case 'n': out += '\n'; break;
            case 't': out += '\t'; break;
            case 'r': out += '\r'; break;
            case 'a': out += '\a'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'v': out += '\v'; break;
            case '0': out += '\0'; break;
            case 'x': {
                const int h = pos < s.size() ? hexValue(s[pos]) : -1;
                const int l = pos + 1 < s.size() ? hexValue(s[pos + 1]) : -1;
                if (h < 0 || l < 0) {
                    reason = "invalid escape \\x (two hex digits expected)";
                    return false;
                }
                out += static_cast<char>(h * 16 + l);
                pos += 2;
                break;
            }
            default: reason = std::string("invalid escape \\") + e; return false;
        }
    }
    reason = "unterminated string";
    return false;
}

// API paths: components separated by '.', each bare (any characters but '.')
// or quoted. An empty path has no components.
bool parseApiPath(const std::string& path, std::vector<PathPart>& comps) {
    comps.clear();
    if (path.empty()) return true;
    size_t pos = 0;
    while (true) {
        PathPart c;
        if (pos < path.size() && path[pos] == '"') {
            std::string reason;
            if (!readQuoted(path, pos, c.text, reason)) return false;
            c.quoted = true;
        } else {
            const size_t dot = path.find('.', pos);
            c.text = path.substr(pos, dot == std::string::npos ? std::string::npos : dot - pos);
            if (c.text.empty()) return false;
            pos = dot == std::string::npos ? path.size() : dot;
        }
        comps.push_back(std::move(c));
        if (pos == path.size()) return true;
        if (path[pos] != '.') return false;
        ++pos;
        if (pos == path.size()) return false;  // trailing '.'
    }
}

// One step down for reading. On a map every component is a key (numbers
// too: overlay elements are maps named "1", "2", ...); on an array only an
// unquoted number selects.
Ptr step(const Ptr& node, const PathPart& c) {
    if (!node) return nullptr;
    if (node->type == ReadonlyXNode::Map) return mapFind(node, c.text);
    if (node->type == ReadonlyXNode::Array && c.numeric()) {
        const long i = c.index();
        if (i < node->length) return arrayGet(node, i);
    }
    return nullptr;
}

std::string pathOf(const Ptr& node) {
    std::vector<std::string> parts;
    Ptr cur = node;
    while (cur) {
        Ptr up = cur->parent.lock();
        if (!up) break;
        parts.push_back(up->type == ReadonlyXNode::Array ? cur->name : keyComponent(cur->name));
        cur = up;
    }
    std::string out;
    for (auto it = parts.rbegin(); it != parts.rend(); ++it) {
        if (!out.empty()) out += '.';
        out += *it;
    }
    return out;
}

std::string joinPath(const std::string& base, const std::string& rel) {
    if (base.empty()) return rel;
    if (rel.empty()) return base;
    return base + "." + rel;
}

std::string describe(const Ptr& node) {
    if (node && node->property) return node->property->objectName + "." + node->property->propertyName;
    const std::string p = node ? pathOf(node) : std::string();
    return p.empty() ? std::string("<root>") : p;
}

// Walks `comps` from `root`, creating missing maps and arrays (a numeric
// unquoted component makes its parent an array), and returns the last node.
// A missing last node is created as Unset; an existing one is returned as it
// is. strict (the text reader): a number on an existing map or a quoted name
// on an existing array is a conflict instead of a key lookup.
Ptr walkCreate(const Ptr& root, const std::vector<PathPart>& comps, bool strict) {
    if (comps.size() > kMaxPathDepth)
        throw Exception("path deeper than " + std::to_string(kMaxPathDepth) + " components");
    // Refused before anything is created, so that a failed call leaves the tree as it was.
    for (const PathPart& c : comps) {
        if (c.star()) throw Exception("'*' cannot be used in a path that is set");
        if (c.numeric() && c.index() >= kMaxArrayLength)
            throw Exception("array index " + c.text + " exceeds the limit of " + std::to_string(kMaxArrayLength - 1));
    }
    Ptr node = root;
    for (size_t i = 0; i < comps.size(); ++i) {
        const PathPart& c = comps[i];
        const ReadonlyXNode::Type wanted =
            i + 1 < comps.size() ? (comps[i + 1].numeric() ? ReadonlyXNode::Array : ReadonlyXNode::Map)
                                 : ReadonlyXNode::Unset;
        Ptr next;
        if (node->type == ReadonlyXNode::Unset) {
            // An unset array element on the way becomes the container the path needs.
            resetTo(node, c.numeric() ? ReadonlyXNode::Array : ReadonlyXNode::Map);
        }
        if (node->type == ReadonlyXNode::Map) {
            if (strict && c.numeric())
                throw Exception(describe(node) + " is a map, " + c.text + " is an array index");
            next = mapFind(node, c.text);
            if (!next) {
                next = newNode(wanted, c.text);
                mapPut(node, next);
            }
        } else if (node->type == ReadonlyXNode::Array) {
            if (!c.numeric())
                throw Exception(describe(node) + " is an array, " + keyComponent(c.text) + " is not an index");
            const long idx = c.index();
            if (idx >= node->length) arrayResize(node, idx + 1);
            Ptr& slot = node->elements[idx];
            if (!slot) {
                slot = newNode(ReadonlyXNode::Unset, std::to_string(idx));
                slot->parent = node;
            }
            next = slot;
            if (wanted != ReadonlyXNode::Unset && next->type == ReadonlyXNode::Unset) resetTo(next, wanted);
        } else {
            throw Exception(describe(node) + " is a " + typeName(node->type) + " value, not a map or array");
        }
        node = next;
    }
    return node;
}

// ---------------------------------------------------------------------------
// Values as text
// ---------------------------------------------------------------------------
std::string doubleText(double d) {
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, d);  // shortest form that reads back exactly
    std::string s(buf, r.ptr);
    // Keep a '.' or an exponent so that the reader takes it for a double.
    if (s.find_first_of(".eEn") == std::string::npos) s += ".0";
    return s;
}

std::string leafText(const XNodeImpl& n) {
    switch (n.type) {
        case ReadonlyXNode::Long: return std::to_string(n.lv);
        case ReadonlyXNode::Double: return doubleText(n.dv);
        case ReadonlyXNode::Bool: return n.bv ? "true" : "false";
        case ReadonlyXNode::String: return quoteString(n.sv);
        default: return {};
    }
}

// ---------------------------------------------------------------------------
// Conversions of plain nodes
// ---------------------------------------------------------------------------
[[noreturn]] void cannot(const char* op, const Ptr& node) {
    if (!node) throw Exception(std::string(op) + ": no protocol node");
    throw Exception(std::string(op) + ": protocol node " + describe(node) + " is " +
                    (node->type == ReadonlyXNode::Unset ? "unset" : std::string("a ") + typeName(node->type)));
}

long roundToLong(double d, const char* op, const Ptr& node) {
    // 2^31 or 2^63, the bound of the host's long (32 bits on Windows) as a
    // double: every finite double below it in magnitude converts exactly,
    // anything beyond is refused rather than wrapped.
    static const double kLimit = std::ldexp(1.0, std::numeric_limits<long>::digits);
    const double r = std::round(d);
    if (!std::isfinite(r) || r >= kLimit || r < -kLimit)
        throw Exception(std::string(op) + ": value " + doubleText(d) + " of " + describe(node) +
                        " is out of range for long");
    return static_cast<long>(r);
}

long leafToLong(const Ptr& n) {
    if (n) {
        if (n->type == ReadonlyXNode::Long) return n->lv;
        if (n->type == ReadonlyXNode::Double) return roundToLong(n->dv, "ToLong", n);
        if (n->type == ReadonlyXNode::Bool) return n->bv ? 1 : 0;
    }
    cannot("ToLong", n);
}

double leafToDouble(const Ptr& n) {
    if (n) {
        if (n->type == ReadonlyXNode::Double) return n->dv;
        if (n->type == ReadonlyXNode::Long) return static_cast<double>(n->lv);
        if (n->type == ReadonlyXNode::Bool) return n->bv ? 1.0 : 0.0;
    }
    cannot("ToDouble", n);
}

bool leafToBool(const Ptr& n) {
    if (n) {
        if (n->type == ReadonlyXNode::Bool) return n->bv;
        if (n->type == ReadonlyXNode::Long) return n->lv != 0;
        if (n->type == ReadonlyXNode::Double) return n->dv != 0.0;
    }
    cannot("ToBool", n);
}

std::string leafToString(const Ptr& n) {
    if (n) {
        if (n->type == ReadonlyXNode::String) return n->sv;
        if (isLeafType(n->type)) return leafText(*n);
    }
    cannot("ToString", n);
}

// ---------------------------------------------------------------------------
// Property-backed nodes
// ---------------------------------------------------------------------------
const Rudu::PropertyDescriptor* findDescriptor(const XNodeImpl::PropertyRef& p) {
    if (!p.component) return nullptr;
    const Rudu::Type* t = p.component->GetType();
    return t ? t->FindProperty(p.propertyName) : nullptr;
}

ReadonlyXNode::Type propertyNodeType(const XNodeImpl::PropertyRef& p) {
    const Rudu::PropertyDescriptor* d = findDescriptor(p);
    if (!d) return ReadonlyXNode::Bad;
    switch (d->type) {
        case Rudu::ValueType::Int:
        case Rudu::ValueType::Long:
        case Rudu::ValueType::Threading: return ReadonlyXNode::Long;
        case Rudu::ValueType::Float:
        case Rudu::ValueType::Double: return ReadonlyXNode::Double;
        case Rudu::ValueType::Bool: return ReadonlyXNode::Bool;
        case Rudu::ValueType::String: return ReadonlyXNode::String;
        default: return ReadonlyXNode::Array;
    }
}

// The property's current value as a plain leaf (vectors are refused).
Ptr propertyAsLeaf(const XNodeImpl::PropertyRef& p, const char* op) {
    const Rudu::PropertyValue v = Rudu::GetProperty(*p.component, p.objectName, p.propertyName);
    auto leaf = newNode(ReadonlyXNode::Long, p.propertyName);
    if (auto* i = std::get_if<int>(&v)) {
        leaf->lv = *i;
    } else if (auto* l = std::get_if<long>(&v)) {
        leaf->lv = *l;
    } else if (auto* f = std::get_if<float>(&v)) {
        leaf->type = ReadonlyXNode::Double;
        leaf->dv = *f;
    } else if (auto* d = std::get_if<double>(&v)) {
        leaf->type = ReadonlyXNode::Double;
        leaf->dv = *d;
    } else if (auto* b = std::get_if<bool>(&v)) {
        leaf->type = ReadonlyXNode::Bool;
        leaf->bv = *b;
    } else if (auto* s = std::get_if<std::string>(&v)) {
        leaf->type = ReadonlyXNode::String;
        leaf->sv = *s;
    } else if (auto* t = std::get_if<Rudu::DefaultThreading>(&v)) {
        leaf->lv = static_cast<long>(*t);
    } else {
        throw Exception(std::string(op) + ": property " + p.propertyName + " of " + p.objectName + " is a " +
                        Rudu::ValueTypeName(static_cast<Rudu::ValueType>(v.index())));
    }
    return leaf;
}

void setPropertyFromLeaf(const XNodeImpl::PropertyRef& p, const Ptr& leaf) {
    const Rudu::PropertyDescriptor* d = findDescriptor(p);
    if (!d || d->readOnly()) throw Exception(detail::PropertyNotFoundMessage(p.objectName, p.propertyName));
    Rudu::PropertyValue v;
    try {
        v = Rudu::ConvertNodes(d->type, {XNodeImpl::readonly(leaf)});
    } catch (const Exception& e) {
        throw Exception("Node: " + p.objectName + ": SetProperty - " + p.propertyName + ": " + e.what());
    }
    Rudu::SetProperty(*p.component, p.objectName, p.propertyName, v);
}

// Sets a plain leaf or a property from a new value.
void assignLeaf(const Ptr& node, const char* op, const std::function<void(XNodeImpl&)>& fill) {
    if (!node) throw Exception(std::string(op) + ": no protocol node");
    if (node->property) {
        auto leaf = newNode(ReadonlyXNode::Unset, node->property->propertyName);
        fill(*leaf);
        setPropertyFromLeaf(*node->property, leaf);
        return;
    }
    const Ptr target = adoptElement(node);
    if (isContainer(target->type))
        throw Exception(std::string(op) + ": protocol node " + describe(target) + " is a " + typeName(target->type));
    resetTo(target, ReadonlyXNode::Unset);
    fill(*target);
    // A handle to an unset element that another handle has set since reads
    // what it was just given, as it would if both shared one node.
    if (target != node) copyValue(*node, *target);
}

Ptr resolvedForRead(const Ptr& node, const char* op) {
    if (node && node->property) {
        if (!findDescriptor(*node->property))
            throw Exception(std::string(op) + ": " + node->property->objectName + " has no property " +
                            node->property->propertyName);
        return propertyAsLeaf(*node->property, op);
    }
    return node;
}

}  // namespace

// ===========================================================================
// ReadonlyXNode
// ===========================================================================
ReadonlyXNode::ReadonlyXNode() = default;
ReadonlyXNode::~ReadonlyXNode() = default;
ReadonlyXNode::ReadonlyXNode(std::shared_ptr<detail::XNodeImpl> impl) : impl_(std::move(impl)) {}

ReadonlyXNode::Type ReadonlyXNode::GetType() const {
    if (!impl_) return Bad;
    if (impl_->property) return propertyNodeType(*impl_->property);
    return impl_->type;
}

bool ReadonlyXNode::IsBad() const {
    const Type t = GetType();
    return t == Bad || t == Unset;
}

bool ReadonlyXNode::IsLeaf() const { return isLeafType(GetType()); }

const std::string& ReadonlyXNode::Name() const {
    static const std::string empty;
    if (!impl_) return empty;
    return impl_->name;
}

std::string ReadonlyXNode::Path() const {
    if (!impl_) return {};
    if (impl_->property) return describe(impl_);
    return pathOf(impl_);
}

long ReadonlyXNode::Count() const {
    if (!impl_ || impl_->property) return 0;
    if (impl_->type == Array) return impl_->length;
    return impl_->type == Map ? static_cast<long>(impl_->children.size()) : 0;
}

long ReadonlyXNode::Dimension() const {
    if (!impl_) return 0;
    if (impl_->property) {
        const Type t = GetType();
        if (t != Array) return t == Bad ? 0 : 1;
        const Rudu::PropertyValue v =
            Rudu::GetProperty(*impl_->property->component, impl_->property->objectName, impl_->property->propertyName);
        return std::visit(
            [](const auto& x) -> long {
                if constexpr (std::is_class_v<std::decay_t<decltype(x)>> &&
                              !std::is_same_v<std::decay_t<decltype(x)>, std::string>)
                    return static_cast<long>(x.size());
                else
                    return 1;
            },
            v);
    }
    if (impl_->type == Array) return impl_->length;
    return isLeafType(impl_->type) ? 1 : 0;
}

ReadonlyXNode ReadonlyXNode::At(const std::string& path, bool mustExist) const {
    std::vector<PathPart> comps;
    Ptr cur;
    if (impl_ && !impl_->property && parseApiPath(path, comps)) {
        cur = impl_;
        for (const auto& c : comps) {
            cur = step(cur, c);
            if (!cur) break;
        }
    }
    if (!cur && mustExist) {
        const std::string base = !impl_ ? std::string() : impl_->property ? describe(impl_) : pathOf(impl_);
        throw Exception("protocol node not found: " + joinPath(base, path));
    }
    return ReadonlyXNode(cur);
}

ReadonlyXNode ReadonlyXNode::At(long index, bool mustExist) const {
    if (index < 0) {
        if (mustExist) throw Exception("protocol node not found: " + joinPath(Path(), std::to_string(index)));
        return ReadonlyXNode();
    }
    return At(std::to_string(index), mustExist);
}

std::vector<std::string> ReadonlyXNode::ChildNames() const {
    std::vector<std::string> out;
    if (!impl_ || impl_->property || impl_->type != Map) return out;
    out.reserve(impl_->children.size());
    for (const auto& c : impl_->children) out.push_back(c->name);
    return out;
}

long ReadonlyXNode::ToLong() const { return leafToLong(resolvedForRead(impl_, "ToLong")); }
double ReadonlyXNode::ToDouble() const { return leafToDouble(resolvedForRead(impl_, "ToDouble")); }
bool ReadonlyXNode::ToBool() const { return leafToBool(resolvedForRead(impl_, "ToBool")); }
std::string ReadonlyXNode::ToString() const { return leafToString(resolvedForRead(impl_, "ToString")); }

std::vector<ReadonlyXNode> ReadonlyXNode::Select(const std::string& pattern) const {
    std::vector<ReadonlyXNode> out;
    std::vector<PathPart> comps;
    if (!impl_ || impl_->property || !parseApiPath(pattern, comps)) return out;
    std::vector<Ptr> level{impl_};
    for (const auto& c : comps) {
        std::vector<Ptr> next;
        for (const auto& n : level) {
            if (c.star()) {
                if (n->type == Map) next.insert(next.end(), n->children.begin(), n->children.end());
                // Elements without a node are unset and select nothing.
                for (const auto& e : n->elements) next.push_back(e.second);
            } else if (Ptr s = step(n, c)) {
                next.push_back(s);
            }
        }
        level.swap(next);
        if (level.empty()) break;
    }
    // Unset elements hold no value: a path that ends at one selects nothing.
    for (const auto& n : level) {
        if (n->type != Unset) out.push_back(ReadonlyXNode(n));
    }
    return out;
}

// ===========================================================================
// XNode
// ===========================================================================
XNode::XNode() = default;
XNode::XNode(std::shared_ptr<detail::XNodeImpl> impl) : ReadonlyXNode(std::move(impl)) {}

XNode XNode::At(const std::string& path, bool mustExist) {
    ReadonlyXNode r = ReadonlyXNode::At(path, mustExist);
    return XNode(XNodeImpl::of(r));
}

XNode XNode::At(long index, bool mustExist) {
    ReadonlyXNode r = ReadonlyXNode::At(index, mustExist);
    return XNode(XNodeImpl::of(r));
}

void XNode::FromLong(long v) {
    assignLeaf(impl_, "FromLong", [v](XNodeImpl& n) {
        n.type = Long;
        n.lv = v;
    });
}

void XNode::FromDouble(double v) {
    assignLeaf(impl_, "FromDouble", [v](XNodeImpl& n) {
        n.type = Double;
        n.dv = v;
    });
}

void XNode::FromBool(bool v) {
    assignLeaf(impl_, "FromBool", [v](XNodeImpl& n) {
        n.type = Bool;
        n.bv = v;
    });
}

void XNode::FromString(const std::string& v) {
    assignLeaf(impl_, "FromString", [&v](XNodeImpl& n) {
        n.type = String;
        n.sv = v;
    });
}

void XNode::SetArraySize(long n) {
    if (!impl_ || impl_->property || impl_->type != Array) cannot("SetArraySize", impl_);
    arrayResize(impl_, n);
}

namespace {

// Adds `child` under `parent` by name: a map key, or an element index of an array.
XNode putChild(const Ptr& parent, const char* op, const std::string& name, Ptr child) {
    if (!parent || parent->property) cannot(op, parent);
    if (parent->type == ReadonlyXNode::Map) {
        mapPut(parent, child);
    } else if (parent->type == ReadonlyXNode::Array) {
        PathPart c{name, false};
        if (!c.numeric())
            throw Exception(std::string(op) + ": " + describe(parent) + " is an array, " + keyComponent(name) +
                            " is not an index");
        arrayPut(parent, c.index(), child);
    } else {
        cannot(op, parent);
    }
    return XNodeImpl::node(child);
}

}  // namespace

XNode XNode::CreateLongParam(const std::string& name, long v) {
    auto c = newNode(Long, name);
    c->lv = v;
    return putChild(impl_, "CreateLongParam", name, c);
}

XNode XNode::CreateDoubleParam(const std::string& name, double v) {
    auto c = newNode(Double, name);
    c->dv = v;
    return putChild(impl_, "CreateDoubleParam", name, c);
}

XNode XNode::CreateBoolParam(const std::string& name, bool v) {
    auto c = newNode(Bool, name);
    c->bv = v;
    return putChild(impl_, "CreateBoolParam", name, c);
}

XNode XNode::CreateStringParam(const std::string& name, const std::string& v) {
    auto c = newNode(String, name);
    c->sv = v;
    return putChild(impl_, "CreateStringParam", name, c);
}

XNode XNode::CreateArray(const std::string& name, long size) {
    auto c = newNode(Array, name);
    arrayResize(c, size);
    return putChild(impl_, "CreateArray", name, c);
}

XNode XNode::CreateMap(const std::string& name) { return putChild(impl_, "CreateMap", name, newNode(Map, name)); }

namespace {

XNode setAtPath(const Ptr& root, const char* op, const std::string& path, const std::function<void(XNodeImpl&)>& fill) {
    if (!root || root->property) cannot(op, root);
    std::vector<PathPart> comps;
    if (!parseApiPath(path, comps) || comps.empty())
        throw Exception(std::string(op) + ": invalid path '" + path + "'");
    Ptr target;
    try {
        target = walkCreate(adoptElement(root), comps, false);
    } catch (const Exception& e) {
        throw Exception(std::string(op) + " " + path + ": " + e.what());
    }
    if (isContainer(target->type))
        throw Exception(std::string(op) + ": protocol node " + describe(target) + " is a " + typeName(target->type));
    resetTo(target, ReadonlyXNode::Unset);
    fill(*target);
    return XNodeImpl::node(target);
}

}  // namespace

XNode XNode::SetLong(const std::string& path, long v) {
    return setAtPath(impl_, "SetLong", path, [v](XNodeImpl& n) {
        n.type = Long;
        n.lv = v;
    });
}

XNode XNode::SetDouble(const std::string& path, double v) {
    return setAtPath(impl_, "SetDouble", path, [v](XNodeImpl& n) {
        n.type = Double;
        n.dv = v;
    });
}

XNode XNode::SetBool(const std::string& path, bool v) {
    return setAtPath(impl_, "SetBool", path, [v](XNodeImpl& n) {
        n.type = Bool;
        n.bv = v;
    });
}

XNode XNode::SetString(const std::string& path, const std::string& v) {
    return setAtPath(impl_, "SetString", path, [&v](XNodeImpl& n) {
        n.type = String;
        n.sv = v;
    });
}

// ===========================================================================
// XProtocol
// ===========================================================================
XProtocol::XProtocol() : XNode(newNode(Map)) {}
XProtocol::XProtocol(const XProtocol& other) : XNode(other.impl_ ? deepCopy(other.impl_) : newNode(Map)) {}
XProtocol& XProtocol::operator=(const XProtocol& other) {
    if (this != &other) impl_ = other.impl_ ? deepCopy(other.impl_) : newNode(Map);
    return *this;
}
XProtocol::XProtocol(XProtocol&& other) noexcept : XNode(std::move(other.impl_)) {}
XProtocol& XProtocol::operator=(XProtocol&& other) noexcept {
    impl_.swap(other.impl_);
    return *this;
}
XProtocol::~XProtocol() = default;

namespace {

void writeNode(std::string& out, const Ptr& node, const std::string& prefix) {
    switch (node->type) {
        case ReadonlyXNode::Map:
            if (node->children.empty()) {
                if (!prefix.empty()) out += prefix + " = {}\n";
                return;
            }
            for (const auto& c : node->children)
                writeNode(out, c, prefix.empty() ? keyComponent(c->name) : prefix + "." + keyComponent(c->name));
            return;
        case ReadonlyXNode::Array: {
            if (node->length == 0) {
                out += prefix + " = []\n";
                return;
            }
            // Unset elements before a set one come back by themselves; only
            // an unset last one is written, to keep the length.
            bool lastWritten = false;
            for (const auto& [index, c] : node->elements) {
                if (c->type == ReadonlyXNode::Unset) continue;
                writeNode(out, c, prefix + "." + std::to_string(index));
                lastWritten = index + 1 == node->length;
            }
            if (!lastWritten) out += prefix + "." + std::to_string(node->length - 1) + " = null\n";
            return;
        }
        case ReadonlyXNode::Unset: out += prefix + " = null\n"; return;
        default: out += prefix + " = " + leafText(*node) + "\n"; return;
    }
}

// --- reader -----------------------------------------------------------------

struct LineError {
    std::string reason;
};

bool isBareChar(char c) {
    const auto u = static_cast<unsigned char>(c);
    return (u < 0x80 && std::isalnum(u)) || c == '_';
}

void skipBlanks(const std::string& s, size_t& pos) {
    while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\t')) ++pos;
}

std::vector<PathPart> readPath(const std::string& line, size_t& pos) {
    std::vector<PathPart> comps;
    while (true) {
        PathPart c;
        if (pos < line.size() && line[pos] == '"') {
            std::string reason;
            if (!readQuoted(line, pos, c.text, reason)) throw LineError{"path: " + reason};
            c.quoted = true;
        } else {
            const size_t start = pos;
            while (pos < line.size() && isBareChar(line[pos])) ++pos;
            if (pos == start) {
                if (pos >= line.size() || line[pos] == '=' || line[pos] == ' ' || line[pos] == '\t' ||
                    line[pos] == '.')
                    throw LineError{comps.empty() && (pos >= line.size() || line[pos] != '.')
                                        ? "missing path before '='"
                                        : "empty path component"};
                throw LineError{std::string("invalid character '") + line[pos] + "' in path"};
            }
            c.text = line.substr(start, pos - start);
        }
        comps.push_back(std::move(c));
        if (comps.size() > kMaxPathDepth)
            throw LineError{"path deeper than " + std::to_string(kMaxPathDepth) + " components"};
        if (pos < line.size() && line[pos] == '.') {
            ++pos;
            continue;
        }
        if (pos < line.size() && line[pos] != '=' && line[pos] != ' ' && line[pos] != '\t')
            throw LineError{std::string("invalid character '") + line[pos] + "' in path"};
        return comps;
    }
}

std::string pathText(const std::vector<PathPart>& comps) {
    std::string out;
    for (const auto& c : comps) {
        if (!out.empty()) out += '.';
        out += c.quoted ? quoteString(c.text) : c.text;
    }
    return out;
}

enum class ValueKind { Leaf, EmptyMap, EmptyArray, Null };

// Parses the value token at pos into `leaf` (or reports a container/null).
ValueKind readValue(const std::string& line, size_t& pos, XNodeImpl& leaf) {
    if (pos >= line.size() || line[pos] == '#') throw LineError{"missing value after '='"};
    if (line[pos] == '"') {
        std::string reason;
        leaf.type = ReadonlyXNode::String;
        if (!readQuoted(line, pos, leaf.sv, reason)) throw LineError{reason};
        return ValueKind::Leaf;
    }
    const size_t start = pos;
    while (pos < line.size() && line[pos] != ' ' && line[pos] != '\t' && line[pos] != '#') ++pos;
    const std::string tok = line.substr(start, pos - start);
    if (tok == "{}") return ValueKind::EmptyMap;
    if (tok == "[]") return ValueKind::EmptyArray;
    if (tok == "null") return ValueKind::Null;
    if (tok == "true" || tok == "false") {
        leaf.type = ReadonlyXNode::Bool;
        leaf.bv = tok == "true";
        return ValueKind::Leaf;
    }
    // Numbers: [+-]digits is a long; with a '.' or an exponent a double; inf and nan are doubles.
    const char* b = tok.data();
    const char* e = tok.data() + tok.size();
    if (b != e && *b == '+') ++b;
    const char* body = b != e && *b == '-' ? b + 1 : b;
    const std::string rest(body, e);
    bool digitsOnly = !rest.empty() && std::all_of(rest.begin(), rest.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (digitsOnly) {
        long v = 0;
        auto r = std::from_chars(b, e, v);
        if (r.ec == std::errc::result_out_of_range) throw LineError{"number " + tok + " out of range for long"};
        if (r.ec != std::errc() || r.ptr != e) throw LineError{"invalid value '" + tok + "'"};
        leaf.type = ReadonlyXNode::Long;
        leaf.lv = v;
        return ValueKind::Leaf;
    }
    bool numeric = !rest.empty();
    bool mantissaDigit = false;
    {
        size_t i = 0;
        while (i < rest.size() && std::isdigit(static_cast<unsigned char>(rest[i]))) ++i, mantissaDigit = true;
        if (i < rest.size() && rest[i] == '.') {
            ++i;
            while (i < rest.size() && std::isdigit(static_cast<unsigned char>(rest[i]))) ++i, mantissaDigit = true;
        }
        if (mantissaDigit && i < rest.size() && (rest[i] == 'e' || rest[i] == 'E')) {
            ++i;
            if (i < rest.size() && (rest[i] == '+' || rest[i] == '-')) ++i;
            const size_t expStart = i;
            while (i < rest.size() && std::isdigit(static_cast<unsigned char>(rest[i]))) ++i;
            if (i == expStart) numeric = false;
        }
        if (i != rest.size() || !mantissaDigit) numeric = false;
    }
    if (rest == "inf" || rest == "nan") numeric = true;
    if (!numeric) throw LineError{"invalid value '" + tok + "'"};
    double d = 0.0;
    auto r = std::from_chars(b, e, d);
    if (r.ec == std::errc::result_out_of_range) throw LineError{"number " + tok + " out of range for double"};
    if (r.ec != std::errc() || r.ptr != e) throw LineError{"invalid value '" + tok + "'"};
    leaf.type = ReadonlyXNode::Double;
    leaf.dv = d;
    return ValueKind::Leaf;
}

void readLine(const Ptr& root, const std::string& line) {
    size_t pos = 0;
    skipBlanks(line, pos);
    if (pos >= line.size() || line[pos] == '#') return;
    const std::vector<PathPart> comps = readPath(line, pos);
    skipBlanks(line, pos);
    if (pos >= line.size() || line[pos] != '=') throw LineError{"expected '=' after the path"};
    ++pos;
    skipBlanks(line, pos);
    XNodeImpl value;
    const ValueKind kind = readValue(line, pos, value);
    skipBlanks(line, pos);
    if (pos < line.size() && line[pos] != '#') throw LineError{"unexpected text after the value"};

    const bool parentIsArray = comps.size() >= 2 && comps.back().numeric();
    if (kind == ValueKind::Null && !parentIsArray)
        throw LineError{"null is only allowed for array elements"};

    Ptr target;
    try {
        target = walkCreate(root, comps, true);
    } catch (const Exception& e) {
        throw LineError{e.what()};
    }
    if (target->type != ReadonlyXNode::Unset) {
        throw LineError{"duplicate entry " + pathText(comps)};
    }
    switch (kind) {
        case ValueKind::Null: break;
        case ValueKind::EmptyMap: resetTo(target, ReadonlyXNode::Map); break;
        case ValueKind::EmptyArray: resetTo(target, ReadonlyXNode::Array); break;
        case ValueKind::Leaf: copyValue(*target, value); break;
    }
}

// Merges src into dst (src wins), keeping dst's other children.
void mergeInto(const Ptr& dst, const Ptr& src) {
    if (src->type == ReadonlyXNode::Map) {
        if (dst->type != ReadonlyXNode::Map) resetTo(dst, ReadonlyXNode::Map);
        for (const auto& sc : src->children) {
            Ptr dc = mapFind(dst, sc->name);
            if (!dc) {
                mapPut(dst, deepCopy(sc));
            } else {
                mergeInto(dc, sc);
            }
        }
    } else if (src->type == ReadonlyXNode::Array) {
        if (dst->type != ReadonlyXNode::Array) resetTo(dst, ReadonlyXNode::Array);
        if (dst->length < src->length) arrayResize(dst, src->length);
        for (const auto& [index, sc] : src->elements) {
            if (sc->type == ReadonlyXNode::Unset) continue;
            Ptr& dc = dst->elements[index];
            if (!dc) {
                dc = newNode(ReadonlyXNode::Unset, sc->name);
                dc->parent = dst;
            }
            mergeInto(dc, sc);
        }
    } else if (src->type != ReadonlyXNode::Unset) {
        resetTo(dst, src->type);
        copyValue(*dst, *src);
    }
}

}  // namespace

DuvStatus XProtocol::SaveToStream(std::string& text) const {
    text.clear();
    if (impl_) writeNode(text, impl_, "");
    return I_OK;
}

DuvStatus XProtocol::SaveToStream(std::ostream& out) const {
    std::string text;
    SaveToStream(text);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    return out ? I_OK : I_FAIL;
}

XProtocol XProtocol::LoadFromText(const std::string& text, const std::string& sourceName) {
    XProtocol p;
    size_t start = 0;
    long lineNo = 0;
    // A byte-order mark written by some editors is not part of the first path.
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) start = 3;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        ++lineNo;
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        try {
            readLine(p.impl_, line);
        } catch (const LineError& e) {
            throw Exception(sourceName + ":" + std::to_string(lineNo) + ": " + e.reason);
        }
        if (end == text.size()) break;
        start = end + 1;
    }
    return p;
}

XProtocol XProtocol::LoadFromFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw Exception(path + ": cannot open: " + std::strerror(errno));
    std::ostringstream ss;
    ss << in.rdbuf();
    if (in.bad()) throw Exception(path + ": read error");
    return LoadFromText(ss.str(), path);
}

void XProtocol::Merge(const XProtocol& other) {
    if (!other.impl_ || !impl_ || other.impl_ == impl_) return;
    mergeInto(impl_, other.impl_);
}

bool operator==(const XProtocol& a, const XProtocol& b) {
    std::string ta, tb;
    a.SaveToStream(ta);
    b.SaveToStream(tb);
    return ta == tb;
}

// ===========================================================================
// Property-backed nodes
// ===========================================================================
XNode detail::MakePropertyNode(Rudu::Component* component, const std::string& objectName,
                               const std::string& propertyName, std::shared_ptr<const void> keepAlive,
                               bool mustExist) {
    auto impl = newNode(ReadonlyXNode::Bad, propertyName);
    impl->property = std::make_unique<XNodeImpl::PropertyRef>();
    impl->property->component = component;
    impl->property->objectName = objectName;
    impl->property->propertyName = propertyName;
    impl->property->keepAlive = std::move(keepAlive);
    if (mustExist && !findDescriptor(*impl->property))
        throw Exception(PropertyNotFoundMessage(objectName, propertyName));
    return XNodeImpl::node(impl);
}

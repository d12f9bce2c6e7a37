// The measurement protocol tree.
//
// A tree of named nodes: maps (named children in insertion order), arrays
// (indexed elements, possibly unset) and leaves (long, double, bool, string).
// Paths are dotted; a numeric component selects an array element
// ("MEAS.adFlipAngleDegree.1"). XNode and ReadonlyXNode are handles: copying
// a handle does not copy the node. XProtocol owns a tree; copying an
// XProtocol copies the whole tree.
//
// Text form (read by LoadFromText/LoadFromFile, written by SaveToStream): one
// leaf per line, `path = value`. `123` long, `1.5`/`1e-3` double,
// `true`/`false` bool, `"text"` string with C escapes (\" \\ \n \t \r \xHH).
// `{}` an empty map, `[]` an empty array, `null` an unset array element
// (written only where needed to keep an array's length). A map key that is
// not an identifier ([A-Za-z_][A-Za-z0-9_]*) is written quoted, e.g.
// `GraphOverlay."1".Type`, so that it is not taken for an array index.
// `#` starts a comment (outside strings). Blank lines are ignored.
#pragma once

#include <iosfwd>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "duvhost/Framework.h"

namespace detail {
struct XNodeImpl;
}

class ReadonlyXNode {
public:
    // Thrown for a missing node that must exist, a wrong type, a refused
    // property, and by the text reader ("file:line: reason").
    class Exception : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
    };

    enum Type { Bad = 0, Map, Array, Long, Double, Bool, String, Unset };

    ReadonlyXNode();
    virtual ~ReadonlyXNode();

    bool IsBad() const;   // no node behind the handle, or an unset element
    bool IsOk() const { return !IsBad(); }
    bool IsType(Type t) const { return GetType() == t; }
    Type GetType() const;
    bool IsLeaf() const;

    const std::string& Name() const;  // the node's own name ("3" for array element 3)
    std::string Path() const;         // dotted path from the tree's root

    long Count() const;      // children of a map, elements of an array, 0 for a leaf
    long Dimension() const;  // array length; 1 for a leaf; 0 for a map or a bad node

    // Relative dotted path. A missing node throws Exception naming the path
    // when mustExist is set, else returns a bad handle.
    ReadonlyXNode At(const std::string& path, bool mustExist = true) const;
    ReadonlyXNode At(long index, bool mustExist = true) const;  // array element
    ReadonlyXNode operator[](const std::string& path) const { return At(path, true); }
    std::vector<std::string> ChildNames() const;                // map keys in order

    // Conversions; a bad node or an unconvertible type throws Exception.
    // ToLong of a double rounds to nearest; ToBool of a long or double is
    // value != 0; ToDouble of a long or bool converts; ToString of a string
    // is its text, of other leaves their text form.
    long ToLong() const;
    double ToDouble() const;
    bool ToBool() const;
    std::string ToString() const;

    // Every node that a path with '*' components selects, in index order.
    // Without '*' it is the one node (or none when missing).
    std::vector<ReadonlyXNode> Select(const std::string& pattern) const;

protected:
    explicit ReadonlyXNode(std::shared_ptr<detail::XNodeImpl> impl);
    std::shared_ptr<detail::XNodeImpl> impl_;
    friend struct detail::XNodeImpl;
    friend class XProtocol;
};

class XNode : public ReadonlyXNode {
public:
    XNode();

    XNode At(const std::string& path, bool mustExist = true);
    XNode At(long index, bool mustExist = true);
    XNode operator[](const std::string& path) { return At(path, true); }
    using ReadonlyXNode::At;

    // Replace the value of a leaf (or of an unset element); the node takes the
    // new type. On a bad node these throw Exception; on a node that stands
    // for a stage property (MrFunctor::At) they set that property, throwing
    // "Node: <stage>: SetProperty - Parameter not found <name>" when the
    // stage has no such property.
    void FromLong(long v);
    void FromDouble(double v);
    void FromBool(bool v);
    void FromString(const std::string& v);

    void SetArraySize(long n);  // arrays only; new elements are unset

    // Children of a map node (replacing a child of the same name), or of an
    // array element when name is a number.
    XNode CreateLongParam(const std::string& name, long v);
    XNode CreateDoubleParam(const std::string& name, double v);
    XNode CreateBoolParam(const std::string& name, bool v);
    XNode CreateStringParam(const std::string& name, const std::string& v);
    XNode CreateArray(const std::string& name, long size);
    XNode CreateMap(const std::string& name);

    // Sets a leaf at a relative path, creating the maps and arrays on the way
    // (a numeric component makes its parent an array).
    XNode SetLong(const std::string& path, long v);
    XNode SetDouble(const std::string& path, double v);
    XNode SetBool(const std::string& path, bool v);
    XNode SetString(const std::string& path, const std::string& v);

protected:
    explicit XNode(std::shared_ptr<detail::XNodeImpl> impl);
    friend struct detail::XNodeImpl;
    friend class XProtocol;
    friend class MrFunctor;
};

class XProtocol : public XNode {
public:
    XProtocol();  // an empty root map
    XProtocol(const XProtocol& other);
    XProtocol& operator=(const XProtocol& other);
    XProtocol(XProtocol&&) noexcept;
    XProtocol& operator=(XProtocol&&) noexcept;
    ~XProtocol() override;

    // Text form; returns I_OK (0), or I_FAIL when the stream failed.
    DuvStatus SaveToStream(std::ostream& out) const;
    DuvStatus SaveToStream(std::string& text) const;

    // Parse the text form. sourceName names the file in error messages:
    // "<sourceName>:<line>: <reason>". Throws ReadonlyXNode::Exception.
    static XProtocol LoadFromText(const std::string& text, const std::string& sourceName = "<text>");
    static XProtocol LoadFromFile(const std::string& path);

    // Merges every leaf of other into this tree (other wins).
    void Merge(const XProtocol& other);
};

bool operator==(const XProtocol& a, const XProtocol& b);  // same text form

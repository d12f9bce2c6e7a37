// Graphics overlay stored in an image header's protocol tree (layout in
// Graphics.h).
#include "duvhost/Graphics.h"

#include <cstring>
#include <string>

namespace {

const char* const kOverlay = "GraphOverlay";

void writeColor(XNode& node, const MrColor& c) {
    XNode color = node.CreateArray("Color", 3);
    color.CreateDoubleParam("0", c.red);
    color.CreateDoubleParam("1", c.green);
    color.CreateDoubleParam("2", c.blue);
}

void writePoint(XNode point, const MrPoint& p) {
    point.CreateDoubleParam("X", p.X);
    point.CreateDoubleParam("Y", p.Y);
    point.CreateDoubleParam("Z", p.Z);
}

double readDouble(const ReadonlyXNode& parent, const std::string& name) {
    const ReadonlyXNode n = parent.At(name, false);
    return n.IsOk() && n.IsLeaf() ? n.ToDouble() : 0.0;
}

MrColor readColor(const ReadonlyXNode& element) {
    MrColor c;
    const ReadonlyXNode color = element.At("Color", false);
    if (!color.IsOk()) return c;
    double v[3] = {0.0, 0.0, 0.0};
    for (long k = 0; k < 3 && k < color.Dimension(); ++k) {
        const ReadonlyXNode e = color.At(k, false);
        if (e.IsOk() && e.IsLeaf()) v[k] = e.ToDouble();
    }
    return {v[0], v[1], v[2]};
}

MrPoint readPoint(const ReadonlyXNode& point) {
    if (!point.IsOk()) return {};
    return {readDouble(point, "X"), readDouble(point, "Y"), readDouble(point, "Z")};
}

}  // namespace

MrPolygon::MrPolygon(const MrPoint* pts, long count, const MrColor& c) : color(c) {
    if (pts && count > 0) points.assign(pts, pts + count);
}

GraphOverlay::GraphOverlay(XProtocol& protocol) : protocol_(protocol) {
    node_ = protocol_.At(kOverlay, false);
    if (!node_.IsType(ReadonlyXNode::Map)) node_ = protocol_.CreateMap(kOverlay);
}

long GraphOverlay::ElementCount() const {
    long n = 0;
    for (const std::string& name : node_.ChildNames())
        if (node_.At(name, false).IsType(ReadonlyXNode::Map)) ++n;
    return n;
}

namespace {
// Element i (0-based) in creation order, or a bad node.
ReadonlyXNode elementAt(const XNode& overlay, long i) {
    long k = 0;
    for (const std::string& name : overlay.ChildNames()) {
        const ReadonlyXNode e = overlay.At(name, false);
        if (!e.IsType(ReadonlyXNode::Map)) continue;
        if (k++ == i) return e;
    }
    return ReadonlyXNode();
}

std::string typeOf(const ReadonlyXNode& element) {
    if (!element.IsOk()) return "";
    const ReadonlyXNode t = element.At("Type", false);
    return t.IsType(ReadonlyXNode::String) ? t.ToString() : "";
}
}  // namespace

bool GraphOverlay::isPolygon(long i) const { return typeOf(elementAt(node_, i)) == "polygon"; }

MrPolygon GraphOverlay::polygon(long i) const {
    MrPolygon p;
    const ReadonlyXNode e = elementAt(node_, i);
    if (typeOf(e) != "polygon") return p;
    p.color = readColor(e);
    const ReadonlyXNode data = e.At("PointData", false);
    if (data.IsType(ReadonlyXNode::String)) {
        const std::string bytes = data.ToString();
        p.points.resize(bytes.size() / sizeof(MrPoint));
        if (!p.points.empty()) std::memcpy(p.points.data(), bytes.data(), p.points.size() * sizeof(MrPoint));
    }
    return p;
}

MrText GraphOverlay::text(long i) const {
    MrText t;
    const ReadonlyXNode e = elementAt(node_, i);
    if (typeOf(e) != "text") return t;
    t.color = readColor(e);
    t.position = readPoint(e.At("Position", false));
    const ReadonlyXNode s = e.At("Text", false);
    if (s.IsType(ReadonlyXNode::String)) t.text = s.ToString();
    return t;
}

XNode XNodeTraits_MrPolygon_createNode(GraphOverlay& overlay, const std::string& name) {
    XNode e = overlay.node().CreateMap(name);
    e.CreateStringParam("Type", "polygon");
    return e;
}

void XNodeTraits_MrPolygon_setValue(XNode& node, const MrPolygon& polygon) {
    writeColor(node, polygon.color);
    // One leaf for all points: a display curve has thousands of them, and one
    // protocol node per coordinate made every display image cost milliseconds.
    static_assert(sizeof(MrPoint) == 3 * sizeof(double), "MrPoint is three packed doubles");
    node.CreateLongParam("PointCount", long(polygon.points.size()));
    node.CreateStringParam("PointData", std::string(reinterpret_cast<const char*>(polygon.points.data()),
                                                    polygon.points.size() * sizeof(MrPoint)));
}

XNode XNodeTraits_MrText_createNode(GraphOverlay& overlay, const std::string& name) {
    XNode e = overlay.node().CreateMap(name);
    e.CreateStringParam("Type", "text");
    return e;
}

void XNodeTraits_MrText_setValue(XNode& node, const MrText& text) {
    writeColor(node, text.color);
    writePoint(node.CreateMap("Position"), text.position);
    node.CreateStringParam("Text", text.text);
}

// Graphics overlay carried in an image header's protocol tree.
//
// The overlay is the map "GraphOverlay" of the protocol. Each element is a
// map named by its number ("1", "2", ...) holding
//   Type = "polygon" | "text"
//   Color.0..2 = red, green, blue (doubles, 0..1)
//   polygon: PointCount = n, PointData = n x (X, Y, Z) as little-endian
//            doubles packed into one string leaf (read back with polygon())
//   text:    Position.X / .Y / .Z, Text = "..."
// so that a receiver can read every element back in order.
#pragma once

#include <string>
#include <vector>

#include "duvhost/XProtocol.h"

struct MrPoint {
    double X = 0.0, Y = 0.0, Z = 0.0;
    MrPoint() = default;
    MrPoint(double x, double y, double z = 0.0) : X(x), Y(y), Z(z) {}
};

struct MrColor {
    double red = 0.0, green = 0.0, blue = 0.0;
    MrColor() = default;
    MrColor(double r, double g, double b) : red(r), green(g), blue(b) {}
};

class MrPolygon {
public:
    MrPolygon() = default;
    MrPolygon(const MrPoint* points, long count, const MrColor& color);
    std::vector<MrPoint> points;
    MrColor color;
};

class MrText {
public:
    MrText() = default;
    MrText(const MrPoint& position, const MrColor& color, const std::string& text)
        : position(position), color(color), text(text) {}
    MrPoint position;
    MrColor color;
    std::string text;
};

class GraphOverlay {
public:
    // Creates the overlay map in the protocol when it is missing.
    explicit GraphOverlay(XProtocol& protocol);
    long ElementCount() const;
    XNode node() const { return node_; }

    // Reading back (receivers, tests): element i (0-based, in creation order).
    bool isPolygon(long i) const;
    MrPolygon polygon(long i) const;
    MrText text(long i) const;

private:
    XProtocol& protocol_;
    XNode node_;
};

// Element node `name` in the overlay, to be filled with setValue.
XNode XNodeTraits_MrPolygon_createNode(GraphOverlay& overlay, const std::string& name);
void XNodeTraits_MrPolygon_setValue(XNode& node, const MrPolygon& polygon);
XNode XNodeTraits_MrText_createNode(GraphOverlay& overlay, const std::string& name);
void XNodeTraits_MrText_setValue(XNode& node, const MrText& text);

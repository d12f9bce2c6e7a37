// One image for the scanner's online display, shared by the spectrum, trace
// and calibration displays: a blank 64 x 64 picture whose header carries the
// graphs as a graphics overlay (polygons and texts, numbered 1, 2, 3, ... in
// the order they are added). Defined in Derovo2OnlineDisplay.cpp.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "duvhost/DuvObj.h"
#include "duvhost/Graphics.h"
#include "duvhost/Headers.h"

class Derovo2;

// Colours of the display graphs.
inline const MrColor kDisplayGreen{0.0, 1.0, 0.0};
inline const MrColor kDisplayRed{1.0, 0.0, 0.0};
inline const MrColor kDisplayGrey{0.6, 0.6, 0.6};
inline const MrColor kDisplayCyan{0.0, 1.0, 1.0};
inline const MrColor kDisplayYellow{1.0, 1.0, 0.0};

// A signal maximum below the smallest normal float (zero, or no values at
// all) would give a graph without height; such a graph is scaled to 1.0.
float Derovo2DisplayScale(float maximum);

// Appends printf-formatted text to the NUL-terminated text in buffer (of
// `size` characters), truncating at the buffer's end as snprintf does.
#if defined(__GNUC__)
__attribute__((format(printf, 3, 4)))
#endif
void Derovo2DisplayAppend(char* buffer, size_t size, const char* format, ...);

class Derovo2DisplayImage {
public:
    // Creates the header with its overlay and the blank image. `function`
    // names the display operation in traces; `modifyFailure` is the text
    // traced when the view cannot be restricted to the 64 x 64 image.
    // Failures are traced and the image is still drawn and sent as far as
    // the host allows (a display problem never stops the measurement).
    Derovo2DisplayImage(const char* function, const char* modifyFailure);
    Derovo2DisplayImage(const Derovo2DisplayImage&) = delete;
    Derovo2DisplayImage& operator=(const Derovo2DisplayImage&) = delete;

    // Adds a polygon through the points. The vector form lends its storage
    // to the overlay node and gets it back unchanged, so that large curves
    // are not copied.
    void addPolygon(std::vector<MrPoint>& points, const MrColor& color);
    void addPolygon(const MrPoint* points, long count, const MrColor& color);
    void addText(double x, double y, const MrColor& color, const std::string& text);

    // Sets the display header entries (times from the stage's protocol) and
    // sends the image to the stage's environment.
    void send(const Derovo2& stage);

private:
    std::string nextElementName() const;

    const char* function_;
    MrPtr<MiniHeader> header_;
    std::optional<GraphOverlay> overlay_;
    MrPtr<DuvObj> img_;
    DuvAs imgAs_;
};

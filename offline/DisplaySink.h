// Renders the online-display images a stage sends (a blank 64 x 64 image
// whose header carries a graphics overlay) as SVG pictures.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "duvhost/Headers.h"

namespace duvoffline {

// Text for XML character data and attributes: markup characters as entities,
// control characters other than tab and line ends as '?'.
std::string escapeXml(const std::string& s);

// The overlay of a header as an SVG document: polygons as polylines and
// texts (multi-line texts as one tspan per line) in their colours, in
// element order, on the 64 x 64 image scaled to `size` pixels. Texts start
// where the module put them, in a font size that keeps them inside the
// picture (lines that do not fit even in the smallest size are wrapped).
std::string overlayToSvg(const MiniHeader& header, int size = 640);

// Kind of a display image, from its title (the first text element):
// "spectrum", "trace", "calibration" or "display".
std::string displayKind(const MiniHeader& header);

class DisplaySink {
public:
    DisplaySink(std::string directory, bool keepAll);
    // Keeps the image as the latest of its kind (and writes <kind>_<n>.svg
    // with keepAll). I_OK, or I_FAIL when that file cannot be written.
    DuvStatus receive(const MiniHeader& header);
    // Writes latest_<kind>.svg for every kind seen; returns the files written.
    // Throws std::runtime_error naming the first file that could not be
    // written (here or in receive).
    std::vector<std::string> flush();
    long count() const;
    std::map<std::string, long> countsByKind() const;

private:
    std::string dir_;
    bool keepAll_;
    mutable std::mutex mutex_;
    long count_ = 0;
    std::map<std::string, long> kinds_;
    std::map<std::string, MrPtr<MiniHeader>> latest_;
    std::string error_;  // the first failed write of a kept image
};

}  // namespace duvoffline

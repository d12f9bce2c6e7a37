#include "DisplaySink.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>
#include <stdexcept>

#include "TextFiles.h"

#include "duvhost/Graphics.h"

namespace duvoffline {

std::string escapeXml(const std::string& s) {
    std::string out;
    for (char c : s) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            default:
                // XML 1.0 allows no control characters but tab, line feed and carriage return.
                if (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n' && c != '\r')
                    out += '?';
                else
                    out += c;
        }
    }
    return out;
}


namespace {

std::string rgb(const MrColor& c) {
    auto ch = [](double v) { return int(v < 0 ? 0 : v > 1 ? 255 : v * 255.0 + 0.5); };
    char buf[32];
    std::snprintf(buf, sizeof buf, "rgb(%d,%d,%d)", ch(c.red), ch(c.green), ch(c.blue));
    return buf;
}


// A coordinate of the display (a fraction of the image) in SVG pixels. A
// graph over data without range (all zero) can compute non-finite points;
// they are drawn at the image's edge rather than written as "nan".
double scaled(double fraction, int size) { return std::isfinite(fraction) ? fraction * size : 0.0; }

// Advance of a monospace character per pixel of font size.
constexpr double kCharWidth = 0.6;

// Lines of a text cut to at most `perLine` characters, at the last blank
// where there is one.
std::vector<std::string> wrapped(const std::vector<std::string>& lines, size_t perLine) {
    std::vector<std::string> out;
    for (std::string line : lines) {
        while (line.size() > perLine) {
            size_t cut = line.rfind(' ', perLine);
            if (cut == std::string::npos || cut == 0) cut = perLine;
            out.push_back(line.substr(0, cut));
            line = line.substr(line[cut] == ' ' ? cut + 1 : cut);
        }
        out.push_back(line);
    }
    return out;
}

}  // namespace

std::string overlayToSvg(const MiniHeader& header, int size) {
    XProtocol protocol = header.getProtocol();  // GraphOverlay needs a mutable tree
    GraphOverlay overlay(protocol);
    std::ostringstream os;
    os << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << size << "\" height=\"" << size
       << "\" viewBox=\"0 0 " << size << " " << size << "\">\n";
    os << "<rect x=\"0\" y=\"0\" width=\"" << size << "\" height=\"" << size << "\" fill=\"black\"/>\n";
    // The module fixes where a text starts and what it says; the font size is
    // ours. A text keeps the normal size where it fits, else it gets smaller
    // (down to a smallest readable size) and what still does not fit wraps.
    const double normalFont = size * 0.022, smallestFont = size * 0.014, margin = size * 0.005;
    for (long i = 0; i < overlay.ElementCount(); ++i) {
        if (overlay.isPolygon(i)) {
            const MrPolygon p = overlay.polygon(i);
            os << "<polyline fill=\"none\" stroke-width=\"1\" stroke=\"" << rgb(p.color) << "\" points=\"";
            for (size_t k = 0; k < p.points.size(); ++k)
                os << (k ? " " : "") << scaled(p.points[k].X, size) << "," << scaled(p.points[k].Y, size);
            os << "\"/>\n";
        } else {
            const MrText t = overlay.text(i);
            const double x = scaled(t.position.X, size), top = scaled(t.position.Y, size);
            std::vector<std::string> lines;
            std::istringstream in(t.text);
            size_t longest = 1;
            for (std::string line; std::getline(in, line);) {
                lines.push_back(line);
                longest = std::max(longest, line.size());
            }
            const double room = std::max(1.0, size - x - margin);
            double fontSize = std::min(normalFont, room / (kCharWidth * double(longest)));
            // Lines below the picture's bottom edge: smaller still.
            fontSize = std::min(fontSize, (size - top - margin) / (1.2 * double(std::max<size_t>(1, lines.size()))));
            fontSize = std::max(fontSize, smallestFont);
            lines = wrapped(lines, std::max<size_t>(1, size_t(room / (kCharWidth * fontSize))));
            // A dark outline keeps the text readable where it crosses a curve.
            os << "<text x=\"" << x << "\" y=\"" << top + fontSize << "\" fill=\"" << rgb(t.color)
               << "\" font-family=\"monospace\" font-size=\"" << fontSize << "\" stroke=\"black\" stroke-width=\""
               << fontSize * 0.25 << "\" paint-order=\"stroke\" xml:space=\"preserve\">";
            for (size_t k = 0; k < lines.size(); ++k)
                os << "<tspan x=\"" << x << "\" dy=\"" << (k == 0 ? 0.0 : fontSize * 1.2) << "\">" << escapeXml(lines[k])
                   << "</tspan>";
            os << "</text>\n";
        }
    }
    os << "</svg>\n";
    return os.str();
}

std::string displayKind(const MiniHeader& header) {
    XProtocol protocol = header.getProtocol();
    GraphOverlay overlay(protocol);
    for (long i = 0; i < overlay.ElementCount(); ++i) {
        if (overlay.isPolygon(i)) continue;
        const std::string title = overlay.text(i).text;
        if (title.find("alibration") != std::string::npos) return "calibration";
        if (title.find("profile") != std::string::npos) return "trace";
        if (title.find("spectrum") != std::string::npos) return "spectrum";
        break;
    }
    return "display";
}

DisplaySink::DisplaySink(std::string directory, bool keepAll) : dir_(std::move(directory)), keepAll_(keepAll) {}

DuvStatus DisplaySink::receive(const MiniHeader& header) {
    const std::string kind = displayKind(header);
    std::lock_guard<std::mutex> g(mutex_);
    const long n = ++kinds_[kind];
    ++count_;
    // Rendering is deferred for the latest image: a spectrum polyline can hold
    // 65536 points, and a measurement sends one image per readout.
    latest_[kind] = header.deepCopy();
    if (keepAll_) {
        char name[64];
        std::snprintf(name, sizeof name, "/%s_%05ld.svg", kind.c_str(), n);
        try {
            writeTextFile(dir_ + name, overlayToSvg(header));
        } catch (const std::exception& e) {
            if (error_.empty()) error_ = e.what();
            return I_FAIL;
        }
    }
    return I_OK;
}

std::vector<std::string> DisplaySink::flush() {
    std::lock_guard<std::mutex> g(mutex_);
    std::vector<std::string> written;
    for (const auto& [kind, header] : latest_) {
        const std::string path = dir_ + "/latest_" + kind + ".svg";
        writeTextFile(path, overlayToSvg(*header));
        written.push_back(path);
    }
    // A kept image that could not be written fails the run here, after the
    // measurement, like the latest ones.
    if (!error_.empty()) throw std::runtime_error(error_);
    return written;
}

long DisplaySink::count() const {
    std::lock_guard<std::mutex> g(mutex_);
    return count_;
}

std::map<std::string, long> DisplaySink::countsByKind() const {
    std::lock_guard<std::mutex> g(mutex_);
    return kinds_;
}

}  // namespace duvoffline

#include "Plots.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <sstream>

#include "DisplaySink.h"

namespace duvoffline {

namespace {

std::string number(double v, const char* format = "%.3g") {
    char buf[32];
    std::snprintf(buf, sizeof buf, format, v);
    return buf;
}

// Width of a text in a sans-serif font of `size` pixels (a generous average).
double textWidth(const std::string& s, double size) { return 0.62 * size * double(s.size()); }

struct Box {
    double x0, y0, x1, y1;
    bool overlaps(const Box& b) const { return x0 < b.x1 && b.x0 < x1 && y0 < b.y1 && b.y0 < y1; }
};

// A tick spacing of 1, 2 or 5 times a power of ten giving at most `most` ticks.
double tickStep(double range, int most) {
    const double raw = range / most;
    const double p = std::pow(10.0, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 5.0, 10.0})
        if (m * p >= raw) return m * p;
    return 10.0 * p;
}

}  // namespace

std::string spectrumSvg(const std::vector<std::complex<double>>& fid, const SpectrumAxis& axis,
                        const std::string& title) {
    const std::vector<double> mag = zeroFilledMagnitude(fid);
    const std::vector<Peak> peaks = findPeaks(fid, axis);
    const size_t n = mag.size();
    const double w = 800, h = 400, left = 56, right = 20, top = 34, bottom = 48;
    const double plotW = w - left - right, plotH = h - top - bottom;
    double maxMag = 1e-30;
    for (double m : mag) maxMag = std::max(maxMag, m);
    const bool haveAxis = axis.hasPpmScale(n);
    // Without a frequency the axis is the point index.
    auto coord = [&](double index) { return haveAxis ? axis.ppmOf(index, n) : index; };
    const double high = coord(double(n - 1)), low = coord(0.0);
    auto xOf = [&](double c) { return left + (high - c) / (high - low) * plotW; };
    // The curve fills 80% of the height: the labels of the tallest peaks fit above it.
    auto yOf = [&](double m) { return top + plotH - 0.8 * plotH * m / maxMag; };

    // One column of the picture per pixel: its smallest and largest value.
    const int columns = int(plotW);
    std::vector<double> colMax(size_t(columns), -1.0), colMin(size_t(columns), 1e300);
    for (size_t k = 0; k < n; ++k) {
        const int c = std::clamp(int(xOf(coord(double(k))) - left), 0, columns - 1);
        colMax[size_t(c)] = std::max(colMax[size_t(c)], mag[k]);
        colMin[size_t(c)] = std::min(colMin[size_t(c)], mag[k]);
    }
    std::ostringstream os;
    os << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << w << "\" height=\"" << h << "\" viewBox=\"0 0 " << w
       << " " << h << "\" font-family=\"sans-serif\">\n"
       << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    const std::string heading = title + " (magnitude spectrum)";
    os << "<text x=\"" << left << "\" y=\"20\" font-size=\"" << std::min(14.0, plotW / (0.62 * double(heading.size())))
       << "\">" << escapeXml(heading) << "</text>\n";
    os << "<rect x=\"" << left << "\" y=\"" << top << "\" width=\"" << plotW << "\" height=\"" << plotH
       << "\" fill=\"none\" stroke=\"#999\"/>\n";
    os << "<polyline fill=\"none\" stroke=\"black\" stroke-width=\"1\" points=\"";
    bool first = true;
    for (int c = 0; c < columns; ++c) {
        if (colMax[size_t(c)] < 0.0) continue;
        const double x = left + c + 0.5;
        os << (first ? "" : " ") << x << "," << yOf(colMax[size_t(c)]);
        if (colMin[size_t(c)] < colMax[size_t(c)]) os << " " << x << "," << yOf(colMin[size_t(c)]);
        first = false;
    }
    os << "\"/>\n";

    // Axis: ticks inside the range, labels kept inside the picture.
    // A counted loop: on an axis far from zero (a file states its centre) or
    // one that is not finite, adding the step need not move t.
    const double step = tickStep(high - low, 10);
    const double firstTick = std::ceil(low / step) * step;
    for (int k = 0; k <= 11 && std::isfinite(firstTick) && step > 0.0; ++k) {
        const double t = firstTick + k * step;
        if (!(t <= high + 1e-9)) break;
        const double x = xOf(t);
        os << "<line x1=\"" << x << "\" y1=\"" << top + plotH << "\" x2=\"" << x << "\" y2=\"" << top + plotH + 5
           << "\" stroke=\"black\"/>\n";
        const std::string label = number(std::fabs(t) < 1e-9 ? 0.0 : t, "%g");
        const double half = textWidth(label, 11) / 2;
        os << "<text x=\"" << std::clamp(x, half, w - half) << "\" y=\"" << top + plotH + 18
           << "\" font-size=\"11\" text-anchor=\"middle\">" << label << "</text>\n";
    }
    os << "<text x=\"" << left + plotW / 2 << "\" y=\"" << h - 8 << "\" font-size=\"12\" text-anchor=\"middle\">"
       << (haveAxis ? "chemical shift (ppm)" : "point (no frequency: no ppm axis)") << "</text>\n";
    os << "<text transform=\"translate(18," << top + plotH / 2
       << ") rotate(-90)\" font-size=\"12\" text-anchor=\"middle\">magnitude (a.u.)</text>\n";

    // Peak labels, tallest first: above the curve under them, lifted past
    // labels already placed, left out when they would leave the plot.
    if (haveAxis) {
        std::vector<Peak> byHeight = peaks;
        std::sort(byHeight.begin(), byHeight.end(), [](const Peak& a, const Peak& b) { return a.height > b.height; });
        std::vector<Box> placed;
        const double size = 10, lineH = 12;
        for (const Peak& p : byHeight) {
            const std::string label = number(p.ppm, "%.2f");
            const double tw = textWidth(label, size);
            const double x = std::clamp(xOf(p.ppm), left + tw / 2, left + plotW - tw / 2);
            double curveTop = top + plotH;
            for (int c = std::max(0, int(x - tw / 2 - left)); c < std::min(columns, int(x + tw / 2 - left) + 1); ++c)
                if (colMax[size_t(c)] >= 0.0) curveTop = std::min(curveTop, yOf(colMax[size_t(c)]));
            Box b{x - tw / 2 - 1, curveTop - 3 - lineH, x + tw / 2 + 1, curveTop - 3};
            bool free = false;
            for (int lift = 0; lift < 4 && b.y0 >= top; ++lift) {
                free = std::none_of(placed.begin(), placed.end(), [&](const Box& o) { return o.overlaps(b); });
                if (free) break;
                b.y0 -= lineH;
                b.y1 -= lineH;
            }
            if (!free || b.y0 < top) continue;
            placed.push_back(b);
            os << "<text x=\"" << x << "\" y=\"" << b.y1 - 2 << "\" font-size=\"" << size
               << "\" fill=\"#c00000\" text-anchor=\"middle\">" << label << "</text>\n";
        }
    }
    os << "</svg>\n";
    return os.str();
}

std::string orientationLabel(const std::array<double, 3>& d) {
    static const char* plus[3] = {"R", "A", "H"};
    static const char* minus[3] = {"L", "P", "F"};
    const double len = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
    if (!(len > 0.0)) return "";
    std::array<int, 3> order{0, 1, 2};
    std::sort(order.begin(), order.end(), [&](int a, int b) { return std::fabs(d[size_t(a)]) > std::fabs(d[size_t(b)]); });
    auto letter = [&](int i) { return std::string(d[size_t(i)] > 0 ? plus[i] : minus[i]); };
    std::string s = letter(order[0]);
    // sin(22.5 deg): the second axis is named from that angle on.
    if (std::fabs(d[size_t(order[1])]) / len > 0.3827) s += letter(order[1]);
    return s;
}

void orientMap(MapPicture& m, const niftimrs::Volume& v) {
    if (v.qformCode == 0) return;
    const std::array<double, 3> x{v.affine[0][0], v.affine[1][0], v.affine[2][0]};
    const std::array<double, 3> y{v.affine[0][1], v.affine[1][1], v.affine[2][1]};
    m.plusX = orientationLabel(x);
    m.minusX = orientationLabel({-x[0], -x[1], -x[2]});
    m.plusY = orientationLabel(y);
    m.minusY = orientationLabel({-y[0], -y[1], -y[2]});
}

namespace {

// The first entry of a metadata key that the standard makes an array (a
// plain value is taken as it is).
template <class T>
bool firstOf(const nlohmann::json& meta, const char* key, T& value) {
    if (!meta.is_object() || !meta.contains(key)) return false;
    const nlohmann::json& v = meta[key].is_array() && !meta[key].empty() ? meta[key][0] : meta[key];
    try {
        value = v.get<T>();
        return true;
    } catch (const nlohmann::json::exception&) {
        return false;
    }
}

}  // namespace

std::vector<std::complex<double>> voxelFid(const niftimrs::Volume& v, int64_t voxel) {
    const int64_t voxels = v.dims[0] * v.dims[1] * v.dims[2], nt = v.dims[3];
    std::vector<std::complex<double>> fid(static_cast<size_t>(nt));
    for (int64_t t = 0; t < nt; ++t) fid[size_t(t)] = v.data[size_t(voxel + voxels * t)];
    return fid;
}

SpectrumAxis spectrumAxisOf(const niftimrs::Volume& v, std::string& nucleus) {
    const nlohmann::json meta = nlohmann::json::parse(v.json.empty() ? "{}" : v.json, nullptr, false);
    SpectrumAxis axis{v.dwellSeconds, 0.0, 0.0};
    nucleus = "1H";
    firstOf(meta, "SpectrometerFrequency", axis.frequencyMHz);
    firstOf(meta, "ResonantNucleus", nucleus);
    axis.referencePpm = defaultCentrePpm(nucleus);
    firstOf(meta, "SpecFreqChemShift", axis.referencePpm);
    return axis;
}

namespace {

// Viridis at nine points, interpolated linearly.
std::string viridis(double t) {
    static const double stops[9][3] = {{68, 1, 84},    {72, 40, 120},  {62, 73, 137},  {49, 104, 142}, {38, 130, 142},
                                       {31, 158, 137}, {53, 183, 121}, {110, 206, 88}, {253, 231, 37}};
    t = std::clamp(std::isfinite(t) ? t : 0.0, 0.0, 1.0) * 8.0;
    const int i = std::min(7, int(t));
    const double f = t - i;
    char buf[32];
    std::snprintf(buf, sizeof buf, "rgb(%d,%d,%d)", int(stops[i][0] + f * (stops[i + 1][0] - stops[i][0]) + 0.5),
                  int(stops[i][1] + f * (stops[i + 1][1] - stops[i][1]) + 0.5),
                  int(stops[i][2] + f * (stops[i + 1][2] - stops[i][2]) + 0.5));
    return buf;
}

}  // namespace

std::string mapSvg(const MapPicture& m) {
    const long nx = std::max(1L, m.nx), ny = std::max(1L, m.ny);
    const double cell = std::max(6.0, 320.0 / double(std::max(nx, ny)));
    const double edge = 22, top = 30 + edge, left = edge, barW = 16, barGap = 10, barText = 64;
    const double mapW = cell * double(nx), mapH = cell * double(ny);
    const double w = left + mapW + edge + barGap + barW + barText, h = top + mapH + edge;
    double lo = 1e300, hi = -1e300;
    for (double v : m.values)
        if (std::isfinite(v)) lo = std::min(lo, v), hi = std::max(hi, v);
    if (lo > hi) lo = hi = 0.0;
    std::ostringstream os;
    os << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << w << "\" height=\"" << h << "\" viewBox=\"0 0 " << w
       << " " << h << "\" font-family=\"sans-serif\">\n<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    os << "<text x=\"4\" y=\"18\" font-size=\"" << std::min(13.0, (w - 8) / (0.62 * double(m.title.size()))) << "\">"
       << escapeXml(m.title) << "</text>\n";
    for (long y = 0; y < ny; ++y)
        for (long x = 0; x < nx; ++x) {
            const double v = size_t(x + nx * y) < m.values.size() ? m.values[size_t(x + nx * y)] : 0.0;
            os << "<rect x=\"" << left + cell * double(x) << "\" y=\"" << top + cell * double(ny - 1 - y) << "\" width=\""
               << cell << "\" height=\"" << cell << "\" fill=\"" << viridis(hi > lo ? (v - lo) / (hi - lo) : 0.0)
               << "\"/>\n";
        }
    auto label = [&](const std::string& text, double x, double y) {
        if (!text.empty())
            os << "<text x=\"" << x << "\" y=\"" << y << "\" font-size=\"13\" font-weight=\"bold\" "
               << "text-anchor=\"middle\" dominant-baseline=\"middle\">" << text << "</text>\n";
    };
    label(m.plusY, left + mapW / 2, top - edge / 2);
    label(m.minusY, left + mapW / 2, top + mapH + edge / 2);
    label(m.minusX, left / 2, top + mapH / 2);
    label(m.plusX, left + mapW + edge / 2, top + mapH / 2);
    // Colour bar: the largest value at the top.
    const double bx = left + mapW + edge + barGap;
    os << "<defs><linearGradient id=\"bar\" x1=\"0\" y1=\"1\" x2=\"0\" y2=\"0\">";
    for (int i = 0; i <= 8; ++i) os << "<stop offset=\"" << i / 8.0 << "\" stop-color=\"" << viridis(i / 8.0) << "\"/>";
    os << "</linearGradient></defs>\n<rect x=\"" << bx << "\" y=\"" << top << "\" width=\"" << barW << "\" height=\""
       << mapH << "\" fill=\"url(#bar)\" stroke=\"#666\"/>\n";
    os << "<text x=\"" << bx + barW + 4 << "\" y=\"" << top + 10 << "\" font-size=\"10\">" << number(hi) << "</text>\n"
       << "<text x=\"" << bx + barW + 4 << "\" y=\"" << top + mapH << "\" font-size=\"10\">" << number(lo) << "</text>\n";
    os << "</svg>\n";
    return os.str();
}

}  // namespace duvoffline

// Online display of the spectroscopy stage: after every readout the scanner's
// display receives one image with graphs of the current spectrum, the current
// free-induction decay and the accumulated spectrum (feed_online_display), or
// of the profiles of the volume of interest (feed_online_display_trace). The
// image is a blank 64 x 64 picture; the graphs travel as a graphics overlay in
// its header. Also the display image shared with the calibration display.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "Derovo2.h"
#include "Derovo2DisplayImage.h"
#include "Derovo2Trace.h"

namespace {

// Longest vector the display shows.
constexpr long kDisplayMaxPoints = 65536;

// Window of a power curve: [start, end] within 0 ... vectorsize - 1; the
// whole vector unless leftindex < rightindex. Empty (end < start) when the
// window lies outside the vector.
void displayWindow(long vectorsize, long leftindex, long rightindex, long& start, long& end)
{
    if (leftindex < rightindex) {
        start = std::max(leftindex, 0L);
        end = std::min(rightindex, vectorsize - 1);
    } else {
        start = 0;
        end = vectorsize - 1;
    }
}

}  // namespace

float Derovo2DisplayScale(float maximum)
{
    // Also catches NaN: a curve scale must be a positive normal number.
    return maximum >= FLT_MIN ? maximum : 1.0f;
}

void Derovo2DisplayAppend(char* buffer, size_t size, const char* format, ...)
{
    const size_t used = std::strlen(buffer);
    if (used + 1 >= size) return;
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer + used, size - used, format, args);
    va_end(args);
}

// ---------------------------------------------------------------------------
// The display image
// ---------------------------------------------------------------------------

Derovo2DisplayImage::Derovo2DisplayImage(const char* function, const char* modifyFailure)
    : function_(function), header_(Rudu::HeapObject<MiniHeader>::Create()), img_(Rudu::HeapObject<DuvObj>::Create())
{
    if (header_) overlay_.emplace(header_->getProtocol());

    if (!img_ || !img_->create(SH, {{COL, 64}, {LIN, 64}})) {
        D2_NOTICE(function_) << "Failed while creating img, aborting...";
    }
    if (img_) imgAs_.init(img_);
    if (!imgAs_.modify({{COL, 0, 64, 1}, {LIN, 0, 64, 1}})) {
        D2_NOTICE(function_) << modifyFailure;
    }
    if (!DuvWrapper::Preset(imgAs_, 0.0)) {
        D2_NOTICE(function_) << "Failed during Preset<imgAs>, aborting...";
        DuvFramework::SetLastError(0x2000A, nullptr);
    }
}

std::string Derovo2DisplayImage::nextElementName() const
{
    char name[32];
    std::snprintf(name, sizeof(name), "%ld", overlay_->ElementCount() + 1);
    return name;
}

void Derovo2DisplayImage::addPolygon(std::vector<MrPoint>& points, const MrColor& color)
{
    if (!overlay_) return;
    MrPolygon polygon;
    polygon.color = color;
    polygon.points.swap(points);
    XNode node = XNodeTraits_MrPolygon_createNode(*overlay_, nextElementName());
    XNodeTraits_MrPolygon_setValue(node, polygon);
    polygon.points.swap(points);
}

void Derovo2DisplayImage::addPolygon(const MrPoint* points, long count, const MrColor& color)
{
    if (!overlay_) return;
    const MrPolygon polygon(points, count, color);
    XNode node = XNodeTraits_MrPolygon_createNode(*overlay_, nextElementName());
    XNodeTraits_MrPolygon_setValue(node, polygon);
}

void Derovo2DisplayImage::addText(double x, double y, const MrColor& color, const std::string& text)
{
    if (!overlay_) return;
    XNode node = XNodeTraits_MrText_createNode(*overlay_, nextElementName());
    XNodeTraits_MrText_setValue(node, MrText(MrPoint(x, y), color, text));
}

void Derovo2DisplayImage::send(const Derovo2& stage)
{
    if (header_) {
        MiniHeader& h = *header_;
        h.set("SkipSaveOnHost", true, true);
        h.set("SecondaryCaptured", true, true);
        h.set("AcquisitionTime", "00:00:00");
        h.set("Actual3DImaPartNumber", -5555);
        h.set("ContrastFlowDuration", 0);
        h.set("EchoNumber", 0);
        h.set("SeriesNo", 1);
        h.set("NumberInSeries", 1);
        h.set("SliceMeasurementDuration", 1000);
        // A protocol without echo times shows TE 0 rather than reading past the list.
        h.set("TE", stage.m_viTE_Time.empty() ? 0.0 : stage.m_viTE_Time[0] * 0.001);
        h.set("TI", stage.m_iTI_Time * 0.001);
        h.set("TR", stage.m_iTR_Time * 0.001);
        h.set("TriggerTime", 0);
        h.set("UsedChannelMask", 1);
        h.set("SliceNo", 0);
        h.set("DuvDimString", "xxx");
        h.set("WindowCenter", 200);
        h.set("WindowWidth", 300);
        h.set("CoilString", "xxx");
        h.set("SequenceDescription", "Test");
        h.set("LargestImagePixelValue", 350);
        h.set("SmallestImagePixelValue", 0);
    }
    ImageControl control;
    const DuvStatus status = DuvUtils::send(imgAs_, header_, control, stage.environment());
    if (DuvIsFailure(status)) {
        D2_NOTICE(function_) << "Failed during DuvUtils::send(...), aborting...\n";
    }
}

// ---------------------------------------------------------------------------
// Graph geometry and power curves
// ---------------------------------------------------------------------------

void Derovo2::compute_graph(float width_off_r, float height_off_r, float width_used_r, float height_used_r,
                            float* data, long ndata, long datastep, float ymin, float ymax, MrPoint* ptlist,
                            MrPoint* frame_ptlist, MrPoint* xaxis_ptlist, float xaxis_aty, MrPoint* yaxis_ptlist,
                            float yaxis_atx, MrPoint* yaxis_ptlist2, float yaxis_atx2)
{
    // Without points or without a y range the scale factors would divide by
    // zero: the markers then sit at the left edge and every value on the
    // bottom edge, so that no coordinate is infinite or undefined.
    const float step = ndata >= 1 ? width_used_r / static_cast<float>(ndata) : 0.0f;
    const float range = ymax - ymin;
    const float vf = range > 0.0f ? height_used_r / range : 0.0f;
    const float bottom = height_off_r + height_used_r;
    const float right = width_off_r + width_used_r;
    auto y = [&](float v) {
        float h = (v - ymin) * vf;
        if (!(h > 0.0f)) h = 0.0f;  // below ymin, or not a number
        if (h > height_used_r) h = height_used_r;
        return bottom - h;
    };

    if (ptlist && data && ndata >= 1) {
        for (long i = 0; i < ndata; ++i) {
            ptlist[i].X = width_off_r + static_cast<float>(i) * step;
            ptlist[i].Y = y(data[i * datastep]);
        }
    }
    if (frame_ptlist) {
        frame_ptlist[0].X = width_off_r, frame_ptlist[0].Y = height_off_r;
        frame_ptlist[1].X = right, frame_ptlist[1].Y = height_off_r;
        frame_ptlist[2].X = right, frame_ptlist[2].Y = bottom;
        frame_ptlist[3].X = width_off_r, frame_ptlist[3].Y = bottom;
        frame_ptlist[4].X = width_off_r, frame_ptlist[4].Y = height_off_r;
    }
    if (xaxis_ptlist) {
        const float yy = y(xaxis_aty);
        xaxis_ptlist[0].X = width_off_r, xaxis_ptlist[0].Y = yy;
        xaxis_ptlist[1].X = right, xaxis_ptlist[1].Y = yy;
    }
    auto vertical = [&](MrPoint* line, float atx) {
        const float x = width_off_r + atx * step;
        line[0].X = x, line[0].Y = height_off_r;
        line[1].X = x, line[1].Y = bottom;
    };
    if (yaxis_ptlist) vertical(yaxis_ptlist, yaxis_atx);
    if (yaxis_ptlist2) vertical(yaxis_ptlist2, yaxis_atx2);
}

void Derovo2::complex2magn_data(float* src, float* dst, long vectorsize, long* new_vectorsize, float* max,
                                unsigned char ffton, long leftindex, long rightindex)
{
    long start = 0, end = -1;
    displayWindow(vectorsize, leftindex, rightindex, start, end);
    const long count = std::max(end - start + 1, 0L);
    if (new_vectorsize) *new_vectorsize = count;

    const float* in = src;
    if (count >= 1 && ffton) {
        // The transform only takes power-of-two lengths; a vector it refuses
        // has no spectrum to show and is drawn as zeros rather than as
        // whatever the output buffer held before.
        if (!_fft.fft(static_cast<unsigned long>(vectorsize), +1.0, src, 1, 0, dst, 1, 1, 0, 0.0))
            std::fill(dst, dst + 2 * vectorsize, 0.0f);
        in = dst;
    }
    // In place when in == dst: point k is written after complex point
    // start + k (at float 2 (start + k) >= k) has been read.
    float largest = -FLT_MAX;
    for (long k = 0; k < count; ++k) {
        const float re = in[2 * (start + k)];
        const float im = in[2 * (start + k) + 1];
        const float power = re * re + im * im;
        dst[k] = power;
        if (power > largest) largest = power;
    }
    if (max) *max = (count < 1 || !(largest >= FLT_MIN)) ? 1.0f : largest;
}

// ---------------------------------------------------------------------------
// Spectroscopy display
// ---------------------------------------------------------------------------

void Derovo2::feed_online_display(float* src, float* src2, float* max, float* max2, float* max3, long vectorsize,
                                  long cAve, long nAve, long cEco, long nEco, long cRep, long nRep, long leftindex,
                                  long rightindex)
{
    static const char* const kFunction = "feed_online_display";
    Derovo2DisplayImage image(kFunction, "COL, LIN modification of imgAs failed in Derovo2::feed_online_display");

    const long npts = std::max(std::min(vectorsize, kDisplayMaxPoints), 0L);
    long start = 0, end = -1;
    displayWindow(npts, leftindex, rightindex, start, end);
    // Zero frequency, counted from the first point shown.
    const float centre = static_cast<float>(npts * 0.5 - start);

    if (_disp_values.size() < static_cast<size_t>(2 * npts)) _disp_values.resize(2 * npts);
    float* const values = _disp_values.data();

    // One graph: its power curve is in `values`; the running maximum wins
    // over the curve's own when it is larger.
    auto graph = [&](float x, float y, float w, float h, long count, float m, float* running, const MrColor& color,
                     bool marker) {
        if (running) {
            if (m > *running)
                *running = m;
            else
                m = *running;
        }
        _disp_points.resize(static_cast<size_t>(count));
        MrPoint frame[5], line[2];
        compute_graph(x, y, w, h, values, count, 1, static_cast<float>(-0.02 * m), static_cast<float>(1.02 * m),
                      _disp_points.data(), frame, nullptr, 0.0f, marker ? line : nullptr, centre, nullptr, 0.0f);
        image.addPolygon(_disp_points, color);
        image.addPolygon(frame, 5, kDisplayGrey);
        if (marker) image.addPolygon(line, 2, kDisplayGrey);
    };

    long count = 0;
    float m = 0.0f;
    // Current spectrum, over the window.
    complex2magn_data(src2, values, npts, &count, &m, 1, leftindex, rightindex);
    graph(0.05f, 0.05f, 0.9f, 0.625f, count, m, max, kDisplayGreen, true);
    const float shownMax = max ? *max : m;
    // Current free-induction decay, all points.
    complex2magn_data(src2, values, npts, &count, &m, 0, 0, 0);
    graph(0.05f, 0.725f, 0.425f, 0.175f, count, m, max2, kDisplayRed, false);
    // Accumulated spectrum, over the window.
    complex2magn_data(src, values, npts, &count, &m, 1, leftindex, rightindex);
    graph(0.525f, 0.725f, 0.425f, 0.175f, count, m, max3, kDisplayCyan, true);

    char title[100] = "";
    const bool csi = m_iFinalMatrixSizeRead >= 2 || m_iFinalMatrixSizePhase > 1 ||
                     (m_iKSpace_Dimension == 4 && m_iFinalMatrixSizeSlice > 1);
    if (csi) {
        Derovo2DisplayAppend(title, sizeof(title), "Current phase-encoded spectrum");
        if (nEco > 1) Derovo2DisplayAppend(title, sizeof(title), " (Eco %ld/%ld)", cEco + 1, nEco);
        Derovo2DisplayAppend(title, sizeof(title), "; signal max. = %.2e", shownMax);
    } else {
        Derovo2DisplayAppend(title, sizeof(title), "Single-shot spectrum (Ave %ld/%ld", cAve + 1, nAve - 1);
        if (nEco > 1) Derovo2DisplayAppend(title, sizeof(title), "; Eco %ld/%ld", cEco + 1, nEco);
        if (nRep > 1) Derovo2DisplayAppend(title, sizeof(title), "; Rep %ld/%ld", cRep + 1, nRep);
        Derovo2DisplayAppend(title, sizeof(title), "); signal max. = %.2e", shownMax);
    }
    image.addText(0.3, 0.05, kDisplayGreen, title);
    image.addText(0.05, 0.725, kDisplayRed, "Single-shot FID");

    char accumulated[100] = "Accumulated spectrum";
    if (nRep > 1 || nEco > 1) {
        Derovo2DisplayAppend(accumulated, sizeof(accumulated), " (");
        if (nEco > 1) Derovo2DisplayAppend(accumulated, sizeof(accumulated), "Eco %ld/%ld", cEco + 1, nEco);
        if (nEco > 1 && nRep > 1) Derovo2DisplayAppend(accumulated, sizeof(accumulated), "; ");
        if (nRep > 1) Derovo2DisplayAppend(accumulated, sizeof(accumulated), "Rep %ld/%ld", cRep + 1, nRep);
        Derovo2DisplayAppend(accumulated, sizeof(accumulated), ")");
    }
    image.addText(0.525, 0.725, kDisplayCyan, accumulated);

    image.send(*this);
}

// ---------------------------------------------------------------------------
// Trace display: profiles of the volume of interest along read, phase and
// slice direction, with the volume's borders marked.
// ---------------------------------------------------------------------------

void Derovo2::feed_online_display_trace(float* src, long vectorsize, long lType, long cAve, long nAve, long cRep,
                                        long nRep)
{
    static const char* const kFunction = "feed_online_display_trace";
    Derovo2DisplayImage image(kFunction, "COL, LIN modification of imgAs failed in Derovo2::feed_online_display_trace");

    const long n = std::max(std::min(vectorsize, kDisplayMaxPoints), 0L);

    // The traces live in the display array, one repetition after the other;
    // repetitions beyond its end were never stored there.
    long values = nRep > 0 ? nRep * n : 0;
    if (values > kOnDispArrayFloats) {
        D2_NOTICE(kFunction) << "==>Trace display: the display array holds " << kOnDispArrayFloats / n
                             << " repetitions of " << n << " points, the signal maximum is taken over these";
        values = kOnDispArrayFloats;
    }
    float signalMax = -FLT_MAX;
    for (long i = 0; i < values; ++i) signalMax = std::max(signalMax, src[i]);
    signalMax = Derovo2DisplayScale(signalMax);

    // Read, phase and slice trace, n points each; the ones not measured stay zero.
    _disp_values.assign(static_cast<size_t>(3 * n), 0.0f);
    float* const traces = _disp_values.data();
    if (lType >= 3 && lType <= 5) {
        if (cRep >= 0 && (cRep + 1) * n <= kOnDispArrayFloats) {
            std::copy(src + cRep * n, src + (cRep + 1) * n, traces + (lType - 3) * n);
        } else {
            D2_NOTICE(kFunction) << "==>Trace display: repetition " << cRep + 1
                                 << " lies beyond the display array, its trace is shown as zero";
        }
    } else {
        std::copy(src, src + 3 * n, traces);
    }

    // Orientation of the volume: markers only for a volume along one main axis.
    bool rotated = std::fabs(m_fVoI_InPlaneRotAngle) > 0.01;
    const float normal[3] = {m_fVoI_Normal_Sag, m_fVoI_Normal_Cor, m_fVoI_Normal_Tra};
    int mainCount = 0, mainAxis = -1;
    for (int a = 0; a < 3; ++a) {
        if (normal[a] > 0.99 && normal[a] < 1.01) {
            ++mainCount;
            mainAxis = a;
        } else if (std::fabs(normal[a]) > 0.01) {
            rotated = true;
        }
    }
    if (mainCount != 1) rotated = true;
    double centre[3] = {0.0, 0.0, 0.0};  // read, phase, slice (mm)
    switch (mainAxis) {
    case 0:  // sagittal
        centre[0] = -m_fVoI_Position_Tra, centre[1] = -m_fVoI_Position_Cor, centre[2] = -m_fVoI_Position_Sag;
        break;
    case 1:  // coronal
        centre[0] = m_fVoI_Position_Tra, centre[1] = -m_fVoI_Position_Sag, centre[2] = -m_fVoI_Position_Cor;
        break;
    case 2:  // transverse
        centre[0] = m_fVoI_Position_Sag, centre[1] = -m_fVoI_Position_Cor, centre[2] = -m_fVoI_Position_Tra;
        break;
    default:
        break;
    }

    // Borders in trace points. A border of 0 is not drawn; so is one outside
    // the trace (on either side), and every border when the trace has no
    // field of view. The upper border is measured from the true lower one,
    // also when that lies outside and is not drawn.
    const double width[3] = {m_fVoI_RoFOV, m_fVoI_PeFOV, m_fVoI_SliceThickness};
    const double fov = m_iSpec_TraceFOV;
    double lower[3] = {0.0, 0.0, 0.0}, upper[3] = {0.0, 0.0, 0.0};
    if (fov > 0.0) {
        for (int t = 0; t < 3; ++t) {
            const double lo = n * (0.5 + (centre[t] - 0.5 * width[t]) / fov);
            const double up = lo + width[t] * n / fov;
            lower[t] = (lo >= 0.0 && lo <= n - 1) ? lo : 0.0;
            upper[t] = (up >= 0.0 && up <= n - 1) ? up : 0.0;
        }
    }

    const float panelX[3] = {0.05f, 0.35416666f, 0.6583333f};
    const float ymin = static_cast<float>(-0.02 * signalMax), ymax = static_cast<float>(1.02 * signalMax);
    _disp_points.resize(static_cast<size_t>(n));
    for (int t = 0; t < 3; ++t) {
        MrPoint frame[5], lowerLine[2], upperLine[2];
        compute_graph(panelX[t], 0.05f, 0.29166666f, 0.8f, traces + t * n, n, 1, ymin, ymax, _disp_points.data(),
                      frame, nullptr, 0.0f, lowerLine, static_cast<float>(lower[t]), upperLine,
                      static_cast<float>(upper[t]));
        image.addPolygon(_disp_points, kDisplayCyan);
        image.addPolygon(frame, 5, kDisplayGrey);
        if (!rotated && lower[t] != 0.0) image.addPolygon(lowerLine, 2, kDisplayRed);
        if (!rotated && upper[t] != 0.0) image.addPolygon(upperLine, 2, kDisplayRed);
    }

    char title[100] = "";
    Derovo2DisplayAppend(title, sizeof(title), "%s", lType == 1 ? "VoI profile" : "OVS profile");
    Derovo2DisplayAppend(title, sizeof(title), " (Ave %ld/%ld; Rep %ld/%ld); signal max. = %.2e", cAve + 1, nAve - 1,
                         cRep + 1, nRep, signalMax);
    image.addText(0.3, 0.05, kDisplayGreen, title);
    if (lType < 4) image.addText(0.15583333, 0.9, kDisplayYellow, "Read trace");
    if (lType == 1 || lType == 2 || lType == 4) image.addText(0.46, 0.9, kDisplayYellow, "Phase trace");
    if (lType == 1 || lType == 2 || lType == 5) image.addText(0.76416664, 0.9, kDisplayYellow, "Slice trace");

    image.send(*this);
}

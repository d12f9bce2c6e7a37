// Calibration display: in calibration runs the sequence steps one setting
// (a flip angle or a water-suppression delay) from repetition to repetition.
// After every readout the water peak region of all repetitions so far is
// drawn side by side as one curve, the largest and the smallest peak are
// labelled with the setting that produced them, and in the automatic
// calibration mode the reference voltage (largest peak of an excitation
// calibration) or the water-suppression flip angle (smallest peak of a VAPOR
// calibration) is kept for the calibration file that end of job writes.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <string>

#include "Derovo2.h"
#include "Derovo2DisplayImage.h"
#include "Derovo2Trace.h"

namespace {

constexpr long kCalibMaxPoints = 65536;
// Peak windows of all repetitions, one after the other.
constexpr long kCalibStoreFloats = 131072;

struct CalibSetting {
    const char* title;
    const char* units;
    long start;
    long step;
    long target;  // setting that the determined value is scaled to (RefV line)
    bool refv;
};

}  // namespace

void Derovo2::feed_online_display_calib(float* src, long vectorsize, long lType, long cAve, long nAve, long cRep,
                                        long nRep)
{
    static const char* const kFunction = "feed_online_display_calib";
    Derovo2DisplayImage image(kFunction, "COL, LIN modification of imgAs failed in Derovo2::feed_online_display_calib");

    // Peak window: 200 Hz around the centre of the spectrum, where the water
    // resonance lies.
    const long N = std::max(std::min(vectorsize, kCalibMaxPoints), 0L);
    const double dwell = m_bRemoveOversampling ? m_iDwellTimeSig * static_cast<double>(m_fReadoutOSFactor)
                                               : static_cast<double>(m_iDwellTimeSig);
    const double twoN = 2.0 * N;
    const double windowPoints = 100.0 / ((twoN / ((twoN / 1e9) * dwell)) * 0.5) * N + 0.5;
    long npts = (std::isfinite(windowPoints) && windowPoints > 0.0) ? static_cast<long>(windowPoints) : 0;
    if (npts > N) {
        D2_NOTICE(kFunction) << "==>Calibration display: the spectrum is narrower than the 200 Hz peak window, "
                                "the whole spectrum is shown";
        npts = N;
    }
    const long windowStart = (N - npts) / 2;

    // Repetitions shown: those stored in the display array (newer ones were
    // not kept there), and of these the last that fit the window store.
    long lastRep = cRep;
    if (N > 0 && npts > 0) {
        const long lastStored = (kOnDispArrayFloats - windowStart - npts) / N;
        if (lastRep > lastStored) {
            D2_NOTICE(kFunction) << "==>Calibration display: repetitions after " << lastStored + 1
                                 << " lie beyond the display array and are not shown";
            lastRep = lastStored;
        }
    }
    long firstRep = 0;
    if (npts > 0 && lastRep + 1 > kCalibStoreFloats / npts) {
        firstRep = lastRep + 1 - kCalibStoreFloats / npts;
        D2_NOTICE(kFunction) << "==>Calibration display shows repetitions " << firstRep + 1 << " to " << lastRep + 1
                             << " only: the peak window store holds " << kCalibStoreFloats / npts
                             << " repetitions of " << npts << " points";
    }
    const long shownReps = (npts > 0 && lastRep >= firstRep) ? lastRep - firstRep + 1 : 0;
    const long T = shownReps * npts;

    if (_disp_values.size() < static_cast<size_t>(T)) _disp_values.resize(static_cast<size_t>(T));
    float* const tmpstore = _disp_values.data();
    for (long r = 0; r < shownReps; ++r) {
        const float* window = src + (firstRep + r) * N + windowStart;
        std::copy(window, window + npts, tmpstore + r * npts);
    }

    // Largest peak: the largest three-point mean; an equal later one does not
    // replace it.
    long maxCentre = 0;
    float largest = -FLT_MAX;
    for (long i = 0; i + 2 < T; ++i) {
        const float mean = (tmpstore[i] + tmpstore[i + 1] + tmpstore[i + 2]) / 3;
        if (mean > largest) {
            largest = mean;
            maxCentre = i + 1;
        }
    }
    const long p = npts > 0 ? maxCentre % npts : 0;  // window point of the peak
    const long rMaxShown = npts > 0 ? maxCentre / npts : 0;

    // Smallest peak: the three-point mean at the same window point in every
    // repetition. A mean must lie wholly within the windows measured.
    long rMinShown = 0;
    float smallest = FLT_MAX;
    for (long r = 0; r < shownReps; ++r) {
        const long k = p - 1 + r * npts;
        if (k > 0 && k + 2 < T) {
            const float mean = (tmpstore[k] + tmpstore[k + 1] + tmpstore[k + 2]) / 3;
            if (mean < smallest) {
                smallest = mean;
                rMinShown = r;
            }
        }
    }

    float scale = -FLT_MAX;
    for (long i = 0; i < T; ++i) scale = std::max(scale, tmpstore[i]);
    scale = Derovo2DisplayScale(scale);

    _disp_points.resize(static_cast<size_t>(T));
    MrPoint frame[5], lineMin[2], lineMax[2];
    const long minPoint = rMinShown * npts + p;
    compute_graph(0.05f, 0.05f, 0.9f, 0.85f, tmpstore, T, 1, static_cast<float>(-0.02 * scale),
                  static_cast<float>(1.02 * scale), _disp_points.data(), frame, nullptr, 0.0f, lineMin,
                  static_cast<float>(minPoint), lineMax, static_cast<float>(rMaxShown * npts + p));
    // The two marker lines are left out of the picture: the legends name the
    // extremes and stand at their places.
    image.addPolygon(_disp_points, kDisplayCyan);
    image.addPolygon(frame, 5, kDisplayGrey);

    // The setting of repetition r is start + step x r.
    CalibSetting s{"Calibration", "", 1, 1, 0, false};
    switch (lType) {
    case 6:
        s = {"Excite flip angle calibration", " deg", static_cast<long>(m_fFlipAngleDeg1 + 0.5), m_iSpec_MyCalib_Inc,
             90, true};
        break;
    case 7:
        if (m_strSequenceFileName.find("steam") == std::string::npos)
            s = {"Refocus flip angle calibration", " deg", static_cast<long>(m_fFlipAngleDeg2 + 0.5),
                 m_iSpec_MyCalib_Inc, 180, true};
        else
            s = {"STEAM flip angle calibration", " deg", static_cast<long>(m_fFlipAngleDeg1 + 0.5),
                 m_iSpec_MyCalib_Inc, 90, true};
        break;
    case 8:
        s = {"VAPOR flip angle calibration", " deg", m_iSpec_VAPORFA, m_iSpec_MyCalib_Inc, 0, false};
        break;
    case 9:
        s = {"VAPOR delay 7 calibration", " ms", m_iSpec_VAPOR_Delay7, m_iSpec_MyCalib_Inc, 0, false};
        break;
    case 10:
        s = {"VAPOR delay 8 calibration", " ms", m_iSpec_VAPOR_Delay8, m_iSpec_MyCalib_Inc, 0, false};
        break;
    default:
        break;
    }

    char title[100] = "";
    Derovo2DisplayAppend(title, sizeof(title), "%s", s.title);
    Derovo2DisplayAppend(title, sizeof(title), " (%ld-%ld%s)", s.start, s.start + nRep * s.step, s.units);
    Derovo2DisplayAppend(title, sizeof(title), "; Ave %ld/%ld; Rep %ld/%ld", cAve + 1, nAve - 1, cRep + 1, nRep);

    const long rMax = firstRep + rMaxShown;
    const long rMin = firstRep + rMinShown;
    const long resultMax = s.start + s.step * rMax;
    char legendMax[100] = "";
    Derovo2DisplayAppend(legendMax, sizeof(legendMax), "* Max = %ld%s", resultMax, s.units);
    if (s.refv) {
        const float refv = (static_cast<float>(resultMax) / static_cast<float>(s.target)) * m_fSpec_TraRef;
        Derovo2DisplayAppend(legendMax, sizeof(legendMax), "\n   RefV = %.1f V", refv);
    }

    long resultMin = 0;
    char legendMin[100] = "";
    const bool showMin = rMin != rMax && cRep >= 1 && minPoint < T;
    if (showMin) {
        resultMin = s.start + s.step * rMin;
        Derovo2DisplayAppend(legendMin, sizeof(legendMin), "* Min = %ld%s", resultMin, s.units);
    }

    image.addText(0.3, 0.05, kDisplayGreen, title);
    image.addText(lineMax[0].X, 0.1, kDisplayRed, legendMax);
    if (showMin) image.addText(_disp_points[minPoint].X, _disp_points[minPoint].Y + 0.025, kDisplayRed, legendMin);

    if (m_iSpec_AutoCalib == 10) {
        if (lType == 6) {
            myDeterminedRefVal = (static_cast<float>(resultMax) / 90.0f) * m_fSpec_TraRef;
            D2_NOTICE(kFunction) << "Current RefV from max. water peak: " << myDeterminedRefVal << " V";
        } else if (lType == 8) {
            myVaporFAVal = resultMin;
            D2_NOTICE(kFunction) << "current WS FA from minimum water peak: " << myVaporFAVal << " deg";
        }
    }

    image.send(*this);
}

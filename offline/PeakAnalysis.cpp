#include "PeakAnalysis.h"

#include <algorithm>
#include <cmath>
#include <string>

namespace duvoffline {

namespace {

const double kPi = 3.14159265358979323846;

bool isPowerOfTwo(size_t n) { return n >= 1 && (n & (n - 1)) == 0; }

// In-place iterative radix-2 transform with exp(-2 pi i ...).
void fftPow2(std::vector<std::complex<double>>& a) {
    const size_t n = a.size();
    for (size_t i = 1, j = 0; i < n; ++i) {
        size_t bit = n >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j ^= bit;
        if (i < j) std::swap(a[i], a[j]);
    }
    for (size_t len = 2; len <= n; len <<= 1) {
        const double ang = -2.0 * kPi / double(len);
        const std::complex<double> wl(std::cos(ang), std::sin(ang));
        for (size_t i = 0; i < n; i += len) {
            std::complex<double> w(1.0, 0.0);
            for (size_t k = 0; k < len / 2; ++k) {
                const std::complex<double> u = a[i + k], v = a[i + k + len / 2] * w;
                a[i + k] = u + v;
                a[i + k + len / 2] = u - v;
                w *= wl;
            }
        }
    }
}

size_t nextPowerOfTwo(size_t n) {
    size_t p = 1;
    while (p < n) p <<= 1;
    return p;
}

}  // namespace

std::vector<std::complex<double>> centredSpectrum(const std::vector<std::complex<double>>& fid) {
    const size_t n = fid.size();
    std::vector<std::complex<double>> out(n);
    if (n == 0) return out;
    if (isPowerOfTwo(n)) {
        std::vector<std::complex<double>> a = fid;
        fftPow2(a);
        for (size_t k = 0; k < n; ++k) out[(k + n / 2) % n] = a[k];
        return out;
    }
    for (size_t k = 0; k < n; ++k) {
        std::complex<double> s = 0.0;
        const double f = double(long(k) - long(n / 2));
        for (size_t m = 0; m < n; ++m) s += fid[m] * std::polar(1.0, -2.0 * kPi * double(m) * f / double(n));
        out[k] = s;
    }
    return out;
}

double SpectrumAxis::ppmOf(double index, size_t n) const {
    const double hz = (index - double(n / 2)) / (double(n) * dwellSeconds);
    return referencePpm + hz / frequencyMHz;
}

bool SpectrumAxis::hasPpmScale(size_t n) const {
    if (n < 2 || !(dwellSeconds > 0.0) || !(frequencyMHz > 0.0)) return false;
    const double first = ppmOf(0.0, n), last = ppmOf(double(n - 1), n);
    return std::isfinite(first) && std::isfinite(last) && first != last;
}

double defaultCentrePpm(const std::string& nucleus) { return nucleus == "1H" ? 4.65 : 0.0; }

std::vector<double> zeroFilledMagnitude(const std::vector<std::complex<double>>& fid) {
    const size_t n = nextPowerOfTwo(std::max<size_t>(4 * fid.size(), 4));
    std::vector<std::complex<double>> padded(n, 0.0);
    std::copy(fid.begin(), fid.end(), padded.begin());
    const auto spec = centredSpectrum(padded);
    std::vector<double> mag(n);
    for (size_t k = 0; k < n; ++k) mag[k] = std::abs(spec[k]);
    return mag;
}

namespace {

// How far a maximum rises above the higher of the two valleys that separate
// it from a higher point on either side (or from the spectrum's end).
double prominence(const std::vector<double>& mag, size_t k) {
    double leftValley = mag[k], rightValley = mag[k];
    for (size_t i = k; i-- > 0 && mag[i] <= mag[k];) leftValley = std::min(leftValley, mag[i]);
    for (size_t i = k + 1; i < mag.size() && mag[i] <= mag[k]; ++i) rightValley = std::min(rightValley, mag[i]);
    return mag[k] - std::max(leftValley, rightValley);
}

}  // namespace

std::vector<Peak> findPeaks(const std::vector<std::complex<double>>& fid, const SpectrumAxis& axis) {
    const std::vector<double> mag = zeroFilledMagnitude(fid);
    const size_t n = mag.size();
    std::vector<Peak> peaks;
    if (n < 3 || !axis.hasPpmScale(n)) return peaks;
    std::vector<double> sorted = mag;
    std::nth_element(sorted.begin(), sorted.begin() + long(n / 2), sorted.end());
    const double median = sorted[n / 2];
    const double largest = *std::max_element(mag.begin(), mag.end());
    const double threshold = std::max(8.0 * median, 0.05 * largest);
    // The median magnitude of a spectrum that is mostly noise is about 1.18
    // times the noise's standard deviation per channel. A wiggle of noise on
    // the flank of a large peak passes the threshold but does not rise out
    // of the noise: a peak has to stand 5 of those above its valleys.
    const double minimumProminence = 5.0 * median / 1.18;
    for (size_t k = 1; k + 1 < n; ++k) {
        if (mag[k] <= threshold || mag[k] < mag[k - 1] || mag[k] <= mag[k + 1]) continue;
        if (prominence(mag, k) < minimumProminence) continue;
        // Parabola through the three points around the maximum.
        const double a = mag[k - 1], b = mag[k], c = mag[k + 1];
        const double denom = a - 2.0 * b + c;
        const double delta = denom != 0.0 ? 0.5 * (a - c) / denom : 0.0;
        Peak p;
        p.ppm = axis.ppmOf(double(k) + delta, n);
        p.hz = (p.ppm - axis.referencePpm) * axis.frequencyMHz;
        p.height = b - 0.25 * (a - c) * delta;
        p.area = 0.0;
        peaks.push_back(p);
    }
    for (Peak& p : peaks) p.area = peakArea(fid, axis, p.ppm, 0.05);
    std::sort(peaks.begin(), peaks.end(), [](const Peak& x, const Peak& y) { return x.ppm > y.ppm; });
    return peaks;
}

double peakArea(const std::vector<std::complex<double>>& fid, const SpectrumAxis& axis, double ppm, double halfWidth) {
    const std::vector<double> mag = zeroFilledMagnitude(fid);
    const size_t n = mag.size();
    if (!axis.hasPpmScale(n)) return 0.0;
    const double ppmStep = 1.0 / (double(n) * axis.dwellSeconds * axis.frequencyMHz);
    double sum = 0.0;
    for (size_t k = 0; k < n; ++k)
        if (std::abs(axis.ppmOf(double(k), n) - ppm) <= halfWidth) sum += mag[k];
    return sum * ppmStep;
}

}  // namespace duvoffline

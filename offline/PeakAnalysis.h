// Spectra of time-domain data and their peaks, as `duv inspect` reports them.
#pragma once

#include <complex>
#include <string>
#include <vector>

namespace duvoffline {

// Centred DFT with the NIfTI-MRS sign (numpy's fftshift(fft(x))):
// X[k] = sum_m x[m] exp(-2 pi i m (k - n/2) / n), index n/2 = 0 Hz.
// Any length; powers of two take the fast path.
std::vector<std::complex<double>> centredSpectrum(const std::vector<std::complex<double>>& fid);

struct Peak {
    double ppm;     // position, interpolated between points
    double hz;      // offset from the carrier
    double height;  // magnitude at the peak
    double area;    // sum of magnitudes within +-0.05 ppm (times the point spacing in ppm)
};

struct SpectrumAxis {
    double dwellSeconds;
    double frequencyMHz;
    double referencePpm;  // ppm of the spectrum's centre (the carrier)
    double ppmOf(double index, size_t n) const;  // index of a centred spectrum of n points
    // Whether n points have a ppm scale: a positive dwell time and frequency
    // that give finite, distinct ppm values at both ends (a file may hold any
    // numbers, and an overflowing scale would place peaks nowhere).
    bool hasPpmScale(size_t n) const;
};

// The centre's ppm that NIfTI-MRS readers assume when a file does not state
// it ("SpecFreqChemShift"): 4.65 for "1H", else 0.
double defaultCentrePpm(const std::string& nucleus);

// Magnitude of the centred spectrum of the FID zero-filled to four times its
// length (the next power of two at least): what peaks are found on.
std::vector<double> zeroFilledMagnitude(const std::vector<std::complex<double>>& fid);

// Peaks of a spectrum: local maxima of the magnitude above a noise-based
// threshold (8 x the median magnitude, at least 5% of the largest) that rise
// out of the noise (prominence at least 5 noise deviations, estimated from
// the median), with parabolic interpolation, on zeroFilledMagnitude().
// Sorted by ppm, descending.
std::vector<Peak> findPeaks(const std::vector<std::complex<double>>& fid, const SpectrumAxis& axis);

// Sum of the spectrum's magnitude within ppm +- halfWidth.
double peakArea(const std::vector<std::complex<double>>& fid, const SpectrumAxis& axis, double ppm, double halfWidth);

}  // namespace duvoffline

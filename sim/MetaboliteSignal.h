// The spectral side of the simulated measurements: resonances, how a readout
// samples them (dwell, readout oversampling, samples before the echo top),
// receive-coil sensitivities and noise.
#pragma once

#include <complex>
#include <string>
#include <vector>

#include "Random.h"
#include "Sampling.h"

namespace duvsim {

using duvfiles::kCarrierPpm;
using duvfiles::Sampling;
using cplx = std::complex<double>;

// One resonance: position in ppm, amplitude of its FID at the echo top
// (arbitrary units, NAA = 1 in a normal brain voxel) and its T2* (seconds).
struct Resonance {
    std::string name;
    double ppm;
    double amplitude;
    double t2star;
};

// NAA 2.01, creatine 3.03, choline 3.20, myo-inositol 3.56 and residual water
// 4.70 ppm.
std::vector<Resonance> brainSpectrum();
// The same set with the amplitude of one resonance changed (scale 0 removes it).
std::vector<Resonance> withScaled(std::vector<Resonance> set, const std::string& name, double scale);

// Refuses resonances outside the kept band (|f| must stay below 0.45 of the
// kept bandwidth so that oversampling removal keeps them whole).
void checkBand(const Sampling& s, const std::vector<Resonance>& set);

// The readout samples of one resonance with unit amplitude:
// exp(+i 2 pi f t) exp(-|t| / T2*), t = (m - pre) x acquired dwell. Raw
// readouts rotate counter-clockwise for resonances above the carrier, in the
// precession sense of the phase encoding (CsiEncoding.h): the sense the
// module's proton display window is made for.
std::vector<cplx> resonanceShape(const Sampling& s, double offsetHz, double t2star);

// Shapes of a whole set, in its order.
std::vector<std::vector<cplx>> resonanceShapes(const Sampling& s, const std::vector<Resonance>& set);

// Sum of the shapes with the set's amplitudes (times `scale`).
std::vector<cplx> fid(const std::vector<std::vector<cplx>>& shapes, const std::vector<Resonance>& set,
                      cplx scale = 1.0);

// Complex receive sensitivities: channel 0 has magnitude 1, the others a
// magnitude in [0.25, 1]; every channel a random phase.
std::vector<cplx> coilSensitivities(int channels, Random& rng);

// Noise standard deviation (real and imaginary parts alike) per acquired
// sample that gives `snr` = NAA amplitude / noise per kept sample for one
// channel of unit sensitivity and one average. Oversampling spreads the noise
// over twice the band, so the acquired samples carry sqrt(2) more of it.
double acquiredNoiseSigma(const Sampling& s, double snr);

// Readout samples for the file: every channel's signal (sensitivity x
// `signal`) plus independent noise; channel 0 first, (re, im) as float.
std::vector<float> channelSamples(const std::vector<cplx>& signal, const std::vector<cplx>& sensitivities,
                                  double noiseSigma, Random& rng);

}  // namespace duvsim

#include "MetaboliteSignal.h"

#include <cmath>
#include <cstdio>

#include "SimOptions.h"

namespace duvsim {

std::vector<Resonance> brainSpectrum() {
    return {
        {"NAA", 2.01, 1.00, 0.060},
        {"Cr", 3.03, 0.80, 0.060},
        {"Cho", 3.20, 0.60, 0.060},
        {"mI", 3.56, 0.50, 0.050},
        {"water", 4.70, 1.50, 0.040},
    };
}

std::vector<Resonance> withScaled(std::vector<Resonance> set, const std::string& name, double scale) {
    for (Resonance& r : set)
        if (r.name == name) r.amplitude *= scale;
    return set;
}

void checkBand(const Sampling& s, const std::vector<Resonance>& set) {
    const double limit = 0.45 / s.dwell;
    for (const Resonance& r : set) {
        const double f = s.offsetHz(r.ppm);
        if (std::fabs(f) >= limit) {
            char msg[160];
            std::snprintf(msg, sizeof msg, "%s at %.2f ppm (%.0f Hz) lies outside the kept band of +-%.0f Hz",
                          r.name.c_str(), r.ppm, f, limit);
            throw SimError(msg);
        }
    }
}

std::vector<cplx> resonanceShape(const Sampling& s, double offsetHz, double t2star) {
    std::vector<cplx> out(size_t(s.acquired()));
    const double dt = s.acquiredDwell();
    for (size_t m = 0; m < out.size(); ++m) {
        const double t = (double(m) - s.pre) * dt;
        out[m] = std::exp(cplx(-std::fabs(t) / t2star, 2.0 * M_PI * offsetHz * t));
    }
    return out;
}

std::vector<std::vector<cplx>> resonanceShapes(const Sampling& s, const std::vector<Resonance>& set) {
    std::vector<std::vector<cplx>> shapes;
    for (const Resonance& r : set) shapes.push_back(resonanceShape(s, s.offsetHz(r.ppm), r.t2star));
    return shapes;
}

std::vector<cplx> fid(const std::vector<std::vector<cplx>>& shapes, const std::vector<Resonance>& set, cplx scale) {
    std::vector<cplx> out(shapes.empty() ? 0 : shapes[0].size(), 0.0);
    for (size_t k = 0; k < shapes.size(); ++k) {
        const cplx a = scale * set[k].amplitude;
        if (a == 0.0) continue;
        for (size_t m = 0; m < out.size(); ++m) out[m] += a * shapes[k][m];
    }
    return out;
}

std::vector<cplx> coilSensitivities(int channels, Random& rng) {
    std::vector<cplx> s;
    for (int c = 0; c < channels; ++c) {
        const double magnitude = c == 0 ? 1.0 : rng.uniform(0.25, 1.0);
        const double phase = rng.uniform(-M_PI, M_PI);
        s.push_back(std::polar(magnitude, phase));
    }
    return s;
}

double acquiredNoiseSigma(const Sampling& s, double snr) {
    return (1.0 / snr) * std::sqrt(double(s.oversampling));
}

std::vector<float> channelSamples(const std::vector<cplx>& signal, const std::vector<cplx>& sensitivities,
                                  double noiseSigma, Random& rng) {
    std::vector<float> out;
    out.reserve(2 * signal.size() * sensitivities.size());
    for (const cplx& s : sensitivities)
        for (const cplx& x : signal) {
            const cplx v = s * x + (noiseSigma > 0.0 ? rng.complexGaussian(noiseSigma) : cplx(0.0));
            out.push_back(float(v.real()));
            out.push_back(float(v.imag()));
        }
    return out;
}

}  // namespace duvsim

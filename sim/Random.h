// A seeded random source of our own, so that one seed gives the same
// measurement on every platform and standard library (the distributions of
// <random> are not specified bit for bit).
#pragma once

#include <cmath>
#include <complex>
#include <cstdint>

namespace duvsim {

class Random {
public:
    explicit Random(uint64_t seed) {
        // splitmix64 spreads the seed over the state of xoshiro256**.
        uint64_t z = seed;
        for (uint64_t& s : state_) {
            z += 0x9E3779B97F4A7C15ULL;
            uint64_t x = z;
            x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
            x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
            s = x ^ (x >> 31);
        }
    }

    uint64_t next() {
        const uint64_t result = rotl(state_[1] * 5, 7) * 9;
        const uint64_t t = state_[1] << 17;
        state_[2] ^= state_[0];
        state_[3] ^= state_[1];
        state_[1] ^= state_[2];
        state_[0] ^= state_[3];
        state_[2] ^= t;
        state_[3] = rotl(state_[3], 45);
        return result;
    }

    // Uniform in [0, 1).
    double uniform() { return double(next() >> 11) * 0x1.0p-53; }
    double uniform(double lo, double hi) { return lo + (hi - lo) * uniform(); }

    // Standard normal (Box-Muller, both values used).
    double gaussian() {
        if (haveSpare_) {
            haveSpare_ = false;
            return spare_;
        }
        double u1 = uniform();
        while (u1 <= 0.0) u1 = uniform();
        const double u2 = uniform();
        const double r = std::sqrt(-2.0 * std::log(u1));
        spare_ = r * std::sin(2.0 * M_PI * u2);
        haveSpare_ = true;
        return r * std::cos(2.0 * M_PI * u2);
    }

    // Complex noise whose real and imaginary parts each have standard deviation sigma.
    std::complex<double> complexGaussian(double sigma) {
        const double re = gaussian();
        return {sigma * re, sigma * gaussian()};
    }

private:
    static uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
    uint64_t state_[4];
    double spare_ = 0.0;
    bool haveSpare_ = false;
};

}  // namespace duvsim

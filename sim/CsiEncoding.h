// Phase encoding of the simulated CSI: the one formula that makes the
// reconstruction's centred spatial transform return every voxel at the place
// the data set's geometry gives its index (docs/conventions.md).
#pragma once

#include <cmath>

namespace duvsim {

// Phase (radians) that a point at `offset` mm from the centre along an
// encoded direction of n points with spacing D carries at k-space index m:
// 2 pi k (offset - s), k = (m - n/2) / (n D), with the half-voxel ramp
// s = (n/2 - (n - 1)/2) D (D/2 for even n, 0 for odd n).
//
// The reconstruction transforms with exp(-i 2 pi (m - n/2)(j - n/2) / n), so a
// voxel centre offset = (j - (n - 1)/2) D comes back at index j exactly. The
// sign is that of the spectral rotation exp(+i 2 pi f t) (MetaboliteSignal.h):
// one precession sense for space and frequency.
inline double encodingPhase(int m, int n, double spacing, double offset) {
    const double k = (m - n / 2) / (n * spacing);
    const double ramp = (n / 2 - (n - 1) * 0.5) * spacing;
    return 2.0 * M_PI * k * (offset - ramp);
}

}  // namespace duvsim

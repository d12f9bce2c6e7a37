// Pictures of spectra and metabolite maps as SVG, for `duv inspect` and the
// report page: axes named, what is drawn named, labels that neither overlap
// each other nor the curve nor leave the picture.
#pragma once

#include <array>
#include <complex>
#include <string>
#include <vector>

#include "NiftiMrs.h"
#include "PeakAnalysis.h"

namespace duvoffline {

// Magnitude spectrum of a FID on a ppm axis that falls to the right, the
// peaks of findPeaks() labelled with their ppm (a label that would overlap
// another is lifted, and left out when there is no room).
std::string spectrumSvg(const std::vector<std::complex<double>>& fid, const SpectrumAxis& axis,
                        const std::string& title);

// The patient direction a world (RAS) direction points to: "R", "L", "A",
// "P", "H" or "F", with a second letter when the direction leans toward a
// second axis by more than 22.5 degrees ("RA"); empty for a zero vector.
std::string orientationLabel(const std::array<double, 3>& rasDirection);

struct MapPicture {
    std::vector<double> values;  // nx * ny, x fastest; drawn with x to the right and y upwards
    long nx = 1, ny = 1;
    std::string title;
    // The patient directions of +x and +y (orientationLabel of the affine's
    // columns); empty: the file has no geometry, and the edges are unlabelled.
    std::string plusX, minusX, plusY, minusY;
};

// The patient directions of a NIfTI-MRS file's first two voxel axes; none
// for a file without geometry.
void orientMap(MapPicture& map, const niftimrs::Volume& v);

// FID of a voxel (x fastest, then y, z) of a NIfTI-MRS file; of a file with
// further dimensions (coils, averages, ...) the first entry of each.
std::vector<std::complex<double>> voxelFid(const niftimrs::Volume& v, int64_t voxel);

// The ppm axis of a NIfTI-MRS file (dwell time, SpectrometerFrequency, and
// SpecFreqChemShift or the usual centre of ResonantNucleus from its
// metadata; "1H" when not named).
SpectrumAxis spectrumAxisOf(const niftimrs::Volume& v, std::string& nucleus);

// A colour map (viridis) of the values with a colour bar from the smallest
// to the largest value and the patient directions on the four edges.
std::string mapSvg(const MapPicture& map);

}  // namespace duvoffline

// Writes a set of NIfTI files through the writer into a directory, next to
// "expectations.json": for every file what an independent reader must find
// (shape, datatype, the pixel pattern, which images never arrived) and the
// truth of the geometry (each slice's position as the images carried it, the
// in-plane directions and spacings, and the host's patient-to-device
// rotation). tests/nifti/check_nifti.py reads both.
//
// Usage: nifti_reader_cases OUTPUT_DIRECTORY
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <sstream>

#include "NiftiTestSupport.h"
#include "duvhost/MrMath.h"

using namespace niftitest;

namespace {

struct Arrival {
    long slice, vol;
};

struct Case {
    std::string name;
    Job job;
    DuvFormat_t format = SH;
    long nCol = 16, nLin = 12, nCha = 1;  // channels of the images
    long slices = 1, vols = 1;            // slices (or partitions) and volumes of the series
    bool slab = false;
    Geometry geometry;
    std::vector<Arrival> arrivals;  // images in the order they reach the writer
    std::vector<long> shape;        // what a reader must report
};

sVec unit(sVec v) {
    const double n = std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z);
    return {v.x / n, v.y / n, v.z / n};
}

sVec cross(const sVec& a, const sVec& b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

// A double-oblique basis: the transverse one tilted about the sag axis, then
// about the cor axis, then rotated in plane.
void obliqueBasis(Geometry& g, double aboutSag, double aboutCor, double inPlane) {
    auto rotate = [&](sVec v) {
        const double cs = std::cos(aboutSag), ss = std::sin(aboutSag);
        v = {v.x, cs * v.y - ss * v.z, ss * v.y + cs * v.z};
        const double cc = std::cos(aboutCor), sc = std::sin(aboutCor);
        return sVec{cc * v.x + sc * v.z, v.y, -sc * v.x + cc * v.z};
    };
    const sVec r0 = rotate({1, 0, 0}), c0 = rotate({0, 1, 0});
    const double ci = std::cos(inPlane), si = std::sin(inPlane);
    g.row = unit({ci * r0.x + si * c0.x, ci * r0.y + si * c0.y, ci * r0.z + si * c0.z});
    g.column = unit({-si * r0.x + ci * c0.x, -si * r0.y + ci * c0.y, -si * r0.z + ci * c0.z});
    g.normal = unit(cross(g.row, g.column));
}

std::vector<Arrival> allImages(long slices, long vols, bool reverse = false) {
    std::vector<Arrival> out;
    for (long v = 0; v < vols; ++v)
        for (long s = 0; s < slices; ++s) out.push_back({reverse ? slices - 1 - s : s, v});
    return out;
}

std::string vec(const sVec& v) {
    std::ostringstream os;
    os << std::setprecision(17) << "[" << v.x << ", " << v.y << ", " << v.z << "]";
    return os.str();
}

const char* dtypeName(DuvFormat_t f) { return f == SH ? "int16" : f == FL ? "float32" : "complex64"; }

bool writeCase(const Case& c, const std::string& dir, std::ostream& json) {
    MrPtr<Writer> w = makeWriter(c.job, dir, c.name + ".nii");
    if (w->EndInit(nullptr) != I_OK) return false;
    Counts counts;
    counts.cha = c.nCha;
    (c.slab ? counts.par : counts.slc) = c.slices;
    if (c.job.nSet > 1)
        counts.set = c.vols;
    else
        counts.rep = c.vols;
    const DuvDim volDim = c.job.nSet > 1 ? SET : REP;
    for (const Arrival& a : c.arrivals) {
        TestImage s;
        s.format = c.format;
        s.nCol = c.nCol;
        s.nLin = c.nLin;
        s.nCha = c.nCha;
        s.slice = a.slice;
        s.vol = a.vol;
        s.geometry = c.geometry;
        DuvAs as = makeImage(s);
        MrPtr<MiniHeader> h = makeHeader(c.slab ? 0 : a.slice, "case " + c.name);
        ImageControl ctrl = makeControl(counts, c.slab ? 0 : a.slice, c.slab ? a.slice : 0, a.vol, volDim);
        if (w->ComputeImage(as, h, ctrl) != I_OK) return false;
    }
    if (w->endOfJob(I_ACQ_END) != I_OK) return false;

    // The host's rotation for the patient position, row by row (device = M x patient).
    const MrMath::TransformDevPat t(c.job.patientPosition);
    json << "    {\n      \"file\": \"" << c.name << ".nii\",\n      \"shape\": [";
    for (size_t i = 0; i < c.shape.size(); ++i) json << (i ? ", " : "") << c.shape[i];
    json << "],\n      \"dtype\": \"" << dtypeName(c.format) << "\",\n";
    json << "      \"n_col\": " << c.nCol << ", \"n_lin\": " << c.nLin << ", \"n_slices\": " << c.slices
         << ", \"n_vols\": " << c.vols << ", \"n_cha\": " << c.nCha << ",\n";
    json << "      \"patient_position\": \"" << c.job.patientPosition << "\",\n      \"device_matrix\": [";
    for (int r = 0; r < 3; ++r)
        json << (r ? ", " : "") << "[" << t.matrix()[r][0] << ", " << t.matrix()[r][1] << ", " << t.matrix()[r][2]
             << "]";
    json << "],\n      \"row\": " << vec(c.geometry.row) << ", \"column\": " << vec(c.geometry.column)
         << ",\n      \"row_spacing\": " << std::setprecision(17) << c.geometry.rowSpacing
         << ", \"column_spacing\": " << c.geometry.columnSpacing << ",\n      \"slice_positions\": [";
    for (long s = 0; s < c.slices; ++s) json << (s ? ", " : "") << vec(c.geometry.slicePosition(s));
    json << "],\n      \"arrived\": [";
    for (size_t i = 0; i < c.arrivals.size(); ++i)
        json << (i ? ", " : "") << "[" << c.arrivals[i].slice << ", " << c.arrivals[i].vol << "]";
    json << "]\n    }";
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: nifti_reader_cases OUTPUT_DIRECTORY\n";
        return 2;
    }
    const std::string dir = argv[1];
    std::error_code ec;
    fs::remove_all(dir, ec);
    fs::create_directories(dir);

    std::vector<Case> cases;
    const double deg = M_PI / 180.0;
    {
        Case c;
        c.name = "hfs_transverse";
        c.geometry.position = {12.5, -30.0, 44.0};
        c.geometry.rowSpacing = c.geometry.columnSpacing = 0.8;
        cases.push_back(c);
    }
    {
        Case c;
        c.name = "hfs_coronal";
        c.geometry.position = {-5.0, 20.0, -12.0};
        c.geometry.row = {1, 0, 0};
        c.geometry.column = {0, 0, -1};  // lines toward the feet
        c.geometry.normal = {0, 1, 0};
        c.geometry.rowSpacing = c.geometry.columnSpacing = 1.25;
        cases.push_back(c);
    }
    {
        Case c;
        c.name = "hfs_sagittal";
        c.geometry.position = {31.0, -4.0, 7.5};
        c.geometry.row = {0, 1, 0};
        c.geometry.column = {0, 0, -1};
        c.geometry.normal = {-1, 0, 0};
        c.format = FL;
        cases.push_back(c);
    }
    {
        Case c;
        c.name = "hfs_double_oblique";
        c.geometry.position = {-17.0, 9.0, 23.0};
        obliqueBasis(c.geometry, 17 * deg, -28 * deg, 11 * deg);
        c.geometry.rowSpacing = 0.9;
        c.geometry.columnSpacing = 0.9;
        cases.push_back(c);
    }
    {
        Case c;
        c.name = "anisotropic_odd";
        c.nCol = 15;
        c.nLin = 9;
        c.geometry.position = {3.0, 2.0, 1.0};
        obliqueBasis(c.geometry, -9 * deg, 6 * deg, 0.0);
        c.geometry.rowSpacing = 0.6;
        c.geometry.columnSpacing = 1.4;
        c.format = FL;
        cases.push_back(c);
    }
    for (const char* position : {"FFS", "HFP", "HFDL"}) {
        Case c;
        c.name = std::string("non_hfs_") + position;
        c.job.patientPosition = position;
        c.geometry.position = {8.0, -11.0, 35.0};
        obliqueBasis(c.geometry, 12 * deg, 21 * deg, -7 * deg);
        c.geometry.rowSpacing = 1.1;
        c.geometry.columnSpacing = 0.7;
        c.format = CXFL;
        cases.push_back(c);
    }
    {
        // 2D multi-slice with a gap, interleaved: slices 1, 3, 0, 2, 4.
        Case c;
        c.name = "multislice_gap_interleaved";
        c.job.nSlc = 5;
        c.job.sliceThk = 4.0;
        c.job.distFact = 0.25;
        c.slices = 5;
        c.geometry.position = {0.0, 15.0, -40.0};
        obliqueBasis(c.geometry, 14 * deg, 0.0, 3 * deg);
        c.geometry.sliceStep = 5.0;
        for (long s : {1, 3, 0, 2, 4}) c.arrivals.push_back({s, 0});
        cases.push_back(c);
    }
    {
        // 3D slab of 24 partitions, 36 mm: the last partition arrives first.
        Case c;
        c.name = "slab_3d";
        c.job.nParMeas = 24;
        c.job.nParFT = 24;
        c.job.sliceThk = 36.0;
        c.slab = true;
        c.slices = 24;
        c.geometry.position = {-20.0, 5.0, 10.0};
        c.geometry.row = {0, 1, 0};
        c.geometry.column = {0, 0, -1};
        c.geometry.normal = {-1, 0, 0};
        c.geometry.sliceStep = 1.5;
        c.arrivals = allImages(24, 1, true);
        cases.push_back(c);
    }
    {
        // The last slice never arrives: it reads as zeros.
        Case c;
        c.name = "missing_last_slice";
        c.job.nSlc = 4;
        c.slices = 4;
        c.geometry.sliceStep = 5.0;
        c.arrivals = allImages(3, 1);
        cases.push_back(c);
    }
    {
        // Four channels, two repetitions: 5D.
        Case c;
        c.name = "four_channels_two_reps";
        c.job.nCha = 4;
        c.job.nSlc = 2;
        c.job.nRepProtocol = 1;
        c.nCha = 4;
        c.slices = 2;
        c.vols = 2;
        c.geometry.sliceStep = 5.0;
        c.arrivals = allImages(2, 2, true);
        cases.push_back(c);
    }
    {
        // Coil-combined images of a 32-channel protocol with three repetitions: 4D.
        Case c;
        c.name = "combined_repetitions";
        c.job.nCha = 32;
        c.job.nRepProtocol = 2;
        c.vols = 3;
        c.arrivals = allImages(1, 3);
        cases.push_back(c);
    }
    {
        // Complex B0 series: three sets.
        Case c;
        c.name = "complex_sets";
        c.job.nSet = 3;
        c.format = CXFL;
        c.vols = 3;
        c.arrivals = allImages(1, 3);
        cases.push_back(c);
    }
    std::ofstream json(dir + "/expectations.json");
    json << "{\n  \"pattern\": \"v = (col*3 + line*7 + ch*101 + slice*37 + vol*211) % 30011 with the image's own "
            "column and line; int16 v, float32 v + 0.25, complex64 v - (v + 0.5)i; images never arrived read 0\",\n"
            "  \"cases\": [\n";
    bool first = true;
    for (Case& c : cases) {
        if (c.arrivals.empty()) c.arrivals = allImages(c.slices, c.vols);
        const bool combined = c.job.nCha > c.nCha && c.nCha == 1;
        c.shape = {c.nCol, c.nLin, c.slices, c.vols, c.nCha};
        if (combined && c.vols == 1) c.shape.resize(3);
        if (combined && c.vols > 1) c.shape.resize(4);
        if (!first) json << ",\n";
        first = false;
        if (!writeCase(c, dir, json)) {
            std::cerr << "case " << c.name << " failed\n";
            return 1;
        }
    }
    json << "\n  ]\n}\n";
    std::remove((dir + "/current_prot.evp").c_str());
    return 0;
}

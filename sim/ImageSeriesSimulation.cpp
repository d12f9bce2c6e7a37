// Image series for export (images2d, images3d): a head-like phantom sampled
// on the slice geometry, with landmark pixels whose values and positions the
// truth lists.
//
// images2d: multi-slice with a gap (slice distance = thickness x (1 +
// distance factor)), acquired interleaved (even anatomical slices first), each
// image carrying its anatomical slice number. images3d: one slab of
// partitions along the slab normal, acquired in order.
//
// Geometry of an image (docs/conventions.md): its position is the centre of
// pixel (floor(nCol/2), floor(nLin/2)); columns advance along the row vector
// (readout) by the row spacing, lines along the column vector (phase) by the
// column spacing, slices and partitions along the normal.
#include <cmath>
#include <cstring>

#include "MeasurementFiles.h"
#include "ProtocolBuilder.h"
#include "Simulations.h"

namespace duvsim {

namespace {

// Intensity of the phantom at a patient position (mm): background, a skull
// shell, brain, and ventricles.
double phantomValue(const VectorPat& p) {
    const VectorPat c(0.0, 10.0, 20.0);
    auto r = [&](double a, double b, double h) {
        const VectorPat d = p - c;
        return std::sqrt(std::pow(d.sag() / a, 2) + std::pow(d.cor() / b, 2) + std::pow(d.tra() / h, 2));
    };
    if (r(14.0, 22.0, 18.0) <= 1.0) return 300.0;   // ventricles
    if (r(62.0, 80.0, 70.0) <= 1.0) return 900.0;   // brain
    if (r(70.0, 90.0, 78.0) <= 1.0) return 1500.0;  // skull
    return 40.0;
}

struct Landmark {
    int column, line, slice, repetition, channel;
    double value;
};

}  // namespace

void simulateImageSeries(const SimOptions& o, const OutputPaths& out) {
    const bool is3d = o.kind == Kind::Images3d;
    const int nCol = o.grid[0], nLin = o.grid[1], nSlc = o.grid[2];  // slices (2D) or partitions (3D)
    // Non-square pixels, so that a swap of the two spacings shows.
    const double roFov = is3d ? 256.0 : 220.0, peFov = is3d ? 240.0 : 200.0;
    const double rowSpacing = roFov / nCol, columnSpacing = peFov / nLin;
    const double thickness = is3d ? 1.0 * nSlc : 4.0;  // slab of 1 mm partitions; 4 mm slices
    const double distFactor = is3d ? 0.0 : 0.25;
    const double sliceStep = is3d ? thickness / nSlc : thickness * (1.0 + distFactor);
    const Frame frame = makeFrame(VectorPat(3.0, 12.0, 18.0), orientationNormal(o.orientation), o.rotationRad);

    std::vector<SliceSpec> slices;  // the protocol's slice array: slab, or each slice
    auto sliceCentre = [&](int s) { return frame.centre + frame.normal * ((s - (nSlc - 1) * 0.5) * sliceStep); };
    if (is3d) {
        slices.push_back({frame, roFov, peFov, thickness});
    } else {
        for (int s = 0; s < nSlc; ++s) {
            Frame f = frame;
            f.centre = sliceCentre(s);
            slices.push_back({f, roFov, peFov, thickness});
        }
    }
    // Position of a pixel; the image position is pixel (nCol/2, nLin/2).
    auto pixel = [&](int s, double col, double lin) {
        return sliceCentre(s) + frame.readout * ((col - (nCol - 1) * 0.5) * rowSpacing) +
               frame.phase * ((lin - (nLin - 1) * 0.5) * columnSpacing);
    };

    ProtocolSpec ps;
    ps.protocolName = is3d ? "T1_3D_sag" : "T2_2D_tra";
    ps.sequenceFileName = is3d ? "%CustomerSeq%\\gre3d" : "%CustomerSeq%\\tse2d";
    ps.sequenceString = is3d ? "gre3d" : "tse2d";
    ps.patientPosition = o.patientPosition;
    ps.trUs = is3d ? 2300000 : 5000000;
    ps.teUs = is3d ? 2980 : 90000;
    ps.tiUs = is3d ? 900000 : 0;
    ps.flipAngle1 = is3d ? 9.0 : 150.0;
    ps.channels = o.channels;
    ps.repetitions = o.repetitions;
    ps.slices = slices;
    ps.distFactor = distFactor;
    ps.baseResolution = nCol;
    ps.phaseEncodingLines = nLin;
    ps.partitions = is3d ? nSlc : 1;
    ps.kspaceDimension = is3d ? 4 : 2;
    ps.imagesPerSlab = is3d ? nSlc : 1;
    ps.measuredPartitions = is3d ? (nSlc * 7 + 7) / 8 : 1;  // 7/8 partial Fourier
    if (is3d && ps.measuredPartitions < 2) ps.measuredPartitions = 2;
    writeProtocol(out.protocol, buildProtocol(ps));

    // Landmarks: the four corners of the first and last slice, the centre
    // pixel of the middle slice and two asymmetric inner pixels, in every
    // repetition and channel.
    std::vector<Landmark> marks;
    const int last = nSlc - 1, mid = nSlc / 2;
    const int spots[][3] = {{0, 0, 0},
                            {nCol - 1, 0, 0},
                            {0, nLin - 1, 0},
                            {nCol - 1, nLin - 1, last},
                            {nCol / 2, nLin / 2, mid},
                            {int(0.3 * nCol), int(0.8 * nLin), int(0.3 * nSlc)},
                            {int(0.75 * nCol), int(0.2 * nLin), int(0.7 * nSlc)}};
    for (int rep = 0; rep < o.repetitions; ++rep)
        for (int ch = 0; ch < o.channels; ++ch)
            for (size_t k = 0; k < sizeof spots / sizeof spots[0]; ++k) {
                bool repeated = false;  // small series: two spots may coincide
                for (size_t j = 0; j < k; ++j)
                    repeated |= spots[j][0] == spots[k][0] && spots[j][1] == spots[k][1] && spots[j][2] == spots[k][2];
                if (repeated) continue;
                // Distinct values above the phantom's (at most 1503), within
                // 16 bits for up to 256 repetitions x channels.
                marks.push_back({spots[k][0], spots[k][1], spots[k][2], rep, ch,
                                 2000.0 + 16.0 * double(marks.size()) + (o.imageFormat == "int16" ? 0.0 : 0.25)});
            }

    const DuvFormat_t format = o.imageFormat == "int16" ? SH : o.imageFormat == "float" ? FL : CXFL;
    const size_t bytesPer = DuvFormatBytes(format);
    duvfiles::ImageWriter writer(out.images);
    std::vector<int> order;  // acquisition order of the slices
    if (is3d) {
        for (int s = 0; s < nSlc; ++s) order.push_back(s);
    } else {
        for (int s = 0; s < nSlc; s += 2) order.push_back(s);
        for (int s = 1; s < nSlc; s += 2) order.push_back(s);
    }
    long imageNumber = 0;
    for (int rep = 0; rep < o.repetitions; ++rep) {
        for (size_t chrono = 0; chrono < order.size(); ++chrono) {
            const int s = order[chrono];
            duvfiles::ImageRecord rec;
            rec.format = format;
            rec.columns = nCol;
            rec.lines = nLin;
            rec.channels = o.channels;
            rec.control.setCount(CHA, o.channels);
            rec.control.setCount(REP, o.repetitions);
            rec.control.setIndex(REP, rep);
            if (is3d) {
                rec.control.setCount(PAR, nSlc);
                rec.control.setIndex(PAR, s);
            } else {
                rec.control.setCount(SLC, nSlc);
                rec.control.setIndex(SLC, long(chrono));  // the chronological slice counter
            }
            rec.control.setColumns(nCol);
            rec.soda = makeSoda(pixel(s, nCol / 2, nLin / 2), frame, rowSpacing, columnSpacing,
                                is3d ? sliceStep : thickness, o.patientPosition);
            rec.fields.push_back({"SequenceDescription", MiniHeader::Text, ps.protocolName, false});
            rec.fields.push_back({"AnatomicalSliceNo", MiniHeader::Int, long(s), false});
            rec.fields.push_back({"ImageNumber", MiniHeader::Int, ++imageNumber, false});
            rec.fields.push_back({"SliceThickness", MiniHeader::Double, is3d ? sliceStep : thickness, false});
            rec.fields.push_back({"ImageType", MiniHeader::Text, std::string("ORIGINAL\\PRIMARY\\M\\ND"), false});
            rec.data.assign(size_t(nCol) * nLin * o.channels * bytesPer, 0);
            auto store = [&](int ch, int lin, int col, double v) {
                unsigned char* dst = rec.data.data() + ((size_t(ch) * nLin + lin) * nCol + col) * bytesPer;
                if (format == SH) {
                    const int16_t x = int16_t(std::lround(v));
                    std::memcpy(dst, &x, 2);
                } else if (format == FL) {
                    const float x = float(v);
                    std::memcpy(dst, &x, 4);
                } else {
                    const float x[2] = {float(v), float(-0.5 * v)};
                    std::memcpy(dst, x, 8);
                }
            };
            for (int ch = 0; ch < o.channels; ++ch)
                for (int lin = 0; lin < nLin; ++lin)
                    for (int col = 0; col < nCol; ++col)
                        // Channels see the phantom with their own gain; a
                        // small pattern keeps neighbouring pixels apart.
                        store(ch, lin, col, phantomValue(pixel(s, col, lin)) * (1.0 - 0.1 * ch) + 0.5 * ((col + 3 * lin) % 7));
            for (const Landmark& m : marks)
                if (m.slice == s && m.repetition == rep) store(m.channel, m.line, m.column, m.value);
            writer.add(rec);
        }
    }
    writer.close();

    // --- truth ---
    json t = truthHeader(o, is3d ? "3D image series (one slab of partitions) for export"
                                 : "2D multi-slice image series (gap, interleaved order) for export");
    json shape;
    put(shape, "columns", nCol, "pixels along the row vector (readout)");
    put(shape, "lines", nLin, "pixels along the column vector (phase)");
    put(shape, is3d ? "partitions" : "slices", nSlc, is3d ? "partitions of the slab" : "slices");
    put(shape, "repetitions", o.repetitions, "repetitions (volumes)");
    put(shape, "channels", o.channels, "channels per image");
    put(shape, "format", o.imageFormat, "sample format: int16, float or complex (re, im) = (v, -v/2)");
    put(shape, "expectedNiftiShape", std::vector<int>{nCol, nLin, nSlc, o.repetitions, o.channels},
        "NIfTI dim[1..5]: columns, lines, slices or partitions, volumes, channels");
    put(t, "shape", shape, "the series");
    json geo;
    put(geo, "rowSpacingMm", rowSpacing, "mm between neighbouring columns");
    put(geo, "columnSpacingMm", columnSpacing, "mm between neighbouring lines");
    put(geo, "sliceStepMm", sliceStep, "mm between neighbouring slices or partitions along the normal");
    put(geo, "row", asArray(frame.readout), "row vector (readout), patient coordinates");
    put(geo, "column", asArray(frame.phase), "column vector (phase), patient coordinates");
    put(geo, "normal", asArray(frame.normal), "slice normal, patient coordinates");
    put(geo, "centre", placeTruth(o.patientPosition, frame.centre, FileFrame::Export), "centre of the slice stack or slab");
    put(t, "geometry", geo, "geometry of the series");
    if (!is3d) put(t, "acquisitionOrder", order, "anatomical slice numbers in the order the images arrive");

    json lm = json::array();
    for (const Landmark& m : marks) {
        json j = placeTruth(o.patientPosition, pixel(m.slice, m.column, m.line), FileFrame::Export);
        put(j, "column", m.column, "pixel column in the image");
        put(j, "line", m.line, "pixel line in the image");
        put(j, is3d ? "partition" : "slice", m.slice, is3d ? "partition index" : "anatomical slice number");
        put(j, "repetition", m.repetition, "repetition");
        put(j, "channel", m.channel, "channel");
        if (format == CXFL)
            put(j, "value", std::vector<double>{float(m.value), float(-0.5 * m.value)}, "pixel value (re, im)");
        else
            put(j, "value", format == SH ? double(std::lround(m.value)) : double(float(m.value)), "pixel value");
        put(j, "niftiIndex", std::vector<int>{m.column, nLin - 1 - m.line, m.slice, m.repetition, m.channel},
            "index in the exported NIfTI-1 file: column, nLin - 1 - line (lines are stored last first), slice or "
            "partition, volume, channel");
        lm.push_back(j);
    }
    put(t, "landmarks", lm, "pixels with known values: a correct export holds each value at its NIfTI index, "
                            "and the file's transform maps that index to the world position");
    writeJson(out.truth, t);
}

}  // namespace duvsim

// Data objects, views on them and their slice geometry.
//
// A DuvObj holds up to 16 dimensions. Its storage follows the order in which
// the dimensions were given to create(): the first is the fastest. A
// dimension that was not given has length 1. Elements have one sample format.
//
// A DuvAs is a view: per dimension a start, a length and a step in elements of
// the object. init() sets the view's base window (dimensions left out span the
// whole object); modify() re-selects part of one dimension within that base
// window (start and step are counted in base-window elements), so repeated
// modify() calls on one view each choose anew, never relative to each other.
// Out-of-range requests return false and leave the view unchanged; no view
// ever reaches memory outside its object.
//
// Slice geometry: a DuvObj keeps one DuvSoda per slice index (dimension SLC);
// calcCurrentSodaPtr() gives the one of the slice of the view's first element.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iosfwd>
#include <string>
#include <utility>
#include <vector>

#include "duvhost/Rudu.h"

enum DuvDim : int {
    COL = 0, LIN, CHA, SET, ECO, PHS, REP, SEG, PAR, SLC, IDA, IDB, IDC, IDD, IDE, AVE,
    DUV_DIM_COUNT  // 16
};
const char* DuvDimName(DuvDim d);  // "COL", "LIN", ...

enum DuvFormat_t : int { SH = 0, LO = 1, FL = 2, CXSH = 3, CXLO = 4, CXFL = 5, CHAR = 6 };
size_t DuvFormatBytes(DuvFormat_t f);  // bytes per element: 2, 4, 4, 4, 8, 8, 1
const char* DuvFormatName(DuvFormat_t f);

struct sVec {
    double x = 0.0, y = 0.0, z = 0.0;
};

// Slice geometry in patient coordinates (mm), plus the slice position in
// scanner (device) coordinates.
class DuvSoda {
public:
    const sVec& getSlicePosVec() const { return pos_; }
    const sVec& getSlicePosVecSBCS() const { return posSBCS_; }
    const sVec& getSliceNormVec() const { return normal_; }
    const sVec& getRowVec() const { return row_; }
    const sVec& getColumnVec() const { return column_; }
    double getRowSpacing() const { return rowSpacing_; }        // mm between neighbouring columns (along the row vector)
    double getColumnSpacing() const { return columnSpacing_; }  // mm between neighbouring lines (along the column vector)
    double getThickness() const { return thickness_; }

    void setSlicePosVec(const sVec& v) { pos_ = v; }
    void setSlicePosVecSBCS(const sVec& v) { posSBCS_ = v; }
    void setSliceNormVec(const sVec& v) { normal_ = v; }
    void setRowVec(const sVec& v) { row_ = v; }
    void setColumnVec(const sVec& v) { column_ = v; }
    void setRowSpacing(double d) { rowSpacing_ = d; }
    void setColumnSpacing(double d) { columnSpacing_ = d; }
    void setThickness(double d) { thickness_ = d; }

private:
    sVec pos_, posSBCS_, normal_{0.0, 0.0, 1.0}, row_{1.0, 0.0, 0.0}, column_{0.0, 1.0, 0.0};
    double rowSpacing_ = 1.0, columnSpacing_ = 1.0, thickness_ = 1.0;
};
std::ostream& operator<<(std::ostream& os, const DuvSoda& soda);

class DuvAs;

struct DuvDimLength {
    DuvDim dim;
    long length;
};

struct DuvWindow {
    DuvDim dim;
    long start;
    long length;
    long step;
};

class DuvObj : public Rudu::RefCounted {
public:
    DuvObj();
    ~DuvObj() override;
    DuvObj(const DuvObj&) = delete;
    DuvObj& operator=(const DuvObj&) = delete;

    // Allocates zero-filled storage. False (object unchanged) for a length
    // below 1, a repeated dimension, more than 16 dimensions, a size that
    // overflows, or when memory runs out. The format defaults to CXFL.
    bool create(DuvFormat_t format, const std::vector<DuvDimLength>& dims);
    bool create(const std::vector<DuvDimLength>& dims) { return create(CXFL, dims); }

    bool IsValid() const { return valid_; }  // created successfully
    DuvFormat_t format() const { return format_; }
    long getLen(DuvDim d) const;                       // 1 when the dimension was not given
    size_t strideElements(DuvDim d) const;             // distance between neighbours, in elements
    const std::vector<DuvDim>& order() const { return order_; }  // dimensions as given to create
    size_t elementCount() const { return elements_; }
    size_t byteCount() const { return elements_ * DuvFormatBytes(format_); }
    unsigned char* data() { return data_; }
    const unsigned char* data() const { return data_; }

    DuvSoda& soda(long slice);  // slice clamped to the SLC range
    const DuvSoda& soda(long slice) const;

    // A view on the whole object (an invalid view when not created).
    DuvAs operator()();

private:
    bool valid_ = false;
    DuvFormat_t format_ = CXFL;
    std::vector<DuvDim> order_;
    std::array<long, DUV_DIM_COUNT> len_{};
    std::array<size_t, DUV_DIM_COUNT> stride_{};
    size_t elements_ = 0;
    unsigned char* data_ = nullptr;
    std::vector<DuvSoda> sodas_;
};

class DuvAs {
public:
    DuvAs();
    explicit DuvAs(const MrPtr<DuvObj>& obj);  // the whole object
    DuvAs(const DuvAs&);
    DuvAs& operator=(const DuvAs&);
    ~DuvAs();

    // New base window over the same object. Dimensions not listed span the
    // whole object. False when a window leaves the object, a length or step
    // is below 1, or the object is not valid.
    bool init(const std::vector<DuvWindow>& windows = {});
    bool init(const MrPtr<DuvObj>& obj, const std::vector<DuvWindow>& windows = {});
    bool init(DuvDim d, long start, long length, long step) { return init({{d, start, length, step}}); }

    // Re-select within the base window (see the file comment).
    bool modify(DuvDim d, long start, long length, long step);
    bool modify(const std::vector<DuvWindow>& windows);

    // Puts d1 and d2 first in the view's dimension order (so that Copy, gather
    // and dumps run d1 fastest, then d2). When d1 is not contiguous in storage
    // the view moves onto a new object holding its elements in that order.
    bool rearrange(DuvDim d1, DuvDim d2);

    bool IsValid() const;
    const MrPtr<DuvObj>& object() const { return obj_; }
    DuvFormat_t getDuvObjFormat() const;
    long getLen(DuvDim d) const;                   // current selected length
    long getStart(DuvDim d) const;                 // absolute start in the object
    long getStep(DuvDim d) const;                  // absolute step in the object
    const std::vector<DuvDim>& order() const { return order_; }  // iteration order
    std::vector<DuvDimLength> dims() const;        // dimensions of the object, with the view's lengths, in order
    size_t elementCount() const;                   // product of the selected lengths
    ptrdiff_t strideElements(DuvDim d) const;      // object stride x view step, in elements

    void* calcSplObjStartAddr() const;             // first element, or null for an invalid view
    DuvSoda* calcCurrentSodaPtr() const;           // geometry of the first element's slice, or null

    // Element-wise traversal in the view's order (first dimension fastest).
    size_t gather(void* dst, size_t dstBytes) const;   // bytes written; 0 when dstBytes is too small
    size_t scatter(const void* src, size_t srcBytes);  // the reverse

private:
    MrPtr<DuvObj> obj_;
    std::array<long, DUV_DIM_COUNT> baseStart_{}, baseLen_{}, baseStep_{};
    std::array<long, DUV_DIM_COUNT> start_{}, len_{}, step_{};
    std::vector<DuvDim> order_;
};
std::ostream& operator<<(std::ostream& os, const DuvAs& as);

namespace DuvWrapper {
// Every sample component of the view set to value (real and imaginary parts
// alike for complex formats). False for an invalid view.
bool Preset(DuvAs& view, double value);
// Element-wise copy. The views must have the same format and the same length
// in every dimension; false otherwise.
bool Copy(DuvAs& destination, const DuvAs& source);
}  // namespace DuvWrapper

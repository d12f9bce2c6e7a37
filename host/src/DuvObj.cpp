// Data objects, views and the element walks behind Copy, Preset, gather and
// scatter.
//
// Every walk visits the elements of a view dimension by dimension, first
// dimension fastest. Dimensions of length 1 drop out and neighbouring
// dimensions that are contiguous for every participant merge, so that the
// common case (whole spectra or whole images, COL contiguous) becomes a few
// long memcpy/memset runs instead of one call per element.
#include "duvhost/DuvObj.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <ostream>
#include <string>

#include "duvhost/Framework.h"

namespace {

const char* const kDimNames[DUV_DIM_COUNT] = {"COL", "LIN", "CHA", "SET", "ECO", "PHS", "REP", "SEG",
                                              "PAR", "SLC", "IDA", "IDB", "IDC", "IDD", "IDE", "AVE"};

bool validDim(int d) { return d >= 0 && d < DUV_DIM_COUNT; }

// True when start, start + step, ..., start + (length - 1) * step all lie in
// [0, extent). Written so that no intermediate value overflows.
bool windowFits(long start, long length, long step, long extent) {
    if (start < 0 || length < 1 || step < 1 || extent < 1 || start >= extent) return false;
    return length - 1 <= (extent - 1 - start) / step;
}

// One axis of a walk over N element sequences: a count and a byte stride per
// sequence.
template <int N>
struct Axis {
    long len;
    ptrdiff_t stride[N];
};

template <int N>
void mergeAxes(std::vector<Axis<N>>& axes) {
    std::vector<Axis<N>> out;
    for (const Axis<N>& a : axes) {
        if (a.len == 1) continue;
        if (!out.empty()) {
            Axis<N>& b = out.back();
            bool contiguous = true;
            for (int n = 0; n < N; ++n) contiguous = contiguous && a.stride[n] == b.stride[n] * b.len;
            if (contiguous) {
                b.len *= a.len;
                continue;
            }
        }
        out.push_back(a);
    }
    if (out.empty()) {
        Axis<N> one{};
        one.len = 1;
        out.push_back(one);
    }
    axes.swap(out);
}

// Calls run(p, len, stride) for every innermost run, outer axes counting like
// an odometer. Pointers only ever move between elements of the sequences.
template <int N, class Run>
void walk(const std::vector<Axis<N>>& axes, unsigned char* const base[N], Run run) {
    unsigned char* p[N];
    for (int n = 0; n < N; ++n) p[n] = base[n];
    const Axis<N>& inner = axes[0];
    const size_t outer = axes.size() - 1;
    long idx[DUV_DIM_COUNT] = {};
    for (;;) {
        run(p, inner.len, inner.stride);
        size_t k = 0;
        for (; k < outer; ++k) {
            const Axis<N>& a = axes[k + 1];
            if (++idx[k] < a.len) {
                for (int n = 0; n < N; ++n) p[n] += a.stride[n];
                break;
            }
            for (int n = 0; n < N; ++n) p[n] -= a.stride[n] * (a.len - 1);
            idx[k] = 0;
        }
        if (k == outer) return;
    }
}

template <size_t EB>
void copyStrided(unsigned char* d, ptrdiff_t ds, const unsigned char* s, ptrdiff_t ss, long n) {
    for (long i = 0; i < n; ++i, d += ds, s += ss) std::memcpy(d, s, EB);
}

// Copies a run of n elements of eb bytes.
void copyRun(unsigned char* d, ptrdiff_t ds, const unsigned char* s, ptrdiff_t ss, long n, size_t eb) {
    if (ds == ptrdiff_t(eb) && ss == ptrdiff_t(eb)) {
        std::memcpy(d, s, size_t(n) * eb);
        return;
    }
    switch (eb) {
        case 1: copyStrided<1>(d, ds, s, ss, n); break;
        case 2: copyStrided<2>(d, ds, s, ss, n); break;
        case 4: copyStrided<4>(d, ds, s, ss, n); break;
        case 8: copyStrided<8>(d, ds, s, ss, n); break;
        default:
            for (long i = 0; i < n; ++i, d += ds, s += ss) std::memcpy(d, s, eb);
    }
}

template <size_t EB>
void fillStrided(unsigned char* d, ptrdiff_t ds, const unsigned char* pattern, long n) {
    for (long i = 0; i < n; ++i, d += ds) std::memcpy(d, pattern, EB);
}

void fillRun(unsigned char* d, ptrdiff_t ds, const unsigned char* pattern, bool zero, long n, size_t eb) {
    if (zero && ds == ptrdiff_t(eb)) {
        std::memset(d, 0, size_t(n) * eb);
        return;
    }
    switch (eb) {
        case 1: fillStrided<1>(d, ds, pattern, n); break;
        case 2: fillStrided<2>(d, ds, pattern, n); break;
        case 4: fillStrided<4>(d, ds, pattern, n); break;
        case 8: fillStrided<8>(d, ds, pattern, n); break;
        default:
            for (long i = 0; i < n; ++i, d += ds) std::memcpy(d, pattern, eb);
    }
}

// Integer formats take the value rounded to nearest and clamped to their
// range (NaN gives 0), so that a preset never produces an undefined
// conversion.
template <class I>
I clampToInteger(double v) {
    if (std::isnan(v)) return I(0);
    const double lo = double(std::numeric_limits<I>::min()), hi = double(std::numeric_limits<I>::max());
    const double r = std::nearbyint(v);
    if (r <= lo) return std::numeric_limits<I>::min();
    if (r >= hi) return std::numeric_limits<I>::max();
    return I(r);
}

// The bytes of one element whose every component is value.
void elementPattern(DuvFormat_t f, double value, unsigned char out[8]) {
    std::memset(out, 0, 8);
    switch (f) {
        case SH:
        case CXSH: {
            const int16_t v = clampToInteger<int16_t>(value);
            std::memcpy(out, &v, 2);
            if (f == CXSH) std::memcpy(out + 2, &v, 2);
            break;
        }
        case LO:
        case CXLO: {
            const int32_t v = clampToInteger<int32_t>(value);
            std::memcpy(out, &v, 4);
            if (f == CXLO) std::memcpy(out + 4, &v, 4);
            break;
        }
        case FL:
        case CXFL: {
            const float v = float(value);
            std::memcpy(out, &v, 4);
            if (f == CXFL) std::memcpy(out + 4, &v, 4);
            break;
        }
        case CHAR: {
            const int8_t v = clampToInteger<int8_t>(value);
            std::memcpy(out, &v, 1);
            break;
        }
    }
}

std::ostream& operator<<(std::ostream& os, const sVec& v) { return os << '(' << v.x << ", " << v.y << ", " << v.z << ')'; }

}  // namespace

const char* DuvDimName(DuvDim d) { return validDim(d) ? kDimNames[d] : "???"; }

size_t DuvFormatBytes(DuvFormat_t f) {
    switch (f) {
        case SH: return 2;
        case LO: return 4;
        case FL: return 4;
        case CXSH: return 4;
        case CXLO: return 8;
        case CXFL: return 8;
        case CHAR: return 1;
    }
    return 0;
}

const char* DuvFormatName(DuvFormat_t f) {
    switch (f) {
        case SH: return "SH";
        case LO: return "LO";
        case FL: return "FL";
        case CXSH: return "CXSH";
        case CXLO: return "CXLO";
        case CXFL: return "CXFL";
        case CHAR: return "CHAR";
    }
    return "???";
}

std::ostream& operator<<(std::ostream& os, const DuvSoda& soda) {
    os << "DuvSoda position " << soda.getSlicePosVec() << " mm, position SBCS " << soda.getSlicePosVecSBCS()
       << " mm, normal " << soda.getSliceNormVec() << ", row " << soda.getRowVec() << ", column "
       << soda.getColumnVec() << ", row spacing " << soda.getRowSpacing() << " mm, column spacing "
       << soda.getColumnSpacing() << " mm, thickness " << soda.getThickness() << " mm";
    return os;
}

// ---------------------------------------------------------------------------
// DuvObj
// ---------------------------------------------------------------------------

DuvObj::DuvObj() : sodas_(1) {
    len_.fill(1);
    stride_.fill(1);
    elements_ = 0;
}

DuvObj::~DuvObj() { std::free(data_); }

namespace {

// An object too large for memory (or for the address space) is refused with
// the size it asked for and the dimensions that made it, so that the module's
// own failure message has a cause next to it.
void traceTooLarge(const std::vector<DuvDimLength>& dims, size_t elementBytes, const char* why) {
    std::string shape;
    long double bytes = static_cast<long double>(elementBytes);
    for (const DuvDimLength& dl : dims) {
        shape += (shape.empty() ? "" : " x ") + std::string(DuvDimName(dl.dim)) + " " + std::to_string(dl.length);
        bytes *= static_cast<long double>(dl.length);
    }
    char size[64];
    std::snprintf(size, sizeof size, "%.0Lf", bytes);
    getStdStackTraceStream("DUV.host", duvtrace::Error, 1, "DUV", "duvhost", "DuvObj", __LINE__, "DuvObj::create",
                           "DLL", false)
        << "DuvObj::create: " << size << " bytes (" << shape << ", " << elementBytes << " bytes each) " << why;
}

}  // namespace

bool DuvObj::create(DuvFormat_t format, const std::vector<DuvDimLength>& dims) {
    const size_t eb = DuvFormatBytes(format);
    if (eb == 0 || dims.size() > size_t(DUV_DIM_COUNT)) return false;

    std::array<long, DUV_DIM_COUNT> len;
    len.fill(1);
    std::array<bool, DUV_DIM_COUNT> seen{};
    std::vector<DuvDim> order;
    size_t elements = 1;
    const size_t maxElements = size_t(std::numeric_limits<ptrdiff_t>::max()) / eb;
    for (const DuvDimLength& dl : dims) {
        if (!validDim(dl.dim) || seen[dl.dim] || dl.length < 1) return false;
        seen[dl.dim] = true;
        if (size_t(dl.length) > maxElements / elements) {
            traceTooLarge(dims, eb, "exceed the address space");
            return false;
        }
        elements *= size_t(dl.length);
        len[dl.dim] = dl.length;
        order.push_back(dl.dim);
    }

    std::array<size_t, DUV_DIM_COUNT> stride;
    size_t s = 1;
    for (DuvDim d : order) {
        stride[d] = s;
        s *= size_t(len[d]);
    }
    for (int d = 0; d < DUV_DIM_COUNT; ++d)
        if (!seen[d]) stride[d] = elements;  // as if it followed every given dimension

    std::vector<DuvSoda> sodas;
    try {
        sodas.resize(size_t(len[SLC]));
    } catch (const std::exception&) {
        traceTooLarge(dims, eb, "cannot be allocated");
        return false;
    }
    void* data = std::calloc(elements, eb);
    if (!data) {
        traceTooLarge(dims, eb, "cannot be allocated");
        return false;
    }

    std::free(data_);
    data_ = static_cast<unsigned char*>(data);
    valid_ = true;
    format_ = format;
    order_ = std::move(order);
    len_ = len;
    stride_ = stride;
    elements_ = elements;
    sodas_.swap(sodas);
    return true;
}

long DuvObj::getLen(DuvDim d) const { return validDim(d) ? len_[d] : 1; }

size_t DuvObj::strideElements(DuvDim d) const { return validDim(d) ? stride_[d] : elements_; }

DuvSoda& DuvObj::soda(long slice) {
    const long last = long(sodas_.size()) - 1;
    return sodas_[size_t(std::clamp(slice, 0L, last))];
}

const DuvSoda& DuvObj::soda(long slice) const { return const_cast<DuvObj*>(this)->soda(slice); }

DuvAs DuvObj::operator()() { return DuvAs(MrPtr<DuvObj>(this)); }

// ---------------------------------------------------------------------------
// DuvAs
// ---------------------------------------------------------------------------
//
// baseStart_/baseLen_/baseStep_ hold the window chosen by init(), start_/len_/
// step_ the current selection; all are absolute (object elements). A view
// that was never given a window has zero lengths and is invalid. Validity is
// checked against the object as it is now, so a view cannot address memory
// of an object that was created anew with smaller lengths.

DuvAs::DuvAs() = default;

DuvAs::DuvAs(const MrPtr<DuvObj>& obj) : obj_(obj) {
    if (obj_ && obj_->IsValid()) init();
}

DuvAs::DuvAs(const DuvAs&) = default;
DuvAs& DuvAs::operator=(const DuvAs&) = default;
DuvAs::~DuvAs() = default;

bool DuvAs::init(const std::vector<DuvWindow>& windows) {
    if (!obj_ || !obj_->IsValid()) return false;
    std::array<long, DUV_DIM_COUNT> start{}, len{}, step{};
    for (int d = 0; d < DUV_DIM_COUNT; ++d) {
        len[d] = obj_->getLen(DuvDim(d));
        step[d] = 1;
    }
    std::array<bool, DUV_DIM_COUNT> seen{};
    for (const DuvWindow& w : windows) {
        if (!validDim(w.dim) || seen[w.dim]) return false;
        seen[w.dim] = true;
        if (!windowFits(w.start, w.length, w.step, obj_->getLen(w.dim))) return false;
        start[w.dim] = w.start;
        len[w.dim] = w.length;
        step[w.dim] = w.length == 1 ? 1 : w.step;  // a single element has no step
    }
    baseStart_ = start_ = start;
    baseLen_ = len_ = len;
    baseStep_ = step_ = step;
    order_ = obj_->order();
    return true;
}

bool DuvAs::init(const MrPtr<DuvObj>& obj, const std::vector<DuvWindow>& windows) {
    DuvAs candidate;
    candidate.obj_ = obj;
    if (!candidate.init(windows)) return false;
    *this = candidate;
    return true;
}

bool DuvAs::modify(DuvDim d, long start, long length, long step) { return modify({{d, start, length, step}}); }

bool DuvAs::modify(const std::vector<DuvWindow>& windows) {
    if (!IsValid()) return false;
    std::array<bool, DUV_DIM_COUNT> seen{};
    for (const DuvWindow& w : windows) {
        if (!validDim(w.dim) || seen[w.dim]) return false;
        seen[w.dim] = true;
        if (!windowFits(w.start, w.length, w.step, baseLen_[w.dim])) return false;
    }
    for (const DuvWindow& w : windows) {
        const long s = w.length == 1 ? 1 : w.step;
        start_[w.dim] = baseStart_[w.dim] + w.start * baseStep_[w.dim];
        len_[w.dim] = w.length;
        step_[w.dim] = s * baseStep_[w.dim];
    }
    return true;
}

bool DuvAs::rearrange(DuvDim d1, DuvDim d2) {
    if (!IsValid() || !validDim(d1) || !validDim(d2)) return false;
    std::vector<DuvDim> order;
    for (DuvDim d : {d1, d2})
        if (std::find(order_.begin(), order_.end(), d) != order_.end() &&
            std::find(order.begin(), order.end(), d) == order.end())
            order.push_back(d);
    for (DuvDim d : order_)
        if (std::find(order.begin(), order.end(), d) == order.end()) order.push_back(d);

    const bool contiguous = baseLen_[d1] == 1 || obj_->strideElements(d1) * size_t(baseStep_[d1]) == 1;
    if (contiguous) {
        order_ = order;
        return true;
    }

    // Move onto a new object that holds the base window in the new order; the
    // current selection keeps its place within the base window.
    MrPtr<DuvObj> fresh(Rudu::HeapObject<DuvObj>::Create());
    std::vector<DuvDimLength> dims;
    for (DuvDim d : order) dims.push_back({d, baseLen_[d]});
    if (!fresh || !fresh->create(obj_->format(), dims)) return false;

    DuvAs base(*this);
    base.start_ = baseStart_;
    base.len_ = baseLen_;
    base.step_ = baseStep_;
    base.order_ = order;
    base.gather(fresh->data(), fresh->byteCount());
    for (long i = 0; i < baseLen_[SLC]; ++i) fresh->soda(i) = obj_->soda(baseStart_[SLC] + i * baseStep_[SLC]);

    DuvAs moved;
    moved.obj_ = fresh;
    for (int d = 0; d < DUV_DIM_COUNT; ++d) {
        moved.baseStart_[d] = 0;
        moved.baseLen_[d] = baseLen_[d];
        moved.baseStep_[d] = 1;
        moved.start_[d] = (start_[d] - baseStart_[d]) / baseStep_[d];
        moved.len_[d] = len_[d];
        moved.step_[d] = step_[d] / baseStep_[d];
    }
    moved.order_ = order;
    *this = moved;
    return true;
}

bool DuvAs::IsValid() const {
    if (!obj_ || !obj_->IsValid()) return false;
    for (int d = 0; d < DUV_DIM_COUNT; ++d) {
        const long extent = obj_->getLen(DuvDim(d));
        if (!windowFits(baseStart_[d], baseLen_[d], baseStep_[d], extent) ||
            !windowFits(start_[d], len_[d], step_[d], extent))
            return false;
    }
    return true;
}

DuvFormat_t DuvAs::getDuvObjFormat() const { return obj_ ? obj_->format() : CXFL; }

long DuvAs::getLen(DuvDim d) const { return validDim(d) && IsValid() ? len_[d] : 0; }
long DuvAs::getStart(DuvDim d) const { return validDim(d) && IsValid() ? start_[d] : 0; }
long DuvAs::getStep(DuvDim d) const { return validDim(d) && IsValid() ? step_[d] : 0; }

std::vector<DuvDimLength> DuvAs::dims() const {
    std::vector<DuvDimLength> out;
    if (!IsValid()) return out;
    for (DuvDim d : order_) out.push_back({d, len_[d]});
    return out;
}

size_t DuvAs::elementCount() const {
    if (!IsValid()) return 0;
    size_t n = 1;
    for (int d = 0; d < DUV_DIM_COUNT; ++d) n *= size_t(len_[d]);
    return n;
}

ptrdiff_t DuvAs::strideElements(DuvDim d) const {
    if (!validDim(d) || !IsValid()) return 0;
    return ptrdiff_t(obj_->strideElements(d)) * step_[d];
}

void* DuvAs::calcSplObjStartAddr() const {
    if (!IsValid()) return nullptr;
    size_t offset = 0;
    for (int d = 0; d < DUV_DIM_COUNT; ++d) offset += size_t(start_[d]) * obj_->strideElements(DuvDim(d));
    return obj_->data() + offset * DuvFormatBytes(obj_->format());
}

DuvSoda* DuvAs::calcCurrentSodaPtr() const {
    if (!IsValid()) return nullptr;
    return &obj_->soda(start_[SLC]);
}

namespace {

// Axes of a view in the given order, one byte stride per view; the second
// sequence (when N is 2) is either a second view or a contiguous buffer.
template <int N>
std::vector<Axis<N>> axesOf(const std::vector<DuvDim>& order, const DuvAs* const views[N]) {
    std::vector<Axis<N>> axes;
    ptrdiff_t packed[N];
    for (int n = 0; n < N; ++n) packed[n] = ptrdiff_t(DuvFormatBytes(views[0]->getDuvObjFormat()));
    for (DuvDim d : order) {
        Axis<N> a{};
        a.len = views[0]->getLen(d);
        for (int n = 0; n < N; ++n) {
            if (views[n]) {
                a.stride[n] = views[n]->strideElements(d) * ptrdiff_t(DuvFormatBytes(views[n]->getDuvObjFormat()));
            } else {
                a.stride[n] = packed[n];
                packed[n] *= a.len;
            }
        }
        axes.push_back(a);
    }
    mergeAxes(axes);
    return axes;
}

// Copies between a view and a packed buffer in the view's order.
void transfer(const DuvAs& view, unsigned char* buffer, bool toBuffer) {
    const DuvAs* views[2] = {&view, nullptr};
    const std::vector<Axis<2>> axes = axesOf<2>(view.order(), views);
    const size_t eb = DuvFormatBytes(view.getDuvObjFormat());
    unsigned char* base[2] = {static_cast<unsigned char*>(view.calcSplObjStartAddr()), buffer};
    walk<2>(axes, base, [&](unsigned char* const* p, long n, const ptrdiff_t* s) {
        if (toBuffer)
            copyRun(p[1], s[1], p[0], s[0], n, eb);
        else
            copyRun(p[0], s[0], p[1], s[1], n, eb);
    });
}

// Byte range [first, last] that a view touches.
std::pair<const unsigned char*, const unsigned char*> spanOf(const DuvAs& v) {
    const unsigned char* first = static_cast<const unsigned char*>(v.calcSplObjStartAddr());
    size_t extent = 0;
    const size_t eb = DuvFormatBytes(v.getDuvObjFormat());
    for (int d = 0; d < DUV_DIM_COUNT; ++d)
        extent += size_t(v.getLen(DuvDim(d)) - 1) * size_t(v.strideElements(DuvDim(d)));
    return {first, first + extent * eb + eb - 1};
}

}  // namespace

size_t DuvAs::gather(void* dst, size_t dstBytes) const {
    if (!IsValid() || !dst) return 0;
    const size_t bytes = elementCount() * DuvFormatBytes(obj_->format());
    if (dstBytes < bytes) return 0;
    transfer(*this, static_cast<unsigned char*>(dst), true);
    return bytes;
}

size_t DuvAs::scatter(const void* src, size_t srcBytes) {
    if (!IsValid() || !src) return 0;
    const size_t bytes = elementCount() * DuvFormatBytes(obj_->format());
    if (srcBytes < bytes) return 0;
    transfer(*this, static_cast<unsigned char*>(const_cast<void*>(src)), false);
    return bytes;
}

std::ostream& operator<<(std::ostream& os, const DuvAs& as) {
    if (!as.IsValid()) return os << "DuvAs (invalid view)";
    os << "DuvAs format " << DuvFormatName(as.getDuvObjFormat()) << ", " << as.elementCount() << " elements";
    for (DuvDim d : as.order())
        os << "\n  " << DuvDimName(d) << ": start " << as.getStart(d) << ", length " << as.getLen(d) << ", step "
           << as.getStep(d) << " (object length " << as.object()->getLen(d) << ')';
    return os;
}

// ---------------------------------------------------------------------------
// DuvWrapper
// ---------------------------------------------------------------------------

namespace DuvWrapper {

bool Preset(DuvAs& view, double value) {
    if (!view.IsValid()) return false;
    const DuvFormat_t f = view.getDuvObjFormat();
    const size_t eb = DuvFormatBytes(f);
    unsigned char pattern[8];
    elementPattern(f, value, pattern);
    bool zero = true;
    for (size_t i = 0; i < eb; ++i) zero = zero && pattern[i] == 0;

    const DuvAs* views[1] = {&view};
    const std::vector<Axis<1>> axes = axesOf<1>(view.order(), views);
    unsigned char* base[1] = {static_cast<unsigned char*>(view.calcSplObjStartAddr())};
    walk<1>(axes, base, [&](unsigned char* const* p, long n, const ptrdiff_t* s) { fillRun(p[0], s[0], pattern, zero, n, eb); });
    return true;
}

bool Copy(DuvAs& destination, const DuvAs& source) {
    if (!destination.IsValid() || !source.IsValid()) return false;
    if (destination.getDuvObjFormat() != source.getDuvObjFormat()) return false;
    for (int d = 0; d < DUV_DIM_COUNT; ++d)
        if (destination.getLen(DuvDim(d)) != source.getLen(DuvDim(d))) return false;

    // Views that share memory go through a buffer, so that every element
    // receives the source value it had before the copy started.
    if (destination.object().get() == source.object().get()) {
        const auto a = spanOf(destination), b = spanOf(source);
        if (a.first <= b.second && b.first <= a.second) {
            std::vector<unsigned char> buffer(source.elementCount() * DuvFormatBytes(source.getDuvObjFormat()));
            // Gather the source in the destination's order so that scatter
            // puts each element at the same indices.
            const DuvAs* views[2] = {&source, nullptr};
            const std::vector<Axis<2>> axes = axesOf<2>(destination.order(), views);
            const size_t eb = DuvFormatBytes(source.getDuvObjFormat());
            unsigned char* base[2] = {static_cast<unsigned char*>(source.calcSplObjStartAddr()), buffer.data()};
            walk<2>(axes, base, [&](unsigned char* const* p, long n, const ptrdiff_t* s) { copyRun(p[1], s[1], p[0], s[0], n, eb); });
            destination.scatter(buffer.data(), buffer.size());
            return true;
        }
    }

    const DuvAs* views[2] = {&destination, &source};
    const std::vector<Axis<2>> axes = axesOf<2>(destination.order(), views);
    const size_t eb = DuvFormatBytes(source.getDuvObjFormat());
    unsigned char* base[2] = {static_cast<unsigned char*>(destination.calcSplObjStartAddr()),
                              static_cast<unsigned char*>(source.calcSplObjStartAddr())};
    walk<2>(axes, base, [&](unsigned char* const* p, long n, const ptrdiff_t* s) { copyRun(p[0], s[0], p[1], s[1], n, eb); });
    return true;
}

}  // namespace DuvWrapper

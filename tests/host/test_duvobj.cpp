// Data objects and views: storage order, addressing, base windows,
// re-selection, rearrangement, element walks and slice geometry.
#include <gtest/gtest.h>

#include <climits>
#include <complex>
#include <cstring>
#include <numeric>
#include <set>
#include <sstream>
#include <vector>

#include "duvhost/DuvObj.h"
#include "duvhost/Framework.h"

namespace {

MrPtr<DuvObj> make(DuvFormat_t f, const std::vector<DuvDimLength>& dims) {
    MrPtr<DuvObj> o(Rudu::HeapObject<DuvObj>::Create());
    EXPECT_TRUE(o->create(f, dims));
    return o;
}

// Fills a float object with 0, 1, 2, ... in storage order.
void number(DuvObj& o) {
    float* p = reinterpret_cast<float*>(o.data());
    for (size_t i = 0; i < o.byteCount() / sizeof(float); ++i) p[i] = float(i);
}

std::vector<float> gatherFloats(const DuvAs& v) {
    std::vector<float> out(v.elementCount() * DuvFormatBytes(v.getDuvObjFormat()) / sizeof(float));
    EXPECT_EQ(v.gather(out.data(), out.size() * sizeof(float)), out.size() * sizeof(float));
    return out;
}

struct ViewState {
    long start[DUV_DIM_COUNT], len[DUV_DIM_COUNT], step[DUV_DIM_COUNT];
    void* addr;
    explicit ViewState(const DuvAs& v) : addr(v.calcSplObjStartAddr()) {
        for (int d = 0; d < DUV_DIM_COUNT; ++d) {
            start[d] = v.getStart(DuvDim(d));
            len[d] = v.getLen(DuvDim(d));
            step[d] = v.getStep(DuvDim(d));
        }
    }
    bool operator==(const ViewState& o) const {
        return addr == o.addr && std::memcmp(start, o.start, sizeof start) == 0 &&
               std::memcmp(len, o.len, sizeof len) == 0 && std::memcmp(step, o.step, sizeof step) == 0;
    }
};

// The raw store layout of the spectroscopy module, small lengths.
const std::vector<DuvDimLength> kNineDims = {{COL, 3}, {AVE, 2}, {LIN, 3}, {PHS, 2}, {SEG, 2},
                                             {ECO, 1}, {CHA, 2}, {SLC, 3}, {REP, 2}};

}  // namespace

TEST(DuvObjCreate, NineDimensionsFirstFastestZeroFilled) {
    MrPtr<DuvObj> o = make(CXFL, kNineDims);
    EXPECT_TRUE(o->IsValid());
    EXPECT_EQ(o->elementCount(), 3u * 2 * 3 * 2 * 2 * 1 * 2 * 3 * 2);
    EXPECT_EQ(o->byteCount(), o->elementCount() * 8);
    size_t stride = 1;
    for (const DuvDimLength& d : kNineDims) {
        EXPECT_EQ(o->getLen(d.dim), d.length);
        EXPECT_EQ(o->strideElements(d.dim), stride) << DuvDimName(d.dim);
        stride *= size_t(d.length);
    }
    EXPECT_EQ(o->getLen(IDA), 1);
    EXPECT_EQ(o->order(), (std::vector<DuvDim>{COL, AVE, LIN, PHS, SEG, ECO, CHA, SLC, REP}));
    for (size_t i = 0; i < o->byteCount(); ++i) ASSERT_EQ(o->data()[i], 0) << i;
}

TEST(DuvObjCreate, RefusalsLeaveTheObjectUnchanged) {
    MrPtr<DuvObj> o = make(FL, {{COL, 4}, {LIN, 2}});
    const unsigned char* data = o->data();
    const std::vector<std::vector<DuvDimLength>> bad = {
        {{COL, 0}},
        {{COL, -3}},
        {{COL, 2}, {COL, 2}},
        {{COL, 2}, {DuvDim(16), 2}},
        {{COL, LONG_MAX}, {LIN, LONG_MAX}},
        {{COL, 1L << 31}, {LIN, 1L << 31}},  // each fits, the product does not
        {{COL, LONG_MAX / 2}},  // too many bytes for a float object
    };
    for (const auto& dims : bad) EXPECT_FALSE(o->create(FL, dims));
    std::vector<DuvDimLength> seventeen;
    for (int d = 0; d < DUV_DIM_COUNT; ++d) seventeen.push_back({DuvDim(d), 1});
    seventeen.push_back({COL, 1});
    EXPECT_FALSE(o->create(FL, seventeen));
    EXPECT_FALSE(o->create(DuvFormat_t(7), {{COL, 4}}));
    EXPECT_EQ(o->data(), data);
    EXPECT_EQ(o->getLen(COL), 4);
    EXPECT_EQ(o->getLen(LIN), 2);
    EXPECT_EQ(o->format(), FL);

    MrPtr<DuvObj> empty(Rudu::HeapObject<DuvObj>::Create());
    EXPECT_FALSE(empty->IsValid());
    EXPECT_FALSE((*empty)().IsValid());
    EXPECT_EQ((*empty)().calcSplObjStartAddr(), nullptr);
}

// An object too large for memory is refused with its size in bytes and the
// dimensions that made it.
TEST(DuvObjCreate, ATooLargeObjectIsTracedWithItsSizeAndDimensions) {
    MrPtr<DuvObj> o(Rudu::HeapObject<DuvObj>::Create());
    duvtrace::ScopedMemorySink sink;
    EXPECT_FALSE(o->create(FL, {{COL, 1L << 31}, {LIN, 1L << 31}}));
    EXPECT_TRUE(sink->contains("DuvObj::create: 18446744073709551616 bytes (COL 2147483648 x LIN 2147483648, 4 bytes "
                               "each) exceed the address space"));
}

TEST(DuvObjCreate, FormatsAndNames) {
    const size_t bytes[] = {2, 4, 4, 4, 8, 8, 1};
    const char* names[] = {"SH", "LO", "FL", "CXSH", "CXLO", "CXFL", "CHAR"};
    for (int f = 0; f <= CHAR; ++f) {
        EXPECT_EQ(DuvFormatBytes(DuvFormat_t(f)), bytes[f]);
        EXPECT_STREQ(DuvFormatName(DuvFormat_t(f)), names[f]);
    }
    EXPECT_STREQ(DuvDimName(COL), "COL");
    EXPECT_STREQ(DuvDimName(SLC), "SLC");
    EXPECT_STREQ(DuvDimName(AVE), "AVE");
}

TEST(DuvAsAddressing, EveryElementReachableExactlyOnce) {
    MrPtr<DuvObj> o = make(CXFL, kNineDims);
    DuvAs v = (*o)();
    const unsigned char* base = o->data();
    std::set<const unsigned char*> seen;
    long idx[9] = {};
    size_t visited = 0;
    for (;;) {
        std::vector<DuvWindow> w;
        size_t expected = 0, stride = 1;
        for (int k = 0; k < 9; ++k) {
            w.push_back({kNineDims[k].dim, idx[k], 1, 1});
            expected += size_t(idx[k]) * stride;
            stride *= size_t(kNineDims[k].length);
        }
        ASSERT_TRUE(v.init(w));
        const auto* p = static_cast<const unsigned char*>(v.calcSplObjStartAddr());
        ASSERT_EQ(p, base + expected * 8);
        EXPECT_TRUE(seen.insert(p).second);
        EXPECT_EQ(v.elementCount(), 1u);
        ++visited;
        int k = 0;
        for (; k < 9; ++k) {
            if (++idx[k] < kNineDims[k].length) break;
            idx[k] = 0;
        }
        if (k == 9) break;
    }
    EXPECT_EQ(visited, o->elementCount());
    EXPECT_EQ(seen.size(), o->elementCount());
}

TEST(DuvAsAddressing, OutOfRangeInitRefusedAndViewUnchanged) {
    MrPtr<DuvObj> o = make(CXFL, kNineDims);
    DuvAs v = (*o)();
    ASSERT_TRUE(v.init({{COL, 1, 2, 1}, {SLC, 2, 1, 1}}));
    const ViewState before(v);
    const std::vector<DuvWindow> bad[] = {
        {{COL, 3, 1, 1}},             // start at the length
        {{COL, -1, 1, 1}},            // negative start
        {{COL, 0, 4, 1}},             // too long
        {{COL, 1, 2, 2}},             // last element 3 is outside
        {{COL, 0, 2, 0}},             // step below 1
        {{COL, 0, 0, 1}},             // empty
        {{IDA, 1, 1, 1}},             // a dimension not given has length 1
        {{COL, 0, 1, 1}, {COL, 1, 1, 1}},  // the same dimension twice
        {{DuvDim(-1), 0, 1, 1}},
        {{LIN, 0, 2, LONG_MAX}},      // step overflow
    };
    for (const auto& w : bad) {
        EXPECT_FALSE(v.init(w));
        EXPECT_TRUE(before == ViewState(v));
    }
    EXPECT_FALSE(v.init(SLC, 0, 4, 1));
    EXPECT_TRUE(before == ViewState(v));
    DuvAs none;
    EXPECT_FALSE(none.init(std::vector<DuvWindow>{}));
    EXPECT_FALSE(none.IsValid());
    EXPECT_EQ(none.calcSplObjStartAddr(), nullptr);
    EXPECT_EQ(none.calcCurrentSodaPtr(), nullptr);
}

TEST(DuvAsAddressing, ModifyChoosesAnewWithinTheBaseWindow) {
    MrPtr<DuvObj> o = make(FL, {{COL, 16}, {LIN, 3}});
    number(*o);
    DuvAs v = (*o)();
    ASSERT_TRUE(v.init({{COL, 2, 6, 2}, {LIN, 1, 2, 1}}));  // base: columns 2, 4, ..., 12; lines 1, 2
    EXPECT_EQ(gatherFloats(v), (std::vector<float>{18, 20, 22, 24, 26, 28, 34, 36, 38, 40, 42, 44}));

    ASSERT_TRUE(v.modify(COL, 1, 2, 2));  // base elements 1 and 3: columns 4 and 8
    EXPECT_EQ(v.getStart(COL), 4);
    EXPECT_EQ(v.getStep(COL), 4);
    EXPECT_EQ(gatherFloats(v), (std::vector<float>{20, 24, 36, 40}));

    ASSERT_TRUE(v.modify(COL, 5, 1, 1));  // again from the base, not from the last choice
    EXPECT_EQ(v.getStart(COL), 12);
    ASSERT_TRUE(v.modify(LIN, 0, 1, 1));
    EXPECT_EQ(gatherFloats(v), (std::vector<float>{28}));
    ASSERT_TRUE(v.modify(COL, 0, 1, 1));
    EXPECT_EQ(gatherFloats(v), (std::vector<float>{18}));  // LIN keeps its choice

    const ViewState before(v);
    EXPECT_FALSE(v.modify(COL, 6, 1, 1));   // base has 6 elements
    EXPECT_FALSE(v.modify(COL, 0, 4, 2));   // base element 6 does not exist
    EXPECT_FALSE(v.modify(LIN, 0, 3, 1));   // the object has 3 lines, the base 2
    EXPECT_FALSE(v.modify(COL, 0, 1, 0));
    EXPECT_FALSE(v.modify({{COL, 1, 1, 1}, {LIN, 5, 1, 1}}));  // all or nothing
    EXPECT_TRUE(before == ViewState(v));

    ASSERT_TRUE(v.modify({{COL, 1, 1, 1}, {LIN, 1, 1, 1}}));
    EXPECT_EQ(gatherFloats(v), (std::vector<float>{36}));
}

TEST(DuvAsAddressing, StaleViewOfARecreatedObjectIsInvalid) {
    MrPtr<DuvObj> o = make(FL, {{COL, 8}, {LIN, 4}});
    DuvAs v = (*o)();
    ASSERT_TRUE(v.init(LIN, 3, 1, 1));
    ASSERT_TRUE(o->create(FL, {{COL, 8}, {LIN, 2}}));
    EXPECT_FALSE(v.IsValid());
    EXPECT_EQ(v.calcSplObjStartAddr(), nullptr);
    EXPECT_EQ(v.elementCount(), 0u);
    EXPECT_FALSE(v.modify(COL, 0, 1, 1));
    EXPECT_TRUE(v.init());  // a new base window on the new object
    EXPECT_EQ(v.getLen(LIN), 2);
}

TEST(DuvAsWalks, GatherAndScatterInViewOrder) {
    MrPtr<DuvObj> o = make(CXFL, {{COL, 4}, {LIN, 3}, {CHA, 2}});
    number(*o);
    DuvAs v = (*o)();
    ASSERT_TRUE(v.init({{COL, 1, 2, 2}, {LIN, 0, 2, 2}}));  // columns 1, 3; lines 0, 2; both channels
    // complex element e holds the floats 2e, 2e+1; element index = col + 4 lin + 12 cha
    const std::vector<float> expect = {2, 3, 6, 7, 18, 19, 22, 23, 26, 27, 30, 31, 42, 43, 46, 47};
    EXPECT_EQ(gatherFloats(v), expect);

    std::vector<float> small(expect.size() - 1);
    EXPECT_EQ(v.gather(small.data(), small.size() * sizeof(float)), 0u);
    EXPECT_EQ(v.scatter(small.data(), small.size() * sizeof(float)), 0u);

    std::vector<float> in(expect.size());
    std::iota(in.begin(), in.end(), 1000.0f);
    EXPECT_EQ(v.scatter(in.data(), in.size() * sizeof(float)), in.size() * sizeof(float));
    const float* raw = reinterpret_cast<const float*>(o->data());
    size_t k = 0;
    for (long cha = 0; cha < 2; ++cha)
        for (long lin = 0; lin < 3; ++lin)
            for (long col = 0; col < 4; ++col) {
                const long e = col + 4 * lin + 12 * cha;
                const bool inView = (col == 1 || col == 3) && (lin == 0 || lin == 2);
                if (inView) {
                    // scatter order: COL fastest, then LIN, then CHA
                    const size_t pos = size_t((col / 2) + 2 * (lin / 2) + 4 * cha);
                    EXPECT_EQ(raw[2 * e], in[2 * pos]);
                    EXPECT_EQ(raw[2 * e + 1], in[2 * pos + 1]);
                    ++k;
                } else {
                    EXPECT_EQ(raw[2 * e], float(2 * e));
                }
            }
    EXPECT_EQ(k, 8u);
}

TEST(DuvAsWalks, RearrangeContiguousKeepsTheObject) {
    MrPtr<DuvObj> o = make(FL, {{COL, 2}, {LIN, 3}, {CHA, 2}});
    number(*o);
    DuvAs v = (*o)();
    ASSERT_TRUE(v.rearrange(COL, CHA));
    EXPECT_EQ(v.object().get(), o.get());
    EXPECT_EQ(v.order(), (std::vector<DuvDim>{COL, CHA, LIN}));
    EXPECT_EQ(gatherFloats(v), (std::vector<float>{0, 1, 6, 7, 2, 3, 8, 9, 4, 5, 10, 11}));
    const std::vector<DuvDimLength> dims = v.dims();
    ASSERT_EQ(dims.size(), 3u);
    EXPECT_EQ(dims[1].dim, CHA);
    EXPECT_EQ(dims[1].length, 2);
    EXPECT_FALSE(v.rearrange(DuvDim(20), COL));
}

TEST(DuvAsWalks, RearrangeNonContiguousMovesOntoACopy) {
    // An image object whose channels vary fastest: a line of columns is not
    // contiguous until the view is rearranged.
    MrPtr<DuvObj> o = make(FL, {{CHA, 2}, {COL, 4}, {LIN, 3}, {SLC, 2}});
    number(*o);
    o->soda(1).setThickness(7.0);
    DuvAs v = (*o)();
    ASSERT_TRUE(v.init(SLC, 1, 1, 1));
    ASSERT_TRUE(v.rearrange(COL, LIN));
    EXPECT_NE(v.object().get(), o.get());
    EXPECT_EQ(v.order(), (std::vector<DuvDim>{COL, LIN, CHA, SLC}));
    EXPECT_EQ(v.strideElements(COL), 1);
    EXPECT_EQ(v.calcCurrentSodaPtr()->getThickness(), 7.0);
    ASSERT_TRUE(v.modify(CHA, 1, 1, 1));
    DuvAs line(v);
    for (long lin = 0; lin < 3; ++lin) {
        ASSERT_TRUE(line.modify(LIN, lin, 1, 1));
        const float* p = static_cast<const float*>(line.calcSplObjStartAddr());
        for (long col = 0; col < 4; ++col) EXPECT_EQ(p[col], float(1 + 2 * col + 8 * lin + 24)) << lin << " " << col;
    }
}

TEST(DuvAsWalks, RearrangedCopyKeepsTheSelectionWithinTheBase) {
    // Element value lin + nLin x col (LIN fastest in storage).
    const struct {
        long nLin, nCol;
        std::vector<DuvWindow> base, selection;
        std::vector<float> selected, wholeBaseLine;
    } cases[] = {
        // Base columns 1, 2, 3; selected columns 2, 3 of line 2.
        {3, 5, {{COL, 1, 3, 1}}, {{COL, 1, 2, 1}, {LIN, 2, 1, 1}}, {8, 11}, {5, 8, 11}},
        // Base columns 0, 2, 4, 6 and lines 1, 3; selected columns 2, 6 of line 3.
        {4, 7, {{COL, 0, 4, 2}, {LIN, 1, 2, 2}}, {{COL, 1, 2, 2}, {LIN, 1, 1, 1}}, {11, 27}, {3, 11, 19, 27}},
    };
    for (const auto& k : cases) {
        MrPtr<DuvObj> o = make(FL, {{LIN, k.nLin}, {COL, k.nCol}});
        number(*o);
        DuvAs v = (*o)();
        ASSERT_TRUE(v.init(k.base));
        ASSERT_TRUE(v.modify(k.selection));
        ASSERT_TRUE(v.rearrange(COL, LIN));
        EXPECT_NE(v.object().get(), o.get());
        EXPECT_EQ(gatherFloats(v), k.selected);
        ASSERT_TRUE(v.modify(COL, 0, long(k.wholeBaseLine.size()), 1));  // the whole base window again
        EXPECT_EQ(gatherFloats(v), k.wholeBaseLine);
    }
}

TEST(DuvWrapper, PresetFillsOnlyTheView) {
    MrPtr<DuvObj> o = make(CXFL, {{COL, 4}, {LIN, 2}});
    DuvAs v = (*o)();
    ASSERT_TRUE(v.init(COL, 1, 2, 2));
    ASSERT_TRUE(DuvWrapper::Preset(v, 2.5));
    const auto* c = reinterpret_cast<const std::complex<float>*>(o->data());
    for (long e = 0; e < 8; ++e) {
        const bool in = (e % 4) == 1 || (e % 4) == 3;
        EXPECT_EQ(c[e], in ? std::complex<float>(2.5f, 2.5f) : std::complex<float>(0, 0)) << e;
    }
    DuvAs all = (*o)();
    ASSERT_TRUE(DuvWrapper::Preset(all, 0.0));
    for (size_t i = 0; i < o->byteCount(); ++i) ASSERT_EQ(o->data()[i], 0);

    MrPtr<DuvObj> s = make(SH, {{COL, 3}});
    DuvAs sv = (*s)();
    const int16_t* sh = reinterpret_cast<const int16_t*>(s->data());
    ASSERT_TRUE(DuvWrapper::Preset(sv, 3.6));
    EXPECT_EQ(sh[2], 4);
    ASSERT_TRUE(DuvWrapper::Preset(sv, 1e9));
    EXPECT_EQ(sh[0], 32767);
    ASSERT_TRUE(DuvWrapper::Preset(sv, -1e9));
    EXPECT_EQ(sh[1], -32768);

    DuvAs invalid;
    EXPECT_FALSE(DuvWrapper::Preset(invalid, 1.0));
}

TEST(DuvWrapper, CopyElementWiseAndRefusals) {
    MrPtr<DuvObj> src = make(CXFL, {{COL, 8}, {AVE, 3}, {LIN, 2}});
    number(*src);
    DuvAs sv = (*src)();
    ASSERT_TRUE(sv.init({{AVE, 2, 1, 1}, {LIN, 1, 1, 1}}));  // one spectrum of 8 points
    MrPtr<DuvObj> single = make(CXFL, {{COL, 8}, {LIN, 1}});
    DuvAs dv = (*single)();
    ASSERT_TRUE(DuvWrapper::Copy(dv, sv));
    const float* d = reinterpret_cast<const float*>(single->data());
    const long first = 8 * 2 + 24 * 1;  // element index of column 0
    for (long k = 0; k < 16; ++k) EXPECT_EQ(d[k], float(2 * first + k));

    // A source with step 2 into a destination with step 3 of another shape order.
    MrPtr<DuvObj> t = make(CXFL, {{LIN, 2}, {COL, 11}});
    DuvAs tv = (*t)();
    ASSERT_TRUE(tv.init(COL, 1, 4, 3));                      // columns 1, 4, 7, 10
    ASSERT_TRUE(sv.init({{COL, 0, 4, 2}, {AVE, 0, 1, 1}}));  // columns 0, 2, 4, 6 of both lines
    ASSERT_TRUE(DuvWrapper::Copy(tv, sv));
    const float* tf = reinterpret_cast<const float*>(t->data());
    for (long lin = 0; lin < 2; ++lin)
        for (long col = 0; col < 11; ++col) {
            const long k = (col - 1) / 3;
            const bool copied = col % 3 == 1;
            EXPECT_EQ(tf[2 * (lin + 2 * col)], copied ? float(2 * (2 * k + 24 * lin)) : 0.0f) << lin << " " << col;
        }

    const std::vector<unsigned char> before(single->data(), single->data() + single->byteCount());
    MrPtr<DuvObj> other = make(FL, {{COL, 8}});
    DuvAs ov = (*other)();
    ASSERT_TRUE(sv.init({{AVE, 0, 1, 1}, {LIN, 0, 1, 1}}));
    EXPECT_FALSE(DuvWrapper::Copy(ov, sv));  // format differs
    ASSERT_TRUE(sv.init({{COL, 0, 7, 1}, {AVE, 0, 1, 1}, {LIN, 0, 1, 1}}));
    EXPECT_FALSE(DuvWrapper::Copy(dv, sv));  // length differs
    DuvAs invalid;
    EXPECT_FALSE(DuvWrapper::Copy(dv, invalid));
    EXPECT_FALSE(DuvWrapper::Copy(invalid, sv));
    EXPECT_EQ(before, std::vector<unsigned char>(single->data(), single->data() + single->byteCount()));
}

TEST(DuvWrapper, OverlappingCopyReadsTheOriginalValues) {
    MrPtr<DuvObj> o = make(FL, {{COL, 6}});
    number(*o);
    DuvAs a = (*o)(), b = (*o)();
    ASSERT_TRUE(a.init(COL, 1, 5, 1));
    ASSERT_TRUE(b.init(COL, 0, 5, 1));
    ASSERT_TRUE(DuvWrapper::Copy(a, b));  // shift right by one
    DuvAs all = (*o)();
    EXPECT_EQ(gatherFloats(all), (std::vector<float>{0, 0, 1, 2, 3, 4}));

    // Strided element by element: a forward loop alone would smear column 0.
    MrPtr<DuvObj> w = make(FL, {{COL, 11}});
    number(*w);
    DuvAs c = (*w)(), e = (*w)();
    ASSERT_TRUE(c.init(COL, 2, 5, 2));
    ASSERT_TRUE(e.init(COL, 0, 5, 2));
    ASSERT_TRUE(DuvWrapper::Copy(c, e));
    EXPECT_EQ(gatherFloats((*w)()), (std::vector<float>{0, 1, 0, 3, 2, 5, 4, 7, 6, 9, 8}));
}

TEST(DuvSodaPerSlice, OneGeometryPerSliceIndex) {
    MrPtr<DuvObj> o = make(CXFL, {{COL, 4}, {SLC, 3}, {REP, 2}});
    for (long s = 0; s < 3; ++s) o->soda(s).setSlicePosVecSBCS({double(s), 10.0 * s, 0.0});
    DuvAs v = (*o)();
    for (long s = 0; s < 3; ++s) {
        ASSERT_TRUE(v.init({{SLC, s, 1, 1}, {REP, 1, 1, 1}}));
        DuvSoda* p = v.calcCurrentSodaPtr();
        ASSERT_EQ(p, &o->soda(s));
        EXPECT_EQ(p->getSlicePosVecSBCS().y, 10.0 * s);
    }
    // Writing through the view's pointer changes the object's geometry.
    DuvSoda src;
    src.setRowSpacing(3.25);
    *v.calcCurrentSodaPtr() = src;
    EXPECT_EQ(o->soda(2).getRowSpacing(), 3.25);
    EXPECT_EQ(o->soda(0).getRowSpacing(), 1.0);
    EXPECT_EQ(&o->soda(-4), &o->soda(0));
    EXPECT_EQ(&o->soda(9), &o->soda(2));

    MrPtr<DuvObj> noSlc = make(CXFL, {{COL, 4}});
    EXPECT_EQ((*noSlc)().calcCurrentSodaPtr(), &noSlc->soda(0));
}

TEST(DuvAsDump, ListsFormatAndEveryDimension) {
    MrPtr<DuvObj> o = make(CXFL, {{COL, 8}, {LIN, 4}});
    DuvAs v = (*o)();
    ASSERT_TRUE(v.init(LIN, 1, 2, 2));
    std::ostringstream os;
    os << v;
    EXPECT_EQ(os.str(),
              "DuvAs format CXFL, 16 elements\n"
              "  COL: start 0, length 8, step 1 (object length 8)\n"
              "  LIN: start 1, length 2, step 2 (object length 4)");
    std::ostringstream inv;
    inv << DuvAs();
    EXPECT_EQ(inv.str(), "DuvAs (invalid view)");
}

// Image header fields, its deep copy and refusals, the graphics overlay in
// its protocol tree, and the scan header proxy and image control.
#include <cstring>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "duvhost/Graphics.h"
#include "duvhost/Headers.h"

namespace {
MrPtr<MiniHeader> makeHeader() { return MrPtr<MiniHeader>(Rudu::HeapObject<MiniHeader>::Create()); }
}  // namespace

TEST(MiniHeaderFields, TypedSetAndGet) {
    MrPtr<MiniHeader> h = makeHeader();
    EXPECT_TRUE(h->set("AcquisitionNumber", 3));
    EXPECT_TRUE(h->set("UsedChannelMask", long(0x80000000L) - long(0x100000000L)));
    EXPECT_TRUE(h->set("SpectroData", true, true));
    EXPECT_TRUE(h->set("TE", 0.135));
    EXPECT_TRUE(h->set("ImageComment", std::string("_u")));
    EXPECT_TRUE(h->set("CoilString", "XXX"));
    EXPECT_TRUE(h->setArrayValues("PosVec", {1.5, -2.0, 30.25}));

    int i = 0;
    long l = 0;
    bool b = false;
    double d = 0;
    std::string s;
    std::vector<double> v;
    EXPECT_TRUE(h->get("AcquisitionNumber", i));
    EXPECT_EQ(i, 3);
    EXPECT_TRUE(h->get("UsedChannelMask", i));
    EXPECT_EQ(i, int(0x80000000u));
    EXPECT_TRUE(h->get("AcquisitionNumber", l));
    EXPECT_EQ(l, 3);
    EXPECT_TRUE(h->get("SpectroData", b));
    EXPECT_TRUE(b);
    EXPECT_TRUE(h->get("TE", d));
    EXPECT_EQ(d, 0.135);
    EXPECT_TRUE(h->get("ImageComment", s));
    EXPECT_EQ(s, "_u");
    EXPECT_TRUE(h->getArrayValues("PosVec", v));
    EXPECT_EQ(v, (std::vector<double>{1.5, -2.0, 30.25}));

    // Insertion order, flags, and replacement in place.
    EXPECT_TRUE(h->set("AcquisitionNumber", 4, true));
    std::vector<std::string> names;
    for (const auto& f : h->fields()) names.push_back(f.name);
    EXPECT_EQ(names, (std::vector<std::string>{"AcquisitionNumber", "UsedChannelMask", "SpectroData", "TE",
                                               "ImageComment", "CoilString", "PosVec"}));
    EXPECT_TRUE(h->find("AcquisitionNumber")->flag);
    EXPECT_FALSE(h->find("TE")->flag);
    EXPECT_TRUE(h->has("CoilString"));
    EXPECT_FALSE(h->has("coilstring"));
}

// 64-bit values through every integer overload, on a platform whose long
// has 32 bits as on one whose long has 64: kept whole, and refused (output
// untouched) by a get whose type cannot hold them.
TEST(MiniHeaderFields, SixtyFourBitIntegersAreLossless) {
    MrPtr<MiniHeader> h = makeHeader();
    const long long big = 0x123456789ALL;
    const std::int64_t min64 = std::numeric_limits<std::int64_t>::min();
    EXPECT_TRUE(h->set("Big", big));
    EXPECT_TRUE(h->set("Min", min64));
    EXPECT_TRUE(h->set("Long", std::numeric_limits<long>::max()));
    long long ll = 0;
    EXPECT_TRUE(h->get("Big", ll));
    EXPECT_EQ(ll, big);
    std::int64_t i64 = 0;
    EXPECT_TRUE(h->get("Min", i64));
    EXPECT_EQ(i64, min64);
    EXPECT_TRUE(h->get("Long", ll));
    EXPECT_EQ(ll, std::numeric_limits<long>::max());
    long l = 7;
    EXPECT_EQ(h->get("Big", l), sizeof(long) == 8);
    EXPECT_EQ(l, sizeof(long) == 8 ? long(big) : 7L);
    int i = 5;
    EXPECT_FALSE(h->get("Big", i));
    EXPECT_EQ(i, 5);
    std::ostringstream dump;
    dump << *h;
    EXPECT_NE(dump.str().find("Big (int) = 78187493530"), std::string::npos) << dump.str();
    EXPECT_NE(dump.str().find("Min (int) = -9223372036854775808"), std::string::npos) << dump.str();
}

TEST(MiniHeaderFields, RefusalsLeaveFieldAndOutputUntouched) {
    MrPtr<MiniHeader> h = makeHeader();
    ASSERT_TRUE(h->set("NoOfCols", 16));
    ASSERT_TRUE(h->set("TR", 1.5));
    ASSERT_TRUE(h->set("Big", 5000000000L));

    // set never changes a field's type
    EXPECT_FALSE(h->set("NoOfCols", 16.0));
    EXPECT_FALSE(h->set("NoOfCols", "16"));
    EXPECT_FALSE(h->set("NoOfCols", true));
    EXPECT_FALSE(h->setArrayValues("NoOfCols", {16}));
    EXPECT_FALSE(h->set("TR", 2));
    EXPECT_FALSE(h->set("", 1));
    EXPECT_FALSE(h->set("Name", static_cast<const char*>(nullptr)));
    long l = 0;
    ASSERT_TRUE(h->get("NoOfCols", l));
    EXPECT_EQ(l, 16);

    // get refuses missing fields and other types, output untouched
    int i = -7;
    double d = -7.5;
    bool b = true;
    std::string s = "keep";
    std::vector<double> v = {1, 2, 3};
    EXPECT_FALSE(h->get("TR", i));
    EXPECT_FALSE(h->get("Missing", i));
    EXPECT_FALSE(h->get("Big", i));  // does not fit an int
    EXPECT_EQ(i, -7);
    EXPECT_FALSE(h->get("NoOfCols", d));
    EXPECT_EQ(d, -7.5);
    EXPECT_FALSE(h->get("NoOfCols", b));
    EXPECT_TRUE(b);
    EXPECT_FALSE(h->get("NoOfCols", s));
    EXPECT_EQ(s, "keep");
    EXPECT_FALSE(h->getArrayValues("TR", v));
    EXPECT_EQ(v, (std::vector<double>{1, 2, 3}));
}

TEST(MiniHeaderFields, RefuseByNameAndEverything) {
    MrPtr<MiniHeader> h = makeHeader();
    ASSERT_TRUE(h->set("CoilString", "a"));
    h->refuse("CoilString");
    EXPECT_FALSE(h->set("CoilString", "b"));
    EXPECT_FALSE(h->set("CoilString", 1));
    EXPECT_TRUE(h->set("ImageComment", "c"));
    std::string s;
    ASSERT_TRUE(h->get("CoilString", s));
    EXPECT_EQ(s, "a");

    MrPtr<MiniHeader> copy = h->deepCopy();
    EXPECT_FALSE(copy->set("CoilString", "b"));  // refusals travel with the copy

    h->refuse("*");
    EXPECT_FALSE(h->set("ImageComment", "d"));
    EXPECT_FALSE(h->setArrayValues("PosVec", {0, 0, 0}));
    EXPECT_TRUE(copy->set("ImageComment", "d"));
}

TEST(MiniHeaderFields, DeepCopyIsIndependentIncludingProtocol) {
    MrPtr<MiniHeader> h = makeHeader();
    ASSERT_TRUE(h->set("AcquisitionNumber", 1));
    ASSERT_TRUE(h->setArrayValues("RowVec", {1, 0, 0}));
    h->getProtocol().SetLong("GraphOverlay.\"1\".Width", 2);

    MrPtr<MiniHeader> c = h->deepCopy();
    ASSERT_TRUE(c);
    EXPECT_NE(c.get(), h.get());
    ASSERT_TRUE(c->set("AcquisitionNumber", 2));
    ASSERT_TRUE(c->setArrayValues("RowVec", {0, 1, 0}));
    ASSERT_TRUE(c->set("NumberInSeries", 9));
    c->getProtocol().At("GraphOverlay.1.Width").FromLong(5);

    long n = 0;
    std::vector<double> v;
    ASSERT_TRUE(h->get("AcquisitionNumber", n));
    EXPECT_EQ(n, 1);
    ASSERT_TRUE(h->getArrayValues("RowVec", v));
    EXPECT_EQ(v, (std::vector<double>{1, 0, 0}));
    EXPECT_FALSE(h->has("NumberInSeries"));
    EXPECT_EQ(h->getProtocol().At("GraphOverlay.1.Width").ToLong(), 2);
    EXPECT_EQ(c->getProtocol().At("GraphOverlay.1.Width").ToLong(), 5);
    ASSERT_TRUE(c->get("AcquisitionNumber", n));
    EXPECT_EQ(n, 2);
}

TEST(MiniHeaderFields, DumpAndListStreams) {
    MrPtr<MiniHeader> h = makeHeader();
    ASSERT_TRUE(h->set("A", 1));
    ASSERT_TRUE(h->set("B", true, true));
    ASSERT_TRUE(h->set("C", 0.5));
    ASSERT_TRUE(h->set("D", "x y"));
    ASSERT_TRUE(h->setArrayValues("E", {111111, 222222, 333333}));
    std::ostringstream os;
    os << *h;
    EXPECT_EQ(os.str(),
              "MiniHeader, 5 fields\n"
              "  A (int) = 1\n"
              "  B (bool, flag) = true\n"
              "  C (double) = 0.5\n"
              "  D (text) = \"x y\"\n"
              "  E (array) = 111111 222222 333333");
    GraphOverlay overlay(h->getProtocol());
    XNode e = XNodeTraits_MrText_createNode(overlay, "1");
    XNodeTraits_MrText_setValue(e, MrText(MrPoint(0, 0), MrColor(), "t"));
    std::ostringstream withOverlay;
    withOverlay << *h;
    EXPECT_EQ(withOverlay.str().substr(os.str().size()), "\n  protocol: GraphOverlay (1 entries)");

    std::ostringstream l;
    l << std::vector<double>{0, -1.5, 2} << '|' << std::vector<int>{4, 5} << '|' << std::vector<double>{};
    EXPECT_EQ(l.str(), "0 -1.5 2|4 5|");
}

TEST(GraphicsOverlay, ElementsWrittenAndReadBackInOrder) {
    MrPtr<MiniHeader> h = makeHeader();
    GraphOverlay overlay(h->getProtocol());
    EXPECT_EQ(overlay.ElementCount(), 0);

    const MrPoint pts[3] = {{0.05, 0.675}, {0.5, 0.1}, {0.95, 0.675, 2.0}};
    const MrColor green(0, 1, 0), grey(0.6, 0.6, 0.6), yellow(1, 1, 0);
    // Numbered as the modules do: ElementCount() + 1.
    XNode n1 = XNodeTraits_MrPolygon_createNode(overlay, std::to_string(overlay.ElementCount() + 1));
    XNodeTraits_MrPolygon_setValue(n1, MrPolygon(pts, 3, green));
    EXPECT_EQ(overlay.ElementCount(), 1);
    XNode n2 = XNodeTraits_MrText_createNode(overlay, std::to_string(overlay.ElementCount() + 1));
    XNodeTraits_MrText_setValue(n2, MrText(MrPoint(0.3, 0.05), yellow, "Read trace"));
    XNode n3 = XNodeTraits_MrPolygon_createNode(overlay, std::to_string(overlay.ElementCount() + 1));
    XNodeTraits_MrPolygon_setValue(n3, MrPolygon(pts, 2, grey));
    ASSERT_EQ(overlay.ElementCount(), 3);
    EXPECT_EQ(h->getProtocol().At("GraphOverlay").ChildNames(), (std::vector<std::string>{"1", "2", "3"}));

    // A receiver reads the elements from a copy of the header.
    MrPtr<MiniHeader> received = h->deepCopy();
    GraphOverlay back(received->getProtocol());
    ASSERT_EQ(back.ElementCount(), 3);
    EXPECT_TRUE(back.isPolygon(0));
    EXPECT_FALSE(back.isPolygon(1));
    EXPECT_TRUE(back.isPolygon(2));
    EXPECT_FALSE(back.isPolygon(3));

    const MrPolygon p = back.polygon(0);
    ASSERT_EQ(p.points.size(), 3u);
    EXPECT_EQ(p.points[1].X, 0.5);
    EXPECT_EQ(p.points[1].Y, 0.1);
    EXPECT_EQ(p.points[2].Z, 2.0);
    EXPECT_EQ(p.color.green, 1.0);
    EXPECT_EQ(p.color.red, 0.0);
    EXPECT_EQ(back.polygon(2).points.size(), 2u);
    EXPECT_EQ(back.polygon(2).color.blue, 0.6);
    EXPECT_TRUE(back.polygon(1).points.empty());  // a text is no polygon

    const MrText t = back.text(1);
    EXPECT_EQ(t.text, "Read trace");
    EXPECT_EQ(t.position.X, 0.3);
    EXPECT_EQ(t.position.Y, 0.05);
    EXPECT_EQ(t.color.red, 1.0);
    EXPECT_EQ(t.color.green, 1.0);
    EXPECT_EQ(t.color.blue, 0.0);
    EXPECT_EQ(back.text(0).text, "");

    // The layout of the overlay in the protocol tree.
    const XProtocol& prot = received->getProtocol();
    EXPECT_EQ(prot.At("GraphOverlay.1.Type").ToString(), "polygon");
    // Points: a count and the packed coordinates (three doubles each).
    EXPECT_EQ(prot.At("GraphOverlay.1.PointCount").ToLong(), 3);
    const std::string packed = prot.At("GraphOverlay.1.PointData").ToString();
    ASSERT_EQ(packed.size(), 3 * 3 * sizeof(double));
    double x2 = 0.0;
    std::memcpy(&x2, packed.data() + 2 * 3 * sizeof(double), sizeof x2);
    EXPECT_EQ(x2, 0.95);
    EXPECT_EQ(prot.At("GraphOverlay.1.Color.1").ToDouble(), 1.0);
    EXPECT_EQ(prot.At("GraphOverlay.2.Type").ToString(), "text");
    EXPECT_EQ(prot.At("GraphOverlay.2.Text").ToString(), "Read trace");
    EXPECT_EQ(prot.At("GraphOverlay.2.Position.Y").ToDouble(), 0.05);

    // An overlay on an existing tree finds its elements.
    GraphOverlay again(h->getProtocol());
    EXPECT_EQ(again.ElementCount(), 3);
}

TEST(ScanHeaderProxy, OwningViewingAndCopies) {
    sScanHeader raw{};
    raw.ushSamplesInScan = 512;
    MdhProxy view(&raw);
    view->sLC.ushLine = 7;
    EXPECT_EQ(raw.sLC.ushLine, 7);  // views write through

    MdhProxy copy(view);
    copy->sLC.ushLine = 9;
    EXPECT_EQ(raw.sLC.ushLine, 7);  // a copy owns its header
    EXPECT_EQ(copy->ushSamplesInScan, 512);

    MdhProxy assigned;
    assigned = view;
    assigned->ushSamplesInScan = 1;
    EXPECT_EQ(raw.ushSamplesInScan, 512);
    EXPECT_EQ(assigned->sLC.ushLine, 7);
    EXPECT_EQ(MdhProxy().header().ushSamplesInScan, 0);

    view.setEvalInfoMask(MDH_NOISEADJSCAN | (1ULL << 40));
    EXPECT_EQ(raw.aulEvalInfoMask[0], uint32_t(MDH_NOISEADJSCAN));
    EXPECT_EQ(raw.aulEvalInfoMask[1], 1u << 8);
    raw.aulEvalInfoMask[0] = uint32_t(MDH_PHASCOR | MDH_ACQEND);
    EXPECT_EQ(view.getEvalInfoMask(), MDH_PHASCOR | MDH_ACQEND | (1ULL << 40));
    EXPECT_TRUE(view.isFlagSet(MDH_PHASCOR));
    EXPECT_FALSE(view.isFlagSet(MDH_NOISEADJSCAN));
    EXPECT_FALSE(view.isFlagSet(MDH_PHASCOR | MDH_NOISEADJSCAN));
}

TEST(ImageControlRecord, DefaultsAndDump) {
    ImageControl c;
    for (int d = 0; d < DUV_DIM_COUNT; ++d) {
        EXPECT_EQ(c.getCount(DuvDim(d)), 1);
        EXPECT_EQ(c.getIndex(DuvDim(d)), 0);
    }
    EXPECT_EQ(c.getColumns(), 0);
    c.setColumns(256);
    c.setCount(PAR, 176);
    c.setIndex(PAR, 5);
    std::ostringstream os;
    os << c;
    const std::string s = os.str();
    EXPECT_EQ(s.substr(0, s.find('\n')), "ImageControl columns 256");
    EXPECT_NE(s.find("\n  COL: count 1, index 0\n"), std::string::npos);
    EXPECT_NE(s.find("\n  PAR: count 176, index 5\n"), std::string::npos);
    EXPECT_EQ(s.substr(s.rfind('\n')), "\n  AVE: count 1, index 0");
    EXPECT_EQ(std::count(s.begin(), s.end(), '\n'), 16);
}

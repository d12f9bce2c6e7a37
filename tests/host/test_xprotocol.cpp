// The protocol tree: operations, paths, '*' selection and the text form.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <sstream>

#ifndef _WIN32
#include <sys/resource.h>
#include <unistd.h>
#endif

#include "duvhost/Framework.h"
#include "duvhost/XProtocol.h"

namespace {

std::string textOf(const XProtocol& p) {
    std::string t;
    EXPECT_EQ(p.SaveToStream(t), I_OK);
    return t;
}

std::string loadError(const std::string& text) {
    try {
        XProtocol::LoadFromText(text, "prot.txt");
    } catch (const ReadonlyXNode::Exception& e) {
        return e.what();
    }
    return "no error";
}

XProtocol sliceProtocol() {
    XProtocol p;
    XNode slices = p.SetLong("MEAS.lSlices", 3);
    (void)slices;
    XNode arr = p.At("MEAS").CreateMap("sSliceArray").CreateArray("asSlice", 3);
    for (int i = 0; i < 3; ++i) {
        XNode s = arr.At(i);
        EXPECT_TRUE(s.IsType(ReadonlyXNode::Unset));
        p.SetDouble("MEAS.sSliceArray.asSlice." + std::to_string(i) + ".sNormal.dSag", 0.1 * (i + 1));
        p.SetDouble("MEAS.sSliceArray.asSlice." + std::to_string(i) + ".dThickness", 10.0 + i);
    }
    return p;
}

}  // namespace

TEST(XProtocolTree, BuildNavigateAndDescribe) {
    XProtocol p;
    EXPECT_TRUE(p.IsType(ReadonlyXNode::Map));
    EXPECT_EQ(p.Count(), 0);
    p.SetLong("MEAS.sKSpace.lBaseResolution", 16);
    p.SetString("MEAS.tProtocolName", "svs_se");
    p.SetBool("MEAS.sHammingFilter.ucOn", true);
    p.SetDouble("MEAS.adFlipAngleDegree.1", 180.0);

    EXPECT_EQ(p.ChildNames(), std::vector<std::string>{"MEAS"});
    EXPECT_EQ(p.At("MEAS").ChildNames(),
              (std::vector<std::string>{"sKSpace", "tProtocolName", "sHammingFilter", "adFlipAngleDegree"}));
    ReadonlyXNode fa = p.At("MEAS.adFlipAngleDegree");
    EXPECT_TRUE(fa.IsType(ReadonlyXNode::Array));
    EXPECT_EQ(fa.Dimension(), 2);
    EXPECT_EQ(fa.Count(), 2);
    EXPECT_TRUE(fa.At(0L).IsBad());  // created unset on the way
    EXPECT_TRUE(fa.At(0L).IsType(ReadonlyXNode::Unset));
    EXPECT_TRUE(fa.At(1L).IsOk());
    EXPECT_DOUBLE_EQ(p["MEAS.adFlipAngleDegree.1"].ToDouble(), 180.0);
    EXPECT_EQ(p["MEAS.adFlipAngleDegree.1"].Name(), "1");
    EXPECT_EQ(p["MEAS.adFlipAngleDegree.1"].Path(), "MEAS.adFlipAngleDegree.1");
    EXPECT_EQ(p["MEAS.sKSpace"]["lBaseResolution"].Path(), "MEAS.sKSpace.lBaseResolution");
    EXPECT_TRUE(p["MEAS.tProtocolName"].IsLeaf());
    EXPECT_EQ(p["MEAS.tProtocolName"].Dimension(), 1);
    EXPECT_EQ(p["MEAS.tProtocolName"].Count(), 0);
    EXPECT_EQ(p["MEAS"].Dimension(), 0);
    EXPECT_FALSE(p["MEAS"].IsLeaf());

    // Missing nodes: a bad handle, or the exception naming the whole path.
    EXPECT_TRUE(p.At("MEAS.nothing", false).IsBad());
    EXPECT_TRUE(p.At("MEAS.adFlipAngleDegree.7", false).IsBad());
    EXPECT_TRUE(p.At("MEAS..x", false).IsBad());
    try {
        p.At("MEAS").At("sKSpace.lPartitions");
        FAIL();
    } catch (const ReadonlyXNode::Exception& e) {
        EXPECT_STREQ(e.what(), "protocol node not found: MEAS.sKSpace.lPartitions");
    }
    ReadonlyXNode none;
    EXPECT_TRUE(none.IsBad());
    EXPECT_EQ(none.GetType(), ReadonlyXNode::Bad);
    EXPECT_EQ(none.Dimension(), 0);
    EXPECT_THROW(none.ToLong(), ReadonlyXNode::Exception);
}

TEST(XProtocolTree, NumericKeysOfMapsAreKeysNotIndices) {
    XProtocol p;
    XNode overlay = p.CreateMap("GraphOverlay");
    overlay.CreateMap("1").CreateStringParam("Type", "text");
    overlay.CreateMap("2").CreateStringParam("Type", "polygon");
    EXPECT_EQ(p["GraphOverlay.2.Type"].ToString(), "polygon");
    EXPECT_EQ(p["GraphOverlay"].At(1L).At("Type").ToString(), "text");
    EXPECT_EQ(p["GraphOverlay.1.Type"].Path(), "GraphOverlay.\"1\".Type");
    EXPECT_EQ(p["GraphOverlay.\"1\".Type"].ToString(), "text");
    // A quoted component never indexes an array.
    p.SetLong("arr.0", 5);
    EXPECT_TRUE(p.At("arr.\"0\"", false).IsBad());
}

// The bounds of the host's long (32 bits on Windows, 64 on Linux): a value
// beyond them is refused with its path and value, never wrapped.
TEST(XProtocolTree, ToLongRefusesValuesBeyondTheHostsLong) {
    XProtocol p;
    const double limit = std::ldexp(1.0, std::numeric_limits<long>::digits);
    p.SetDouble("MEAS.lMin", -limit);
    p.SetDouble("MEAS.lTooBig", limit);
    // The next integer below the bound that a double holds.
    p.SetDouble("MEAS.lTooSmall", -limit - std::max(1.0, std::ldexp(1.0, std::numeric_limits<long>::digits - 52)));
    EXPECT_EQ(p["MEAS.lMin"].ToLong(), std::numeric_limits<long>::min());
    for (const char* path : {"MEAS.lTooBig", "MEAS.lTooSmall"}) {
        try {
            p[path].ToLong();
            ADD_FAILURE() << path << " converted";
        } catch (const ReadonlyXNode::Exception& e) {
            const std::string text = e.what();
            EXPECT_NE(text.find(std::string(" of ") + path + " is out of range for long"), std::string::npos) << text;
            EXPECT_EQ(text.rfind("ToLong: value ", 0), 0u) << text;
        }
    }
    // The text form: a number beyond the host's long is refused at its line.
    const std::string tooBig = std::to_string(static_cast<unsigned long long>(std::numeric_limits<long>::max()) + 1);
    EXPECT_EQ(loadError("a = " + tooBig), "prot.txt:1: number " + tooBig + " out of range for long");
}

TEST(XProtocolTree, Conversions) {
    XProtocol p;
    p.SetLong("l", -7);
    p.SetDouble("d", 2.5);
    p.SetDouble("dn", -2.5);
    p.SetDouble("big", 1e30);
    p.SetBool("b", true);
    p.SetString("s", "text");
    EXPECT_EQ(p["d"].ToLong(), 3);    // to nearest, halves away from zero
    EXPECT_EQ(p["dn"].ToLong(), -3);
    EXPECT_THROW(p["big"].ToLong(), ReadonlyXNode::Exception);
    EXPECT_EQ(p["b"].ToLong(), 1);
    EXPECT_DOUBLE_EQ(p["l"].ToDouble(), -7.0);
    EXPECT_DOUBLE_EQ(p["b"].ToDouble(), 1.0);
    EXPECT_TRUE(p["l"].ToBool());
    EXPECT_TRUE(p["d"].ToBool());
    EXPECT_EQ(p["s"].ToString(), "text");
    EXPECT_EQ(p["l"].ToString(), "-7");
    EXPECT_EQ(p["d"].ToString(), "2.5");
    EXPECT_EQ(p["b"].ToString(), "true");
    try {
        p["s"].ToLong();
        FAIL();
    } catch (const ReadonlyXNode::Exception& e) {
        EXPECT_STREQ(e.what(), "ToLong: protocol node s is a string");
    }
    EXPECT_THROW(p["s"].ToDouble(), ReadonlyXNode::Exception);
    EXPECT_THROW(p["s"].ToBool(), ReadonlyXNode::Exception);
    p.CreateArray("a", 2);
    EXPECT_THROW(p["a"].ToString(), ReadonlyXNode::Exception);
    try {
        p["a"].At(0L).ToDouble();
        FAIL();
    } catch (const ReadonlyXNode::Exception& e) {
        EXPECT_STREQ(e.what(), "ToDouble: protocol node a.0 is unset");
    }
}

TEST(XProtocolTree, FromValuesSetArraySizeAndCreate) {
    XProtocol p;
    XNode a = p.CreateArray("alTE", 2);
    a.At(1L).FromLong(30000);  // an unset element takes a value
    EXPECT_EQ(p["alTE.1"].ToLong(), 30000);
    XNode e1 = a.At(1L);
    e1.FromString("now text");
    EXPECT_TRUE(p["alTE.1"].IsType(ReadonlyXNode::String));
    e1.FromDouble(0.5);
    EXPECT_TRUE(p["alTE.1"].IsType(ReadonlyXNode::Double));
    e1.FromBool(false);
    EXPECT_FALSE(p["alTE.1"].ToBool());
    EXPECT_THROW(a.FromLong(1), ReadonlyXNode::Exception);  // containers keep their children
    EXPECT_THROW(XNode().FromLong(1), ReadonlyXNode::Exception);

    a.SetArraySize(4);
    EXPECT_EQ(a.Dimension(), 4);
    EXPECT_TRUE(a.At(3L).IsType(ReadonlyXNode::Unset));
    EXPECT_FALSE(p["alTE.1"].ToBool());  // kept
    a.SetArraySize(1);
    EXPECT_EQ(a.Dimension(), 1);
    EXPECT_THROW(a.SetArraySize(-1), ReadonlyXNode::Exception);
    EXPECT_THROW(a.SetArraySize(1L << 21), ReadonlyXNode::Exception);
    EXPECT_THROW(p.SetArraySize(2), ReadonlyXNode::Exception);  // not an array

    // Children of an array by number (growing it), of a map by name (replacing).
    a.CreateLongParam("2", 7);
    EXPECT_EQ(a.Dimension(), 3);
    EXPECT_EQ(p["alTE.2"].ToLong(), 7);
    EXPECT_THROW(a.CreateLongParam("x", 1), ReadonlyXNode::Exception);
    // Two handles to one unset element: the later value holds for both and the tree.
    a.SetArraySize(6);
    XNode u1 = a.At(4L), u2 = a.At(4L), u3 = a.At(5L);
    u1.FromLong(1);
    u2.FromLong(2);
    EXPECT_EQ(p["alTE.4"].ToLong(), 2);
    EXPECT_EQ(u1.ToLong(), 2);
    EXPECT_EQ(u2.ToLong(), 2);
    // An element the array no longer reaches is out of the tree for good.
    a.SetArraySize(3);
    u3.FromLong(3);
    a.SetArraySize(6);
    EXPECT_TRUE(p["alTE.4"].IsType(ReadonlyXNode::Unset));
    EXPECT_TRUE(p["alTE.5"].IsType(ReadonlyXNode::Unset));
    XNode m = p.CreateMap("m");
    m.CreateLongParam("k", 1);
    m.CreateDoubleParam("x", 1.0);
    m.CreateStringParam("k", "replaced");
    EXPECT_EQ(m.ChildNames(), (std::vector<std::string>{"k", "x"}));
    EXPECT_EQ(p["m.k"].ToString(), "replaced");
    m.CreateBoolParam("x", true);
    EXPECT_TRUE(p["m.x"].IsType(ReadonlyXNode::Bool));
    EXPECT_THROW(p["m.k"].CreateMap("child"), ReadonlyXNode::Exception);

    // Set... creates on the way; it refuses paths through values and '*'.
    EXPECT_THROW(p.SetLong("m.k.deeper", 1), ReadonlyXNode::Exception);
    EXPECT_THROW(p.SetLong("alTE.*", 1), ReadonlyXNode::Exception);
    EXPECT_THROW(p.SetLong("m", 1), ReadonlyXNode::Exception);  // a map is no leaf
    EXPECT_THROW(p.SetLong("", 1), ReadonlyXNode::Exception);
    EXPECT_THROW(p.SetLong("big.1048576", 1), ReadonlyXNode::Exception);
    EXPECT_TRUE(p.At("big", false).IsBad());  // nothing created by the refused call
    p.SetLong("nested.0.1", 4);
    EXPECT_TRUE(p["nested"].IsType(ReadonlyXNode::Array));
    EXPECT_TRUE(p["nested.0"].IsType(ReadonlyXNode::Array));
    EXPECT_EQ(p["nested.0"].Dimension(), 2);
}

TEST(XProtocolSelect, StarSelectsEveryElementInIndexOrder) {
    XProtocol p = sliceProtocol();
    auto sag = p.Select("MEAS.sSliceArray.asSlice.*.sNormal.dSag");
    ASSERT_EQ(sag.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_DOUBLE_EQ(sag[i].ToDouble(), 0.1 * (i + 1));
        EXPECT_EQ(sag[i].Path(), "MEAS.sSliceArray.asSlice." + std::to_string(i) + ".sNormal.dSag");
    }
    // Elements without the rest of the path are skipped; unset ends select nothing.
    p.SetLong("MEAS.sSliceArray.asSlice.4.dThickness", 99);
    auto th = p.Select("MEAS.sSliceArray.asSlice.*.dThickness");
    ASSERT_EQ(th.size(), 4u);
    EXPECT_EQ(th[3].ToLong(), 99);
    EXPECT_EQ(p.Select("MEAS.sSliceArray.asSlice.*.sNormal.dSag").size(), 3u);
    EXPECT_EQ(p.Select("MEAS.sSliceArray.asSlice.3").size(), 0u);  // unset element
    // Without '*': the one node, or none.
    ASSERT_EQ(p.Select("MEAS.lSlices").size(), 1u);
    EXPECT_EQ(p.Select("MEAS.lSlices")[0].ToLong(), 3);
    EXPECT_TRUE(p.Select("MEAS.missing").empty());
    // Nested stars, and '*' over a map's children in insertion order.
    p.SetString("YAPS.CoilSelects.0.0.CoilElementID", "H1");
    p.SetString("YAPS.CoilSelects.0.1.CoilElementID", "H2");
    p.SetString("YAPS.CoilSelects.1.0.CoilElementID", "B1");
    auto ids = p.Select("YAPS.CoilSelects.*.*.CoilElementID");
    ASSERT_EQ(ids.size(), 3u);
    EXPECT_EQ(ids[0].ToString() + ids[1].ToString() + ids[2].ToString(), "H1H2B1");
    auto maps = p.Select("*");
    ASSERT_EQ(maps.size(), 2u);
    EXPECT_EQ(maps[0].Name(), "MEAS");
    EXPECT_EQ(maps[1].Name(), "YAPS");
}

TEST(XProtocolText, WritesOneLeafPerLineInTreeOrder) {
    XProtocol p;
    p.SetLong("MEAS.lAverages", 4);
    p.SetDouble("MEAS.adFlipAngleDegree.0", 90.0);
    p.SetDouble("MEAS.adFlipAngleDegree.1", 1e-3);
    p.SetBool("MEAS.ucOn", false);
    p.SetString("MEAS.tName", "a \"b\"\\\n\t\r\x01\x7f#é");
    p.CreateArray("E", 0);
    p.CreateMap("M");
    XNode u = p.CreateArray("U", 3);
    u.At(1L).FromLong(1);
    p.CreateMap("G").CreateMap("1").CreateLongParam("x y", 2);
    EXPECT_EQ(textOf(p),
              "MEAS.lAverages = 4\n"
              "MEAS.adFlipAngleDegree.0 = 90.0\n"
              "MEAS.adFlipAngleDegree.1 = 0.001\n"
              "MEAS.ucOn = false\n"
              "MEAS.tName = \"a \\\"b\\\"\\\\\\n\\t\\r\\x01\\x7f#é\"\n"
              "E = []\n"
              "M = {}\n"
              "U.1 = 1\n"
              "U.2 = null\n"
              "G.\"1\".\"x y\" = 2\n");
    std::ostringstream os;
    EXPECT_EQ(p.SaveToStream(os), I_OK);
    EXPECT_EQ(os.str(), textOf(p));
    std::ostringstream bad;
    bad.setstate(std::ios::badbit);
    EXPECT_EQ(p.SaveToStream(bad), I_FAIL);
    EXPECT_EQ(textOf(XProtocol()), "");
}

TEST(XProtocolText, RoundTripsARichTreeExactly) {
    XProtocol p;
    p.SetLong("L.min", LONG_MIN);
    p.SetLong("L.max", LONG_MAX);
    p.SetLong("L.zero", 0);
    const double doubles[] = {0.1,    1.0 / 3.0, 100.0,   -0.0,  1e20,   1e-300, 5e-324, 2.2250738585072014e-308,
                              1.5e300, -42.0,    123456789012345678.0, std::numeric_limits<double>::infinity(),
                              -std::numeric_limits<double>::infinity()};
    XNode d = p.CreateArray("D", 0);
    long i = 0;
    for (double v : doubles) d.CreateDoubleParam(std::to_string(i++), v);
    p.SetBool("B.t", true);
    p.SetBool("B.f", false);
    std::string allBytes;
    for (int c = 0; c < 256; ++c) allBytes += static_cast<char>(c);
    p.SetString("S.all", allBytes);
    p.SetString("S.empty", "");
    p.SetString("S.lookalike", "1.5 # not a comment = \"x\"");
    p.CreateMap("Empty").CreateMap("Inner");
    p.CreateArray("EmptyArr", 0);
    XNode un = p.CreateArray("Unset", 5);
    un.At(2L).FromLong(2);
    p.CreateArray("AllUnset", 3);
    XNode arrOfArr = p.CreateArray("AA", 2);
    arrOfArr.At(0L).FromLong(0);  // a leaf first, then replaced by an array below
    XNode inner = arrOfArr.CreateArray("0", 2);
    inner.CreateStringParam("1", "x");
    arrOfArr.CreateArray("1", 0);
    XNode elems = p.CreateArray("Elems", 2);
    elems.CreateMap("0").CreateLongParam("v", 1);
    elems.CreateMap("1");
    XNode keys = p.CreateMap("Keys");
    keys.CreateLongParam("1", 1);
    keys.CreateLongParam("007", 7);
    keys.CreateLongParam("a.b", 2);
    keys.CreateLongParam("", 3);
    keys.CreateLongParam("with \"quote\"", 4);
    keys.CreateLongParam("*", 5);
    keys.CreateLongParam("true", 6);
    keys.CreateLongParam("_ok9", 8);
    keys.CreateMap("2").CreateMap("3").CreateDoubleParam("4", 4.0);

    const std::string text = textOf(p);
    XProtocol back = XProtocol::LoadFromText(text, "rt");
    EXPECT_EQ(textOf(back), text);
    EXPECT_TRUE(back == p);

    // Values and types came back, not only the text.
    EXPECT_EQ(back["L.min"].ToLong(), LONG_MIN);
    EXPECT_EQ(back["L.max"].ToLong(), LONG_MAX);
    i = 0;
    for (double v : doubles) {
        ReadonlyXNode n = back["D"].At(i++);
        ASSERT_TRUE(n.IsType(ReadonlyXNode::Double)) << n.Path();
        const double r = n.ToDouble();
        EXPECT_EQ(std::memcmp(&r, &v, sizeof r), 0) << n.Path();
    }
    EXPECT_EQ(back["S.all"].ToString(), allBytes);
    EXPECT_EQ(back["S.empty"].ToString(), "");
    EXPECT_EQ(back["S.lookalike"].ToString(), "1.5 # not a comment = \"x\"");
    EXPECT_TRUE(back["Empty.Inner"].IsType(ReadonlyXNode::Map));
    EXPECT_EQ(back["Empty.Inner"].Count(), 0);
    EXPECT_EQ(back["EmptyArr"].Dimension(), 0);
    EXPECT_EQ(back["Unset"].Dimension(), 5);
    EXPECT_TRUE(back["Unset"].At(4L).IsType(ReadonlyXNode::Unset));
    EXPECT_EQ(back["Unset.2"].ToLong(), 2);
    EXPECT_EQ(back["AllUnset"].Dimension(), 3);
    EXPECT_TRUE(back["AA.0"].IsType(ReadonlyXNode::Array));
    EXPECT_TRUE(back["AA.1"].IsType(ReadonlyXNode::Array));
    EXPECT_TRUE(back["Elems.1"].IsType(ReadonlyXNode::Map));
    EXPECT_EQ(back["Keys"].ChildNames(),
              (std::vector<std::string>{"1", "007", "a.b", "", "with \"quote\"", "*", "true", "_ok9", "2"}));
    EXPECT_EQ(back["Keys"].At("\"a.b\"").ToLong(), 2);
    EXPECT_DOUBLE_EQ(back["Keys.2.3.4"].ToDouble(), 4.0);

    // NaN survives as a double too.
    XProtocol n;
    n.SetDouble("nan", std::nan(""));
    XProtocol nb = XProtocol::LoadFromText(textOf(n));
    EXPECT_TRUE(std::isnan(nb["nan"].ToDouble()));
}

TEST(XProtocolText, ReaderAcceptsCommentsBlanksAndLineEnds) {
    const std::string text =
        "\xEF\xBB\xBF# a protocol\r\n"
        "\n"
        "   MEAS.lAverages   =   +4   # four\r\n"
        "\tMEAS.dX=-1.5e2\n"
        "MEAS.tName = \"x#y\" # trailing\n"
        "MEAS.esc = \"\\a\\b\\f\\v\\0\\'\\?\\x4A\\x4a\"\n"
        "MEAS.d2 = .5\n"
        "MEAS.d3 = 5.\n"
        "MEAS.inf = -inf\n"
        "MEAS.flag = true";
    XProtocol p = XProtocol::LoadFromText(text, "t");
    EXPECT_EQ(p["MEAS.lAverages"].ToLong(), 4);
    EXPECT_TRUE(p["MEAS.lAverages"].IsType(ReadonlyXNode::Long));
    EXPECT_DOUBLE_EQ(p["MEAS.dX"].ToDouble(), -150.0);
    EXPECT_EQ(p["MEAS.tName"].ToString(), "x#y");
    EXPECT_EQ(p["MEAS.esc"].ToString(), std::string("\a\b\f\v\0'?JJ", 9));
    EXPECT_DOUBLE_EQ(p["MEAS.d2"].ToDouble(), 0.5);
    EXPECT_DOUBLE_EQ(p["MEAS.d3"].ToDouble(), 5.0);
    EXPECT_TRUE(std::isinf(p["MEAS.inf"].ToDouble()));
    EXPECT_TRUE(p["MEAS.flag"].ToBool());
    EXPECT_EQ(p["MEAS"].Count(), 8);
    // An empty map declared first may still receive children.
    XProtocol q = XProtocol::LoadFromText("a = {}\na.b = 1\n");
    EXPECT_EQ(q["a.b"].ToLong(), 1);
}

TEST(XProtocolText, MalformedLinesNameFileAndLine) {
    EXPECT_EQ(loadError("a = 1\n\nMEAS.x 1\n"), "prot.txt:3: expected '=' after the path");
    EXPECT_EQ(loadError("= 1"), "prot.txt:1: missing path before '='");
    EXPECT_EQ(loadError("a..b = 1"), "prot.txt:1: empty path component");
    EXPECT_EQ(loadError("a. = 1"), "prot.txt:1: empty path component");
    EXPECT_EQ(loadError("a-b = 1"), "prot.txt:1: invalid character '-' in path");
    EXPECT_EQ(loadError("\"a = 1"), "prot.txt:1: path: unterminated string");
    EXPECT_EQ(loadError("a ="), "prot.txt:1: missing value after '='");
    EXPECT_EQ(loadError("a = # nothing"), "prot.txt:1: missing value after '='");
    EXPECT_EQ(loadError("a = 1 2"), "prot.txt:1: unexpected text after the value");
    EXPECT_EQ(loadError("a = \"x\" y"), "prot.txt:1: unexpected text after the value");
    EXPECT_EQ(loadError("a = 1.5.3"), "prot.txt:1: invalid value '1.5.3'");
    EXPECT_EQ(loadError("a = yes"), "prot.txt:1: invalid value 'yes'");
    EXPECT_EQ(loadError("a = 1e"), "prot.txt:1: invalid value '1e'");
    EXPECT_EQ(loadError("a = 0x10"), "prot.txt:1: invalid value '0x10'");
    EXPECT_EQ(loadError("a = \"abc"), "prot.txt:1: unterminated string");
    EXPECT_EQ(loadError("a = \"\\q\""), "prot.txt:1: invalid escape \\q");
    EXPECT_EQ(loadError("a = \"\\x4\""), "prot.txt:1: invalid escape \\x (two hex digits expected)");
    EXPECT_EQ(loadError("a = 99999999999999999999"), "prot.txt:1: number 99999999999999999999 out of range for long");
    EXPECT_EQ(loadError("a = 1e999"), "prot.txt:1: number 1e999 out of range for double");
    EXPECT_EQ(loadError("a = null"), "prot.txt:1: null is only allowed for array elements");
    EXPECT_EQ(loadError("0 = 1"), "prot.txt:1: <root> is a map, 0 is an array index");
    EXPECT_EQ(loadError("a = 1\na = 2"), "prot.txt:2: duplicate entry a");
    EXPECT_EQ(loadError("a.\"k\" = 1\na.k = 2"), "prot.txt:2: duplicate entry a.k");
    EXPECT_EQ(loadError("a.0 = 1\na.0 = null"), "prot.txt:2: duplicate entry a.0");
    EXPECT_EQ(loadError("a = []\na = []"), "prot.txt:2: duplicate entry a");
    EXPECT_EQ(loadError("a = 1\na.b = 2"), "prot.txt:2: a is a long value, not a map or array");
    EXPECT_EQ(loadError("a.b = 1\na.0 = 2"), "prot.txt:2: a is a map, 0 is an array index");
    EXPECT_EQ(loadError("a.0 = 1\na.x = 2"), "prot.txt:2: a is an array, x is not an index");
    EXPECT_EQ(loadError("a.0 = 1\na.\"1\" = 2"), "prot.txt:2: a is an array, \"1\" is not an index");
    EXPECT_EQ(loadError("a.1048576 = 1"), "prot.txt:1: array index 1048576 exceeds the limit of 1048575");
    std::string deep = "a";
    for (int k = 0; k < 300; ++k) deep += ".a";
    EXPECT_EQ(loadError(deep + " = 1"), "prot.txt:1: path deeper than 256 components");
    // Default source name.
    try {
        XProtocol::LoadFromText("bad line");
        FAIL();
    } catch (const ReadonlyXNode::Exception& e) {
        EXPECT_STREQ(e.what(), "<text>:1: expected '=' after the path");
    }
}

// Arrays hold the elements the text states, not every index below the
// largest: four lines with indices at the reader's limit (4 x 2^20 elements
// if every index were kept) parse, copy, merge and write within a few hundred
// MB of address space.
TEST(XProtocolText, LargeIndicesCostWhatTheTextStates) {
#if defined(_WIN32)
    GTEST_SKIP() << "Windows has no address-space limit per process (setrlimit) to hold the reader to";
#elif defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers reserve terabytes of address space, more than any limit this test could set";
#else
    const std::string text =
        "A.1048575 = 1\n"
        "B.7 = 2.5\n"
        "B.1048574 = \"x\"\n"
        "C.1048575.D.1048573 = true\n";
    EXPECT_EXIT(
        {
            // The limit leaves 256 MB above what the process holds already.
            long pages = 0;
            std::ifstream("/proc/self/statm") >> pages;
            struct rlimit limit {};
            limit.rlim_cur = limit.rlim_max =
                static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (256UL << 20);
            if (pages <= 0 || setrlimit(RLIMIT_AS, &limit) != 0) {
                std::fputs("cannot limit the address space\n", stderr);
                std::exit(3);
            }
            XProtocol p = XProtocol::LoadFromText(text);
            XProtocol q = p;
            q.Merge(p);
            std::string back;
            q.SaveToStream(back);
            const bool ok = back == text && p["A"].Dimension() == 1048576 && p["B"].Count() == 1048575 &&
                            p["B.1048574"].ToString() == "x" && p["B.7"].ToDouble() == 2.5 &&
                            p["B.8"].IsType(ReadonlyXNode::Unset) && p.Select("C.*.D.*").size() == 1 &&
                            p["C.1048575.D"].Dimension() == 1048574;
            if (!ok) std::fputs(("wrong tree:\n" + back).c_str(), stderr);
            std::exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
#endif
}

TEST(XProtocolText, LoadFromFile) {
    const std::string path = ::testing::TempDir() + "xprotocol_test.txt";
    {
        std::ofstream f(path, std::ios::binary);
        f << "MEAS.lAverages = 2\nMEAS.bad\n";
    }
    try {
        XProtocol::LoadFromFile(path);
        FAIL();
    } catch (const ReadonlyXNode::Exception& e) {
        EXPECT_EQ(std::string(e.what()), path + ":2: expected '=' after the path");
    }
    {
        std::ofstream f(path, std::ios::binary);
        f << "MEAS.lAverages = 2\n";
    }
    EXPECT_EQ(XProtocol::LoadFromFile(path)["MEAS.lAverages"].ToLong(), 2);
    std::remove(path.c_str());
    try {
        XProtocol::LoadFromFile(path);
        FAIL();
    } catch (const ReadonlyXNode::Exception& e) {
        EXPECT_EQ(std::string(e.what()), path + ": cannot open: No such file or directory");
    }
}

TEST(XProtocolTree, CopiesAreDeepHandlesAreShared) {
    XProtocol p = sliceProtocol();
    XProtocol copy = p;
    copy.SetLong("MEAS.lSlices", 9);
    EXPECT_EQ(p["MEAS.lSlices"].ToLong(), 3);
    EXPECT_FALSE(copy == p);
    XNode h = p.At("MEAS.lSlices");
    XNode h2 = h;
    h2.FromLong(5);
    EXPECT_EQ(p["MEAS.lSlices"].ToLong(), 5);
    XProtocol assigned;
    assigned = p;
    EXPECT_TRUE(assigned == p);
    XProtocol moved = std::move(assigned);
    EXPECT_TRUE(moved == p);
    // A handle outlives its tree without dangling.
    ReadonlyXNode survivor;
    {
        XProtocol t;
        t.SetLong("a.b", 1);
        survivor = t.At("a.b");
    }
    EXPECT_EQ(survivor.ToLong(), 1);
    EXPECT_EQ(survivor.Path(), "");
}

TEST(XProtocolTree, MergeTakesEveryLeafOfTheOther) {
    XProtocol a = XProtocol::LoadFromText("x.a = 1\nx.b = 2\nl.0 = 1\nl.1 = 2\nv = 1\n");
    XProtocol b = XProtocol::LoadFromText("x.b = \"two\"\nx.c = 3.0\nl.3 = null\nv.w = true\nn = {}\n");
    a.Merge(b);
    EXPECT_EQ(textOf(a),
              "x.a = 1\nx.b = \"two\"\nx.c = 3.0\nl.0 = 1\nl.1 = 2\nl.3 = null\nv.w = true\nn = {}\n");
}

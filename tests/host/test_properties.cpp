// Type records and properties filled from a protocol, property-backed nodes,
// delegates, reference counting, modules and configurator hand-over.
#include <gtest/gtest.h>

#include <climits>
#include <thread>

#include "../../host/src/XNodeDetail.h"
#include "duvhost/Framework.h"
#include "duvhost/Pipeline.h"
#include "duvhost/Rudu.h"
#include "duvhost/XProtocol.h"

using Rudu::DefaultThreading;
using Rudu::PropertyValue;
using Rudu::ValueType;
using StrVV = std::vector<std::vector<std::string>>;

namespace {

// Base with a read-only threading property, as the host's functor interface has.
class BaseStage : public Rudu::Component {
public:
    static const Rudu::Type* TypeOf() {
        static const Rudu::Type t("BaseStage", {}, {}, {},
                                  {Rudu::MakeReadOnlyProperty("Threading", &BaseStage::getThreading),
                                   Rudu::MakeProperty("Label", &BaseStage::getLabel, &BaseStage::setLabel, "")});
        return &t;
    }
    DefaultThreading getThreading() const { return DefaultThreading::Default; }
    std::string getLabel() const { return label; }
    void setLabel(std::string v) { label = std::move(v); }
    std::string label;
};

class TestStage : public BaseStage {
public:
    static const Rudu::Type* TypeOf() {
        using S = TestStage;
        static const Rudu::Type t(
            "TestStage", {BaseStage::TypeOf()},
            {Rudu::MakeMethod("Compute", &S::Compute)}, {Rudu::MakeEvent("Ready", &S::Ready)},
            {
                Rudu::MakeProperty("Count", &S::getCount, &S::setCount, "MEAS.lCount"),
                Rudu::MakeProperty("Rounded", &S::getRounded, &S::setRounded, "MEAS.dRounded"),
                Rudu::MakeProperty("Big", &S::getBig, &S::setBig, "MEAS.lBig"),
                Rudu::MakeProperty("Ratio", &S::getRatio, &S::setRatio, "YAPS.flRatio"),
                Rudu::MakeProperty("FloatFromLong", &S::getFloatFromLong, &S::setFloatFromLong, "MEAS.lWhole"),
                Rudu::MakeProperty("Precise", &S::getPrecise, &S::setPrecise, "MEAS.dPrecise"),
                Rudu::MakeProperty("FlagFromBool", &S::getFlagFromBool, &S::setFlagFromBool, "MEAS.bFlag"),
                Rudu::MakeProperty("FlagFromLong", &S::getFlagFromLong, &S::setFlagFromLong, "MEAS.ucOn"),
                Rudu::MakeProperty("Name", &S::getName, &S::setName, "MEAS.tName"),
                Rudu::MakeProperty("Channels", &S::getChannels, &S::setChannels,
                                   "MEAS.aRx.0.asList.*.lRxChannelConnected"),
                Rudu::MakeProperty("TE", &S::getTE, &S::setTE, "MEAS.alTE"),
                Rudu::MakeProperty("Normals", &S::getNormals, &S::setNormals, "MEAS.asSlice.*.dSag"),
                Rudu::MakeProperty("FOV", &S::getFOV, &S::setFOV, "MEAS.asSlice.*.dReadoutFOV"),
                Rudu::MakeProperty("Ids", &S::getIds, &S::setIds, "YAPS.CoilSelects.0.*.CoilElementID"),
                Rudu::MakeProperty("CoilNames", &S::getCoilNames, &S::setCoilNames, "YAPS.CoilNames.*"),
                Rudu::MakeProperty("NoPath", &S::getNoPath, &S::setNoPath, ""),
                Rudu::MakeReadOnlyProperty("Version", &S::getVersion, "MEAS.lVersion"),
            });
        return &t;
    }
    const Rudu::Type* GetType() const override { return TypeOf(); }
    ~TestStage() override {
        if (destroyed) *destroyed = true;
    }

    int getCount() const { return count; }
    void setCount(int v) { count = v; }
    int getRounded() const { return rounded; }
    void setRounded(int v) { rounded = v; }
    long getBig() const { return big; }
    void setBig(long v) { big = v; }
    float getRatio() const { return ratio; }
    void setRatio(float v) { ratio = v; }
    float getFloatFromLong() const { return floatFromLong; }
    void setFloatFromLong(float v) { floatFromLong = v; }
    double getPrecise() const { return precise; }
    void setPrecise(double v) { precise = v; }
    bool getFlagFromBool() const { return flagFromBool; }
    void setFlagFromBool(bool v) { flagFromBool = v; }
    bool getFlagFromLong() const { return flagFromLong; }
    void setFlagFromLong(bool v) { flagFromLong = v; }
    std::string getName() const { return name; }
    void setName(std::string v) { name = std::move(v); }
    std::vector<int> getChannels() const { return channels; }
    void setChannels(std::vector<int> v) { channels = std::move(v); }
    std::vector<int> getTE() const { return te; }
    void setTE(std::vector<int> v) { te = std::move(v); }
    std::vector<float> getNormals() const { return normals; }
    void setNormals(std::vector<float> v) { normals = std::move(v); }
    float getFOV() const { return fov; }
    void setFOV(float v) { fov = v; }
    std::vector<std::string> getIds() const { return ids; }
    void setIds(std::vector<std::string> v) { ids = std::move(v); }
    StrVV getCoilNames() const { return coilNames; }
    void setCoilNames(StrVV v) { coilNames = std::move(v); }
    std::string getNoPath() const { return noPath; }
    void setNoPath(std::string v) { noPath = std::move(v); }
    long getVersion() const { return 7; }

    DuvStatus Compute(int a, int b, int c) { return static_cast<DuvStatus>(a + b + c); }
    MulticastDelegate_3<DuvStatus, int, int, int> Ready;

    int count = -1, rounded = -1;
    long big = -1;
    float ratio = -1, floatFromLong = -1, fov = -1;
    double precise = -1;
    bool flagFromBool = false, flagFromLong = false;
    std::string name, noPath = "untouched";
    std::vector<int> channels, te;
    std::vector<float> normals;
    std::vector<std::string> ids;
    StrVV coilNames;
    bool* destroyed = nullptr;
};

XProtocol fullProtocol() {
    return XProtocol::LoadFromText(
        "MEAS.lCount = 12\n"
        "MEAS.dRounded = 2.5\n"
        "MEAS.lBig = 9000000000\n"
        "YAPS.flRatio = 2.0\n"
        "MEAS.lWhole = 3\n"
        "MEAS.dPrecise = 0.1\n"
        "MEAS.bFlag = true\n"
        "MEAS.ucOn = 2\n"
        "MEAS.tName = \"svs \\\"se\\\"\"\n"
        "MEAS.aRx.0.asList.0.lRxChannelConnected = 1\n"
        "MEAS.aRx.0.asList.1.lRxChannelConnected = 2\n"
        "MEAS.aRx.0.asList.2.lRxChannelConnected = 3.6\n"
        "MEAS.alTE.0 = 2000\n"
        "MEAS.alTE.1 = 30000\n"
        "MEAS.asSlice.0.dSag = 0.25\n"
        "MEAS.asSlice.0.dReadoutFOV = 200.0\n"
        "MEAS.asSlice.1.dSag = -1\n"
        "MEAS.asSlice.1.dReadoutFOV = 180.0\n"
        "MEAS.asSlice.2.dSag = 0.5\n"
        "MEAS.asSlice.2.dReadoutFOV = 160.0\n"
        "MEAS.lVersion = 3\n"
        "YAPS.CoilSelects.0.0.CoilElementID = \"H1\"\n"
        "YAPS.CoilSelects.0.1.CoilElementID = \"H2\"\n"
        "YAPS.CoilNames.0.0 = \"HEA\"\n"
        "YAPS.CoilNames.0.1 = \"HEP\"\n"
        "YAPS.CoilNames.1 = []\n"
        "YAPS.CoilNames.2.0 = \"NE1\"\n",
        "fill");
}

std::string fillError(const XProtocol& p) {
    MrPtr<TestStage> s(Rudu::HeapObject<TestStage>::Create());
    try {
        Rudu::FillPropertiesFromProtocol(*s, "Stage1", p);
    } catch (const ReadonlyXNode::Exception& e) {
        return e.what();
    }
    return "no error";
}

template <class F>
std::string errorOf(F f) {
    try {
        f();
    } catch (const ReadonlyXNode::Exception& e) {
        return e.what();
    }
    return "no error";
}

}  // namespace

TEST(TypeRecord, PublishesOwnPropertiesThenBases) {
    const Rudu::Type* t = TestStage::TypeOf();
    std::vector<std::string> names;
    for (const auto* p : t->AllProperties()) names.push_back(p->name);
    EXPECT_EQ(names, (std::vector<std::string>{"Count", "Rounded", "Big", "Ratio", "FloatFromLong", "Precise",
                                               "FlagFromBool", "FlagFromLong", "Name", "Channels", "TE", "Normals",
                                               "FOV", "Ids", "CoilNames", "NoPath", "Version", "Threading", "Label"}));
    ASSERT_NE(t->FindProperty("Threading"), nullptr);
    EXPECT_TRUE(t->FindProperty("Threading")->readOnly());
    EXPECT_EQ(t->FindProperty("Threading")->type, ValueType::Threading);
    EXPECT_EQ(t->FindProperty("CoilNames")->type, ValueType::StringVectorVector);
    EXPECT_EQ(t->FindProperty("Channels")->description, "MEAS.aRx.0.asList.*.lRxChannelConnected");
    EXPECT_EQ(t->FindProperty("Nope"), nullptr);
    EXPECT_NE(t->FindMethod("Compute"), nullptr);
    EXPECT_NE(t->FindEvent("Ready"), nullptr);
    EXPECT_EQ(t->FindMethod("Ready"), nullptr);
    EXPECT_EQ(t->Bases().at(0)->Name(), "BaseStage");

    const char* expected[] = {"int",           "long",           "float",          "double",
                              "bool",          "string",         "vector<int>",    "vector<float>",
                              "vector<string>", "vector<vector<string>>", "DefaultThreading"};
    for (int i = 0; i <= static_cast<int>(ValueType::Threading); ++i)
        EXPECT_STREQ(Rudu::ValueTypeName(static_cast<ValueType>(i)), expected[i]);
}

TEST(PropertyFill, EveryValueTypeFromItsProtocolPath) {
    MrPtr<TestStage> s(Rudu::HeapObject<TestStage>::Create());
    Rudu::FillPropertiesFromProtocol(*s, "Stage1", fullProtocol());
    EXPECT_EQ(s->count, 12);
    EXPECT_EQ(s->rounded, 3);  // double feeds int, to nearest
    EXPECT_EQ(s->big, 9000000000L);
    EXPECT_FLOAT_EQ(s->ratio, 2.0f);
    EXPECT_FLOAT_EQ(s->floatFromLong, 3.0f);
    EXPECT_DOUBLE_EQ(s->precise, 0.1);
    EXPECT_TRUE(s->flagFromBool);
    EXPECT_TRUE(s->flagFromLong);  // a long feeds a bool
    EXPECT_EQ(s->name, "svs \"se\"");
    EXPECT_EQ(s->channels, (std::vector<int>{1, 2, 4}));  // '*' in index order; 3.6 rounds
    EXPECT_EQ(s->te, (std::vector<int>{2000, 30000}));    // a path ending at an array
    EXPECT_EQ(s->normals, (std::vector<float>{0.25f, -1.0f, 0.5f}));
    EXPECT_FLOAT_EQ(s->fov, 200.0f);  // '*' feeding a scalar takes the first
    EXPECT_EQ(s->ids, (std::vector<std::string>{"H1", "H2"}));
    EXPECT_EQ(s->coilNames, (StrVV{{"HEA", "HEP"}, {}, {"NE1"}}));
    EXPECT_EQ(s->noPath, "untouched");
    EXPECT_EQ(s->label, "");
}

TEST(PropertyFill, ReadOnlyPathIsSkippedWithAWarning) {
    duvtrace::ScopedMemorySink sink;
    MrPtr<TestStage> s(Rudu::HeapObject<TestStage>::Create());
    Rudu::FillPropertiesFromProtocol(*s, "Stage1", fullProtocol());
    EXPECT_EQ(sink->find("DUV.host", duvtrace::Warning, "Rudu::FillPropertiesFromProtocol",
                         "stage Stage1: property Version: protocol path MEAS.lVersion: the property is read-only and "
                         "is not filled")
                  .size(),
              1u);
}

TEST(PropertyFill, MissingPathsAndRefusedConversionsNameStagePropertyAndPath) {
    XProtocol p = fullProtocol();
    XProtocol noCount = XProtocol::LoadFromText("");
    noCount.Merge(p);
    noCount.At("MEAS").CreateMap("lCount");  // a map selects, but converts to nothing
    EXPECT_EQ(fillError(noCount),
              "stage Stage1: property Count: protocol path MEAS.lCount: cannot convert map node MEAS.lCount to int");

    std::string text;
    p.SaveToStream(text);
    auto without = [&](const std::string& prefix) {
        std::string out, line;
        std::istringstream in(text);
        while (std::getline(in, line))
            if (line.rfind(prefix, 0) != 0) out += line + "\n";
        return XProtocol::LoadFromText(out);
    };
    EXPECT_EQ(fillError(without("MEAS.lCount")), "stage Stage1: property Count: protocol path MEAS.lCount not found");
    EXPECT_EQ(fillError(without("MEAS.asSlice")),
              "stage Stage1: property Normals: protocol path MEAS.asSlice.*.dSag not found");

    auto with = [&](const std::string& line) {
        XProtocol q = p;
        q.Merge(XProtocol::LoadFromText(line));
        return q;
    };
    EXPECT_EQ(fillError(with("MEAS.lCount = \"12\"")),
              "stage Stage1: property Count: protocol path MEAS.lCount: cannot convert string node MEAS.lCount to int");
    EXPECT_EQ(fillError(with("MEAS.lCount = 3000000000")),
              "stage Stage1: property Count: protocol path MEAS.lCount: value 3000000000 of MEAS.lCount is out of "
              "range for int");
    EXPECT_EQ(fillError(with("MEAS.lCount = true")),
              "stage Stage1: property Count: protocol path MEAS.lCount: cannot convert bool node MEAS.lCount to int");
    EXPECT_EQ(fillError(with("MEAS.ucOn = 1.0")),
              "stage Stage1: property FlagFromLong: protocol path MEAS.ucOn: cannot convert double node MEAS.ucOn to "
              "bool");
    EXPECT_EQ(fillError(with("MEAS.tName = 5")),
              "stage Stage1: property Name: protocol path MEAS.tName: cannot convert long node MEAS.tName to string");
    EXPECT_EQ(fillError(with("YAPS.flRatio = 1e300")),
              "stage Stage1: property Ratio: protocol path YAPS.flRatio: value 1e+300 of YAPS.flRatio is out of range "
              "for float");
    EXPECT_EQ(fillError(with("YAPS.CoilNames.3 = \"loose\"")),
              "stage Stage1: property CoilNames: protocol path YAPS.CoilNames.*: cannot convert string node "
              "YAPS.CoilNames.3 to vector<vector<string>>");
}

TEST(PropertyConvert, VectorsScalarsAndNestedLists) {
    XProtocol p = XProtocol::LoadFromText(
        "a.0 = 1\na.2 = 3.4\n"  // a.1 unset: holds no value
        "s.0 = \"x\"\ns.1 = \"y\"\n"
        "nested.0.0 = \"p\"\nnested.1.0 = \"q\"\nnested.1.1 = \"r\"\n"
        "e = []\n");
    EXPECT_EQ(std::get<std::vector<int>>(Rudu::ConvertNodes(ValueType::IntVector, {p["a"]})), (std::vector<int>{1, 3}));
    EXPECT_EQ(std::get<std::vector<float>>(Rudu::ConvertNodes(ValueType::FloatVector, p.Select("a.*"))),
              (std::vector<float>{1.0f, 3.4f}));
    EXPECT_EQ(std::get<int>(Rudu::ConvertNodes(ValueType::Int, {p["a"]})), 1);  // first element
    EXPECT_EQ(std::get<long>(Rudu::ConvertNodes(ValueType::Long, {p["a.2"]})), 3L);
    EXPECT_EQ(std::get<std::string>(Rudu::ConvertNodes(ValueType::String, p.Select("s.*"))), "x");
    EXPECT_EQ(std::get<StrVV>(Rudu::ConvertNodes(ValueType::StringVectorVector, {p["nested"]})),
              (StrVV{{"p"}, {"q", "r"}}));  // a path ending at the outer array
    EXPECT_EQ(std::get<StrVV>(Rudu::ConvertNodes(ValueType::StringVectorVector, {p["s"]})), (StrVV{{"x", "y"}}));
    EXPECT_TRUE(std::get<std::vector<int>>(Rudu::ConvertNodes(ValueType::IntVector, {p["e"]})).empty());
    EXPECT_EQ(errorOf([&] { Rudu::ConvertNodes(ValueType::Int, {p["e"]}); }), "no value to convert to int");
    EXPECT_EQ(errorOf([&] { Rudu::ConvertNodes(ValueType::Bool, {}); }), "no value to convert to bool");
    EXPECT_EQ(std::get<DefaultThreading>(Rudu::ConvertNodes(ValueType::Threading, {p["a.0"]})),
              DefaultThreading::SingleThreaded);
    XProtocol halves = XProtocol::LoadFromText("n = -2.5\nm = -2.4\n");
    EXPECT_EQ(std::get<int>(Rudu::ConvertNodes(ValueType::Int, {halves["n"]})), -3);
    EXPECT_EQ(std::get<int>(Rudu::ConvertNodes(ValueType::Int, {halves["m"]})), -2);
}

TEST(PropertyByName, SetGetAndTheUnknownPropertyText) {
    MrPtr<TestStage> s(Rudu::HeapObject<TestStage>::Create());
    Rudu::SetProperty(*s, "Stage1", "Count", PropertyValue(5));
    Rudu::SetProperty(*s, "Stage1", "Label", PropertyValue(std::string("base")));  // from the base record
    EXPECT_EQ(std::get<int>(Rudu::GetProperty(*s, "Stage1", "Count")), 5);
    EXPECT_EQ(s->label, "base");
    EXPECT_EQ(std::get<DefaultThreading>(Rudu::GetProperty(*s, "Stage1", "Threading")), DefaultThreading::Default);
    EXPECT_EQ(errorOf([&] { Rudu::SetProperty(*s, "Derovo2Instance", "Nope", PropertyValue(1)); }),
              "Node: Derovo2Instance: SetProperty - Parameter not found Nope");
    EXPECT_EQ(errorOf([&] { Rudu::SetProperty(*s, "Stage1", "Threading", PropertyValue(DefaultThreading::Default)); }),
              "Node: Stage1: SetProperty - Parameter not found Threading");
    EXPECT_EQ(errorOf([&] { Rudu::SetProperty(*s, "Stage1", "Count", PropertyValue(5L)); }),
              "Node: Stage1: SetProperty - Count takes int, not long");
    EXPECT_EQ(errorOf([&] { Rudu::GetProperty(*s, "Stage1", "Nope"); }),
              "Node: Stage1: GetProperty - Parameter not found Nope");
    EXPECT_EQ(s->count, 5);
}

TEST(PropertyNode, FromAndToGoThroughTheProperty) {
    MrPtr<TestStage> s(Rudu::HeapObject<TestStage>::Create());
    auto keeper = std::make_shared<int>(0);
    {
        XNode name = detail::MakePropertyNode(s.get(), "qomNiftiWriter", "Name", keeper);
        EXPECT_EQ(keeper.use_count(), 2);
        EXPECT_TRUE(name.IsOk());
        EXPECT_TRUE(name.IsType(ReadonlyXNode::String));
        EXPECT_EQ(name.Name(), "Name");
        name.FromString("/opt/zarezu/temp/current_prot.evp");
        EXPECT_EQ(s->name, "/opt/zarezu/temp/current_prot.evp");
        EXPECT_EQ(name.ToString(), "/opt/zarezu/temp/current_prot.evp");
        EXPECT_EQ(errorOf([&] { name.FromLong(1); }),
                  "Node: qomNiftiWriter: SetProperty - Name: cannot convert long node to string");
    }
    EXPECT_EQ(keeper.use_count(), 1);

    XNode count = detail::MakePropertyNode(s.get(), "W", "Count");
    count.FromLong(0);
    EXPECT_EQ(s->count, 0);
    count.FromDouble(6.5);
    EXPECT_EQ(s->count, 7);
    EXPECT_EQ(count.ToLong(), 7);
    EXPECT_DOUBLE_EQ(count.ToDouble(), 7.0);
    EXPECT_TRUE(count.ToBool());
    EXPECT_EQ(count.Dimension(), 1);
    XNode flag = detail::MakePropertyNode(s.get(), "W", "FlagFromBool");
    flag.FromBool(true);
    EXPECT_TRUE(s->flagFromBool);
    flag.FromLong(0);
    EXPECT_FALSE(s->flagFromBool);
    XNode ratio = detail::MakePropertyNode(s.get(), "W", "Ratio");
    ratio.FromLong(2);
    EXPECT_FLOAT_EQ(s->ratio, 2.0f);
    XNode ids = detail::MakePropertyNode(s.get(), "W", "Ids");
    ids.FromString("only");
    EXPECT_EQ(s->ids, std::vector<std::string>{"only"});
    EXPECT_TRUE(ids.IsType(ReadonlyXNode::Array));
    EXPECT_EQ(ids.Dimension(), 1);
    EXPECT_THROW(ids.ToString(), ReadonlyXNode::Exception);

    // Read-only: readable, refused like an unknown name.
    XNode threading = detail::MakePropertyNode(s.get(), "W", "Threading", nullptr, true);
    EXPECT_EQ(threading.ToLong(), 0);
    EXPECT_EQ(errorOf([&] { threading.FromLong(1); }), "Node: W: SetProperty - Parameter not found Threading");

    // Unknown: a bad node whose From... throws the host's text; mustExist throws at once.
    XNode unknown = detail::MakePropertyNode(s.get(), "qomNiftiWriter", "DoNiftiExport");
    EXPECT_TRUE(unknown.IsBad());
    EXPECT_EQ(errorOf([&] { unknown.FromBool(true); }),
              "Node: qomNiftiWriter: SetProperty - Parameter not found DoNiftiExport");
    EXPECT_EQ(errorOf([&] { unknown.FromString("x"); }),
              "Node: qomNiftiWriter: SetProperty - Parameter not found DoNiftiExport");
    EXPECT_THROW(unknown.ToString(), ReadonlyXNode::Exception);
    EXPECT_EQ(errorOf([&] { detail::MakePropertyNode(s.get(), "Derovo2Instance", "SensMapNam", nullptr, true); }),
              "Node: Derovo2Instance: SetProperty - Parameter not found SensMapNam");
}

TEST(Delegate, CombinedStatusOfTheHandlers) {
    using D = MulticastDelegate_3<DuvStatus, int, int, int>;
    const DuvStatus kWarning = 0x40000001;
    auto raise = [](std::vector<DuvStatus> results, int* calls) {
        D d;
        for (DuvStatus r : results)
            d.bind([r, calls](int, int, int) {
                ++*calls;
                return r;
            });
        return d(1, 2, 3);
    };
    int calls = 0;
    EXPECT_EQ(raise({}, &calls), I_OK);
    EXPECT_EQ(raise({I_OK, I_OK}, &calls), I_OK);
    EXPECT_EQ(raise({I_OK, kWarning, I_OK}, &calls), kWarning);
    EXPECT_EQ(raise({I_FAIL}, &calls), I_FAIL);
    EXPECT_EQ(raise({kWarning, kWarning}, &calls), I_MULTIPLE_FAILURES);
    EXPECT_EQ(raise({I_FAIL, I_OK, I_ACQ_END}, &calls), I_MULTIPLE_FAILURES);
    EXPECT_EQ(raise({I_FAIL, I_FAIL, I_FAIL}, &calls), I_MULTIPLE_FAILURES);
    EXPECT_EQ(calls, 0 + 2 + 3 + 1 + 2 + 3 + 3);  // every handler runs
    EXPECT_TRUE(DuvIsFailure(I_MULTIPLE_FAILURES));

    // Binding by name through the type record.
    MrPtr<TestStage> a(Rudu::HeapObject<TestStage>::Create());
    MrPtr<TestStage> b(Rudu::HeapObject<TestStage>::Create());
    const Rudu::Type* t = TestStage::TypeOf();
    std::any handler = t->FindMethod("Compute")->makeHandler(*b);
    EXPECT_TRUE(t->FindEvent("Ready")->bind(*a, handler));
    EXPECT_FALSE(t->FindEvent("Ready")->bind(*a, std::any(std::function<DuvStatus(int)>())));
    EXPECT_EQ(a->Ready.size(), 1u);
    EXPECT_EQ(a->Ready(1, 2, 3), 6u);
    t->FindEvent("Ready")->clear(*a);
    EXPECT_EQ(a->Ready.size(), 0u);
}

TEST(Counting, HeapObjectAndMrPtr) {
    bool destroyed = false;
    TestStage* raw = Rudu::HeapObject<TestStage>::Create();
    raw->destroyed = &destroyed;
    auto* heap = static_cast<Rudu::HeapObject<TestStage>*>(raw);
    EXPECT_EQ(heap->RefCount(), 0);
    {
        MrPtr<TestStage> p(raw);
        EXPECT_EQ(heap->RefCount(), 1);
        MrPtr<TestStage> q = p;
        EXPECT_EQ(heap->RefCount(), 2);
        MrPtr<Rudu::Component> base(q);
        EXPECT_EQ(heap->RefCount(), 3);
        MrPtr<TestStage> moved(std::move(q));
        EXPECT_EQ(heap->RefCount(), 3);
        EXPECT_FALSE(q);
        base.reset();
        moved = MrPtr<TestStage>();
        EXPECT_EQ(heap->RefCount(), 1);
        EXPECT_FALSE(destroyed);
    }
    EXPECT_TRUE(destroyed);
    Rudu::Component* c = Rudu::HeapObject<TestStage>::CreateComponent();
    ASSERT_NE(dynamic_cast<TestStage*>(c), nullptr);
    MrPtr<Rudu::Component> hold(c);
}

namespace {

class TestComposer : public Rudu::Component, public ProtocolComposer::IComposer {
public:
    static const Rudu::Type* TypeOf() {
        static const Rudu::Type t("TestComposer", {}, {}, {}, {});
        return &t;
    }
    const Rudu::Type* GetType() const override { return TypeOf(); }
    DuvStatus Compose(ProtocolComposer::Toolbox&) override { return I_OK; }
    ~TestComposer() override {
        if (destroyed) *destroyed = true;
    }
    static bool* destroyed;
};
bool* TestComposer::destroyed = nullptr;

bool stageDestroyed = false;

Rudu::Component* createTestStage() { return Rudu::HeapObject<TestStage>::Create(); }
Rudu::Component* createTestComposer() { return Rudu::HeapObject<TestComposer>::Create(); }

const Rudu::FactoryEntry kTable[] = {
    {"TestStage", &TestStage::TypeOf, &createTestStage},
    {"TestComposer", &TestComposer::TypeOf, &createTestComposer},
    {nullptr, nullptr, nullptr},
};

Rudu::Module& testModule() {
    static Rudu::Module m("TestModule");
    return m;
}

Rudu::Component* TestModule__CreateObject(const char* typeName) {
    testModule().Lock();
    Rudu::Component* c = testModule().CreateInstance(typeName, kTable, nullptr);
    testModule().Unlock();
    if (auto* s = dynamic_cast<TestStage*>(c)) s->destroyed = &stageDestroyed;
    return c;
}

}  // namespace

TEST(Module, CreateInstanceByTypeName) {
    duvtrace::ScopedMemorySink sink;
    EXPECT_EQ(testModule().Name(), "TestModule");
    MrPtr<Rudu::Component> s(TestModule__CreateObject("TestStage"));
    ASSERT_TRUE(s);
    EXPECT_EQ(s->GetType()->Name(), "TestStage");
    EXPECT_TRUE(sink->records().empty());
    EXPECT_EQ(TestModule__CreateObject("NoSuchType"), nullptr);
    EXPECT_EQ(sink->find("DUV.host", duvtrace::Error, "Rudu::Module::CreateInstance",
                         "Module TestModule: CreateInstance - unknown type NoSuchType")
                  .size(),
              1u);
    EXPECT_EQ(testModule().CreateInstance(nullptr, kTable, nullptr), nullptr);
    EXPECT_EQ(testModule().CreateInstance("TestStage", nullptr, nullptr), nullptr);
    // The module lock is recursive: a factory may run under it.
    testModule().Lock();
    MrPtr<Rudu::Component> again(TestModule__CreateObject("TestStage"));
    testModule().Unlock();
    EXPECT_TRUE(again);
}

TEST(Module, GlobalGuardIsOneRecursiveMutex) {
    long counter = 0;
    auto work = [&counter] {
        for (int i = 0; i < 20000; ++i) {
            Rudu::GlobalGuard outer;
            Rudu::GlobalGuard inner;  // same thread again: no deadlock
            ++counter;
        }
    };
    std::thread t1(work), t2(work);
    t1.join();
    t2.join();
    EXPECT_EQ(counter, 40000);
}

TEST(Module, CreateProtocolComposerTakesOneReference) {
    bool composerGone = false;
    TestComposer::destroyed = &composerGone;
    ProtocolComposer::IComposer* c = Rudu::CreateProtocolComposer(&TestModule__CreateObject, "TestComposer", 1.0);
    ASSERT_NE(c, nullptr);
    auto* heap = dynamic_cast<Rudu::HeapObject<TestComposer>*>(c);
    ASSERT_NE(heap, nullptr);
    EXPECT_EQ(heap->RefCount(), 1);
    dynamic_cast<Rudu::RefCounted*>(c)->Unref();  // what the host's release does
    EXPECT_TRUE(composerGone);
    TestComposer::destroyed = nullptr;

    duvtrace::ScopedMemorySink sink;
    EXPECT_EQ(Rudu::CreateProtocolComposer(&TestModule__CreateObject, "Nope", 1.0), nullptr);
    EXPECT_TRUE(sink->contains("Module TestModule: CreateInstance - unknown type Nope"));
    stageDestroyed = false;
    EXPECT_EQ(Rudu::CreateProtocolComposer(&TestModule__CreateObject, "TestStage", 1.0), nullptr);
    EXPECT_TRUE(stageDestroyed);  // not a configurator: released, not leaked
    EXPECT_EQ(Rudu::CreateProtocolComposer(nullptr, "TestComposer", 1.0), nullptr);
    EXPECT_EQ(Rudu::CreateProtocolComposer(&TestModule__CreateObject, nullptr, 1.0), nullptr);
}

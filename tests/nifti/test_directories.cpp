// The writer's settings, its output file name and directory, the end of
// initialisation, and the module's entry points and type records.
#include <gtest/gtest.h>

#include <sstream>

#include "NiftiTestSupport.h"
#include "VivivModule.h"
#include "duvhost/Framework.h"
#include "duvhost/Installation.h"

using namespace niftitest;

namespace {

const std::string kFailSuffix = " status = 0xc0000001";

// Installs a customer directory for the test and restores the defaults.
struct CustomerDirectory {
    explicit CustomerDirectory(const std::string& dir) { DuvHost::SetCustomerDirectory(dir); }
    ~CustomerDirectory() { DuvHost::ResetInstallationDefaults(); }
};

std::vector<std::string> vivivTexts(const duvtrace::MemoryTraceSink& sink) {
    std::vector<std::string> out;
    for (const auto& r : sink.records())
        if (r.channel == "DUV.Viviv") out.push_back(r.text);
    return out;
}

}  // namespace

// --- file naming -----------------------------------------------------------------

TEST(NiftiNaming, BothNamesEmptyGiveTheDefault) {
    CustomerDirectory customer("/srv/host/MriCustomer/seq");
    MrPtr<Writer> w(Rudu::HeapObject<Writer>::Create());
    std::string file, dir;
    w->getFileName(file, dir, 0);
    // The customer directory ends with a separator and the default adds its
    // own: the two are joined as they stand.
    EXPECT_EQ(dir, "/srv/host/MriCustomer/seq//vuz/data");
    EXPECT_EQ(file, "/srv/host/MriCustomer/seq//vuz/data/mprage.nii");
}

// The host installation's own default: a drive path on Windows.
TEST(NiftiNaming, InstallationDefaultDirectory) {
    DuvHost::ResetInstallationDefaults();
    MrPtr<Writer> w(Rudu::HeapObject<Writer>::Create());
    std::string file, dir;
    w->getFileName(file, dir, 0);
#ifdef _WIN32
    EXPECT_EQ(dir, "C:\\Zarezu\\MriCustomer\\seq\\/vuz/data");
#else
    EXPECT_EQ(dir, "/opt/med/MriCustomer/seq//vuz/data");
#endif
    EXPECT_EQ(file, dir + "/mprage.nii");
}

TEST(NiftiNaming, GivenPathAndNameAndATrailingSeparator) {
    MrPtr<Writer> w(Rudu::HeapObject<Writer>::Create());
    std::string file, dir;
    w->setExportFilePath("D:/out");
    w->setExportFileName("t1.nii");
    w->getFileName(file, dir, 7);  // the index plays no part
    EXPECT_EQ(file, "D:/out/t1.nii");
    EXPECT_EQ(dir, "D:/out");
    w->setExportFilePath("D:/out/");
    w->setExportFileName("");
    w->getFileName(file, dir, 0);
    EXPECT_EQ(file, "D:/out//mprage.nii");
    EXPECT_EQ(dir, "D:/out/");
}

// --- directories ---------------------------------------------------------------------

TEST(NiftiMkpath, ExistingPathCreatesNothing) {
    TempDir dir;
    MrPtr<Writer> w(Rudu::HeapObject<Writer>::Create());
    duvtrace::ScopedMemorySink sink;
    EXPECT_EQ(w->mkpath(dir.str()), 0);
    EXPECT_EQ(vivivTexts(*sink), std::vector<std::string>{"mkpath: folder already exists: " + dir.str()});
    const auto r = sink->find("DUV.Viviv", duvtrace::Notice, "folder_exists", "");
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].file, "mkpath");
}

TEST(NiftiMkpath, MissingLevelsAreCreatedInOrder) {
    TempDir dir;
    ScopedCwd cwd(dir.path());
    fs::create_directory("a");
    MrPtr<Writer> w(Rudu::HeapObject<Writer>::Create());
    duvtrace::ScopedMemorySink sink;
    EXPECT_EQ(w->mkpath("a/b/c"), 0);
    EXPECT_TRUE(fs::is_directory(dir.path() / "a/b/c"));
    const std::vector<std::string> want = {
        "mkpath: folder does not exist: a/b/c",          "mkpath: folder already exists: a",
        "mkpath: folder does not exist: a/b",            "mkpath: attempting to create directory: a/b",
        "mkpath: folder does not exist: a/b/c",          "mkpath: attempting to create directory: a/b/c"};
    EXPECT_EQ(vivivTexts(*sink), want);
    EXPECT_EQ(sink->find("DUV.Viviv", duvtrace::Notice, "my_mkdir", "").size(), 2u);
}

TEST(NiftiMkpath, BackslashesStayInsideOnePiece) {
    TempDir dir;
    ScopedCwd cwd(dir.path());
    MrPtr<Writer> w(Rudu::HeapObject<Writer>::Create());
    duvtrace::ScopedMemorySink sink;
#ifdef _WIN32
    // A backslash separates directories on Windows: the single piece is
    // made in one step, so it fails while its parent is missing ...
    EXPECT_EQ(w->mkpath("p\\q\\r"), -1);
    EXPECT_FALSE(fs::exists(dir.path() / "p"));
    EXPECT_EQ(sink->count("mkpath: attempting to create directory: p\\q\\r"), 1u);
    // ... and succeeds, still in one step, once the parent is there.
    fs::create_directories(dir.path() / "p" / "q");
    EXPECT_EQ(w->mkpath("p\\q\\r"), 0);
    EXPECT_TRUE(fs::is_directory(dir.path() / "p" / "q" / "r"));
    EXPECT_EQ(sink->count("mkpath: attempting to create directory: p\\q\\r"), 2u);
    EXPECT_EQ(sink->find("DUV.Viviv", duvtrace::Notice, "my_mkdir", "").size(), 2u);
#else
    EXPECT_EQ(w->mkpath("p\\q\\r"), 0);
    // One directory whose name holds the backslashes, made in one step.
    EXPECT_TRUE(fs::is_directory(dir.path() / "p\\q\\r"));
    EXPECT_FALSE(fs::exists(dir.path() / "p"));
    EXPECT_EQ(sink->count("mkpath: attempting to create directory: p\\q\\r"), 1u);
    EXPECT_EQ(sink->find("DUV.Viviv", duvtrace::Notice, "my_mkdir", "").size(), 1u);
#endif
}

TEST(NiftiMkpath, ALevelThatCannotBeCreatedFails) {
    TempDir dir;
    ScopedCwd cwd(dir.path());
    writeFile("plain", "x");  // a file where a directory should be
    MrPtr<Writer> w(Rudu::HeapObject<Writer>::Create());
    EXPECT_EQ(w->mkpath("plain/sub"), -1);
    EXPECT_FALSE(w->folder_exists("plain"));
    EXPECT_NE(w->my_mkdir("plain"), 0);
}

// --- end of initialisation --------------------------------------------------------------

TEST(NiftiEndInit, ReadsTheProtocolAndAddsOneRepetition) {
    TempDir dir;
    const std::string prot = dir / "current_prot.evp";
    writeFile(prot, "MEAS.lRepetitions = 0\nYAPS.x = \"a\\nb\"\n");
    MrPtr<Writer> w = makeWriter(Job{}, dir.str());
    w->setNRep(0);
    EXPECT_EQ(w->EndInit(nullptr), I_OK);
    EXPECT_EQ(w->getNRep(), 1);
    const auto bytes = readFile(prot);
    EXPECT_EQ(std::string(w->protocolText().begin(), w->protocolText().end()),
              std::string(bytes.begin(), bytes.end()));
    EXPECT_EQ(w->EndInit(nullptr), I_OK);  // every job adds one
    EXPECT_EQ(w->getNRep(), 2);
}

// The largest protocol count leaves no room for the added repetition: refused
// rather than wrapped around to one volume.
TEST(NiftiEndInit, ARepetitionCountWithoutRoomForTheAdditionFails) {
    TempDir dir;
    writeFile(dir / "current_prot.evp", "MEAS.lRepetitions = 2147483647\n");
    MrPtr<Writer> w = makeWriter(Job{}, dir.str());
    w->setNRep(2147483647);
    duvtrace::ScopedMemorySink sink;
    DuvFramework::ClearLastError();
    EXPECT_EQ(w->EndInit(nullptr), I_FAIL);
    EXPECT_TRUE(sink->contains("qomNiftiWriter: NRep = 2147483647 (MEAS.lRepetitions) leaves no count of repetitions, "
                               "aborting..." + kFailSuffix));
    EXPECT_EQ(DuvFramework::GetLastError(), I_FAIL);
}

TEST(NiftiEndInit, MissingProtocolFileFails) {
    TempDir dir;
    MrPtr<Writer> w = makeWriter(Job{}, dir.str());
    w->setXProtFileName(dir / "absent.evp");
    duvtrace::ScopedMemorySink sink;
    DuvFramework::ClearLastError();
    EXPECT_EQ(w->EndInit(nullptr), I_FAIL);
    EXPECT_TRUE(sink->contains("qomNiftiWriter: failed opening xprotocol data file " + (dir / "absent.evp") +
                               kFailSuffix));
    const auto r = sink->find("DUV.Viviv", duvtrace::Error, "qomNiftiWriter::EndInit(env)", "");
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].group, "MrSpecAcq");
    EXPECT_EQ(DuvFramework::GetLastError(), I_FAIL);
}

TEST(NiftiEndInit, EmptyProtocolFileFailsWithoutLastError) {
    TempDir dir;
    MrPtr<Writer> w = makeWriter(Job{}, dir.str());
    writeFile(dir / "empty.evp", "");
    w->setXProtFileName(dir / "empty.evp");
    duvtrace::ScopedMemorySink sink;
    DuvFramework::ClearLastError();
    EXPECT_EQ(w->EndInit(nullptr), I_FAIL);
    EXPECT_TRUE(sink->contains("qomNiftiWriter: xprot file is empty, aborting..."));
    EXPECT_EQ(DuvFramework::GetLastError(), 0u);
}

TEST(NiftiEndInit, WithoutExportNoFileIsTouched) {
    TempDir dir;
    MrPtr<Writer> w = makeWriter(Job{}, dir.str(), "keep.nii");
    writeFile(dir / "keep.nii", "old");
    w->setXProtFileName(dir / "absent.evp");
    w->setDoNiftiExport(false);
    w->setNRep(4);
    EXPECT_EQ(w->EndInit(nullptr), I_OK);
    EXPECT_EQ(w->getNRep(), 5);
    EXPECT_TRUE(fs::exists(dir / "keep.nii"));
    EXPECT_TRUE(w->protocolText().empty());
}

TEST(NiftiEndInit, GivenDirectoryIsNotCreatedButTheOldFileIsDeleted) {
    TempDir dir;
    MrPtr<Writer> w = makeWriter(Job{}, dir.str(), "t1.nii");
    writeFile(dir / "t1.nii", "old output");
    duvtrace::ScopedMemorySink sink;
    EXPECT_EQ(w->EndInit(nullptr), I_OK);
    EXPECT_FALSE(fs::exists(dir / "t1.nii"));
    EXPECT_TRUE(sink->contains("qomNiftiWriter: removing (if it exists) " + (dir / "t1.nii")));
    w->setExportFilePath(dir / "not/there");
    EXPECT_EQ(w->EndInit(nullptr), I_OK);  // a missing old file is no failure
    EXPECT_FALSE(fs::exists(dir / "not"));
}

TEST(NiftiEndInit, DefaultDirectoryIsCreatedAndCleaned) {
    TempDir dir;
    CustomerDirectory customer(dir / "MriCustomer/seq");
    MrPtr<Writer> w = makeWriter(Job{}, dir.str());
    w->setExportFilePath("");
    w->setExportFileName("");
    duvtrace::ScopedMemorySink sink;
    EXPECT_EQ(w->EndInit(nullptr), I_OK);
    const std::string def = dir.str() + "/MriCustomer/seq//vuz/data";
    EXPECT_TRUE(fs::is_directory(dir.path() / "MriCustomer/seq/vuz/data"));
    EXPECT_TRUE(sink->contains("qomNiftiWriter: creating path " + def));
    EXPECT_TRUE(sink->contains("qomNiftiWriter: cleaning path " + def));
    // Every missing level was created by itself.
    EXPECT_TRUE(sink->contains("mkpath: attempting to create directory: " + dir.str() + "/MriCustomer"));
    EXPECT_TRUE(sink->contains("mkpath: attempting to create directory: " + dir.str() + "/MriCustomer/seq"));
    EXPECT_TRUE(sink->contains("mkpath: folder already exists: " + dir.str() + "/MriCustomer/seq/"));
    EXPECT_TRUE(sink->contains("mkpath: attempting to create directory: " + dir.str() + "/MriCustomer/seq//vuz"));
    EXPECT_TRUE(sink->contains("mkpath: attempting to create directory: " + def));
    // The next job deletes the old default file.
    writeFile(def + "/mprage.nii", "old");
    EXPECT_EQ(w->EndInit(nullptr), I_OK);
    EXPECT_FALSE(fs::exists(def + "/mprage.nii"));
}

TEST(NiftiEndInit, DefaultDirectoryThatCannotBeCreatedFails) {
    TempDir dir;
    writeFile(dir / "blocked", "a file");
    CustomerDirectory customer(dir / "blocked");
    MrPtr<Writer> w = makeWriter(Job{}, dir.str());
    w->setExportFilePath("");
    duvtrace::ScopedMemorySink sink;
    DuvFramework::ClearLastError();
    EXPECT_EQ(w->EndInit(nullptr), I_FAIL);
    EXPECT_TRUE(sink->contains("qomNiftiWriter: failed to create path " + dir.str() + "/blocked//vuz/data" +
                               kFailSuffix));
    EXPECT_EQ(DuvFramework::GetLastError(), I_FAIL);
}

// --- properties and type record ---------------------------------------------------------

TEST(NiftiProperties, TableOrderPathsAndConstructionDefaults) {
    using VT = Rudu::ValueType;
    const struct {
        const char* name;
        VT type;
        const char* path;
    } want[] = {
        {"DoNiftiExport", VT::Bool, ""},
        {"ExportRawData", VT::Bool, ""},
        {"ExportFilePath", VT::String, ""},
        {"ExportFileName", VT::String, ""},
        {"XProtFileName", VT::String, ""},
        {"DebugLogging", VT::Bool, ""},
        {"DoNotSendDicomImages", VT::Bool, ""},
        {"NCha", VT::Int, "YAPS.iMaxNoOfRxChannels"},
        {"NSlc", VT::Int, "MEAS.sSliceArray.lSize"},
        {"NParFT", VT::Int, "MEAS.sKSpace.lImagesPerSlab"},
        {"NParMeas", VT::Int, "YAPS.iNoOfFourierPartitions"},
        {"NSet", VT::Int, "YAPS.iNSet"},
        {"NIda", VT::Int, "YAPS.iNIda"},
        {"NPhs", VT::Int, "MEAS.sPhysioImaging.lPhases"},
        {"NRep", VT::Int, "MEAS.lRepetitions"},
        {"MatrixRO", VT::Int, "MEAS.sKSpace.lBaseResolution"},
        {"MatrixPE", VT::Int, "MEAS.sKSpace.lPhaseEncodingLines"},
        {"ReadFOV", VT::Double, "MEAS.sSliceArray.asSlice.0.dReadoutFOV"},
        {"PhaseFOV", VT::Double, "MEAS.sSliceArray.asSlice.0.dPhaseFOV"},
        {"SliceThk", VT::Double, "MEAS.sSliceArray.asSlice.0.dThickness"},
        {"DistFact", VT::Double, "MEAS.sGroupArray.asGroup.0.dDistFact"},
        {"PatientPosition", VT::String, "YAPS.tPatientPosition"},
        {"TxFrequency", VT::Int, "MEAS.sTXSPEC.asNucleusInfo.0.lFrequency"},
        {"GradOffsetX", VT::Int, "MEAS.sGRADSPEC.asGPAData.0.lOffsetX"},
        {"GradOffsetY", VT::Int, "MEAS.sGRADSPEC.asGPAData.0.lOffsetY"},
        {"GradOffsetZ", VT::Int, "MEAS.sGRADSPEC.asGPAData.0.lOffsetZ"},
        {"ShimCurrents", VT::IntVector, "MEAS.sGRADSPEC.alShimCurrent"},
        {"TR", VT::Int, "MEAS.alTR"},
        {"B0EncodeDelay_us", VT::Int, "YAPS.alDUVProgramPara.10"},
        {"B0ShimCalibrationMode", VT::Int, ""},
        {"ShimOffsetDACLimitX", VT::Int, "YAPS.alDUVProgramPara.12"},
        {"ShimOffsetDACLimitY", VT::Int, "YAPS.alDUVProgramPara.13"},
        {"ShimOffsetDACLimitZ", VT::Int, "YAPS.alDUVProgramPara.14"},
        {"ShimCurrentLimit", VT::Int, "YAPS.alDUVProgramPara.15"},
        {"ShimCalibrationStep", VT::StringVector, ""},
    };
    const Rudu::Type* type = Writer::TypeOf();
    ASSERT_NE(type, nullptr);
    EXPECT_EQ(type->Name(), "Viviv_NS_qomNiftiWriter");
    const auto& own = type->Properties();
    ASSERT_EQ(own.size(), 35u);
    for (size_t i = 0; i < own.size(); ++i) {
        EXPECT_EQ(own[i].name, want[i].name) << i;
        EXPECT_EQ(own[i].type, want[i].type) << want[i].name;
        EXPECT_EQ(own[i].description, want[i].path) << want[i].name;
        EXPECT_FALSE(own[i].readOnly()) << want[i].name;
    }
    ASSERT_EQ(type->Methods().size(), 1u);
    EXPECT_EQ(type->Methods()[0].name, "ComputeImage");
    ASSERT_EQ(type->Events().size(), 1u);
    EXPECT_EQ(type->Events()[0].name, "ImageReady");
    EXPECT_EQ(&Writer::GetProperties(), &Writer::GetProperties());  // built once

    MrPtr<Writer> w(Rudu::HeapObject<Writer>::Create());
    EXPECT_EQ(w->GetType(), type);
    const auto get = [&](const char* name) { return Rudu::GetProperty(*w, "w", name); };
    EXPECT_EQ(std::get<bool>(get("DoNiftiExport")), true);
    EXPECT_EQ(std::get<bool>(get("ExportRawData")), true);
    EXPECT_EQ(std::get<std::string>(get("ExportFilePath")), "");
    EXPECT_EQ(std::get<std::string>(get("ExportFileName")), "");
    EXPECT_EQ(std::get<std::string>(get("XProtFileName")), "");
    EXPECT_EQ(std::get<bool>(get("DebugLogging")), false);
    EXPECT_EQ(std::get<bool>(get("DoNotSendDicomImages")), false);
    EXPECT_EQ(std::get<std::string>(get("PatientPosition")), "");
    EXPECT_TRUE(std::get<std::vector<int>>(get("ShimCurrents")).empty());
    EXPECT_TRUE(std::get<std::vector<std::string>>(get("ShimCalibrationStep")).empty());
    EXPECT_EQ(w->bytesPerValue(), 4);
    EXPECT_EQ(w->nCol() + w->nLin() + w->nPar(), 0);
    const NiftiHeader1& h = w->header();
    const auto* raw = reinterpret_cast<const unsigned char*>(&h);
    EXPECT_TRUE(std::all_of(raw, raw + sizeof h, [](unsigned char b) { return b == 0; }));
}

TEST(NiftiProperties, FilledFromTheProtocolAndSetByName) {
    MrPtr<Writer> w(Rudu::HeapObject<Writer>::Create());
    Rudu::FillPropertiesFromProtocol(*w, "qomNiftiWriter", fullProtocol());
    EXPECT_EQ(w->getNCha(), 32);
    EXPECT_EQ(w->getNSlc(), 3);
    EXPECT_EQ(w->getNRep(), 0);
    EXPECT_DOUBLE_EQ(w->getSliceThk(), 4.0);
    EXPECT_DOUBLE_EQ(w->getDistFact(), 0.25);
    EXPECT_EQ(w->getPatientPosition(), "HFS");
    EXPECT_EQ(w->getTR(), 2300000);  // the first element of the array
    EXPECT_EQ(w->getShimCurrents(), (std::vector<int>{100, 101, 102, 103, 104}));
    EXPECT_EQ(w->getB0EncodeDelay_us(), 1010);
    EXPECT_EQ(w->getShimOffsetDACLimitX(), 1012);
    EXPECT_EQ(w->getShimCurrentLimit(), 1015);
    EXPECT_EQ(w->getGradOffsetY(), -12);
    Rudu::SetProperty(*w, "qomNiftiWriter", "ShimCalibrationStep", std::vector<std::string>{"a", "b"});
    EXPECT_EQ(w->getShimCalibrationStep(), (std::vector<std::string>{"a", "b"}));
    try {
        Rudu::SetProperty(*w, "qomNiftiWriter", "NoSuchProperty", true);
        FAIL() << "no exception";
    } catch (const ReadonlyXNode::Exception& e) {
        EXPECT_STREQ(e.what(), "Node: qomNiftiWriter: SetProperty - Parameter not found NoSuchProperty");
    }
}

// --- module entry points -----------------------------------------------------------------

TEST(VivivModuleEntry, FactoryTableAndModuleObject) {
    Rudu::Module* module = VivivModule();
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(module->Name(), "Viviv");
    EXPECT_EQ(VivivModule(), module);

    MrPtr<Rudu::Component> writer(Viviv__CreateObject("Viviv_NS_qomNiftiWriter"));
    ASSERT_TRUE(writer);
    EXPECT_NE(dynamic_cast<Writer*>(writer.get()), nullptr);
    MrPtr<Rudu::Component> configurator(Viviv__CreateObject("Viviv_NS_qomDuvPrgB0Configurator"));
    ASSERT_TRUE(configurator);
    EXPECT_NE(dynamic_cast<ProtocolComposer::IComposer*>(configurator.get()), nullptr);
    EXPECT_EQ(configurator->GetType()->Name(), "Viviv_NS_qomDuvPrgB0Configurator");
    EXPECT_EQ(Viviv__CreateObject("Viviv_NS_Unknown"), nullptr);

    ProtocolComposer::IComposer* composer = Viviv_createProtocolComposer("Viviv_NS_qomDuvPrgB0Configurator", 1.0);
    ASSERT_NE(composer, nullptr);
    composer->selfDestroy();
    EXPECT_EQ(Viviv_createProtocolComposer("Viviv_NS_qomNiftiWriter", 1.0), nullptr);  // no configurator
}

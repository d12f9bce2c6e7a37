// The writer's construction, type record and property table, the output file
// name, the output directory and the end of initialisation.
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "Viviv_NS_qomNiftiWriter.h"
#include "VivivTrace.h"
#include "VivivTypeRecord.h"
#include "duvhost/Installation.h"
#include "duvhost/Platform.h"

namespace {

constexpr const char* kSource = "qomNiftiWriter";
constexpr const char* kEndInit = "qomNiftiWriter::EndInit(env)";
constexpr const char* kMkpathSource = "mkpath";

// The customer directory of the installation joined with "/vuz/data" as they
// stand: on the Windows host "C:\\Zarezu\\MriCustomer\\seq\\/vuz/data".
std::string defaultExportDirectory() { return DuvHost::CustomerDirectory() + "/vuz/data"; }

}  // namespace

using W = Viviv_NS_qomNiftiWriter;

W::Viviv_NS_qomNiftiWriter() {
    std::memset(&m_sNiftiHeader, 0, sizeof m_sNiftiHeader);
    std::memset(m_ucExtender, 0, sizeof m_ucExtender);
    addCB(0);
}

W::~Viviv_NS_qomNiftiWriter() { closeOpenFiles(); }

// ---------------------------------------------------------------------------
// Type record
// ---------------------------------------------------------------------------
const std::vector<const Rudu::Type*>& W::GetBases() {
    static std::unique_ptr<std::vector<const Rudu::Type*>> bases;
    return *viviv::buildOnce(bases, [] {
        return std::make_unique<std::vector<const Rudu::Type*>>(std::vector<const Rudu::Type*>{IFunctor::TypeOf()});
    });
}

const std::vector<Rudu::MethodDescriptor>& W::GetMethods() {
    static std::unique_ptr<std::vector<Rudu::MethodDescriptor>> methods;
    return *viviv::buildOnce(methods, [] {
        auto v = std::make_unique<std::vector<Rudu::MethodDescriptor>>();
        v->push_back(Rudu::MakeMethod("ComputeImage", &W::ComputeImage));
        return v;
    });
}

const std::vector<Rudu::EventDescriptor>& W::GetEvents() {
    static std::unique_ptr<std::vector<Rudu::EventDescriptor>> events;
    return *viviv::buildOnce(events, [] {
        auto v = std::make_unique<std::vector<Rudu::EventDescriptor>>();
        v->push_back(Rudu::MakeEvent("ImageReady", &W::ImageReady));
        return v;
    });
}

const std::vector<Rudu::PropertyDescriptor>& W::GetProperties() {
    static std::unique_ptr<std::vector<Rudu::PropertyDescriptor>> properties;
    return *viviv::buildOnce(properties, [] {
        using Rudu::MakeProperty;
        return std::make_unique<std::vector<Rudu::PropertyDescriptor>>(std::vector<Rudu::PropertyDescriptor>{
            MakeProperty("DoNiftiExport", &W::getDoNiftiExport, &W::setDoNiftiExport, ""),
            MakeProperty("ExportRawData", &W::getExportRawData, &W::setExportRawData, ""),
            MakeProperty("ExportFilePath", &W::getExportFilePath, &W::setExportFilePath, ""),
            MakeProperty("ExportFileName", &W::getExportFileName, &W::setExportFileName, ""),
            MakeProperty("XProtFileName", &W::getXProtFileName, &W::setXProtFileName, ""),
            MakeProperty("DebugLogging", &W::getDebugLogging, &W::setDebugLogging, ""),
            MakeProperty("DoNotSendDicomImages", &W::getDoNotSendDicomImages, &W::setDoNotSendDicomImages, ""),
            MakeProperty("NCha", &W::getNCha, &W::setNCha, "YAPS.iMaxNoOfRxChannels"),
            MakeProperty("NSlc", &W::getNSlc, &W::setNSlc, "MEAS.sSliceArray.lSize"),
            MakeProperty("NParFT", &W::getNParFT, &W::setNParFT, "MEAS.sKSpace.lImagesPerSlab"),
            MakeProperty("NParMeas", &W::getNParMeas, &W::setNParMeas, "YAPS.iNoOfFourierPartitions"),
            MakeProperty("NSet", &W::getNSet, &W::setNSet, "YAPS.iNSet"),
            MakeProperty("NIda", &W::getNIda, &W::setNIda, "YAPS.iNIda"),
            MakeProperty("NPhs", &W::getNPhs, &W::setNPhs, "MEAS.sPhysioImaging.lPhases"),
            MakeProperty("NRep", &W::getNRep, &W::setNRep, "MEAS.lRepetitions"),
            MakeProperty("MatrixRO", &W::getMatrixRO, &W::setMatrixRO, "MEAS.sKSpace.lBaseResolution"),
            MakeProperty("MatrixPE", &W::getMatrixPE, &W::setMatrixPE, "MEAS.sKSpace.lPhaseEncodingLines"),
            MakeProperty("ReadFOV", &W::getReadFOV, &W::setReadFOV, "MEAS.sSliceArray.asSlice.0.dReadoutFOV"),
            MakeProperty("PhaseFOV", &W::getPhaseFOV, &W::setPhaseFOV, "MEAS.sSliceArray.asSlice.0.dPhaseFOV"),
            MakeProperty("SliceThk", &W::getSliceThk, &W::setSliceThk, "MEAS.sSliceArray.asSlice.0.dThickness"),
            MakeProperty("DistFact", &W::getDistFact, &W::setDistFact, "MEAS.sGroupArray.asGroup.0.dDistFact"),
            MakeProperty("PatientPosition", &W::getPatientPosition, &W::setPatientPosition, "YAPS.tPatientPosition"),
            MakeProperty("TxFrequency", &W::getTxFrequency, &W::setTxFrequency,
                         "MEAS.sTXSPEC.asNucleusInfo.0.lFrequency"),
            MakeProperty("GradOffsetX", &W::getGradOffsetX, &W::setGradOffsetX, "MEAS.sGRADSPEC.asGPAData.0.lOffsetX"),
            MakeProperty("GradOffsetY", &W::getGradOffsetY, &W::setGradOffsetY, "MEAS.sGRADSPEC.asGPAData.0.lOffsetY"),
            MakeProperty("GradOffsetZ", &W::getGradOffsetZ, &W::setGradOffsetZ, "MEAS.sGRADSPEC.asGPAData.0.lOffsetZ"),
            MakeProperty("ShimCurrents", &W::getShimCurrents, &W::setShimCurrents, "MEAS.sGRADSPEC.alShimCurrent"),
            MakeProperty("TR", &W::getTR, &W::setTR, "MEAS.alTR"),
            MakeProperty("B0EncodeDelay_us", &W::getB0EncodeDelay_us, &W::setB0EncodeDelay_us,
                         "YAPS.alDUVProgramPara.10"),
            MakeProperty("B0ShimCalibrationMode", &W::getB0ShimCalibrationMode, &W::setB0ShimCalibrationMode, ""),
            MakeProperty("ShimOffsetDACLimitX", &W::getShimOffsetDACLimitX, &W::setShimOffsetDACLimitX,
                         "YAPS.alDUVProgramPara.12"),
            MakeProperty("ShimOffsetDACLimitY", &W::getShimOffsetDACLimitY, &W::setShimOffsetDACLimitY,
                         "YAPS.alDUVProgramPara.13"),
            MakeProperty("ShimOffsetDACLimitZ", &W::getShimOffsetDACLimitZ, &W::setShimOffsetDACLimitZ,
                         "YAPS.alDUVProgramPara.14"),
            MakeProperty("ShimCurrentLimit", &W::getShimCurrentLimit, &W::setShimCurrentLimit,
                         "YAPS.alDUVProgramPara.15"),
            MakeProperty("ShimCalibrationStep", &W::getShimCalibrationStep, &W::setShimCalibrationStep, ""),
        });
    });
}

const Rudu::Type* W::TypeOf() {
    static std::unique_ptr<Rudu::Type> type;
    return viviv::typeOnce(type, [] {
        return std::make_unique<Rudu::Type>("Viviv_NS_qomNiftiWriter", GetBases(), GetMethods(), GetEvents(),
                                            GetProperties());
    });
}

// ---------------------------------------------------------------------------
// Naming and directories
// ---------------------------------------------------------------------------
void W::getFileName(std::string& fileName, std::string& directory, int /*index*/) const {
    fileName = m_strExportFileName.empty() ? std::string("mprage.nii") : m_strExportFileName;
    directory = m_strExportFilePath.empty() ? defaultExportDirectory() : m_strExportFilePath;
    // Separators are taken as they stand: a directory ending in one gets a second.
    fileName = directory + "/" + fileName;
}

bool W::folder_exists(const std::string& path) {
    const bool exists = DuvPlatform::IsDirectory(path);
    VIVIV_NOTICE(kMkpathSource, "folder_exists")
        << (exists ? "mkpath: folder already exists: " : "mkpath: folder does not exist: ") << path;
    return exists;
}

int W::my_mkdir(const std::string& path) {
    VIVIV_NOTICE(kMkpathSource, "my_mkdir") << "mkpath: attempting to create directory: " << path;
    return DuvPlatform::MakeDirectory(path);
}

int W::mkpath(const std::string& path) {
    if (folder_exists(path)) return 0;
    // Only forward slashes separate the levels; a backslash stays inside its piece.
    std::string prefix;
    size_t begin = 0;
    while (true) {
        const size_t end = path.find('/', begin);
        prefix += path.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
        if (!prefix.empty() && !folder_exists(prefix) && my_mkdir(prefix) != 0) return -1;
        if (end == std::string::npos) break;
        prefix += "/";
        begin = end + 1;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// End of initialisation
// ---------------------------------------------------------------------------
size_t W::openFileCount() const {
    size_t n = 0;
    for (std::FILE* f : m_vpFiles)
        if (f) ++n;
    return n;
}

void W::closeOpenFiles() {
    for (std::FILE*& f : m_vpFiles) {
        if (f) std::fclose(f);
        f = nullptr;
    }
}

DuvStatus W::EndInit(IRuduEnvironment* env) {
    const DuvStatus baseStatus = DuvImageReconFunctors::EndInit(env);
    if (DuvIsFailure(baseStatus)) {
        VIVIV_ERROR(kSource, kEndInit)
            << "Failed calling base functionality DuvImageReconFunctors::EndInit, aborting..."
            << VivivStatus{baseStatus};
        DuvFramework::SetLastError(I_FAIL, env);
        return baseStatus;
    }

    // A failed previous job may have left files open: close them (their
    // temporary files stay) rather than leak the handles.
    m_vcXProtText.clear();
    closeOpenFiles();
    m_vpFiles.clear();
    m_vStreams.clear();
    m_vstrFileNames.clear();

    // The protocol holds one less than the number of repetitions; a value
    // that leaves no room for the addition is refused, not wrapped around.
    if (m_iNRep == std::numeric_limits<int>::max()) {
        VIVIV_ERROR(kSource, kEndInit) << "qomNiftiWriter: NRep = " << m_iNRep
                                       << " (MEAS.lRepetitions) leaves no count of repetitions, aborting..."
                                       << VivivStatus{I_FAIL};
        DuvFramework::SetLastError(I_FAIL, env);
        return I_FAIL;
    }
    m_iNRep = m_iNRep + 1;

    if (!m_bDoNiftiExport) return I_OK;

    std::FILE* file = std::fopen(m_strXProtFileName.c_str(), "r+b");
    if (!file) {
        VIVIV_ERROR(kSource, kEndInit) << "qomNiftiWriter: failed opening xprotocol data file " << m_strXProtFileName
                                       << VivivStatus{I_FAIL};
        DuvFramework::SetLastError(I_FAIL, env);
        return I_FAIL;
    }
    long size = 0;
    if (std::fseek(file, 0, SEEK_END) == 0) size = std::ftell(file);
    if (size <= 0) {
        std::fclose(file);
        VIVIV_ERROR(kSource, kEndInit) << "qomNiftiWriter: xprot file is empty, aborting...";
        return I_FAIL;
    }
    m_vcXProtText.resize(static_cast<size_t>(size));
    std::fseek(file, 0, SEEK_SET);
    const size_t got = std::fread(m_vcXProtText.data(), 1, m_vcXProtText.size(), file);
    if (got < m_vcXProtText.size()) {
        std::fclose(file);
        VIVIV_ERROR(kSource, kEndInit) << "qomNiftiWriter: fread xprot failed, aborting...";
        return I_FAIL;
    }
    std::fclose(file);

    std::string fileName, directory;
    getFileName(fileName, directory, 0);
    if (m_strExportFilePath.empty()) {
        VIVIV_DEBUG(m_bDebugLogging, kSource, kEndInit) << "qomNiftiWriter: creating path " << directory;
        if (mkpath(directory) != 0) {
            VIVIV_ERROR(kSource, kEndInit) << "qomNiftiWriter: failed to create path " << directory
                                           << VivivStatus{I_FAIL};
            DuvFramework::SetLastError(I_FAIL, env);
            return I_FAIL;
        }
        VIVIV_DEBUG(m_bDebugLogging, kSource, kEndInit) << "qomNiftiWriter: cleaning path " << directory;
    } else {
        VIVIV_DEBUG(m_bDebugLogging, kSource, kEndInit) << "qomNiftiWriter: removing (if it exists) " << fileName;
    }
    std::remove(fileName.c_str());  // a missing file is no failure
    return I_OK;
}

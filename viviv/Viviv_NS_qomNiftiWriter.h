// The NIfTI-1 export stage: writes every finished image at its place in one
// NIfTI-1 file under the export directory and passes the image on.
//
// Member functions by source file:
//   qomNiftiWriterProperties.cpp  construction, type record and property table,
//                                 getFileName, mkpath, folder_exists, my_mkdir, EndInit
//   qomNiftiWriterFirstCall.cpp   FirstCall (checks, channel and sample-format rules,
//                                 header, sform), xyzVec
//   qomNiftiWriterImages.cpp      ComputeImage, endOfJob, image placement
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "NiftiHeader.h"
#include "duvhost/DuvObj.h"
#include "duvhost/Functors.h"
#include "duvhost/Headers.h"
#include "duvhost/Rudu.h"

// A host vector (patient coordinates) converted into the file's coordinate
// convention: the device vector (X, Y, Z) of the patient position becomes
// (X, -Y, -Z). An unknown patient position gives the zero vector and valid
// false (after an Error trace).
struct xyzVec : sVec {
    xyzVec() = default;
    xyzVec(const sVec& vector, const std::string& patientPosition);
    bool valid = true;
};

#define VIVIV_PROPERTY(Type, Name, member)    \
    Type get##Name() const { return member; } \
    void set##Name(Type v) { member = v; }

class Viviv_NS_qomNiftiWriter : public DuvImageReconFunctors {
public:
    using ImageEvent = MulticastDelegate_3<DuvStatus, DuvAs&, MrPtr<MiniHeader>&, ImageControl&>;

    Viviv_NS_qomNiftiWriter();
    ~Viviv_NS_qomNiftiWriter() override;
    Viviv_NS_qomNiftiWriter(const Viviv_NS_qomNiftiWriter&) = delete;
    Viviv_NS_qomNiftiWriter& operator=(const Viviv_NS_qomNiftiWriter&) = delete;

    // --- type record (built once under the module lock) ---
    static const Rudu::Type* TypeOf();
    const Rudu::Type* GetType() const override { return TypeOf(); }
    static const std::vector<const Rudu::Type*>& GetBases();
    static const std::vector<Rudu::MethodDescriptor>& GetMethods();
    static const std::vector<Rudu::EventDescriptor>& GetEvents();
    static const std::vector<Rudu::PropertyDescriptor>& GetProperties();

    // --- lifecycle ---
    DuvStatus EndInit(IRuduEnvironment* env) override;
    DuvStatus FirstCall(DuvAs& srcAs, MrPtr<MiniHeader>& dataHeader, ImageControl& ctrl) override;
    DuvStatus ComputeImage(DuvAs& srcAs, MrPtr<MiniHeader>& dataHeader, ImageControl& ctrl);
    DuvStatus endOfJob(DuvStatus reason) override;

    // Output event "ImageReady": the successors receive every image unchanged.
    ImageEvent ImageReady;

    // --- naming and directories ---
    void getFileName(std::string& fileName, std::string& directory, int index) const;
    int mkpath(const std::string& path);
    bool folder_exists(const std::string& path);
    int my_mkdir(const std::string& path);

    // --- image placement ---
    // Byte position of the 2D image of channel ch, volume vol and slice slc in
    // the output file (64-bit), or -1 when an index lies outside the header's
    // dimensions.
    int64_t imageFilePosition(long ch, long vol, long slc) const;
    // The file size the header declares: vox_offset plus every image.
    int64_t declaredFileBytes() const;

    // --- state that FirstCall fixes (read by tests and the placement) ---
    const NiftiHeader1& header() const { return m_sNiftiHeader; }
    const unsigned char* extender() const { return m_ucExtender; }
    int bytesPerValue() const { return m_iBytesPerValue; }
    int nCol() const { return m_iNCol; }
    int nLin() const { return m_iNLin; }
    int nPar() const { return m_iNPar; }
    const std::vector<std::string>& fileNames() const { return m_vstrFileNames; }
    size_t openFileCount() const;
    const std::vector<char>& protocolText() const { return m_vcXProtText; }

    // --- properties (registration order) ---
    VIVIV_PROPERTY(bool, DoNiftiExport, m_bDoNiftiExport)
    VIVIV_PROPERTY(bool, ExportRawData, m_bExportRawData)
    VIVIV_PROPERTY(std::string, ExportFilePath, m_strExportFilePath)
    VIVIV_PROPERTY(std::string, ExportFileName, m_strExportFileName)
    VIVIV_PROPERTY(std::string, XProtFileName, m_strXProtFileName)
    VIVIV_PROPERTY(bool, DebugLogging, m_bDebugLogging)
    VIVIV_PROPERTY(bool, DoNotSendDicomImages, m_bDoNotSendDicomImages)
    VIVIV_PROPERTY(int, NCha, m_iNCha)
    VIVIV_PROPERTY(int, NSlc, m_iNSlc)
    VIVIV_PROPERTY(int, NParFT, m_iNParFT)
    VIVIV_PROPERTY(int, NParMeas, m_iNParMeas)
    VIVIV_PROPERTY(int, NSet, m_iNSet)
    VIVIV_PROPERTY(int, NIda, m_iNIda)
    VIVIV_PROPERTY(int, NPhs, m_iNPhs)
    VIVIV_PROPERTY(int, NRep, m_iNRep)
    VIVIV_PROPERTY(int, MatrixRO, m_iMatrixRO)
    VIVIV_PROPERTY(int, MatrixPE, m_iMatrixPE)
    VIVIV_PROPERTY(double, ReadFOV, m_dReadFOV)
    VIVIV_PROPERTY(double, PhaseFOV, m_dPhaseFOV)
    VIVIV_PROPERTY(double, SliceThk, m_dSliceThk)
    VIVIV_PROPERTY(double, DistFact, m_dDistFact)
    VIVIV_PROPERTY(std::string, PatientPosition, m_strPatientPosition)
    VIVIV_PROPERTY(int, TxFrequency, m_iTxFrequency)
    VIVIV_PROPERTY(int, GradOffsetX, m_iGradOffsetX)
    VIVIV_PROPERTY(int, GradOffsetY, m_iGradOffsetY)
    VIVIV_PROPERTY(int, GradOffsetZ, m_iGradOffsetZ)
    VIVIV_PROPERTY(std::vector<int>, ShimCurrents, m_viShimCurrents)
    VIVIV_PROPERTY(int, TR, m_iTR)
    VIVIV_PROPERTY(int, B0EncodeDelay_us, m_iB0EncodeDelay_us)
    VIVIV_PROPERTY(int, B0ShimCalibrationMode, m_iB0ShimCalibrationMode)
    VIVIV_PROPERTY(int, ShimOffsetDACLimitX, m_iShimOffsetDACLimitX)
    VIVIV_PROPERTY(int, ShimOffsetDACLimitY, m_iShimOffsetDACLimitY)
    VIVIV_PROPERTY(int, ShimOffsetDACLimitZ, m_iShimOffsetDACLimitZ)
    VIVIV_PROPERTY(int, ShimCurrentLimit, m_iShimCurrentLimit)
    VIVIV_PROPERTY(std::vector<std::string>, ShimCalibrationStep, m_vstrShimCalibrationStep)

private:
    // Closes every file still open (their temporary files stay where they are).
    void closeOpenFiles();
    // Fails (Error trace, last error) when an image does not have the shape,
    // sample format and channel count of the first image of the job.
    unsigned long checkImageShape(const DuvAs& srcAs, const ImageControl& ctrl);
    // Steps of ComputeImage that touch the file.
    unsigned long writeImage(DuvAs& srcAs, MrPtr<MiniHeader>& dataHeader, ImageControl& ctrl);
    // Finds or creates the output file: its index in the file arrays, or -1
    // after a failure (traced).
    long outputFile(const std::string& fileName, const std::string& tmpName);

    // The 35 property values.
    bool m_bDoNiftiExport = true;
    bool m_bExportRawData = true;
    std::string m_strExportFilePath;
    std::string m_strExportFileName;
    std::string m_strXProtFileName;
    bool m_bDebugLogging = false;
    bool m_bDoNotSendDicomImages = false;
    int m_iNCha = 0;
    int m_iNSlc = 0;
    int m_iNParFT = 0;
    int m_iNParMeas = 0;
    int m_iNSet = 0;
    int m_iNIda = 0;
    int m_iNPhs = 0;
    int m_iNRep = 0;
    int m_iMatrixRO = 0;
    int m_iMatrixPE = 0;
    double m_dReadFOV = 0.0;
    double m_dPhaseFOV = 0.0;
    double m_dSliceThk = 0.0;
    double m_dDistFact = 0.0;
    std::string m_strPatientPosition;
    int m_iTxFrequency = 0;
    int m_iGradOffsetX = 0;
    int m_iGradOffsetY = 0;
    int m_iGradOffsetZ = 0;
    std::vector<int> m_viShimCurrents;
    int m_iTR = 0;
    int m_iB0EncodeDelay_us = 0;
    int m_iB0ShimCalibrationMode = 0;
    int m_iShimOffsetDACLimitX = 0;
    int m_iShimOffsetDACLimitY = 0;
    int m_iShimOffsetDACLimitZ = 0;
    int m_iShimCurrentLimit = 0;
    std::vector<std::string> m_vstrShimCalibrationStep;

    // Header record and the extender bytes that follow it in the file.
    NiftiHeader1 m_sNiftiHeader;
    unsigned char m_ucExtender[4];
    // The exported protocol, read back by EndInit.
    std::vector<char> m_vcXProtText;
    int m_iBytesPerValue = 4;
    int m_iNCol = 0;
    int m_iNLin = 0;
    int m_iNPar = 0;
    // Output files, index-aligned: open stream (null once closed) and final name.
    std::vector<std::FILE*> m_vpFiles;
    std::vector<std::string> m_vstrFileNames;

    // The first image of the job: every later image must match it.
    DuvFormat_t m_eFirstFormat = SH;
    long m_lFirstImageChannels = 0;
    // Per open file (index-aligned with m_vpFiles): its stream buffer and
    // the stream position after the last write, so that an image that
    // follows its predecessor in the file needs no seek (a seek flushes).
    struct StreamState {
        std::unique_ptr<char[]> buffer;
        int64_t position = -1;
    };
    std::vector<StreamState> m_vStreams;
};

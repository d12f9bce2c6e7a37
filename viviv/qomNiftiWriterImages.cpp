// Writing each image at its place in the output file, passing it on, and
// closing and renaming the files at the end of the job.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "Viviv_NS_qomNiftiWriter.h"
#include "VivivTrace.h"
#include "duvhost/Platform.h"

namespace {

constexpr const char* kSource = "qomNiftiWriter";
constexpr const char* kComputeImage = "qomNiftiWriter::ComputeImage(srcAs, dataHeader, ctrl)";
constexpr const char* kEndOfJob = "qomNiftiWriter::endOfJob(irReason)";

// Positions beyond 2 GB need the 64-bit seek and tell.
int seekTo(std::FILE* f, int64_t position, int whence = SEEK_SET) { return DuvPlatform::Seek(f, position, whence); }

int64_t tellPosition(std::FILE* f) { return DuvPlatform::Tell(f); }

// Stream buffer of an output file: at least one 2D image and at least 1 MiB,
// so that images that arrive in file order leave in large block-aligned
// writes, as a plain sequential write would.
size_t streamBufferBytes(int64_t imageBytes) {
    constexpr int64_t kMin = 1024 * 1024, kMax = 4 * 1024 * 1024;
    return static_cast<size_t>(std::min(std::max(imageBytes, kMin), kMax));
}

// Writes the lines of one 2D image at the stream's position, last line
// first, one write call per line. False when a line fell short; written
// then holds how many of its bytes arrived.
bool writeLinesReversed(std::FILE* file, const unsigned char* first, ptrdiff_t lineStep, long nLin,
                        size_t lineBytes, size_t& written) {
    for (long lin = nLin - 1; lin >= 0; --lin) {
        written = std::fwrite(first + lin * lineStep, 1, lineBytes, file);
        if (written < lineBytes) return false;
    }
    return true;
}

// The host's dump of an image header (nothing for a missing header).
struct HeaderDump {
    const MiniHeader* header;
};
std::ostream& operator<<(std::ostream& os, HeaderDump d) { return d.header ? os << *d.header : os; }

}  // namespace

using W = Viviv_NS_qomNiftiWriter;

int64_t W::imageFilePosition(long ch, long vol, long slc) const {
    const NiftiHeader1& h = m_sNiftiHeader;
    const int64_t slices = h.dim[3], volumes = h.dim[4], channels = h.dim[5];
    if (slc < 0 || slc >= slices || vol < 0 || vol >= volumes || ch < 0 || ch >= channels) return -1;
    const int64_t imageBytes = int64_t(m_iNLin) * m_iNCol * m_iBytesPerValue;
    const int64_t voxOffset = static_cast<int64_t>(h.vox_offset);
    // Column fastest, then line, slice (dim[3]), volume (dim[4]), channel (dim[5]).
    return ((int64_t(ch) * volumes + vol) * slices + slc) * imageBytes + voxOffset;
}

int64_t W::declaredFileBytes() const {
    const NiftiHeader1& h = m_sNiftiHeader;
    int64_t bytes = m_iBytesPerValue;
    for (int d = 1; d <= 5; ++d) bytes *= h.dim[d];
    return bytes + static_cast<int64_t>(h.vox_offset);
}

unsigned long W::checkImageShape(const DuvAs& srcAs, const ImageControl& ctrl) {
    const long cols = srcAs.getLen(COL), lines = srcAs.getLen(LIN), channels = srcAs.getLen(CHA);
    const DuvFormat_t format = srcAs.getDuvObjFormat();
    // Every channel that the file holds must be in the image.
    const bool enoughChannels = m_iNCha <= 1 || channels >= m_iNCha;
    if (cols == m_iNCol && lines == m_iNLin && format == m_eFirstFormat && channels == m_lFirstImageChannels &&
        enoughChannels)
        return I_OK;
    VIVIV_ERROR(kSource, kComputeImage)
        << "qomNiftiWriter: image does not match the file (columns/lines/format/channels " << cols << "/" << lines
        << "/" << static_cast<int>(format) << "/" << channels << ", expected " << m_iNCol << "/" << m_iNLin << "/"
        << static_cast<int>(m_eFirstFormat) << "/" << std::max<long>(m_lFirstImageChannels, m_iNCha)
        << "), aborting..." << ctrl << VivivStatus{I_FAIL};
    DuvFramework::SetLastError(I_FAIL, env_);
    return I_FAIL;
}

long W::outputFile(const std::string& fileName, const std::string& tmpName) {
    const auto found = std::find(m_vstrFileNames.begin(), m_vstrFileNames.end(), fileName);
    if (found != m_vstrFileNames.end()) {
        const long k = static_cast<long>(found - m_vstrFileNames.begin());
        if (!m_vpFiles[size_t(k)]) {
            // Closed and renamed at the end of the job: writing on would
            // change a finished file under its final name.
            VIVIV_ERROR(kSource, kComputeImage) << "qomNiftiWriter: output file " << fileName
                                                << " was closed at end of job, aborting..." << VivivStatus{I_FAIL};
            DuvFramework::SetLastError(I_FAIL, env_);
            return -1;
        }
        return k;
    }

    VIVIV_DEBUG(m_bDebugLogging, kSource, kComputeImage)
        << "qomNiftiWriter: creating new file (currently " << m_vstrFileNames.size() << " open)";
    m_vstrFileNames.push_back(fileName);
    VIVIV_DEBUG(m_bDebugLogging, kSource, kComputeImage) << "qomNiftiWriter: opening " << tmpName;
    // Write-only: the file is never read back, and a read/write stream
    // would refill its buffer from the file after every seek.
    std::FILE* file = std::fopen(tmpName.c_str(), "wb");
    if (!file) {
        VIVIV_ERROR(kSource, kComputeImage) << "qomNiftiWriter: failed opening " << tmpName << VivivStatus{I_FAIL};
        DuvFramework::SetLastError(I_FAIL, env_);
        return -1;
    }
    const size_t bufferBytes = streamBufferBytes(int64_t(m_iNLin) * m_iNCol * m_iBytesPerValue);
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[bufferBytes]);
    if (buffer && std::setvbuf(file, buffer.get(), _IOFBF, bufferBytes) != 0) buffer.reset();
    m_vpFiles.push_back(file);
    m_vStreams.push_back(StreamState{std::move(buffer), -1});
    const long k = static_cast<long>(m_vpFiles.size() - 1);
    VIVIV_DEBUG(m_bDebugLogging, kSource, kComputeImage) << "qomNiftiWriter: created new complex output file #"
                                                         << (m_vpFiles.size() - 1) << ": " << m_vstrFileNames.back();

    // Header and extender bytes, once per file.
    const NiftiHeader1& h = m_sNiftiHeader;
    if (h.sizeof_hdr != kNiftiHeaderBytes) {
        VIVIV_ERROR(kSource, kComputeImage) << "qomNiftiWriter: header is not correct size (expected/actual "
                                            << kNiftiHeaderBytes << "/" << h.sizeof_hdr << ", aborting..."
                                            << VivivStatus{I_FAIL};
        DuvFramework::SetLastError(I_FAIL, env_);
        return -1;
    }
    size_t written = std::fwrite(&h, 1, kNiftiHeaderBytes, file);
    if (written < size_t(kNiftiHeaderBytes)) {
        VIVIV_ERROR(kSource, kComputeImage) << "qomNiftiWriter: fwrite header failed (expected/actual "
                                            << kNiftiHeaderBytes << "/" << written << ", aborting..."
                                            << VivivStatus{I_FAIL};
        DuvFramework::SetLastError(I_FAIL, env_);
        return -1;
    }
    VIVIV_DEBUG(m_bDebugLogging, kSource, kComputeImage)
        << "qomNiftiWriter: wrote " << kNiftiHeaderBytes << " primary header bytes";
    written = std::fwrite(m_ucExtender, 1, kNiftiExtenderBytes, file);
    if (written < size_t(kNiftiExtenderBytes)) {
        VIVIV_ERROR(kSource, kComputeImage) << "qomNiftiWriter: fwrite extension header failed (expected/actual "
                                            << kNiftiExtenderBytes << "/" << written << ", aborting..."
                                            << VivivStatus{I_FAIL};
        DuvFramework::SetLastError(I_FAIL, env_);
        return -1;
    }
    const int64_t voxOffset = static_cast<int64_t>(h.vox_offset);
    // In double: the product of nine protocol counts can exceed 64 bits.
    const double estimate = double(m_iNPar) * m_iNLin * m_iNCol * m_iBytesPerValue * m_iNRep * m_iNPhs * m_iNSet *
                                m_iNSlc * m_iNCha +
                            double(voxOffset);
    char estimateText[48];
    std::snprintf(estimateText, sizeof estimateText, "%.0f", estimate);
    VIVIV_DEBUG(m_bDebugLogging, kSource, kComputeImage) << "qomNiftiWriter: estimated final filesize (incl. "
                                                         << voxOffset << "-byte header): " << estimateText << " bytes";
    m_vStreams[size_t(k)].position = voxOffset;
    return k;
}

unsigned long W::writeImage(DuvAs& srcAs, MrPtr<MiniHeader>& dataHeader, ImageControl& ctrl) {
    std::string fileName, directory;
    getFileName(fileName, directory, 0);
    const std::string tmpName = fileName + ".tmp";

    if (m_vstrFileNames.size() != m_vpFiles.size()) {
        VIVIV_ERROR(kSource, kComputeImage)
            << "qomNiftiWriter: ERROR: size of file name and file pointer arrays does not match!"
            << VivivStatus{I_FAIL};
        DuvFramework::SetLastError(I_FAIL, env_);
        return I_FAIL;
    }
    const long k = outputFile(fileName, tmpName);
    if (k < 0) return I_FAIL;
    std::FILE* file = m_vpFiles[size_t(k)];
    int64_t& streamPosition = m_vStreams[size_t(k)].position;

    // Slice and volume of this image.
    long slc = 0;
    if (m_iNPar > 1) {
        slc = ctrl.getIndex(PAR);
    } else if (!dataHeader || !dataHeader->get("AnatomicalSliceNo", slc, true)) {
        VIVIV_ERROR(kSource, kComputeImage)
            << "qomNiftiWriter: dataHeader->get('AnatomicalSliceNo') failed, aborting...\nimaHead:"
            << HeaderDump{dataHeader.get()} << VivivStatus{I_FAIL};
        DuvFramework::SetLastError(I_FAIL, env_);
        return I_FAIL;
    }
    const long vol = m_iNSet > 1 ? ctrl.getIndex(SET) : m_iNPhs > 1 ? ctrl.getIndex(PHS) : ctrl.getIndex(REP);

    // Refuse what would not fit: another shape than the first image's, or a
    // place outside the header's dimensions (it would overwrite other images
    // or grow the file beyond what the header declares).
    if (checkImageShape(srcAs, ctrl) != I_OK) return I_FAIL;
    const int channels = std::max(m_iNCha, 1);
    if (imageFilePosition(channels - 1, vol, slc) < 0 || imageFilePosition(0, vol, slc) < 0) {
        VIVIV_ERROR(kSource, kComputeImage)
            << "qomNiftiWriter: image outside the file's dimensions (slc/vol " << slc << "/" << vol << " of "
            << m_sNiftiHeader.dim[3] << "/" << m_sNiftiHeader.dim[4] << "), aborting..." << ctrl
            << VivivStatus{I_FAIL};
        DuvFramework::SetLastError(I_FAIL, env_);
        return I_FAIL;
    }

    // One line of the rearranged view is one contiguous run of nCol values.
    DuvAs image(srcAs);
    if (!image.rearrange(COL, LIN) || image.strideElements(COL) != 1) {
        VIVIV_ERROR(kSource, kComputeImage) << "qomNiftiWriter: image lines are not contiguous, aborting..."
                                            << VivivStatus{I_FAIL};
        DuvFramework::SetLastError(I_FAIL, env_);
        return I_FAIL;
    }
    const size_t lineBytes = size_t(m_iNCol) * size_t(m_iBytesPerValue);
    for (long ch = 0; ch < channels; ++ch) {
        DuvAs channel(image);
        if (m_iNCha > 1) channel.modify(CHA, ch, 1, 1);
        // The host places line 0 and the last line; the lines between lie
        // at equal steps, so the loop needs no view call per line.
        DuvAs line(channel);
        const auto lineStart = [&line](long lin) -> const unsigned char* {
            return line.modify(LIN, lin, 1, 1) ? static_cast<const unsigned char*>(line.calcSplObjStartAddr())
                                               : nullptr;
        };
        const unsigned char* first = lineStart(0);
        const unsigned char* last = lineStart(m_iNLin - 1);
        const ptrdiff_t lineStep = m_iNLin > 1 && first && last ? (last - first) / (m_iNLin - 1) : 0;
        const int64_t position = imageFilePosition(ch, vol, slc);
        if (position != streamPosition && seekTo(file, position) != 0) {
            streamPosition = -1;
            VIVIV_ERROR(kSource, kComputeImage) << "qomNiftiWriter: failed to seek position " << position << " in "
                                                << tmpName << VivivStatus{I_FAIL};
            DuvFramework::SetLastError(I_FAIL, env_);
            return I_FAIL;
        }
        streamPosition = -1;  // unknown until every line is written
        // Last line first: the file's second index runs from the image's
        // last line to its first.
        size_t written = 0;
        if (!first || !writeLinesReversed(file, first, lineStep, m_iNLin, lineBytes, written)) {
            VIVIV_ERROR(kSource, kComputeImage)
                << "qomNiftiWriter: fwrite data failed at slc/set/cha " << slc << "/" << vol << "/" << ch
                << " (expected/actual " << lineBytes << "/" << written << ", aborting..." << VivivStatus{I_FAIL};
            DuvFramework::SetLastError(I_FAIL, env_);
            return I_FAIL;
        }
        streamPosition = position + int64_t(lineBytes) * m_iNLin;
    }
    return I_OK;
}

DuvStatus W::ComputeImage(DuvAs& srcAs, MrPtr<MiniHeader>& dataHeader, ImageControl& ctrl) {
    if (ctrl.getIndex(SEG) != 0) {
        VIVIV_ERROR(kSource, kComputeImage) << "qomNiftiWriter: uncombined SEGMENTS not supported!" << ctrl
                                            << VivivStatus{I_FAIL};
        DuvFramework::SetLastError(I_FAIL, env_);
        return I_FAIL;
    }
    const unsigned long callbacks = ExecuteCallbacks(srcAs, dataHeader, ctrl);
    if (DuvIsFailure(callbacks)) {
        VIVIV_ERROR(kSource, kComputeImage) << "qomNiftiWriter: ExecuteCallbacks failed, aborting..."
                                            << VivivStatus{callbacks};
        DuvFramework::SetLastError(I_FAIL, env_);
        return callbacks;
    }
    if (m_bDoNiftiExport) {
        const DuvStatus status = writeImage(srcAs, dataHeader, ctrl);
        if (status != I_OK) return status;
    }
    if (m_bDoNotSendDicomImages) return I_OK;
    const DuvStatus status = ImageReady(srcAs, dataHeader, ctrl);
    if (DuvIsFailure(status)) {
        VIVIV_ERROR(kSource, kComputeImage) << "qomNiftiWriter: ERROR calling remaining functor chain, aborting..."
                                            << VivivStatus{I_FAIL};
        DuvFramework::SetLastError(I_FAIL, env_);
        return I_FAIL;
    }
    return I_OK;
}

DuvStatus W::endOfJob(DuvStatus /*reason*/) {
    for (size_t k = 0; k < m_vpFiles.size(); ++k) {
        std::FILE* file = m_vpFiles[k];
        if (!file) continue;
        const std::string& name = m_vstrFileNames[k];
        const std::string tmpName = name + ".tmp";

        // Images that never arrived read as zeros: the file gets the size
        // its header declares.
        const int64_t declared = declaredFileBytes();
        bool ok = seekTo(file, 0, SEEK_END) == 0;
        int64_t size = ok ? tellPosition(file) : -1;
        if (ok && size < declared) {
            ok = seekTo(file, declared - 1) == 0 && std::fputc(0, file) != EOF && seekTo(file, 0, SEEK_END) == 0;
            size = ok ? tellPosition(file) : -1;
        }
        VIVIV_DEBUG(m_bDebugLogging, kSource, kEndOfJob)
            << "qomNiftiWriter: closing file " << k << ": " << name << " (" << size << " bytes)";
        // A failing close loses buffered image data: the file keeps its
        // temporary name.
        ok = std::fclose(file) == 0 && ok;
        m_vpFiles[k] = nullptr;
        m_vStreams[k] = StreamState{};
        if (!ok) {
            VIVIV_ERROR(kSource, kEndOfJob) << "qomNiftiWriter: failed writing " << tmpName << VivivStatus{I_FAIL};
            DuvFramework::SetLastError(I_FAIL, env_);
            return I_FAIL;
        }
        if (std::rename(tmpName.c_str(), name.c_str()) != 0) {
            VIVIV_ERROR(kSource, kEndOfJob) << "qomNiftiWriter: failed to rename " << tmpName << " -> " << name
                                            << VivivStatus{I_FAIL};
            DuvFramework::SetLastError(I_FAIL, env_);
            return I_FAIL;
        }
    }
    return I_OK;
}

// Readers and writers of the measurement files readouts.bin and images.bin
// (docs/formats.md). The readers check a whole file when it is opened, so
// that a bad file is refused before anything runs; records are then read one
// at a time.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "duvhost/DuvObj.h"
#include "duvhost/Headers.h"

namespace duvfiles {

// "<file>: record <n>: field <name>: <reason>" or "<file>: file header: field <name>: <reason>".
class FormatError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

constexpr uint32_t kFormatVersion = 1;
constexpr uint32_t kMaxChannels = 1024;
constexpr size_t kSliceGeometryBytes = 144;

struct ReadoutRecord {
    sScanHeader header{};
    DuvSoda soda;
    std::vector<float> samples;  // channels x samples x (re, im), channel 0 first
};

struct ImageRecord {
    DuvFormat_t format = SH;
    int32_t columns = 0, lines = 0, channels = 1;
    ImageControl control;
    DuvSoda soda;
    std::vector<MiniHeader::Field> fields;
    std::vector<unsigned char> data;  // columns fastest, then lines, then channels
};

class ReadoutReader {
public:
    explicit ReadoutReader(const std::string& path);  // validates; throws FormatError
    ~ReadoutReader();
    uint64_t count() const { return count_; }
    int32_t slices() const { return slices_; }
    bool next(ReadoutRecord& record);  // false after the last record

private:
    std::string path_;
    std::FILE* file_ = nullptr;
    uint64_t count_ = 0, read_ = 0;
    int32_t slices_ = 1;
};

class ReadoutWriter {
public:
    ReadoutWriter(const std::string& path, int32_t slices);  // throws std::runtime_error
    ~ReadoutWriter();                                        // closes (fixes the count)
    void add(const ReadoutRecord& record);
    void close();
    uint64_t count() const { return count_; }

private:
    std::FILE* file_ = nullptr;
    uint64_t count_ = 0;
    int32_t slices_ = 1;
};

class ImageReader {
public:
    explicit ImageReader(const std::string& path);
    ~ImageReader();
    uint64_t count() const { return count_; }
    bool next(ImageRecord& record);

private:
    std::string path_;
    std::FILE* file_ = nullptr;
    uint64_t count_ = 0, read_ = 0;
};

class ImageWriter {
public:
    explicit ImageWriter(const std::string& path);
    ~ImageWriter();
    void add(const ImageRecord& record);
    void close();
    uint64_t count() const { return count_; }

private:
    std::FILE* file_ = nullptr;
    uint64_t count_ = 0;
};

// Host objects for a record: the readout as a DuvObj (COL samples, CHA
// channels, complex float) whose slice-0 geometry is the record's; an image
// as a DuvObj (COL, LIN, CHA) of its format; the image header as a MiniHeader.
MrPtr<DuvObj> makeReadoutObject(const ReadoutRecord& record);
MrPtr<DuvObj> makeImageObject(const ImageRecord& record);
MrPtr<MiniHeader> makeImageHeader(const ImageRecord& record);

}  // namespace duvfiles

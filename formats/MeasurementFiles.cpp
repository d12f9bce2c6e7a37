#include "MeasurementFiles.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <sstream>

namespace duvfiles {

static_assert(sizeof(float) == 4 && sizeof(double) == 8, "IEEE 754 sizes");

namespace {

constexpr char kReadoutMagic[8] = {'D', 'U', 'V', 'R', 'D', 'O', 'U', 'T'};
constexpr char kImageMagic[8] = {'D', 'U', 'V', 'I', 'M', 'A', 'G', 'E'};
constexpr uint32_t kFileHeaderBytes = 32;
constexpr size_t kReadoutFixedBytes = 4 + sizeof(sScanHeader) + kSliceGeometryBytes;  // 340
constexpr size_t kImageFixedBytes = 4 + 4 + 12 + 64 + 64 + kSliceGeometryBytes + 4;  // 296
constexpr uint32_t kMaxFields = 4096;
constexpr uint32_t kMaxTextOrList = 65535;

// The host is little-endian (x86-64); the files are too, so values are copied as they are.
template <class T>
T load(const unsigned char* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
template <class T>
void store(std::vector<unsigned char>& out, T v) {
    unsigned char b[sizeof v];
    std::memcpy(b, &v, sizeof v);
    out.insert(out.end(), b, b + sizeof v);
}

[[noreturn]] void fail(const std::string& path, long record, const std::string& field, const std::string& reason) {
    std::ostringstream os;
    os << path << ": ";
    if (record < 0)
        os << "file header";
    else
        os << "record " << record;
    os << ": field " << field << ": " << reason;
    throw FormatError(os.str());
}

// Bytes behind the last record: the count in the file header does not
// describe the file (a writer that died before fixing the count, or two
// files run together).
[[noreturn]] void failTrailing(const std::string& path, uint64_t extra, uint64_t count) {
    fail(path, -1, "recordCount",
         std::to_string(extra) + " bytes follow the last of " + std::to_string(count) + " records");
}

std::FILE* openOrThrow(const std::string& path, const char* mode) {
    std::FILE* f = std::fopen(path.c_str(), mode);
    if (!f) throw std::runtime_error(path + ": cannot open: " + std::strerror(errno));
    return f;
}

bool readExact(std::FILE* f, void* dst, size_t n) { return std::fread(dst, 1, n, f) == n; }

uint64_t fileSize(std::FILE* f) {
    fseeko(f, 0, SEEK_END);
    const off_t size = ftello(f);
    fseeko(f, 0, SEEK_SET);
    return size < 0 ? 0 : static_cast<uint64_t>(size);
}

void putSoda(std::vector<unsigned char>& out, const DuvSoda& s) {
    for (const sVec* v : {&s.getSlicePosVec(), &s.getSlicePosVecSBCS(), &s.getSliceNormVec(), &s.getRowVec(),
                          &s.getColumnVec()}) {
        store(out, v->x);
        store(out, v->y);
        store(out, v->z);
    }
    store(out, s.getRowSpacing());
    store(out, s.getColumnSpacing());
    store(out, s.getThickness());
}

// Decodes and checks the slice geometry at p (144 bytes).
DuvSoda getSoda(const unsigned char* p, const std::string& path, long record) {
    double d[18];
    std::memcpy(d, p, sizeof d);
    static const char* names[] = {"position", "position", "position", "scanner position", "scanner position",
                                  "scanner position", "normal", "normal", "normal", "row direction",
                                  "row direction", "row direction", "column direction", "column direction",
                                  "column direction", "row spacing", "column spacing", "slice thickness"};
    for (int i = 0; i < 18; ++i)
        if (!std::isfinite(d[i])) fail(path, record, names[i], "not a finite number");
    for (int i = 15; i < 18; ++i)
        if (d[i] < 0.0) fail(path, record, names[i], "negative");
    DuvSoda s;
    s.setSlicePosVec({d[0], d[1], d[2]});
    s.setSlicePosVecSBCS({d[3], d[4], d[5]});
    s.setSliceNormVec({d[6], d[7], d[8]});
    s.setRowVec({d[9], d[10], d[11]});
    s.setColumnVec({d[12], d[13], d[14]});
    s.setRowSpacing(d[15]);
    s.setColumnSpacing(d[16]);
    s.setThickness(d[17]);
    return s;
}

void writeOrThrow(std::FILE* f, const void* data, size_t n, const char* what) {
    if (n != 0 && std::fwrite(data, 1, n, f) != n)
        throw std::runtime_error(std::string("writing ") + what + " failed: " + std::strerror(errno));
}

void writeFileHeader(std::FILE* f, const char (&magic)[8], uint64_t count, int32_t slices) {
    std::vector<unsigned char> h(magic, magic + 8);
    store(h, kFormatVersion);
    store(h, kFileHeaderBytes);
    store(h, count);
    store(h, slices);
    store(h, uint32_t(0));
    if (std::fseek(f, 0, SEEK_SET) != 0) throw std::runtime_error("writing the file header failed: cannot seek");
    writeOrThrow(f, h.data(), h.size(), "the file header");
}

// Rewrites the header with the final count and closes; throws when any of it fails.
void finish(std::FILE*& f, const char (&magic)[8], uint64_t count, int32_t slices) {
    std::FILE* file = f;
    f = nullptr;
    try {
        writeFileHeader(file, magic, count, slices);
    } catch (...) {
        std::fclose(file);
        throw;
    }
    if (std::fclose(file) != 0) throw std::runtime_error(std::string("closing failed: ") + std::strerror(errno));
}

// Checks magic, version and size of the 32-byte file header; returns the record count.
uint64_t readFileHeader(std::FILE* f, const std::string& path, const char (&magic)[8], unsigned char (&h)[32]) {
    if (!readExact(f, h, sizeof h)) fail(path, -1, "magic", "file shorter than its 32-byte header");
    if (std::memcmp(h, magic, 8) != 0)
        fail(path, -1, "magic", "expected \"" + std::string(magic, 8) + "\"");
    if (load<uint32_t>(h + 8) != kFormatVersion)
        fail(path, -1, "version", "unsupported version " + std::to_string(load<uint32_t>(h + 8)));
    if (load<uint32_t>(h + 12) != kFileHeaderBytes)
        fail(path, -1, "headerBytes", "expected 32, found " + std::to_string(load<uint32_t>(h + 12)));
    return load<uint64_t>(h + 16);
}

// Opens a measurement file into `file` and checks all of it before anything
// is read: the file header (magic, version, size; then `checkHeader`), each
// record through `checkRecord(record, bytesLeft)` with the file at the
// record's start (it returns the record's size), and that nothing follows the
// last record. Leaves the file at the first record and returns the record
// count; on failure closes the file and throws.
template <class CheckHeader, class CheckRecord>
uint64_t openChecked(std::FILE*& file, const std::string& path, const char (&magic)[8], CheckHeader checkHeader,
                     CheckRecord checkRecord) {
    file = openOrThrow(path, "rb");
    try {
        const uint64_t size = fileSize(file);
        unsigned char h[32];
        const uint64_t count = readFileHeader(file, path, magic, h);
        checkHeader(h);
        uint64_t pos = kFileHeaderBytes;
        for (uint64_t r = 0; r < count; ++r) {
            if (pos > size || fseeko(file, static_cast<off_t>(pos), SEEK_SET) != 0)
                fail(path, long(r), "recordBytes", "truncated record");
            pos += checkRecord(long(r), size - pos);
        }
        if (pos != size) failTrailing(path, size - pos, count);
        std::fseek(file, kFileHeaderBytes, SEEK_SET);
        return count;
    } catch (...) {
        std::fclose(file);
        file = nullptr;
        throw;
    }
}

size_t formatBytes(uint32_t format) {
    switch (format) {
        case SH: return 2;
        case FL: return 4;
        case CXFL: return 8;
        default: return 0;
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// readouts.bin
// ---------------------------------------------------------------------------

ReadoutReader::ReadoutReader(const std::string& path) : path_(path) {
    const auto checkSlices = [&](const unsigned char (&h)[32]) {
        slices_ = load<int32_t>(h + 24);
        if (slices_ < 1 || slices_ > 4096)
            fail(path, -1, "slices", "out of range [1, 4096]: " + std::to_string(slices_));
    };
    // Sizes and the fields they depend on.
    const auto checkRecord = [&](long r, uint64_t remaining) -> uint64_t {
        unsigned char fixed[kReadoutFixedBytes];
        if (remaining < kReadoutFixedBytes || !readExact(file_, fixed, sizeof fixed))
            fail(path, r, "recordBytes", "truncated record");
        const uint32_t bytes = load<uint32_t>(fixed);
        sScanHeader hdr;
        std::memcpy(&hdr, fixed + 4, sizeof hdr);
        if (hdr.ushUsedChannels < 1 || hdr.ushUsedChannels > kMaxChannels)
            fail(path, r, "ushUsedChannels", "out of range [1, 1024]: " + std::to_string(hdr.ushUsedChannels));
        if (hdr.ushSamplesInScan < 1) fail(path, r, "ushSamplesInScan", "0 samples");
        const uint64_t expected = kReadoutFixedBytes + 8ull * hdr.ushUsedChannels * hdr.ushSamplesInScan;
        if (bytes != expected)
            fail(path, r, "recordBytes",
                 std::to_string(bytes) + " does not match ushUsedChannels x ushSamplesInScan (expected " +
                     std::to_string(expected) + ")");
        getSoda(fixed + 4 + sizeof(sScanHeader), path, r);
        if (bytes > remaining) fail(path, r, "samples", "truncated record");
        return bytes;
    };
    count_ = openChecked(file_, path, kReadoutMagic, checkSlices, checkRecord);
}

ReadoutReader::~ReadoutReader() {
    if (file_) std::fclose(file_);
}

bool ReadoutReader::next(ReadoutRecord& rec) {
    if (read_ >= count_) return false;
    unsigned char fixed[kReadoutFixedBytes];
    if (!readExact(file_, fixed, sizeof fixed)) fail(path_, long(read_), "recordBytes", "read failed");
    std::memcpy(&rec.header, fixed + 4, sizeof rec.header);
    // Checked again here: the file may have changed since it was opened.
    const uint16_t channels = rec.header.ushUsedChannels, samples = rec.header.ushSamplesInScan;
    if (channels < 1 || channels > kMaxChannels || samples < 1 ||
        load<uint32_t>(fixed) != kReadoutFixedBytes + 8ull * channels * samples)
        fail(path_, long(read_), "recordBytes", "changed since the file was checked");
    rec.soda = getSoda(fixed + 4 + sizeof(sScanHeader), path_, long(read_));
    rec.samples.resize(size_t(2) * rec.header.ushUsedChannels * rec.header.ushSamplesInScan);
    if (!readExact(file_, rec.samples.data(), rec.samples.size() * sizeof(float)))
        fail(path_, long(read_), "samples", "read failed");
    ++read_;
    return true;
}

ReadoutWriter::ReadoutWriter(const std::string& path, int32_t slices) {
    // What the reader refuses is never written.
    if (slices < 1 || slices > 4096) fail(path, -1, "slices", "out of range [1, 4096]: " + std::to_string(slices));
    file_ = openOrThrow(path, "wb");
    writeFileHeader(file_, kReadoutMagic, 0, slices);
    slices_ = slices;
}

ReadoutWriter::~ReadoutWriter() {
    try {
        close();
    } catch (const std::exception&) {
        // A destructor cannot report; callers that care call close() themselves.
    }
}

void ReadoutWriter::add(const ReadoutRecord& rec) {
    const size_t expected = size_t(2) * rec.header.ushUsedChannels * rec.header.ushSamplesInScan;
    if (rec.samples.size() != expected)
        throw std::runtime_error("readout " + std::to_string(count_) +
                                 ": sample count does not match ushUsedChannels x ushSamplesInScan");
    std::vector<unsigned char> out;
    out.reserve(kReadoutFixedBytes);
    store(out, uint32_t(kReadoutFixedBytes + expected * sizeof(float)));
    const auto* h = reinterpret_cast<const unsigned char*>(&rec.header);
    out.insert(out.end(), h, h + sizeof rec.header);
    putSoda(out, rec.soda);
    if (!file_) throw std::runtime_error("readout " + std::to_string(count_) + ": the file is closed");
    writeOrThrow(file_, out.data(), out.size(), "a readout");
    writeOrThrow(file_, rec.samples.data(), rec.samples.size() * sizeof(float), "a readout");
    ++count_;
}

void ReadoutWriter::close() {
    if (file_) finish(file_, kReadoutMagic, count_, slices_);
}

// ---------------------------------------------------------------------------
// images.bin
// ---------------------------------------------------------------------------

namespace {

// Parses the header fields at p (end = record end); returns the offset after them.
size_t parseFields(const unsigned char* base, size_t offset, size_t end, uint32_t n, const std::string& path,
                   long record, std::vector<MiniHeader::Field>* out) {
    auto need = [&](size_t k, const std::string& field) {
        if (offset + k > end) fail(path, record, field, "truncated record");
    };
    for (uint32_t i = 0; i < n; ++i) {
        need(3, "fieldCount");
        const uint8_t type = base[offset];
        const uint16_t nameLen = load<uint16_t>(base + offset + 1);
        offset += 3;
        const std::string which = "nameLength of field " + std::to_string(i);
        if (nameLen < 1 || nameLen > 255)
            fail(path, record, which, "out of range [1, 255]: " + std::to_string(nameLen));
        need(nameLen, which);
        std::string name(reinterpret_cast<const char*>(base + offset), nameLen);
        offset += nameLen;
        MiniHeader::Field f{name, MiniHeader::Int, long(0), false};
        switch (type) {
            case 0:
                need(8, name);
                f.type = MiniHeader::Int;
                f.value = long(load<int64_t>(base + offset));
                offset += 8;
                break;
            case 1:
                need(1, name);
                if (base[offset] > 1) fail(path, record, name, "bool not 0 or 1");
                f.type = MiniHeader::Bool;
                f.value = base[offset] == 1;
                offset += 1;
                break;
            case 2:
                need(8, name);
                f.type = MiniHeader::Double;
                f.value = load<double>(base + offset);
                offset += 8;
                break;
            case 3: {
                need(4, name);
                const uint32_t len = load<uint32_t>(base + offset);
                offset += 4;
                if (len > kMaxTextOrList) fail(path, record, name, "text longer than 65535 bytes");
                need(len, name);
                f.type = MiniHeader::Text;
                f.value = std::string(reinterpret_cast<const char*>(base + offset), len);
                offset += len;
                break;
            }
            case 4: {
                need(4, name);
                const uint32_t count = load<uint32_t>(base + offset);
                offset += 4;
                if (count > kMaxTextOrList) fail(path, record, name, "list longer than 65535 values");
                need(size_t(count) * 8, name);
                std::vector<double> v(count);
                if (count > 0) std::memcpy(v.data(), base + offset, size_t(count) * 8);  // an empty list has no storage
                offset += size_t(count) * 8;
                f.type = MiniHeader::Array;
                f.value = std::move(v);
                break;
            }
            default:
                fail(path, record, name, "unknown field type " + std::to_string(type));
        }
        if (out) out->push_back(std::move(f));
    }
    return offset;
}

}  // namespace

namespace {

// Reads one image record at the file's position and checks every size and
// field in it; `remaining` is what the file holds from there. With `rec` the
// record is kept, samples included; without, the samples are skipped. The
// reader checks every record when it opens the file and each one again when
// it hands it out: the file may change in between, and a size read once is
// never trusted later. Returns the record's size in bytes.
uint32_t readImageRecord(std::FILE* file, const std::string& path, long r, uint64_t remaining, ImageRecord* rec) {
    unsigned char lenBytes[4];
    if (remaining < kImageFixedBytes || !readExact(file, lenBytes, 4)) fail(path, r, "recordBytes", "truncated record");
    const uint32_t bytes = load<uint32_t>(lenBytes);
    if (bytes < kImageFixedBytes) fail(path, r, "recordBytes", "smaller than the fixed part");
    if (bytes > remaining) fail(path, r, "recordBytes", "truncated record");
    // The record's header part: everything but the samples.
    std::vector<unsigned char> buf(kImageFixedBytes);
    std::memcpy(buf.data(), lenBytes, 4);
    if (!readExact(file, buf.data() + 4, kImageFixedBytes - 4)) fail(path, r, "recordBytes", "truncated record");
    const uint32_t format = load<uint32_t>(buf.data() + 4);
    const size_t vb = formatBytes(format);
    if (vb == 0) fail(path, r, "format", "unsupported format " + std::to_string(format));
    const int32_t cols = load<int32_t>(buf.data() + 8), lines = load<int32_t>(buf.data() + 12),
                  chans = load<int32_t>(buf.data() + 16);
    if (cols < 1 || cols > 65535) fail(path, r, "columns", "out of range [1, 65535]");
    if (lines < 1 || lines > 65535) fail(path, r, "lines", "out of range [1, 65535]");
    if (chans < 1 || chans > int32_t(kMaxChannels)) fail(path, r, "channels", "out of range [1, 1024]");
    for (int d = 0; d < DUV_DIM_COUNT; ++d) {
        if (load<int32_t>(buf.data() + 20 + 4 * d) < 1)
            fail(path, r, std::string("count ") + DuvDimName(DuvDim(d)), "below 1");
        if (load<int32_t>(buf.data() + 84 + 4 * d) < 0)
            fail(path, r, std::string("index ") + DuvDimName(DuvDim(d)), "negative");
    }
    const DuvSoda soda = getSoda(buf.data() + 148, path, r);
    const uint32_t nFields = load<uint32_t>(buf.data() + 292);
    if (nFields > kMaxFields) fail(path, r, "fieldCount", "more than 4096 fields");
    const uint64_t samples = uint64_t(cols) * lines * chans * vb;
    if (samples > bytes) fail(path, r, "recordBytes", "smaller than its samples");
    const size_t fieldsEnd = bytes - samples;
    if (fieldsEnd < kImageFixedBytes) fail(path, r, "fieldCount", "header fields do not fit the record");
    buf.resize(fieldsEnd);
    if (!readExact(file, buf.data() + kImageFixedBytes, fieldsEnd - kImageFixedBytes))
        fail(path, r, "fieldCount", "header fields do not fit the record");
    std::vector<MiniHeader::Field> fields;
    const size_t after = parseFields(buf.data(), kImageFixedBytes, fieldsEnd, nFields, path, r, &fields);
    if (after != fieldsEnd)
        fail(path, r, "recordBytes", "does not match the header fields and columns x lines x channels");
    bool hasDescription = false, hasSliceNo = false;
    for (const auto& f : fields) {
        hasDescription |= f.name == "SequenceDescription" && f.type == MiniHeader::Text;
        hasSliceNo |= f.name == "AnatomicalSliceNo" && f.type == MiniHeader::Int;
    }
    if (!hasDescription) fail(path, r, "SequenceDescription", "missing text field");
    if (!hasSliceNo) fail(path, r, "AnatomicalSliceNo", "missing int field");
    if (!rec) {
        if (fseeko(file, static_cast<off_t>(samples), SEEK_CUR) != 0) fail(path, r, "samples", "truncated record");
        return bytes;
    }
    rec->format = DuvFormat_t(format);
    rec->columns = cols;
    rec->lines = lines;
    rec->channels = chans;
    rec->control = ImageControl();
    for (int d = 0; d < DUV_DIM_COUNT; ++d) {
        rec->control.setCount(DuvDim(d), load<int32_t>(buf.data() + 20 + 4 * d));
        rec->control.setIndex(DuvDim(d), load<int32_t>(buf.data() + 84 + 4 * d));
    }
    rec->control.setColumns(cols);
    rec->soda = soda;
    rec->fields = std::move(fields);
    rec->data.resize(size_t(samples));
    if (!readExact(file, rec->data.data(), rec->data.size())) fail(path, r, "samples", "truncated record");
    return bytes;
}

// Bytes from the file's position to its end.
uint64_t remainingBytes(std::FILE* file) {
    const off_t here = ftello(file);
    const uint64_t size = fileSize(file);
    fseeko(file, here, SEEK_SET);
    return here < 0 || uint64_t(here) > size ? 0 : size - uint64_t(here);
}

}  // namespace

ImageReader::ImageReader(const std::string& path) : path_(path) {
    count_ = openChecked(
        file_, path, kImageMagic, [](const unsigned char (&)[32]) {},
        [&](long r, uint64_t remaining) -> uint64_t { return readImageRecord(file_, path, r, remaining, nullptr); });
}

ImageReader::~ImageReader() {
    if (file_) std::fclose(file_);
}

bool ImageReader::next(ImageRecord& rec) {
    if (read_ >= count_) return false;
    readImageRecord(file_, path_, long(read_), remainingBytes(file_), &rec);
    ++read_;
    return true;
}

ImageWriter::ImageWriter(const std::string& path) {
    file_ = openOrThrow(path, "wb");
    writeFileHeader(file_, kImageMagic, 0, 0);
}

ImageWriter::~ImageWriter() {
    try {
        close();
    } catch (const std::exception&) {
        // As for ReadoutWriter.
    }
}

void ImageWriter::add(const ImageRecord& rec) {
    const size_t vb = formatBytes(rec.format);
    if (vb == 0) throw std::runtime_error("image " + std::to_string(count_) + ": unsupported format");
    if (rec.data.size() != size_t(rec.columns) * rec.lines * rec.channels * vb)
        throw std::runtime_error("image " + std::to_string(count_) + ": data size does not match its dimensions");
    // The writer refuses what the reader would refuse, so that a written file always reads back.
    const std::string which = "image " + std::to_string(count_) + ": ";
    if (rec.fields.size() > kMaxFields) throw std::runtime_error(which + "more than 4096 header fields");
    std::vector<unsigned char> out;
    store(out, uint32_t(0));  // recordBytes, patched below
    store(out, uint32_t(rec.format));
    store(out, rec.columns);
    store(out, rec.lines);
    store(out, rec.channels);
    for (int d = 0; d < DUV_DIM_COUNT; ++d) store(out, int32_t(rec.control.getCount(DuvDim(d))));
    for (int d = 0; d < DUV_DIM_COUNT; ++d) store(out, int32_t(rec.control.getIndex(DuvDim(d))));
    putSoda(out, rec.soda);
    store(out, uint32_t(rec.fields.size()));
    for (const auto& f : rec.fields) {
        const uint8_t type = f.type == MiniHeader::Int ? 0 : f.type == MiniHeader::Bool ? 1
                             : f.type == MiniHeader::Double ? 2 : f.type == MiniHeader::Text ? 3 : 4;
        if (f.name.empty() || f.name.size() > 255)
            throw std::runtime_error(which + "header field name of " + std::to_string(f.name.size()) + " bytes");
        out.push_back(type);
        store(out, uint16_t(f.name.size()));
        out.insert(out.end(), f.name.begin(), f.name.end());
        switch (type) {
            case 0: store(out, int64_t(std::get<long>(f.value))); break;
            case 1: out.push_back(std::get<bool>(f.value) ? 1 : 0); break;
            case 2: store(out, std::get<double>(f.value)); break;
            case 3: {
                const auto& s = std::get<std::string>(f.value);
                if (s.size() > kMaxTextOrList) throw std::runtime_error(which + f.name + ": text longer than 65535 bytes");
                store(out, uint32_t(s.size()));
                out.insert(out.end(), s.begin(), s.end());
                break;
            }
            default: {
                const auto& v = std::get<std::vector<double>>(f.value);
                if (v.size() > kMaxTextOrList) throw std::runtime_error(which + f.name + ": list longer than 65535 values");
                store(out, uint32_t(v.size()));
                for (double d : v) store(out, d);
            }
        }
    }
    const uint64_t size = uint64_t(out.size()) + rec.data.size();
    if (size > UINT32_MAX) throw std::runtime_error(which + "record larger than 4 GiB");
    const uint32_t total = uint32_t(size);
    std::memcpy(out.data(), &total, 4);
    if (!file_) throw std::runtime_error("image " + std::to_string(count_) + ": the file is closed");
    writeOrThrow(file_, out.data(), out.size(), "an image");
    writeOrThrow(file_, rec.data.data(), rec.data.size(), "an image");
    ++count_;
}

void ImageWriter::close() {
    if (file_) finish(file_, kImageMagic, count_, 0);
}

// ---------------------------------------------------------------------------
// Host objects
// ---------------------------------------------------------------------------

MrPtr<DuvObj> makeReadoutObject(const ReadoutRecord& rec) {
    MrPtr<DuvObj> obj(Rudu::HeapObject<DuvObj>::Create());
    if (!obj || !obj->create(CXFL, {{COL, rec.header.ushSamplesInScan}, {CHA, rec.header.ushUsedChannels}}))
        throw std::runtime_error("out of memory for a readout");
    std::memcpy(obj->data(), rec.samples.data(), rec.samples.size() * sizeof(float));
    obj->soda(0) = rec.soda;
    return obj;
}

MrPtr<DuvObj> makeImageObject(const ImageRecord& rec) {
    MrPtr<DuvObj> obj(Rudu::HeapObject<DuvObj>::Create());
    if (!obj || !obj->create(rec.format, {{COL, rec.columns}, {LIN, rec.lines}, {CHA, rec.channels}}))
        throw std::runtime_error("out of memory for an image");
    std::memcpy(obj->data(), rec.data.data(), rec.data.size());
    obj->soda(0) = rec.soda;
    return obj;
}

MrPtr<MiniHeader> makeImageHeader(const ImageRecord& rec) {
    MrPtr<MiniHeader> h(Rudu::HeapObject<MiniHeader>::Create());
    for (const auto& f : rec.fields) {
        switch (f.type) {
            case MiniHeader::Int: h->set(f.name, std::get<long>(f.value), f.flag); break;
            case MiniHeader::Bool: h->set(f.name, std::get<bool>(f.value), f.flag); break;
            case MiniHeader::Double: h->set(f.name, std::get<double>(f.value), f.flag); break;
            case MiniHeader::Text: h->set(f.name, std::get<std::string>(f.value), f.flag); break;
            case MiniHeader::Array: h->setArrayValues(f.name, std::get<std::vector<double>>(f.value), f.flag); break;
        }
    }
    return h;
}

}  // namespace duvfiles

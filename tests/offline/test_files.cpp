// readouts.bin and images.bin: every record type through writer and reader,
// and every refusal with its one-line message.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "OfflineTestSupport.h"

using namespace offlinetest;
using duvfiles::FormatError;

namespace {

void expectSameSoda(const DuvSoda& a, const DuvSoda& b) {
    auto same = [](const sVec& x, const sVec& y) { return x.x == y.x && x.y == y.y && x.z == y.z; };
    EXPECT_TRUE(same(a.getSlicePosVec(), b.getSlicePosVec()));
    EXPECT_TRUE(same(a.getSlicePosVecSBCS(), b.getSlicePosVecSBCS()));
    EXPECT_TRUE(same(a.getSliceNormVec(), b.getSliceNormVec()));
    EXPECT_TRUE(same(a.getRowVec(), b.getRowVec()));
    EXPECT_TRUE(same(a.getColumnVec(), b.getColumnVec()));
    EXPECT_EQ(a.getRowSpacing(), b.getRowSpacing());
    EXPECT_EQ(a.getColumnSpacing(), b.getColumnSpacing());
    EXPECT_EQ(a.getThickness(), b.getThickness());
}

// The message a reader gives for the file, or "" when it accepts it.
template <class Reader>
std::string refusal(const std::string& path) {
    try {
        Reader r(path);
        return "";
    } catch (const FormatError& e) {
        return e.what();
    }
}

// ---------------------------------------------------------------------------
// readouts.bin
// ---------------------------------------------------------------------------

class ReadoutFile : public ::testing::Test {
protected:
    // Two records: 4 samples x 2 channels, then 3 samples x 1 channel.
    void SetUp() override {
        path = dir / "readouts.bin";
        duvfiles::ReadoutWriter w(path, 3);
        w.add(makeReadout(4, 2, 0));
        w.add(makeReadout(3, 1, 1));
        w.close();
        bytes = readBytes(path);
    }
    std::string refusedWith(const std::vector<unsigned char>& b) {
        writeBytes(path, b);
        return refusal<duvfiles::ReadoutReader>(path);
    }
    std::string at(const std::string& rest) { return path + ": " + rest; }

    TempDir dir;
    std::string path;
    std::vector<unsigned char> bytes;
};

TEST_F(ReadoutFile, RoundTripKeepsEveryByteOfEveryRecord) {
    ASSERT_EQ(bytes.size(), 32u + (340 + 8 * 4 * 2) + (340 + 8 * 3));
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 8), "DUVRDOUT");
    EXPECT_EQ(peek<uint32_t>(bytes, 8), 1u);
    EXPECT_EQ(peek<uint32_t>(bytes, 12), 32u);
    EXPECT_EQ(peek<uint64_t>(bytes, 16), 2u);
    EXPECT_EQ(peek<int32_t>(bytes, 24), 3);
    EXPECT_EQ(peek<uint32_t>(bytes, 28), 0u);
    EXPECT_EQ(peek<uint32_t>(bytes, kRec0), 340u + 64u);

    duvfiles::ReadoutReader r(path);
    EXPECT_EQ(r.count(), 2u);
    EXPECT_EQ(r.slices(), 3);
    for (uint16_t k = 0; k < 2; ++k) {
        const duvfiles::ReadoutRecord expected = k == 0 ? makeReadout(4, 2, 0) : makeReadout(3, 1, 1);
        duvfiles::ReadoutRecord got;
        ASSERT_TRUE(r.next(got));
        EXPECT_EQ(std::memcmp(&got.header, &expected.header, sizeof got.header), 0);
        expectSameSoda(got.soda, expected.soda);
        EXPECT_EQ(got.samples, expected.samples);
    }
    duvfiles::ReadoutRecord extra;
    EXPECT_FALSE(r.next(extra));
}

TEST_F(ReadoutFile, ReadoutObjectHoldsSamplesChannelsAndGeometry) {
    const duvfiles::ReadoutRecord rec = makeReadout(4, 2, 5);
    MrPtr<DuvObj> obj = duvfiles::makeReadoutObject(rec);
    EXPECT_EQ(obj->format(), CXFL);
    EXPECT_EQ(obj->getLen(COL), 4);
    EXPECT_EQ(obj->getLen(CHA), 2);
    const auto* c = reinterpret_cast<const std::complex<float>*>(obj->data());
    EXPECT_EQ(c[4 + 3], std::complex<float>(103.0f, -3.5f));  // channel 1, sample 3
    expectSameSoda(obj->soda(0), rec.soda);
}

TEST_F(ReadoutFile, RefusesABadFileHeader) {
    auto b = bytes;
    b[3] = 'X';
    EXPECT_EQ(refusedWith(b), at("file header: field magic: expected \"DUVRDOUT\""));
    b = bytes;
    patch<uint32_t>(b, 8, 2);
    EXPECT_EQ(refusedWith(b), at("file header: field version: unsupported version 2"));
    b = bytes;
    patch<uint32_t>(b, 12, 40);
    EXPECT_EQ(refusedWith(b), at("file header: field headerBytes: expected 32, found 40"));
    b = bytes;
    patch<int32_t>(b, 24, 0);
    EXPECT_EQ(refusedWith(b), at("file header: field slices: out of range [1, 4096]: 0"));
    patch<int32_t>(b, 24, 4097);
    EXPECT_EQ(refusedWith(b), at("file header: field slices: out of range [1, 4096]: 4097"));
    EXPECT_EQ(refusedWith(std::vector<unsigned char>(bytes.begin(), bytes.begin() + 31)),
              at("file header: field magic: file shorter than its 32-byte header"));
}

TEST_F(ReadoutFile, RefusesTruncatedRecords) {
    const size_t rec1 = kRec0 + 340 + 64;
    // Cut inside the fixed part of record 1, then inside its samples.
    EXPECT_EQ(refusedWith(std::vector<unsigned char>(bytes.begin(), bytes.begin() + long(rec1) + 100)),
              at("record 1: field recordBytes: truncated record"));
    EXPECT_EQ(refusedWith(std::vector<unsigned char>(bytes.begin(), bytes.end() - 1)),
              at("record 1: field samples: truncated record"));
    // A count larger than the records present.
    auto b = bytes;
    patch<uint64_t>(b, 16, 3);
    EXPECT_EQ(refusedWith(b), at("record 2: field recordBytes: truncated record"));
}

TEST_F(ReadoutFile, RefusesCountsThatDoNotAddUp) {
    auto b = bytes;
    patch<uint32_t>(b, kRec0, 340 + 60);
    EXPECT_EQ(refusedWith(b),
              at("record 0: field recordBytes: 400 does not match ushUsedChannels x ushSamplesInScan (expected 404)"));
    b = bytes;
    patch<uint16_t>(b, kRecSamples, 5);  // 5 x 2 channels would need 420 bytes
    EXPECT_EQ(refusedWith(b),
              at("record 0: field recordBytes: 404 does not match ushUsedChannels x ushSamplesInScan (expected 420)"));
    b = bytes;
    b.insert(b.end(), {1, 2, 3, 4, 5});
    EXPECT_EQ(refusedWith(b), at("file header: field recordCount: 5 bytes follow the last of 2 records"));
}

TEST_F(ReadoutFile, RefusesChannelsAndSamplesOutOfRange) {
    auto b = bytes;
    patch<uint16_t>(b, kRecChannels, 0);
    EXPECT_EQ(refusedWith(b), at("record 0: field ushUsedChannels: out of range [1, 1024]: 0"));
    patch<uint16_t>(b, kRecChannels, 1025);
    EXPECT_EQ(refusedWith(b), at("record 0: field ushUsedChannels: out of range [1, 1024]: 1025"));
    b = bytes;
    patch<uint16_t>(b, kRecSamples, 0);
    EXPECT_EQ(refusedWith(b), at("record 0: field ushSamplesInScan: 0 samples"));
}

TEST_F(ReadoutFile, RefusesNonFiniteOrNegativeGeometry) {
    const char* names[] = {"position", "scanner position", "normal", "row direction", "column direction"};
    for (int v = 0; v < 5; ++v) {
        auto b = bytes;
        patch<double>(b, kRecSoda + 24 * v + 16, std::numeric_limits<double>::quiet_NaN());
        EXPECT_EQ(refusedWith(b), at(std::string("record 0: field ") + names[v] + ": not a finite number"));
    }
    auto b = bytes;
    patch<double>(b, kRecSoda + 120, std::numeric_limits<double>::infinity());
    EXPECT_EQ(refusedWith(b), at("record 0: field row spacing: not a finite number"));
    b = bytes;
    patch<double>(b, kRecSoda + 136, -1.0);
    EXPECT_EQ(refusedWith(b), at("record 0: field slice thickness: negative"));
    // Record 1's geometry is checked too.
    b = bytes;
    patch<double>(b, kRec0 + 340 + 64 + 4 + 192 + 128, std::numeric_limits<double>::quiet_NaN());
    EXPECT_EQ(refusedWith(b), at("record 1: field column spacing: not a finite number"));
}

TEST_F(ReadoutFile, WriterRefusesSamplesThatDoNotMatchTheHeader) {
    duvfiles::ReadoutWriter w(dir / "other.bin", 1);
    duvfiles::ReadoutRecord r = makeReadout(4, 2);
    r.samples.pop_back();
    EXPECT_THROW(w.add(r), std::runtime_error);
    EXPECT_EQ(w.count(), 0u);
}

// ---------------------------------------------------------------------------
// images.bin
// ---------------------------------------------------------------------------

// Byte offsets of the first record.
constexpr size_t kImgFormat = kRec0 + 4, kImgColumns = kRec0 + 8, kImgChannels = kRec0 + 16,
                 kImgCounts = kRec0 + 20, kImgIndices = kRec0 + 84, kImgSoda = kRec0 + 148,
                 kImgFieldCount = kRec0 + 292, kImgFields = kRec0 + 296;

duvfiles::ImageRecord makeImage(DuvFormat_t format, int32_t columns, int32_t lines, int32_t channels) {
    duvfiles::ImageRecord r;
    r.format = format;
    r.columns = columns;
    r.lines = lines;
    r.channels = channels;
    for (int d = 0; d < DUV_DIM_COUNT; ++d) {
        r.control.setCount(DuvDim(d), d + 1);
        r.control.setIndex(DuvDim(d), d);
    }
    r.soda = distinctSoda(7.0);
    r.fields = {
        {"SequenceDescription", MiniHeader::Text, std::string("t1 \"mprage\"\n"), false},
        {"AnatomicalSliceNo", MiniHeader::Int, long(-3), false},
        {"SpectroData", MiniHeader::Bool, true, true},
        {"TE", MiniHeader::Double, 2.5, false},
        {"PixelSpacing", MiniHeader::Array, std::vector<double>{0.5, 0.75}, false},
        {"Empty", MiniHeader::Array, std::vector<double>{}, false},
    };
    r.data.resize(size_t(columns) * lines * channels * DuvFormatBytes(format));
    for (size_t i = 0; i < r.data.size(); ++i) r.data[i] = static_cast<unsigned char>(i * 13 + 1);
    return r;
}

void expectSameImage(const duvfiles::ImageRecord& got, const duvfiles::ImageRecord& want) {
    EXPECT_EQ(got.format, want.format);
    EXPECT_EQ(got.columns, want.columns);
    EXPECT_EQ(got.lines, want.lines);
    EXPECT_EQ(got.channels, want.channels);
    for (int d = 0; d < DUV_DIM_COUNT; ++d) {
        EXPECT_EQ(got.control.getCount(DuvDim(d)), want.control.getCount(DuvDim(d)));
        EXPECT_EQ(got.control.getIndex(DuvDim(d)), want.control.getIndex(DuvDim(d)));
    }
    EXPECT_EQ(got.control.getColumns(), want.columns);
    expectSameSoda(got.soda, want.soda);
    ASSERT_EQ(got.fields.size(), want.fields.size());
    for (size_t i = 0; i < got.fields.size(); ++i) {
        EXPECT_EQ(got.fields[i].name, want.fields[i].name);
        EXPECT_EQ(got.fields[i].type, want.fields[i].type);
        EXPECT_EQ(got.fields[i].value, want.fields[i].value) << got.fields[i].name;
    }
    EXPECT_EQ(got.data, want.data);
}

class ImageFile : public ::testing::Test {
protected:
    void SetUp() override {
        path = dir / "images.bin";
        duvfiles::ImageWriter w(path);
        w.add(makeImage(SH, 3, 2, 1));
        w.close();
        bytes = readBytes(path);
    }
    std::string refusedWith(const std::vector<unsigned char>& b) {
        writeBytes(path, b);
        return refusal<duvfiles::ImageReader>(path);
    }
    std::string at(const std::string& rest) { return path + ": " + rest; }
    // A one-record file with these fields (the samples of a 1 x 1 SH image).
    std::string refusedWithFields(const std::vector<unsigned char>& fields, uint32_t count) {
        auto b = std::vector<unsigned char>(bytes.begin(), bytes.begin() + long(kImgFields));
        patch<int32_t>(b, kImgColumns, 1);
        patch<int32_t>(b, kImgColumns + 4, 1);
        patch<uint32_t>(b, kImgFieldCount, count);
        b.insert(b.end(), fields.begin(), fields.end());
        b.insert(b.end(), {0x11, 0x22});
        patch<uint32_t>(b, kRec0, uint32_t(b.size() - kRec0));
        return refusedWith(b);
    }

    TempDir dir;
    std::string path;
    std::vector<unsigned char> bytes;
};

// A header field in file form.
std::vector<unsigned char> fieldBytes(uint8_t type, const std::string& name, const std::vector<unsigned char>& value) {
    std::vector<unsigned char> b{type};
    b.push_back(uint8_t(name.size()));
    b.push_back(uint8_t(name.size() >> 8));
    b.insert(b.end(), name.begin(), name.end());
    b.insert(b.end(), value.begin(), value.end());
    return b;
}
std::vector<unsigned char> textValue(const std::string& s) {
    std::vector<unsigned char> b(4);
    const uint32_t n = uint32_t(s.size());
    std::memcpy(b.data(), &n, 4);
    b.insert(b.end(), s.begin(), s.end());
    return b;
}
std::vector<unsigned char> requiredFields() {
    auto b = fieldBytes(3, "SequenceDescription", textValue("s"));
    auto n = fieldBytes(0, "AnatomicalSliceNo", std::vector<unsigned char>(8, 0));
    b.insert(b.end(), n.begin(), n.end());
    return b;
}

TEST_F(ImageFile, RoundTripOfEveryFormatAndFieldType) {
    const duvfiles::ImageRecord images[] = {makeImage(SH, 3, 2, 1), makeImage(FL, 2, 2, 3), makeImage(CXFL, 4, 1, 2)};
    {
        duvfiles::ImageWriter w(path);
        for (const auto& i : images) w.add(i);
        EXPECT_EQ(w.count(), 3u);
    }  // the destructor fixes the count
    bytes = readBytes(path);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 8), "DUVIMAGE");
    EXPECT_EQ(peek<uint64_t>(bytes, 16), 3u);
    EXPECT_EQ(peek<uint64_t>(bytes, 24), 0u);
    EXPECT_EQ(peek<uint32_t>(bytes, kImgFormat), 0u);

    duvfiles::ImageReader r(path);
    ASSERT_EQ(r.count(), 3u);
    for (const auto& want : images) {
        duvfiles::ImageRecord got;
        ASSERT_TRUE(r.next(got));
        expectSameImage(got, want);
    }
    duvfiles::ImageRecord extra;
    EXPECT_FALSE(r.next(extra));
}

TEST_F(ImageFile, ImageObjectAndHeaderCarryTheRecord) {
    const duvfiles::ImageRecord rec = makeImage(FL, 2, 3, 2);
    MrPtr<DuvObj> obj = duvfiles::makeImageObject(rec);
    EXPECT_EQ(obj->format(), FL);
    EXPECT_EQ(obj->getLen(COL), 2);
    EXPECT_EQ(obj->getLen(LIN), 3);
    EXPECT_EQ(obj->getLen(CHA), 2);
    EXPECT_EQ(std::memcmp(obj->data(), rec.data.data(), rec.data.size()), 0);
    expectSameSoda(obj->soda(0), rec.soda);

    MrPtr<MiniHeader> h = duvfiles::makeImageHeader(rec);
    std::string description;
    long slice = 0;
    bool spectro = false;
    double te = 0.0;
    std::vector<double> spacing;
    EXPECT_TRUE(h->get("SequenceDescription", description));
    EXPECT_EQ(description, "t1 \"mprage\"\n");
    EXPECT_TRUE(h->get("AnatomicalSliceNo", slice));
    EXPECT_EQ(slice, -3);
    EXPECT_TRUE(h->get("SpectroData", spectro));
    EXPECT_TRUE(spectro);
    EXPECT_TRUE(h->get("TE", te));
    EXPECT_EQ(te, 2.5);
    EXPECT_TRUE(h->getArrayValues("PixelSpacing", spacing));
    EXPECT_EQ(spacing, (std::vector<double>{0.5, 0.75}));
}

TEST_F(ImageFile, RefusesABadFileHeader) {
    auto b = bytes;
    b[0] = 'd';
    EXPECT_EQ(refusedWith(b), at("file header: field magic: expected \"DUVIMAGE\""));
    b = bytes;
    patch<uint32_t>(b, 8, 0);
    EXPECT_EQ(refusedWith(b), at("file header: field version: unsupported version 0"));
    b = bytes;
    patch<uint32_t>(b, 12, 31);
    EXPECT_EQ(refusedWith(b), at("file header: field headerBytes: expected 32, found 31"));
    // A readout file is not an image file.
    duvfiles::ReadoutWriter(dir / "r.bin", 1).add(makeReadout(1, 1));
    EXPECT_EQ(refusal<duvfiles::ImageReader>(dir / "r.bin"),
              (dir / "r.bin") + ": file header: field magic: expected \"DUVIMAGE\"");
}

TEST_F(ImageFile, RefusesValuesOutOfRange) {
    auto b = bytes;
    patch<uint32_t>(b, kImgFormat, 3);
    EXPECT_EQ(refusedWith(b), at("record 0: field format: unsupported format 3"));
    b = bytes;
    patch<int32_t>(b, kImgColumns, 0);
    EXPECT_EQ(refusedWith(b), at("record 0: field columns: out of range [1, 65535]"));
    b = bytes;
    patch<int32_t>(b, kImgColumns + 4, 65536);
    EXPECT_EQ(refusedWith(b), at("record 0: field lines: out of range [1, 65535]"));
    b = bytes;
    patch<int32_t>(b, kImgChannels, 1025);
    EXPECT_EQ(refusedWith(b), at("record 0: field channels: out of range [1, 1024]"));
    b = bytes;
    patch<int32_t>(b, kImgCounts + 4 * LIN, 0);
    EXPECT_EQ(refusedWith(b), at("record 0: field count LIN: below 1"));
    b = bytes;
    patch<int32_t>(b, kImgIndices + 4 * SLC, -1);
    EXPECT_EQ(refusedWith(b), at("record 0: field index SLC: negative"));
    b = bytes;
    patch<double>(b, kImgSoda + 48, std::numeric_limits<double>::infinity());
    EXPECT_EQ(refusedWith(b), at("record 0: field normal: not a finite number"));
    b = bytes;
    patch<uint32_t>(b, kImgFieldCount, 4097);
    EXPECT_EQ(refusedWith(b), at("record 0: field fieldCount: more than 4096 fields"));
}

// The file changes between the check when it is opened and the reading of
// its records: every size is checked again where it is used, never trusted.
TEST_F(ImageFile, AFileThatChangesAfterItsCheckIsRefusedWhereItIsRead) {
    const struct {
        size_t offset;
        uint32_t value;
        std::string message;
    } changes[] = {
        {kRec0, 2, "record 0: field recordBytes: smaller than the fixed part"},
        {kRec0, 1u << 30, "record 0: field recordBytes: truncated record"},
        {kImgColumns, 65535, "record 0: field recordBytes: smaller than its samples"},
        {kImgFieldCount, 4000, "record 0: field fieldCount: truncated record"},
    };
    for (const auto& c : changes) {
        SCOPED_TRACE(c.message);
        writeBytes(path, bytes);
        duvfiles::ImageReader reader(path);
        auto changed = bytes;
        patch<uint32_t>(changed, c.offset, c.value);
        writeBytes(path, changed);  // the same file, rewritten in place
        duvfiles::ImageRecord rec;
        try {
            reader.next(rec);
            ADD_FAILURE() << "the changed record was read";
        } catch (const std::exception& e) {
            EXPECT_EQ(e.what(), at(c.message));
        }
    }
}

TEST_F(ImageFile, RefusesTruncatedRecordsAndCountsThatDoNotAddUp) {
    EXPECT_EQ(refusedWith(std::vector<unsigned char>(bytes.begin(), bytes.end() - 1)),
              at("record 0: field recordBytes: truncated record"));
    EXPECT_EQ(refusedWith(std::vector<unsigned char>(bytes.begin(), bytes.begin() + 100)),
              at("record 0: field recordBytes: truncated record"));
    auto b = bytes;
    patch<uint32_t>(b, kRec0, 200);
    EXPECT_EQ(refusedWith(b), at("record 0: field recordBytes: smaller than the fixed part"));
    // Two bytes more in the record than its fields and samples.
    b = bytes;
    b.insert(b.end(), {0, 0});
    patch<uint32_t>(b, kRec0, peek<uint32_t>(b, kRec0) + 2);
    EXPECT_EQ(refusedWith(b),
              at("record 0: field recordBytes: does not match the header fields and columns x lines x channels"));
    // Samples larger than the record: 3 x 2 x 1000 channels.
    b = bytes;
    patch<int32_t>(b, kImgChannels, 1000);
    EXPECT_EQ(refusedWith(b), at("record 0: field recordBytes: smaller than its samples"));
    b = bytes;
    b.push_back(9);
    EXPECT_EQ(refusedWith(b), at("file header: field recordCount: 1 bytes follow the last of 1 records"));
}

TEST_F(ImageFile, RefusesBadHeaderFields) {
    const auto ok = requiredFields();
    EXPECT_EQ(refusedWithFields(ok, 2), "");

    auto f = ok;
    auto bad = fieldBytes(7, "Foo", {});
    f.insert(f.end(), bad.begin(), bad.end());
    EXPECT_EQ(refusedWithFields(f, 3), at("record 0: field Foo: unknown field type 7"));

    f = ok;
    bad = fieldBytes(1, "Flag", {2});
    f.insert(f.end(), bad.begin(), bad.end());
    EXPECT_EQ(refusedWithFields(f, 3), at("record 0: field Flag: bool not 0 or 1"));

    f = ok;
    bad = fieldBytes(0, "", {});
    f.insert(f.end(), bad.begin(), bad.end());
    EXPECT_EQ(refusedWithFields(f, 3), at("record 0: field nameLength of field 2: out of range [1, 255]: 0"));

    f = ok;
    bad = fieldBytes(3, "Long", {0, 0, 1, 0});  // 65536 bytes announced
    f.insert(f.end(), bad.begin(), bad.end());
    EXPECT_EQ(refusedWithFields(f, 3), at("record 0: field Long: text longer than 65535 bytes"));

    f = ok;
    bad = fieldBytes(4, "List", {0, 0, 1, 0});
    f.insert(f.end(), bad.begin(), bad.end());
    EXPECT_EQ(refusedWithFields(f, 3), at("record 0: field List: list longer than 65535 values"));

    // A double whose value runs past the record's fields.
    f = ok;
    bad = fieldBytes(2, "TE", {0, 0, 0});
    f.insert(f.end(), bad.begin(), bad.end());
    EXPECT_EQ(refusedWithFields(f, 3), at("record 0: field TE: truncated record"));
}

TEST_F(ImageFile, RefusesImagesWithoutTheRequiredFields) {
    EXPECT_EQ(refusedWithFields(fieldBytes(0, "AnatomicalSliceNo", std::vector<unsigned char>(8, 0)), 1),
              at("record 0: field SequenceDescription: missing text field"));
    EXPECT_EQ(refusedWithFields(fieldBytes(3, "SequenceDescription", textValue("s")), 1),
              at("record 0: field AnatomicalSliceNo: missing int field"));
    // The right name with the wrong type does not count.
    auto f = fieldBytes(3, "SequenceDescription", textValue("s"));
    auto d = fieldBytes(2, "AnatomicalSliceNo", std::vector<unsigned char>(8, 0));
    f.insert(f.end(), d.begin(), d.end());
    EXPECT_EQ(refusedWithFields(f, 2), at("record 0: field AnatomicalSliceNo: missing int field"));
}

TEST_F(ImageFile, WriterRefusesWhatTheReaderWouldRefuse) {
    duvfiles::ImageWriter w(dir / "other.bin");
    auto r = makeImage(SH, 2, 2, 1);
    r.data.pop_back();
    EXPECT_THROW(w.add(r), std::runtime_error);
    r = makeImage(SH, 2, 2, 1);
    r.fields.push_back({std::string(256, 'n'), MiniHeader::Int, long(1), false});
    EXPECT_THROW(w.add(r), std::runtime_error);
    r = makeImage(SH, 2, 2, 1);
    r.fields.push_back({"Text", MiniHeader::Text, std::string(65536, 't'), false});
    EXPECT_THROW(w.add(r), std::runtime_error);
    r = makeImage(CXSH, 2, 2, 1);
    EXPECT_THROW(w.add(r), std::runtime_error);
    EXPECT_EQ(w.count(), 0u);
}

}  // namespace

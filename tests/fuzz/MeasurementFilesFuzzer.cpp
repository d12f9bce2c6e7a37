// The readers of readouts.bin and images.bin: a file is either refused with
// a FormatError or every record reads; written back, the records give the
// same bytes (the file header's unused fields aside) and read again.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "MeasurementFiles.h"

namespace {

using duvfuzz::check;

// Bytes 24..31 of the file header: the slice count of readouts.bin (kept),
// unused in images.bin; 28..31 unused in both.
void sameFile(const std::string& input, const std::string& written, bool readouts) {
    const size_t keep = readouts ? 28 : 24;
    check(written.size() == input.size(), "written back with another size");
    check(written.compare(0, keep, input, 0, keep) == 0 && written.compare(32, std::string::npos, input, 32) == 0,
          "written back with other bytes");
}

void readouts(const std::string& input, const std::string& path) {
    std::vector<duvfiles::ReadoutRecord> records;
    int32_t slices = 1;
    try {
        duvfiles::ReadoutReader reader(path);
        slices = reader.slices();
        duvfiles::ReadoutRecord r;
        while (reader.next(r)) records.push_back(r);
        check(records.size() == reader.count(), "fewer readouts than the file header counts");
    } catch (const duvfiles::FormatError&) {
        return;
    }
    for (const auto& r : records) duvfiles::makeReadoutObject(r);
    const std::string out = duvfuzz::scratch() / "written.bin";
    {
        duvfiles::ReadoutWriter writer(out, slices);
        for (const auto& r : records) writer.add(r);
        writer.close();
    }
    sameFile(input, duvfuzz::readAll(out), true);
    duvfiles::ReadoutReader again(out);
    check(again.count() == records.size() && again.slices() == slices, "written readouts read back differently");
}

void images(const std::string& input, const std::string& path) {
    std::vector<duvfiles::ImageRecord> records;
    try {
        duvfiles::ImageReader reader(path);
        duvfiles::ImageRecord r;
        while (reader.next(r)) records.push_back(r);
        check(records.size() == reader.count(), "fewer images than the file header counts");
    } catch (const duvfiles::FormatError&) {
        return;
    }
    for (const auto& r : records) {
        duvfiles::makeImageObject(r);
        duvfiles::makeImageHeader(r);
    }
    const std::string out = duvfuzz::scratch() / "written.bin";
    {
        duvfiles::ImageWriter writer(out);
        for (const auto& r : records) writer.add(r);
        writer.close();
    }
    sameFile(input, duvfuzz::readAll(out), false);
    duvfiles::ImageReader again(out);
    check(again.count() == records.size(), "written images read back differently");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::string path = duvfuzz::writeScratch("input.bin", data, size);
    // Each reader refuses the other's magic; both see every input.
    readouts(input, path);
    images(input, path);
    return 0;
}

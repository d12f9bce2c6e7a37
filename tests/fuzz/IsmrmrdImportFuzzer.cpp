// The ISMRMRD import of a file on disk: any file is either refused with an
// IsmrmrdError or converted into measurement files that read back whole.
// Each input is converted twice: its acquisitions, and its image group
// "cpp" (the group the phantom's reconstruction of the seed writes).
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "IsmrmrdImport.h"
#include "MeasurementFiles.h"
#include "duvhost/XProtocol.h"

namespace {

void convert(const duvoffline::IsmrmrdImportOptions& options) {
    const std::string dir = duvfuzz::scratch() / "measurement";
    duvoffline::IsmrmrdImportResult result;
    try {
        result = duvoffline::convertIsmrmrd(options, dir);
    } catch (const duvoffline::IsmrmrdError&) {
        return;
    }
    XProtocol::LoadFromFile(dir + "/protocol.txt");
    uint64_t records = 0;
    if (result.kind == "readouts") {
        duvfiles::ReadoutReader reader(dir + "/readouts.bin");
        duvfiles::ReadoutRecord r;
        while (reader.next(r)) ++records;
    } else {
        duvfuzz::check(result.kind == "images", "unknown kind " + result.kind);
        duvfiles::ImageReader reader(dir + "/images.bin");
        duvfiles::ImageRecord r;
        while (reader.next(r)) ++records;
    }
    duvfuzz::check(records == result.records, "the converted file holds another number of records");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    duvoffline::IsmrmrdImportOptions options;
    options.file = duvfuzz::writeScratch("input.h5", data, size);
    convert(options);
    options.images = "cpp";
    convert(options);
    return 0;
}

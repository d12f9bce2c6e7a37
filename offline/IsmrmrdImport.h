// ISMRMRD files (HDF5 with an XML protocol header, raw acquisitions and
// reconstructed images) turned into a measurement directory: protocol.txt
// with readouts.bin (acquisitions, for the spectroscopy module) or images.bin
// (images, for the NIfTI writer). docs/formats.md ("ISMRMRD files") describes
// every field of the mapping and the defaults.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace duvoffline {

// A file or record that cannot be mapped: one line naming the file and the
// acquisition or image index (or the XML header) and the field.
class IsmrmrdError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct IsmrmrdImportOptions {
    std::string file;                 // the .h5 file
    std::string dataset = "dataset";  // HDF5 group of the measurement
    std::string images;               // image group to convert; empty: the acquisitions
                                      // (or the only image group of a file without acquisitions)
    std::string protocolOverrides;    // protocol text file merged over the mapped protocol; empty: none
};

struct IsmrmrdImportResult {
    std::string kind;                 // "readouts" or "images"
    uint64_t records = 0;             // records written
    uint64_t skipped = 0;             // acquisitions left out (see notes)
    std::vector<std::string> notes;   // what was left out or defaulted, one line each
};

// Writes DIR/protocol.txt and DIR/readouts.bin or DIR/images.bin (DIR is
// created; those files are replaced, the other kind's file removed). The
// whole file is checked before anything is kept: on an IsmrmrdError none of
// the three files is left in DIR. A duv built without libismrmrd throws an
// IsmrmrdError that says so.
IsmrmrdImportResult convertIsmrmrd(const IsmrmrdImportOptions& options, const std::string& dir);

}  // namespace duvoffline

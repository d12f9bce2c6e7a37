// Stand-in for IsmrmrdImport.cpp when libismrmrd was not found at configure
// time: duv then says why it cannot read ISMRMRD files.
#include "IsmrmrdImport.h"

namespace duvoffline {

IsmrmrdImportResult convertIsmrmrd(const IsmrmrdImportOptions& options, const std::string&) {
    throw IsmrmrdError(options.file +
                       ": this duv was built without ISMRMRD support (libismrmrd was not found when it was "
                       "configured): install libismrmrd-dev and build again");
}

}  // namespace duvoffline

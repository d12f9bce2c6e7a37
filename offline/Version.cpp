#include "Version.h"

namespace duvoffline {

extern const char* const kBuildCommit;  // generated at build time (cmake/BuildCommit.cmake)

std::string versionText() { return std::string("duv ") + DUV_VERSION + " (commit " + kBuildCommit + ")"; }

}  // namespace duvoffline

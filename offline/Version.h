// What `duv --version` and `duv version` print: the project's version and
// the commit the build was made from.
#pragma once

#include <string>

namespace duvoffline {
// "duv 0.1.0 (commit 1a2b3c4d5e6f)"; "-dirty" after the commit when the
// build had uncommitted changes, "unknown" outside a git checkout.
std::string versionText();
}  // namespace duvoffline

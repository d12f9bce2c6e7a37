// What in a protocol the run would otherwise ignore silently or turn into
// missing geometry: `duv run` prints each as one line on standard error
// before it starts ("duv run: warning: ...").
#pragma once

#include <string>
#include <vector>

#include "duvhost/XProtocol.h"

namespace duvoffline {

// Checks the patient position of an export (images; the spectra sink
// reports position and nucleus of spectroscopy runs itself) and the
// frequency of spectroscopy (readouts): texts without the
// "duv run: warning: " prefix.
std::vector<std::string> protocolWarnings(const XProtocol& protocol, bool spectroscopy);

}  // namespace duvoffline

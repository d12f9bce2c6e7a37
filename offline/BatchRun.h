// `duv run DIR DIR... --out OUT [-j N]`: several measurements, each run into
// OUT/NAME/ by its own process (a failing or crashing one does not stop the
// others), N at a time, with a combined OUT/summary.json and OUT/index.html.
#pragma once

#include <string>
#include <vector>

#include "IsmrmrdImport.h"
#include "RunCommand.h"

namespace duvoffline {

// Output folder names of the inputs: a directory's name, an ISMRMRD file's
// name without extension; a name taken before gets "_2", "_3", ...
std::vector<std::string> batchNames(const std::vector<std::string>& inputs);

// Runs every input as `duv run INPUT --out OUT/NAME` would, with the options
// of `options` (its input and output are ignored). What each run prints goes
// to duv's own standard output and error after the run, every line prefixed
// with "NAME: ". Exit status: 130 after SIGINT or SIGTERM (forwarded to the
// runs under way; no further run starts), else the highest of the runs'
// statuses (0 success, 1 a run failed, 2 bad input; a run that crashed
// counts as 1).
int runBatch(const std::vector<std::string>& inputs, const std::string& output, int jobs, RunOptions options,
             const IsmrmrdImportOptions& ismrmrd);

}  // namespace duvoffline

// OUT/index.html: one self-contained page per run (no network, no scripts)
// with what a spectroscopist looks at first: status and summary, the spectra
// of every series, maps of the main metabolites, the latest online-display
// and calibration images, mid slices of exported images, links to every file.
#pragma once

#include <filesystem>
#include <nlohmann/json.hpp>

namespace duvoffline {

// The page of one run from its summary (what summary.json holds) and the
// files in `out`. Returns false when the page cannot be written: the caller
// reports it, and the run then fails (the page is among what it claims).
bool writeRunReportPage(const std::filesystem::path& out, const nlohmann::json& summary);

// The page of several runs (`duv run DIR DIR...`): one line per run with a
// link to its own page.
bool writeBatchReportPage(const std::filesystem::path& out, const nlohmann::json& combined);

}  // namespace duvoffline

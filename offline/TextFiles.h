// Text and JSON files that duv writes: every write and close is checked (a
// full disk must not pass for success), and in JSON, text that is not UTF-8
// (protocol names, folder names, header texts taken byte for byte from the
// input) is escaped rather than refused.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace duvoffline {

// `text` with every byte that is not part of a valid UTF-8 sequence written
// as the four characters "\xNN" (NN its value in uppercase hexadecimal);
// valid text is returned unchanged.
std::string escapeInvalidUtf8(const std::string& text);

// A copy of `value` whose strings and object keys are all valid UTF-8.
nlohmann::json withValidUtf8(const nlohmann::json& value);

// Writes `text` to `path` under a temporary name and renames it into place,
// so that the file is either the complete text or absent. Throws
// std::runtime_error naming the file and the reason when any write, the
// close or the rename fails.
void writeTextFile(const std::string& path, const std::string& text);

// writeTextFile of `value` (made valid UTF-8, indented by 2) and a line feed.
void writeJsonFile(const std::string& path, const nlohmann::json& value);

}  // namespace duvoffline

// Minimal PNG writer (8-bit greyscale, stored deflate blocks) for pictures of images.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace duvoffline {
// pixels: width x height bytes, rows top to bottom. The file's bytes; throws
// std::runtime_error when the size does not match the pixels.
std::vector<uint8_t> encodeGreyPng(int width, int height, const std::vector<uint8_t>& pixels);
// The same into a file. Throws std::runtime_error on write failure.
void writeGreyPng(const std::string& path, int width, int height, const std::vector<uint8_t>& pixels);
}

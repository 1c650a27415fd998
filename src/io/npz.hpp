#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vesk::detail {

// One .npz entry in memory: shape outermost first, float64 values row-major.
struct NpyArray {
  std::vector<std::uint64_t> shape;
  std::vector<double> data;
};

// Writes a new archive at `path` holding the single stored entry `name`.npy
// (little-endian float64, .npy format 1.0), replacing any file there.
void saveNpz(const std::string& path, const std::string& name, const std::vector<std::uint64_t>& shape,
             const std::vector<double>& data);

// Reads entry `name`.npy (stored or deflated, any .npy format version) from
// the archive at `path`. Safe on arbitrary bytes: every offset and size is
// checked and no allocation exceeds what the file's contents produce.
NpyArray loadNpz(const std::string& path, const std::string& name);

// The same on an archive already in memory.
NpyArray parseNpz(const std::vector<unsigned char>& file, const std::string& name);

}  // namespace vesk::detail

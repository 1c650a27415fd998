// Arbitrary bytes as a .npz archive: the reader must throw or succeed, never crash.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <vector>

#include "io/npz.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<unsigned char> file(data, data + size);
  try {
    const vesk::detail::NpyArray a = vesk::detail::parseNpz(file, "robot_T_tcp_list");
    std::uint64_t n = 1;
    for (std::uint64_t d : a.shape) n *= d;
    if (n != a.data.size()) __builtin_trap();  // the shape must describe what was read
  } catch (const std::exception&) {
  }
  return 0;
}

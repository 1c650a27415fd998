#include "io/npz.hpp"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <stdexcept>

#include "io/atomic_file.hpp"

namespace vesk::detail {

namespace {

[[noreturn]] void fail(const std::string& message) { throw std::runtime_error(message); }

void put16(std::vector<unsigned char>& b, std::uint16_t v) {
  b.push_back(static_cast<unsigned char>(v & 0xFF));
  b.push_back(static_cast<unsigned char>(v >> 8));
}

void put32(std::vector<unsigned char>& b, std::uint32_t v) {
  for (int k = 0; k < 4; ++k) b.push_back(static_cast<unsigned char>((v >> (8 * k)) & 0xFF));
}

// Fields shared by the local and the central header, from the flags to the
// extra-field length: stored, no flags, dated 1 January 1980.
void putEntryFields(std::vector<unsigned char>& b, std::uint32_t crc, std::uint32_t size, std::uint16_t nameLen) {
  put16(b, 0);       // flags
  put16(b, 0);       // method: stored
  put16(b, 0);       // time
  put16(b, 0x0021);  // date
  put32(b, crc);
  put32(b, size);  // compressed
  put32(b, size);  // uncompressed
  put16(b, nameLen);
  put16(b, 0);  // extra length
}

std::uint16_t get16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

std::uint32_t get32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

std::string npyHeader(const std::vector<std::uint64_t>& shape) {
  std::string text = "{'descr': '<f8', 'fortran_order': False, 'shape': (";
  for (std::size_t i = 0; i < shape.size(); ++i) {
    text += std::to_string(shape[i]);
    if (i + 1 < shape.size() || shape.size() == 1) text += ", ";
  }
  text += "), }";
  const std::size_t L = text.size();
  const std::size_t spaces = (L + 74) / 64 * 64 - L - 11;
  text.append(spaces, ' ');
  text += '\n';
  return text;
}

// Output grows with what the stream actually yields, up to the claimed size:
// a few bytes claiming gigabytes cannot make the reader allocate them.
std::vector<unsigned char> inflateEntry(const unsigned char* in, std::size_t inSize, std::size_t claimed) {
  z_stream zs{};
  if (inflateInit2(&zs, -15) != Z_OK) fail("npz: inflateInit2 failed");
  std::vector<unsigned char> out;
  std::size_t remainingIn = inSize;
  const unsigned char* next = in;
  int rc = Z_OK;
  std::size_t produced = 0;
  constexpr std::size_t kChunk = std::size_t(1) << 20;
  while (true) {
    if (zs.avail_in == 0 && remainingIn > 0) {
      const std::size_t take = std::min<std::size_t>(remainingIn, std::numeric_limits<uInt>::max());
      zs.next_in = const_cast<Bytef*>(next);
      zs.avail_in = static_cast<uInt>(take);
      next += take;
      remainingIn -= take;
    }
    if (produced == claimed) {
      // Full: the stream must end here; probe with a one-byte window.
      unsigned char probe = 0;
      zs.next_out = &probe;
      zs.avail_out = 1;
      rc = inflate(&zs, Z_FINISH);
      if (zs.avail_out == 0) rc = Z_DATA_ERROR;  // more output than claimed
      break;
    }
    const std::size_t room = std::min(kChunk, claimed - produced);
    out.resize(produced + room);
    zs.next_out = out.data() + produced;
    zs.avail_out = static_cast<uInt>(room);
    rc = inflate(&zs, Z_FINISH);
    produced += room - zs.avail_out;
    if (rc == Z_STREAM_END) break;
    if (rc != Z_OK && rc != Z_BUF_ERROR) break;
    if (rc == Z_BUF_ERROR && zs.avail_in == 0 && remainingIn == 0 && produced < claimed) break;  // input ran out
  }
  inflateEnd(&zs);
  if (rc != Z_STREAM_END || produced != claimed) fail("npz: zlib inflate failed on entry");
  out.resize(produced);
  return out;
}

std::uint64_t parseDimension(const std::string& piece) { return std::stoull(piece, nullptr, 10); }

NpyArray parseNpy(const unsigned char* blob, std::size_t size) {
  static const unsigned char magic[6] = {0x93, 'N', 'U', 'M', 'P', 'Y'};
  if (size < 10 || std::memcmp(blob, magic, 6) != 0) fail("npz: not a valid .npy blob");
  const unsigned major = blob[6];
  std::size_t headerLen = 0, headerStart = 0;
  if (major <= 1) {
    headerLen = get16(blob + 8);
    headerStart = 10;
  } else {
    if (size < 12) fail("npz: truncated .npy header");
    headerLen = get32(blob + 8);
    headerStart = 12;
  }
  if (size - headerStart < headerLen) fail("npz: truncated .npy header dict");
  const std::string header(reinterpret_cast<const char*>(blob + headerStart), headerLen);

  if (header.find("'descr': '<f8'") == std::string::npos) {
    fail("npz: only little-endian float64 (\"<f8\") arrays are supported");
  }
  const auto fo = header.find("'fortran_order'");
  if (fo != std::string::npos) {
    const auto t = header.find("True", fo);
    const auto comma = header.find(',', fo);
    if (t != std::string::npos && (comma == std::string::npos || t < comma)) {
      fail("npz: fortran-order arrays are not supported");
    }
  }
  const auto sh = header.find("'shape'");
  if (sh == std::string::npos) fail("npz: missing 'shape' in npy header");
  const auto open = header.find('(', sh);
  if (open == std::string::npos) fail("npz: malformed 'shape' tuple in npy header");
  const auto close = header.find(')', open);
  if (close == std::string::npos) fail("npz: malformed 'shape' tuple in npy header");

  NpyArray out;
  const std::string inner = header.substr(open + 1, close - open - 1);
  std::size_t pos = 0;
  while (pos <= inner.size()) {
    const auto comma = inner.find(',', pos);
    std::string piece = inner.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
    const auto b = piece.find_first_not_of(" \t");
    if (b != std::string::npos) {
      const auto e = piece.find_last_not_of(" \t");
      out.shape.push_back(parseDimension(piece.substr(b, e - b + 1)));
    }
    if (comma == std::string::npos) break;
    pos = comma + 1;
  }

  std::uint64_t count = 1;
  for (std::uint64_t d : out.shape) {
    if (d != 0 && count > std::numeric_limits<std::uint64_t>::max() / d) {
      fail("npz: .npy shape is too large");
    }
    count *= d;
  }
  const std::size_t available = size - headerStart - headerLen;
  if (count > available / 8) fail("npz: .npy data shorter than shape implies");
  out.data.resize(static_cast<std::size_t>(count));
  if (count > 0) std::memcpy(out.data.data(), blob + headerStart + headerLen, static_cast<std::size_t>(count) * 8);
  return out;
}

}  // namespace

void saveNpz(const std::string& path, const std::string& name, const std::vector<std::uint64_t>& shape,
             const std::vector<double>& data) {
  const std::string header = npyHeader(shape);
  const std::string entry = name + ".npy";
  if (header.size() > 0xFFFF) throw std::invalid_argument("npz: .npy header too long for format 1.0");
  const std::size_t blobSize = 10 + header.size() + 8 * data.size();
  if (blobSize > 0xFFFFFFFFull - 30 - 46 - 22 - 2 * entry.size() || entry.size() > 0xFFFF) {
    throw std::invalid_argument("npz: array too large for a ZIP archive without ZIP64");
  }

  std::vector<unsigned char> blob;
  blob.reserve(blobSize);
  const unsigned char magic[8] = {0x93, 'N', 'U', 'M', 'P', 'Y', 1, 0};
  blob.insert(blob.end(), magic, magic + 8);
  put16(blob, static_cast<std::uint16_t>(header.size()));
  blob.insert(blob.end(), header.begin(), header.end());
  const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
  blob.insert(blob.end(), bytes, bytes + 8 * data.size());

  const auto S = static_cast<std::uint32_t>(blob.size());
  const auto N = static_cast<std::uint16_t>(entry.size());
  const auto C = static_cast<std::uint32_t>(crc32(0L, blob.data(), static_cast<uInt>(blob.size())));

  std::vector<unsigned char> zip;
  zip.reserve(30 + N + S + 46 + N + 22);
  put32(zip, 0x04034B50);
  put16(zip, 20);
  putEntryFields(zip, C, S, N);
  zip.insert(zip.end(), entry.begin(), entry.end());
  zip.insert(zip.end(), blob.begin(), blob.end());

  const auto D = static_cast<std::uint32_t>(zip.size());
  put32(zip, 0x02014B50);
  put16(zip, 20);
  put16(zip, 20);
  putEntryFields(zip, C, S, N);
  put16(zip, 0);
  put16(zip, 0);
  put16(zip, 0);
  put32(zip, 0);
  put32(zip, 0);
  zip.insert(zip.end(), entry.begin(), entry.end());

  put32(zip, 0x06054B50);
  put16(zip, 0);
  put16(zip, 0);
  put16(zip, 1);
  put16(zip, 1);
  put32(zip, static_cast<std::uint32_t>(46 + N));
  put32(zip, D);
  put16(zip, 0);

  io::writeFileAtomically(path, std::string_view(reinterpret_cast<const char*>(zip.data()), zip.size()), "npz: ");
}

NpyArray parseNpz(const std::vector<unsigned char>& file, const std::string& name) {
  const std::size_t size = file.size();
  const unsigned char* f = file.data();
  const std::string wanted = name + ".npy";

  std::size_t eocd = std::string::npos;
  if (size >= 22) {
    const std::size_t lowest = size > 0x10800 ? size - 0x10800 : 0;
    for (std::size_t p = size - 22 + 1; p-- > lowest;) {
      if (f[p] == 0x50 && f[p + 1] == 0x4B && f[p + 2] == 0x05 && f[p + 3] == 0x06) {
        eocd = p;
        break;
      }
    }
  }
  if (eocd == std::string::npos) fail("npz: not a valid ZIP archive (no EOCD record)");

  const unsigned entries = get16(f + eocd + 10);
  std::size_t pos = get32(f + eocd + 16);
  bool found = false;
  unsigned method = 0;
  std::size_t compressed = 0, uncompressed = 0, localOffset = 0;
  for (unsigned e = 0; e < entries; ++e) {
    if (pos > size || size - pos < 46 || get32(f + pos) != 0x02014B50) fail("npz: malformed ZIP central directory");
    const unsigned char* h = f + pos;
    const std::size_t nameLen = get16(h + 28), extraLen = get16(h + 30), commentLen = get16(h + 32);
    if (size - pos - 46 < nameLen) fail("npz: malformed ZIP central directory");
    if (nameLen == wanted.size() && std::memcmp(h + 46, wanted.data(), nameLen) == 0) {
      method = get16(h + 10);
      compressed = get32(h + 20);
      uncompressed = get32(h + 24);
      localOffset = get32(h + 42);
      found = true;
      break;
    }
    pos += 46 + nameLen + extraLen + commentLen;
  }
  if (!found) fail("npz: entry '" + wanted + "' not found in archive");

  if (localOffset > size || size - localOffset < 30 || get32(f + localOffset) != 0x04034B50) {
    fail("npz: malformed ZIP local file header");
  }
  const std::size_t dataStart = localOffset + 30 + get16(f + localOffset + 26) + get16(f + localOffset + 28);
  if (dataStart > size || size - dataStart < compressed) fail("npz: ZIP entry data runs past end of file");

  if (method == 0) return parseNpy(f + dataStart, compressed);
  if (method == 8) {
    const std::vector<unsigned char> blob = inflateEntry(f + dataStart, compressed, uncompressed);
    return parseNpy(blob.data(), blob.size());
  }
  fail("npz: unsupported ZIP compression method " + std::to_string(method));
}

NpyArray loadNpz(const std::string& path, const std::string& name) {
  // A directory "opens" and seeks to 2^63-1 on ext4; a FIFO blocks forever.
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) fail("npz: cannot open " + path + " for reading");
  std::ifstream in(path, std::ios::binary);
  if (!in) fail("npz: cannot open " + path + " for reading");
  in.seekg(0, std::ios::end);
  const std::streamoff end = in.tellg();
  if (end < 0) fail("npz: cannot open " + path + " for reading");
  in.seekg(0, std::ios::beg);
  std::vector<unsigned char> file(static_cast<std::size_t>(end));
  if (!file.empty()) in.read(reinterpret_cast<char*>(file.data()), end);
  if (!in) fail("npz: cannot open " + path + " for reading");
  return parseNpz(file, name);
}

}  // namespace vesk::detail

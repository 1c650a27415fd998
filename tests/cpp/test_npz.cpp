#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "io/npz.hpp"

namespace fs = std::filesystem;
using vesk::detail::loadNpz;
using vesk::detail::NpyArray;
using vesk::detail::parseNpz;
using vesk::detail::saveNpz;
using Bytes = std::vector<unsigned char>;

namespace {

fs::path tempFile(const std::string& stem) {
  return fs::temp_directory_path() / ("vesk_npz_" + stem + "_" + std::to_string(::getpid()) + ".npz");
}

Bytes readAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::uint32_t u32(const Bytes& b, std::size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<std::uint32_t>(b[at + 3]) << 24);
}
std::uint16_t u16(const Bytes& b, std::size_t at) { return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8)); }
void set16(Bytes& b, std::size_t at, std::uint32_t v) {
  b[at] = v & 0xFF;
  b[at + 1] = (v >> 8) & 0xFF;
}
void set32(Bytes& b, std::size_t at, std::uint32_t v) {
  for (int k = 0; k < 4; ++k) b[at + k] = (v >> (8 * k)) & 0xFF;
}

Bytes saved(const std::vector<std::uint64_t>& shape, const std::vector<double>& data, const std::string& name = "a") {
  const fs::path p = tempFile("tmp");
  saveNpz(p.string(), name, shape, data);
  Bytes b = readAll(p);
  fs::remove(p);
  return b;
}

// A one-entry archive around an arbitrary blob, stored or deflated.
Bytes archive(const Bytes& blob, const std::string& entry, int method = 0) {
  Bytes data = blob;
  if (method == 8) {
    z_stream zs{};
    deflateInit2(&zs, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    data.assign(deflateBound(&zs, blob.size()), 0);
    zs.next_in = const_cast<Bytef*>(blob.data());
    zs.avail_in = static_cast<uInt>(blob.size());
    zs.next_out = data.data();
    zs.avail_out = static_cast<uInt>(data.size());
    deflate(&zs, Z_FINISH);
    data.resize(zs.total_out);
    deflateEnd(&zs);
  }
  Bytes z(30, 0);
  set32(z, 0, 0x04034B50);
  set16(z, 8, method);
  set32(z, 18, static_cast<std::uint32_t>(data.size()));
  set32(z, 22, static_cast<std::uint32_t>(blob.size()));
  set16(z, 26, static_cast<std::uint32_t>(entry.size()));
  z.resize(30 + entry.size() + data.size());  // (insert into a fresh vector trips a GCC 12 false positive)
  std::copy(entry.begin(), entry.end(), z.begin() + 30);
  std::copy(data.begin(), data.end(), z.begin() + 30 + static_cast<std::ptrdiff_t>(entry.size()));
  const std::size_t D = z.size();
  Bytes c(46, 0);
  set32(c, 0, 0x02014B50);
  set16(c, 10, method);
  set32(c, 20, static_cast<std::uint32_t>(data.size()));
  set32(c, 24, static_cast<std::uint32_t>(blob.size()));
  set16(c, 28, static_cast<std::uint32_t>(entry.size()));
  c.insert(c.end(), entry.begin(), entry.end());
  z.insert(z.end(), c.begin(), c.end());
  Bytes e(22, 0);
  set32(e, 0, 0x06054B50);
  set16(e, 8, 1);
  set16(e, 10, 1);
  set32(e, 12, static_cast<std::uint32_t>(c.size()));
  set32(e, 16, static_cast<std::uint32_t>(D));
  z.insert(z.end(), e.begin(), e.end());
  return z;
}

Bytes npyBlob(const std::string& header, std::size_t valueBytes, int major = 1) {
  Bytes b = {0x93, 'N', 'U', 'M', 'P', 'Y', static_cast<unsigned char>(major), 0};
  if (major >= 2) {
    b.resize(12);
    set32(b, 8, static_cast<std::uint32_t>(header.size()));
  } else {
    b.resize(10);
    set16(b, 8, static_cast<std::uint32_t>(header.size()));
  }
  b.insert(b.end(), header.begin(), header.end());
  for (std::size_t k = 0; k < valueBytes; ++k) b.push_back(static_cast<unsigned char>(k));
  return b;
}

std::string errorOf(const Bytes& file, const std::string& name = "a") {
  try {
    parseNpz(file, name);
  } catch (const std::exception& e) {
    return e.what();
  }
  return "<no error>";
}

TEST(SaveNpz, ByteLayoutOfA3x4x4Array) {
  std::vector<double> values(48);
  for (int k = 0; k < 48; ++k) values[k] = k * 0.5 - 3.0;
  const Bytes z = saved({3, 4, 4}, values, "robot_T_tcp_list");
  const std::string entry = "robot_T_tcp_list.npy";
  const std::size_t N = entry.size(), S = 128 + 384;
  ASSERT_EQ(z.size(), 30 + N + S + 46 + N + 22);
  EXPECT_EQ(u32(z, 0), 0x04034B50u);
  EXPECT_EQ(u16(z, 4), 20);
  EXPECT_EQ(u16(z, 6), 0);
  EXPECT_EQ(u16(z, 8), 0);
  EXPECT_EQ(u16(z, 10), 0);
  EXPECT_EQ(u16(z, 12), 0x0021);
  EXPECT_EQ(u32(z, 18), S);
  EXPECT_EQ(u32(z, 22), S);
  EXPECT_EQ(u16(z, 26), N);
  EXPECT_EQ(u16(z, 28), 0);
  EXPECT_EQ(std::string(z.begin() + 30, z.begin() + 30 + N), entry);

  const std::size_t blob = 30 + N;
  const unsigned char magic[8] = {0x93, 'N', 'U', 'M', 'P', 'Y', 1, 0};
  EXPECT_EQ(std::memcmp(&z[blob], magic, 8), 0);
  EXPECT_EQ(u16(z, blob + 8), 118);
  const std::string text = "{'descr': '<f8', 'fortran_order': False, 'shape': (3, 4, 4), }";
  ASSERT_EQ(text.size(), 62u);
  EXPECT_EQ(std::string(z.begin() + blob + 10, z.begin() + blob + 128), text + std::string(55, ' ') + "\n");
  double first = 0;
  std::memcpy(&first, &z[blob + 128], 8);
  EXPECT_EQ(first, -3.0);
  EXPECT_EQ(u32(z, 14), crc32(0L, &z[blob], static_cast<uInt>(S)));

  const std::size_t D = blob + S;
  EXPECT_EQ(u32(z, D), 0x02014B50u);
  EXPECT_EQ(u16(z, D + 4), 20);
  EXPECT_EQ(u16(z, D + 6), 20);
  EXPECT_EQ(u16(z, D + 14), 0x0021);
  EXPECT_EQ(u32(z, D + 16), u32(z, 14));
  EXPECT_EQ(u32(z, D + 20), S);
  EXPECT_EQ(u16(z, D + 28), N);
  EXPECT_EQ(u32(z, D + 42), 0u);
  const std::size_t E = D + 46 + N;
  EXPECT_EQ(u32(z, E), 0x06054B50u);
  EXPECT_EQ(u16(z, E + 8), 1);
  EXPECT_EQ(u16(z, E + 10), 1);
  EXPECT_EQ(u32(z, E + 12), 46 + N);
  EXPECT_EQ(u32(z, E + 16), D);
  EXPECT_EQ(u16(z, E + 20), 0);

  const NpyArray back = parseNpz(z, "robot_T_tcp_list");
  EXPECT_EQ(back.shape, (std::vector<std::uint64_t>{3, 4, 4}));
  EXPECT_EQ(back.data, values);
}

struct HeaderCase {
  std::vector<std::uint64_t> shape;
  std::string tuple;
  std::size_t H;
};

class NpyHeader : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(NpyHeader, TextPaddingAndRoundTrip) {
  const auto& c = GetParam();
  std::uint64_t count = 1;
  for (auto d : c.shape) count *= d;
  std::vector<double> values(count, 1.25);
  const Bytes z = saved(c.shape, values);
  const std::size_t blob = 30 + 5;
  EXPECT_EQ(u16(z, blob + 8), c.H);
  EXPECT_EQ((10 + c.H) % 64, 0u);
  const std::string header(z.begin() + blob + 10, z.begin() + blob + 10 + c.H);
  EXPECT_EQ(header.rfind("{'descr': '<f8', 'fortran_order': False, 'shape': " + c.tuple + ", }", 0), 0u);
  EXPECT_EQ(header.back(), '\n');
  const NpyArray back = parseNpz(z, "a");
  EXPECT_EQ(back.shape, c.shape);
  EXPECT_EQ(back.data, values);
}

INSTANTIATE_TEST_SUITE_P(Shapes, NpyHeader,
                         ::testing::Values(HeaderCase{{5}, "(5, )", 118}, HeaderCase{{}, "()", 118},
                                           HeaderCase{{0, 4, 4}, "(0, 4, 4)", 118},
                                           HeaderCase{{12, 4, 4}, "(12, 4, 4)", 118},
                                           HeaderCase{{100000, 4, 4}, "(100000, 4, 4)", 118}),
                         [](const ::testing::TestParamInfo<HeaderCase>& info) {
                           std::string name = "dims";
                           for (std::uint64_t d : info.param.shape) name += "_" + std::to_string(d);
                           return name;
                         });

TEST(SaveNpz, SecondSaveReplacesTheArchive) {
  const fs::path p = tempFile("replace");
  saveNpz(p.string(), "first", {2}, {1.0, 2.0});
  saveNpz(p.string(), "second", {1}, {3.0});
  EXPECT_EQ(loadNpz(p.string(), "second").data, std::vector<double>{3.0});
  try {
    loadNpz(p.string(), "first");
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "npz: entry 'first.npy' not found in archive");
  }
  fs::remove(p);
}

TEST(LoadNpz, FileErrors) {
  const std::string missing = (fs::temp_directory_path() / "vesk_no_such_dir" / "x.npz").string();
  try {
    loadNpz(missing, "a");
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "npz: cannot open " + missing + " for reading");
  }
  try {
    saveNpz(missing, "a", {1}, {1.0});
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "npz: cannot open " + missing + " for writing");
  }
}

TEST(LoadNpz, DeflatedEntriesAndOtherVersions) {
  const std::string header = "{'descr': '<f8', 'fortran_order': False, 'shape': (2,), }\n";
  Bytes blob = npyBlob(header, 0);
  const double v[2] = {1.5, -2.5};
  blob.insert(blob.end(), reinterpret_cast<const unsigned char*>(v), reinterpret_cast<const unsigned char*>(v) + 16);
  EXPECT_EQ(parseNpz(archive(blob, "a.npy", 8), "a").data, (std::vector<double>{1.5, -2.5}));

  Bytes v2 = npyBlob(header, 0, 3);
  v2.insert(v2.end(), reinterpret_cast<const unsigned char*>(v), reinterpret_cast<const unsigned char*>(v) + 16);
  v2.push_back(0xAB);  // trailing bytes are ignored
  EXPECT_EQ(parseNpz(archive(v2, "a.npy"), "a").shape, (std::vector<std::uint64_t>{2}));
}

struct Corrupt {
  const char* label;
  Bytes file;
  std::string message;
};

std::vector<Corrupt> corruptions() {
  const Bytes good = saved({2, 2}, {1, 2, 3, 4});
  const std::size_t N = 5, S = good.size() - 30 - N - 46 - N - 22, D = 30 + N + S, E = D + 46 + N;
  std::vector<Corrupt> cases;
  auto with = [&](auto edit) {
    Bytes b = good;
    edit(b);
    return b;
  };
  const auto f8 = [](const std::string& rest) { return "{'descr': '<f8', " + rest; };
  cases.push_back({"short", Bytes(21, 0), "npz: not a valid ZIP archive (no EOCD record)"});
  cases.push_back({"no eocd", with([&](Bytes& b) { b[E] = 0; }), "npz: not a valid ZIP archive (no EOCD record)"});
  cases.push_back({"long comment", with([&](Bytes& b) { b.insert(b.end(), 67563, 'x'); }),
                   "npz: not a valid ZIP archive (no EOCD record)"});
  cases.push_back({"cd signature", with([&](Bytes& b) { b[D] = 0; }), "npz: malformed ZIP central directory"});
  cases.push_back({"cd offset huge", with([&](Bytes& b) { set32(b, E + 16, 0xFFFFFFF0u); }),
                   "npz: malformed ZIP central directory"});
  cases.push_back({"name past end", with([&](Bytes& b) { set16(b, D + 28, 0xFFFF); }),
                   "npz: malformed ZIP central directory"});
  cases.push_back({"no entries", with([&](Bytes& b) { set16(b, E + 10, 0); }), "npz: entry 'a.npy' not found in archive"});
  cases.push_back({"local offset", with([&](Bytes& b) { set32(b, D + 42, 0xFFFFFFFFu); }),
                   "npz: malformed ZIP local file header"});
  cases.push_back({"local signature", with([&](Bytes& b) { b[0] = 0; }), "npz: malformed ZIP local file header"});
  cases.push_back({"data past end", with([&](Bytes& b) { set32(b, D + 20, 0xFFFFFFFFu); }),
                   "npz: ZIP entry data runs past end of file"});
  cases.push_back({"local extra past end", with([&](Bytes& b) { set16(b, 28, 0xFFFF); }),
                   "npz: ZIP entry data runs past end of file"});
  cases.push_back({"method", with([&](Bytes& b) { set16(b, D + 10, 12); }), "npz: unsupported ZIP compression method 12"});
  cases.push_back({"bad deflate", with([&](Bytes& b) { set16(b, D + 10, 8); }), "npz: zlib inflate failed on entry"});
  cases.push_back({"huge claimed size",
                   [] {
                     Bytes z = archive(npyBlob("x", 0), "a.npy", 8);
                     const std::size_t d = z.size() - 22 - 46 - 5;
                     set32(z, d + 24, 0xFFFFFFFFu);
                     return z;
                   }(),
                   "npz: zlib inflate failed on entry"});
  cases.push_back({"magic", archive(Bytes{0x93, 'N', 'U', 'M', 'P', 'X', 1, 0, 0, 0}, "a.npy"), "npz: not a valid .npy blob"});
  cases.push_back({"empty blob", archive(Bytes{}, "a.npy"), "npz: not a valid .npy blob"});
  cases.push_back({"v2 short", archive(Bytes{0x93, 'N', 'U', 'M', 'P', 'Y', 2, 0, 0, 0, 0}, "a.npy"),
                   "npz: truncated .npy header"});
  cases.push_back({"header long", with([&](Bytes& b) { set16(b, 30 + N + 8, 0xFFFF); }), "npz: truncated .npy header dict"});
  const std::string dtype = "npz: only little-endian float64 (\"<f8\") arrays are supported";
  cases.push_back({"big endian", archive(npyBlob("{'descr': '>f8', 'shape': (1,), }", 8), "a.npy"), dtype});
  cases.push_back({"float32", archive(npyBlob("{'descr': '<f4', 'shape': (1,), }", 8), "a.npy"), dtype});
  cases.push_back({"no blank", archive(npyBlob("{'descr':'<f8', 'shape': (1,), }", 8), "a.npy"), dtype});
  cases.push_back({"fortran", archive(npyBlob(f8("'fortran_order': True, 'shape': (1,), }"), 8), "a.npy"),
                   "npz: fortran-order arrays are not supported"});
  cases.push_back({"no shape", archive(npyBlob(f8("'fortran_order': False, }"), 8), "a.npy"),
                   "npz: missing 'shape' in npy header"});
  cases.push_back({"no paren", archive(npyBlob(f8("'shape': [1], }"), 8), "a.npy"),
                   "npz: malformed 'shape' tuple in npy header"});
  cases.push_back({"short data", archive(npyBlob(f8("'shape': (2, 2), }"), 31), "a.npy"),
                   "npz: .npy data shorter than shape implies"});
  cases.push_back({"overflowing shape",
                   archive(npyBlob(f8("'shape': (4294967296, 4294967296, 16), }"), 64), "a.npy"),
                   "npz: .npy shape is too large"});
  cases.push_back({"huge shape", archive(npyBlob(f8("'shape': (18446744073709551615,), }"), 64), "a.npy"),
                   "npz: .npy data shorter than shape implies"});
  cases.push_back({"not a number", archive(npyBlob(f8("'shape': (x,), }"), 8), "a.npy"), "stoull"});
  cases.push_back({"beyond 64 bits", archive(npyBlob(f8("'shape': (99999999999999999999,), }"), 8), "a.npy"), "stoull"});
  return cases;
}

TEST(LoadNpz, MalformedInputIsReportedNotTrusted) {
  for (const auto& c : corruptions()) {
    EXPECT_EQ(errorOf(c.file), c.message) << c.label;
  }
}

TEST(LoadNpz, TruncationsNeverReadOutOfBounds) {
  const Bytes good = saved({3, 4, 4}, std::vector<double>(48, 2.0));
  for (std::size_t n = 0; n < good.size(); ++n) {
    Bytes cut(good.begin(), good.begin() + n);
    EXPECT_NE(errorOf(cut), "<no error>") << n;
  }
  // every single-byte corruption either parses or fails cleanly
  for (std::size_t at = 0; at < good.size(); ++at) {
    Bytes b = good;
    b[at] ^= 0xFF;
    (void)errorOf(b);
  }
}

TEST(LoadNpz, ShapeWhitespaceAndSuffixes) {
  const auto blob = [](const std::string& tuple, std::size_t values) {
    return archive(npyBlob("{'descr': '<f8', 'fortran_order': False, 'shape': " + tuple + ", }", 8 * values), "a.npy");
  };
  EXPECT_EQ(parseNpz(blob("(3,)", 3), "a").shape, (std::vector<std::uint64_t>{3}));
  EXPECT_EQ(parseNpz(blob("( 2 ,\t3 )", 6), "a").shape, (std::vector<std::uint64_t>{2, 3}));
  EXPECT_EQ(parseNpz(blob("(2L, 3L)", 6), "a").shape, (std::vector<std::uint64_t>{2, 3}));
  EXPECT_EQ(parseNpz(blob("()", 1), "a").data.size(), 1u);
}

}  // namespace

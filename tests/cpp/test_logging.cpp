#include <gtest/gtest.h>

#include <iostream>
#include <sstream>
#include <string>

#include "core/logging.hpp"

namespace {

struct Captured {
  std::string err, out;
};

template <typename F>
Captured capture(F&& f) {
  std::ostringstream err, out;
  auto* oldErr = std::cerr.rdbuf(err.rdbuf());
  auto* oldOut = std::cout.rdbuf(out.rdbuf());
  f();
  std::cerr.rdbuf(oldErr);
  std::cout.rdbuf(oldOut);
  return {err.str(), out.str()};
}

using vesk::logging::Level;

struct LevelCase {
  int level;
  const char* text;
};

class LogLevel : public ::testing::TestWithParam<LevelCase> {};

TEST_P(LogLevel, WritesOneLineToStderrOnly) {
  const auto c = GetParam();
  auto got = capture([&] { vesk::logging::log(static_cast<Level>(c.level), "x"); });
  EXPECT_EQ(got.err, std::string("[vesk][") + c.text + "] x\n");
  EXPECT_EQ(got.out, "");
}

INSTANTIATE_TEST_SUITE_P(AllLevels, LogLevel,
                         ::testing::Values(LevelCase{0, "DEBUG"}, LevelCase{1, "INFO"}, LevelCase{2, "WARNING"},
                                           LevelCase{3, "ERROR"}, LevelCase{4, "SUCCESS"},
                                           // outside the enumeration
                                           LevelCase{7, "INFO"}, LevelCase{-1, "INFO"}),
                         [](const ::testing::TestParamInfo<LevelCase>& info) {
                           return "level" + std::to_string(info.index);
                         });

TEST(Log, EmptyMessageKeepsPrefixAndSpace) {
  auto got = capture([] { vesk::logging::log(Level::INFO, ""); });
  EXPECT_EQ(got.err, "[vesk][INFO] \n");
}

TEST(Log, MessageBytesPassUnchanged) {
  const std::string msg("a\0b\n  c ", 8);
  auto got = capture([&] { vesk::logging::log(Level::ERROR, msg); });
  EXPECT_EQ(got.err, std::string("[vesk][ERROR] ") + msg + "\n");
}

}  // namespace

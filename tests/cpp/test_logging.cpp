#include <gtest/gtest.h>

#include <iostream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

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

// What a sink received; `accept` says whether it took the lines.
std::vector<std::pair<std::string, std::string>> sunk;
bool accept = true;
bool record(const char* level, const std::string& message) {
  sunk.emplace_back(level, message);
  return accept;
}

struct SinkCase {
  bool accept;
  const char* stderrText;
};

class Sink : public ::testing::TestWithParam<SinkCase> {
 protected:
  void SetUp() override {
    sunk.clear();
    accept = GetParam().accept;
    vesk::logging::setSink(&record);
  }
  void TearDown() override { vesk::logging::setSink(nullptr); }
};

TEST_P(Sink, GetsLevelAndBareMessageOfDirectAndReplayedLines) {
  auto got = capture([] {
    std::vector<vesk::logging::Written> lines;
    {
      vesk::logging::Capture c;  // as a worker thread's view does
      vesk::logging::log(Level::WARNING, "from a view");
      vesk::logging::printReport("report\n");
      lines = c.take();
    }
    vesk::logging::log(Level::SUCCESS, "");
    vesk::logging::replay(lines);
  });
  const std::vector<std::pair<std::string, std::string>> want{{"SUCCESS", ""}, {"WARNING", "from a view"}};
  EXPECT_EQ(sunk, want);
  EXPECT_EQ(got.err, GetParam().stderrText);  // a refused line still reaches stderr
  EXPECT_EQ(got.out, "report\n");             // reports never go to the sink
}

INSTANTIATE_TEST_SUITE_P(AcceptOrRefuse, Sink,
                         ::testing::Values(SinkCase{true, ""},
                                           SinkCase{false, "[vesk][SUCCESS] \n[vesk][WARNING] from a view\n"}));

TEST(SinkCleared, RestoresStderr) {
  sunk.clear();
  vesk::logging::setSink(&record);
  vesk::logging::setSink(nullptr);
  auto got = capture([] { vesk::logging::log(Level::ERROR, "x"); });
  EXPECT_EQ(got.err, "[vesk][ERROR] x\n");
  EXPECT_TRUE(sunk.empty());
}

}  // namespace

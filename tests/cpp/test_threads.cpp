#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/logging.hpp"
#include "core/threads.hpp"

namespace {

using vesk::detail::forEachView;

class Threads : public ::testing::Test {
 protected:
  void TearDown() override { vesk::detail::setViewThreads(0); }
};

// What forEachView writes for a loop whose views log, sleep unevenly and (optionally) throw at `failAt`.
std::string output(int threads, std::size_t failAt, std::string* error) {
  vesk::detail::setViewThreads(threads);
  ::testing::internal::CaptureStderr();
  try {
    forEachView(12, [&](std::size_t i) {
      std::this_thread::sleep_for(std::chrono::milliseconds((12 - i) % 4));
      vesk::logging::log(vesk::logging::WARNING, "view " + std::to_string(i));
      forEachView(2, [&](std::size_t j) { vesk::logging::log(vesk::logging::INFO, "  part " + std::to_string(j)); });
      if (i == failAt) throw std::runtime_error("view " + std::to_string(i) + " failed");
    });
  } catch (const std::runtime_error& e) {
    *error = e.what();
  }
  return ::testing::internal::GetCapturedStderr();
}

TEST_F(Threads, OutputAndErrorsComeInViewOrderWhateverTheThreadCount) {
  for (std::size_t failAt : {std::size_t{99}, std::size_t{5}}) {
    std::string oneError, manyError;
    const std::string one = output(1, failAt, &oneError);
    const std::string many = output(4, failAt, &manyError);
    EXPECT_EQ(one, many);
    EXPECT_EQ(oneError, manyError);
    EXPECT_NE(one.find("view 0\n[vesk][INFO]   part 0\n[vesk][INFO]   part 1\n[vesk][WARNING] view 1"),
              std::string::npos);
  }
  std::string error;
  const std::string failed = output(4, 5, &error);
  EXPECT_EQ(error, "view 5 failed");
  EXPECT_NE(failed.find("view 5\n"), std::string::npos);
  EXPECT_EQ(failed.find("view 6\n"), std::string::npos);  // nothing after the failing view comes out
}

TEST_F(Threads, EveryViewRunsOnceOnSeveralThreads) {
  vesk::detail::setViewThreads(3);
  std::vector<std::atomic<int>> runs(100);
  for (auto& r : runs) r.store(0);
  forEachView(runs.size(), [&](std::size_t i) { ++runs[i]; });
  for (const auto& r : runs) EXPECT_EQ(r.load(), 1);
  EXPECT_EQ(vesk::detail::viewThreads(), 3);
}

TEST_F(Threads, TheCheckpointSeesProgressAndCanStopTheLoop) {
  for (int threads : {1, 3}) {
    vesk::detail::setViewThreads(threads);
    std::vector<std::pair<std::size_t, std::size_t>> seen;
    {
      const vesk::detail::CallScope scope([&](std::size_t done, std::size_t total) { seen.emplace_back(done, total); });
      forEachView(8, [](std::size_t) { std::this_thread::sleep_for(std::chrono::milliseconds(20)); });
    }
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.front(), std::make_pair(std::size_t{0}, std::size_t{8}));
    EXPECT_EQ(seen.back(), std::make_pair(std::size_t{8}, std::size_t{8}));
    std::atomic<int> started{0};
    const vesk::detail::CallScope stop([](std::size_t done, std::size_t) {
      if (done >= 1) throw vesk::detail::Interrupted{};
    });
    EXPECT_THROW(forEachView(50,
                             [&](std::size_t) {
                               ++started;
                               std::this_thread::sleep_for(std::chrono::milliseconds(30));
                             }),
                 vesk::detail::Interrupted);
    EXPECT_LT(started.load(), 50);
  }
}

TEST(InUse, ASecondUserIsRefusedAndCopiesStartFree) {
  vesk::detail::InUse flag;
  {
    const vesk::detail::InUse::Guard first(flag, "Calibrator");
    // the same thread again: a progress callable calling back in
    try {
      const vesk::detail::InUse::Guard second(flag, "Calibrator");
      FAIL() << "a second guard was granted";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()).rfind("Calibrator is already running a call on this thread", 0), 0u);
    }
    std::string other;
    std::thread([&] {
      try {
        const vesk::detail::InUse::Guard second(flag, "Calibrator");
      } catch (const std::runtime_error& e) {
        other = e.what();
      }
    }).join();
    EXPECT_EQ(other, "Calibrator is in use by another thread");
    const vesk::detail::InUse copy(flag);
    const vesk::detail::InUse::Guard onCopy(copy, "Calibrator");
  }
  const vesk::detail::InUse::Guard again(flag, "Calibrator");
}

}  // namespace

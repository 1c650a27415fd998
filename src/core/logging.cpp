#include "core/logging.hpp"

#include <atomic>
#include <cstring>
#include <iostream>

namespace vesk::logging {

namespace {
const char* levelText(Level level) {
  switch (level) {
    case DEBUG: return "DEBUG";
    case INFO: return "INFO";
    case WARNING: return "WARNING";
    case ERROR: return "ERROR";
    case SUCCESS: return "SUCCESS";
  }
  return "INFO";
}

// One failed write (a full pipe, a closed descriptor) sets the stream's fail
// state for good, and every later line would be dropped: each write starts clean.
void ready(std::ostream& os) {
  if (!os) os.clear();
}

thread_local std::vector<Written>* capture = nullptr;
std::atomic<Sink> sink{nullptr};

void writeReport(const std::string& text) {
  ready(std::cout);
  std::cout.write(text.data(), static_cast<std::streamsize>(text.size()));
  std::cout.flush();
}

void writeLog(const std::string& line, Level level) {
  if (const Sink to = sink.load()) {
    // line is "[vesk][LEVEL] message\n", as log() made it
    const char* name = levelText(level);
    const std::size_t prefix = 7 + std::strlen(name) + 2;
    if (line.size() > prefix && to(name, line.substr(prefix, line.size() - prefix - 1))) return;
  }
  ready(std::cerr);
  std::cerr.write(line.data(), static_cast<std::streamsize>(line.size()));
}
}  // namespace

void setSink(Sink to) { sink.store(to); }

Capture::Capture() : saved_(capture) { capture = &lines_; }

Capture::~Capture() { capture = saved_; }

std::vector<Written> Capture::take() { return std::move(lines_); }

void replay(const std::vector<Written>& lines) {
  for (const Written& w : lines) {
    if (capture != nullptr) {
      capture->push_back(w);
    } else if (w.report) {
      writeReport(w.text);
    } else {
      writeLog(w.text, w.level);
    }
  }
}

void printReport(const std::string& text) {
  if (capture != nullptr) {
    capture->push_back({true, text});
    return;
  }
  writeReport(text);
}

void log(Level level, const std::string& message) {
  std::string line = std::string("[vesk][") + levelText(level) + "] ";
  line += message;
  line += "\n";
  if (capture != nullptr) {
    capture->push_back({false, std::move(line), level});
    return;
  }
  writeLog(line, level);
}

}  // namespace vesk::logging

#pragma once

#include <string>
#include <vector>

namespace vesk::logging {

enum Level { DEBUG = 0, INFO = 1, WARNING = 2, ERROR = 3, SUCCESS = 4 };

// Writes "[vesk][LEVEL] message\n" to std::cerr. Every level is always written.
void log(Level level, const std::string& message);

// Writes a text report to std::cout.
void printReport(const std::string& text);

// Where log lines go instead of std::cerr while one is set (the module's set_log_handler): called on
// the thread that writes the line (per-view work's lines come out on the caller's thread, in order)
// with the level's name and the message without prefix or newline. Returning false writes the line
// to std::cerr after all. It must not throw. nullptr restores std::cerr.
using Sink = bool (*)(const char* level, const std::string& message);
void setSink(Sink sink);

// What log() and printReport() would have written, in order.
struct Written {
  bool report;  // std::cout, else std::cerr
  std::string text;
  Level level = INFO;  // of a log line
};

// While one is alive on a thread, log() and printReport() on that thread append there instead of
// writing, so that work done on another thread can be written later in the order a single thread
// would have written it.
class Capture {
 public:
  Capture();
  ~Capture();
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;
  std::vector<Written> take();

 private:
  std::vector<Written> lines_;
  std::vector<Written>* saved_;
};

void replay(const std::vector<Written>& lines);

}  // namespace vesk::logging

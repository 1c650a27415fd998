#include "core/logging.hpp"

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
}  // namespace

void printReport(const std::string& text) {
  ready(std::cout);
  std::cout.write(text.data(), static_cast<std::streamsize>(text.size()));
  std::cout.flush();
}

void log(Level level, const std::string& message) {
  ready(std::cerr);
  std::cerr << "[vesk][" << levelText(level) << "] ";
  std::cerr.write(message.data(), static_cast<std::streamsize>(message.size()));
  std::cerr << "\n";
}

}  // namespace vesk::logging

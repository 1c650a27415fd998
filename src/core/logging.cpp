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
}  // namespace

void log(Level level, const std::string& message) {
  std::cerr << "[vesk][" << levelText(level) << "] ";
  std::cerr.write(message.data(), static_cast<std::streamsize>(message.size()));
  std::cerr << "\n";
}

}  // namespace vesk::logging

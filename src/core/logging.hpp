#pragma once

#include <string>

namespace vesk::logging {

enum Level { DEBUG = 0, INFO = 1, WARNING = 2, ERROR = 3, SUCCESS = 4 };

// Writes "[vesk][LEVEL] message\n" to std::cerr. Every level is always written.
void log(Level level, const std::string& message);

// Writes a text report to std::cout.
void printReport(const std::string& text);

}  // namespace vesk::logging

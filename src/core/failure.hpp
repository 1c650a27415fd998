#pragma once
// Why a result is not ok: a stable code a program can branch on, and the sentence the log line says.

#include <optional>
#include <string>
#include <string_view>

#include "core/logging.hpp"

namespace vesk {

struct Failure {
  std::string code;
  std::string message;
};

// Logs `tag` + `sentence` at `level` and returns the failure a result carries, so the log line and
// the result never say two different things.
inline Failure logFailure(logging::Level level, std::string_view tag, std::string code, std::string sentence) {
  logging::log(level, std::string(tag) + sentence);
  return Failure{std::move(code), std::move(sentence)};
}

}  // namespace vesk

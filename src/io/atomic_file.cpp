#include "io/atomic_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>

namespace fs = std::filesystem;

namespace vesk::io {

namespace {

// Writes everything or returns false with errno set.
bool writeAll(int fd, std::string_view data) {
  const char* p = data.data();
  std::size_t left = data.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  return true;
}

[[noreturn]] void failWrite(const std::string& prefix, const fs::path& path, int err) {
  throw std::runtime_error(prefix + "cannot write " + path.string() + ": " + std::strerror(err));
}

fs::path temporaryBeside(const fs::path& target) {
  static std::atomic<unsigned> counter{0};
  return target.parent_path() / ("." + target.filename().string() + ".tmp-" + std::to_string(::getpid()) + "-" +
                                 std::to_string(counter.fetch_add(1)));
}

}  // namespace

void writeFileAtomically(const fs::path& path, std::string_view data, const std::string& prefix) {
  std::error_code ec;
  fs::path target = path;
  if (fs::is_symlink(fs::symlink_status(path, ec))) {
    const fs::path resolved = fs::weakly_canonical(path, ec);
    if (!ec) target = resolved;
  }
  const fs::file_status status = fs::status(target, ec);
  if (fs::exists(status) && !fs::is_regular_file(status)) {
    if (fs::is_directory(status)) throw std::runtime_error(prefix + "cannot open " + path.string() + " for writing");
    const int fd = ::open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) throw std::runtime_error(prefix + "cannot open " + path.string() + " for writing");
    const bool ok = writeAll(fd, data);
    const int err = errno;
    ::close(fd);
    if (!ok) failWrite(prefix, path, err);
    return;
  }

  const fs::path temp = temporaryBeside(target);
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) throw std::runtime_error(prefix + "cannot open " + path.string() + " for writing");
  int err = 0;
  if (!writeAll(fd, data) || ::fsync(fd) != 0) err = errno;
  if (::close(fd) != 0 && err == 0) err = errno;
  if (err == 0 && ::rename(temp.c_str(), target.c_str()) != 0) err = errno;
  if (err != 0) {
    ::unlink(temp.c_str());
    failWrite(prefix, path, err);
  }
}

}  // namespace vesk::io

#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace vesk::io {

// Replaces the file at `path` with `data` so that a failure (a full disk, say)
// leaves the earlier file byte for byte as it was: the bytes go to a temporary
// file in the same folder, every write is checked, the file is flushed to disk
// and closed, and only then renamed over the target. A symlink is followed, so
// the link keeps pointing at the new file. A target that exists but is not a
// regular file (a device, a FIFO) is written in place, every write checked.
//
// Errors throw std::runtime_error: prefix + "cannot open <path> for writing"
// when nothing could be created, prefix + "cannot write <path>: <reason>" after.
void writeFileAtomically(const std::filesystem::path& path, std::string_view data, const std::string& prefix);

}  // namespace vesk::io

// Reading and writing the program's files: parameter sets, measured data, calibration and
// verification results. One place decides how a file is replaced safely and how a file that
// is not a plain file is refused, so that every file of the program behaves alike.
#pragma once

#include <cstddef>
#include <string>

namespace karvo {

// Writes `bytes` to `path` through a temporary file in the same folder that is synced and
// renamed over the target, and then syncs the folder, so that neither a failed write nor a
// power cut right after it loses the previous or the new file. A target that is a symbolic
// link is written through to the file it points to; the link stays. A replaced file keeps
// its permissions. False with the errno in `error` on failure; nothing is left behind then.
bool WriteFileReplacing(const std::string& path, const std::string& bytes, int& error);

// Reads a whole regular file of at most `maxSize` bytes. A FIFO, device or folder is refused
// without blocking on it. False with a sentence (UTF-8) in `reason` on failure.
bool ReadRegularFile(const std::string& path, size_t maxSize, std::string& bytes,
                     std::string& reason);

// The system's sentence for an errno, starting with a capital and ending with a full stop
// ("No such file or directory.").
std::string ErrnoSentence(int error);

}  // namespace karvo

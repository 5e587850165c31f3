// Reading and writing the program's files: parameter sets, measured data, calibration and
// verification results. One place decides how a file is replaced safely and how a file that
// is not a plain file is refused, so that every file of the program behaves alike.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace karvo {

// Writes `bytes` to `path` through a temporary file in the same folder that is synced and
// renamed over the target, and then syncs the folder, so that neither a failed write nor a
// power cut right after it loses the previous or the new file. A target that is a symbolic
// link is written through to the file it points to; the link stays. A replaced file keeps
// its permissions. Only a regular file is replaced: a folder (EISDIR) or a FIFO, device or
// socket (EEXIST) at the name is refused and left as it is. False with the errno in `error`
// on failure; nothing is left behind then.
bool WriteFileReplacing(const std::string& path, const std::string& bytes, int& error);

// What WriteFileReplacing would refuse before writing anything: 0 when `path` (links
// followed) names a regular file or nothing yet, else the errno it would fail with. Lets a
// caller refuse before a long run rather than after it.
int WriteTargetProblem(const std::string& path);

// `bytes` as printable ASCII for a message: other bytes as \xHH (a terminal escape sequence
// from a file must not reach the operator's terminal), cut after `limit` bytes with "...".
std::string PrintableText(std::string_view bytes, size_t limit = 100);

// Reads a whole regular file of at most `maxSize` bytes. A FIFO, device or folder is refused
// without blocking on it. False with a sentence (UTF-8) in `reason` on failure.
bool ReadRegularFile(const std::string& path, size_t maxSize, std::string& bytes,
                     std::string& reason);

// The system's sentence for an errno, starting with a capital and ending with a full stop
// ("No such file or directory.").
std::string ErrnoSentence(int error);

}  // namespace karvo

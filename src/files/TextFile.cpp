#include "files/TextFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace karvo {

namespace {

// Enough for any chain of links a person makes; a loop ends here as the system's ELOOP would.
constexpr int MAX_LINK_DEPTH = 40;

bool WriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string Folder(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// The file a chain of symbolic links ends at, also when it does not exist yet (a link to a
// file still to be written). The path itself when it is no link.
bool FollowLinks(const std::string& path, std::string& target, int& error) {
  target = path;
  for (int depth = 0; depth < MAX_LINK_DEPTH; ++depth) {
    struct stat info {};
    if (lstat(target.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return true;
    std::string link(static_cast<size_t>(info.st_size > 0 ? info.st_size : 255) + 1, '\0');
    const ssize_t n = readlink(target.c_str(), link.data(), link.size());
    if (n < 0) {
      error = errno;
      return false;
    }
    link.resize(static_cast<size_t>(n));
    target = (!link.empty() && link[0] == '/') ? link : Folder(target) + "/" + link;
  }
  error = ELOOP;
  return false;
}

// Without this a rename may still be only in memory when the power goes.
bool SyncFolder(const std::string& folder, int& error) {
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    error = errno;
    return false;
  }
  const bool ok = fsync(fd) == 0 || errno == EINVAL;  // some file systems cannot sync folders
  if (!ok) error = errno;
  close(fd);
  return ok;
}

// Refuses what a rename would destroy or could not replace: a FIFO a reader waits on, a
// device node (as root, /dev/null would become a plain file), a socket, a folder.
int NotReplaceable(const struct stat& existing) {
  if (S_ISREG(existing.st_mode)) return 0;
  return S_ISDIR(existing.st_mode) ? EISDIR : EEXIST;
}

}  // namespace

int WriteTargetProblem(const std::string& path) {
  std::string target;
  int error = 0;
  if (!FollowLinks(path, target, error)) return error;
  struct stat existing {};
  if (stat(target.c_str(), &existing) != 0) return 0;
  return NotReplaceable(existing);
}

bool WriteFileReplacing(const std::string& path, const std::string& bytes, int& error) {
  if (path.empty()) {
    error = ENOENT;
    return false;
  }
  std::string target;
  if (!FollowLinks(path, target, error)) return false;
  struct stat existing {};
  const bool exists = stat(target.c_str(), &existing) == 0;
  if (exists && (error = NotReplaceable(existing)) != 0) return false;
  // Created with the usual permissions (the umask applies); a replaced file keeps its own.
  std::string temporary;
  int fd = -1;
  for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
    temporary = target + ".tmp" + std::to_string(getpid()) + "-" + std::to_string(attempt);
    fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    error = errno;
    return false;
  }
  bool ok = (!exists || fchmod(fd, existing.st_mode & 07777) == 0) && WriteAll(fd, bytes) &&
            fsync(fd) == 0;
  if (!ok) error = errno;
  if (close(fd) != 0 && ok) {
    ok = false;
    error = errno;
  }
  // Something may have taken the name while the temporary file was written.
  struct stat now {};
  if (ok && stat(target.c_str(), &now) == 0 && (error = NotReplaceable(now)) != 0) ok = false;
  if (ok && rename(temporary.c_str(), target.c_str()) != 0) {
    ok = false;
    error = errno;
  }
  if (!ok) {
    unlink(temporary.c_str());
    return false;
  }
  return SyncFolder(Folder(target), error);
}

bool ReadRegularFile(const std::string& path, size_t maxSize, std::string& bytes,
                     std::string& reason) {
  bytes.clear();
  // Non-blocking, so that opening a FIFO with no writer (or a terminal) returns at once and
  // the type check below can refuse it.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    reason = ErrnoSentence(errno);
    return false;
  }
  struct stat info {};
  bool ok = fstat(fd, &info) == 0;
  if (!ok) {
    reason = ErrnoSentence(errno);
  } else if (S_ISDIR(info.st_mode)) {
    ok = false;
    reason = ErrnoSentence(EISDIR);
  } else if (!S_ISREG(info.st_mode)) {
    ok = false;
    reason = "Not a regular file.";
  } else if (static_cast<unsigned long long>(info.st_size) > maxSize) {
    ok = false;
    reason = "The file is too large (" + std::to_string(info.st_size) + " bytes).";
  }
  if (ok) {
    bytes.resize(static_cast<size_t>(info.st_size));
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = read(fd, bytes.data() + done, bytes.size() - done);
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (n < 0) {
        ok = false;
        reason = ErrnoSentence(errno);
        break;
      }
      if (n == 0) break;  // the file shrank while being read
      done += static_cast<size_t>(n);
    }
    bytes.resize(done);
  }
  close(fd);
  return ok;
}

std::string PrintableText(std::string_view bytes, size_t limit) {
  static const char HEX[] = "0123456789ABCDEF";
  std::string text;
  for (size_t i = 0; i < bytes.size() && i < limit; ++i) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      text += static_cast<char>(c);
    } else {
      text += "\\x";
      text += HEX[c >> 4];
      text += HEX[c & 0x0F];
    }
  }
  if (bytes.size() > limit) text += "...";
  return text;
}

std::string ErrnoSentence(int error) {
  std::string text = std::strerror(error);
  if (!text.empty() && text[0] >= 'a' && text[0] <= 'z') text[0] = static_cast<char>(text[0] - 32);
  if (!text.empty() && text.back() != '.') text += '.';
  return text;
}

}  // namespace karvo

// "Write to file" and "Read from file" of the grid's menu.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "app/Session.h"
#include "params/ParamFile.h"

namespace karvo {

namespace {

// Far beyond any parameter file; keeps a wrongly chosen file from filling the memory.
constexpr off_t MAX_PARAM_FILE_SIZE = 16 * 1024 * 1024;
// A token longer than this is cut in the error message; the box has to stay readable.
constexpr size_t MAX_TOKEN_SHOWN = 100;

std::string Reason(int error) {
  return Utf8ToCp1251(std::strerror(error));
}

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

// Writes through a temporary file in the target's folder, renamed over the target when
// complete, so that a failed write never destroys the previous file.
bool WriteReplacing(const std::string& path, const std::string& bytes, int& error) {
  std::string target = path;
  struct stat existing {};
  bool exists = lstat(path.c_str(), &existing) == 0;
  if (exists && S_ISLNK(existing.st_mode)) {
    // The link stays; its file is what gets replaced.
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) != nullptr) target = resolved;
    exists = stat(target.c_str(), &existing) == 0;
  }
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
  if (ok && rename(temporary.c_str(), target.c_str()) != 0) {
    ok = false;
    error = errno;
  }
  if (!ok) unlink(temporary.c_str());
  return ok;
}

bool ReadWhole(const std::string& path, std::string& bytes, std::string& reason) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    reason = Reason(errno);
    return false;
  }
  struct stat info {};
  bool ok = fstat(fd, &info) == 0;
  if (!ok) {
    reason = Reason(errno);
  } else if (S_ISDIR(info.st_mode)) {
    ok = false;
    reason = Reason(EISDIR);
  } else if (!S_ISREG(info.st_mode)) {
    ok = false;
    reason = "Not a regular file.";
  } else if (info.st_size > MAX_PARAM_FILE_SIZE) {
    ok = false;
    reason = "Too large for a parameter file.";
  }
  bytes.clear();
  if (ok) {
    bytes.resize(static_cast<size_t>(info.st_size));
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = read(fd, bytes.data() + done, bytes.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        ok = false;
        reason = Reason(errno);
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

}  // namespace

void TSession::SaveParamFile() {
  const std::optional<std::string> name = Person.AskSaveFile(View.LabelSerNum + ".prm");
  if (!name) return;
  if (access(name->c_str(), F_OK) == 0 && !Person.Confirm("Rewrite file?", CAPTION_DOT)) return;
  int error = 0;
  if (!WriteReplacing(*name, ParamFileBytes(ParamWrite), error)) {
    Person.Message("Error writing " + Utf8ToCp1251(*name) + "." + '\r' + Reason(error), CAPTION,
                   TIcon::Exclamation);
  }
}

void TSession::LoadParamFile() {
  const std::optional<std::string> name = Person.AskOpenFile();
  if (!name) return;
  std::string bytes;
  std::string reason;
  if (!ReadWhole(*name, bytes, reason)) {
    Person.Message("Error reading " + Utf8ToCp1251(*name) + "." + '\r' + reason, CAPTION,
                   TIcon::Exclamation);
    return;
  }
  const TParamFileRead read = ReadParamFileBytes(bytes, ParamWrite);
  if (!read.Complete) {
    std::string token = read.BadToken;
    if (token.size() > MAX_TOKEN_SHOWN) token = token.substr(0, MAX_TOKEN_SHOWN) + "...";
    Person.Message(NotValidIntegerMessage(token), CAPTION, TIcon::Stop);
    return;
  }
  FillParamGrid();
}

}  // namespace karvo

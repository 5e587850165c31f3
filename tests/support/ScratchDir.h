// A fresh folder for a test's files, removed with everything in it when the test ends, and
// the two ways tests put and take whole files.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace karvo::test {

struct TScratchDir {
  TScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "karvo-test-XXXXXX").string();
    Root = mkdtemp(pattern.data()) ? pattern : "/nonexistent";
  }
  ~TScratchDir() { std::filesystem::remove_all(Root); }
  TScratchDir(const TScratchDir&) = delete;
  TScratchDir& operator=(const TScratchDir&) = delete;

  std::string Path(const std::string& name) const { return Root + "/" + name; }
  // Entries in the folder: a temporary file left behind shows here.
  size_t Entries() const {
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(Root), {}));
  }

  std::string Root;
};

inline std::string FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

inline void PutFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

}  // namespace karvo::test

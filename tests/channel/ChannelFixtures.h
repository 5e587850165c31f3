// Helpers of the channel tests: settings with short time-outs, and a throw-away sysfs tree
// shaped like the kernel's, in which USB serial adapters are found by description.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "channel/Interface.h"

namespace karvo::test {

inline TPortSettings ShortTimeouts(const std::string& name, uint8_t kind = PORT_COM,
                                   uint32_t interval = 20, uint32_t total = 200) {
  TPortSettings settings;
  settings.PortKind = kind;
  settings.Name = name;
  settings.Parity = 2;
  settings.ReadInterval = interval;
  settings.ReadTotal = total;
  return settings;
}

class TFakeSysfs {
 public:
  TFakeSysfs() {
    std::string pattern = (std::filesystem::temp_directory_path() / "karvo-sysfs-XXXXXX").string();
    Root = mkdtemp(pattern.data()) ? pattern : "/nonexistent";
    std::filesystem::create_directories(Sys() + "/class/tty");
    std::filesystem::create_directories(Dev());
  }
  ~TFakeSysfs() {
    std::error_code ignored;
    std::filesystem::remove_all(Root, ignored);
  }
  std::string Sys() const { return Root + "/sys"; }
  std::string Dev() const { return Root + "/dev"; }

  // sys/class/tty/<tty>/device -> sys/devices/<device>/<interface>/<tty>, with `product` in
  // the device directory and in its parent (the hub) when given.
  void AddTty(const std::string& tty, const std::string& device, const std::string& product,
              const std::string& hubProduct = "") {
    const std::filesystem::path deviceDir = Sys() + "/devices/" + device;
    const std::filesystem::path ttyDir = deviceDir / "1-0:1.0" / tty;
    std::filesystem::create_directories(ttyDir);
    if (!product.empty()) std::ofstream(deviceDir / "product") << product << "\n";
    if (!hubProduct.empty())
      std::ofstream(deviceDir.parent_path() / "product") << hubProduct << "\n";
    std::filesystem::create_directories(Sys() + "/class/tty/" + tty);
    std::filesystem::create_directory_symlink(ttyDir, Sys() + "/class/tty/" + tty + "/device");
  }
  void LinkDevice(const std::string& tty, const std::string& target) {
    std::filesystem::create_symlink(target, Dev() + "/" + tty);
  }

 private:
  std::string Root;
};

}  // namespace karvo::test

// Every status a device operation can end with, the link's and the device layer's, in one
// table: its number, a stable name for scripts and its meaning. The command line's help and
// JSON and the Python package's Status enum are built from it.
#pragma once

#include <cstdint>
#include <vector>

namespace karvo::device {

struct StatusEntry {
  uint32_t Status;
  const char* Name;  // lower-case identifier, never changed once published
  const char* Text;  // what DeviceStatusText says
};

const std::vector<StatusEntry>& StatusTable();

// The entry's name, or "unknown" for a number outside the table.
const char* StatusName(uint32_t status);

}  // namespace karvo::device

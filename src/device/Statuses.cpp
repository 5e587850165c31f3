#include "device/Statuses.h"

#include "device/Result.h"

namespace karvo::device {

const std::vector<StatusEntry>& StatusTable() {
  static const std::vector<StatusEntry> table = [] {
    const std::pair<uint32_t, const char*> names[] = {
        {ST_OK, "ok"},
        {ST_NOT_OPEN, "not_open"},
        {ST_READ_SHORT, "no_answer"},
        {ST_READ_FAILED, "read_failed"},
        {ST_WRITE_SHORT, "write_short"},
        {ST_WRITE_FAILED, "write_failed"},
        {ST_BAD_FRAME, "bad_answer"},
        {ST_CANCELLED, "cancelled"},
        {ST_BAD_VALUE, "value_refused"},
        {ST_STAGE_STUCK, "stage_stuck"},
        {ST_NO_STAGE, "no_stage"},
        {ST_FILE, "file_not_written"},
        {ST_LINE_BUSY, "line_busy"},
    };
    std::vector<StatusEntry> entries;
    for (const auto& [status, name] : names)
      entries.push_back({status, name, DeviceStatusText(status)});
    return entries;
  }();
  return table;
}

const char* StatusName(uint32_t status) {
  for (const StatusEntry& entry : StatusTable()) {
    if (entry.Status == status) return entry.Name;
  }
  return "unknown";
}

}  // namespace karvo::device

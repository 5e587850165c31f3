#include "stage/Calibration.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace karvo {

bool EnterCalibrationSamples(const float* samples, uint32_t count, float sampleStep, int16_t range,
                             TCalibrationTable& table, std::string& problem) {
  table.Entries.assign(CALIBRATION_ENTRIES, 0);
  table.Skipped = 0;
  table.Stretch = {};
  if (range <= 0) {
    problem = "The measuring range is " + std::to_string(range) +
              " mm: no calibration table can be built.";
    return false;
  }
  for (uint32_t i = 0; i < count; ++i) {
    const float sample = samples[i];
    // Truncation toward zero keeps readings down to -0.99 at entry 0.
    if (!(sample > -1.0f && sample < static_cast<float>(CALIBRATION_ENTRIES))) {
      ++table.Skipped;
      continue;
    }
    const auto raw = static_cast<size_t>(std::trunc(sample));
    const long double position = static_cast<long double>(i) * sampleStep * FULL_SCALE_CODE / range;
    const long double limit = std::numeric_limits<int32_t>::max();
    int64_t code = static_cast<int64_t>(std::trunc(std::clamp(position, -limit, limit)));
    int32_t& entry = table.Entries[raw];
    if (entry != 0) code = (entry + code) / 2;
    entry = static_cast<int32_t>(code);
  }
  return true;
}

void FillCalibrationGaps(TCalibrationTable& table) {
  std::vector<int32_t>& e = table.Entries;
  table.Stretch = FindStretch(e.data(), CALIBRATION_USED);
  const size_t last = table.Stretch.Last;
  size_t i = table.Stretch.First;
  while (i < last) {
    if (e[i] != 0) {
      ++i;
      continue;
    }
    size_t j = i + 1;
    while (e[j] == 0) ++j;  // entry `last` is non-zero, so j stops there at the latest
    const int64_t a = e[i - 1];
    const int64_t b = e[j];
    const int64_t d = std::llabs(b - a) / static_cast<int64_t>(j - i + 1);
    for (size_t k = i; k < j; ++k)
      e[k] = static_cast<int32_t>(a <= b ? e[k - 1] + d : e[k - 1] - d);
    i = j;
  }
}

bool BuildCalibrationTable(const float* samples, uint32_t count, float sampleStep, int16_t range,
                           TCalibrationTable& table, std::string& problem) {
  if (!EnterCalibrationSamples(samples, count, sampleStep, range, table, problem)) return false;
  FillCalibrationGaps(table);
  return true;
}

void CalibrationPage(const TCalibrationTable& table, int page, uint16_t words[TABLE_PAGE_WORDS]) {
  const size_t base = static_cast<size_t>(page) * TABLE_PAGE_WORDS;
  for (size_t m = 0; m < TABLE_PAGE_WORDS; ++m)
    words[m] = static_cast<uint16_t>(table.Entries[base + m]);
}

TTableLoadResult LoadCalibrationTable(TKARVOInterface& link, uint8_t address,
                                      const TCalibrationTable& table,
                                      const std::function<void(int pos, int max)>& progress,
                                      const std::function<bool()>& retry,
                                      const std::function<bool()>& cancelled) {
  constexpr int LAST_PAGE = CALIBRATION_PAGES - 1;
  TTableLoadResult result;
  uint16_t words[TABLE_PAGE_WORDS];
  for (;;) {
    ++result.Attempts;
    result.Status = ST_OK;
    result.FailedPage = -1;
    result.Mismatch = false;
    for (int b = 0; b <= LAST_PAGE && result.FailedPage < 0; ++b) {
      if (cancelled && cancelled()) {
        result.FailedPage = b;
        return result;
      }
      if (progress) progress(b, LAST_PAGE);
      CalibrationPage(table, b, words);
      result.Status = link.WriteTablePage(address, static_cast<uint8_t>(b), words);
      if (result.Status != ST_OK) result.FailedPage = b;
    }
    for (int b = 0; b <= LAST_PAGE && result.FailedPage < 0; ++b) {
      if (cancelled && cancelled()) {
        result.FailedPage = b;
        return result;
      }
      if (progress) progress(b, LAST_PAGE);
      result.Status = link.ReadTablePage(address, static_cast<uint8_t>(b), words);
      if (result.Status != ST_OK) {
        result.FailedPage = b;
        break;
      }
      // Compared as the table holds it: an entry beyond 0..65535 can never pass.
      const size_t base = static_cast<size_t>(b) * TABLE_PAGE_WORDS;
      for (size_t m = 0; m < TABLE_PAGE_WORDS; ++m) {
        if (static_cast<int32_t>(words[m]) != table.Entries[base + m]) {
          result.FailedPage = b;
          result.Mismatch = true;
          break;
        }
      }
    }
    if (result.FailedPage < 0) {
      result.Passed = true;
      return result;
    }
    if (!retry || !retry()) return result;
  }
}

std::string CalibrationFileBytes(const TCalibrationTable& table) {
  std::string bytes;
  bytes.reserve(CALIBRATION_USED * 12);
  for (size_t i = 0; i < CALIBRATION_USED; ++i) {
    bytes += "DW\t";
    bytes += std::to_string(table.Entries[i]);
    bytes += "\r\n";
  }
  return bytes;
}

std::string CalibrationFooter(uint32_t count) {
  return "Steps: " + std::to_string(count);
}

std::vector<TChartPoint> CalibrationChartPoints(const float* samples, uint32_t count) {
  std::vector<TChartPoint> points;
  points.reserve(count);
  for (uint32_t i = 0; i < count; ++i)
    points.push_back({static_cast<double>(i), samples[i], std::to_string(i)});
  return points;
}

}  // namespace karvo

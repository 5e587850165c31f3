// The calibration table a calibration sweep builds: raw reading to output code, its gaps
// filled, loaded into the sensor page by page and checked, and saved as a ".klb" file.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "protocol/Karvointerface.h"
#include "stage/SweepFiles.h"

namespace karvo {

constexpr size_t CALIBRATION_ENTRIES = 22000;  // raw readings 0..21999
constexpr int CALIBRATION_PAGES = 41;
constexpr size_t CALIBRATION_USED = CALIBRATION_PAGES * TABLE_PAGE_WORDS;  // 20992
constexpr int32_t FULL_SCALE_CODE = 16384;                                 // the whole range

inline constexpr const char* CALIBRE_TABLE_ERROR_TEXT = "Error write calibre table.";

struct TCalibrationTable {
  // Output code (16384 = the measuring range) by raw reading; 0 means no entry.
  std::vector<int32_t> Entries = std::vector<int32_t>(CALIBRATION_ENTRIES, 0);
  // Samples left out because their raw reading lies outside 0..21999 (or is not a number).
  uint32_t Skipped = 0;
  TStretch Stretch;  // over entries 0..20991, found before the gaps were filled
};

// Enters every sample: entry [raw reading] = the output code of the sample's position
// (sample i lies i x sampleStep from the first), a reading seen again keeping the running
// pairwise mean. False with a message when the range is not positive.
bool EnterCalibrationSamples(const float* samples, uint32_t count, float sampleStep, int16_t range,
                             TCalibrationTable& table, std::string& problem);

// Finds the stretch of entries and fills each run of empty entries inside it in equal integer
// steps from the entry before it toward the entry after it.
void FillCalibrationGaps(TCalibrationTable& table);

// Both of the above: the table as it goes to the sensor.
bool BuildCalibrationTable(const float* samples, uint32_t count, float sampleStep, int16_t range,
                           TCalibrationTable& table, std::string& problem);

// Page `page` (0..40) as the sensor takes it: the low 16 bits of its 512 entries.
void CalibrationPage(const TCalibrationTable& table, int page, uint16_t words[TABLE_PAGE_WORDS]);

struct TTableLoadResult {
  bool Passed = false;      // every page written, read back and equal
  uint32_t Status = ST_OK;  // of the exchange that failed, ST_OK for a differing word
  int FailedPage = -1;      // of the last attempt
  bool Mismatch = false;    // the last attempt read back a word that differs
  int Attempts = 0;
};

// Writes the 41 pages, then reads them back and compares. On a failure `retry` is asked
// (the operator's Retry or Cancel to CALIBRE_TABLE_ERROR_TEXT); Retry starts again at page 0.
// `progress` gets (page, 40) before every page written and read. Either may be empty: no
// progress shown, no retry. `cancelled` is asked before every page; when it says yes the load
// ends there, not passed.
TTableLoadResult LoadCalibrationTable(TKARVOInterface& link, uint8_t address,
                                      const TCalibrationTable& table,
                                      const std::function<void(int pos, int max)>& progress,
                                      const std::function<bool()>& retry,
                                      const std::function<bool()>& cancelled = {});

// The ".klb" file: one "DW", tab, entry, CR LF line for each of entries 0..20991.
std::string CalibrationFileBytes(const TCalibrationTable& table);

// Chart footer "Steps: N" and one point per sample, labelled with its index.
std::string CalibrationFooter(uint32_t count);
std::vector<TChartPoint> CalibrationChartPoints(const float* samples, uint32_t count);

}  // namespace karvo

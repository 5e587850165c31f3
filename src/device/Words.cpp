#include "device/Words.h"

#include <algorithm>
#include <iterator>

#include "device/Arguments.h"
#include "params/ParamGrid.h"
#include "stage/SweepFiles.h"

namespace karvo::device {

namespace {

struct SweepEntry {
  const char* Word;
  SweepKind Kind;
  const char* Extension;
};

constexpr SweepEntry kSweeps[] = {{"calibrate", SweepKind::Calibrate, CALIBRATION_EXTENSION},
                                  {"verify", SweepKind::Verify, VERIFICATION_EXTENSION},
                                  {"home", SweepKind::Home, nullptr},
                                  {"end", SweepKind::End, nullptr}};

struct FlashEntry {
  const char* Word;
  FlashOperation Operation;
};

constexpr FlashEntry kFlashes[] = {{"store", FlashOperation::Store},
                                   {"restore", FlashOperation::Restore},
                                   {"factory", FlashOperation::Factory}};

const SweepEntry& EntryOf(SweepKind kind) {
  return *std::find_if(std::begin(kSweeps), std::end(kSweeps),
                       [kind](const SweepEntry& e) { return e.Kind == kind; });
}

}  // namespace

const char* const SWEEP_CHOICES = "calibrate, verify, home or end";
const char* const FLASH_CHOICES = "store, restore or factory";

std::optional<SweepKind> SweepKindNamed(std::string_view word) {
  for (const SweepEntry& e : kSweeps) {
    if (SameLetters(word, e.Word)) return e.Kind;
  }
  return std::nullopt;
}

const char* SweepWord(SweepKind kind) {
  return EntryOf(kind).Word;
}

const char* SweepExtension(SweepKind kind) {
  return EntryOf(kind).Extension;
}

std::string DefaultSweepFile(SweepKind kind, uint16_t serialNumber) {
  const char* extension = SweepExtension(kind);
  return extension ? std::to_string(serialNumber) + extension : std::string();
}

std::optional<FlashOperation> FlashOperationNamed(std::string_view word) {
  for (const FlashEntry& e : kFlashes) {
    if (SameLetters(word, e.Word)) return e.Operation;
  }
  return std::nullopt;
}

const char* FlashWord(FlashOperation operation) {
  for (const FlashEntry& e : kFlashes) {
    if (e.Operation == operation) return e.Word;
  }
  return "";
}

std::optional<uint32_t> RunModeNamed(std::string_view name) {
  for (uint32_t mode : {RUN_LINE, RUN_NONLINE, RUN_TEMPERATURE, RUN_PULSE}) {
    if (SameLetters(name, RunModeName(mode))) return mode;
  }
  return std::nullopt;
}

uint32_t HeldRunMode(const TParamSet& read) {
  return RunModeOfRegister(read[ROW_MODE_OF_RUN].Value);
}

Result ReadHeldRunMode(Sensor& sensor, uint32_t& runMode) {
  TPARAMVALUE held;
  Result r = sensor.ReadParameter(ROW_MODE_OF_RUN, held);
  runMode = RunModeOfRegister(held.Value);
  return r;
}

Result WriteParameterSet(Sensor& sensor, const TParamSet& values, bool force,
                         const CancelToken* cancel, std::vector<int>* failedRows) {
  WriteSetOptions options;
  options.Refused = force ? RefusedValues::Force : RefusedValues::RefuseSet;
  options.Cancel = cancel;
  return sensor.WriteParameters(values, options, failedRows);
}

}  // namespace karvo::device

// Moving parameter values between the two value sets and the sensor: single rows, all
// rows, compare, and the sensor's flash commands, with the grid menu's handlers.
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "app/Session.h"

namespace karvo {

namespace {

constexpr int PROGRESS_LAST_ROW = PARAM_COUNT - 1;
constexpr char CR = '\r';

bool ValidRow(int row) {
  return row >= 0 && row < PARAM_COUNT;
}
bool IsText(int row) {
  return ParamTable[row].Kind == KIND_TEXT;
}

bool SameValue(int row, const TPARAMVALUE& written, const TPARAMVALUE& read) {
  return IsText(row) ? written.Text == read.Text : written.Value == read.Value;
}

std::string ValueText(int row, const TPARAMVALUE& v) {
  return IsText(row) ? v.Text : std::to_string(static_cast<int32_t>(v.Value));
}

std::string DifferenceLine(int row, const TPARAMVALUE& written, const TPARAMVALUE& read) {
  return std::string("'") + ParamTable[row].Name + "': " + "Write=" + ValueText(row, written) +
         ", " + "Read=" + ValueText(row, read) + ".";
}

void CopyRow(int row, const TPARAMVALUE& from, TPARAMVALUE& to) {
  if (IsText(row)) {
    to.Text = from.Text;
  } else {
    to.Value = from.Value;
  }
}

// Store and factory writes differ only in the code they send.
void FlashWrite(TSession& s, uint8_t code) {
  if (!s.SensorLink) return;
  s.SensorStatus = s.SensorLink->FlashControl(s.DeviceAddress, code);
  if (s.SensorStatus != ST_OK) {
    s.Person.Message("Write ERROR", CAPTION_DOT, TIcon::Stop);
  } else {
    s.Person.Message("    Write OK", CAPTION_DOT, TIcon::None);
  }
  s.LastStatus = s.SensorStatus.load();
}

int BaudItemIndex(uint32_t baud) {
  for (int i = 0; i < BAUD_ITEM_COUNT; ++i) {
    if (std::stoul(BaudItems[i]) == baud) return i;
  }
  return -1;
}

}  // namespace

void TSession::LoadParameter(int row) {
  if (!SensorLink || !ValidRow(row)) return;
  const TPARAMETR& p = ParamTable[row];
  const TPARAMVALUE& v = ParamWrite[row];
  const std::vector<uint8_t> image = RegisterImage(row, v);
  const uint32_t written = SensorLink->WriteRegisters(
      DeviceAddress, static_cast<uint8_t>(p.Address), p.Size, image.data());
  SensorStatus = written;

  // The program follows what the sensor was sent (only the low bytes travel), even when the
  // write failed.
  switch (row) {
    case ROW_ADDRESS:
      DeviceAddress = static_cast<uint8_t>(v.Value);
      View.AddressIndex =
          DeviceAddress >= 1 && DeviceAddress <= ADDRESS_ITEM_COUNT ? DeviceAddress - 1 : -1;
      break;
    case ROW_BAUD: {
      LinkBaud = (v.Value & 0xFF) * 2400;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      OpenSensorPort();
      const int index = BaudItemIndex(LinkBaud);
      if (index >= 0) View.BaudIndex = index;
      break;
    }
    case ROW_DEVICE_TYPE:
      View.LabelModel = std::to_string(v.Value & 0xFF);
      break;
    case ROW_SERIAL:
      View.LabelSerNum = std::to_string(v.Value & 0xFFFF);
      break;
    case ROW_BASE:
      BaseDistance = static_cast<int16_t>(v.Value & 0xFFFF);
      View.LabelBase = std::to_string(BaseDistance) + " mm";
      break;
    case ROW_RANGE:
      MeasuringRange = static_cast<int16_t>(v.Value & 0xFFFF);
      View.LabelRange = std::to_string(MeasuringRange) + " mm";
      break;
    default:
      break;
  }

  // A successful reopen after the baud row must not hide a failed write.
  if (written != ST_OK) SensorStatus = written;
  LastStatus = SensorStatus.load();
}

bool TSession::ReadParameter(int row) {
  if (!SensorLink || !ValidRow(row)) return false;
  const TPARAMETR& p = ParamTable[row];
  // Read into a block of our own: a read that fails half-way leaves ParamRead as it was
  // rather than mixing old and new bytes.
  uint8_t block[100] = {};
  SensorStatus =
      SensorLink->ReadRegisters(DeviceAddress, static_cast<uint8_t>(p.Address), p.Size, block);
  const bool ok = SensorStatus == ST_OK;
  if (ok) TakeRegisterImage(row, block, ParamRead[row]);
  LastStatus = SensorStatus.load();
  return ok;
}

bool TSession::CompareParameter(int row) {
  if (!ReadParameter(row)) return false;
  return SameValue(row, ParamWrite[row], ParamRead[row]);
}

void TSession::LoadAllParameters() {
  if (!SensorLink) return;
  SetProgress(PROGRESS_LAST_ROW, View.ProgressPos);
  // Highest row first: the address (row 3) and baud rate (row 2) change before rows 1 and
  // 0, which then go to the new settings.
  for (int k = 1; k <= PARAM_COUNT; ++k) {
    LoadParameter(PARAM_COUNT - k);
    SetProgress(PROGRESS_LAST_ROW, k);
  }
}

bool TSession::ReadAllParameters() {
  if (!SensorLink) return false;
  SetProgress(PROGRESS_LAST_ROW, View.ProgressPos);
  bool ok = true;
  for (int i = 0; i < PARAM_COUNT && ok; ++i) {
    ok = ReadParameter(i);
    SetProgress(PROGRESS_LAST_ROW, i);
  }
  return ok;
}

bool TSession::CompareAllParameters() {
  if (!ReadAllParameters()) return false;
  for (int i = 0; i < PARAM_COUNT; ++i) {
    if (!SameValue(i, ParamWrite[i], ParamRead[i])) return false;
  }
  return true;
}

void TSession::AdoptReadValues() {
  for (int i = 0; i < PARAM_COUNT; ++i) CopyRow(i, ParamRead[i], ParamWrite[i]);
}

void TSession::WriteToFlash() {
  FlashWrite(*this, FLASH_STORE);
}

void TSession::WriteToFactory() {
  FlashWrite(*this, FLASH_FACTORY);
}

void TSession::RestoreFactory() {
  if (!SensorLink) return;
  SensorStatus = SensorLink->FlashControl(DeviceAddress, FLASH_RESTORE);
  if (SensorStatus != ST_OK) {
    Person.Message("Restore ERROR", CAPTION_DOT, TIcon::Stop);
    LastStatus = SensorStatus.load();
    return;
  }
  // A sensor holding its factory parameters talks at 9600 baud on address 1.
  View.BaudIndex = 2;
  View.AddressIndex = 0;
  ComboBoxWorkBaundChange();
  ComboBoxWorkCodeDevChange();
  // A failed read keeps its status in LastStatus so that the watchdog reports it; the
  // restore itself succeeded, but the operator must not be told that all went well.
  if (!ReadAllParameters()) return;
  AdoptReadValues();
  FillParamGrid();
  Person.Message("  Restore OK", CAPTION_DOT, TIcon::None);
}

std::string TSession::CompareMessage(int row) {
  if (!ValidRow(row)) return "Ok!";
  // Compared whatever LastStatus says: "Ok!" only after a read that matched.
  if (CompareParameter(row)) return "Ok!";
  return std::string("Parameters '") + ParamTable[row].Name + "' not equal:" + CR +
         DifferenceLine(row, ParamWrite[row], ParamRead[row]);
}

std::string TSession::CompareAllMessage() {
  if (CompareAllParameters()) return "Ok!";
  std::string text = "Parameters not equal:";
  for (int i = 0; i < PARAM_COUNT; ++i) {
    if (!SameValue(i, ParamWrite[i], ParamRead[i])) {
      text += CR + DifferenceLine(i, ParamWrite[i], ParamRead[i]);
    }
  }
  return text;
}

void TSession::PopupMenuLoadClick() {
  LoadParameter(SelParam);
}

void TSession::PopupMenuReadClick() {
  if (!ReadParameter(SelParam)) return;
  CopyRow(SelParam, ParamRead[SelParam], ParamWrite[SelParam]);
  FillParamGrid();
}

void TSession::PopupMenuCompareClick() {
  if (!SensorLink) return;
  Person.Message(CompareMessage(SelParam), CAPTION, TIcon::Warning);
}

void TSession::PopupMenuLoadAllClick() {
  LoadAllParameters();
}

void TSession::PopupMenuReadAllClick() {
  if (!ReadAllParameters()) return;
  AdoptReadValues();
  FillParamGrid();
}

void TSession::PopupMenuCompareAllClick() {
  if (!SensorLink) return;
  Person.Message(CompareAllMessage(), CAPTION, TIcon::Warning);
}

void TSession::PopupMenuFLASHClick() {
  if (!SensorLink) return;
  if (!Person.Confirm("Parameters writing to FLASH. Are you sure? ", CAPTION_DOT)) return;
  WriteToFlash();
  if (ReadAllParameters()) AdoptReadValues();
  FillParamGrid();
}

void TSession::PopupMenuDefaultClick() {
  if (!SensorLink) return;
  if (!Person.Confirm("Restore factory parameters to FLASH?", CAPTION_DOT)) return;
  RestoreFactory();
  FillParamGrid();
}

void TSession::PopupMenuFactoryClick() {
  if (!SensorLink) return;
  if (!Person.Confirm("Parameters writing to factory. Are you sure? ", CAPTION_DOT)) return;
  WriteToFactory();
  RestoreFactory();
  FillParamGrid();
  SaveParamFile();
}

}  // namespace karvo

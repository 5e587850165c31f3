// Moving parameter values between the two value sets and the sensor: single rows, all
// rows, compare, and the sensor's flash commands, with the grid menu's handlers.
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/Session.h"
#include "params/ValueCheck.h"

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
void FlashWrite(TSession& s, device::FlashOperation operation) {
  if (!s.Device) return;
  s.SensorStatus = s.Device->Flash(operation).Status;
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
  if (!Device || !ValidRow(row)) return;
  // Sent as it stands: the program's own values (a sweep's averaging off) lie outside what an
  // operator may set; the menu's loads check theirs first.
  AfterRowWritten(row, Device->WriteParameterAsIs(row, ParamWrite[row]));
}

void TSession::AfterRowWritten(int row, const device::Result& written) {
  const TPARAMVALUE& v = ParamWrite[row];
  SensorStatus = written.Status;
  if (written) {
    ParamInSensor[row] = v;
    if (static_cast<size_t>(row) < View.Grid.size()) View.Grid[row].Edited = false;
  }
  // The sensor's link follows rows 2 and 3 (rate and address) even when the write failed; the
  // selectors follow the link.
  switch (row) {
    case ROW_ADDRESS: {
      const uint8_t address = DeviceAddress();
      View.AddressIndex = address >= 1 && address <= ADDRESS_ITEM_COUNT ? address - 1 : -1;
      break;
    }
    case ROW_BAUD: {
      if (!Device->IsOpen()) ShowOpenError();
      const int index = BaudItemIndex(LinkBaud());
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
      View.LabelRange = std::to_string(MeasuringRange()) + " mm";
      break;
    default:
      break;
  }
  LastStatus = SensorStatus.load();
}

void TSession::LoadCheckedRows(const std::vector<int>& rows) {
  if (!Device) return;
  std::string refused;
  device::WriteSetOptions options;
  options.Refused = device::RefusedValues::SendFitting;
  options.Rows = rows;
  options.Cancel = &Cancel;
  options.RowDone = [&](int row, const device::Result& outcome) {
    if (outcome.Status == device::ST_BAD_VALUE) {
      // The box is 8-bit text like the row names; the device layer's reasons are UTF-8.
      refused +=
          CR + std::string("'") + ParamTable[row].Name + "': " + Utf8ToCp1251(outcome.Reason);
    } else {
      AfterRowWritten(row, outcome);
    }
    if (rows.size() != 1) SetProgress(PROGRESS_LAST_ROW, PARAM_COUNT - row);
  };
  Device->WriteParameters(ParamWrite, options);
  if (!refused.empty()) Person.Message(VALUES_NOT_SENT_TEXT + refused, CAPTION, TIcon::Warning);
}

bool TSession::ReadParameter(int row) {
  if (!Device || !ValidRow(row)) return false;
  // A read that fails half-way leaves ParamRead as it was.
  SensorStatus = Device->ReadParameter(row, ParamRead[row]).Status;
  LastStatus = SensorStatus.load();
  if (LastStatus == ST_OK) ParamInSensor[row] = ParamRead[row];
  return LastStatus == ST_OK;
}

bool TSession::ReadAllParameters() {
  if (!Device) return false;
  SetProgress(PROGRESS_LAST_ROW, View.ProgressPos);
  int done = 0;
  const device::Result read =
      Device->ReadParameters(ParamRead, &Cancel, [this, &done](int rowsDone, int) {
        done = rowsDone;
        SetProgress(PROGRESS_LAST_ROW, rowsDone - 1);
      });
  for (int row = 0; row < done; ++row) ParamInSensor[row] = ParamRead[row];
  // A cancel ends the read as a failure that the watchdog does not see: nothing went wrong
  // on the line.
  if (read.Cancelled()) return false;
  // The bar stands at the row that failed.
  if (!read) SetProgress(PROGRESS_LAST_ROW, done);
  SensorStatus = read.Status;
  LastStatus = SensorStatus.load();
  return read.Ok();
}

bool TSession::CompareParameter(int row) {
  if (!Device || !ValidRow(row)) return false;
  bool equal = false;
  const device::Result compared =
      Device->CompareParameter(row, ParamWrite[row], ParamRead[row], equal);
  SensorStatus = compared.Status;
  LastStatus = SensorStatus.load();
  if (compared) ParamInSensor[row] = ParamRead[row];
  return compared && equal;
}

void TSession::LoadAllParameters() {
  if (!Device) return;
  SetProgress(PROGRESS_LAST_ROW, View.ProgressPos);
  LoadCheckedRows({});
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
  FlashWrite(*this, device::FlashOperation::Store);
}

void TSession::WriteToFactory() {
  FlashWrite(*this, device::FlashOperation::Factory);
}

void TSession::RestoreFactory() {
  if (!Device) return;
  SensorStatus = Device->Flash(device::FlashOperation::Restore).Status;
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

std::optional<std::string> TSession::CompareMessage(int row) {
  if (!ValidRow(row)) return "Ok!";
  // Compared whatever LastStatus says: "Ok!" only after a read that matched.
  const bool equal = CompareParameter(row);
  if (LastStatus != ST_OK) return std::nullopt;
  if (equal) return "Ok!";
  return std::string("Parameters '") + ParamTable[row].Name + "' not equal:" + CR +
         DifferenceLine(row, ParamWrite[row], ParamRead[row]);
}

std::optional<std::string> TSession::CompareAllMessage() {
  if (!Device) return std::nullopt;
  SetProgress(PROGRESS_LAST_ROW, View.ProgressPos);
  std::vector<device::ParameterDifference> differences;
  int done = 0;
  const device::Result compared = Device->CompareParameters(
      ParamWrite, ParamRead, differences, &Cancel, [this, &done](int rowsDone, int) {
        done = rowsDone;
        SetProgress(PROGRESS_LAST_ROW, rowsDone - 1);
      });
  for (int row = 0; row < done; ++row) ParamInSensor[row] = ParamRead[row];
  if (compared.Cancelled()) return std::nullopt;
  if (!compared) SetProgress(PROGRESS_LAST_ROW, done);
  SensorStatus = compared.Status;
  LastStatus = SensorStatus.load();
  if (!compared) return std::nullopt;
  if (differences.empty()) return "Ok!";
  std::string text = "Parameters not equal:";
  for (const device::ParameterDifference& d : differences)
    text += CR + DifferenceLine(d.Row, d.Expected, d.Read);
  return text;
}

void TSession::PopupMenuLoadClick() {
  if (ValidRow(SelParam)) LoadCheckedRows({SelParam});
}

void TSession::PopupMenuReadClick() {
  if (!ReadParameter(SelParam)) return;
  CopyRow(SelParam, ParamRead[SelParam], ParamWrite[SelParam]);
  FillParamGrid();
}

void TSession::PopupMenuCompareClick() {
  if (!Device) return;
  // A failed read is left to the watchdog's "No answer."
  if (const auto text = CompareMessage(SelParam)) Person.Message(*text, CAPTION, TIcon::Warning);
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
  if (!Device) return;
  if (const auto text = CompareAllMessage()) Person.Message(*text, CAPTION, TIcon::Warning);
}

void TSession::PopupMenuFLASHClick() {
  if (!Device) return;
  if (!Person.Confirm("Parameters writing to FLASH. Are you sure? ", CAPTION_DOT)) return;
  WriteToFlash();
  if (ReadAllParameters()) AdoptReadValues();
  FillParamGrid();
}

void TSession::PopupMenuDefaultClick() {
  if (!Device) return;
  if (!Person.Confirm("Restore factory parameters to FLASH?", CAPTION_DOT)) return;
  RestoreFactory();
  FillParamGrid();
}

void TSession::PopupMenuFactoryClick() {
  if (!Device) return;
  if (!Person.Confirm("Parameters writing to factory. Are you sure? ", CAPTION_DOT)) return;
  WriteToFactory();
  // The restore would put the old factory set over the working set: after a failed factory
  // write there is nothing to go on with.
  if (LastStatus != ST_OK) return;
  RestoreFactory();
  FillParamGrid();
  SaveParamFile();
}

}  // namespace karvo

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
  s.Device->SetAddress(s.DeviceAddress);
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
  const TPARAMVALUE& v = ParamWrite[row];
  // Sent as it stands: the program's own values (a sweep's averaging off) lie outside what an
  // operator may set; the menu's loads check theirs first. The link follows rows 2 and 3
  // (rate and address) even when the write failed.
  const device::Result written = Dev().WriteParameterAsIs(row, v);
  SensorStatus = written.Status;
  if (written) {
    ParamInSensor[row] = v;
    if (static_cast<size_t>(row) < View.Grid.size()) View.Grid[row].Edited = false;
  }

  switch (row) {
    case ROW_ADDRESS:
      DeviceAddress = Device->Address();
      View.AddressIndex =
          DeviceAddress >= 1 && DeviceAddress <= ADDRESS_ITEM_COUNT ? DeviceAddress - 1 : -1;
      break;
    case ROW_BAUD: {
      LinkBaud = Device->Settings().Baud;
      LinkRequest = PortItemLink(PortName, LinkBaud);
      if (!Device->IsOpen()) ShowOpenError();
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

  LastStatus = SensorStatus.load();
}

void TSession::LoadCheckedRows(const std::vector<int>& rows) {
  std::string refused;
  for (int row : rows) {
    if (Cancel.Cancelled()) break;
    const std::string problem = ValueProblem(row, ParamWrite[row], MeasuringRange);
    if (problem.empty()) {
      LoadParameter(row);
    } else {
      refused += CR + std::string("'") + ParamTable[row].Name + "': " + problem;
    }
    if (rows.size() > 1) SetProgress(PROGRESS_LAST_ROW, PARAM_COUNT - row);
  }
  if (!refused.empty()) Person.Message(VALUES_NOT_SENT_TEXT + refused, CAPTION, TIcon::Warning);
}

bool TSession::ReadParameter(int row) {
  if (!Device || !ValidRow(row)) return false;
  // A read that fails half-way leaves ParamRead as it was.
  SensorStatus = Dev().ReadParameter(row, ParamRead[row]).Status;
  LastStatus = SensorStatus.load();
  if (LastStatus == ST_OK) ParamInSensor[row] = ParamRead[row];
  return LastStatus == ST_OK;
}

bool TSession::CompareParameter(int row) {
  if (!ReadParameter(row)) return false;
  return SameValue(row, ParamWrite[row], ParamRead[row]);
}

void TSession::LoadAllParameters() {
  if (!Device) return;
  SetProgress(PROGRESS_LAST_ROW, View.ProgressPos);
  // Highest row first: the address (row 3) and baud rate (row 2) change before rows 1 and
  // 0, which then go to the new settings.
  std::vector<int> rows;
  for (int k = 1; k <= PARAM_COUNT; ++k) rows.push_back(PARAM_COUNT - k);
  LoadCheckedRows(rows);
}

bool TSession::ReadAllParameters() {
  if (!SensorLink) return false;
  SetProgress(PROGRESS_LAST_ROW, View.ProgressPos);
  bool ok = true;
  for (int i = 0; i < PARAM_COUNT && ok; ++i) {
    // A cancel ends the read as a failure that the watchdog does not see: nothing went wrong
    // on the line.
    if (Cancel.Cancelled()) return false;
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
  FlashWrite(*this, device::FlashOperation::Store);
}

void TSession::WriteToFactory() {
  FlashWrite(*this, device::FlashOperation::Factory);
}

void TSession::RestoreFactory() {
  if (!Device) return;
  SensorStatus = Dev().Flash(device::FlashOperation::Restore).Status;
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
  if (!ReadParameter(row)) return std::nullopt;
  if (SameValue(row, ParamWrite[row], ParamRead[row])) return "Ok!";
  return std::string("Parameters '") + ParamTable[row].Name + "' not equal:" + CR +
         DifferenceLine(row, ParamWrite[row], ParamRead[row]);
}

std::optional<std::string> TSession::CompareAllMessage() {
  if (!ReadAllParameters()) return std::nullopt;
  std::string text = "Parameters not equal:";
  bool differs = false;
  for (int i = 0; i < PARAM_COUNT; ++i) {
    if (!SameValue(i, ParamWrite[i], ParamRead[i])) {
      text += CR + DifferenceLine(i, ParamWrite[i], ParamRead[i]);
      differs = true;
    }
  }
  return differs ? text : "Ok!";
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
  if (!SensorLink) return;
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
  if (!SensorLink) return;
  if (const auto text = CompareAllMessage()) Person.Message(*text, CAPTION, TIcon::Warning);
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
  // The restore would put the old factory set over the working set: after a failed factory
  // write there is nothing to go on with.
  if (LastStatus != ST_OK) return;
  RestoreFactory();
  FillParamGrid();
  SaveParamFile();
}

}  // namespace karvo

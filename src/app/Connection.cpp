// The connection manager: port, baud rate and address selectors, Connect/Disconnect, and
// the watchdog that tears the connection down when the sensor stops answering.
#include <string>

#include "app/Session.h"

namespace karvo {

namespace {

constexpr const char* RAST_IDLE = "0.000 mm";

// Enabling the fold timer only toggles the window. Teardown after a connect that failed
// before unfolding, or during a stream, would then unfold a disconnected window, so the
// direction is set explicitly.
void StartFold(TSession& s, bool expand) {
  s.ExpandNext = expand;
  s.View.TimerMore = true;
}

// The port's reason for its last failure as a further line of a box, a sentence like the
// box's others; nothing when the port knows none.
std::string ReasonLine(const std::string& utf8) {
  std::string reason = Utf8ToCp1251(utf8);
  if (reason.empty()) return "";
  if (reason[0] >= 'a' && reason[0] <= 'z') reason[0] = static_cast<char>(reason[0] - 'a' + 'A');
  if (reason.back() != '.') reason += '.';
  return "\r" + reason;
}

}  // namespace

void TSession::ComboBoxCOMChange() {
  Reconfigure([this](device::SensorSettings& settings) { settings.Port = View.PortText; });
}

void TSession::ComboBoxWorkBaundChange() {
  if (!Device || View.BaudIndex < 0 || View.BaudIndex >= BAUD_ITEM_COUNT) return;
  Reconfigure([this](device::SensorSettings& settings) {
    settings.Baud = static_cast<uint32_t>(std::stoul(BaudItems[View.BaudIndex]));
  });
  OpenSensorPort();
}

void TSession::ComboBoxWorkCodeDevChange() {
  if (!Device || View.AddressIndex < 0 || View.AddressIndex >= ADDRESS_ITEM_COUNT) return;
  Device->SetAddress(static_cast<uint8_t>(View.AddressIndex + 1));
}

bool TSession::OpenSensorPort() {
  if (!Device) return false;
  // A reopen (baud change) must not pull the port from under the streaming worker.
  if (StreamActive) StopStreamForced();
  Reconfigure([this](device::SensorSettings& settings) { settings.SysfsRoot = SysfsRoot; });
  const device::Result opened = Device->Open(Device->Settings());
  SensorStatus = opened.Status;
  if (!opened) {
    ShowOpenError();
    return false;
  }
  return true;
}

void TSession::ShowOpenError() {
  Person.Message("Error opening " + PortName() + "." + "\r" +
                     "Port already in use or not available." + ReasonLine(Device->LastReason()),
                 CAPTION, TIcon::Exclamation);
  View.ButtonMeasureEnabled = false;
}

void TSession::CloseSensorPort() {
  if (!Device) return;
  Device->Close();
  SensorStatus = ST_OK;
}

bool TSession::IdentifySensor() {
  if (!Device) return false;
  // A sensor left streaming by another program is stopped and asked again.
  SensorStatus = Device->Identify(DeviceIdentity).Status;
  if (SensorStatus == ST_OK) {
    View.LabelModel = std::to_string(DeviceIdentity.DeviceType);
    View.LabelRelease = std::to_string(DeviceIdentity.Release);
    View.LabelSerNum = std::to_string(DeviceIdentity.SerialNumber);
    BaseDistance = DeviceIdentity.BaseDistance;
    View.LabelBase = std::to_string(BaseDistance) + " mm";
    View.LabelRange = std::to_string(MeasuringRange()) + " mm";
  }
  LastStatus = SensorStatus.load();
  return LastStatus == ST_OK;
}

void TSession::ButtonConnectClick() {
  if (!Device) return;
  View.SeriesOsc.Clear();
  DropProgressFooter();
  View.TimerAnswer = false;

  if (View.ButtonConnectTag == 0) {
    if (!OpenSensorPort()) return;
    if (View.TimerMore) return;
    if (!IdentifySensor()) {
      Person.Message("No answer. Please change parameters." + ReasonLine(Device->LastReason()),
                     CAPTION, TIcon::Stop);
      return;
    }
    View.TimerAnswer = true;
    // A failed read leaves LastStatus set; the watchdog's next tick tears down. A cancelled
    // one leaves the window as it was before the click.
    if (!ReadAllParameters()) {
      if (Cancel.Cancelled()) {
        View.TimerAnswer = false;
        CloseSensorPort();
      }
      return;
    }
    View.GridEnabled = true;
    StartFold(*this, true);
    View.ButtonConnectTag = 1;
    View.ButtonConnectCaption = "Disconnect";
    AdoptReadValues();
    FillParamGrid();
    View.ButtonMeasureEnabled = true;
    View.ButtonStreamEnabled = true;
    View.ButtonZeroEnabled = true;
    View.LabelRastEnabled = true;
    View.WriteToFactoryVisible = true;
    View.MotorComVisible = true;
    return;
  }

  if (View.TimerMore) {
    // The click is ignored, so the connection keeps its watchdog.
    View.TimerAnswer = true;
    return;
  }
  StartFold(*this, false);
  View.ButtonConnectTag = 0;
  View.ButtonConnectCaption = "Connect";
  ShowDisconnectedLook();
  if (StreamActive) StopStreamForced();
  CloseSensorPort();
  CloseMotorPort();
  View.ButtonMeasureEnabled = false;
  View.ButtonStreamEnabled = false;
  View.ButtonZeroEnabled = false;
  View.LabelRastEnabled = false;
  View.LabelRast = RAST_IDLE;
}

void TSession::TimerAnswerTimer() {
  // A tick queued before the timer was stopped must not act.
  if (!Device || !View.TimerAnswer) return;
  if (LastStatus == ST_OK) return;
  NoAnswerTeardown();
}

void TSession::NoAnswerTeardown() {
  if (!Device) return;
  StartFold(*this, false);
  View.TimerAnswer = false;
  View.TimerMain = false;
  View.ButtonMeasureEnabled = false;
  View.ButtonStreamEnabled = false;
  View.ButtonZeroEnabled = false;
  View.ButtonConnectEnabled = true;
  View.ButtonConnectTag = 0;
  View.ButtonStreamCaption = "Stream start";
  View.ButtonConnectCaption = "Connect";
  View.ButtonMeasureCaption = "Measure";
  View.ButtonMeasureTag = 0;
  // The run's points stay for export; its progress line does not.
  DropProgressFooter();
  ShowDisconnectedLook();
  if (StreamActive) StopStreamForced();
  CloseSensorPort();
  CloseMotorPort();
  View.LabelRastEnabled = false;
  View.LabelRast = RAST_IDLE;
  // Read only now: the streaming worker, which fails on the same port, has been joined.
  Person.Message("No answer." + ReasonLine(Device->LastReason()), CAPTION, TIcon::Stop);
}

}  // namespace karvo

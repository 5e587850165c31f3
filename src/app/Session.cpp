// The main window's life: creation defaults, the fold animation, and a close after which
// nothing can reach the sensor link any more.
#include "app/Session.h"

#include <algorithm>

namespace karvo {

const char* const BaudItems[BAUD_ITEM_COUNT] = {"2400",  "4800",  "9600",   "14400",  "19200",
                                                "38400", "57600", "115200", "230400", "460800"};

namespace {
constexpr const char* RAST_IDLE = "0.000 mm";
}  // namespace

TSession::TSession(TOperator& person)
    : Person(person),
      StageDevice(std::make_unique<device::Stage>()),
      Device(std::make_unique<device::Sensor>()) {
  StageHooks = &StageRun;
  // A window Cancel ends a row of many registers too, not only a run of rows.
  Device->SetCancelToken(&Cancel);
  FormCreate();
}

TSession::~TSession() {
  FormClose();
  // A stream stopped without a join (or never stopped) must not outlive the session.
  StreamActive = false;
  Stream.Join();
}

std::string TSession::PortName() const {
  return Device ? Device->Settings().Port : std::string();
}

uint32_t TSession::LinkBaud() const {
  return Device ? Device->Settings().Baud : 0;
}

uint8_t TSession::DeviceAddress() const {
  return Device ? Device->Address() : 0;
}

int16_t TSession::MeasuringRange() const {
  return Device ? Device->MeasuringRange() : 0;
}

std::string TSession::MotorPortName() const {
  return StageDevice ? StageDevice->Port() : std::string();
}

void TSession::Reconfigure(const std::function<void(device::SensorSettings&)>& change) {
  if (!Device) return;
  device::SensorSettings settings = Device->Settings();
  change(settings);
  Device->Configure(settings);
}

void TSession::FormCreate() {
  Reconfigure([this](device::SensorSettings& settings) {
    settings.Port = "COM1";
    settings.Baud = 9600;
    settings.Address = 1;
    settings.SysfsRoot = SysfsRoot;
  });
  SelParam = 0;
  ZeroRequest = false;
  ExpandedHeight = EXPANDED_HEIGHT;

  View.ButtonConnectTag = 0;
  View.Height = FOLDED_HEIGHT;
  View.TimerMore = false;
  View.TimerAnswer = false;
  View.TimerMain = false;
  View.ButtonMeasureEnabled = false;
  View.ButtonStreamEnabled = false;
  View.ButtonZeroEnabled = false;
  ExpandNext = true;
  View.AddressIndex = 0;
  for (int i = 0; i < PARAM_COUNT; ++i) {
    ParamWrite[i] = TPARAMVALUE{};
    ParamRead[i] = TPARAMVALUE{};
    ParamInSensor[i] = TPARAMVALUE{};
  }
  LastStatus = ST_OK;
  View.LabelRastEnabled = false;
  View.LabelRast = RAST_IDLE;
  View.PortText = "COM1";
}

void TSession::FormResize() {
  ExpandedHeight = EXPANDED_HEIGHT;
}

void TSession::FormClose() {
  // Timers first: no tick may reach the link while it is being taken down.
  View.TimerMore = false;
  View.TimerAnswer = false;
  View.TimerMain = false;
  if (!Device) return;
  if (StreamActive) StopStreamForced();
  CloseSensorPort();
  CloseMotorPort();
  Device.reset();
  StageDevice.reset();
}

void TSession::TimerMoreTimer() {
  if (!Device) return;
  if (ExpandNext) {
    if (View.Height < ExpandedHeight) {
      View.Height = std::min(View.Height + FOLD_STEP, static_cast<int>(ExpandedHeight));
    } else {
      ExpandNext = false;
      View.TimerMore = false;
    }
  } else {
    if (View.Height > FOLDED_HEIGHT) {
      View.Height = std::max(View.Height - FOLD_STEP, FOLDED_HEIGHT);
    } else {
      ExpandNext = true;
      View.TimerMore = false;
    }
  }
}

void TSession::FinishFold(bool expanded) {
  // A fold the session turned round meanwhile is not this one.
  if (!View.TimerMore || ExpandNext != expanded) return;
  for (int step = 0; step < EXPANDED_HEIGHT / FOLD_STEP + 2 && View.TimerMore; ++step)
    TimerMoreTimer();
}

void TSession::StopStreamForced() {
  const bool wasActive = StreamActive.exchange(false);
  if (!wasActive || !Device) {
    Stream.Join();
    if (wasActive) View.GridEnabled = true;
    return;
  }
  // The grid was locked for the stream only.
  View.GridEnabled = true;
  // The worker is joined before the stop goes out.
  SensorStatus = Device->StopStream(Stream, StreamActive, 2).Status;
}

void TSession::SetProgress(int max, int pos) {
  View.ProgressMax = max;
  View.ProgressPos = pos;
  Person.Refresh();
}

void TSession::ShowDisconnectedLook() {
  View.LabelModel = "none";
  View.LabelRelease = "none";
  View.LabelSerNum = "none";
  View.LabelBase = "none mm";
  View.LabelRange = "none mm";
  View.MotorComVisible = false;
}

}  // namespace karvo

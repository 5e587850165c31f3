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
      Device(std::make_unique<device::Sensor>()),
      MotorInterface(&StageDevice->Link()),
      SensorLink(&Device->Link()) {
  StageHooks = &StageRun;
  FormCreate();
}

TSession::~TSession() {
  FormClose();
  // A stream stopped without a join (or never stopped) must not outlive the session.
  StreamActive = false;
  Stream.Join();
}

void TSession::FormCreate() {
  PortName = "COM1";
  LinkBaud = 9600;
  DeviceAddress = 1;
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
  if (!SensorLink) return;
  if (StreamActive) StopStreamForced();
  CloseSensorPort();
  CloseMotorPort();
  MotorInterface->Close();
  SensorLink->Close();
  SensorLink = nullptr;
  MotorInterface = nullptr;
  Device.reset();
  StageDevice.reset();
}

void TSession::TimerMoreTimer() {
  if (!SensorLink) return;
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
  // The worker ends after its current read; it has to be gone before this thread writes to
  // the link or closes it.
  Stream.Join();
  if (!wasActive) return;
  // The grid was locked for the stream only.
  View.GridEnabled = true;
  if (!SensorLink) return;
  SensorStatus = SensorLink->StopStream(DeviceAddress);
  SensorStatus = SensorLink->StopStream(DeviceAddress);
}

device::Sensor& TSession::Dev() {
  Device->SetAddress(DeviceAddress);
  return *Device;
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

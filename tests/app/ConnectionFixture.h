// A session wired to a simulated sensor on a pseudo-terminal, with a scripted operator, and
// what the simulator was sent, decoded.
#pragma once

#include <gmock/gmock.h>

#include <chrono>
#include <sstream>
#include <thread>

#include "app/Session.h"
#include "sim/SensorSim.h"
#include "support/FastSensor.h"
#include "support/ScriptedOperator.h"

namespace karvo::test {

// Each request as {address, command, payload bytes...}. The simulator reads on its own
// thread, so a request without an answer may still be on its way when the call that sent it
// returns: wait until nothing new comes for a while.
inline std::vector<std::vector<int>> Sent(const sim::TSensorSim& sim) {
  std::vector<std::vector<uint8_t>> frames = sim.Requests();
  for (int quiet = 0, polls = 0; quiet < 4 && polls < 200; ++polls) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::vector<std::vector<uint8_t>> now = sim.Requests();
    quiet = now.size() == frames.size() ? quiet + 1 : 0;
    frames = std::move(now);
  }
  std::vector<std::vector<int>> out;
  for (const auto& frame : frames) {
    std::vector<int>& r = out.emplace_back();
    r = {frame.at(0) & 0x7F, frame.at(1) & 0x0F};
    for (size_t i = 2; i + 1 < frame.size(); i += 2)
      r.push_back((frame[i] & 0x0F) | ((frame[i + 1] & 0x0F) << 4));
  }
  return out;
}

// The messages shown so far, each as "caption icon: text".
inline std::vector<std::string> Boxes(const TScriptedOperator& person) {
  static const char* const icons[] = {"None", "Stop", "Exclamation", "Warning"};
  std::vector<std::string> out;
  for (const TShownMessage& m : person.Messages)
    out.push_back(m.Caption + " " + icons[static_cast<int>(m.Icon)] + ": " + m.Text);
  return out;
}

// Captions of connect, measure and stream; the connect and measure tags; enabled: connect,
// measure, stream, zero, grid, result label; the stage port's visibility; the watchdog and
// measure timers.
inline std::string Buttons(const TMainView& v) {
  std::ostringstream o;
  o << v.ButtonConnectCaption << '/' << v.ButtonMeasureCaption << '/' << v.ButtonStreamCaption
    << ' ' << v.ButtonConnectTag << v.ButtonMeasureTag << ' ' << v.ButtonConnectEnabled
    << v.ButtonMeasureEnabled << v.ButtonStreamEnabled << v.ButtonZeroEnabled << v.GridEnabled
    << v.LabelRastEnabled << v.MotorComVisible << ' ' << v.TimerAnswer << v.TimerMain;
  return o.str();
}

// Ticks the fold timer until it stops itself.
inline void RunFold(TSession& session) {
  for (int ticks = 0; session.View.TimerMore && ticks < 100; ++ticks) session.TimerMoreTimer();
}

// Points a session at a FastSensor simulator, with the selectors showing its link.
inline void UseSensor(TSession& s, const sim::TSensorSim& sim) {
  s.View.PortText = sim.DevicePath();
  s.ComboBoxCOMChange();
  s.View.BaudIndex = 7;
  s.View.AddressIndex = 4;
  s.Device->Configure({sim.DevicePath(), 115200, 5, s.SysfsRoot});
}

class SimSession : public ::testing::Test {
 protected:
  explicit SimSession(const sim::TSensorSimOptions& sensor = FastSensor()) : Sim(sensor) {}
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(Sim.Start(&error)) << error;
    UseSensor(Session, Sim);
  }
  // Connects and lets the window finish unfolding.
  void Connect() {
    Session.ButtonConnectClick();
    ASSERT_EQ(Session.View.ButtonConnectTag, 1) << Person.LastMessage();
    RunFold(Session);
    Sim.ClearRequests();
    Person.Messages.clear();
  }

  TScriptedOperator Person;
  sim::TSensorSim Sim;
  TSession Session{Person};
};

}  // namespace karvo::test

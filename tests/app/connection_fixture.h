// A session wired to a simulated sensor on a pseudo-terminal, with a scripted operator, and
// what the simulator was sent, decoded.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "app/Session.h"
#include "sim/SensorSim.h"
#include "support/ScriptedOperator.h"

namespace karvo::test {

inline constexpr int BAUD_INDEX_9600 = 2;
inline constexpr int BAUD_INDEX_115200 = 7;

struct TRequest {
  uint8_t Address = 0;
  uint8_t Command = 0;
  std::vector<uint8_t> Payload;
};

// The simulator reads on its own thread, so a request without an answer may still be on its
// way when the call that sent it returns: wait until nothing new comes for a while.
inline std::vector<TRequest> Decoded(const sim::TSensorSim& sim) {
  std::vector<std::vector<uint8_t>> frames = sim.Requests();
  for (int quiet = 0, polls = 0; quiet < 4 && polls < 200; ++polls) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::vector<std::vector<uint8_t>> now = sim.Requests();
    quiet = now.size() == frames.size() ? quiet + 1 : 0;
    frames = std::move(now);
  }
  std::vector<TRequest> out;
  for (const auto& frame : frames) {
    TRequest r{
        static_cast<uint8_t>(frame.at(0) & 0x7F), static_cast<uint8_t>(frame.at(1) & 0x0F), {}};
    for (size_t i = 2; i + 1 < frame.size(); i += 2) {
      r.Payload.push_back(static_cast<uint8_t>((frame[i] & 0x0F) | ((frame[i + 1] & 0x0F) << 4)));
    }
    out.push_back(r);
  }
  return out;
}

inline std::vector<int> CommandsSent(const sim::TSensorSim& sim) {
  std::vector<int> out;
  for (const TRequest& r : Decoded(sim)) out.push_back(r.Command);
  return out;
}

inline std::vector<int> RegistersRead(const sim::TSensorSim& sim) {
  std::vector<int> out;
  for (const TRequest& r : Decoded(sim)) {
    if (r.Command == CMD_READ_REGISTER) out.push_back(r.Payload.at(0));
  }
  return out;
}

// (register, value) of each write, in the order sent.
inline std::vector<std::pair<int, int>> RegistersWritten(const sim::TSensorSim& sim) {
  std::vector<std::pair<int, int>> out;
  for (const TRequest& r : Decoded(sim)) {
    if (r.Command == CMD_WRITE_REGISTER) out.emplace_back(r.Payload.at(0), r.Payload.at(1));
  }
  return out;
}

// Ticks the fold timer until it stops itself.
inline void RunFold(TSession& session) {
  for (int ticks = 0; session.View.TimerMore && ticks < 100; ++ticks) session.TimerMoreTimer();
}

inline void WriteSimText(sim::TSensorSim& sim, int reg, int size, const std::string& text) {
  for (int k = 0; k < size; ++k) {
    sim.SetRegister(static_cast<uint8_t>(reg + k),
                    k < static_cast<int>(text.size()) ? static_cast<uint8_t>(text[k]) : 0);
  }
}

inline sim::TSensorSimOptions FastSensor() {
  sim::TSensorSimOptions o;
  o.Baud = 115200;
  o.FlashWriteMs = 20;
  return o;
}

// Points a session at a simulator, with the selectors showing its baud rate and address.
inline void UseSensor(TSession& s, const sim::TSensorSim& sim,
                      const sim::TSensorSimOptions& options) {
  s.View.PortText = sim.DevicePath();
  s.ComboBoxCOMChange();
  s.LinkBaud = options.Baud;
  for (int i = 0; i < BAUD_ITEM_COUNT; ++i) {
    if (std::to_string(options.Baud) == BaudItems[i]) s.View.BaudIndex = i;
  }
  s.DeviceAddress = options.Address;
  s.View.AddressIndex = options.Address - 1;
}

class SimSession : public ::testing::Test {
 protected:
  explicit SimSession(sim::TSensorSimOptions options = FastSensor())
      : Sim(options), Options(options) {}

  void SetUp() override {
    std::string error;
    ASSERT_TRUE(Sim.Start(&error)) << error;
    UseSensor(Session, Sim, Options);
  }

  // Connects and lets the window finish unfolding.
  void Connect() {
    Session.ButtonConnectClick();
    ASSERT_EQ(Session.View.ButtonConnectTag, 1) << Person.LastMessage();
    RunFold(Session);
    Sim.ClearRequests();
    Person.Messages.clear();
  }

  // A numeric row's value in the simulator's working registers.
  uint32_t SimValue(int row) const {
    uint32_t v = 0;
    for (int k = ParamTable[row].Size - 1; k >= 0; --k) {
      v = (v << 8) | Sim.Register(static_cast<uint8_t>(ParamTable[row].Address + k));
    }
    return v;
  }

  TScriptedOperator Person;
  sim::TSensorSim Sim;
  sim::TSensorSimOptions Options;
  TSession Session{Person};
};

}  // namespace karvo::test

// A device::Sensor open on a FastSensor without noise, identified, and the set it held then.
#pragma once

#include <gtest/gtest.h>

#include "device/Sensor.h"
#include "support/FastSensor.h"

namespace karvo::test {

class SensorOnSim : public ::testing::Test {
 protected:
  explicit SensorOnSim(int16_t range = 300) : Sim(FastSensor(range, 0)) {}
  void SetUp() override {
    ASSERT_TRUE(Sim.Start());
    ASSERT_TRUE(Dev.Open({.Port = Sim.DevicePath(), .Baud = 115200, .Address = 5}));
    IdentityRecord id;
    ASSERT_TRUE(Dev.Identify(id));
    ASSERT_TRUE(Dev.ReadParameters(Read));
  }

  sim::TSensorSim Sim;
  device::Sensor Dev;
  TParamSet Read;
};

}  // namespace karvo::test

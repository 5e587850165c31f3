// The scan for a sensor of unknown baud rate and address: its order, what each probe waits,
// finding the simulated sensor, a silent line, cancelling, and a port that fails mid-scan.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "protocol/SensorScan.h"
#include "sim/SensorSim.h"
#include "support/PtyPeer.h"

namespace karvo {
namespace {

TEST(ScanOrder, LikelyCombinationsFirstEachOnceOneRateAtATime) {
  const std::vector<uint32_t> two = {9600, 115200};
  const struct {
    uint32_t baud;
    uint8_t address;
    std::vector<uint32_t> bauds;
    std::vector<TScanProbe> first;
    size_t total;
  } cases[] = {
      // clang-format off
      {9600, 1, SCAN_BAUD_RATES, {{9600, 1}, {115200, 1}, {9600, 2}, {9600, 3}}, 1270},
      {38400, 5, SCAN_BAUD_RATES, {{38400, 5}, {9600, 1}, {115200, 1}, {38400, 1}, {38400, 2}}, 1270},
      // A rate outside the list is tried at the selected address only.
      {1200, 3, two, {{1200, 3}, {9600, 1}, {115200, 1}, {9600, 3}, {9600, 2}}, 255},
      // 9600 and 115200 lead only when the list has them; address 0 is none.
      {2400, 0, {2400}, {{2400, 1}, {2400, 2}}, 127},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.baud) + "/" + std::to_string(c.address));
    const std::vector<TScanProbe> order = ScanOrder(c.baud, c.address, c.bauds);
    ASSERT_EQ(order.size(), c.total);
    EXPECT_EQ(std::vector<TScanProbe>(order.begin(), order.begin() + c.first.size()), c.first);
    std::set<std::pair<uint32_t, int>> seen;
    std::set<uint32_t> finished;
    for (size_t i = 0; i < order.size(); ++i) {
      const TScanProbe& p = order[i];
      EXPECT_TRUE(seen.insert({p.Baud, p.Address}).second) << "twice: " << p.Baud;
      EXPECT_TRUE(p.Address >= 1 && p.Address <= 127);
      // After the three likely ones, a rate once left never comes back (no extra reopen).
      if (i > 3 && order[i - 1].Baud != p.Baud) {
        finished.insert(order[i - 1].Baud);
        EXPECT_FALSE(finished.count(p.Baud)) << "comes back to " << p.Baud;
      }
    }
  }
  // The selected address leads at each further rate too; after 9600 and 115200 the others
  // come from the fastest down.
  EXPECT_EQ(ScanOrder(9600, 17, two)[128], (TScanProbe{115200, 17}));
  EXPECT_EQ(ScanOrder(9600, 1)[254], (TScanProbe{460800, 1}));
  EXPECT_EQ(ScanOrder(9600, 1).back(), (TScanProbe{2400, 127}));
}

TEST(ScanTimeout, WireTimeOfRequestAndAnswerPlusMargin) {
  // 18 bytes of 11 bits: 198 bits, rounded up to whole milliseconds.
  const uint32_t cases[][3] = {{2400, 20, 103}, {9600, 20, 41}, {115200, 20, 22}, {460800, 0, 1}};
  for (const auto& c : cases) EXPECT_EQ(ProbeTimeoutMs(c[0], c[1]), c[2]) << c[0];
}

// One sensor for each test; its link registers move it to another rate or address.
class ScanSim : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(sim_.Start(&error)) << error;
    options_.Port.Name = sim_.DevicePath();
  }
  sim::TSensorSim sim_{{.SerialNumber = 4711}};
  TScanOptions options_;
  TKARVOInterface link_;
};

TEST_F(ScanSim, FindsTheSensorAfterTheProbesBeforeIt) {
  const struct {
    uint32_t simBaud;
    uint8_t simAddress;
    uint32_t baud;
    uint8_t address;
    std::vector<uint32_t> bauds;
    size_t probes;
  } cases[] = {
      {115200, 17, 115200, 1, SCAN_BAUD_RATES, 2 + 16},
      // Probed at 9600 first: a sensor deaf to the rate would be found there.
      {19200, 1, 19200, 127, SCAN_BAUD_RATES, 4},
      {2400, 2, 2400, 1, {2400}, 2},  // the slowest rate: the whole answer fits the wait
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.simBaud) + "/" + std::to_string(c.simAddress));
    sim_.SetRegister(3, c.simAddress);
    sim_.SetRegister(4, static_cast<uint8_t>(c.simBaud / 2400));
    options_.SelectedBaud = c.baud;
    options_.SelectedAddress = c.address;
    options_.BaudRates = c.bauds;
    // Room for a loaded machine, still short of the slowest answer's wire time.
    options_.MarginMs = 40;
    const TScanResult r = TSensorScan(options_).Run(link_);
    EXPECT_EQ(r.Status, ST_OK);
    ASSERT_EQ(r.Found.size(), 1u);
    EXPECT_EQ(r.Found[0].Baud, c.simBaud);
    EXPECT_EQ(r.Found[0].Address, c.simAddress);
    EXPECT_EQ(r.Found[0].Identity.SerialNumber, 4711);
    EXPECT_EQ(r.Probes, c.probes);
    EXPECT_FALSE(link_.IsOpen());
  }
}

TEST_F(ScanSim, SilentLineProbesEveryCombinationOnceAtItsRateWithShortTimeoutsUnlessCancelled) {
  sim_.FailSilent();  // hears and logs, never answers
  options_.BaudRates = {115200, 230400};
  options_.SelectedBaud = 115200;
  options_.MarginMs = 5;
  TSensorScan scan(options_);
  size_t calls = 0;
  scan.Progress = [&](const TScanProgress& p) {
    EXPECT_EQ(p.Done, calls++);
    EXPECT_EQ(p.Total, 254u);
    // Each probe runs with the open port at its rate and waits one short read call.
    if (p.Done > 0 && p.Probe.Baud == link_.Port.Settings.BaudRate) {
      EXPECT_TRUE(link_.IsOpen());
      EXPECT_EQ(link_.Port.Settings.ReadTotal, ProbeTimeoutMs(p.Probe.Baud, 5));
      EXPECT_EQ(link_.Port.Settings.ReadAttempts, 1);
      EXPECT_EQ(link_.Port.Settings.ReadInterval, 0u);
    }
  };
  const TScanResult r = scan.Run(link_);
  EXPECT_EQ(r.Status, ST_OK);
  EXPECT_EQ(calls, 254u);
  EXPECT_EQ(sim_.Requests().size(), 254u);  // no second request to a silent combination
  EXPECT_FALSE(link_.IsOpen());

  // The next ordinary open gets the sensor's own time-outs back.
  ASSERT_EQ(link_.Open({.Name = sim_.DevicePath()}), ST_OK);
  EXPECT_EQ(link_.Port.Settings.ReadInterval, 10u);
  EXPECT_EQ(link_.Port.Settings.ReadTotal, 1000u);
  EXPECT_EQ(link_.Port.Settings.ReadAttempts, 0);

  // A cancel stops the scan before the next probe, and closes the port.
  for (size_t k : {size_t{0}, size_t{5}}) {
    sim_.ClearRequests();
    TSensorScan cancelled(options_);
    cancelled.Progress = [&](const TScanProgress& p) {
      if (p.Done == k) cancelled.Cancel();
    };
    const TScanResult c = cancelled.Run(link_);
    EXPECT_TRUE(c.Cancelled) << k;
    EXPECT_EQ(c.Probes, k);
    EXPECT_EQ(sim_.Requests().size(), k);
    EXPECT_FALSE(link_.IsOpen()) << k;
  }
  // Cancelled before it started: not a single probe.
  TSensorScan early(options_);
  early.Cancel();
  EXPECT_EQ(early.Run(link_).Probes, 0u);
}

TEST(ScanPort, LateAnswersAreNotTakenAndAPortFailureStopsTheScan) {
  // On a pty: the sensor at address 1 answers, but after the probe has given up on it, so
  // the answer reaches the probe of address 2. Asked again, address 2 stays silent.
  test::TPtyPeer peer;
  ASSERT_TRUE(peer.Ok()) << peer.Error();
  peer.Play({{.Expect = 2, .Answer = {{}, test::Bytes(16, 0x90)}, .GapMs = 60}});
  TKARVOInterface link;
  TScanOptions options;
  options.Port.Name = peer.SlavePath();
  options.SelectedBaud = 115200;
  options.BaudRates = {115200};
  options.MarginMs = 40;
  TSensorScan late(options);
  late.Progress = [&](const TScanProgress& p) {
    if (p.Done == 3) late.Cancel();
  };
  TScanResult r = late.Run(link);
  EXPECT_TRUE(peer.Finish());
  EXPECT_EQ(r.Probes, 3u);
  EXPECT_TRUE(r.Found.empty());

  // The adapter goes away mid-scan: a failure, not 127 unanswered probes.
  TSensorScan scan(options);
  scan.Progress = [&](const TScanProgress& p) {
    if (p.Done == 3) peer.HangUp();
  };
  r = scan.Run(link);
  EXPECT_NE(r.Status, ST_OK);
  EXPECT_LE(r.Probes, 4u);
  EXPECT_FALSE(r.Cancelled);
  EXPECT_FALSE(link.IsOpen());
}

}  // namespace
}  // namespace karvo

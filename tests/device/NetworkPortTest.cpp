// The device layer through a real serial device server (ser2net) in front of the simulated
// sensor and stage, over both kinds of network port: every operation works as on a local
// port, the line settings reach the simulator over RFC 2217, answers full of 0xFF arrive
// intact, and a server that dies ends the operation at once with a reason.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>

#include "device/Sensor.h"
#include "device/Stage.h"
#include "protocol/SensorScan.h"
#include "sim/SensorSim.h"
#include "sim/StageSim.h"
#include "support/FastSensor.h"
#include "support/ScratchDir.h"
#include "support/Ser2net.h"

namespace karvo::device {
namespace {

// The first address a scan tries at each rate, so that a scan finds the sensor at once.
constexpr uint8_t ADDRESS = 1;

// The rate the server set on the simulator's pseudo-terminal, read from a descriptor of our
// own on its slave.
speed_t PtySpeed(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return B0;
  termios line{};
  const speed_t speed = tcgetattr(fd, &line) == 0 ? cfgetospeed(&line) : B0;
  close(fd);
  return speed;
}

bool Telnet(const std::string& kind) {
  return kind == "rfc2217";
}

class NetworkPort : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Sim.Start());
    ASSERT_TRUE(StageSim.Start());
    std::string why;
    ASSERT_TRUE(
        Server.Start({{Sim.DevicePath(), "9600e81"}, {StageSim.DevicePath(), "115200n81"}}, why))
        << why;
    const Result opened = Dev.Open({.Port = Url(0), .Baud = 9600, .Address = ADDRESS});
    ASSERT_TRUE(opened) << opened.Describe();
    // Only a raw port has to say that it cannot set the line.
    EXPECT_EQ(opened.Notice.empty(), Telnet(GetParam())) << opened.Notice;
  }

  std::string Url(size_t line) const {
    return Telnet(GetParam()) ? Server.TelnetUrl(line) : Server.RawUrl(line);
  }

  sim::TSensorSim Sim{{.Address = ADDRESS,
                       .Baud = 9600,
                       .MeasuringRange = 10,
                       .Pace = false,
                       .Noise = 0,
                       .FlashWriteMs = 20}};
  sim::TStageSim StageSim{{.MmPerUnit = sim::StageMmPerUnitForRange(10), .TimeScale = 0.001}};
  test::TSer2net Server;
  Sensor Dev;
};

TEST_P(NetworkPort, EveryOperationWorksAsOnALocalPort) {
  IdentityRecord id;
  ASSERT_TRUE(Dev.Identify(id));
  EXPECT_EQ(id.SerialNumber, 1234);

  TParamSet read;
  ASSERT_TRUE(Dev.ReadParameters(read));
  TPARAMVALUE averaged = read[ROW_AVERAGED];
  averaged.Value = averaged.Value == 1 ? 2 : 1;
  ASSERT_TRUE(Dev.WriteParameter(ROW_AVERAGED, averaged));
  TPARAMVALUE back;
  bool equal = false;
  ASSERT_TRUE(Dev.CompareParameter(ROW_AVERAGED, averaged, back, equal));
  EXPECT_TRUE(equal);

  std::vector<float> measured;
  ASSERT_TRUE(Dev.Measure(RUN_LINE, 5, [&](float v) { measured.push_back(v); }));
  EXPECT_EQ(measured.size(), 5u);

  std::vector<float> streamed;
  const Result s = Dev.Stream(RUN_LINE, 200, [&](float v) { streamed.push_back(v); });
  ASSERT_TRUE(s) << s.Describe();
  EXPECT_EQ(streamed.size(), 200u);
  EXPECT_TRUE(test::StreamStopped(Sim));
  // The line is usable again at once after the stream.
  ASSERT_TRUE(Dev.Identify(id));
}

TEST_P(NetworkPort, AnswersFullOfFFArriveIntact) {
  // Every eighth answer carries the tag 7: all its bytes of 0xFF data are 0xFF on the wire.
  // Three answers a round, eight rounds: each kind of answer gets every tag once.
  for (int reg = 192; reg < 256; ++reg) Sim.SetRegister(static_cast<uint8_t>(reg), 0xFF);
  Sim.SetTablePage(3, std::vector<uint16_t>(512, 0xFFFF));
  for (int i = 0; i < 8; ++i) {
    SCOPED_TRACE(i);
    IdentityRecord id;
    ASSERT_TRUE(Dev.Identify(id));
    uint8_t regs[64] = {};
    ASSERT_TRUE(Dev.ReadRegisters(192, 64, regs));
    EXPECT_EQ(std::vector<uint8_t>(regs, regs + 64), std::vector<uint8_t>(64, 0xFF));
    std::vector<uint16_t> words(512);
    ASSERT_EQ(Dev.Link().ReadTablePage(ADDRESS, 3, words.data()), ST_OK) << Dev.Link().LastReason();
    EXPECT_EQ(words, std::vector<uint16_t>(512, 0xFFFF));
  }
}

TEST_P(NetworkPort, ScanAndTheStageLinkGoThroughTheServer) {
  // From a rate the sensor does not use: RFC 2217 moves the server's line and finds the sensor
  // at 9600; a raw port cannot, and its first rate reaches the sensor at the server's 9600.
  Dev.Close();
  TSensorScan scan({.Port = PortItemLink(Url(0), 19200),
                    .SelectedBaud = 19200,
                    .SelectedAddress = ADDRESS,
                    .BaudRates = {19200, 9600}});
  TKARVOInterface link;
  const TScanResult found = scan.Run(link);
  ASSERT_EQ(found.Status, ST_OK) << found.Reason;
  ASSERT_EQ(found.Found.size(), 1u);
  EXPECT_EQ(found.Found[0].Address, ADDRESS);
  EXPECT_EQ(found.Found[0].Identity.SerialNumber, 1234);
  EXPECT_EQ(found.Found[0].Baud, Telnet(GetParam()) ? 9600u : 19200u);

  ASSERT_TRUE(Dev.Open({.Port = Url(0), .Baud = 9600, .Address = ADDRESS}));
  IdentityRecord id;
  ASSERT_TRUE(Dev.Identify(id));
  TParamSet read;
  ASSERT_TRUE(Dev.ReadParameters(read));
  sim::CoupleSensorToStage(Sim, StageSim);
  Stage motor;
  const Result opened = motor.Open(Url(1));
  ASSERT_TRUE(opened) << opened.Describe();
  SweepOptions options;
  options.Kind = SweepKind::Home;
  SweepResult result;
  const Result r = RunSweep(Dev, motor, read, options, result);
  EXPECT_TRUE(r) << r.Describe();
  EXPECT_FALSE(StageSim.DriveOn());
  Sim.SetTargetDistance(0);
}

TEST_P(NetworkPort, ABaudChangeReachesTheLineOverRfc2217AndIsSaidOverRawTcp) {
  IdentityRecord id;
  ASSERT_TRUE(Dev.Identify(id));
  EXPECT_EQ(PtySpeed(Sim.DevicePath()), B9600);
  // The sensor moves to 19200 and the line follows the row.
  TPARAMVALUE baud{"", 19200 / 2400};
  const Result written = Dev.WriteParameter(ROW_BAUD, baud);
  ASSERT_TRUE(written) << written.Describe();
  EXPECT_EQ(Sim.LineBaud(), 19200u);
  if (Telnet(GetParam())) {
    EXPECT_EQ(PtySpeed(Sim.DevicePath()), B19200);
    EXPECT_TRUE(Dev.Identify(id));
    EXPECT_TRUE(Dev.SetBaud(115200).Notice.empty());
    EXPECT_EQ(PtySpeed(Sim.DevicePath()), B115200);
  } else {
    const Result moved = Dev.SetBaud(19200);
    EXPECT_NE(moved.Notice.find("19200"), std::string::npos) << moved.Notice;
    EXPECT_EQ(PtySpeed(Sim.DevicePath()), B9600);
  }
}

TEST_P(NetworkPort, AServerKilledMidStreamEndsTheStreamAtOnceWithAReason) {
  SensorStream stream(Dev, RUN_LINE);
  ASSERT_TRUE(stream.Start());
  std::vector<float> samples;
  ASSERT_TRUE(stream.Take(samples, 1000));
  ASSERT_FALSE(samples.empty());
  Server.Kill();
  const auto killed = std::chrono::steady_clock::now();
  Result r;
  while (r.Ok() && std::chrono::steady_clock::now() - killed < std::chrono::seconds(5)) {
    r = stream.Take(samples, 100);
  }
  const auto took = std::chrono::steady_clock::now() - killed;
  EXPECT_EQ(r.Status, ST_READ_FAILED) << r.Describe();
  EXPECT_FALSE(r.Reason.empty());
  // A hang-up, not the read time-out of a second and more.
  EXPECT_LT(took, std::chrono::milliseconds(700));

  // A request after it fails as quickly, and the port cannot be opened again.
  IdentityRecord id;
  const Result again = Dev.Identify(id);
  EXPECT_NE(again.Status, ST_OK);
  EXPECT_FALSE(Dev.Open({.Port = Url(0), .Baud = 9600, .Address = ADDRESS}));
}

INSTANTIATE_TEST_SUITE_P(BothKinds, NetworkPort, ::testing::Values("tcp", "rfc2217"),
                         [](const auto& info) { return info.param; });

}  // namespace
}  // namespace karvo::device

// karvo-cli publish against a broker of the test's own and simulated sensors, seen through a
// real subscriber: what arrives, what the broker keeps, and how the program ends; and the
// service's option file.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "MqttFixture.h"
#include "cli/Cli.h"
#include "sim/SensorSim.h"
#include "support/FastSensor.h"

namespace karvo::test {
namespace {

using Json = nlohmann::json;
using Messages = std::vector<TMessage>;

// seq -> how often it arrived, over the values batches of one sensor.
std::map<uint64_t, int> SeqCounts(const Messages& messages, const std::string& topic) {
  std::map<uint64_t, int> counts;
  for (const TMessage& m : messages) {
    if (m.Topic != topic) continue;
    const Json j = Json::parse(m.Payload);
    const uint64_t first = j["seq"];
    for (size_t i = 0; i < j["values"].size(); ++i) ++counts[first + i];
  }
  return counts;
}

// Whether seqs 0..count-1 are all there, each exactly `once` (or at least once).
::testing::AssertionResult EverySeq(const std::map<uint64_t, int>& counts, uint64_t count,
                                    bool exactlyOnce = true) {
  for (uint64_t seq = 0; seq < count; ++seq) {
    const auto it = counts.find(seq);
    if (it == counts.end()) return ::testing::AssertionFailure() << "seq " << seq << " missing";
    if (exactlyOnce && it->second != 1)
      return ::testing::AssertionFailure() << "seq " << seq << " came " << it->second << " times";
  }
  if (!counts.empty() && counts.rbegin()->first >= count)
    return ::testing::AssertionFailure() << "seq " << counts.rbegin()->first << " beyond the count";
  return ::testing::AssertionSuccess();
}

std::vector<std::string> States(const Messages& messages, const std::string& topic) {
  std::vector<std::string> states;
  for (const TMessage& m : messages)
    if (m.Topic == topic) states.push_back(Json::parse(m.Payload)["state"]);
  return states;
}

bool HasState(const Messages& messages, const std::string& topic, const std::string& state) {
  const auto states = States(messages, topic);
  return std::find(states.begin(), states.end(), state) != states.end();
}

class Publish : public ::testing::Test {
 protected:
  explicit Publish(sim::TSensorSimOptions options = FastSensor(100, 0)) : Sensor(options) {}
  void SetUp() override {
    ASSERT_TRUE(Sensor.Start());
    ASSERT_TRUE(Listening(Broker.Port()));
  }
  // karvo-cli publish at the simulated sensor and `broker` (the fixture's own, as client
  // "test", when none), with `args` after.
  std::unique_ptr<TChild> Start(std::vector<std::string> args,
                                const std::vector<std::string>& env = {},
                                const std::string& broker = "") {
    if (broker.empty()) args.insert(args.begin(), {"--client-id", "test"});
    args.insert(args.begin(), {KARVO_CLI_PATH, "--port", Sensor.DevicePath(), "--baud",
                               std::to_string(Baud), "--address", Address, "publish", "--broker",
                               broker.empty() ? Broker.Url() : broker});
    return std::make_unique<TChild>(args, Dir.Path("out"), Dir.Path("err"), env);
  }
  std::string Err() const { return FileBytes(Dir.Path("err")); }
  std::string SensorTopic(const std::string& leaf) const { return "karvo/1234/" + leaf; }
  // Waits for `count` of the sensor's seqs, or for its status to say `state`.
  bool WaitValues(TSubscriber& subscriber, size_t count) const {
    return subscriber.WaitFor(
        [&](const Messages& m) { return SeqCounts(m, SensorTopic("values")).size() >= count; });
  }
  bool WaitState(TSubscriber& subscriber, const std::string& state) const {
    return subscriber.WaitFor(
        [&](const Messages& m) { return HasState(m, SensorTopic("status"), state); });
  }

  TScratchDir Dir;
  sim::TSensorSim Sensor;
  uint32_t Baud = 115200;
  std::string Address = "5";
  TBroker Broker;
};

// Polled samples arrive once each, also across a spell in which the sensor was lost and the
// numbering went on where it stopped; the identity and the last state stay on the broker.
TEST_F(Publish, PolledSamplesArriveOnceAcrossALostSensorWithIdentityAndStatusRetained) {
  TSubscriber subscriber(Broker.Port());
  ASSERT_TRUE(subscriber.Subscribed());
  Sensor.SetTargetDistance(25);
  auto child = Start({"--every", "5", "--count", "200"});
  ASSERT_TRUE(WaitValues(subscriber, 30));
  Sensor.FailSilent(true);
  ASSERT_TRUE(WaitState(subscriber, "sensor lost")) << Err();
  Sensor.FailSilent(false);
  ASSERT_EQ(child->Wait(), 0) << Err();
  ASSERT_TRUE(WaitState(subscriber, "offline"));
  const Messages got = subscriber.Messages();
  EXPECT_TRUE(EverySeq(SeqCounts(got, SensorTopic("values")), 200));
  const auto states = States(got, SensorTopic("status"));
  EXPECT_EQ(states.front(), "online");
  EXPECT_EQ(states.back(), "offline");
  const auto lost = std::find(states.begin(), states.end(), "sensor lost");
  ASSERT_NE(lost, states.end());
  EXPECT_NE(std::find(lost, states.end(), "online"), states.end());
  for (const TMessage& m : got) {
    if (m.Topic != SensorTopic("values")) continue;
    const Json j = Json::parse(m.Payload);
    EXPECT_EQ(j["unit"], "mm");
    EXPECT_EQ(j["mode"], "Line");
    EXPECT_EQ(j["address"], 5);
    EXPECT_DOUBLE_EQ(j["period_s"], 0.005);
    EXPECT_LE(j["values"].size(), 1000u);
    for (double v : j["values"]) EXPECT_DOUBLE_EQ(v, 25.0);
  }

  // A subscriber that comes later finds the sensor and its last state on the broker.
  TSubscriber later(Broker.Port());
  ASSERT_TRUE(later.WaitFor([](const Messages& m) { return m.size() >= 2; }));
  std::map<std::string, std::string> retained;
  for (const TMessage& m : later.Messages())
    if (m.Retained) retained[m.Topic] = m.Payload;
  EXPECT_EQ(retained[SensorTopic("identity")],
            R"({"serial_number":1234,"device_type":7,"release":4,"base_distance":60,)"
            R"("measuring_range":100,"port":")" +
                Sensor.DevicePath() + R"(","address":5})");
  EXPECT_EQ(retained[SensorTopic("status")], R"({"state":"offline","dropped":0})");
}

// Three sensors on one line, 20, 40 and 60 mm away: a ramp too slow to move during the test,
// a third of it apart.
class PublishBus : public Publish {
 protected:
  PublishBus() : Publish(Bus()) { Address = "1,2,3"; }
  static sim::TSensorSimOptions Bus() {
    sim::TSensorSimOptions options = FastSensor(100, 0);
    options.Addresses = {1, 2, 3};
    options.Motion = sim::TTargetMotion::Ramp;
    options.MotionAmplitudeMm = 30;
    options.MotionPeriodS = 1e6;
    return options;
  }
};

TEST_F(PublishBus, ThreeSensorsOnOneLineEachHaveTheirOwnNumbering) {
  Sensor.SetTargetDistance(50);
  TSubscriber subscriber(Broker.Port());
  auto child = Start({"--every", "10", "--count", "100"});
  ASSERT_EQ(child->Wait(), 0) << Err();
  ASSERT_TRUE(subscriber.WaitFor([](const Messages& m) {
    return HasState(m, "karvo/1234/status", "offline") &&
           HasState(m, "karvo/1235/status", "offline") &&
           HasState(m, "karvo/1236/status", "offline");
  }));
  const Messages got = subscriber.Messages();
  for (int address : {1, 2, 3}) {
    SCOPED_TRACE(address);
    const std::string topic = "karvo/" + std::to_string(1233 + address) + "/values";
    EXPECT_TRUE(EverySeq(SeqCounts(got, topic), 100));
    for (const TMessage& m : got) {
      if (m.Topic != topic) continue;
      const Json j = Json::parse(m.Payload);
      EXPECT_EQ(j["address"], address);
      // One result code is 100 / 16384 mm.
      for (double v : j["values"]) EXPECT_NEAR(v, 20.0 * address, 0.01);
    }
  }
}

// Ctrl-C, SIGTERM, SIGHUP: what was measured is delivered, then "offline", then 128 + signal.
// Killed, the publisher is offline through its will.
TEST_F(Publish, StopSignalsDeliverAndSayOffline) {
  for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGKILL}) {
    SCOPED_TRACE(signal);
    const std::string prefix = "sig" + std::to_string(signal);
    const std::string values = prefix + "/1234/values", status = prefix + "/1234/status";
    TSubscriber subscriber(Broker.Port(), prefix);
    auto child = Start({"--every", "5", "--topic", prefix});
    ASSERT_TRUE(subscriber.WaitFor([&](const Messages& m) {
      return SeqCounts(m, values).size() >= 20;
    })) << Err();
    child->Signal(signal);
    EXPECT_EQ(child->Wait(std::chrono::seconds(5)), signal == SIGKILL ? -SIGKILL : 128 + signal)
        << Err();
    ASSERT_TRUE(
        subscriber.WaitFor([&](const Messages& m) { return HasState(m, status, "offline"); }));
    if (signal == SIGKILL) continue;
    const auto counts = SeqCounts(subscriber.Messages(), values);
    EXPECT_TRUE(EverySeq(counts, counts.rbegin()->first + 1));
    // The goodbye is the last word: no values after it.
    EXPECT_EQ(subscriber.Messages().back().Topic, status);
  }
}

TEST_F(Publish, CredentialsTheBrokerRefusesEndWith6AndItsReason) {
  TScratchDir dir;
  const std::string passwords = dir.Path("passwords");
  TChild make({"/usr/bin/mosquitto_passwd", "-c", "-b", passwords, "station", "right"},
              dir.Path("o"), dir.Path("e"));
  ASSERT_EQ(make.Wait(), 0) << FileBytes(dir.Path("e"));
  // A broker started as root reads its files as the mosquitto user.
  chmod(dir.Root.c_str(), 0755);
  chmod(passwords.c_str(), 0644);
  TBroker guarded("password_file " + passwords + "\n");
  ASSERT_TRUE(Listening(guarded.Port())) << FileBytes(guarded.Dir().Path("broker.err"));
  PutFile(dir.Path("right"), "right\n");
  struct {
    std::vector<std::string> Args;
    std::vector<std::string> Env;
    int Code;
  } cases[] = {
      {{"--user", "station", "--password-file", dir.Path("right")}, {}, 0},
      {{"--user", "station"}, {"KARVO_MQTT_PASSWORD=right"}, 0},
      {{"--user", "station"}, {"KARVO_MQTT_PASSWORD=wrong"}, 6},
      {{"--user", "nobody"}, {"KARVO_MQTT_PASSWORD=right"}, 6},
      {{}, {}, 6},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args{"--count", "3"};
    args.insert(args.end(), c.Args.begin(), c.Args.end());
    EXPECT_EQ(Start(args, c.Env, guarded.Url())->Wait(), c.Code) << Err();
    if (c.Code == 6) {
      EXPECT_NE(Err().find("refused the connection: Connection Refused"), std::string::npos)
          << Err();
    }
  }
}

TEST_F(Publish, BadLinesAndSensorsEndWithTheirStatus) {
  struct {
    std::vector<std::string> Args;
    int Code;
  } cases[] = {
      // clang-format off
      {{"publish"}, 2},  // no broker
      {{"publish", "--broker", "http://127.0.0.1"}, 2}, {{"publish", "--broker", "mqtt://127.0.0.1:0"}, 2},
      {{"publish", "--broker", "mqtt://h", "--qos", "2"}, 2}, {{"publish", "--broker", "mqtt://h", "--every", "0"}, 2},
      {{"publish", "--broker", "mqtt://h", "--every", "10", "--stream"}, 2},
      {{"--address", "5,6", "publish", "--broker", "mqtt://h", "--stream"}, 2},
      {{"--address", "5,5", "publish", "--broker", "mqtt://h"}, 2}, {{"--address", "0", "publish", "--broker", "mqtt://h"}, 2},
      {{"publish", "--broker", "mqtt://h", "--password", "x"}, 2},
      {{"publish", "--broker", "mqtt://h", "--cafile", "/etc/hostname"}, 2},
      {{"publish", "--broker", "mqtt://h", "--topic", "plant/#"}, 2}, {{"publish", "--broker", "mqtt://h", "--topic", "plant/+/x"}, 2},
      {{"publish", "--broker", "mqtt://h", "--topic", ""}, 2},
      {{"publish", "--broker", "mqtt://h", "--password-file", "/nonexistent"}, 2},
      {{"--port", "/nonexistent/tty", "publish", "--broker", "mqtt://h"}, 3},
      {{"--port", Sensor.DevicePath(), "--baud", "115200", "--address", "6", "publish", "--broker", "mqtt://h"}, 4},
      {{"--port", Sensor.DevicePath(), "--baud", "115200", "--address", "5,6", "publish", "--broker", "mqtt://h"}, 4},
      // clang-format on
  };
  for (const auto& c : cases) {
    std::ostringstream out, err;
    EXPECT_EQ(cli::Run(c.Args, out, err), c.Code) << ::testing::PrintToString(c.Args) << err.str();
    EXPECT_NE(err.str().find("karvo-cli: "), std::string::npos);
  }
}

// The broker keeps the subscriber's session across its restart, so that the subscriber gets
// what was published before it was back.
class PublishRestart : public Publish {
 protected:
  PublishRestart() { chmod(Store.Root.c_str(), 0777); }
  // Runs `args` with the broker away for `awayMs` once 50 seqs have come; the exit status.
  int RunWithRestart(const std::vector<std::string>& args, int awayMs) {
    auto child = Start(args, {}, Persistent.Url());
    if (!WaitValues(Watcher, 50)) return -1;
    Persistent.Stop();
    usleep(awayMs * 1000);
    if (!Persistent.Start()) return -2;
    return child->Wait();
  }

  TScratchDir Store;
  TBroker Persistent{"allow_anonymous true\npersistence true\npersistence_location " + Store.Root +
                     "/\n"};
  TSubscriber Watcher{Persistent.Port(), "karvo", "restart-watcher"};
};

// The broker goes away mid-run and comes back: what was measured meanwhile is delivered.
TEST_F(PublishRestart, BrokerRestartLosesNothingWithinTheBuffer) {
  ASSERT_EQ(RunWithRestart({"--every", "10", "--count", "300"}, 1000), 0) << Err();
  ASSERT_TRUE(WaitValues(Watcher, 300))
      << SeqCounts(Watcher.Messages(), SensorTopic("values")).size();
  // At least once: a batch whose acknowledgement the restart took is sent again.
  EXPECT_TRUE(EverySeq(SeqCounts(Watcher.Messages(), SensorTopic("values")), 300, false));
}

// Away for longer than the buffer holds: the oldest of the outage go, and are counted.
TEST_F(PublishRestart, BeyondTheBufferTheOldestAreDroppedAndCounted) {
  ASSERT_EQ(RunWithRestart({"--every", "10", "--count", "300", "--buffer-seconds", "0.3"}, 1500), 0)
      << Err();
  ASSERT_TRUE(Watcher.WaitFor([&](const Messages& m) {
    return SeqCounts(m, SensorTopic("values")).size() >= 300 &&
           HasState(m, SensorTopic("status"), "offline");
  }));
  const Messages got = Watcher.Messages();
  const auto counts = SeqCounts(got, SensorTopic("values"));
  uint64_t dropped = 0;
  for (const TMessage& m : got)
    if (m.Topic == SensorTopic("status")) dropped = Json::parse(m.Payload)["dropped"];
  // Delivered: the count; measured: the count and those dropped, of which none arrived.
  EXPECT_EQ(counts.size(), 300u);
  EXPECT_GT(dropped, 50u);
  EXPECT_EQ(counts.rbegin()->first + 1, 300 + dropped);
  // What went first is one run of the oldest of the outage: 1.5 s at 100 a second, less the
  // 30 kept. (A few more may go while the kept ones wait for their acknowledgement.)
  uint64_t firstGap = 0;
  for (auto it = counts.begin(); std::next(it) != counts.end() && firstGap == 0; ++it)
    firstGap = std::next(it)->first - it->first - 1;
  EXPECT_GT(firstGap, 100u);
}

// One sensor streaming as fast as a 460800 baud line carries, its samples numbered by the
// simulator, so that a value tells which sample it is.
class PublishStream : public Publish {
 protected:
  PublishStream() : Publish(StreamingSensor()) {
    Baud = 460800;
    Address = "1";
  }
  static sim::TSensorSimOptions StreamingSensor() {
    sim::TSensorSimOptions options;
    options.Baud = 460800;
    options.StreamPeriodUs = 1;
    options.StreamSequence = true;
    return options;
  }
};

TEST_F(PublishStream, EveryStreamedSampleArrivesOnceInOrder) {
  Sensor.SetRegister(7, 1);    // "NonLine": the word itself, the simulator's running count
  Sensor.SetRegister(8, 100);  // a sampling period of 100 us, the sensor's fastest
  Sensor.SetRegister(9, 0);
  TSubscriber subscriber(Broker.Port());
  auto child = Start({"--stream", "--count", "20000"});
  ASSERT_EQ(child->Wait(), 0) << Err();
  ASSERT_TRUE(WaitState(subscriber, "offline"));
  uint64_t next = 0;
  for (const TMessage& m : subscriber.Messages()) {
    if (m.Topic != SensorTopic("values")) continue;
    const Json j = Json::parse(m.Payload);
    ASSERT_EQ(j["seq"], next);
    EXPECT_EQ(j["mode"], "NonLine");
    EXPECT_EQ(j["unit"], "px");
    EXPECT_DOUBLE_EQ(j["period_s"], 0.0001);
    for (double v : j["values"]) ASSERT_EQ(static_cast<uint16_t>(v), static_cast<uint16_t>(next++));
  }
  EXPECT_EQ(next, 20000u);
  EXPECT_FALSE(Sensor.Streaming());
}

// The service's option file turned into karvo-cli's arguments, seen through a stand-in
// program that prints each argument it gets on a line of its own.
TEST(OptionsFile, OneOptionALineBecomesTheArguments) {
  TScratchDir dir;
  const std::string echo = dir.Path("echo.sh");
  PutFile(echo, "#!/bin/sh\nprintf '[%s]\\n' \"$@\"\n");
  chmod(echo.c_str(), 0755);
  struct {
    const char* Conf;
    int Code;
    const char* Args;
  } cases[] = {
      {"--port /dev/ttyUSB0\n--broker mqtt://b:1884\n", 0,
       "[publish]\n[--port]\n[/dev/ttyUSB0]\n[--broker]\n[mqtt://b:1884]\n"},
      // Layout around options, comments and blank lines are not arguments.
      {"  --every   50  \n\n# the plant's broker\n\t--stream\n", 0,
       "[publish]\n[--every]\n[50]\n[--stream]\n"},
      // A value keeps its inner blanks; "=" stays with its option; no final line end needed.
      {"--topic plant/line 3\n--address=1,2,3", 0,
       "[publish]\n[--topic]\n[plant/line 3]\n[--address=1,2,3]\n"},
      {"", 0, "[publish]\n"},
      // A password must not end up on a command line others can read.
      {"--password secret\n", 2, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Conf);
    PutFile(dir.Path("station.conf"), c.Conf);
    TChild run({"/bin/sh", KARVO_PUBLISH_RUN, dir.Path("station.conf")}, dir.Path("out"),
               dir.Path("err"), {"KARVO_CLI=" + echo});
    EXPECT_EQ(run.Wait(), c.Code) << FileBytes(dir.Path("err"));
    EXPECT_EQ(FileBytes(dir.Path("out")), c.Args);
  }
  TChild missing({"/bin/sh", KARVO_PUBLISH_RUN, dir.Path("nonexistent.conf")}, dir.Path("out"),
                 dir.Path("err"));
  EXPECT_EQ(missing.Wait(), 2);
}

}  // namespace
}  // namespace karvo::test

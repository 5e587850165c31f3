// The port channel on pseudo-terminals: opening and its failures, line settings, exclusive
// access, USB adapters found by description, reads in pieces, purges, hang-ups.
#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <numeric>
#include <thread>

#include "channel/CpuLatency.h"
#include "channel/Interface.h"
#include "channel/LineSettings.h"
#include "support/PtyPeer.h"
#include "support/ScratchDir.h"

namespace karvo {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using test::Bytes;

// A throw-away sysfs tree shaped like the kernel's, in which USB serial adapters are found.
struct TFakeSysfs {
  TFakeSysfs() { fs::create_directories(Dev); }

  // class/tty/<tty>/device -> devices/<device>/<interface>/<tty>, with `product` in the
  // device directory and in its parent (the hub) when given.
  void AddTty(const std::string& tty, const std::string& device, const std::string& product,
              const std::string& hubProduct = "") {
    const fs::path deviceDir = Root + "/sys/devices/" + device, ttyDir = deviceDir / "1.0" / tty;
    fs::create_directories(ttyDir);
    fs::create_directories(Sys + "/class/tty/" + tty);
    fs::create_directory_symlink(ttyDir, Sys + "/class/tty/" + tty + "/device");
    if (!product.empty()) test::PutFile(deviceDir / "product", product + "\n");
    if (!hubProduct.empty()) test::PutFile(deviceDir.parent_path() / "product", hubProduct);
  }

  test::TScratchDir Dir;
  std::string Root = Dir.Root, Sys = Root + "/sys", Dev = Root + "/dev";
};

TEST(PortOpen, ComNamesMapToDevicesAndFailuresLeaveTheChannelClosedWithTheSystemsReason) {
  // clang-format off
  const std::pair<std::string, std::string> names[] = {
      {"COM1", "/dev/ttyS0"}, {"COM8", "/dev/ttyS7"}, {"COM0", ""}, {"COM9", ""}, {"COM10", ""},
      {"COM1 ", ""}, {"ttyS0", ""}, {"", ""}, {"/dev/ttyUSB0", "/dev/ttyUSB0"}};
  // clang-format on
  for (const auto& [name, path] : names) EXPECT_EQ(ComPortDevicePath(name), path) << name;

  const std::pair<int, std::string> reasons[] = {
      {EACCES, "permission denied: join the dialout group"},
      {EBUSY, "held by another program"},
      {EIO, "the device stopped"},
      {EROFS, "Read-only file system"}};
  for (const auto& [err, reason] : reasons) {
    EXPECT_EQ(PortErrorReason(err).rfind(reason, 0), 0u) << PortErrorReason(err);
  }

  test::TScratchDir dir;
  const std::string file = dir.Path("notes.txt");
  test::PutFile(file, "keep");
  // Frames must never land in a file.
  const std::tuple<std::string, std::string, int> failures[] = {
      {"/dev/karvo-no-such-port", "no such device", ENOENT},
      {"COM9", "no such device", ENODEV},
      {file, "not a serial port", ENOTTY}};
  for (const auto& [name, reason, err] : failures) {
    TInterface port;
    EXPECT_EQ(port.Open({.Name = name}), ST_NOT_OPEN) << name;
    EXPECT_FALSE(port.IsOpen);
    EXPECT_EQ(port.LastErrno, err) << name;
    EXPECT_EQ(port.LastReason, reason);
  }
  EXPECT_EQ(test::FileBytes(file), "keep");
}

TEST(UsbAdapter, FoundByTheProductDescriptionOfItsOwnUsbDevice) {
  TFakeSysfs tree;
  tree.AddTty("ttyUSB0", "usb1/1-1", USB_ADAPTER_DESCRIPTION, "xHCI Host Controller");
  tree.AddTty("ttyUSB1", "usb1/1-2", "FT232R USB UART");
  tree.AddTty("ttyACM0", "usb2/2-1", "Modem", USB_ADAPTER_DESCRIPTION);  // only its hub matches
  tree.AddTty("ttyS0", "platform/serial8250", "");
  fs::create_directories(tree.Sys + "/class/tty/tty0");  // no device at all
  // clang-format off
  const std::pair<std::string, std::string> cases[] = {
      {USB_ADAPTER_DESCRIPTION, "/x/ttyUSB0"}, {"FT232R USB UART", "/x/ttyUSB1"},
      {"FT232R USB", ""}, {"xHCI Host Controller", ""}, {"", ""}};
  // clang-format on
  for (const auto& [description, device] : cases) {
    EXPECT_EQ(FindUsbSerialDevice(tree.Sys, description, "/x"), device) << description;
  }
}

// A channel on a pseudo-terminal, opened as a COM port or as the USB adapter (the pty
// stands in for the adapter's tty through a fake sysfs tree).
class ChannelOnPty : public ::testing::Test {
 protected:
  void SetUp() override {
    Tree.AddTty("ttyUSB0", "usb1/1-1", USB_ADAPTER_DESCRIPTION);
    Port.SysfsRoot = Tree.Sys;
    Port.DevRoot = Tree.Dev;
    ASSERT_TRUE(Peer.Ok()) << Peer.Error();
    fs::create_symlink(Peer.SlavePath(), Tree.Dev + "/ttyUSB0");
  }
  void OpenAs(uint8_t kind, uint32_t interval = 20, uint32_t total = 200) {
    const std::string name = kind == PORT_USB ? USB_ADAPTER_DESCRIPTION : Peer.SlavePath();
    ASSERT_EQ(
        Port.Open({.PortKind = kind, .Name = name, .ReadInterval = interval, .ReadTotal = total}),
        ST_OK)
        << Port.LastReason;
  }
  uint32_t Write(Bytes b) { return Port.Write(Transfer = {b.data(), uint32_t(b.size())}); }
  uint32_t Read(Bytes& b) { return Port.Read(Transfer = {b.data(), uint32_t(b.size())}); }

  test::TPtyPeer Peer;
  TFakeSysfs Tree;
  TInterface Port;
  TTransfer Transfer;
};

// A pty forces 8 data bits and no parity, so the flags are checked before they reach it, and
// what it keeps (speed and stop bits) after each reopening.
TEST_F(ChannelOnPty, ParityStopBitsAndSpeedBecomeTheLinesSettings) {
  const struct {
    uint8_t parity, stopBits;
    uint32_t baud;
    tcflag_t flags;
    speed_t speed;
  } cases[] = {{0, 0, 9600, 0, B9600},
               {1, 0, 19200, PARENB | PARODD, B19200},
               {2, 1, 2400, PARENB | CSTOPB, B2400},  // one and a half stop bits: two
               {0, 2, 460800, CSTOPB, B460800},
               {2, 0, 14400, PARENB, B38400}};  // free rate: set apart, speed kept here
  for (const auto& c : cases) {
    termios line{};
    line.c_cflag = CS7 | CRTSCTS | PARENB | PARODD | CSTOPB;
    line.c_iflag = IXON | IXOFF | ICRNL;
    line.c_lflag = ICANON | ECHO;
    line.c_cc[VMIN] = 1;
    cfsetspeed(&line, B38400);
    const TPortSettings settings{
        .Name = Peer.SlavePath(), .StopBits = c.stopBits, .Parity = c.parity, .BaudRate = c.baud};
    EXPECT_EQ(ComposeLine(line, settings), c.baud != 14400);
    EXPECT_EQ(line.c_cflag & (PARENB | PARODD | CSTOPB | CSIZE | CRTSCTS | CLOCAL | CREAD),
              c.flags | CS8 | CLOCAL | CREAD)
        << c.baud;
    EXPECT_EQ(line.c_iflag & (IXON | IXOFF | ICRNL), 0u);
    EXPECT_EQ(line.c_lflag & (ICANON | ECHO), 0u);
    EXPECT_EQ(line.c_cc[VMIN], 0);
    EXPECT_EQ(cfgetospeed(&line), c.speed);

    ASSERT_EQ(Port.Open(settings), ST_OK) << Port.LastReason;
    EXPECT_EQ(Peer.Line().Baud, c.baud);
    EXPECT_EQ(Peer.Line().StopBits, c.stopBits == 0 ? 1 : 2);
  }
}

TEST_F(ChannelOnPty, APortHeldByAnotherProgramOpensOnlyOnceReleased) {
  OpenAs(PORT_USB);
  EXPECT_EQ(Peer.ExclusiveFlag(), 1);
  TInterface second;
  EXPECT_EQ(second.Open({.Name = Peer.SlavePath()}), ST_NOT_OPEN);
  EXPECT_EQ(second.LastReason, "held by another program");

  EXPECT_EQ(Port.Close(), ST_OK);
  EXPECT_EQ(Port.Close(), ST_OK);
  EXPECT_EQ(Peer.ExclusiveFlag(), 0);
  EXPECT_EQ(second.Open({.Name = Peer.SlavePath()}), ST_OK) << second.LastReason;
  EXPECT_TRUE(second.LastReason.empty());

  // The closed channel refuses without a port call.
  Bytes bytes{1, 2};
  EXPECT_EQ(Write(bytes), ST_NOT_OPEN);
  EXPECT_EQ(Read(bytes), ST_NOT_OPEN);
}

TEST_F(ChannelOnPty, AnswersInPiecesAreAssembledWithinTheReadCallsOfThePortKind) {
  const struct {
    uint8_t kind;
    size_t pieces;
    uint32_t status, calls;
  } cases[] = {{PORT_COM, 1, ST_OK, 1}, {PORT_COM, 2, ST_OK, 2},
               {PORT_COM, 3, ST_OK, 3}, {PORT_COM, 4, ST_READ_SHORT, 3},
               {PORT_USB, 1, ST_OK, 1}, {PORT_USB, 2, ST_READ_SHORT, 1}};
  Bytes answer(12);
  std::iota(answer.begin(), answer.end(), 0x40);
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << int(c.kind) << ", " << c.pieces << " pieces");
    OpenAs(c.kind);
    const size_t size = answer.size() / c.pieces,
                 arrived = size * std::min<size_t>(c.pieces, c.calls);
    std::vector<Bytes> pieces;
    for (size_t at = 0; at < answer.size(); at += size)
      pieces.emplace_back(answer.begin() + at, answer.begin() + at + size);
    // Gaps well over the 20 ms interval end a read call; well under the next call's total.
    Peer.Play({{.Expect = 2, .Answer = pieces, .GapMs = 80}});
    ASSERT_EQ(Write({0x01, 0x86}), ST_OK);
    Bytes buffer(answer.size(), 0xEE);
    EXPECT_EQ(Read(buffer), c.status);
    EXPECT_EQ(Port.ReadCalls, c.calls);
    ASSERT_TRUE(Peer.Finish());
    EXPECT_EQ(Port.LastCount, arrived);
    Bytes expected(answer.begin(), answer.begin() + arrived);
    expected.resize(answer.size(), 0xEE);
    EXPECT_EQ(buffer, expected);
  }
}

// A read waits for its answer awake around the moment it can be complete and asleep before
// and after; whenever the answer or a hang-up comes, the read takes it, and the time-outs stay
// whole. At 460800 baud the whole exchange lies in the awake part, at 9600 most of it before.
TEST_F(ChannelOnPty, AnswersAndHangUpsAreTakenBeforeWhileAndAfterTheReadWaitsAwake) {
  const Bytes answer{0x91, 0x92, 0x93, 0x94};
  const struct {
    uint32_t baud;
    std::vector<Bytes> pieces;
    int gapMs;
    bool hangUp;
    uint32_t status;
    size_t arrived;  // at least: a hang-up may take the last piece with it
  } cases[] = {
      {460800, {answer}, 0, false, ST_OK, 4},
      {460800, {{0x91}, {0x92, 0x93, 0x94}}, 30, false, ST_OK, 4},  // the rest after the window
      {460800, {}, 0, true, ST_READ_FAILED, 0},
      {460800, {{0x91}, {0x92}}, 30, true, ST_READ_FAILED, 1},  // what came before stays
      {460800, {}, 0, false, ST_READ_SHORT, 0},
      {9600, {answer}, 0, false, ST_OK, 4},
      {9600, {{0x91, 0x92}, {0x93, 0x94}}, 8, false, ST_OK, 4},  // the rest inside the window
      {9600, {}, 0, true, ST_READ_FAILED, 0},
  };
  constexpr uint32_t interval = 80, total = 200;  // the interval well over the 30 ms gaps
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.baud << " baud, " << c.pieces.size() << " pieces, gap "
                                    << c.gapMs << (c.hangUp ? ", hang-up" : ""));
    test::TPtyPeer peer;
    ASSERT_TRUE(peer.Ok()) << peer.Error();
    TInterface port;
    ASSERT_EQ(port.Open({.Name = peer.SlavePath(),
                         .BaudRate = c.baud,
                         .ReadInterval = interval,
                         .ReadTotal = total,
                         .ReadAttempts = 1}),
              ST_OK);
    peer.Play({{.Expect = 2, .Answer = c.pieces, .GapMs = c.gapMs, .HangUp = c.hangUp}});
    Bytes request{0x01, 0x86}, buffer(answer.size(), 0xEE);
    TTransfer out{request.data(), 2}, in{buffer.data(), uint32_t(buffer.size())};
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(port.Write(out), ST_OK);
    EXPECT_EQ(port.Read(in), c.status);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(peer.Finish());
    EXPECT_GE(port.LastCount, c.arrived);
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + port.LastCount, answer.begin()));
    if (c.status == ST_READ_SHORT) {
      EXPECT_GE(took, milliseconds(interval * answer.size() + total)) << "the time-out was cut";
    } else {
      EXPECT_LT(took, milliseconds(total)) << "waited for the time-out";
    }
  }
}

// Bytes a stream's reader gathers ahead reach the reads that follow in order, the rest of a
// read from the port, and go with the next write like the port's own.
TEST_F(ChannelOnPty, GatheredBytesComeFirstInOrderAndGoWithTheNextWrite) {
  OpenAs(PORT_COM);
  ASSERT_TRUE(Peer.Write({1, 2, 3, 4, 5, 6}));
  for (int i = 0; i < 500 && Port.Gather() < 6; ++i) std::this_thread::sleep_for(milliseconds(1));
  ASSERT_EQ(Port.Gather(), 6u);
  Bytes sample(4);
  ASSERT_EQ(Read(sample), ST_OK);
  EXPECT_EQ(sample, (Bytes{1, 2, 3, 4}));
  ASSERT_TRUE(Peer.Write({7, 8, 9}));
  ASSERT_EQ(Read(sample), ST_OK);
  EXPECT_EQ(sample, (Bytes{5, 6, 7, 8}));
  for (int i = 0; i < 500 && Port.Gather() < 1; ++i) std::this_thread::sleep_for(milliseconds(1));
  ASSERT_EQ(Port.Gather(), 1u);

  Peer.Play({{.Expect = 2, .Answer = {{0x91, 0x92}}}});
  ASSERT_EQ(Write({0x01, 0x86}), ST_OK);
  Bytes answer(2);
  EXPECT_EQ(Read(answer), ST_OK);
  EXPECT_EQ(answer, (Bytes{0x91, 0x92}));
  EXPECT_TRUE(Peer.Finish());
}

// A late answer goes with the next write, the requests before it stay; then the adapter is
// pulled.
TEST_F(ChannelOnPty, AWriteDiscardsALateAnswerButNothingWrittenBeforeAndAHangUpFailsAtOnce) {
  OpenAs(PORT_COM, 500, 2000);
  ASSERT_TRUE(Peer.Write({0x95, 0x9A, 0x95, 0x9A}));
  int pending = 0;
  for (int i = 0; i < 500 && pending < 4; ++i) {
    std::this_thread::sleep_for(milliseconds(1));
    ASSERT_EQ(ioctl(Port.Handle, FIONREAD, &pending), 0);
  }
  ASSERT_EQ(pending, 4) << "the late answer never reached the port";

  // Requests in quick succession: the purge before each must not take back the one before.
  Bytes large(20000);
  std::iota(large.begin(), large.end(), 0);
  const Bytes requests[] = {{0x01, 0x83, 0x85}, {0x01, 0x83, 0x84}, large, {0x01, 0x86}};
  Bytes all;
  for (const Bytes& request : requests) all.insert(all.end(), request.begin(), request.end());
  Peer.Play({{.Expect = all.size(), .Answer = {{0x91, 0x92}}},
             {.Expect = 1, .Answer = {{0x91}}, .HangUp = true}});
  for (const Bytes& request : requests) EXPECT_EQ(Write(request), ST_OK);
  Bytes buffer(2);
  EXPECT_EQ(Read(buffer), ST_OK);
  EXPECT_EQ(buffer, (Bytes{0x91, 0x92}));
  EXPECT_EQ(Peer.Received(), all);

  // The adapter is pulled while the answer comes in.
  Bytes bytes(4, 0x01);
  ASSERT_EQ(Write(bytes), ST_OK);
  EXPECT_EQ(Read(bytes), ST_READ_FAILED);  // not ST_READ_SHORT, 2040 ms later
  EXPECT_EQ(Read(bytes), ST_READ_FAILED);
  EXPECT_EQ(Port.ReadCalls, 1u);  // not the three a COM port gives a late answer
  EXPECT_EQ(Port.LastReason, PortErrorReason(EIO)) << "kept for the operator";
  Port.LastReason.clear();
  EXPECT_EQ(Write(bytes), ST_WRITE_FAILED);
  EXPECT_EQ(Port.LastReason, PortErrorReason(EIO));
  EXPECT_TRUE(Peer.Finish());
}

// The quick wake-up request: made by exchanges at high rates only, held while they go on and
// dropped once the line has been quiet, so that an idle connection costs no power. Where the
// system refuses it (no root), it is asked once and the exchanges go on all the same.
TEST_F(ChannelOnPty, HighRatesHoldTheQuickWakeUpWhileExchangesGoOnAndDropItWhenQuiet) {
  const auto quiet = [] {
    for (int i = 0; i < 300 && CpuLatencyState() == TCpuLatencyState::Held; ++i)
      std::this_thread::sleep_for(milliseconds(10));
    return CpuLatencyState();
  };
  const TCpuLatencyState before = quiet();  // earlier tests here may have made it
  ASSERT_NE(before, TCpuLatencyState::Held);
  ASSERT_EQ(Port.Open({.Name = Peer.SlavePath(), .BaudRate = 9600}), ST_OK);
  ASSERT_EQ(Write({0x01, 0x86}), ST_OK);
  EXPECT_EQ(CpuLatencyState(), before);
  Port.Close();

  ASSERT_EQ(
      Port.Open({.Name = Peer.SlavePath(), .BaudRate = 115200, .ReadTotal = 20, .ReadAttempts = 1}),
      ST_OK);
  ASSERT_EQ(Write({0x01, 0x86}), ST_OK);
  const TCpuLatencyState asked = CpuLatencyState();
  ASSERT_NE(asked, TCpuLatencyState::Unasked);
  if (asked == TCpuLatencyState::Refused) GTEST_SKIP() << "/dev/cpu_dma_latency is not ours";
  for (int i = 0; i < 8; ++i) {
    std::this_thread::sleep_for(milliseconds(60));
    ASSERT_EQ(Write({0x01, 0x86}), ST_OK);
    EXPECT_EQ(CpuLatencyState(), TCpuLatencyState::Held) << "exchange " << i;
  }
  EXPECT_EQ(quiet(), TCpuLatencyState::Released);
  Bytes answer(2);
  EXPECT_EQ(Read(answer), ST_READ_SHORT);  // a read is an exchange too
  EXPECT_EQ(CpuLatencyState(), TCpuLatencyState::Held);
}

}  // namespace
}  // namespace karvo

// The port channel on pseudo-terminals: opening and its failures, line settings, exclusive
// access, USB adapters found by description, reads in pieces, time-outs, purges, hang-ups.
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <numeric>
#include <thread>

#include "channel/ChannelFixtures.h"
#include "channel/Interface.h"
#include "channel/LineSettings.h"
#include "support/PtyPeer.h"

namespace karvo {
namespace {

using test::Bytes;
using test::ShortTimeouts;
using test::TFakeSysfs;
using test::TPtyPeer;
using test::TPtyStep;
using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

TEST(PortNames, ComNamesMapToSerialDevicesAndPathsStayAsTheyAre) {
  const std::pair<std::string, std::string> cases[] = {
      {"COM1", "/dev/ttyS0"},
      {"COM8", "/dev/ttyS7"},
      {"COM0", ""},
      {"COM9", ""},
      {"COM10", ""},
      {"ttyS0", ""},
      {"COM1 ", ""},
      {"", ""},
      {"/dev/ttyUSB0", "/dev/ttyUSB0"},
      {"/dev/serial/by-id/x", "/dev/serial/by-id/x"}};
  for (const auto& [name, path] : cases) EXPECT_EQ(ComPortDevicePath(name), path) << name;

  const std::pair<int, std::string> reasons[] = {
      {ENOENT, "no such device"},
      {ENXIO, "no such device"},
      {EACCES, "permission denied: join the dialout group"},
      {EPERM, "permission denied: join the dialout group"},
      {EBUSY, "held by another program"},
      {EWOULDBLOCK, "held by another program"},
      {EIO, "Input/output error"}};
  for (const auto& [err, reason] : reasons) {
    EXPECT_EQ(OpenErrorReason(err).rfind(reason, 0), 0u) << OpenErrorReason(err);
  }
}

TEST(PortOpen, FailuresLeaveTheChannelClosedWithTheSystemsReason) {
  TFakeSysfs tree;
  const std::string file = tree.Dev() + "/notes.txt";
  std::ofstream(file) << "keep";
  const struct {
    uint8_t kind;
    std::string name;
    int err;
  } cases[] = {{PORT_COM, "/dev/karvo-no-such-port", ENOENT},
               {PORT_COM, "COM9", ENODEV},
               {PORT_COM, file, ENOTTY},  // frames must never land in a file
               {PORT_USB, USB_ADAPTER_DESCRIPTION, ENODEV}};
  for (const auto& c : cases) {
    TInterface port;
    port.SysfsRoot = tree.Sys();
    EXPECT_EQ(port.Open(ShortTimeouts(c.name, c.kind)), ST_NOT_OPEN) << c.name;
    EXPECT_FALSE(port.IsOpen);
    EXPECT_EQ(port.Handle, -1);
    EXPECT_EQ(port.LastErrno, c.err) << c.name;
    EXPECT_EQ(port.LastReason, OpenErrorReason(c.err));
  }
  EXPECT_EQ(std::filesystem::file_size(file), 4u);
}

TEST(PortOpen, PermissionRefusedSuggestsTheDialoutGroup) {
  if (geteuid() == 0) GTEST_SKIP() << "root opens any device";
  TPtyPeer peer;
  ASSERT_EQ(chmod(peer.SlavePath().c_str(), 0), 0);
  TInterface port;
  EXPECT_EQ(port.Open(ShortTimeouts(peer.SlavePath())), ST_NOT_OPEN);
  EXPECT_EQ(port.LastErrno, EACCES);
}

// A pty forces 8 data bits and no parity, so those flags are checked before they reach it.
TEST(PortLine, ParityStopBitsAndSpeedBecomeTheirTermiosFlags) {
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
    TPortSettings settings;
    settings.Parity = c.parity;
    settings.StopBits = c.stopBits;
    settings.BaudRate = c.baud;
    EXPECT_EQ(ComposeLine(line, settings), c.baud != 14400);
    EXPECT_EQ(line.c_cflag & (PARENB | PARODD | CSTOPB | CSIZE | CRTSCTS | CLOCAL | CREAD),
              c.flags | CS8 | CLOCAL | CREAD)
        << c.baud;
    EXPECT_EQ(line.c_iflag & (IXON | IXOFF | ICRNL), 0u);
    EXPECT_EQ(line.c_lflag & (ICANON | ECHO), 0u);
    EXPECT_EQ(line.c_cc[VMIN], 0);
    EXPECT_EQ(cfgetospeed(&line), c.speed);
  }
}

// A channel on a pseudo-terminal, opened as a COM port or as the USB adapter (the pty
// stands in for the adapter's tty through a fake sysfs tree).
class ChannelOnPty : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Peer.Ok()) << Peer.Error();
    Tree.AddTty("ttyUSB0", "usb1/1-1", USB_ADAPTER_DESCRIPTION);
    Tree.LinkDevice("ttyUSB0", Peer.SlavePath());
    Port.SysfsRoot = Tree.Sys();
    Port.DevRoot = Tree.Dev();
  }
  void OpenAs(uint8_t kind, uint32_t interval = 20, uint32_t total = 200) {
    const std::string name = kind == PORT_USB ? USB_ADAPTER_DESCRIPTION : Peer.SlavePath();
    ASSERT_EQ(Port.Open(ShortTimeouts(name, kind, interval, total)), ST_OK) << Port.LastReason;
  }
  uint32_t Write(Bytes bytes) {
    TTransfer transfer{bytes.data(), static_cast<uint32_t>(bytes.size()), nullptr};
    return Port.Write(transfer);
  }
  uint32_t Read(Bytes& buffer) {
    TTransfer transfer{buffer.data(), static_cast<uint32_t>(buffer.size()), nullptr};
    return Port.Read(transfer);
  }

  TPtyPeer Peer;
  TFakeSysfs Tree;
  TInterface Port;
};

TEST_F(ChannelOnPty, ReopeningAppliesNewLineSettings) {
  const std::pair<uint32_t, uint8_t> cases[] = {{9600, 0}, {19200, 2}, {14400, 0}, {460800, 1}};
  for (const auto& [baud, stopBits] : cases) {
    TPortSettings settings = ShortTimeouts(Peer.SlavePath());
    settings.BaudRate = baud;
    settings.StopBits = stopBits;
    ASSERT_EQ(Port.Open(settings), ST_OK) << Port.LastReason;
    const test::TPtyLine line = Peer.Line();
    EXPECT_EQ(line.Baud, baud);
    EXPECT_EQ(line.StopBits, stopBits == 0 ? 1 : 2);
    EXPECT_TRUE(line.Raw && line.Local && line.Receiver);
    EXPECT_FALSE(line.HardwareFlow || line.SoftwareFlow);
    EXPECT_EQ(line.VMin + line.VTime, 0);
  }
}

TEST_F(ChannelOnPty, APortHeldByAnotherProgramOpensOnlyOnceReleased) {
  OpenAs(PORT_USB);
  EXPECT_EQ(Peer.ExclusiveFlag(), 1);
  TInterface second;
  EXPECT_EQ(second.Open(ShortTimeouts(Peer.SlavePath())), ST_NOT_OPEN);
  EXPECT_EQ(second.LastReason, "held by another program");

  EXPECT_EQ(Port.Close(), ST_OK);
  EXPECT_EQ(Port.Close(), ST_OK);
  EXPECT_EQ(Peer.ExclusiveFlag(), 0);
  EXPECT_EQ(second.Open(ShortTimeouts(Peer.SlavePath())), ST_OK) << second.LastReason;
  EXPECT_TRUE(second.LastReason.empty());

  // The closed channel makes no port call at all.
  Bytes bytes{1, 2};
  EXPECT_EQ(Write(bytes), ST_NOT_OPEN);
  EXPECT_EQ(Read(bytes), ST_NOT_OPEN);
  EXPECT_EQ(Port.ReadCalls, 0u);
  EXPECT_TRUE(Peer.Drain().empty());
}

TEST(UsbAdapter, FoundByTheProductDescriptionOfItsOwnUsbDevice) {
  TFakeSysfs tree;
  tree.AddTty("ttyUSB0", "usb1/1-1", USB_ADAPTER_DESCRIPTION, "xHCI Host Controller");
  tree.AddTty("ttyUSB1", "usb1/1-2", "FT232R USB UART");
  tree.AddTty("ttyACM0", "usb2/2-1", "Modem", USB_ADAPTER_DESCRIPTION);  // only its hub matches
  tree.AddTty("ttyS0", "platform/serial8250", "");
  std::filesystem::create_directories(tree.Sys() + "/class/tty/tty0");  // no device at all
  const std::pair<std::string, std::string> cases[] = {{USB_ADAPTER_DESCRIPTION, "/dev/ttyUSB0"},
                                                       {"FT232R USB UART", "/dev/ttyUSB1"},
                                                       {"FT232R USB", ""},
                                                       {"xHCI Host Controller", ""},
                                                       {"", ""}};
  for (const auto& [description, device] : cases) {
    EXPECT_EQ(FindUsbSerialDevice(tree.Sys(), description), device) << description;
  }
  EXPECT_EQ(FindUsbSerialDevice(tree.Sys(), "FT232R USB UART", "/x"), "/x/ttyUSB1");
  EXPECT_EQ(FindUsbSerialDevice(tree.Sys() + "/none", USB_ADAPTER_DESCRIPTION), "");
}

TEST_F(ChannelOnPty, AnswersInPiecesAreAssembledWithinTheReadCallsOfThePortKind) {
  const struct {
    uint8_t kind;
    size_t pieces;
    uint32_t status, calls;
  } cases[] = {{PORT_COM, 1, ST_OK, 1}, {PORT_COM, 2, ST_OK, 2},
               {PORT_COM, 3, ST_OK, 3}, {PORT_COM, 4, ST_READ_SHORT, 3},
               {PORT_USB, 1, ST_OK, 1}, {PORT_USB, 2, ST_READ_SHORT, 1}};
  Bytes answer(8);
  std::iota(answer.begin(), answer.end(), 0x40);
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << int(c.kind) << ", " << c.pieces << " pieces");
    OpenAs(c.kind);
    std::vector<Bytes> pieces;
    for (size_t at = 0, size = 8 / c.pieces + (8 % c.pieces != 0); at < 8; at += size) {
      pieces.emplace_back(answer.begin() + at, answer.begin() + std::min<size_t>(8, at + size));
    }
    // Gaps well over the 20 ms interval end a read call; well under the next call's total.
    Peer.Play({TPtyStep::After(2).Reply(pieces).Gap(80)});
    ASSERT_EQ(Write({0x01, 0x86}), ST_OK);
    Bytes buffer(8, 0xEE);
    EXPECT_EQ(Read(buffer), c.status);
    EXPECT_EQ(Port.ReadCalls, c.calls);
    ASSERT_TRUE(Peer.Finish());
    size_t arrived = 0;
    for (size_t i = 0; i < std::min<size_t>(c.calls, pieces.size()); ++i)
      arrived += pieces[i].size();
    EXPECT_EQ(Port.LastCount, arrived);
    Bytes expected(answer.begin(), answer.begin() + arrived);
    expected.resize(8, 0xEE);
    EXPECT_EQ(buffer, expected);
  }
}

TEST_F(ChannelOnPty, ASilentDeviceCostsThreeFullReadCallsOnComAndOneOnUsb) {
  for (const auto& [kind, calls] : {std::pair{PORT_COM, 3}, std::pair{PORT_USB, 1}}) {
    OpenAs(kind, 5, 40);
    Bytes buffer(4);
    const auto start = Clock::now();
    EXPECT_EQ(Read(buffer), ST_READ_SHORT);
    EXPECT_EQ(Port.ReadCalls, static_cast<uint32_t>(calls));
    EXPECT_GE(MsSince(start), calls * (5 * 4 + 40));  // each call waits its whole total
  }
}

TEST_F(ChannelOnPty, AWriteDiscardsALateAnswerButNothingWrittenBefore) {
  OpenAs(PORT_COM);
  ASSERT_TRUE(Peer.Write({0x95, 0x9A, 0x95, 0x9A}));
  int pending = 0;
  for (int i = 0; i < 500 && pending < 4; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(ioctl(Port.Handle, FIONREAD, &pending), 0);
  }
  ASSERT_EQ(pending, 4) << "the late answer never reached the port";

  // Requests in quick succession: the purge before each must not take back the one before.
  Bytes large(20000);
  std::iota(large.begin(), large.end(), 0);
  const Bytes requests[] = {{0x01, 0x83, 0x85}, {0x01, 0x83, 0x84}, large, {0x01, 0x86}};
  Bytes all;
  for (const Bytes& request : requests) all.insert(all.end(), request.begin(), request.end());
  Peer.Play({TPtyStep::After(all.size()).Reply({{0x91, 0x92}})});
  for (const Bytes& request : requests) EXPECT_EQ(Write(request), ST_OK);
  Bytes buffer(2);
  EXPECT_EQ(Read(buffer), ST_OK);
  EXPECT_EQ(buffer, (Bytes{0x91, 0x92}));
  ASSERT_TRUE(Peer.Finish());
  EXPECT_EQ(Peer.Received(), all);
}

TEST_F(ChannelOnPty, AHangUpFailsReadsAndWritesAtOnce) {
  for (uint8_t kind : {PORT_COM, PORT_USB}) {
    TPtyPeer peer;
    TFakeSysfs tree;
    tree.AddTty("ttyUSB0", "usb1/1-1", USB_ADAPTER_DESCRIPTION);
    tree.LinkDevice("ttyUSB0", peer.SlavePath());
    TInterface port;
    port.SysfsRoot = tree.Sys();
    port.DevRoot = tree.Dev();
    const std::string name = kind == PORT_USB ? USB_ADAPTER_DESCRIPTION : peer.SlavePath();
    ASSERT_EQ(port.Open(ShortTimeouts(name, kind, 500, 2000)), ST_OK);
    // The adapter is pulled while the answer comes in.
    peer.Play({TPtyStep::After(1).Reply({{0x91}}).ThenHangUp()});
    uint8_t bytes[4] = {0x01};
    TTransfer transfer{bytes, 4, nullptr};
    ASSERT_EQ(port.Write(transfer), ST_OK);
    const auto start = Clock::now();
    EXPECT_EQ(port.Read(transfer), ST_READ_FAILED);
    EXPECT_LT(MsSince(start), 1000);  // not the 2040 ms a silent device would cost
    EXPECT_EQ(port.Read(transfer), ST_READ_FAILED);
    EXPECT_EQ(port.ReadCalls, 1u);
    EXPECT_EQ(port.Write(transfer), ST_WRITE_FAILED);
    EXPECT_EQ(port.Close(), ST_OK);
    EXPECT_TRUE(peer.Finish());
  }
}

}  // namespace
}  // namespace karvo

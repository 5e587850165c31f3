// The channel over the network against scripted servers on 127.0.0.1: port names, the Telnet
// codec, failures that must be quick and carry the system's reason, and time-outs that allow
// for the network.
#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "channel/Interface.h"
#include "channel/PortName.h"
#include "channel/Telnet.h"
#include "support/LocalServer.h"

namespace karvo {
namespace {

using Bytes = std::vector<uint8_t>;
using namespace telnet;
using test::LoopbackSocket;

TEST(PortName, NamesAreClassifiedAndMalformedOnesSayWhy) {
  struct Case {
    const char* Name;
    bool Ok;
    const char* Why;  // a part of the reason
  };
  const Case cases[] = {
      // clang-format off
      {"COM1", true, ""}, {"COM8", true, ""}, {"COM9", false, "not a port"}, {"USB", true, ""},
      {"/dev/ttyUSB0", true, ""}, {"ttyS0", false, "not a port"}, {"tcp://127.0.0.1:4001", true, ""},
      {"socket://sensors.plant:4001", true, ""}, {"rfc2217://[::1]:4001", true, ""},
      {"rfc2217://[fe80::1%eth0]:4001/", true, ""}, {"tcp://host", false, "has no port"},
      {"tcp://host:", false, "has no port"}, {"tcp://[::1]", false, "has no port"},
      {"tcp://host:0", false, "port 0"}, {"tcp://host:65536", false, "above 65535"},
      {"tcp://host:99999999999", false, "above 65535"}, {"tcp://host:40x1", false, "not a number"},
      {"tcp://host:-1", false, "not a number"}, {"tcp://[::1:4001", false, "without ']'"},
      {"tcp://::1]:4001", false, "without '['"}, {"tcp://::1:4001", false, "in brackets"},
      {"tcp://[host]:4001", false, "not an IPv6"}, {"tcp://[::1]4001", false, "must follow"},
      {"tcp://:4001", false, "not a host"}, {"telnet://host:23", false, "unknown port scheme"},
      // clang-format on
  };
  for (const Case& c : cases) {
    std::string why;
    EXPECT_EQ(CheckPortName(c.Name, why), c.Ok) << c.Name;
    EXPECT_NE(why.find(c.Why), std::string::npos) << c.Name << ": " << why;
  }
  TNetAddress a;
  std::string why;
  ASSERT_TRUE(ParseNetPortName("rfc2217://[::1]:65535", a, why));
  EXPECT_EQ(a.Kind, TNetKind::Rfc2217);
  EXPECT_EQ(a.Host, "::1");
  EXPECT_EQ(a.Port, 65535);
  ASSERT_TRUE(ParseNetPortName("socket://h-1.x:1", a, why));
  EXPECT_EQ(a.Kind, TNetKind::Raw);
  EXPECT_EQ(a.Host, "h-1.x");
}

TEST(TelnetCodec, DataAndNegotiationAreSeparatedWhereverTheStreamIsCut) {
  struct Case {
    const char* Name;
    std::vector<Bytes> Pieces;  // as the socket hands them over
    Bytes Data;
    Bytes Reply;
    bool ComPortRefused = false;
  };
  const Case cases[] = {
      {"plain", {{1, 2, 3}}, {1, 2, 3}, {}},
      {"doubled IAC", {{0x10, IAC, IAC, 0x20}}, {0x10, IAC, 0x20}, {}},
      {"doubled IAC cut in two", {{0x10, IAC}, {IAC, 0x20}}, {0x10, IAC, 0x20}, {}},
      {"all 0xFF", {{IAC, IAC, IAC, IAC}, {IAC}, {IAC}}, {IAC, IAC, IAC}, {}},
      {"echo refused", {{1, IAC, WILL, OPT_ECHO, 2}}, {1, 2}, {IAC, DONT, OPT_ECHO}},
      {"unknown option asked", {{IAC, DO}, {24}}, {}, {IAC, WONT, 24}},
      {"binary offered", {{IAC, WILL, OPT_BINARY}}, {}, {}},  // asked for at the start
      {"binary taken back", {{IAC, WONT, OPT_BINARY}}, {}, {IAC, DONT, OPT_BINARY}},
      {"com port agreed", {{IAC, DO, OPT_COM_PORT}}, {}, {}},
      {"subnegotiation amid data",
       {{7, IAC, SB, OPT_COM_PORT, 101, 0, 0}, {0x25, 0x80, IAC, SE, 8}},
       {7, 8},
       {}},
      {"0xFF doubled inside a subnegotiation",
       {{IAC, SB, OPT_COM_PORT, 101, 0, 0, IAC, IAC, IAC, SE, 9}},
       {9},
       {}},
      {"NOP and GA", {{IAC, 241, 5, IAC, 249, 6}}, {5, 6}, {}},
      {"com port refused", {{IAC, DONT, OPT_COM_PORT}}, {}, {IAC, WONT, OPT_COM_PORT}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    TTelnetCodec codec;
    (void)codec.Start();
    Bytes data;
    Bytes reply;
    for (const Bytes& piece : c.Pieces) {
      Bytes out(piece.size());
      out.resize(codec.Feed(piece.data(), piece.size(), out.data(), reply));
      data.insert(data.end(), out.begin(), out.end());
    }
    EXPECT_EQ(data, c.Data);
    EXPECT_EQ(reply, c.Reply);
    EXPECT_EQ(codec.ComPortRefused(), c.ComPortRefused);
  }
  // Data and a plain rate are seen escaped on the wire in the scripted session below.
  EXPECT_EQ(TTelnetCodec::SetBaud(0x01FF00FF),
            (Bytes{IAC, SB, OPT_COM_PORT, 1, 1, IAC, IAC, 0, IAC, IAC, IAC, SE}));
}

// One scripted client session on 127.0.0.1: `script` gets the accepted socket.
class ScriptedServer {
 public:
  explicit ScriptedServer(std::function<void(int)> script) {
    listener_ = LoopbackSocket(port_);
    listen(listener_, 4);
    thread_ = std::thread([this, script] {
      pollfd p{listener_, POLLIN, 0};
      if (poll(&p, 1, 5000) <= 0) return;
      const int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) return;
      script(client);
      close(client);
    });
  }
  ~ScriptedServer() {
    thread_.join();
    close(listener_);
  }
  std::string Url(const char* scheme = "tcp") const {
    return std::string(scheme) + "://127.0.0.1:" + std::to_string(port_);
  }

  // Reads what comes within `ms`, until `want` bytes are in.
  static Bytes Receive(int fd, size_t want, int ms = 2000) {
    Bytes got;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (got.size() < want && std::chrono::steady_clock::now() < end) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      uint8_t b[256];
      const ssize_t n = recv(fd, b, sizeof b, 0);
      if (n <= 0) break;
      got.insert(got.end(), b, b + n);
    }
    return got;
  }
  static void Send(int fd, const Bytes& bytes) {
    (void)send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  }

 private:
  int listener_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
};

TPortSettings NetSettings(const std::string& url) {
  return {.PortKind = PORT_COM, .Name = url, .Parity = 2, .BaudRate = 9600};
}

uint32_t Write(TInterface& port, Bytes bytes) {
  TTransfer t{bytes.data(), static_cast<uint32_t>(bytes.size())};
  return port.Write(t);
}
uint32_t Read(TInterface& port, Bytes& bytes) {
  TTransfer t{bytes.data(), static_cast<uint32_t>(bytes.size())};
  return port.Read(t);
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST(NetworkChannel, AnExchangeEndsAtOnceWhenTheServerHangsUpAndSaysWhy) {
  struct Case {
    const char* Name;
    bool Reset;          // hang up with a reset instead of an orderly close
    bool BeforeRequest;  // gone before the request, or while its answer is awaited
    uint32_t Status;
    const char* Reason;
  };
  const Case cases[] = {
      {"closed while answering", false, false, ST_READ_FAILED, "closed the connection"},
      {"reset while answering", true, false, ST_READ_FAILED, "reset"},
      {"closed before the request", false, true, ST_WRITE_FAILED, "closed the connection"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    ScriptedServer server([&](int fd) {
      if (c.BeforeRequest) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      } else {
        ScriptedServer::Receive(fd, 2);
      }
      ScriptedServer::Send(fd, {0x81});  // part of an answer, then nothing more
      if (c.Reset) {
        const linger hard{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
      }
    });
    TInterface port;
    ASSERT_EQ(port.Open(NetSettings(server.Url())), ST_OK) << port.LastReason;
    if (c.BeforeRequest) std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto start = std::chrono::steady_clock::now();
    uint32_t status = Write(port, {0x01, 0x81});
    Bytes answer(16);
    if (status == ST_OK) status = Read(port, answer);
    EXPECT_EQ(status, c.Status);
    EXPECT_NE(port.LastReason.find(c.Reason), std::string::npos) << port.LastReason;
    EXPECT_LT(SecondsSince(start), 0.5);  // a hang-up, not the second-long time-out
  }
}

TEST(NetworkChannel, OpeningFailsWithTheSystemsReason) {
  // A port nobody listens on: bound, never listened to, so no other test takes it meanwhile.
  uint16_t free = 0;
  const int holder = LoopbackSocket(free);
  ASSERT_NE(free, 0);
  const std::string refused = "://127.0.0.1:" + std::to_string(free);

  for (const std::string scheme : {"tcp", "rfc2217"}) {
    TInterface port;
    EXPECT_EQ(port.Open(NetSettings(scheme + refused)), ST_NOT_OPEN);
    EXPECT_FALSE(port.IsOpen);
    EXPECT_EQ(port.LastErrno, ECONNREFUSED);
    EXPECT_NE(port.LastReason.find("refused"), std::string::npos) << port.LastReason;
    EXPECT_EQ(Write(port, {0, 0}), ST_NOT_OPEN);
  }
  TInterface port;
  EXPECT_EQ(port.Open(NetSettings("tcp://127.0.0.1")), ST_NOT_OPEN);
  EXPECT_NE(port.LastReason.find("has no port"), std::string::npos) << port.LastReason;
  close(holder);
}

TEST(NetworkChannel, AHostNameReachesTheServerOnWhicheverOfItsAddressesListens) {
  // "localhost" may name ::1 before 127.0.0.1; the server listens on the second only.
  ScriptedServer server([](int fd) {
    ScriptedServer::Receive(fd, 2);
    ScriptedServer::Send(fd, {0x90, 0x91});
    ScriptedServer::Receive(fd, 1, 300);
  });
  const std::string url = server.Url();
  TInterface port;
  ASSERT_EQ(port.Open(NetSettings("socket://localhost" + url.substr(url.rfind(':')))), ST_OK)
      << port.LastReason;
  EXPECT_TRUE(port.IsNetwork());
  ASSERT_EQ(Write(port, {0x01, 0x86}), ST_OK);
  Bytes answer(2);
  EXPECT_EQ(Read(port, answer), ST_OK);
  EXPECT_EQ(answer, (Bytes{0x90, 0x91}));
}

TEST(NetworkChannel, AServerThatNeverAcceptsFailsTheOpenAfterThreeSeconds) {
  // A listener whose queue is full drops further connection requests unanswered, as a host
  // that is switched off does.
  uint16_t listening = 0;
  const int listener = LoopbackSocket(listening);
  ASSERT_EQ(listen(listener, 0), 0);
  sockaddr_in a{};
  socklen_t size = sizeof a;
  getsockname(listener, reinterpret_cast<sockaddr*>(&a), &size);
  std::vector<int> fillers;
  for (int i = 0; i < 3; ++i) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    fillers.push_back(fd);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));

  TInterface port;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(port.Open(NetSettings("tcp://127.0.0.1:" + std::to_string(listening))), ST_NOT_OPEN);
  const double took = SecondsSince(start);
  EXPECT_GT(took, 2.5);
  EXPECT_LT(took, 4.5);
  EXPECT_EQ(port.LastErrno, ETIMEDOUT);
  EXPECT_NE(port.LastReason.find("within 3 s"), std::string::npos) << port.LastReason;
  for (const int fd : fillers) close(fd);
  close(listener);
}

TEST(NetworkChannel, TelnetIsAnsweredAndNeverReachesTheData) {
  Bytes heard;
  ScriptedServer server([&](int fd) {
    // What the client says first and its line settings, then the server's own offers.
    heard = ScriptedServer::Receive(fd, 12 + 10 + 4 * 7, 1000);
    ScriptedServer::Send(fd, {IAC, DO, OPT_COM_PORT, IAC, WILL, OPT_ECHO, IAC, DO, 24});
    ScriptedServer::Send(fd, {IAC, SB, OPT_COM_PORT, 101, 0, 0, 0x4B, 0});  // cut mid-reply
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ScriptedServer::Send(fd, {IAC, SE});
    Bytes request = ScriptedServer::Receive(fd, 6 + 7 + 6);
    heard.insert(heard.end(), request.begin(), request.end());
    // An answer full of 0xFF, cut inside an escape, with a subnegotiation in the middle.
    ScriptedServer::Send(fd, {0xF1, IAC});
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ScriptedServer::Send(fd, {IAC, IAC, SB, OPT_COM_PORT, 107, 0x30, IAC, SE, IAC, IAC, 0xF2});
    ScriptedServer::Receive(fd, 1, 300);
  });
  TInterface port;
  ASSERT_EQ(port.Open(NetSettings(server.Url("rfc2217"))), ST_OK) << port.LastReason;
  // The server confirmed 19200 when 9600 was asked.
  EXPECT_NE(port.Notice.find("19200"), std::string::npos) << port.Notice;

  ASSERT_EQ(Write(port, {0x05, IAC, IAC, 0x81}), ST_OK);
  Bytes answer(4);
  ASSERT_EQ(Read(port, answer), ST_OK);
  EXPECT_EQ(answer, (Bytes{0xF1, IAC, IAC, 0xF2}));

  // clang-format off
  const Bytes settings = {
      IAC, WILL, OPT_COM_PORT, IAC, WILL, OPT_BINARY, IAC, DO, OPT_BINARY, IAC, DO, OPT_SGA,
      IAC, SB, OPT_COM_PORT, CPO_SET_BAUDRATE, 0, 0, 0x25, 0x80, IAC, SE,
      IAC, SB, OPT_COM_PORT, CPO_SET_DATASIZE, 8, IAC, SE,
      IAC, SB, OPT_COM_PORT, CPO_SET_PARITY, PARITY_EVEN, IAC, SE,
      IAC, SB, OPT_COM_PORT, CPO_SET_STOPSIZE, STOP_ONE, IAC, SE,
      IAC, SB, OPT_COM_PORT, CPO_SET_CONTROL, CONTROL_NO_FLOW, IAC, SE};
  // clang-format on
  const Bytes answers = {IAC, DONT, OPT_ECHO, IAC, WONT, 24};
  const Bytes purgeAndRequest = {
      IAC, SB,  OPT_COM_PORT, CPO_PURGE_DATA, PURGE_RECEIVE, IAC, SE, 0x05, IAC, IAC,
      IAC, IAC, 0x81};
  Bytes expected = settings;
  expected.insert(expected.end(), answers.begin(), answers.end());
  expected.insert(expected.end(), purgeAndRequest.begin(), purgeAndRequest.end());
  EXPECT_EQ(heard, expected);
}

TEST(NetworkChannel, TimeOutsAllowForTheNetworkButASilentPeerStillFails) {
  // The answer comes in segments further apart than the serial gap between two bytes.
  ScriptedServer segmented([](int fd) {
    ScriptedServer::Receive(fd, 2);
    for (const uint8_t b : {0x91, 0x92, 0x93, 0x94}) {
      ScriptedServer::Send(fd, {b});
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    ScriptedServer::Receive(fd, 1, 300);
  });
  TInterface port;
  TPortSettings settings = NetSettings(segmented.Url());
  settings.ReadAttempts = 1;
  ASSERT_EQ(port.Open(settings), ST_OK);
  ASSERT_EQ(Write(port, {0x01, 0x86}), ST_OK);
  Bytes answer(4);
  EXPECT_EQ(Read(port, answer), ST_OK);
  EXPECT_EQ(port.ReadCalls, 1u);

  ScriptedServer silent([](int fd) { ScriptedServer::Receive(fd, 100, 8000); });
  TInterface quiet;
  ASSERT_EQ(quiet.Open(NetSettings(silent.Url())), ST_OK);
  ASSERT_EQ(Write(quiet, {0x01, 0x86}), ST_OK);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Read(quiet, answer), ST_READ_SHORT);
  // Three read calls of 10 x 4 + 1000 ms each on the wire; twice that at most here.
  const double took = SecondsSince(start);
  EXPECT_GT(took, 3 * 1.04);
  EXPECT_LT(took, 2 * 3 * 1.04);
}

}  // namespace
}  // namespace karvo

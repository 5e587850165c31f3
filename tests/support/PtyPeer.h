// A scripted device at the far end of a pseudo-terminal, for tests of anything that talks
// over a TInterface. The program under test opens SlavePath() as its port; the peer holds
// the master side.
//
//   karvo::test::TPtyPeer peer;                 // ASSERT_TRUE(peer.Ok()) << peer.Error();
//   settings.Name = peer.SlavePath();           // a COM-kind TPortSettings / TLinkSettings
//   peer.Play({TPtyStep::After(2).Reply({{0x91, 0x90}, {0x92, 0x90}}).Gap(50)});
//   ... the program writes its 2-byte request and reads the answer, here in two pieces ...
//   peer.Finish();                              // true when every step ran
//   EXPECT_EQ(peer.Received(), (Bytes{0x01, 0x86}));
//
// Direct use works too (Write, Read, Drain) while no script is playing. The peer keeps a
// descriptor of the slave open itself, so the master stays usable while the program closes
// and reopens the port; HangUp() closes both, and the program sees its tty hang up (it may
// be called from any thread, a Trace callback for one).
//
// Ptys are not UARTs: no parity or data bits (see TPtyLine), no modem lines, no break, and
// an output flush on the slave (TCOFLUSH) discards what the peer has not read yet.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace karvo::test {

using Bytes = std::vector<uint8_t>;

// The slave's line settings as the program left them. Parity and data bits are missing on
// purpose: the pty driver forces 8 data bits and clears the parity bit whatever was set.
struct TPtyLine {
  uint32_t Baud = 0;          // bits per second, free rates (BOTHER) included
  int StopBits = 1;           // 1 or 2
  bool Raw = false;           // no canonical input, echo, signals or output processing
  bool Local = false;         // CLOCAL
  bool Receiver = false;      // CREAD
  bool HardwareFlow = false;  // CRTSCTS
  bool SoftwareFlow = false;  // IXON or IXOFF
  uint8_t VMin = 0;
  uint8_t VTime = 0;
};

// One step of a script: wait for a request, then answer it. Built by chaining:
//   TPtyStep::After(2).Reply({{0x91, 0x90}, {0x92}}).Gap(80).ThenHangUp()
struct TPtyStep {
  size_t Expect = 0;          // request bytes to wait for (counted on from the previous step)
  std::vector<Bytes> Answer;  // written piece by piece; empty: stay silent
  int DelayMs = 0;            // before the first piece
  int GapMs = 0;              // between two pieces
  bool HangUp = false;        // close the line once the answer is out

  static TPtyStep After(size_t requestBytes) {
    TPtyStep step;
    step.Expect = requestBytes;
    return step;
  }
  TPtyStep Reply(std::vector<Bytes> pieces) const {
    TPtyStep step = *this;
    step.Answer = std::move(pieces);
    return step;
  }
  TPtyStep Delay(int ms) const {
    TPtyStep step = *this;
    step.DelayMs = ms;
    return step;
  }
  TPtyStep Gap(int ms) const {
    TPtyStep step = *this;
    step.GapMs = ms;
    return step;
  }
  TPtyStep ThenHangUp() const {
    TPtyStep step = *this;
    step.HangUp = true;
    return step;
  }
};

class TPtyPeer {
 public:
  TPtyPeer();   // opens the pseudo-terminal; see Ok()
  ~TPtyPeer();  // abandons a running script and closes the line
  TPtyPeer(const TPtyPeer&) = delete;
  TPtyPeer& operator=(const TPtyPeer&) = delete;

  bool Ok() const { return Master >= 0; }
  const std::string& Error() const { return ErrorText; }
  const std::string& SlavePath() const { return Slave; }
  int MasterFd() const { return Master; }

  // Runs the steps on a background thread. A step whose request has not arrived within
  // StepTimeoutMs ends the script.
  void Play(std::vector<TPtyStep> steps);
  // Waits for the script to end; true when every step ran.
  bool Finish();
  int StepTimeoutMs = 5000;

  // Everything the program wrote that the peer has read so far, in order.
  Bytes Received() const;
  void ClearReceived();

  // Direct use, not while a script plays.
  bool Write(const Bytes& bytes);
  Bytes Read(size_t count, int timeoutMs = 1000);  // until count bytes or the time-out
  Bytes Drain(int quietMs = 20);                   // until nothing came for quietMs
  void HangUp();

  TPtyLine Line() const;
  // The tty's exclusive-open flag (TIOCEXCL): 1 set, 0 clear, -1 unknown.
  int ExclusiveFlag() const;

 private:
  void Run(std::vector<TPtyStep> steps);
  bool WaitFor(size_t total, int timeoutMs);
  size_t Pull(int waitMs);
  void Sleep(int ms);

  std::atomic<int> Master{-1};
  std::atomic<int> SlaveKeeper{-1};
  std::string Slave;
  std::string ErrorText;
  std::thread Player;
  std::atomic<bool> Stop{false};
  std::atomic<bool> Completed{false};
  mutable std::mutex Lock;
  Bytes Got;
};

}  // namespace karvo::test

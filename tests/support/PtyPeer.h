// A scripted device at the far end of a pseudo-terminal, for tests of anything that talks
// over a TInterface. The program under test opens SlavePath() as its port; the peer holds
// the master side.
//
//   karvo::test::TPtyPeer peer;                 // ASSERT_TRUE(peer.Ok()) << peer.Error();
//   peer.Play({{.Expect = 2, .Answer = {{0x91, 0x90}, {0x92, 0x90}}, .GapMs = 50}});
//   ... the program writes its 2-byte request and reads the answer, here in two pieces ...
//   EXPECT_TRUE(peer.Finish());                 // true when every step ran
//   EXPECT_EQ(peer.Received(), (Bytes{0x01, 0x86}));
//
// The peer keeps a descriptor of the slave open itself, so the master stays usable while the
// program closes and reopens the port; HangUp() closes both, and the program sees its tty
// hang up (it may be called from any thread, a Trace callback for one).
//
// Ptys are not UARTs: no parity or data bits, no modem lines, and an output flush on the
// slave (TCOFLUSH) discards what the peer has not read yet.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace karvo::test {

using Bytes = std::vector<uint8_t>;

// An answer as the sensor puts it on the wire: low nibble, then high nibble, all with one tag
// in bits 4 to 6 (and bit 7 set, which the link ignores).
inline Bytes SensorWire(const Bytes& data, uint8_t tag = 0xB0) {
  Bytes wire;
  for (uint8_t byte : data)
    wire.insert(wire.end(), {uint8_t(tag | (byte & 15)), uint8_t(tag | byte >> 4)});
  return wire;
}

// What of the slave's line settings a pty keeps (it forces 8 data bits and no parity).
struct TPeerLine {
  uint32_t Baud = 0;  // free rates included
  int StopBits = 0;
};

// One step of a script: wait for a request, then answer it.
struct TPtyStep {
  size_t Expect = 0;          // request bytes to wait for (counted on from the previous step)
  std::vector<Bytes> Answer;  // written piece by piece; empty: stay silent
  int GapMs = 0;              // between two pieces
  bool HangUp = false;        // close the line once the answer is out
};

class TPtyPeer {
 public:
  TPtyPeer();   // opens the pseudo-terminal; see Ok()
  ~TPtyPeer();  // abandons a running script and closes the line

  bool Ok() const { return Master >= 0; }
  const std::string& Error() const { return ErrorText; }
  const std::string& SlavePath() const { return Slave; }

  // Runs the steps on a background thread; a request that does not come within 5 s ends it.
  void Play(std::vector<TPtyStep> steps);
  bool Finish();  // waits for the script to end; true when every step ran
  // Everything the program wrote since the last Play that the peer has read, in order.
  Bytes Received() const;

  // Direct use, not while a script plays.
  bool Write(const Bytes& bytes);
  Bytes Drain(int ms = 20) {  // reads for a while; what came since the last Play
    WaitFor(SIZE_MAX, ms);
    return Received();
  }
  void HangUp();

  TPeerLine Line() const;
  int ExclusiveFlag() const;  // the tty's TIOCEXCL flag: 1 set, 0 clear, -1 unknown

 private:
  void Run(const std::vector<TPtyStep>& steps);
  bool WaitFor(size_t total, int timeoutMs);
  void Pull(int waitMs);

  std::atomic<int> Master{-1}, SlaveKeeper{-1};
  std::string Slave, ErrorText;
  std::thread Player;
  std::atomic<bool> Stop{false}, Completed{false};
  mutable std::mutex Lock;
  Bytes Got;
};

}  // namespace karvo::test

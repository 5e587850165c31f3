// One end of a simulated serial line: the master of a pseudo-terminal, whose slave is the
// device path a program opens. The line keeps a descriptor of its own on the slave, so that
// the master neither reports a hang-up nor loses the slave's settings whenever the program
// closes and reopens the port (it does so on every change of baud rate).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace karvo::sim {

// What a device on the line can tell about the settings its peer chose. A pseudo-terminal
// always reports 8 data bits and no parity enable bit (the driver clears them), so even
// parity cannot be told from none; odd and stick parity, stop bits and the rate survive.
struct TLineSettings {
  uint32_t Baud = 0;
  bool OddParity = false;
  bool StickParity = false;  // mark or space parity
  bool TwoStopBits = false;
};

class TPtyLine {
 public:
  TPtyLine() = default;
  ~TPtyLine();
  TPtyLine(const TPtyLine&) = delete;
  TPtyLine& operator=(const TPtyLine&) = delete;

  // Creates the pair, with the slave raw at `baud`, 8 data bits, even parity. The master is
  // non-blocking. False with a reason on failure.
  bool Open(uint32_t baud, std::string* error);
  // Closes both ends: whoever holds the slave sees a hang-up.
  void Close();
  bool IsOpen() const { return master_ >= 0; }
  int Master() const { return master_; }
  // The line's own descriptor of the slave: readable once bytes written to the master have
  // reached the program's side, until the program reads them.
  int Slave() const { return slave_; }
  const std::string& SlavePath() const { return path_; }

  // Reads what the program wrote: the byte count, 0 when nothing came but a note that the
  // program flushed its port (`flushed`, which it does right before every request), -1 with
  // errno on failure. At most `size` bytes.
  ssize_t Read(uint8_t* buffer, size_t size, bool& flushed) const;

  // The settings last given to the slave (by the program or at Open).
  bool ReadSettings(TLineSettings& settings) const;

  // Sets raw mode, any rate (also rates without a Bxxx constant), 8 data bits and the parity
  // (0 none, 1 odd, 2 even) on a terminal descriptor.
  static bool Configure(int fd, uint32_t baud, int parity);

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string path_;
};

}  // namespace karvo::sim

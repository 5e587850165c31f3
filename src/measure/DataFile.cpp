#include "measure/DataFile.h"

#include "measure/RunModes.h"

namespace karvo {

std::string DataFileBytes(TSampleRing& ring) {
  std::string bytes;
  ring.SampleReadIndex = ring.RunComplete ? static_cast<uint16_t>(ring.SampleCount + 1) : 0;
  bytes.reserve(
      static_cast<size_t>(static_cast<uint16_t>(ring.SampleCount - ring.SampleReadIndex)) * 12);
  while (ring.SampleReadIndex != ring.SampleCount) {
    bytes += FixedText(ring.SampleBuffer[ring.SampleReadIndex], 3);
    bytes += "\r\n";
    ring.SampleReadIndex = static_cast<uint16_t>(ring.SampleReadIndex + 1);
  }
  return bytes;
}

}  // namespace karvo

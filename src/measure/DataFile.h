// The measured-data file of "Save data to file": one sample a line, oldest kept first.
#pragma once

#include <string>

#include "measure/SampleRing.h"

namespace karvo {

// The file's bytes: each sample as fixed-point text with 3 decimals and CR LF. With the ring
// wrapped, its 65535 oldest-first samples (the slot at SampleCount is not written). Leaves
// SampleReadIndex at SampleCount, as a save does.
std::string DataFileBytes(TSampleRing& ring);

}  // namespace karvo

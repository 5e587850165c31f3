// Keeps the processors quick to wake while the program talks to a sensor at high rates.
//
// An answer's last byte wakes the kernel's tty worker and then the program, each possibly on
// a processor that has gone idle; from a deep idle state (or a halted virtual processor) each
// such wake-up takes tens of microseconds, a tenth of a short exchange at 115200 baud. While
// exchanges go on, the program asks the kernel for the shortest wake-up (a PM QoS request on
// /dev/cpu_dma_latency, as latency-tuned systems make), and drops the request once the line
// has been quiet for a moment, so that an idle connection costs no power. Opening the device
// needs root or a udev rule giving it to the user; without it nothing changes.
#pragma once

namespace karvo {

enum class TCpuLatencyState { Unasked, Held, Released, Refused };

// An exchange happens now: makes the request if it is not in force.
void KeepProcessorsResponsive();

// What became of the request, for the benchmarks' reports.
TCpuLatencyState CpuLatencyState();

}  // namespace karvo

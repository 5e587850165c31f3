// karvo-sim: a simulated sensor on a pseudo-terminal, for trying the program without hardware.
// Prints the device path to open, then answers until interrupted.
#include <pthread.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "sim/SensorSim.h"
#include "sim/SimArguments.h"
#include "sim/StageSim.h"

int main(int argc, char** argv) {
  karvo::sim::TSimArguments arguments;
  std::string problem =
      karvo::sim::ParseSimArguments(std::vector<std::string>(argv + 1, argv + argc), arguments);
  if (!problem.empty()) {
    std::fprintf(stderr, "karvo-sim: %s\nTry 'karvo-sim --help' for more information.\n",
                 problem.c_str());
    return 2;
  }
  if (arguments.Help) {
    std::fputs(karvo::sim::SIM_USAGE, stdout);
    return 0;
  }
  if (arguments.Version) {
    std::puts("karvo-sim " KARVO_VERSION);
    return 0;
  }

  // Block the stop signals before the sensor's thread starts, so that only sigwait sees them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  karvo::sim::TSensorSim sensor(arguments.Options);
  if (arguments.Distance) sensor.SetTargetDistance(*arguments.Distance);
  std::string error;
  if (!sensor.Start(&error)) {
    std::fprintf(stderr, "karvo-sim: cannot start: %s\n", error.c_str());
    return 1;
  }
  karvo::sim::TStageSimOptions stageOptions;
  stageOptions.MmPerUnit = karvo::sim::StageMmPerUnitForRange(arguments.Options.MeasuringRange);
  karvo::sim::TStageSim stage(stageOptions);
  if (arguments.Stage) {
    if (!stage.Start(&error)) {
      std::fprintf(stderr, "karvo-sim: cannot start the stage: %s\n", error.c_str());
      return 1;
    }
    karvo::sim::CoupleSensorToStage(sensor, stage);
  }
  std::printf("%s\n", sensor.DevicePath().c_str());
  if (arguments.Stage) std::printf("%s\n", stage.DevicePath().c_str());
  std::fflush(stdout);
  int signal = 0;
  sigwait(&stopSignals, &signal);
  sensor.Stop();
  stage.Stop();
  return 0;
}

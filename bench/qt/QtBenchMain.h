// The main of a window benchmark: an application on the offscreen platform unless another is
// asked for, then the registered benchmarks.
#pragma once

#include <benchmark/benchmark.h>

#include <QApplication>

#define KARVO_QT_BENCHMARK_MAIN()                                                             \
  int main(int argc, char** argv) {                                                           \
    qputenv("QT_QPA_PLATFORM",                                                                \
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM")); \
    QApplication app(argc, argv);                                                             \
    benchmark::Initialize(&argc, argv);                                                       \
    benchmark::RunSpecifiedBenchmarks();                                                      \
    benchmark::Shutdown();                                                                    \
    return 0;                                                                                 \
  }

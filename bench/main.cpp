#include <benchmark/benchmark.h>

#include <cstdio>

#include "bench/board.h"
#include "bench/runner_bench.h"

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  if (!board_setup(NORVASK_STANDIN_PATH)) {
    std::perror("cannot set up the stand-in board");
    return 1;
  }
  runner_bench_setup();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  board_teardown();
  return 0;
}

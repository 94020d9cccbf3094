#pragma once

// Raises the hard descriptor limit as far as the machine allows (root only)
// and sets up the runner benchmarks' command answers.
void runner_bench_setup();

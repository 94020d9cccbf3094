#pragma once

// Raises the hard descriptor limit as far as the machine allows (root only).
void runner_bench_setup();

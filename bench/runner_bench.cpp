// The command runner against posix_spawn running the same command with the
// same descriptors (/dev/null or a capture file as output, /dev/null for the
// rest, every descriptor from 3 up closed), at a descriptor limit of 1024 and
// at the highest limit the machine allows.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "bench/board.h"
#include "bench/runner_bench.h"
#include "exec/exec.h"
#include "exec/exec_internal.h"

namespace {

rlim_t highest_limit = 1024;

// A direct program, and a shell pipeline as the probes run them.
enum Command : int { True, Shell };

const char* const true_argv[] = {"/bin/true", nullptr};
const char* const shell_command_text = "hostapd_cli -i wlan0 all_sta | grep -c flags";
const char* const shell_argv[] = {"/bin/sh", "-c", shell_command_text, nullptr};

bool set_soft_limit(benchmark::State& state) {
  const rlim_t wanted = state.range(1) == 0 ? 1024 : highest_limit;
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = wanted;
  if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
    state.SkipWithError("cannot set the descriptor limit");
    return false;
  }
  state.counters["fd_limit"] = static_cast<double>(wanted);
  return true;
}

void restore_limit() {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = 1024;
  setrlimit(RLIMIT_NOFILE, &limit);
}

std::string capture_file() { return board_path("runner_capture.txt"); }

// The runner as the probes call it.
int run_with_runner(Command command, const std::string& capture) {
  if (command == True) return run_command(true_argv[0], nullptr);
  set_child_stdout(open_capture(capture.c_str()));
  return run_command(shell_argv[0], shell_argv[1], shell_argv[2], nullptr);
}

// The same child through posix_spawn. The capture descriptor gets the same
// number on every call, so the file actions are built once, before timing.
struct Spawn {
  posix_spawn_file_actions_t actions;
  int capture_fd;
};

void spawn_prepare(Spawn& spawn, Command command, const std::string& capture) {
  spawn.capture_fd = open_capture(capture.c_str());
  close(spawn.capture_fd);
  posix_spawn_file_actions_init(&spawn.actions);
  posix_spawn_file_actions_addopen(&spawn.actions, 0, "/dev/null", O_RDWR, 0);
  posix_spawn_file_actions_adddup2(&spawn.actions, command == True ? 0 : spawn.capture_fd, 1);
  posix_spawn_file_actions_adddup2(&spawn.actions, 0, 2);
  posix_spawn_file_actions_addclosefrom_np(&spawn.actions, 3);
}

int run_with_spawn(const Spawn& spawn, Command command, const std::string& capture) {
  int fd = -1;
  if (command == Shell && (fd = open_capture(capture.c_str())) != spawn.capture_fd) return -1;
  char* const* argv = const_cast<char* const*>(command == True ? true_argv : shell_argv);
  pid_t pid = -1;
  const int failed = posix_spawnp(&pid, argv[0], &spawn.actions, nullptr, argv, environ);
  if (fd >= 0) close(fd);
  int status = -1;
  if (failed || waitpid(pid, &status, 0) != pid) return -1;
  return status;
}

std::int64_t now_ns(clockid_t clock) {
  timespec t{};
  clock_gettime(clock, &t);
  return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

struct Sample {
  std::int64_t wall_ns;
  std::int64_t cpu_ns;  // this thread's own, without the child's
};

template <typename Run>
Sample timed(Run run, bool& failed) {
  const std::int64_t wall = now_ns(CLOCK_MONOTONIC);
  const std::int64_t cpu = now_ns(CLOCK_THREAD_CPUTIME_ID);
  if (run() != 0) failed = true;
  return {now_ns(CLOCK_MONOTONIC) - wall, now_ns(CLOCK_THREAD_CPUTIME_ID) - cpu};
}

double median(std::vector<std::int64_t>& values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t middle = values.size() / 2;
  return values.size() % 2
             ? static_cast<double>(values[middle])
             : (static_cast<double>(values[middle - 1]) + static_cast<double>(values[middle])) / 2;
}

// The runner and posix_spawn in alternation, each pair in turn order, so that
// both see the same load on a shared machine. Reports each one's median wall
// and own CPU time per command, and the median ratio of the pairs' wall times.
void runner_vs_spawn(benchmark::State& state) {
  if (!set_soft_limit(state)) return;
  BoardState board = initial_board();
  board.stations = {1, 0};  // hostapd_cli prints one station
  board_state(board);
  const Command command = static_cast<Command>(state.range(0));
  const std::string capture = capture_file();
  Spawn spawn{};
  spawn_prepare(spawn, command, capture);
  std::vector<std::int64_t> runner_wall;
  std::vector<std::int64_t> spawn_wall;
  std::vector<std::int64_t> runner_cpu;
  std::vector<std::int64_t> spawn_cpu;
  std::vector<double> ratios;
  bool failed = false;
  bool runner_first = true;
  for (auto _ : state) {
    Sample runner{};
    Sample spawned{};
    const auto run_runner = [&] { return run_with_runner(command, capture); };
    const auto run_spawn = [&] { return run_with_spawn(spawn, command, capture); };
    if (runner_first) {
      runner = timed(run_runner, failed);
      spawned = timed(run_spawn, failed);
    } else {
      spawned = timed(run_spawn, failed);
      runner = timed(run_runner, failed);
    }
    runner_first = !runner_first;
    if (failed) {
      state.SkipWithError("the command failed");
      break;
    }
    state.SetIterationTime(static_cast<double>(runner.wall_ns + spawned.wall_ns) / 1e9);
    runner_wall.push_back(runner.wall_ns);
    spawn_wall.push_back(spawned.wall_ns);
    runner_cpu.push_back(runner.cpu_ns);
    spawn_cpu.push_back(spawned.cpu_ns);
    ratios.push_back(static_cast<double>(runner.wall_ns) / static_cast<double>(spawned.wall_ns));
  }
  posix_spawn_file_actions_destroy(&spawn.actions);
  restore_limit();
  const double runner_us = median(runner_wall) / 1000;
  const double spawn_us = median(spawn_wall) / 1000;
  state.counters["runner_us"] = runner_us;
  state.counters["spawn_us"] = spawn_us;
  // Each pair ran back to back under the same load: the median of their
  // ratios is steadier than the ratio of the medians on a shared machine.
  std::sort(ratios.begin(), ratios.end());
  state.counters["ratio"] = ratios.empty() ? 0 : ratios[ratios.size() / 2];
  state.counters["runner_cpu_us"] = median(runner_cpu) / 1000;
  state.counters["spawn_cpu_us"] = median(spawn_cpu) / 1000;
}

void command_args(benchmark::internal::Benchmark* b) {
  b->ArgNames({"command", "limit"});
  for (int command : {True, Shell}) {
    for (int limit : {0, 1}) b->Args({command, limit});
  }
  b->UseManualTime();
}

}  // namespace

void runner_bench_setup() {
  // Root may raise the hard limit up to the kernel's ceiling; anyone may raise
  // the soft limit to the hard one.
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  highest_limit = limit.rlim_max;
  char text[32] = {};
  const int fd = open("/proc/sys/fs/nr_open", O_RDONLY | O_CLOEXEC);
  const ssize_t n = fd >= 0 ? read(fd, text, sizeof text - 1) : -1;
  if (fd >= 0) close(fd);
  const unsigned long ceiling = n > 0 ? std::strtoul(text, nullptr, 10) : 0;
  if (ceiling > highest_limit) {
    const rlimit raised{limit.rlim_cur, ceiling};
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) highest_limit = ceiling;
  }
  if (highest_limit == RLIM_INFINITY) highest_limit = 1048576;
}

BENCHMARK(runner_vs_spawn)->Apply(command_args);

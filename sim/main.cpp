// norvask-board: runs the daemon on a simulated router board, or, with
// --router, inside the emulated router.
//
//   norvask-board [options] [< commands]
//   norvask-board --router
//
// The supervisor builds a sandbox, reports "ready", and then runs command
// lines from its standard input (and from a scenario file) while it reports
// what happens as events on its standard output. See sim/README.md.

#include <getopt.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim/network.h"
#include "sim/router.h"
#include "sim/services.h"
#include "sim/simulated.h"

namespace {

// Exit status when the machine cannot host the sandbox (as for a skipped test).
constexpr int exit_unsupported = 77;

void usage() {
  (void)std::fprintf(
      stderr,
      "usage: norvask-board --daemon PATH [--prefix WORD]... [--env NAME=VALUE]...\n"
      "                     [--show HOST_PATH[:/opt/PATH]]... [--shell PATH] [--script FILE]\n"
      "                     [--no-device-filter] [--init FILE] [--fast-clock]\n"
      "                     [--user UID]\n"
      "       norvask-board --router   (inside the emulated router)\n");
}

std::string base_name(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// HOST_PATH[:INSIDE]: a host file shown read-only at INSIDE, which must be
// below /opt (the sandbox's own: nothing is laid out over the host's paths),
// or by default in the board's files folder under its own name.
int show_option(const std::string& value, SimOptions& options) {
  const std::size_t colon = value.find(':');
  const std::string host = value.substr(0, colon);
  const std::string inside = colon == std::string::npos
                                 ? std::string(board_files_dir) + "/" + base_name(host)
                                 : value.substr(colon + 1);
  if (host.empty() || inside.rfind("/opt/", 0) != 0 || inside.find("/..") != std::string::npos) {
    (void)std::fprintf(stderr, "norvask-board: --show %s: expected HOST_PATH[:/opt/PATH]\n",
                       value.c_str());
    return -1;
  }
  options.shown.push_back({host, inside});
  return 0;
}

int parse_options(int argc, char** argv, Options& options, SimOptions& sim) {
  enum : int { Daemon = 1, Prefix, Env, Show, Shell, Script, Init, NoFilter, Fast, User };
  const option longs[] = {
      {"daemon", required_argument, nullptr, Daemon},
      {"prefix", required_argument, nullptr, Prefix},
      {"env", required_argument, nullptr, Env},
      {"show", required_argument, nullptr, Show},
      {"shell", required_argument, nullptr, Shell},
      {"script", required_argument, nullptr, Script},
      {"init", required_argument, nullptr, Init},
      {"no-device-filter", no_argument, nullptr, NoFilter},
      {"fast-clock", no_argument, nullptr, Fast},
      {"user", required_argument, nullptr, User},
      {nullptr, 0, nullptr, 0},
  };
  sim.emulate_devices = true;
  sim.fast_clock = false;
  options.user = -1;
  opterr = 0;
  for (int opt; (opt = getopt_long(argc, argv, "", longs, nullptr)) != -1;) {
    const std::string value = optarg ? optarg : "";
    switch (opt) {
      case Daemon:
        options.daemon = value;
        break;
      case Prefix:
        options.prefix.push_back(value);
        break;
      case Env:
        options.env.push_back(value);
        break;
      case Show:
        if (show_option(value, sim) != 0) return -1;
        break;
      case Shell:
        sim.shell = value;
        break;
      case Script:
        options.script = value;
        break;
      case Init:
        sim.shown.push_back({value, sandbox_init_path});
        break;
      case NoFilter:
        sim.emulate_devices = false;
        break;
      case Fast:
        sim.fast_clock = true;
        break;
      case User: {
        char* end = nullptr;
        options.user = std::strtol(value.c_str(), &end, 10);
        if (*end != '\0' || options.user < 1 || options.user > 65535) {
          usage();
          return -1;
        }
        break;
      }
      default:
        usage();
        return -1;
    }
  }
  if (optind != argc || options.daemon.empty()) {
    usage();
    return -1;
  }
  return 0;
}

// The first process of the sandbox's PID namespace.
int supervise(Supervisor& s) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (build_sandbox(world.host) != 0 || setup_network(world.host.ip, initial_board()) != 0)
    return 1;
  return run_board(s);
}

int outer_pid_for_signals = -1;

void forward_signal(int sig) {
  if (outer_pid_for_signals > 0) kill(outer_pid_for_signals, sig);
}

}  // namespace

int main(int argc, char** argv) {
  const char* slash = argc > 0 ? std::strrchr(argv[0], '/') : nullptr;
  const std::string name = slash ? slash + 1 : (argc > 0 ? argv[0] : "");
  const int service = service_main(name, argc, argv);
  if (service >= 0) return service;

  static Supervisor s{};
  s.input = {0, "", {}, 0};
  s.script = {-1, "", {}, 0};
  s.daemon = {-1, -1, -1, "", ""};
  s.job = {-1, -1, ""};
  s.backend = &simulated_backend;
  world.listener = -1;
  // Inside the router: its own devices, files and world; lines over its port.
  if (argc == 2 && std::strcmp(argv[1], "--router") == 0) {
    s.backend = &router_backend;
    return open_router_port() == 0 ? run_board(s) : 1;
  }
  if (parse_options(argc, argv, s.options, world.options) != 0) return 2;
  world.clock_fast = world.options.fast_clock;
  if (!s.options.script.empty() && read_script(s.options.script, s.script) != 0) return 2;
  if (s.options.user >= 0 && geteuid() != 0) {
    (void)std::fprintf(stderr, "norvask-board: --user needs root\n");
    return 2;
  }
  // The host's root is exempt from RLIMIT_NPROC, and so is the daemon unless
  // it runs as another user or in a user namespace of ours.
  world.limits_apply = geteuid() != 0 || s.options.user >= 0;
  if (enter_namespaces() != 0) return exit_unsupported;
  // Opened inside the new mount namespace, so that the daemon's file can be
  // bound from there; the host's paths are still all visible.
  if (collect_host_files(s.options.daemon, world.options.shown, world.options.shell, world.host) !=
      0) {
    return 2;
  }

  const pid_t inner = fork();
  if (inner < 0) return 1;
  if (inner == 0) return supervise(s);
  // Outside the PID namespace: pass stop requests on and report the result.
  outer_pid_for_signals = inner;
  for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) (void)std::signal(sig, forward_signal);
  int status = 0;
  while (waitpid(inner, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

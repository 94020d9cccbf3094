// The board program's core: the line vocabulary and its queue, the events,
// running the daemon (directly or through its start script), `run`,
// `inspect` and the daemon's syslog. What a line does to the world goes
// through a Backend. The core takes the C library and POSIX only, so that
// the same core runs on the simulated board and inside the router.
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <cstddef>
#include <deque>
#include <string>
#include <vector>

// Where the router package installs the daemon and its files.
inline constexpr const char* sandbox_daemon_path = "/opt/norvask/bin/norvaskd";
inline constexpr const char* sandbox_settings_path = "/opt/norvask/etc/settings";
inline constexpr const char* sandbox_init_path = "/opt/norvask/etc/init";
inline constexpr const char* daemon_pid_file = "/var/run/norvaskd.pid";
// The daemon's PATH: the board's stand-ins first.
inline constexpr const char* sandbox_path_variable = "/opt/board/bin:/usr/sbin:/usr/bin:/sbin:/bin";

struct Options {
  std::string daemon;               // the daemon binary
  std::vector<std::string> prefix;  // an emulator or tracer to run it under, if any
  std::vector<std::string> env;     // extra NAME=value for the daemon
  std::string script;               // scenario file to run at start
  long user;                        // the daemon's and the services' user, -1: ours
};

struct DaemonRun {
  pid_t pid;
  int out;  // the daemon's standard output and error, -1 when closed
  int err;
  std::string out_line;
  std::string err_line;
};

// Lines waiting to be run; a "wait" holds back the ones after it.
struct CommandQueue {
  int fd;  // where more lines come from, -1 when none will
  std::string partial;
  std::deque<std::string> lines;
  double resume_at;
};

// A shell command run on the board ("run"): its output is reported with
// its exit status once it ends.
struct Job {
  pid_t pid;  // -1 when none runs
  int out;    // its standard output and error
  std::string output;
};

struct Backend;

struct Supervisor {
  const Backend* backend;
  Options options;
  DaemonRun daemon;
  Job job;
  CommandQueue input;
  CommandQueue script;
  bool quitting;
  double quit_deadline;
  std::string pending;  // a line whose result the backend reports later; empty: none
  pid_t web = -1;       // the router's web server ("web start"), -1 when none runs
};

// A line's result: done, failed ("error LINE: WHY"), or refused because
// the board cannot play it ("refused LINE: WHY"), which readers tell apart
// by the event's kind. A verb whose change takes a while returns
// verb_pending and the backend calls finish_line once it has happened; the
// lines after it wait, the daemon's calls and events do not.
enum : int { verb_done = 0, verb_failed = -1, verb_refused = -2, verb_pending = 1 };

// What every line's handler gets: the words of the line, the line itself,
// the seconds to hold back later lines, and the reason for a failure.
struct Call {
  Supervisor& s;
  const std::vector<std::string>& w;
  const std::string& line;
  double& wait;
  std::string& error;

  int fail(const std::string& why) const;
  int refuse(const std::string& why) const;
  int usage(const char* text) const { return fail(std::string("usage: ") + text); }
  int done(int result, const char* why) const { return result == 0 ? 0 : fail(why); }
};

struct Verb {
  const char* verb;
  int (*run)(const Call&);
};

// What a board does to the world: the verbs it plays and the hooks the
// core calls around the daemon. A verb of the vocabulary (core.cpp) that
// is not in `verbs` is refused.
inline constexpr std::size_t backend_poll_max = 9;
struct Backend {
  const char* name;  // "the simulated board", in refusals
  const Verb* verbs;
  std::size_t verb_count;
  int (*prepare)(const Supervisor&);  // lays out the world before "ready"; 0, or -1
  // In the daemon's process before it runs the program: 0, or -1 to give up.
  int (*in_daemon)(const Supervisor&, int report_fd);
  int (*daemon_started)(Supervisor&, int report_fd, std::string& error);
  void (*daemon_ending)(const Supervisor&);  // it has ended: report what it did before
  // The same for a "run" command: 0, or -1 to give up; once it is started.
  int (*in_job)(const Supervisor&, int report_fd);
  void (*job_started)(Supervisor&, int report_fd);
  void (*reaped)(Supervisor&, pid_t, int status);  // a child that is neither the daemon nor the job
  void (*logged)(const std::string& datagram);     // a syslog message, once reported
  void (*on_timer)(Supervisor&);                   // every tick_seconds
  void (*on_quit)(Supervisor&);
  // Descriptors to watch (at most backend_poll_max) and what to do when
  // they are ready, after the daemon's log and output are reported.
  std::size_t (*poll_fds)(const Supervisor&, pollfd* fds);
  void (*serve)(Supervisor&, const pollfd* fds);
  // The web server has been started (in its process: in_job): its filter,
  // served for as long as anyone under it lives.
  void (*server_started)(Supervisor&, int report_fd);
  // Reports what happened before anything woke the loop, ahead of the
  // daemon's log and output (the router's kernel trace); null: nothing.
  void (*report_first)() = nullptr;
};

int parse_int(const std::string& word, long low, long high, long& value);
// The text after the first word, as typed (an SSID may hold blanks).
std::string rest_of_line(const std::string& line);
int parse_switch(const std::string& word, bool& on);

// Runs one command line. verb_done with `wait` set to the seconds to hold
// back later lines, or verb_failed or verb_refused with `error` set.
int execute_command(Supervisor& s, const std::string& line, double& wait, std::string& error);

// Reports the pending line's result: verb_done, or verb_failed or
// verb_refused with the reason; the lines after it run again.
void finish_line(Supervisor& s, int result, const std::string& why);

// Reads a scenario file into `queue`; 0, or -1 with a message.
int read_script(const std::string& path, CommandQueue& queue);

// Sets up the core's descriptors, prepares the backend, reports "ready" and
// runs lines until "quit" or the end of input: the exit status.
int run_board(Supervisor& s);

// Begins a clean exit: the daemon gets SIGTERM and the board leaves once it
// has gone.
void begin_quit(Supervisor& s);

// In a child of the board's before it executes a program: no signal
// blocked or caught, standard input /dev/null.
void fresh_child();

// A shell command the board runs: what its child does before the exec.
struct ShellChild {
  const char* command;
  const char* path;  // the PATH it runs with
  // In the child with its end of the report socketpair, before the streams
  // are set: 0, or not 0 to give up (exit status 126). Null: nothing.
  int (*prepare)(const void* context, int report_fd);
  const void* context;
  bool output_too;  // standard output into the pipe as well; else /dev/null
  bool silent;      // both streams to /dev/null, no pipe (`out` is then -1)
};

// A started shell command: its pid, the read end of the pipe its standard
// error (and output) go to, non-blocking, and the board's end of the report
// socketpair; the caller closes both.
struct ShellStarted {
  pid_t pid;
  int out;
  int report;
};

// Forks and runs `child.command` with /bin/sh -c: 0, or -1 with `error` set
// and nothing left open.
int start_shell(const ShellChild& child, ShellStarted& started, std::string& error);

// The daemon the start script named in its PID file, once it is a child
// of ours (its parent, the script, has ended and we are its subreaper);
// -1 when there is none.
pid_t started_daemon();

// Creates or removes a file; a message on standard error when it cannot.
int write_file(const std::string& path, const std::string& text, mode_t mode);
int remove_file(const std::string& path);

#include "exec/exec.h"
#include "probes/probes_internal.h"

namespace {
constexpr ProbeNames<512> daemon_names = probe_names<512>(daemon_probe_places);
static_assert(daemon_names.fits);
}  // namespace

constinit const ProbePaths default_probe_paths = probe_paths_in(daemon_names);

const ProbePaths* probe_paths = &default_probe_paths;

ProbeEvidence* probe_evidence = nullptr;

int run_probe_command(const char* capture, const char* command) {
  return capture ? capture_command(capture, command) : shell_command(command);
}

#include "exec/exec.h"
#include "probes/probes_internal.h"

const ProbePaths default_probe_paths{
    "/proc/net/dev",
    "/tmp/norvask_wifi_ap.txt",
    "/tmp/norvask_wifi_ap2.txt",
    "/tmp/norvask_open_vpn.txt",
    "/tmp/norvask_ipsec.txt",
    "/tmp/norvask_pelm_vpn.txt",
    "/usr/libexec/ipsec/stroke",
    "/usr/libexec/ipsec/swanctl",
    "/usr/libexec/ipsec/stroke statusall | grep -o \"^Security Associations ([0-9]* up\"",
    "/usr/libexec/ipsec/swanctl --list-sas | grep \"^ipsec\" | grep \"ESTABLISHED\"",
    nullptr,
    nullptr,
    nullptr,
};

const ProbePaths* probe_paths = &default_probe_paths;

ProbeEvidence* probe_evidence = nullptr;

int run_probe_command(const char* capture, const char* command) {
  return capture ? capture_command(capture, command) : shell_command(command);
}

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
};

const ProbePaths* probe_paths = &default_probe_paths;

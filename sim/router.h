// The emulated router's backend: norvask-board run inside the router
// (--router), reading lines from and writing events to the virtio port
// "board". The daemon, the start script's daemon and "run" commands are
// started under the simulated board's device filter; the world around the
// router (phones, tunnels, IPsec, services) is changed by the actions in
// /usr/lib/board/actions.
#pragma once

#include "sim/core.h"

extern const Backend router_backend;

// Puts the virtio port "board" on standard input and output. 0, or -1 with
// a message on standard error.
int open_router_port();

// The board's network interfaces, real ones inside the sandbox's network
// namespace: the Wi-Fi interfaces are veth pairs whose far ends stand for
// the stations, and the OpenVPN tunnels are tun devices the supervisor holds.
#pragma once

#include <string>

#include "sim/board.h"

// Loopback up, IPv6 off (so that nothing talks on an interface by itself),
// and the board's Wi-Fi interfaces. 0, or -1 with a message on standard error.
int setup_network(const std::string& ip, const BoardState& board);

// Creates (with its far end) or removes the Wi-Fi interface in `slot` of
// BoardState::wifi, named `name`: any name the kernel takes.
int set_wifi_interface(const std::string& ip, std::size_t slot, const std::string& name,
                       bool present);

// Sends `bytes` in frames that the interface in `slot` receives (from its
// far end) and as many that it transmits; both counters in /proc/net/dev move.
int send_wifi_traffic(std::size_t slot, const std::string& name, int bytes);

// tunN appears (up, no bytes received yet) or disappears.
int set_tunnel(int unit, bool present);
[[nodiscard]] bool tunnel_present(int unit);
// Delivers packets of about `bytes` bytes in all to tunN, as if from the
// tunnel's peer (none shorter than an IPv4 header). The bytes delivered, or -1.
int send_tunnel_traffic(int unit, int bytes);

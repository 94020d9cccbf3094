// Status probes that answer the Wi-Fi, VPN and remote-service modes.
#pragma once

#include "daemon/daemon.h"

// Wi-Fi access points wlan0 and wlan02: Off without stations, On with
// stations, Blink when their traffic moved.
[[nodiscard]] LedAction probe_wifi_ap();
// Wi-Fi client wlan1: Off when not associated or its counters are unreadable,
// On when associated, Blink when its traffic moved.
[[nodiscard]] LedAction probe_wifi_client();

// 1 when an OpenVPN tunnel tun0..tun3 has received bytes, 0 when none has,
// -1 when a capture could not be read back.
[[nodiscard]] int probe_openvpn();
// 1 with an established IPsec association, 0 without, -1 when unknown.
[[nodiscard]] int probe_ipsec();
// 1 when the remote-management client has an established connection, else 0.
[[nodiscard]] int probe_remote_management();
// 1 when the VPN-portal service listens, else 0.
[[nodiscard]] int probe_vpn_portal();

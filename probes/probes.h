// Status probes that answer the Wi-Fi, VPN and remote-service modes.
#pragma once

#include "daemon/daemon.h"
#include "settings/settings.h"

// The interfaces the two Wi-Fi probes watch, from the settings (wlan0 and
// wlan02, wlan1 until then), and the commands they run, built once here. A
// key that was refused names no interface: its probe answers Off and runs
// nothing.
void probe_wifi_setup(const WifiIfaces& access_points, const WifiIfaces& client);

// The Wi-Fi access points, in order: Off without stations, On with
// stations, Blink when the traffic of one with stations moved.
[[nodiscard]] LedAction probe_wifi_ap();
// The Wi-Fi client: Off when not associated or its counters are unreadable,
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

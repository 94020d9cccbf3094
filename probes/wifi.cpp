#include <syslog.h>

#include "exec/exec.h"
#include "probes/probes_internal.h"

namespace {

constexpr WifiWatch watch_of(const WifiIfaces& access_points, const WifiIfaces& client) {
  WifiWatch made{access_points, client, {}, {}};
  for (std::size_t i = 0; i < access_points.count; ++i) {
    made.station_commands[i] =
        wifi_command("hostapd_cli -i ", access_points.names[i].data(), " all_sta");
  }
  if (client.count > 0) {
    made.client_command =
        wifi_command("wpa_cli -i ", client.names[0].data(), " status | grep ^ssid=");
  }
  return made;
}

constinit WifiWatch watch = watch_of(default_wifi_ap, default_wifi_client);

static_assert(
    std::string_view(watch_of(default_wifi_ap, default_wifi_client).station_commands[1].data()) ==
    "hostapd_cli -i wlan02 all_sta");

const char* ap_name(std::size_t i) { return watch.access_points.names[i].data(); }

// hostapd_cli prints at most one byte when no station is associated.
bool has_stations(const char* capture, const char* command) {
  capture_command(capture, command);
  return capture_written() && file_size(capture) > 1;
}

}  // namespace

void probe_wifi_setup(const WifiIfaces& access_points, const WifiIfaces& client) {
  watch = watch_of(access_points, client);
  std::array<std::string_view, watched_iface_count> names{};
  for (std::size_t i = 0; i < watch.access_points.count; ++i) names[i] = ap_name(i);
  if (watch.client.count > 0) names[client_watch] = watch.client.names[0].data();
  iface_watch(names);
}

const WifiWatch& wifi_watch() { return watch; }

LedAction probe_wifi_ap() {
  return access_point_rule(
      watch.access_points.count,
      [](std::size_t i) {
        return has_stations(probe_paths->wifi_ap_captures[i], watch.station_commands[i].data());
      },
      [](std::size_t i) { return iface_traffic(ap_name(i)); });
}

LedAction probe_wifi_client() {
  if (watch.client.count == 0) return LedAction::Off;
  const char* name = watch.client.names[0].data();
  if (run_probe_command(probe_paths->wifi_client_capture, watch.client_command.data()) != 0) {
    return LedAction::Off;
  }
  switch (iface_traffic(name)) {
    case 0:
      return LedAction::On;
    case 1:
      return LedAction::Blink;
    default:
      syslog(LOG_NOTICE, "unable to get interface stats for %s", name);
      return LedAction::Off;
  }
}

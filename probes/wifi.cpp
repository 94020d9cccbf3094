#include <syslog.h>

#include "exec/exec.h"
#include "probes/probes_internal.h"

namespace {

// hostapd_cli prints at most one byte when no station is associated.
bool has_stations(const char* capture, const char* command) {
  capture_command(capture, command);
  return capture_written() && file_size(capture) > 1;
}

bool wlan02_has_stations() {
  return has_stations(probe_paths->wifi_ap2_capture, "hostapd_cli -i wlan02 all_sta");
}

}  // namespace

LedAction probe_wifi_ap() {
  const bool wlan0 = has_stations(probe_paths->wifi_ap_capture, "hostapd_cli -i wlan0 all_sta");
  if (wlan0 && iface_traffic("wlan0") == 1) {
    // Keeps wlan02's snapshot current; the blink is already decided.
    if (wlan02_has_stations()) (void)iface_traffic("wlan02");
    return LedAction::Blink;
  }
  if (!wlan02_has_stations()) return wlan0 ? LedAction::On : LedAction::Off;
  return iface_traffic("wlan02") == 1 ? LedAction::Blink : LedAction::On;
}

LedAction probe_wifi_client() {
  const char* command = "wpa_cli -i wlan1 status | grep ^ssid=";
  if (run_probe_command(probe_paths->wifi_client_capture, command) != 0) return LedAction::Off;
  switch (iface_traffic("wlan1")) {
    case 0:
      return LedAction::On;
    case 1:
      return LedAction::Blink;
    default:
      syslog(LOG_NOTICE, "unable to get interface stats for wlan1");
      return LedAction::Off;
  }
}

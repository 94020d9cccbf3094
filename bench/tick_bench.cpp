// One tick of the mode loop without its sleep, per family of modes.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "bench/board.h"
#include "daemon/daemon.h"
#include "serial/serial_internal.h"
#include "settings/settings.h"

namespace {

void quiet_board() {}

void pins_present() {
  board_answer("io get bin0", "1");
  board_answer("io get bin1", "0");
  board_answer("io get out0", "0");
  board_answer("io get out1", "1");
}

// Stations on wlan0 only, and no traffic: the LED stays on without a blink.
void access_point_idle() {
  board_answer("hostapd_cli -i wlan0 all_sta",
               "02:00:00:00:00:01\nflags=[AUTH][ASSOC][AUTHORIZED]\nrx_bytes=4096\n");
  board_answer("hostapd_cli -i wlan02 all_sta", "");
}

void client_associated() {
  board_answer("wpa_cli -i wlan1 status",
               "bssid=02:00:00:00:01:00\nfreq=2437\nssid=home\nid=0\nmode=station\n"
               "wpa_state=COMPLETED\nip_address=192.168.1.20\n");
}

// No tun0, and tun1 has received data: two commands a tick.
void tunnel_on_tun1() {
  board_answer("ifconfig tun0", nullptr);
  board_answer(
      "ifconfig tun1",
      "tun1      Link encap:UNSPEC  HWaddr 00-00-00-00-00-00-00-00-00-00-00-00-00-00-00-00\n"
      "          inet addr:10.8.0.6  P-t-P:10.8.0.5  Mask:255.255.255.255\n"
      "          UP POINTOPOINT RUNNING NOARP MULTICAST  MTU:1500  Metric:1\n"
      "          RX packets:120 errors:0 dropped:0 overruns:0 frame:0\n"
      "          TX packets:98 errors:0 dropped:0 overruns:0 carrier:0\n"
      "          collisions:0 txqueuelen:500\n"
      "          RX bytes:123456 (120.5 KiB)  TX bytes:65432 (63.8 KiB)\n");
}

void ipsec_up() {
  board_answer("stroke statusall",
               "Status of IKE charon daemon (strongSwan 5.9.1, Linux 5.10.0, aarch64):\n"
               "  uptime: 2 hours, since Jan 01 10:00:00 2024\n"
               "Listening IP addresses:\n  192.168.1.1\n"
               "Connections:\n    site:  %any...203.0.113.9  IKEv2\n"
               "Security Associations (1 up, 0 connecting):\n"
               "        site[1]: ESTABLISHED 2 hours ago, 192.168.1.1...203.0.113.9\n");
}

void management_connected() {
  board_answer("netstat -pnat",
               "Active Internet connections (servers and established)\n"
               "Proto Recv-Q Send-Q Local Address           Foreign Address         State       "
               "PID/Program name\n"
               "tcp        0      0 0.0.0.0:22              0.0.0.0:*               LISTEN      "
               "402/dropbear\n"
               "tcp        0      0 192.168.1.1:41822       203.0.113.5:443         ESTABLISHED "
               "812/tessik_clientd\n");
}

void portal_listening() {
  board_answer("netstat -tlpn",
               "Active Internet connections (only servers)\n"
               "Proto Recv-Q Send-Q Local Address           Foreign Address         State       "
               "PID/Program name\n"
               "tcp        0      0 0.0.0.0:4443            0.0.0.0:*               LISTEN      "
               "911/drennic\n");
}

bool serial_port_present(benchmark::State& state) {
  std::int64_t rx = 0;
  std::int64_t tx = 0;
  if (read_serial_counters("/dev/ttyS0", rx, tx) == 0) return true;
  state.SkipWithError("/dev/ttyS0 has no readable counters on this machine");
  return false;
}

// The first tick does the one-time work (pin checks, first counter reads);
// the loop measures the ticks after it.
void tick(benchmark::State& state, std::uint32_t mode1, std::uint32_t mode2, void (*scene)()) {
  board_forget_daemon_state();
  scene();
  if (mode1 >= 5 && mode1 <= 10 && !serial_port_present(state)) return;
  const LedSettings settings{mode1, mode2};
  run_tick(settings);
  const std::uint64_t before = heap_allocations();
  for (auto _ : state) run_tick(settings);
  state.counters["allocs_per_tick"] = benchmark::Counter(
      static_cast<double>(heap_allocations() - before) / static_cast<double>(state.iterations()));
}

}  // namespace

BENCHMARK_CAPTURE(tick, none_0_17, 0, 17, quiet_board)->UseRealTime();
BENCHMARK_CAPTURE(tick, none_18_max, 18, UINT32_MAX, quiet_board)->UseRealTime();
BENCHMARK_CAPTURE(tick, pins_1_3, 1, 3, pins_present)->UseRealTime();
BENCHMARK_CAPTURE(tick, serial_5_7, 5, 7, quiet_board)->UseRealTime();
BENCHMARK_CAPTURE(tick, wifi_ap_11, 11, 0, access_point_idle)->UseRealTime();
BENCHMARK_CAPTURE(tick, wifi_client_12, 12, 0, client_associated)->UseRealTime();
BENCHMARK_CAPTURE(tick, openvpn_13, 13, 0, tunnel_on_tun1)->UseRealTime();
BENCHMARK_CAPTURE(tick, ipsec_14, 14, 0, ipsec_up)->UseRealTime();
BENCHMARK_CAPTURE(tick, remote_management_15, 15, 0, management_connected)->UseRealTime();
BENCHMARK_CAPTURE(tick, vpn_portal_16, 16, 0, portal_listening)->UseRealTime();

// One tick of the mode loop without its sleep, per family of modes.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "bench/board.h"
#include "daemon/daemon.h"
#include "leds/leds.h"
#include "serial/serial_internal.h"
#include "settings/settings.h"

namespace {

void quiet_board(BoardState& /*board*/) {}

void pins_present(BoardState& board) {
  find_pin(board, "bin1")->value = 0;
  find_pin(board, "out0")->value = 0;
}

// Stations on wlan0 only, and no traffic: the LED stays on without a blink.
void access_point_idle(BoardState& board) { board.stations = {1, 0}; }

void client_associated(BoardState& board) { board.ssid = "home"; }

// No tun0, and tun1 has received data: two commands a tick.
void tunnel_on_tun1(BoardState& board) { board.tunnel_rx = {-1, 123456, -1, -1}; }

void ipsec_up(BoardState& board) { board.sas = 1; }

void management_connected(BoardState& board) {
  *find_service(board, "tessik_clientd") = {"tessik_clientd", "connected", 812};
}

void portal_listening(BoardState& board) {
  *find_service(board, "drennic") = {"drennic", "listening", 911};
}

bool serial_port_present(benchmark::State& state) {
  std::int64_t rx = 0;
  std::int64_t tx = 0;
  if (read_serial_counters("/dev/ttyS0", rx, tx) == 0) return true;
  state.SkipWithError("/dev/ttyS0 has no readable counters on this machine");
  return false;
}

// The first tick does the one-time work (pin checks, first counter reads);
// the loop measures the ticks after it. Both LEDs are the board's GPIO LEDs,
// or its kernel LEDs.
void tick(benchmark::State& state, std::uint32_t mode1, std::uint32_t mode2,
          void (*scene)(BoardState&), bool kernel_leds = false) {
  board_forget_daemon_state();
  BoardState board = initial_board();
  scene(board);
  board_state(board);
  if (mode1 >= 5 && mode1 <= 10 && !serial_port_present(state)) return;
  LedSettings settings{mode1, mode2};
  if (kernel_leds) {
    board_name_kernel_leds(settings);
    leds_bind(settings);
  }
  run_tick(settings);
  const std::uint64_t before = heap_allocations();
  for (auto _ : state) run_tick(settings);
  state.counters["allocs_per_tick"] = benchmark::Counter(
      static_cast<double>(heap_allocations() - before) / static_cast<double>(state.iterations()));
}

}  // namespace

BENCHMARK_CAPTURE(tick, none_0_17, 0, 17, quiet_board)->UseRealTime();
BENCHMARK_CAPTURE(tick, kernel_leds_0_17, 0, 17, quiet_board, true)->UseRealTime();
BENCHMARK_CAPTURE(tick, none_18_max, 18, UINT32_MAX, quiet_board)->UseRealTime();
BENCHMARK_CAPTURE(tick, pins_1_3, 1, 3, pins_present)->UseRealTime();
BENCHMARK_CAPTURE(tick, serial_5_7, 5, 7, quiet_board)->UseRealTime();
BENCHMARK_CAPTURE(tick, wifi_ap_11, 11, 0, access_point_idle)->UseRealTime();
BENCHMARK_CAPTURE(tick, wifi_client_12, 12, 0, client_associated)->UseRealTime();
BENCHMARK_CAPTURE(tick, openvpn_13, 13, 0, tunnel_on_tun1)->UseRealTime();
BENCHMARK_CAPTURE(tick, ipsec_14, 14, 0, ipsec_up)->UseRealTime();
BENCHMARK_CAPTURE(tick, remote_management_15, 15, 0, management_connected)->UseRealTime();
BENCHMARK_CAPTURE(tick, vpn_portal_16, 16, 0, portal_listening)->UseRealTime();

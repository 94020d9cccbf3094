"""Modes 11 and 12: Wi-Fi access points and the Wi-Fi client, with real
interface counters in the board's network namespace."""

import os
import stat
import unittest

from systest import BoardCase, shapes

ACCESS_POINT = {
    "no stations": ([], ["off", "off", "off"]),
    "stations, no traffic": (["stations wlan0 2"], ["on", "on", "on"]),
    "stations and traffic": (["stations wlan0 1", "traffic wlan0 on"], ["on", "blink", "blink"]),
    "second access point": (["stations wlan02 3", "traffic wlan02 on"], ["on", "blink", "blink"]),
    "both, no traffic": (["stations wlan0 1", "stations wlan02 1"], ["on", "on", "on"]),
    "traffic without stations": (["stations wlan0 1", "traffic wlan02 on"], ["on", "on", "on"]),
}

CLIENT = {
    "not associated": (["traffic wlan1 on"], ["off", "off", "off"]),
    "associated": (["ssid home"], ["on", "on", "on"]),
    "associated with traffic": (["ssid home", "traffic wlan1 on"], ["on", "blink", "blink"]),
    "interface missing": (["ssid home", "iface wlan1 off"], ["off", "off", "off"]),
}


class Wifi(BoardCase):
    def run_table(self, mode, table):
        boards = {name: self.board(*setup, modes=(mode, 17)) for name, (setup, _) in table.items()}
        for name, b in boards.items():
            with self.subTest(name):
                expected = table[name][1]
                self.wait_ticks(b, len(expected))
                self.assertEqual(shapes(b)[: len(expected)], expected)
        return boards

    def test_access_point(self):
        self.run_table(11, ACCESS_POINT)

    def test_client(self):
        boards = self.run_table(12, CLIENT)
        messages = {name: [log.text for log in b.logs()] for name, b in boards.items()}
        missing = "unable to get interface stats for wlan1"
        self.assertGreaterEqual(messages["interface missing"].count(missing), 3)
        self.assertNotIn(missing, messages["associated"])

    def test_traffic_starting_and_stopping(self):
        b = self.board("stations wlan0 1", modes=(11, 17))
        b.wait_writes(2, 2)
        b.do("traffic wlan0 on")
        b.wait_writes(2, 4)
        b.do("traffic wlan0 off")
        self.wait_ticks(b, 6)
        # The counters move during tick 4 too: that is seen in tick 5.
        self.assertEqual(shapes(b)[:6], ["on", "on", "blink", "blink", "blink", "on"])

    def test_station_listing_captured(self):
        b = self.board("stations wlan0 2", modes=(11, 17))
        self.wait_ticks(b, 1)
        listing = self.read_sandbox(b, "/tmp/norvask_wifi_ap.txt")
        self.assertEqual(listing.count("flags=[AUTH][ASSOC][AUTHORIZED]"), 2)
        info = os.stat(b.path("/tmp/norvask_wifi_ap.txt"))
        self.assertEqual(stat.S_IMODE(info.st_mode), 0o644)
        self.assertLessEqual(os.stat(b.path("/tmp/norvask_wifi_ap2.txt")).st_size, 1)


if __name__ == "__main__":
    unittest.main()

"""Modes 11 and 12: Wi-Fi access points and the Wi-Fi client, with real
interface counters in the board's network namespace."""

import os
import stat
import unittest

from systest import LED_KINDS, BoardCase

ACCESS_POINT = {
    "no stations": (11, []),
    "stations, no traffic": (11, ["stations wlan0 2"]),
    "stations and traffic": (11, ["stations wlan0 1", "traffic wlan0 on"]),
    "second access point": (11, ["stations wlan02 1", "traffic wlan02 on"]),
    "both, no traffic": (11, ["stations wlan0 1", "stations wlan02 1"]),
    "traffic without stations": (11, ["stations wlan0 1", "traffic wlan02 on"]),
    # The counters move while the LED blinks after tick 4's look, until the
    # traffic stops: that is seen in tick 5.
    "traffic starting and stopping": (11, ["stations wlan0 1"],
                                      ["", "traffic wlan0 on", "", "traffic wlan0 off", ""]),
    "access point killed": (11, ["stations wlan0 1"], ["kill hostapd"]),
}

CLIENT = {
    "not associated": (12, []),
    "associated": (12, ["ssid home"]),
    "associated with traffic": (12, ["ssid home", "traffic wlan1 on"]),
    "interface missing": (12, ["ssid home", "iface wlan1 off"]),
    "client's program stopped": (12, ["ssid home"], ["stop wpa_supplicant"]),
}


class Wifi(BoardCase):
    def test_access_point(self):
        self.check_cases(ACCESS_POINT, ticks=6)

    def test_client(self):
        boards = self.check_cases(CLIENT)
        messages = {key: [log.text for log in b.logs()] for key, b in boards.items()}
        missing = "unable to get interface stats for wlan1"
        for kind in LED_KINDS:
            self.assertGreaterEqual(messages["interface missing", kind].count(missing), 3)
            self.assertNotIn(missing, messages["associated", kind])

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

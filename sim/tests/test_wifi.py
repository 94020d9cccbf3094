"""Modes 11 and 12: Wi-Fi access points and the Wi-Fi client, with real
interface counters in the board's network namespace, under the names the
settings give them."""

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

AP_KEY = "settings MOD_NORVASK_WIFI_AP="
CLIENT_KEY = "settings MOD_NORVASK_WIFI_CLIENT="

# Radios named as other firmware names them: the board's interfaces named
# anew (the emulated router refuses that) and settings that name them, or
# names the daemon refuses, which leave the LED off.
RADIO_NAMES = {
    "two access points named otherwise": (11, [
        "iface ap phy0-ap0 phy1-ap0", AP_KEY + "phy0-ap0 phy1-ap0", "stations phy1-ap0 1",
        "traffic phy1-ap0 on"]),
    "three access points": (11, [
        "iface ap phy0-ap0 phy1-ap0 phy2-ap0", AP_KEY + '"phy0-ap0 phy1-ap0 phy2-ap0"',
        "stations phy2-ap0 1"], ["", "traffic phy2-ap0 on", "", "traffic phy2-ap0 off", ""]),
    # Traffic on an access point nobody is connected to is not looked at.
    "four access points": (11, [
        "iface ap phy0-ap0 phy1-ap0 phy0-ap1 wlan0-1",
        AP_KEY + "phy0-ap0 phy1-ap0 phy0-ap1 wlan0-1", "stations wlan0-1 2", "traffic phy0-ap0 on"],
        ["", "traffic wlan0-1 on"]),
    "names the shell would read otherwise": (11, [
        "iface ap a;b $(x) '", AP_KEY + "\"a;b $(x) '\"", "stations ' 1", "traffic ' on"]),
    "client named otherwise": (12, [
        "iface client phy0-sta0", CLIENT_KEY + "phy0-sta0", "ssid home", "traffic phy0-sta0 on"]),
    "client the board does not have": (12, [CLIENT_KEY + "phy0-sta0", "ssid home"]),
    "access point name too long": (11, ["stations wlan0 1", AP_KEY + "wlan0 abcdefghijklmnop"]),
    "access point name with a slash": (11, ["stations wlan0 1", AP_KEY + "wlan0/1"]),
    "client name with a blank": (12, ["ssid home", CLIENT_KEY + '"wlan 1"']),
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

    def test_radio_names(self):
        boards = self.check_cases(RADIO_NAMES, ticks=5)
        refusals = {
            "access point name too long": 'MOD_NORVASK_WIFI_AP refused: "abcdefghijklmnop" is '
                                          "longer than 15 bytes; mode 11 keeps its LED off",
            "access point name with a slash": 'MOD_NORVASK_WIFI_AP refused: "wlan0/1" holds '
                                              "'/'; mode 11 keeps its LED off",
            "client name with a blank": 'MOD_NORVASK_WIFI_CLIENT refused: "wlan 1" holds a '
                                        "blank; mode 12 keeps its LED off",
        }
        for (name, kind), b in boards.items():
            with self.subTest(name, kind=kind):
                messages = [log.text for log in b.logs()]
                # Once, at start, and nothing run for the mode after it.
                self.assertEqual(messages[:2], ["started", refusals[name]] if name in refusals
                                 else ["started"] + messages[1:2])
                self.assertEqual(sum("refused" in m for m in messages), name in refusals)
                if name in refusals:
                    self.assertEqual([c for c in self.calls(b) if "_cli" in c], [])
        self.assertIn("hostapd_cli -i ' all_sta",
                      self.calls(boards["names the shell would read otherwise", "gpio"]))
        self.assertIn("wpa_cli -i phy0-sta0 status",
                      self.calls(boards["client named otherwise", "gpio"]))
        # The third and fourth access points' listings have files of their own.
        b = boards["four access points", "gpio"]
        self.assertEqual(self.read_sandbox(b, "/tmp/norvask_wifi_ap3.txt"), "")
        self.assertEqual(self.read_sandbox(b, "/tmp/norvask_wifi_ap4.txt").count("aid="), 2)

    def test_client_named_otherwise_goes_missing(self):
        b = self.board("iface client phy0-sta0", CLIENT_KEY + "phy0-sta0", "ssid home",
                       "iface phy0-sta0 off", modes=(12, 17))
        self.wait_ticks(b, 2)
        messages = [log.text for log in b.logs()]
        self.assertIn("unable to get interface stats for phy0-sta0", messages)
        self.assertNotIn("unable to get interface stats for wlan1", messages)

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

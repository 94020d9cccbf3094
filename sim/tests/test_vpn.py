"""Modes 13 to 16: OpenVPN and IPsec tunnels, the remote-management client
and the VPN portal, through real tun interfaces, real processes and the
real netstat."""

import unittest

from systest import BoardCase, shapes

OPENVPN = {
    "no tunnel": ([], "off"),
    "tunnel without data": (["tun 0 up"], "off"),
    "data on the first tunnel": (["tun 0 up", "tun 0 rx 1200"], "on"),
    "data on a later tunnel": (["tun 0 up", "tun 1 up", "tun 1 rx 300"], "on"),
    "data on the last tunnel only": (["tun 3 up", "tun 3 rx 64"], "on"),
}

IPSEC = {
    "stroke, nothing up": (["sas 0"], "off"),
    "stroke, two up": (["sas 2"], "on"),
    "swanctl, one up": (["stroke off", "swanctl on", "sas 1"], "on"),
    "swanctl, nothing up": (["stroke off", "swanctl on", "sas 0"], "off"),
    "both tools": (["swanctl on", "sas 1"], "on"),
    "neither tool": (["stroke off"], "keep"),
}

SERVICES = {
    (15, "connected"): (["service tessik_clientd connected"], "on"),
    (15, "listening only"): (["service tessik_clientd listening"], "off"),
    (15, "not running"): ([], "off"),
    (16, "listening"): (["service drennic listening"], "on"),
    (16, "not running"): ([], "off"),
}


class Vpn(BoardCase):
    def run_table(self, mode, table, ticks=2):
        boards = {name: self.board(*setup, modes=(mode, 17)) for name, (setup, _) in table.items()}
        for name, b in boards.items():
            with self.subTest(name):
                self.wait_ticks(b, ticks)
                self.assertEqual(shapes(b)[:ticks], [table[name][1]] * ticks)
        return boards

    def test_openvpn(self):
        boards = self.run_table(13, OPENVPN)
        capture = self.read_sandbox(boards["data on the first tunnel"], "/tmp/norvask_open_vpn.txt")
        self.assertEqual(capture, "RX bytes:1200\n")

    def test_openvpn_follows_the_tunnel(self):
        b = self.board("tun 2 up", modes=(13, 17))
        b.wait_writes(2, 1)
        b.do("tun 2 rx 500")
        b.wait_writes(2, 2)
        b.do("tun 2 down")
        self.wait_ticks(b, 3)
        self.assertEqual(shapes(b)[:3], ["off", "on", "off"])

    def test_ipsec(self):
        boards = self.run_table(14, IPSEC)
        self.assertNotIn("swanctl --list-sas", self.calls(boards["both tools"]))
        failures = [log.text for log in boards["neither tool"].logs()]
        self.assertGreaterEqual(failures.count("failure getting IPsec status"), 2)
        capture = self.read_sandbox(boards["stroke, two up"], "/tmp/norvask_ipsec.txt")
        self.assertEqual(capture, "Security Associations (2 up\n")

    def test_services(self):
        boards = {}
        for (mode, name), (setup, _) in SERVICES.items():
            boards[mode, name] = self.board(*setup, modes=(mode, 17))
        for key, b in boards.items():
            with self.subTest(key):
                self.wait_ticks(b, 2)
                self.assertEqual(shapes(b)[:2], [SERVICES[key][1]] * 2)
        capture = self.read_sandbox(boards[16, "listening"], "/tmp/norvask_pelm_vpn.txt")
        self.assertRegex(capture, r"127\.0\.0\.1:\d+ .* LISTEN +\d+/drennic")

    def test_services_coming_and_going(self):
        b = self.board("service tessik_clientd listening", modes=(15, 17))
        b.wait_writes(2, 1)
        b.do("service tessik_clientd connected")
        b.wait_writes(2, 2)
        b.do("service tessik_clientd down")
        self.wait_ticks(b, 3)
        self.assertEqual(shapes(b)[:3], ["off", "on", "off"])


if __name__ == "__main__":
    unittest.main()

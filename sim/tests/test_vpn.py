"""Modes 13 to 16: OpenVPN and IPsec tunnels, the remote-management client
and the VPN portal, through real tun interfaces, real processes and the
real netstat."""

import unittest

from systest import LED_KINDS, BoardCase

OPENVPN = {
    "no tunnel": (13, []),
    "tunnel without data": (13, ["tun 0 up"]),
    "data on the first tunnel": (13, ["tun 0 up", "tun 0 rx 1200"]),
    "one byte received": (13, ["tun 0 up", "tun 0 rx 1"]),
    "data on a later tunnel": (13, ["tun 0 up", "tun 1 up", "tun 1 rx 300"]),
    "data on the last tunnel only": (13, ["tun 3 up", "tun 3 rx 64"]),
    "the tunnel coming and going": (13, ["tun 2 up"], ["tun 2 rx 500", "tun 2 down"]),
}

IPSEC = {
    "stroke, nothing up": (14, ["sas 0"]),
    "stroke, one up": (14, ["sas 1"]),
    "swanctl, one up": (14, ["stroke off", "swanctl on", "sas 1"]),
    "swanctl, nothing up": (14, ["stroke off", "swanctl on", "sas 0"]),
    "both tools": (14, ["swanctl on", "sas 1"]),
    "neither tool": (14, ["stroke off"]),
    # Without the IPsec daemon stroke's pipeline matches nothing: off.
    "charon killed": (14, ["stroke off", "swanctl on", "sas 1"], ["kill charon"]),
    "charon restarted": (14, ["sas 1"], ["restart charon"]),
    # Its pipeline's pattern matches a line without a count: no answer.
    "stroke, no count": (14, ["sas 1"], ["tool stroke no-count"]),
}

SERVICES = {
    "connected": (15, ["service tessik_clientd connected"]),
    "listening only": (15, ["service tessik_clientd listening"]),
    "client not running": (15, []),
    "client coming and going": (15, ["service tessik_clientd listening"],
                                ["service tessik_clientd connected",
                                 "service tessik_clientd down"]),
    "portal listening": (16, ["service drennic listening"]),
    "portal not running": (16, []),
}


class Vpn(BoardCase):
    def test_openvpn(self):
        boards = self.check_cases(OPENVPN)
        capture = self.read_sandbox(boards["data on the first tunnel", "gpio"],
                                    "/tmp/norvask_open_vpn.txt")
        self.assertEqual(capture, "RX bytes:1200\n")

    def test_ipsec(self):
        boards = self.check_cases(IPSEC)
        for kind in LED_KINDS:
            self.assertNotIn("swanctl --list-sas", self.calls(boards["both tools", kind]))
            for name in ("neither tool", "stroke, no count"):
                failures = [log.text for log in boards[name, kind].logs()]
                self.assertGreaterEqual(failures.count("failure getting IPsec status"), 2, name)
        capture = self.read_sandbox(boards["stroke, one up", "gpio"], "/tmp/norvask_ipsec.txt")
        self.assertEqual(capture, "Security Associations (1 up\n")

    def test_services(self):
        boards = self.check_cases(SERVICES)
        capture = self.read_sandbox(boards["portal listening", "gpio"], "/tmp/norvask_pelm_vpn.txt")
        self.assertRegex(capture, r"127\.0\.0\.1:\d+ .* LISTEN +\d+/drennic")


if __name__ == "__main__":
    unittest.main()

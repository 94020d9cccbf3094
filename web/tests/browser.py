"""The owner's page in a real browser, against the emulated router: headless
Chromium driven by Selenium through the router's busybox httpd and its CGI
program. A mixin for vm/tests/test_vm.py's EmulatedRouter, so that these
cases share its one boot: the router is booted with --web PORT and the
class gives `board` and `web_port`.

Each case starts the router's web server ("web start") and stops it at its
end, so that the other cases find the board as they left it. One browser
serves every case; the page is opened afresh in each.

NORVASK_WEB_SCREENSHOT names a PNG file to keep a picture of the page in,
once the daemon runs with both LEDs lit (docs/web-page.png is made so)."""

import base64
import http.server
import json
import os
import re
import shutil
import socket
import threading
import time
import urllib.error
import urllib.request

from selenium import webdriver
from selenium.common.exceptions import NoAlertPresentException
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import Select

# The router's test sign-in (vm/guest/root/etc/httpd.conf keeps its hash).
USER, PASSWORD = "admin", "norvask-web"
SETTINGS = "/opt/norvask/etc/settings"
# What the page must show within this long: a refresh is 2 s, a status look
# on the emulated router a few more.
PAGE_SECONDS = 45
# Hostile network names, each at most 32 bytes, as an SSID is.
HOSTILE_SSIDS = ["<img src=x onerror=alert(1)>", "</script><b id=pwned>x"]
# Another site's page that shows the owner's page in a frame nearly
# transparent over a decoy button, so that a click on the decoy lands on the
# frame; {page} is the owner's page.
FRAMING_PAGE = """<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>Win a prize</title><style>
body {{ margin: 0; overflow: hidden; font: 1rem sans-serif; }}
#decoy {{ position: absolute; padding: .5rem 1.6rem; }}
iframe {{ position: absolute; top: 0; left: 0; width: 100vw; height: 100vh; border: 0;
          opacity: .01; z-index: 2; }}
</style></head><body>
<button id="decoy" style="top: 400px; left: 40px">Claim your prize</button>
<iframe id="owners" src="{page}"></iframe>
</body></html>
"""


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def serve_framing_page(page):
    """Serves FRAMING_PAGE on another port of this machine's loopback address
    (where the router's port is forwarded); returns (server, its URL)."""
    body = FRAMING_PAGE.format(page=page).encode()

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_GET(self):  # noqa: N802 (the name http.server calls)
            self.send_response(200)
            self.send_header("Content-Type", "text/html; charset=utf-8")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server, f"http://127.0.0.1:{server.server_address[1]}/"


def authorization(user=USER, password=PASSWORD):
    return "Basic " + base64.b64encode(f"{user}:{password}".encode()).decode()


def start_chromium():
    options = Options()
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--window-size=1000,1000", "--no-first-run", "--disable-extensions"):
        options.add_argument(argument)
    options.binary_location = shutil.which("chromium") or "/usr/bin/chromium"
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(service=Service(shutil.which("chromedriver") or
                                              "/usr/bin/chromedriver"), options=options)
    driver.set_page_load_timeout(60)
    # The sign-in, as the browser sends it once the owner has typed it.
    driver.execute_cdp_cmd("Network.enable", {})
    driver.execute_cdp_cmd("Network.setExtraHTTPHeaders",
                           {"headers": {"Authorization": authorization()}})
    return driver


class WebPage:
    """The browser cases; mixed into a TestCase that has `board` and `web_port`."""

    web_port = None
    driver = None

    @classmethod
    def close_browser(cls):
        if cls.driver is not None:
            cls.driver.quit()
            cls.driver = None

    # ---- helpers ----

    def url(self, path=""):
        return f"http://127.0.0.1:{self.web_port}/{path}"

    def http(self, path, method="GET", headers=None, body=None, sign_in=True):
        """One request past the browser: (status, headers, body)."""
        headers = dict(headers or {})
        if sign_in:
            headers.setdefault("Authorization", authorization())
        request = urllib.request.Request(self.url(path), data=body, headers=headers,
                                         method=method)
        try:
            with urllib.request.urlopen(request, timeout=60) as answer:
                return answer.status, answer.headers, answer.read()
        except urllib.error.HTTPError as e:
            return e.code, e.headers, e.read()

    def web_server(self):
        """The router's web server for this case; stopped at its end."""
        b = self.board
        b.do("web start", timeout=30)

        def stop():
            mark = b.mark()
            b.do("web stop", timeout=30)
            b.wait_for(lambda e: e.kind == "web" and e.rest.startswith("ended"), start=mark,
                       timeout=30)
        self.addCleanup(stop)
        # Up once it answers at all.
        deadline = time.monotonic() + 30
        while True:
            try:
                self.http("", sign_in=False)
                return
            except OSError:
                pass
            if time.monotonic() > deadline:
                self.fail("the router's web server does not answer")
            time.sleep(0.5)

    def daemon_started(self, modes, *settings):
        """The daemon on `modes` (and more `settings` lines) through the start
        script, stopped at the end."""
        b = self.board
        b.do(f"modes {modes[0]} {modes[1]}", *(f"settings {line}" for line in settings))
        b.do("init start", timeout=60)

        def stop():
            b.do("init stop", timeout=60)
        self.addCleanup(stop)

    def change(self, *lines, undo=()):
        self.board.do(*lines, timeout=90)
        for line in undo:
            self.addCleanup(self.board.do, line, timeout=90)

    def page(self):
        """The page, opened afresh."""
        if WebPage.driver is None:
            WebPage.driver = start_chromium()
        d = WebPage.driver
        d.get_log("browser")  # what an earlier case left
        d.get(self.url())
        return d

    def text_of(self, element_id):
        return WebPage.driver.find_element(By.ID, element_id).text

    def wait_until(self, what, check, timeout=PAGE_SECONDS):
        """Waits for `check()` to be true; fails naming `what` and the page's state."""
        deadline = time.monotonic() + timeout
        while not check():
            if time.monotonic() > deadline:
                self.fail(f"the page did not show {what} within {timeout} s; it shows:\n" +
                          WebPage.driver.find_element(By.TAG_NAME, "main").text)
            time.sleep(0.3)

    def wait_shown(self, element_id, pattern, timeout=PAGE_SECONDS):
        self.wait_until(f"{pattern!r} in #{element_id}",
                        lambda: re.search(pattern, self.text_of(element_id)), timeout)

    def lamp(self, n):
        return WebPage.driver.find_element(By.ID, f"lamp{n}").get_attribute("class")

    def assert_quiet_console(self):
        """Nothing went wrong in the browser: no error, no refused script."""
        entries = [e for e in WebPage.driver.get_log("browser") if e["level"] == "SEVERE"]
        self.assertEqual(entries, [], "the browser's console shows errors")

    def settings_text(self):
        status, text = self.board.run(f"cat {SETTINGS}")
        self.assertEqual(status, 0, text)
        return text

    def daemon_pid(self):
        status, text = self.board.run("cat /var/run/norvaskd.pid")
        return int(text) if status == 0 and text.strip().isdigit() else None

    # ---- the cases ----

    def test_web_refusals(self):
        """Without a sign-in the page and the CGI answer 401; a POST without
        the page's token or from another origin 403, and nothing changes."""
        self.web_server()
        b = self.board
        b.do("modes 11 17", "settings # the owner's note")
        for path in ("", "app.js", "cgi-bin/norvask/status", "cgi-bin/norvask/token"):
            with self.subTest("no sign-in", path=path):
                self.assertEqual(self.http(path, sign_in=False)[0], 401)
            with self.subTest("wrong password", path=path):
                wrong = {"Authorization": authorization(PASSWORD, USER)}
                self.assertEqual(self.http(path, headers=wrong)[0], 401)
        status, _, body = self.http("cgi-bin/norvask/token")
        self.assertEqual(status, 200, body)
        token = json.loads(body)["token"]
        before = self.settings_text()
        host = f"127.0.0.1:{self.web_port}"
        json_type = {"Content-Type": "application/json"}
        # A body without the token or with one not the page's, or a request
        # not from the page, is refused (403).
        change = {"led1": 3, "led2": 4}
        foreign = {"Origin": "http://evil.example", "Referer": "http://evil.example/page"}
        posts = {
            "no token": (403, json_type, change),
            "a wrong token": (403, json_type, change | {"token": "0" * 64}),
            "another origin": (403, json_type | foreign, change | {"token": token}),
            "another page's referrer": (403, json_type | {"Referer": "http://evil.example/"},
                                        change | {"token": token}),
            "a form's content type": (403, {"Content-Type": "text/plain"},
                                      change | {"token": token}),
            # A page on another port of this host, as the browser tells it.
            "another port's page": (403, json_type | {"Sec-Fetch-Site": "same-site"},
                                    change | {"token": token}),
        }
        for name, (refusal, headers, body) in posts.items():
            with self.subTest("POST refused", case=name):
                status, answer_headers, answer = self.http(
                    "cgi-bin/norvask/settings", "POST", headers | {"Host": host},
                    json.dumps(body).encode())
                self.assertEqual(status, refusal, answer)
                self.assertEqual(answer_headers.get("Content-Type"),
                                 "application/json; charset=utf-8")
                self.assertIsInstance(json.loads(answer)["error"], str)
        self.assertEqual(self.settings_text(), before)

    def test_web_framed(self):
        """Another site's page (another port of the router's address) shows
        the owner's page in a frame, nearly transparent over its decoy: the
        framed page says why it takes no change, and clicks where its
        chooser and Apply are change nothing."""
        self.web_server()
        self.daemon_started((11, 17), "# the owner's note")
        server, framing = serve_framing_page(self.url())
        self.addCleanup(server.server_close)
        self.addCleanup(server.shutdown)
        d = self.page()
        d.get(framing)
        frame = d.find_element(By.ID, "owners")
        d.switch_to.frame(frame)
        self.wait_shown("daemon", r"The daemon: running \(pid \d+\)")
        # Its modes are listed by now (they come before the first status).
        apply, chooser = d.find_element(By.ID, "apply"), d.find_element(By.ID, "mode1")
        places = {name: element.rect for name, element in (("apply", apply), ("mode1", chooser))}
        d.switch_to.default_content()
        before, pid = self.settings_text(), self.daemon_pid()
        decoy = d.find_element(By.ID, "decoy")
        for name in ("mode1", "apply"):
            # The decoy moved over the framed control, as its maker would place it.
            place = places[name]
            d.execute_script("const [s, r] = [arguments[0].style, arguments[1]];"
                             "s.top = r.y + 'px'; s.left = r.x + 'px';"
                             "s.width = r.width + 'px'; s.height = r.height + 'px';",
                             decoy, place)
            ActionChains(d).move_to_element(decoy).click().perform()
            # A chooser that took the click would now take the keys.
            ActionChains(d).send_keys(Keys.END, Keys.ENTER).perform()
        # A write, had it started, would show within this long.
        deadline = time.monotonic() + 15
        while time.monotonic() < deadline:
            self.assertEqual((self.settings_text(), self.daemon_pid()), (before, pid),
                             "a click on the framed page changed the settings")
            time.sleep(0.5)
        d.switch_to.frame(frame)
        with self.subTest("the framed page says why"):
            self.assertRegex(self.text_of("framed"), r"inside another page.*cannot be changed")
            self.assertFalse(apply.is_enabled())
            self.assertFalse(chooser.is_enabled())
            self.assertEqual(self.text_of("result"), "")
            # The choosers still say which modes are set.
            self.assertRegex(Select(chooser).first_selected_option.get_attribute("textContent"),
                             r"^11: Wi-Fi hotspot — lit when ")
        d.switch_to.default_content()
        shot = os.environ.get("NORVASK_WEB_FRAMED_SCREENSHOT")
        if shot:
            d.execute_script("document.getElementById('owners').style.opacity = '.85'")
            d.save_screenshot(shot)
        self.assert_quiet_console()

    def test_web_body_that_never_comes(self):
        """A signed-in POST that says 100 bytes, sends 8 and holds its
        connection open: the web server passes on the CGI's 408 once the
        body's time (10 s) is up, and nothing is written."""
        self.web_server()
        self.board.do("modes 11 17")
        before = self.settings_text()
        head = (f"POST /cgi-bin/norvask/settings HTTP/1.1\r\nHost: 127.0.0.1:{self.web_port}\r\n"
                f"Authorization: {authorization()}\r\nContent-Type: application/json\r\n"
                "Content-Length: 100\r\n\r\n")
        started = time.monotonic()
        answer = b""
        with socket.create_connection(("127.0.0.1", self.web_port), timeout=60) as s:
            s.sendall(head.encode() + b'{"led1":')
            # Never more, and never closed from here: the server ends it.
            while chunk := s.recv(4096):
                answer += chunk
        took = time.monotonic() - started
        self.assertRegex(answer.decode(errors="replace"), r"^HTTP/1\.[01] 408 ")
        self.assertLess(took, 40, "the CGI waited longer than its bound")
        self.assertEqual(self.settings_text(), before)

    def test_web_hostile_ssid(self):
        """An SSID is the attacker's to choose: shown as text, nothing runs."""
        self.web_server()
        self.board.do("modes 12 17")
        self.addCleanup(self.board.do, "ssid none", timeout=90)
        for ssid in HOSTILE_SSIDS:
            with self.subTest(ssid=ssid):
                self.change(f"ssid {ssid}")
                d = self.page()
                self.wait_until("the SSID as text", lambda: f'connected to "{ssid}"' in
                                self.text_of("evidence1"))
                self.assertEqual(d.find_elements(By.CSS_SELECTOR, "main img, main b"), [])
                self.assertEqual(d.find_elements(By.ID, "pwned"), [])
                with self.assertRaises(NoAlertPresentException):
                    d.switch_to.alert.text
                self.assert_quiet_console()

    def test_web_radio_names(self):
        """The interfaces the settings name, in the evidence and the modes'
        words, and a Wi-Fi key the daemon refused, with why."""
        self.web_server()
        self.daemon_started((11, 12), "MOD_NORVASK_WIFI_AP=wlan02",
                            'MOD_NORVASK_WIFI_CLIENT="wlan 1"')
        d = self.page()
        refusal = 'MOD_NORVASK_WIFI_CLIENT refused: "wlan 1" holds a blank'
        self.wait_shown("evidence1", r"^wlan02: none$")
        self.assertNotIn("wlan0:", self.text_of("evidence1"))
        self.wait_shown("state2", r"^Mode 12, Wi-Fi client: off$")
        self.wait_shown("evidence2", f"^{re.escape(refusal)}; the LED stays off$")
        self.wait_shown("settings", f"{re.escape(refusal)}; mode 12 keeps its LED off")
        modes = {o.get_attribute("value"): o.text
                 for o in Select(d.find_element(By.ID, "mode1")).options}
        self.assertIn("on when a Wi-Fi access point (wlan02) has devices connected", modes["11"])
        self.assertIn("on when never: MOD_NORVASK_WIFI_CLIENT is refused", modes["12"])
        self.assert_quiet_console()

    def test_web_service_owner(self):
        """Mode 16 goes by a program's name: the page says whose program
        it saw, here the router's own portal, run by root."""
        self.web_server()
        self.board.do("modes 16 17")
        self.change("service drennic listening", undo=["service drennic down"])
        self.page()
        self.wait_shown("state1", r"^Mode 16, VPN portal: on$")
        self.wait_shown("evidence1", r'(?m)^pid \d+ runs as user "root" \(uid 0\)$')
        self.assert_quiet_console()

    def test_web_watch_and_apply(self):
        """Signed in, LED 1 on mode 11 shows a phone joining, then blinks
        with traffic; LED 2 chosen 13 by keyboard, previewed and applied:
        the settings file changed in that line alone, the daemon restarted,
        and the page shows the tunnel."""
        self.web_server()
        b = self.board
        self.daemon_started((11, 17), "# the owner's note", 'OTHER_KEY="kept"')
        d = self.page()
        with self.subTest("sign in"):
            self.assertEqual(d.title, "norvask: the router's LEDs")
            self.wait_shown("daemon", r"The daemon: running \(pid \d+\)")
        with self.subTest("every mode's line in the chooser reads on"):
            lines = [o.get_attribute("textContent")
                     for o in Select(d.find_element(By.ID, "mode1")).options]
            self.assertEqual(len(lines), 18, lines)
            self.assertEqual(lines[0], "0: not used — never lit")
            self.assertEqual(lines[17], "17: always on — lit when the daemon is running")
            for line in lines:
                self.assertRegex(line, r"^\d+: [^—]+ — (lit when [^—]+|never lit)$")
                self.assertIsNone(re.search(r"\b(\w+)\W+\1\b", line), f"a word twice: {line}")
        with self.subTest("a phone joins, then sends"):
            self.wait_shown("state1", r"^Mode 11, Wi-Fi hotspot: off$")
            self.assertEqual(self.lamp(1), "lamp off")
            self.change("stations wlan0 1", undo=["stations wlan0 0"])
            self.wait_shown("state1", r"^Mode 11, Wi-Fi hotspot: on$")
            self.wait_shown("evidence1", r"wlan0: 1 device connected")
            self.change("traffic wlan0 on", undo=["traffic wlan0 off"])
            self.wait_shown("state1", r"^Mode 11, Wi-Fi hotspot: on, blinking$")
            self.assertEqual(self.lamp(1), "lamp blink")
            self.assertEqual(self.text_of("lampstate1"), "blinking")
            self.wait_shown("evidence1", r"wlan0 traffic in the last second")
        self.change("tun 0 up", "tun 0 rx 700", undo=["tun 0 down"])
        before = self.settings_text()
        old_pid = self.daemon_pid()
        with self.subTest("choose 13 for LED 2 and see its preview"):
            chooser = d.find_element(By.ID, "mode2")
            self.assertEqual(d.find_element(By.CSS_SELECTOR, "label[for=mode2]").text,
                             "Mode for LED 2")
            # By keyboard alone: the chooser focused, its option typed.
            chooser.send_keys(Keys.HOME)
            for _ in range(13):
                chooser.send_keys(Keys.ARROW_DOWN)
            self.assertEqual(Select(chooser).first_selected_option.get_attribute("value"), "13")
            self.wait_shown("preview2", r"Preview of mode 13 \(OpenVPN tunnel\): "
                                        r"the LED would be on")
            self.wait_shown("preview2", r"tun0: received \d+ bytes")
        with self.subTest("apply"):
            chooser.send_keys(Keys.TAB)
            self.assertEqual(d.switch_to.active_element.get_attribute("id"), "apply")
            d.switch_to.active_element.send_keys(Keys.ENTER)
            self.wait_shown("result", r"^Applied: LED 1 on mode 11, LED 2 on mode 13; "
                                      r"the daemon was restarted\.$", timeout=90)
            after = self.settings_text()
            self.assertEqual(after, before.replace("MOD_NORVASK_MODE2=17", "MOD_NORVASK_MODE2=13"))
            self.assertNotEqual(after, before)
            new_pid = self.daemon_pid()
            self.assertIsNotNone(new_pid)
            self.assertNotEqual(new_pid, old_pid)
            self.wait_shown("daemon", rf"The daemon: running \(pid {new_pid}\)")
        with self.subTest("LED 2 shows the tunnel"):
            self.wait_shown("state2", r"^Mode 13, OpenVPN tunnel: on$")
            self.wait_shown("evidence2", r"tun0: received \d+ bytes")
            self.assertEqual(self.lamp(2), "lamp on")
            # The restarted daemon is the board's, and lights LED 2 itself.
            mark = b.mark()
            b.wait_for(lambda e: e.kind == "led" and e.rest == "2 1", start=mark, timeout=30)
        self.assert_quiet_console()
        shot = os.environ.get("NORVASK_WEB_SCREENSHOT")
        if shot:
            d.set_window_size(1000, 820)
            d.save_screenshot(shot)

"""The owner's page's CGI program on the simulated board, run there by `run`
with the variables a web server sets, beside the daemon that the start
script started: GET /status answers what norvask-status --json prints, a
POST rewrites the settings file, restarts the daemon through the start
script and answers the new status, and a refused POST changes nothing.

NORVASK_CGI and NORVASK_STATUS name the programs to show on the board."""

import json
import os
import re
import shlex
import time
import unittest

from board import CGI, INIT, PID_FILE, SETTINGS, STATUS, default_command
from systest import BoardCase

SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
HOST = "192.168.1.1:8080"
# How long the CGI waits for a body (web/cgi/cgi.h).
BODY_SECONDS = 10
SAME_ORIGIN = {"HTTP_ORIGIN": f"http://{HOST}", "HTTP_SEC_FETCH_SITE": "same-origin"}
# A new settings file before its rename, and a look's private directory.
TEMPORARY = re.compile(r"\.settings\.[0-9a-f]{16}")
CAPTURES = re.compile(r"norvask-status\.[A-Za-z0-9]{6}")
KILLED = 128 + 9
# Someone's own lines around the two keys, which a write must keep.
OWN_SETTINGS = (b"# LEDs, set by hand\r\nOTHER_KEY=\"x y\"\r\n\r\n"
                b"mod_norvask_mode=\"11\" # hotspot\r\nMOD_NORVASK_MODE2=13\r\n# end\r\n")


class Cgi(BoardCase):
    def cgi_board(self, *setup):
        cgi, status = os.environ.get("NORVASK_CGI"), os.environ.get("NORVASK_STATUS")
        if not cgi or not status:
            self.skipTest("set NORVASK_CGI and NORVASK_STATUS")
        command = default_command() + ["--show", f"{cgi}:{CGI}", "--show", f"{status}:{STATUS}",
                                       "--init", os.path.join(SOURCE, "dist", "init")]
        b = self.board(*setup, start=False, command=command)
        with open(b.path(SETTINGS), "wb") as settings:
            settings.write(OWN_SETTINGS)
        got, output = b.run(f"{INIT} start")
        self.assertEqual(got, 0, output)
        return b

    def cgi_command(self, method, route, body=None, query=None, user="admin", prefix="",
                    **headers):
        """The shell command that runs the CGI as a web server would, under
        `prefix` (a tracer), with `body` on its standard input."""
        env = {"REQUEST_METHOD": method, "PATH_INFO": route, "HTTP_HOST": HOST,
               "GATEWAY_INTERFACE": "CGI/1.1"}
        if user is not None:
            env["REMOTE_USER"] = user
        if query is not None:
            env["QUERY_STRING"] = query
        if body is not None:
            env["CONTENT_TYPE"] = "application/json"
            env["CONTENT_LENGTH"] = str(len(body.encode()))
        if prefix:
            # A sanitizer build's leak check cannot run under a tracer.
            env["ASAN_OPTIONS"] = "detect_leaks=0"
        env.update({k: v for k, v in headers.items() if v is not None})
        for k in [k for k, v in headers.items() if v is None]:
            env.pop(k, None)
        assignments = " ".join(f"{k}={shlex.quote(v)}" for k, v in env.items())
        feed = f"printf %s {shlex.quote(body)}" if body is not None else "true"
        # Nothing of run's environment but PATH, which a web server passes on.
        return f'{feed} | env -i PATH="$PATH" {assignments} {prefix} {CGI}'

    def cgi(self, b, method, route, body=None, query=None, user="admin", **headers):
        """Runs the CGI as a web server would: (status, headers, JSON body)."""
        got, output = b.run(self.cgi_command(method, route, body, query, user, **headers))
        self.assertEqual(got, 0, output)
        return self.answer(output)

    def answer(self, output):
        head, _, text = output.replace("\r", "").partition("\n\n")
        fields = dict(line.split(": ", 1) for line in head.split("\n"))
        status = int(fields.pop("Status", "200").split()[0])
        return status, fields, json.loads(text)

    def daemon_pid(self, b):
        return int(b.run(f"cat {PID_FILE}")[1])

    def token(self, b):
        status, _, answer = self.cgi(b, "GET", "/token")
        self.assertEqual(status, 200, answer)
        return answer["token"]

    def settings(self, b):
        """The settings file's bytes, inode and modification time."""
        st = os.stat(b.path(SETTINGS))
        with open(b.path(SETTINGS), "rb") as settings:
            return settings.read(), st.st_ino, st.st_mtime_ns

    def test_get_status_is_what_the_status_tool_prints(self):
        b = self.cgi_board("stations wlan0 2", "tun 0 up", "tun 0 rx 300")
        status, headers, answer = self.cgi(b, "GET", "/status")
        self.assertEqual(status, 200, answer)
        self.assertEqual(headers, {"Content-Type": "application/json; charset=utf-8",
                                   "Cache-Control": "no-store",
                                   "X-Content-Type-Options": "nosniff"})
        got, printed = b.run(f"{STATUS} --json")
        self.assertEqual(got, 0, printed)
        self.assertEqual(answer, json.loads(printed))
        self.assertEqual(answer["daemon"]["state"], "running")
        self.assertEqual([led["state"] for led in answer["leds"]], ["on", "on"])
        # The preview and the modes are the status tool's too.
        status, _, preview = self.cgi(b, "GET", "/preview", query="mode=13")
        self.assertEqual(status, 200, preview)
        self.assertEqual(preview, json.loads(b.run(f"{STATUS} --mode 13 --json")[1]))
        status, _, modes = self.cgi(b, "GET", "/modes")
        self.assertEqual(modes, json.loads(b.run(f"{STATUS} --modes --json")[1]))

    def test_post_writes_the_settings_restarts_and_answers_the_new_status(self):
        b = self.cgi_board("stations wlan0 2")
        before = self.daemon_pid(b)
        body = json.dumps({"led1": 17, "led2": 11, "token": self.token(b)})
        status, _, answer = self.cgi(b, "POST", "/settings", body,
                                     HTTP_ORIGIN=f"http://{HOST}",
                                     HTTP_REFERER=f"http://{HOST}/index.html",
                                     HTTP_SEC_FETCH_SITE="same-origin")
        self.assertEqual(status, 200, answer)
        self.assertEqual(answer["applied"], {"led1": 17, "led2": 11})
        self.assertEqual(self.settings(b)[0], OWN_SETTINGS.replace(b'"11"', b'"17"')
                         .replace(b"MODE2=13", b"MODE2=11"))
        after = self.daemon_pid(b)
        self.assertNotEqual(after, before, "the daemon was not restarted")
        new = answer["status"]
        self.assertEqual([(led["mode"], led["state"]) for led in new["leds"]],
                         [(17, "on"), (11, "on")])
        self.assertEqual((new["daemon"]["state"], new["daemon"]["pid"]), ("running", after))
        self.assertFalse(new["settings"]["changed_since_start"])

    def test_a_preview_takes_a_mode_as_the_body_does(self):
        b = self.cgi_board()
        for query, expected in (("mode=17", 200), ("mode=017", 400),
                                ("mode=" + "0" * 20 + "17", 400), ("mode=00", 400)):
            with self.subTest(query=query):
                status, _, answer = self.cgi(b, "GET", "/preview", query=query)
                self.assertEqual(status, expected, answer)
                if status == 200:
                    self.assertEqual(answer["preview"]["mode"], 17)
                else:
                    self.assertEqual(answer["field"], "mode")

    def test_no_request_variable_reaches_a_command(self):
        """A web server passes every request header as HTTP_* (busybox httpd
        does): none of them, nor anything else of the request, reaches the
        probes' commands or the start script, which see PATH alone."""
        b = self.cgi_board("stations wlan0 2", "tun 0 up", "tun 0 rx 300")
        self.need_strace(b)
        request = {"HTTP_X_PROBE": "from-the-request", "HTTP_PROXY": "http://evil.example:1",
                   "HTTP_ORIGIN": f"http://{HOST}", "HTTP_SEC_FETCH_SITE": "same-origin"}
        trace = "/tmp/execs.txt"
        body = json.dumps({"led1": 11, "led2": 13, "token": self.token(b)})
        for method, route, text, program in (("GET", "/status", None, "hostapd_cli"),
                                             ("POST", "/settings", body, INIT)):
            with self.subTest(method=method, route=route):
                # Each child is seen as it starts a program, then let go: the
                # daemon that the start script starts runs on untraced.
                prefix = f"strace -f -b execve -qq -v -s 4096 -e trace=execve -o {trace}"
                status, _, answer = self.cgi(b, method, route, text, prefix=prefix, **request)
                self.assertEqual(status, 200, answer)
                got, execs = b.run(f"cat {trace}")
                self.assertEqual(got, 0, execs)
                # The first is the CGI's own, with the request in it.
                started = [line for line in execs.split("\n") if "execve(" in line]
                names = [set(re.findall(r'"([A-Za-z_][A-Za-z0-9_]*)=',
                                        line.split("], [", 1)[-1])) for line in started]
                self.assertIn("HTTP_X_PROBE", names[0])
                self.assertTrue(any(program in line for line in started[1:]), execs)
                for line, seen in zip(started[1:], names[1:]):
                    self.assertEqual(seen & (names[0] - {"PATH"}), set(), line)

    def test_a_body_that_never_comes_is_not_waited_for(self):
        """A client that says 100 bytes, sends 8 and keeps the connection
        open: answered 408 once the body's time is up, nothing written."""
        b = self.cgi_board()
        before = self.settings(b)
        # The body's writer holds the pipe open after its 8 bytes.
        got, output = b.run("mkfifo /tmp/body")
        self.assertEqual(got, 0, output)
        command = self.cgi_command("POST", "/settings", CONTENT_LENGTH="100",
                                   CONTENT_TYPE="application/json")
        command = command.split(" | ", 1)[1]
        started = time.monotonic()
        got, output = b.run("(printf %s '{\"led1\":' && exec sleep 60) >/tmp/body & "
                            f"{command} </tmp/body; status=$?; kill $!; exit $status",
                            timeout=BODY_SECONDS + 30)
        took = time.monotonic() - started
        self.assertEqual(got, 0, output)
        status, _, answer = self.answer(output)
        self.assertEqual((status, answer["field"]), (408, "body"), answer)
        self.assertGreater(took, BODY_SECONDS - 1)
        self.assertLess(took, BODY_SECONDS + 10)
        self.assertEqual(self.settings(b), before)

    def need_strace(self, b):
        got, output = b.run("strace -qq -o /dev/null true")
        if got != 0:
            self.skipTest(f"strace cannot run on the board here: {output}")

    def leftovers(self, b):
        """New settings files and capture directories that are there now."""
        return ([n for n in os.listdir(b.path(os.path.dirname(SETTINGS)))
                 if TEMPORARY.fullmatch(n)] +
                [n for n in os.listdir(b.path("/tmp")) if CAPTURES.fullmatch(n)])

    def test_what_a_killed_run_leaves_the_next_run_removes(self):
        """kill -9 at each step of a write, and in a look: the settings file
        is the old one, whole; what the killed run left, the next one removes."""
        b = self.cgi_board("stations wlan0 2")
        self.need_strace(b)
        body = json.dumps({"led1": 17, "led2": 0, "token": self.token(b)})
        before = self.settings(b)[0]
        kills = {  # the killed call: (method, the left file's pattern)
            "write": ("POST", TEMPORARY), "fchown": ("POST", TEMPORARY),
            "fchmod": ("POST", TEMPORARY), "fsync": ("POST", TEMPORARY),
            "/^rename": ("POST", TEMPORARY), "/^clone": ("GET", CAPTURES),
        }
        for call, (method, pattern) in kills.items():
            with self.subTest(killed_at=call):
                prefix = (f"strace -qq -o /dev/null -e trace={call} "
                          f"-e inject={call}:signal=KILL:when=1")
                if method == "POST":
                    command = self.cgi_command("POST", "/settings", body, prefix=prefix,
                                               **SAME_ORIGIN)
                else:
                    command = self.cgi_command("GET", "/status", prefix=prefix)
                got, output = b.run(command)
                self.assertEqual(got, KILLED, output)
                self.assertEqual(self.settings(b)[0], before)
                left = self.leftovers(b)
                self.assertEqual(len(left), 1, left)
                self.assertRegex(left[0], pattern)
                status, _, answer = self.cgi(b, "GET", "/status")
                self.assertEqual(status, 200, answer)
                self.assertEqual(self.leftovers(b), [])

    def test_a_run_at_work_keeps_its_files(self):
        """What a live run uses is not stale: a write held between its new
        file's sync and its rename, and a look held before its first command,
        while another run tidies, both end as they would have."""
        b = self.cgi_board("stations wlan0 2")
        self.need_strace(b)
        body = json.dumps({"led1": 17, "led2": 0, "token": self.token(b)})
        hold = "strace -qq -o /dev/null -e trace={0} -e inject={0}:delay_enter=5000000:when=1"
        # The look first: the write changes the modes to ones that look at nothing.
        held = {"a look": self.cgi_command("GET", "/status", prefix=hold.format("/^clone")),
                "a write": self.cgi_command("POST", "/settings", body, **SAME_ORIGIN,
                                            prefix=hold.format("fsync"))}
        # A run that tidies both: an authenticated one that looks.
        tidy = self.cgi_command("GET", "/status")
        for name, command in held.items():
            with self.subTest(name):
                # The tidying run starts once the held one's file is there.
                listing = f"ls -A /tmp {os.path.dirname(SETTINGS)}"
                got, output = b.run(f"{command} >/tmp/held.txt & "
                                    f"for i in $(seq 200); do {listing} | grep -qE "
                                    f"'^({TEMPORARY.pattern}|{CAPTURES.pattern})$' && break; "
                                    f"sleep 0.05; done; {listing}; {tidy} >/dev/null; wait $!",
                                    timeout=60)
                self.assertEqual(got, 0, output)
                self.assertTrue(any(TEMPORARY.fullmatch(n) or CAPTURES.fullmatch(n)
                                    for n in output.split()), f"nothing held: {output}")
                with open(b.path("/tmp/held.txt")) as held_output:
                    status, _, answer = self.answer(held_output.read())
                self.assertEqual(status, 200, answer)
                report = answer.get("status", answer)
                self.assertIsNone(report["problem"], report["problem"])
                self.assertEqual(self.leftovers(b), [])

    def test_a_refused_post_changes_nothing(self):
        b = self.cgi_board()
        pid, token = self.daemon_pid(b), self.token(b)
        good = {"led1": 17, "led2": 0, "token": token}
        before = self.settings(b)
        time.sleep(0.05)  # a write would show in the modification time
        cases = {
            "no user": (401, None, dict(user=None)),
            "another site": (403, "Origin", dict(HTTP_ORIGIN="http://evil.example")),
            "another site's page": (403, "Referer",
                                    dict(HTTP_REFERER="http://evil.example/x")),
            "another port's page": (403, "Sec-Fetch-Site", dict(HTTP_SEC_FETCH_SITE="same-site")),
            "a form's type": (403, "Content-Type",
                              dict(CONTENT_TYPE="application/x-www-form-urlencoded")),
            "no token": (403, "token", dict(body={"led1": 17, "led2": 0})),
            "another user's token": (403, "token", dict(user="guest")),
            "a wrong token": (403, "token", dict(body=dict(good, token="0" * 64))),
            "mode 18": (400, "led1", dict(body=dict(good, led1=18))),
            "a fraction": (400, "led2", dict(body=dict(good, led2=1.5))),
            "a newline in a value": (400, "led1", dict(body=dict(good, led1="1\n7"))),
            "a NUL in a name": (400, "led1\\u0000",
                                dict(body=json.dumps(good).replace('"led1"', '"led1\\u0000"'))),
            "too long": (413, "body", dict(body=dict(good, pad="x" * 1100))),
            "too long, its length not told": (
                413, "body", dict(body=dict(good, pad="x" * 1100), CONTENT_LENGTH=None)),
            "shorter than told": (400, "body", dict(CONTENT_LENGTH="900")),
            "malformed": (400, None, dict(body="{\"led1\":17,")),
            "by GET": (405, None, dict(method="GET")),
        }
        for name, (expected, field, change) in cases.items():
            with self.subTest(name):
                body = change.pop("body", good)
                text = body if isinstance(body, str) else json.dumps(body)
                method = change.pop("method", "POST")
                status, headers, answer = self.cgi(b, method, "/settings", text, **change)
                self.assertEqual((status, answer.get("field")), (expected, field), answer)
                self.assertTrue(answer["error"])
                if status == 405:
                    self.assertEqual(headers["Allow"], "POST")
                self.assertEqual(self.settings(b), before)
                self.assertEqual(self.daemon_pid(b), pid)


if __name__ == "__main__":
    unittest.main()

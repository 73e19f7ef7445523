"""Start-up of the built server: plug-in check, banner on the console and in the HTML log."""
import base64
import http.client
import os
import re
import signal
import socket
import subprocess
import threading
import unittest

import hxbtest

VERSION = "1.1.0"
BUILD_DATE = "15.06.2026"


def banner_pattern(address_part):
    return re.compile(
        r"^\*\*\* WARN Startup  : version:%s \(%s\), %s(\d+) @ %s - Debug PID: (\d+)$"
        % (re.escape(VERSION), re.escape(BUILD_DATE), re.escape(address_part),
           re.escape(socket.gethostname())),
        re.M)


class StartupTest(unittest.TestCase):

    def start_banner(self, config, args=()):
        """Starts a server and waits for its banner line; returns the server."""
        s = hxbtest.Server(config=config)
        self.addCleanup(s.cleanup)
        if args:
            # Same as Server.start, with extra command-line arguments.
            s.proc = subprocess.Popen([os.path.join(s.bin, "hxbserver")] + list(args), cwd=s.root,
                                      stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                      stdin=subprocess.DEVNULL)
            s._reader = threading.Thread(target=s._read, daemon=True)
            s._reader.start()
            self.assertTrue(s.wait_output(" - Debug PID: "), s.text())
        else:
            s.start(wait_for=" - Debug PID: ")
        return s

    def assert_keeps_running(self, s):
        """Nothing in the server ends its event loop: it is still there after start-up."""
        with self.assertRaises(subprocess.TimeoutExpired, msg=s.text()):
            s.proc.wait(timeout=3)

    def test_missing_plugin_logs_one_critical_line_and_exits_1(self):
        s = hxbtest.Server(with_plugin=False)
        self.addCleanup(s.cleanup)
        s.start(wait_for="Plugin not found")
        self.assertEqual(s.wait_exit(), 1)
        expected = os.path.join(os.path.realpath(s.bin), "sqldrivers", "libqsqlite.so")
        critical = [l for l in s.text().splitlines() if l.startswith("*** CRITICAL")]
        self.assertEqual(critical, ["*** CRITICAL loadPlugin : Plugin not found: %s" % expected])
        self.assertNotIn("version:", s.text())
        self.assertNotIn("debuglevel changed", s.text())
        with open(os.path.join(s.log_dir, "log.html"), encoding="utf-8") as f:
            html = f.read()
        self.assertIn('<td title="Header">Plugin not found: %s</td>' % expected, html)
        # The process ends at once: no clean-up of process-wide objects closes the log.
        self.assertNotIn("</table>", html)

    def test_unloadable_plugin_prints_loader_error_and_exits_1(self):
        s = hxbtest.Server(with_plugin=False)
        self.addCleanup(s.cleanup)
        os.makedirs(os.path.join(s.bin, "sqldrivers"))
        with open(os.path.join(s.bin, "sqldrivers", "libqsqlite.so"), "wb") as f:
            f.write(b"not a shared library\n")
        s.start(wait_for="loading plugin failed")
        self.assertEqual(s.wait_exit(), 1)
        expected = os.path.join(os.path.realpath(s.bin), "sqldrivers", "libqsqlite.so")
        lines = s.text().splitlines()
        critical = [l for l in lines if l.startswith("*** CRITICAL")]
        self.assertEqual(critical, ["*** CRITICAL loadPlugin : loading plugin failed %s" % expected])
        # The loader's reason stands on its own line just before the log entry.
        reason = lines[lines.index(critical[0]) - 1]
        self.assertFalse(reason.startswith("***"), s.text())
        self.assertIn("libqsqlite.so", reason)
        self.assertNotIn("Plugin not found", s.text())
        self.assertNotIn("version:", s.text())
        with open(os.path.join(s.log_dir, "log.html"), encoding="utf-8") as f:
            self.assertNotIn("</table>", f.read())

    def test_default_address_in_banner_and_runs_until_killed(self):
        s = self.start_banner({})
        m = banner_pattern("127.0.0.1:").search(s.text())
        self.assertIsNotNone(m, s.text())
        self.assertEqual(int(m.group(1)), s.port)
        self.assertEqual(int(m.group(2)), s.proc.pid)
        out = s.text()
        exe = os.path.join(os.path.realpath(s.bin), "hxbserver")
        self.assertIn("*** INFO Starting HXB Sever : %s, PID: %d [" % (exe, s.proc.pid), out)
        self.assertIn("*** INFO HXBConfig : debuglevel changed, currently: [higher]", out)
        self.assertLess(out.index("Starting HXB Sever"), out.index("debuglevel changed"))
        self.assertLess(out.index("debuglevel changed"), out.index(" - Debug PID: "))
        self.assert_keeps_running(s)
        s.proc.send_signal(signal.SIGTERM)
        self.assertEqual(s.wait_exit(), -signal.SIGTERM)

    def test_bind_address_part_of_banner(self):
        for address, part in (("0.0.0.0", ""), ("", ""), ("10.1.2.3", "10.1.2.3:")):
            with self.subTest(address=address):
                s = self.start_banner({"Core": {"bind_address": address}})
                m = banner_pattern(part).search(s.text())
                self.assertIsNotNone(m, s.text())
                self.assertEqual(int(m.group(1)), s.port)
                s.cleanup()

    def test_log_file_has_banner_row(self):
        s = self.start_banner({})
        path = os.path.join(s.log_dir, "log.html")
        self.assertIn("*** INFO Logging : using logfile : %s" % os.path.realpath(path), s.text())
        with open(path, encoding="utf-8") as f:
            html = f.read()
        self.assertTrue(html.startswith("<!DOCTYPE HTML PUBLIC"), html[:200])
        self.assertIn("<title>Orlenta-Systems HXB Server Logfile</title>", html)
        self.assertRegex(html, r'<td title="Category">Startup </td>\n<td title="Header">version:%s '
                               r'\(%s\), 127\.0\.0\.1:%d @ ' % (re.escape(VERSION),
                                                                re.escape(BUILD_DATE), s.port))
        self.assertIn('style="color:#FF5500;">WARN</td>\n<td title="Category">Startup </td>', html)

    def test_extra_arguments_change_nothing(self):
        s = self.start_banner({}, args=["--unknown", "positional", "-x"])
        self.assertIsNotNone(banner_pattern("127.0.0.1:").search(s.text()), s.text())
        self.assert_keeps_running(s)

    def test_first_administrator_gets_the_password_of_the_configured_file(self):
        def login(s, password):
            conn = http.client.HTTPConnection("127.0.0.1", s.port, timeout=30)
            auth = base64.b64encode(("admin:" + password).encode()).decode()
            conn.request("GET", "/user/login", headers={"Authorization": "Basic " + auth})
            status = conn.getresponse().status
            conn.close()
            return status

        for content, password in (("Xk3-initial pw\n", "Xk3-initial pw"), ("", None)):
            s = hxbtest.Server(config={"Core": {"initial_admin_password_file": "PLACEHOLDER"}})
            self.addCleanup(s.cleanup)
            path = os.path.join(s.root, "initial-admin-password")
            with open(path, "w") as f:
                f.write(content)
            s.write_config({"Core": {"port": str(s.port), "logpath": s.root,
                                     "initial_admin_password_file": path}})
            s.start(wait_for=" - Debug PID: ")
            s.wait_port()
            self.assertNotEqual(login(s, "tansy"), 200)  # never the published default
            if password:
                self.assertEqual(login(s, password), 200, s.text())
                self.assertFalse(os.path.exists(path))
            else:
                self.assertIn("no initial administrator password: no user created", s.text())
            s.cleanup()


if __name__ == "__main__":
    hxbtest.main()

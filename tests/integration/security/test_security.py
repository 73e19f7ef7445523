"""Abuse that costs nothing: bodies from strangers, password guessing, stale sessions, the
listening address, file modes and the answers' protective headers."""
import base64
import http.client
import json
import os
import socket
import stat
import unittest

import hxbtest


def basic(user, password):
    return "Basic " + base64.b64encode(("%s:%s" % (user, password)).encode()).decode()


def head_only(port, head, host="127.0.0.1"):
    """Sends a request header whose body never comes; returns the first answer
    (status, headers, body) and whether the server then closed the connection."""
    with socket.create_connection((host, port), timeout=30) as s:
        s.sendall(head.encode())
        with s.makefile("rb") as f:
            status = int(f.readline().split()[1])
            headers = {}
            for line in iter(f.readline, b"\r\n"):
                name, _, value = line.decode("latin-1").partition(":")
                headers[name.strip().lower()] = value.strip()
            body = f.read(int(headers.get("content-length", "0")))
            closed = status != 100 and f.read(1) == b""
    return status, headers, body, closed


class SecurityTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = hxbtest.Server().start()

    @classmethod
    def tearDownClass(cls):
        cls.server.cleanup()

    def call(self, path, auth=None, body=None, method="POST"):
        conn = http.client.HTTPConnection("127.0.0.1", self.server.port, timeout=60)
        try:
            headers = {"Authorization": auth} if auth else {}
            conn.request(method, path, body=json.dumps(body) if body is not None else None,
                         headers=headers)
            r = conn.getresponse()
            return r.status, {k.lower(): v for k, v in r.getheaders()}, r.read().decode()
        finally:
            conn.close()

    def create_user(self, name, password):
        admin = self.call("/user/login", basic("admin", "tansy"))[2]
        status, _, data = self.call("/user/create", "Bearer " + admin,
                                    {"username": name, "password": password, "type": 0})
        self.assertEqual(status, 200, data)

    def test_bodies_are_refused_from_their_header_alone(self):
        # No body byte is ever sent: each answer comes without waiting for one.
        admin = basic("admin", "tansy")
        rows = [
            ("PUT /batchbay/uploadFile/1 HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 850000000\r\n", 401),
            ("PUT /batchbay/uploadFile/1 HTTP/1.1\r\nContent-Length: 850000000\r\n", 401),
            ("POST /RPC2 HTTP/1.1\r\nAuthorization: Basic Ym9ndXM6Ym9ndXM=\r\nContent-Length: 1000\r\n", 401),
            ("POST /alive HTTP/1.1\r\nContent-Length: 850000000\r\n", 413),
            ("POST /static/hxbwebinterface/ HTTP/1.1\r\nContent-Length: 100000\r\n", 413),
            ("POST /user/create HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 100000\r\n", 413),
            ("POST /RPC2 HTTP/1.1\r\nAuthorization: %s\r\nContent-Length: 16777217\r\n" % admin, 413),
            ("POST /batchbay/jobinfo HTTP/1.1\r\nAuthorization: %s\r\nContent-Length: 1048577\r\n" % admin, 413),
            # Accepted: only a known caller's upload is asked for its body.
            ("PUT /batchbay/uploadFile/1 HTTP/1.1\r\nAuthorization: %s\r\nExpect: 100-continue\r\n"
             "Content-Length: 50000000\r\n" % admin, 100),
        ]
        for head, expected in rows:
            with self.subTest(head=head.split("\r\n")[0]):
                status, headers, _, closed = head_only(self.server.port, head + "Host: t\r\n\r\n")
                self.assertEqual(status, expected)
                self.assertEqual(closed, expected != 100)
        spool = os.path.join(self.server.bin, "data", "spool")
        self.assertEqual(os.listdir(spool), [])

    def test_password_guessing_waits_and_is_logged(self):
        self.create_user("guessme", "right password")
        for attempt in range(5):
            status, _, _ = self.call("/batchbay/jobinfo", basic("guessme", "wrong %d" % attempt), method="GET")
            self.assertEqual(status, 401, attempt)
        # Now even the right password waits, on every route that takes one.
        for path in ("/batchbay/jobinfo", "/user/login"):
            status, headers, _ = self.call(path, basic("guessme", "right password"), method="GET")
            self.assertEqual(status, 429, path)
            self.assertGreaterEqual(int(headers["retry-after"]), 1, path)
        log = self.server.text()
        self.assertEqual(log.count("login failed [user: guessme, address: 127.0.0.1]"), 5, log)
        self.assertNotIn("wrong 0", log)

    def test_password_change_ends_the_other_sessions(self):
        self.create_user("changer", "first password")
        mine = self.call("/user/login", basic("changer", "first password"))[2]
        stolen = self.call("/user/login", basic("changer", "first password"))[2]
        status, _, data = self.call("/user/updatePassword", "Bearer " + mine,
                                    {"oldPassword": "first password", "newPassword": "second password"})
        self.assertEqual((status, data), (200, "updated password"))
        self.assertEqual(self.call("/user/extendToken", "Bearer " + stolen)[0], 405)
        self.assertEqual(self.call("/batchbay/jobinfo", "Bearer " + stolen, method="GET")[0], 401)
        self.assertEqual(self.call("/batchbay/jobinfo", "Bearer " + mine, method="GET")[0], 200)

    def test_front_end_has_a_content_policy_and_api_answers_are_not_stored(self):
        _, page, _ = self.call("/static/hxbwebinterface/", method="GET")
        status, api, token = self.call("/user/login", basic("admin", "tansy"), method="GET")
        self.assertEqual(status, 200)
        self.assertIn("script-src 'self' 'sha256-", page["content-security-policy"])
        self.assertIn("frame-ancestors 'none'", page["content-security-policy"])
        self.assertEqual(api["cache-control"], "no-store")
        self.assertEqual(self.call("/batchbay/jobinfo", "Bearer " + token, method="GET")[1]["cache-control"],
                         "no-store")

    def test_what_the_server_writes_is_private(self):
        self.call("/user/login", basic("admin", "tansy"))
        paths = [os.path.join(self.server.log_dir, "log.html"), os.path.join(self.server.bin, "data", "spool")]
        if not self.server.database:
            paths.append(os.path.join(self.server.bin, "db.sqlite"))
        for path in paths:
            with self.subTest(path=path):
                self.assertEqual(stat.S_IMODE(os.stat(path).st_mode) & 0o077, 0)


class BindAddressTest(unittest.TestCase):
    def reachable(self, server, host):
        try:
            with socket.create_connection((host, server.port), timeout=2):
                return True
        except OSError:
            return False

    def test_listener_binds_the_configured_address_only(self):
        for configured, answers, silent in (({}, "127.0.0.1", "127.0.0.2"),
                                            ({"bind_address": "127.0.0.2"}, "127.0.0.2", "127.0.0.1"),
                                            ({"bind_address": "*"}, "127.0.0.2", None)):
            with self.subTest(configured=configured), hxbtest.Server({"Core": configured}) as s:
                s.start(wait_for="Startup successful")
                self.assertTrue(self.reachable(s, answers))
                if silent:
                    self.assertFalse(self.reachable(s, silent))
                    self.assertIn("port: %d, address: %s" % (s.port, answers), s.text())


if __name__ == "__main__":
    hxbtest.main()

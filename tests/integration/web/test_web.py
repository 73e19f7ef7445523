"""The web server of the real binary: dispatch order, front-end fallback, liveness,
unknown routes, keep-alive and pipelining, uploads, and start-up ordering."""
import http.client
import os
import socket
import sqlite3
import threading
import time
import unittest

import hxbtest

INDEX = b"<!doctype html><title>front end</title>"
BIG = bytes(range(256)) * 2048  # 512 KiB, above the file cache's size limit
# Basic credentials of the default administrator, as a header line.
ADMIN_BASIC = b"Authorization: Basic YWRtaW46dGFuc3k=\r\n"


def read_response(sock_file, head=False):
    """Reads one response from a socket's file object: (status, reason, headers, body)."""
    status_line = sock_file.readline()
    if not status_line:
        return None
    version, status, reason = (status_line.decode("latin-1").rstrip("\r\n").split(" ", 2) + [""])[:3]
    headers = {}
    while True:
        line = sock_file.readline().decode("latin-1").rstrip("\r\n")
        if not line:
            break
        name, _, value = line.partition(":")
        headers[name.strip().lower()] = value.strip()
    body = b""
    if head:
        pass
    elif headers.get("transfer-encoding", "").lower() == "chunked":
        while True:
            size = int(sock_file.readline().split(b";")[0].strip(), 16)
            chunk = sock_file.read(size + 2)[:size]
            body += chunk
            if size == 0:
                break
    elif "content-length" in headers:
        body = sock_file.read(int(headers["content-length"]))
    return int(status), reason, headers, body


class WebServerTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = hxbtest.Server()
        web = os.path.join(cls.server.bin, "etc", "webinterface", "static", "hxbwebinterface")
        os.makedirs(os.path.join(web, "assets"), exist_ok=True)
        os.makedirs(os.path.join(web, "docs"), exist_ok=True)
        with open(os.path.join(web, "index.html"), "wb") as f:
            f.write(INDEX)
        with open(os.path.join(web, "assets", "app.js"), "wb") as f:
            f.write(b"console.log('app')")
        with open(os.path.join(web, "docs", "index.html"), "wb") as f:
            f.write(b"docs index")
        with open(os.path.join(web, "assets", "big.bin"), "wb") as f:
            f.write(BIG)
        cls.server.start()

    @classmethod
    def tearDownClass(cls):
        cls.server.cleanup()

    def request(self, method, path, body=None, headers=None):
        conn = http.client.HTTPConnection("127.0.0.1", self.server.port, timeout=30)
        try:
            conn.request(method, path, body=body, headers=headers or {})
            r = conn.getresponse()
            return r.status, r.reason, dict((k.lower(), v) for k, v in r.getheaders()), r.read()
        finally:
            conn.close()

    def raw(self, data, count=1, head=False):
        with socket.create_connection(("127.0.0.1", self.server.port), timeout=30) as s:
            s.sendall(data)
            with s.makefile("rb") as f:
                return [read_response(f, head) for _ in range(count)]

    def test_root_and_empty_path_redirect_to_front_end(self):
        for target in (b"/", b"/?x=1", b"http://127.0.0.1"):
            (status, _, headers, _), = self.raw(b"GET " + target + b" HTTP/1.1\r\nHost: t\r\n\r\n")
            self.assertEqual(status, 303, target)
            self.assertEqual(headers["location"], "/static/hxbwebinterface/", target)

    def test_front_end_routes_fall_back_to_index_as_html(self):
        for path in ("/static/hxbwebinterface/jobs/17", "/static/hxbwebinterface/users",
                     "/static/hxbwebinterface/a/b/c"):
            status, _, headers, body = self.request("GET", path)
            self.assertEqual(status, 200, path)
            self.assertEqual(body, INDEX, path)
            self.assertEqual(headers["content-type"], "text/html; charset=UTF-8", path)

    def test_front_end_files_and_directories_are_served_as_they_are(self):
        status, _, headers, body = self.request("GET", "/static/hxbwebinterface/assets/app.js")
        self.assertEqual((status, body), (200, b"console.log('app')"))
        self.assertTrue(headers["content-type"].startswith("text/javascript"))
        self.assertEqual(headers["cache-control"], "max-age=90")
        status, _, _, body = self.request("GET", "/static/hxbwebinterface/docs")
        self.assertEqual((status, body), (200, b"docs index"))
        status, _, _, body = self.request("GET", "/static/hxbwebinterface/")
        self.assertEqual((status, body), (200, INDEX))

    def test_missing_file_with_extension_is_not_answered_by_index(self):
        status, _, _, body = self.request("GET", "/static/hxbwebinterface/app.js")
        self.assertEqual(status, 404)
        self.assertNotEqual(body, INDEX)

    def test_static_prefix_is_a_plain_byte_prefix(self):
        status, reason, _, body = self.request("GET", "/staticfoo")
        self.assertEqual(status, 404)
        self.assertNotEqual(reason, "NOT FOUND")  # the file controller answered, not the route table

    def test_static_never_leaves_web_root(self):
        secret = os.path.join(self.server.bin, "etc", "secret.txt")
        with open(secret, "wb") as f:
            f.write(b"do not serve")
        for target in (b"/static/../secret.txt", b"/static/%2e%2e/secret.txt",
                       b"/static/hxbwebinterface/%2E%2E/%2E%2E/../secret.txt",
                       b"/static/..%2f..%2fsecret.txt"):
            (status, _, _, body), = self.raw(b"GET " + target + b" HTTP/1.1\r\nHost: t\r\n\r\n")
            self.assertIn(status, (400, 403, 404), target)
            self.assertNotIn(b"do not serve", body, target)

    def test_front_end_fallback_is_no_probe_for_files_outside_the_root(self):
        # /etc exists on every machine, /nonexistent-dir-x does not: both must answer alike.
        answers = []
        for target in (b"/static/hxbwebinterface/../../../../../../../../etc",
                       b"/static/hxbwebinterface/../../../../../../../../nonexistent-dir-x",
                       b"/static/hxbwebinterface/%2e%2e/%2e%2e/%2e%2e/%2e%2e/%2e%2e/%2e%2e/etc"):
            (status, _, _, body), = self.raw(b"GET " + target + b" HTTP/1.1\r\nHost: t\r\n\r\n")
            self.assertNotEqual(body, INDEX, target)
            answers.append(status)
        self.assertEqual(len(set(answers)), 1, answers)

    def test_alive_answers_version(self):
        for path in ("/alive", "/alive2", "/alive/x"):
            status, _, _, body = self.request("GET", path)
            self.assertEqual((status, body), (200, b"1.1.0"), path)

    def test_unknown_route_is_404_not_found_with_empty_body(self):
        for path in ("/nothing", "/users", "/RPC3/x"):
            status, reason, headers, body = self.request("GET", path)
            self.assertEqual((status, reason, body), (404, "NOT FOUND", b""), path)
            self.assertEqual(headers.get("content-length"), "0", path)

    def test_keep_alive_and_pipelined_requests(self):
        requests = (b"GET /alive HTTP/1.1\r\nHost: t\r\n\r\n"
                    b"GET /nothing HTTP/1.1\r\nHost: t\r\n\r\n"
                    b"GET /static/hxbwebinterface/jobs/1 HTTP/1.1\r\nHost: t\r\n\r\n"
                    b"GET /alive HTTP/1.1\r\nHost: t\r\nConnection: close\r\n\r\n")
        answers = self.raw(requests, count=4)
        self.assertEqual([a[0] for a in answers], [200, 404, 200, 200])
        self.assertEqual(answers[0][3], b"1.1.0")
        self.assertEqual(answers[2][3], INDEX)
        # Sequential requests on one kept-alive connection.
        conn = http.client.HTTPConnection("127.0.0.1", self.server.port, timeout=30)
        for _ in range(20):
            conn.request("GET", "/alive")
            r = conn.getresponse()
            self.assertEqual(r.read(), b"1.1.0")
        conn.close()

    def test_chunked_upload_is_consumed_and_connection_stays_usable(self):
        def chunks():
            for i in range(40):
                yield bytes([65 + i % 26]) * 100000
        conn = http.client.HTTPConnection("127.0.0.1", self.server.port, timeout=60)
        conn.request("PUT", "/batchbay/uploadFile/nojob", body=chunks(), encode_chunked=True,
                     headers={"Transfer-Encoding": "chunked",
                              "Authorization": ADMIN_BASIC.decode().split(": ", 1)[1].strip()})
        r = conn.getresponse()
        self.assertEqual((r.status, r.read()), (404, b"JobNotFound"))
        conn.request("GET", "/alive")
        self.assertEqual(conn.getresponse().read(), b"1.1.0")
        conn.close()

    def test_bad_requests_get_clear_errors_and_server_keeps_serving(self):
        cases = [
            (b"NONSENSE\r\n\r\n", 400),
            (b"GET / HTTP/1.1\r\nHost: t\r\nX: " + b"a" * 40000 + b"\r\n\r\n", 431),
            (b"POST /x HTTP/1.1\r\nHost: t\r\nContent-Length: 900000000\r\n\r\n", 413),
            (b"POST /x HTTP/1.1\r\nHost: t\r\nTransfer-Encoding: chunked\r\n\r\nZZ\r\n", 400),
            (b"POST /x HTTP/1.1\r\nHost: t\r\nContent-Length: -4\r\n\r\n", 400),
        ]
        for data, expected in cases:
            (status, _, headers, _), = self.raw(data)
            self.assertEqual(status, expected, data[:40])
            self.assertEqual(headers.get("connection"), "close")
        self.assertEqual(self.request("GET", "/alive")[3], b"1.1.0")

    def test_large_body_is_spooled_not_held_in_memory(self):
        total = 256 * 1024 * 1024
        block = bytes(range(256)) * 4096  # 1 MiB
        peak = [self.server.rss_kib()]
        before = peak[0]
        done = threading.Event()

        def sample():
            while not done.is_set():
                peak[0] = max(peak[0], self.server.rss_kib())
                time.sleep(0.02)
        sampler = threading.Thread(target=sample)
        sampler.start()
        try:
            with socket.create_connection(("127.0.0.1", self.server.port), timeout=120) as s:
                # Only a known caller's upload may send a body this big.
                s.sendall(b"PUT /batchbay/uploadFile/nojob HTTP/1.1\r\nHost: t\r\n" + ADMIN_BASIC
                          + b"Content-Length: %d\r\n\r\n" % total)
                for _ in range(total // len(block)):
                    s.sendall(block)
                with s.makefile("rb") as f:
                    status, reason, _, body = read_response(f)
        finally:
            done.set()
            sampler.join()
        self.assertEqual((status, reason, body), (404, "Job not found", b"JobNotFound"))
        growth_mib = (peak[0] - before) / 1024
        self.assertLess(growth_mib, 64, "server RSS grew by %.0f MiB for a 256 MiB body" % growth_mib)

    def test_start_up_is_logged_with_the_port(self):
        self.assertIn("Startup successful", self.server.text())
        self.assertIn("port: %d" % self.server.port, self.server.text())

    def test_request_size_limit_is_850000000_bytes(self):
        head = (b"PUT /batchbay/uploadFile/nojob HTTP/1.1\r\nHost: t\r\n" + ADMIN_BASIC
                + b"Expect: 100-continue\r\nContent-Length: ")
        (status, reason, _, _), = self.raw(head + b"850000001\r\n\r\n")
        self.assertEqual((status, reason), (413, "Payload Too Large"))
        with socket.create_connection(("127.0.0.1", self.server.port), timeout=30) as s:
            s.sendall(head + b"850000000\r\n\r\n")
            with s.makefile("rb") as f:
                self.assertEqual(f.readline(), b"HTTP/1.1 100 Continue\r\n")

    def test_head_is_answered_with_the_header_of_get(self):
        answers = self.raw(b"HEAD /static/hxbwebinterface/jobs/3 HTTP/1.1\r\nHost: t\r\n\r\n"
                           b"HEAD /static/hxbwebinterface/assets/big.bin HTTP/1.1\r\nHost: t\r\n\r\n"
                           b"HEAD /nothing HTTP/1.1\r\nHost: t\r\n\r\n", count=3, head=True)
        self.assertEqual([a[0] for a in answers], [200, 200, 404])
        self.assertEqual(answers[0][2]["content-type"], "text/html; charset=UTF-8")
        self.assertEqual(answers[0][2]["content-length"], str(len(INDEX)))
        self.assertEqual(answers[1][2]["content-length"], str(len(BIG)))
        # Nothing of a body came between the answers, so the connection is still in step.
        with socket.create_connection(("127.0.0.1", self.server.port), timeout=30) as s:
            s.sendall(b"HEAD /alive HTTP/1.1\r\nHost: t\r\n\r\n"
                      b"GET /alive HTTP/1.1\r\nHost: t\r\n\r\n")
            with s.makefile("rb") as f:
                self.assertEqual(read_response(f, head=True)[0], 200)
                self.assertEqual(read_response(f)[3], b"1.1.0")

    def test_client_that_half_closes_still_gets_whole_answers(self):
        with socket.create_connection(("127.0.0.1", self.server.port), timeout=30) as s:
            s.sendall(b"GET /static/hxbwebinterface/assets/big.bin HTTP/1.1\r\nHost: t\r\n\r\n"
                      b"GET /alive HTTP/1.1\r\nHost: t\r\n\r\n")
            s.shutdown(socket.SHUT_WR)
            with s.makefile("rb") as f:
                first = read_response(f)
                second = read_response(f)
        self.assertEqual(first[0], 200)
        self.assertEqual(len(first[3]), len(BIG))
        self.assertEqual(first[3], BIG)
        self.assertEqual(second[3], b"1.1.0")

    def test_odd_requests_are_answered_and_server_keeps_serving(self):
        many_headers = b"".join(b"X-%d: v\r\n" % i for i in range(1500))
        cases = [
            (b"GET /static/hxbwebinterface/%zz%4 HTTP/1.1\r\nHost: t\r\n\r\n", 200),
            (b"GET /static/%ff%fe%00/x.js HTTP/1.1\r\nHost: t\r\n\r\n", 400),
            (b"GET /nothing?%%%=&&==&a=%zz&\x80\xff=+ HTTP/1.1\r\nHost: t\r\n\r\n", 404),
            (b"GET /alive?\xc3\x28 HTTP/1.1\r\nHost: t\r\n\r\n", 200),
            (b"GET /nothing/" + b"a" * 12000 + b" HTTP/1.1\r\nHost: t\r\n\r\n", 404),
            (b"GET /nothing/" + b"a" * 20000 + b" HTTP/1.1\r\nHost: t\r\n\r\n", 431),
            (b"GET /alive HTTP/1.1\r\nHost: t\r\n" + many_headers + b"\r\n", 200),
            (b"OPTIONS * HTTP/1.1\r\nHost: t\r\n\r\n", 404),
        ]
        for data, expected in cases:
            (status, _, _, _), = self.raw(data)
            self.assertEqual(status, expected, data[:50])
        pipelined = b"GET /alive HTTP/1.1\r\nHost: t\r\n\r\n" * 3000
        answers = self.raw(pipelined, count=3000)
        self.assertEqual(sum(1 for a in answers if a and a[3] == b"1.1.0"), 3000)

    def test_many_connections_at_once(self):
        socks = []
        try:
            for _ in range(1000):
                s = socket.create_connection(("127.0.0.1", self.server.port), timeout=60)
                socks.append(s)
            for s in socks:
                s.sendall(b"GET /alive HTTP/1.1\r\nHost: t\r\nConnection: close\r\n\r\n")
            answers = []
            for s in socks:
                try:
                    with s.makefile("rb") as f:
                        answers.append(read_response(f))
                except OSError:
                    answers.append(None)
        finally:
            for s in socks:
                s.close()
        statuses = [a[0] if a else None for a in answers]
        self.assertTrue(all(st in (200, 503, None) for st in statuses), set(statuses))
        self.assertGreater(statuses.count(200), 0)
        self.assertEqual(self.request("GET", "/alive")[3], b"1.1.0")


class BuiltFrontEndTest(unittest.TestCase):
    """The front end of the build tree, as the build lays it out: nothing written by the test."""

    def test_root_leads_to_the_built_front_end_and_its_files(self):
        with hxbtest.Server() as server:
            server.start()
            conn = http.client.HTTPConnection("127.0.0.1", server.port, timeout=30)
            try:
                conn.request("GET", "/")
                r = conn.getresponse()
                r.read()
                self.assertEqual(r.status, 303)
                self.assertEqual(r.getheader("Location"), "/static/hxbwebinterface/")
                conn.request("GET", "/static/hxbwebinterface/")
                r = conn.getresponse()
                index = r.read()
                self.assertEqual(r.status, 200)
                self.assertIn(b'src="/static/hxbwebinterface/js/app.js"', index)
                for path in (b"/static/hxbwebinterface/js/app.js",
                             b"/static/hxbwebinterface/css/app.css",
                             b"/static/hxbwebinterface/vendor/chart.min.js"):
                    self.assertIn(path.decode(), index.decode())
                    conn.request("GET", path.decode())
                    r = conn.getresponse()
                    body = r.read()
                    self.assertEqual(r.status, 200, path)
                    self.assertTrue(body, path)
            finally:
                conn.close()


class StartupOrderTest(unittest.TestCase):
    def test_request_before_modules_are_ready_is_answered_after_them(self):
        """The port listens before the modules initialise; a request sent meanwhile waits."""
        with hxbtest.Server() as server:
            db = os.path.join(server.bin, "db.sqlite")
            holder = sqlite3.connect(db, timeout=1, isolation_level=None)
            holder.execute("CREATE TABLE IF NOT EXISTS hold (x)")
            holder.execute("BEGIN EXCLUSIVE")
            server.start(wait_for="es geht los")
            answer = {}

            def ask():
                with socket.create_connection(("127.0.0.1", server.port), timeout=60) as s:
                    s.sendall(b"GET /nothing HTTP/1.1\r\nHost: t\r\n\r\n")
                    with s.makefile("rb") as f:
                        answer["response"] = read_response(f)
                    answer["at"] = time.monotonic()
            asker = threading.Thread(target=ask)
            asker.start()
            asker.join(2.0)
            self.assertTrue(asker.is_alive(), "answered while module initialisation was blocked")
            released = time.monotonic()
            holder.execute("ROLLBACK")
            holder.close()
            asker.join(60)
            self.assertFalse(asker.is_alive())
            self.assertGreaterEqual(answer["at"], released)
            self.assertEqual(answer["response"][0], 404)
            self.assertEqual(self_status(server, "/alive"), 200)


class PortInUseTest(unittest.TestCase):
    def test_port_in_use_is_logged_and_start_up_goes_on(self):
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as blocker:
            blocker.bind(("127.0.0.1", 0))
            blocker.listen(1)
            port = blocker.getsockname()[1]
            with hxbtest.Server(port=port) as server:
                server.start(wait_for="es geht los")
                self.assertIn("Startup failed", server.text())
                self.assertNotIn("Startup successful", server.text())
                self.assertIsNone(server.proc.poll(), "the server must keep running")

    def test_port_outside_range_is_a_failed_start(self):
        for port in (0, -1, 65536, 70000):
            with self.subTest(port=port), hxbtest.Server(port=port) as server:
                server.start(wait_for="es geht los")
                self.assertIn("Startup failed", server.text())
                self.assertNotIn("Startup successful", server.text())
                self.assertIsNone(server.proc.poll(), "the server must keep running")


class ListenerSettingsTest(unittest.TestCase):
    def test_listener_settings_leave_no_file_behind(self):
        with hxbtest.Server() as server:
            tmp = os.path.join(server.root, "tmp")
            os.makedirs(tmp)
            before = sorted(os.listdir(server.root))
            server.start(env={"TMPDIR": tmp})
            self.assertEqual(self_status(server, "/alive"), 200)
            time.sleep(0.5)  # the event loop has had its turn to write changed settings
            self.assertEqual(os.listdir(tmp), [])
            after = sorted(n for n in os.listdir(server.root) if n not in ("logs", "db.sqlite"))
            self.assertEqual(after, before)


def self_status(server, path):
    conn = http.client.HTTPConnection("127.0.0.1", server.port, timeout=30)
    try:
        conn.request("GET", path)
        return conn.getresponse().status
    finally:
        conn.close()


if __name__ == "__main__":
    hxbtest.main()

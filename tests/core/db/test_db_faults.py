"""The real server with a database it cannot use: it starts, logs the failing
statements and keeps serving; with a usable file, its order of start-up holds."""
import base64
import http.client
import os
import sqlite3
import unittest

import hxbtest


def get(server, path, headers=None):
    conn = http.client.HTTPConnection("127.0.0.1", server.port, timeout=10)
    try:
        conn.request("GET", path, headers=headers or {})
        resp = conn.getresponse()
        return resp.status, resp.read()
    finally:
        conn.close()


def basic(user, password):
    token = base64.b64encode(("%s:%s" % (user, password)).encode()).decode()
    return {"Authorization": "Basic " + token}


class DatabaseFaultTest(unittest.TestCase):
    def check_keeps_serving(self, server):
        server.start()
        self.assertTrue(server.wait_output("query returned an error", 20), server.text())
        for _ in range(3):
            status, body = get(server, "/alive")
            self.assertEqual(status, 200)
            self.assertEqual(body, b"1.1.0")
            # Requests that reach the database fail cleanly and leave the server running.
            status, _ = get(server, "/user", basic("admin", "admin"))
            self.assertNotEqual(status, 200)
        self.assertIsNone(server.proc.poll(), server.text())

    def test_garbage_database_file(self):
        with hxbtest.Server() as server:
            garbage = os.path.join(server.bin, "db.sqlite")
            with open(garbage, "wb") as f:
                f.write(b"not a database, only text\n" * 400)
            self.check_keeps_serving(server)
            with open(garbage, "rb") as f:
                self.assertEqual(f.read(), b"not a database, only text\n" * 400)

    def test_database_in_missing_directory(self):
        with hxbtest.Server() as server:
            missing = os.path.join(server.root, "no", "such", "dir", "db.sqlite")
            server.write_config({"Core": {"port": str(server.port), "logpath": server.root},
                                 "DB": {"name": missing}})
            self.check_keeps_serving(server)
            self.assertFalse(os.path.exists(missing))

    def test_unknown_database_type(self):
        with hxbtest.Server(config={"DB": {"type": "7"}}) as server:
            self.check_keeps_serving(server)
            self.assertFalse(os.path.exists(os.path.join(server.bin, "db.sqlite")))


class DatabaseStartupTest(unittest.TestCase):
    def test_database_file_beside_executable_and_order_of_start_up(self):
        with hxbtest.Server() as server:
            server.start()
            db = os.path.join(server.bin, "db.sqlite")
            deadline_ok = server.wait_output("connect to database", 20)
            self.assertTrue(deadline_ok, server.text())
            status, _ = get(server, "/alive")
            self.assertEqual(status, 200)
            self.assertTrue(os.path.exists(db))
            con = sqlite3.connect(db)
            try:
                self.assertEqual(con.execute("PRAGMA quick_check").fetchone()[0], "ok")
            finally:
                con.close()
            text = server.text()
            self.assertLess(text.index("es geht los ..."), text.index("connect to database"))


if __name__ == "__main__":
    hxbtest.main()

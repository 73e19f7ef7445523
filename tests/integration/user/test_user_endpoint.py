"""The /user endpoint over HTTP: log-in, session tokens, administration of accounts."""
import base64
import hashlib
import hmac
import http.client
import json
import os
import re
import time
import unittest

import hxbtest

JSON = "application/json"


def b64url(data):
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode()


def b64url_decode(text):
    return base64.urlsafe_b64decode(text + "=" * (-len(text) % 4))


def basic(user, password):
    return "Basic " + base64.b64encode(("%s:%s" % (user, password)).encode()).decode()


def bearer(token):
    return "Bearer " + token


def parts(token):
    h, p, s = token.split(".")
    return json.loads(b64url_decode(h)), json.loads(b64url_decode(p)), s


def forge(header, claims, key):
    """A token as an attacker would build it, signed with the given key (None: empty signature)."""
    head = b64url(json.dumps(header, separators=(",", ":")).encode())
    body = b64url(json.dumps(claims, separators=(",", ":")).encode())
    signing_input = (head + "." + body).encode()
    if key is None:
        return head + "." + body + "."
    return head + "." + body + "." + b64url(hmac.new(key, signing_input, hashlib.sha256).digest())


def resign_payload(token, claims):
    """Keeps header and signature of a genuine token, swaps in other claims."""
    h, _, s = token.split(".")
    return h + "." + b64url(json.dumps(claims, separators=(",", ":")).encode()) + "." + s


class Client:
    def __init__(self, test, server):
        self.test = test
        self.server = server

    def call(self, path, auth=None, body=None, method="POST"):
        conn = http.client.HTTPConnection("127.0.0.1", self.server.port, timeout=60)
        try:
            headers = {}
            if auth is not None:
                headers["Authorization"] = auth
            if isinstance(body, (dict, list)):
                body = json.dumps(body)
            conn.request(method, path, body=body, headers=headers)
            r = conn.getresponse()
            data = r.read().decode("utf-8", "replace")
            # Every answer of the endpoint, refusals included, is declared as JSON.
            self.test.assertEqual(r.getheader("Content-Type"), JSON, "%s -> %s" % (path, data))
            return r.status, r.reason, data
        finally:
            conn.close()

    def ok(self, path, auth=None, body=None, method="POST"):
        status, reason, data = self.call(path, auth, body, method)
        self.test.assertEqual((status, reason), (200, "OK"), "%s answered %r" % (path, data))
        return data

    def refused(self, path, auth=None, body=None, method="POST"):
        self.test.assertEqual(self.call(path, auth, body, method), (405, "not allowed", "not allowed"),
                              path)

    def login(self, user, password):
        return self.ok("/user/login", basic(user, password))


def wait_for(pred, timeout=15):
    deadline = time.time() + timeout
    while time.time() < deadline:
        if pred():
            return True
        time.sleep(0.05)
    return pred()


def stored_row(server, user_id):
    rows = server.sql("SELECT mType, mUsername, mPassword FROM USERS WHERE mId = ?", (user_id,))
    if not rows:
        return None
    kind, name, password = rows[0]
    return (None if kind is None else int(kind), name, password)


class LogWatch:
    """Log lines written after a mark.

    The log file is written by a thread of its own, so a line may land after the answer of the
    request that caused it. With a client, the watch provokes a marker line (creating the
    existing "admin" again) and waits for it: every earlier line is in the file by then, both
    before the mark is taken and before lines() is read.
    """

    MARKER = "user already exists"

    def __init__(self, server, client=None, auth=None):
        self.server, self.client, self.auth = server, client, auth
        self.settle()
        self.mark = len(server.text())

    def is_marker(self, line):
        return self.MARKER in line and line.rstrip().endswith("[admin]")

    def settle(self):
        if self.client is None:
            return
        count = sum(1 for l in self.server.text().splitlines() if self.is_marker(l))
        self.client.refused("/user/create", self.auth,
                            {"username": "admin", "password": "long enough", "type": 0})
        wait_for(lambda: sum(1 for l in self.server.text().splitlines() if self.is_marker(l)) > count)

    def lines(self):
        self.settle()
        return [l for l in self.server.text()[self.mark:].splitlines() if not self.is_marker(l)]

    def find(self, category, header, details=None):
        for line in self.server.text()[self.mark:].splitlines():
            if category in line and header in line and (details is None or details in line):
                return line
        return None

    def wait(self, category, header, details=None, timeout=10):
        wait_for(lambda: self.find(category, header, details) is not None, timeout)
        return self.find(category, header, details)


class UserEndpointTest(unittest.TestCase):
    """One server, token lifetime 2 hours, fresh database."""

    @classmethod
    def setUpClass(cls):
        cls.server = hxbtest.Server(config={"Core": {"token_expiration_hours": "2"}})
        cls.server.start()

    @classmethod
    def tearDownClass(cls):
        cls.server.cleanup()

    def setUp(self):
        self.c = Client(self, self.server)
        if not hasattr(UserEndpointTest, "admin_token"):
            UserEndpointTest.admin_token = self.c.login("admin", "tansy")
        self.admin = bearer(UserEndpointTest.admin_token)

    def watch(self):
        return LogWatch(self.server, self.c, self.admin)

    def create(self, name, password, user_type=0):
        answer = json.loads(self.c.ok("/user/create", self.admin,
                                      {"username": name, "password": password, "type": user_type}))
        return answer["id"]

    def test_01_fresh_database_lists_default_admin_and_numbers_ids(self):
        self.assertEqual(self.c.ok("/user/list", self.admin),
                         '{"users":[{"id":1.0,"type":1.0,"username":"admin"}]}')
        self.assertEqual(self.c.ok("/user/create", self.admin,
                                   {"username": "first", "password": "password-1", "type": 0}), '{"id":2}')
        self.assertEqual(self.c.ok("/user/list", self.admin),
                         '{"users":[{"id":1.0,"type":1.0,"username":"admin"},'
                         '{"id":2.0,"type":0.0,"username":"first"}]}')

    def test_login_answers_a_token_with_the_session_claims(self):
        before = int(time.time())
        token = self.c.ok("/user/login", basic("admin", "tansy"), method="GET")
        after = int(time.time())
        header, claims, _ = parts(token)
        self.assertEqual(header, {"alg": "HS256", "typ": "JWS"})
        self.assertEqual(sorted(claims), ["exp", "iss", "sub", "tokenhash", "userid"])
        self.assertEqual(claims["iss"], "ZRKN")
        self.assertEqual(claims["sub"], "admin")
        self.assertEqual(claims["userid"], "1")
        self.assertRegex(claims["tokenhash"], r"^000\d{7}$")
        self.assertIsInstance(claims["exp"], int)
        self.assertTrue(before + 7200 <= claims["exp"] <= after + 7200, claims["exp"])
        self.assertTrue(re.fullmatch(r"[A-Za-z0-9_-]+\.[A-Za-z0-9_-]+\.[A-Za-z0-9_-]{43}", token))
        # Any method logs in.
        self.c.ok("/user/login", basic("admin", "tansy"), method="PUT")

    def test_login_refusals(self):
        watch = self.watch()
        for auth in [basic("admin", "wrong"), basic("nobody", "tansy"), basic("Admin", "tansy"),
                     "Basic " + base64.b64encode(b"admintansy").decode(), "Basic ", "Basic !!!",
                     "", bearer(UserEndpointTest.admin_token), None]:
            self.c.refused("/user/login", auth)
        # Failures with a name are logged with the name and the client's address, never the password.
        failed = [l for l in watch.lines() if "login failed" in l]
        self.assertEqual(len(failed), 3, failed)
        self.assertIn("user: Admin, address: 127.0.0.1", failed[2])
        self.assertFalse([l for l in failed if "wrong" in l or "tansy" in l], failed)

    def test_password_containing_colons_logs_in(self):
        self.create("colon", "a:b::c:d:e")
        token = self.c.login("colon", "a:b::c:d:e")
        self.assertEqual(parts(token)[1]["sub"], "colon")
        self.c.refused("/user/login", basic("colon", "a"))
        self.c.refused("/user/login", basic("colon", "a:b"))

    def test_tokens_not_issued_by_the_server_are_refused(self):
        genuine = self.c.login("admin", "tansy")
        header, claims, _ = parts(genuine)
        bad_iss = dict(claims, iss="OTHER")
        numeric = dict(claims, userid=1)
        forged = [
            forge(header, claims, os.urandom(32)),
            forge(header, claims, b"wQpL4nZ7k#"),
            forge({"alg": "none", "typ": "JWS"}, claims, None),
            forge({"alg": "none", "typ": "JWS"}, claims, b""),
            forge({"alg": "HS512", "typ": "JWS"}, claims, os.urandom(32)),
            resign_payload(genuine, bad_iss),
            resign_payload(genuine, numeric),
            resign_payload(genuine, dict(claims, exp=claims["exp"] + 3600)),
            genuine.rsplit(".", 1)[0] + ".",
            genuine + ".x",
            genuine[:-2],
            "garbage",
        ]
        for token in forged:
            self.c.refused("/user/extendToken", bearer(token))
            self.c.refused("/user/list", bearer(token))
            self.c.refused("/user/logout", bearer(token))
        # None of these ended the genuine session.
        self.c.ok("/user/extendToken", bearer(genuine))

    def test_logout_ends_one_session_only(self):
        a = self.c.login("admin", "tansy")
        b = self.c.login("admin", "tansy")
        self.assertEqual(self.c.ok("/user/logout", bearer(a)), "logged out")
        self.c.refused("/user/logout", bearer(a))
        self.c.refused("/user/extendToken", bearer(a))
        renewed = self.c.ok("/user/extendToken", bearer(b))
        self.assertNotEqual(parts(renewed)[1]["tokenhash"], parts(b)[1]["tokenhash"])
        # Renewal keeps the presented token valid.
        self.c.ok("/user/extendToken", bearer(b))
        self.c.ok("/user/extendToken", bearer(renewed))
        self.c.refused("/user/logout")

    def test_normal_user_is_refused_administration(self):
        uid = self.create("plain", "password")
        token = bearer(self.c.login("plain", "password"))
        watch = self.watch()
        self.c.refused("/user/list", token)
        self.c.refused("/user/create", token, {"username": "x1", "password": "p", "type": 0})
        self.c.refused("/user/delete", token, {"userId": 1})
        self.c.refused("/user/setType", token, {"userId": uid, "type": 1})
        self.c.refused("/user/resetPassword", token, {"userId": 1, "password": "p"})
        self.c.ok("/user/extendToken", token)
        self.assertEqual(watch.lines(), [], "refusals for missing rights are not logged")
        self.assertNotIn('"x1"', self.c.ok("/user/list", self.admin))

    def test_create_refusals(self):
        self.create("dup", "password")
        watch = self.watch()
        self.c.refused("/user/create", self.admin, {"username": "dup", "password": "other password", "type": 0})
        self.assertIsNotNone(watch.wait("createUser", "user already exists", "dup"))

        watch = self.watch()
        type_rule = "type must be 0 or 1"
        name_rule = 'user name must be 1 to 64 bytes without ":" or control characters'
        password_rule = "password must have at least 8 characters"
        for body, rule in [({"username": "t2", "password": "password", "type": 2}, type_rule),
                           ({"username": "t3", "password": "password", "type": -1}, type_rule),
                           ({"username": "t6", "password": "password", "type": "0"}, type_rule),
                           ({"username": "t8", "password": "password", "type": 1e300}, type_rule),
                           ({"username": "", "password": "password", "type": 0}, name_rule),
                           ({"username": "a:b", "password": "password", "type": 0}, name_rule),
                           ({"username": "t4", "password": "", "type": 0}, password_rule),
                           ({"username": "t4", "password": "1234567", "type": 0}, password_rule)]:
            self.assertEqual(self.c.call("/user/create", self.admin, body), (400, "Bad Request", rule))
        self.assertEqual([l for l in watch.lines() if "createUser" in l], [])

        for body in ["{not json", {"username": "t5", "password": "p"},
                     {"username": 7, "password": "p", "type": 0},
                     {"username": "t7", "password": "p", "type": 4294967297},
                     [1, 2], b"\xff\xfe"]:
            watch = self.watch()
            self.c.refused("/user/create", self.admin, body)
            self.assertIsNotNone(watch.wait("createUser", "create User failed"), body)
        names = [u["username"] for u in json.loads(self.c.ok("/user/list", self.admin))["users"]]
        for n in ["t2", "t3", "t4", "t5", "t6", "t7", "t8", ""]:
            self.assertNotIn(n, names)

    def test_set_type_and_delete(self):
        watch = self.watch()
        self.c.refused("/user/setType", self.admin, {"userId": 1, "type": 1})
        self.assertIsNotNone(watch.wait("setUserType", "cannot change your own user type"))
        watch = self.watch()
        self.c.refused("/user/delete", self.admin, {"userId": 1})
        self.assertIsNotNone(watch.wait("deleteUser", "cannot delete yourself"))

        bid = self.create("second-admin", "password2", 1)
        b_token = bearer(self.c.login("second-admin", "password2"))
        self.c.ok("/user/list", b_token)
        watch = self.watch()
        self.assertEqual(self.c.ok("/user/setType", self.admin, {"userId": bid, "type": 0}),
                         '{"newType":0,"userId":%d}' % bid)
        self.assertIsNotNone(watch.wait("setUserType", "set type of user"))
        self.c.refused("/user/list", b_token)
        self.assertEqual(self.c.ok("/user/setType", self.admin, {"userId": bid, "type": 1}),
                         '{"newType":1,"userId":%d}' % bid)
        self.c.ok("/user/list", b_token)

        watch = self.watch()
        for body in [{"userId": bid, "type": 2}, {"userId": bid, "type": -1}, {"userId": 0, "type": 0},
                     {"userId": 4711, "type": 0}]:
            self.c.refused("/user/setType", self.admin, body)
        self.assertEqual([l for l in watch.lines() if "setUserType" in l], [])
        watch = self.watch()
        self.c.refused("/user/setType", self.admin, "]")
        self.assertIsNotNone(watch.wait("setUserType", "setUserType failed"))

        watch = self.watch()
        self.c.refused("/user/delete", self.admin, {"userId": 0})
        self.c.refused("/user/delete", self.admin, {"userId": 4711})
        self.assertEqual([l for l in watch.lines() if "deleteUser" in l], [])
        self.c.refused("/user/delete", self.admin, {"userId": "2"})
        self.assertIsNotNone(watch.wait("deleteUser", "deleteUser failed"))

        # Two administrators: one deletes the other, whose sessions end with the account.
        watch = self.watch()
        self.assertEqual(self.c.ok("/user/delete", self.admin, {"userId": bid}),
                         '{"deleted":%d}' % bid)
        self.assertIsNotNone(watch.wait("deleteUser", "deleted user"))
        self.c.refused("/user/extendToken", b_token)
        self.c.refused("/user/login", basic("second-admin", "password2"))
        self.c.refused("/user/delete", self.admin, {"userId": bid})
        users = json.loads(self.c.ok("/user/list", self.admin))["users"]
        self.assertNotIn(bid, [u["id"] for u in users])
        self.assertTrue(wait_for(lambda: stored_row(self.server, bid) is None))

    def test_reset_password_ends_sessions_own_change_ends_the_others(self):
        uid = self.create("resetme", "old password")
        t1 = bearer(self.c.login("resetme", "old password"))
        t2 = bearer(self.c.login("resetme", "old password"))

        # Own change: the caller's session stays open, the others end.
        watch = self.watch()
        self.c.refused("/user/updatePassword", t1, {"oldPassword": "wrong", "newPassword": "x"})
        self.assertIsNotNone(watch.wait("updatePassword", "old password incorrect"))
        watch = self.watch()
        self.c.refused("/user/updatePassword", t1, "not json")
        line = watch.wait("updatePassword", "updatePassword failed")
        self.assertIsNotNone(line)
        self.assertIn("parse", line)
        self.c.refused("/user/updatePassword", t1, {"oldPassword": "old password", "newPassword": ""})
        self.c.refused("/user/updatePassword", None, {"oldPassword": "old password", "newPassword": "n"})
        self.assertEqual(self.c.call("/user/updatePassword", t1,
                                     {"oldPassword": "old password", "newPassword": "short"}),
                         (400, "Bad Request", "password must have at least 8 characters"))
        self.assertEqual(self.c.ok("/user/updatePassword", t1,
                                   {"oldPassword": "old password", "newPassword": "new:password"}),
                         "updated password")
        self.c.refused("/user/extendToken", t2)
        self.c.ok("/user/extendToken", t1)
        self.c.refused("/user/login", basic("resetme", "old password"))
        t3 = bearer(self.c.login("resetme", "new:password"))

        # Reset by an administrator: every session of the target ends.
        watch = self.watch()
        self.assertEqual(self.c.ok("/user/resetPassword", self.admin,
                                   {"userId": uid, "password": "reset password"}), '{"reset":%d}' % uid)
        self.assertIsNotNone(watch.wait("resetUserPassword", "Password changed"))
        for t in (t1, t2, t3):
            self.c.refused("/user/extendToken", t)
        self.c.login("resetme", "reset password")
        self.c.ok("/user/extendToken", self.admin)

        watch = self.watch()
        self.c.refused("/user/resetPassword", self.admin, {"userId": uid, "password": ""})
        self.c.refused("/user/resetPassword", self.admin, {"userId": 4711, "password": "password"})
        self.assertEqual([l for l in watch.lines() if "resetUserPassword" in l], [])
        self.c.refused("/user/resetPassword", self.admin, {"userId": uid})
        self.assertIsNotNone(watch.wait("resetUserPassword", "changing user password failed"))

    def test_keyword_precedence_and_unknown_commands(self):
        before = self.c.ok("/user/list", self.admin)
        # "list" comes before "create": the body is not used and nobody is created.
        self.assertEqual(self.c.ok("/user/createlist", self.admin,
                                   {"username": "nobody", "password": "p", "type": 0}), before)
        self.assertEqual(self.c.ok("/user/x/logout/list", self.admin), before)
        self.c.refused("/user", self.admin)
        self.c.refused("/user/unknown", self.admin)
        self.c.refused("/user/LIST", self.admin)

    def test_bad_input_is_refused_and_harmless(self):
        big = json.dumps({"username": "big", "password": "p" * (2 * 1024 * 1024), "type": 0})
        conn = http.client.HTTPConnection("127.0.0.1", self.server.port, timeout=60)
        try:
            conn.request("POST", "/user/create", body=big, headers={"Authorization": self.admin})
            self.assertEqual(conn.getresponse().status, 413)
        except (BrokenPipeError, ConnectionResetError):
            pass  # answered 413 and closed before the body was through
        finally:
            conn.close()
        self.c.refused("/user/create", self.admin, '{"username":"d","password":"p","type":0' + "[" * 60000)
        self.c.refused("/user/delete", self.admin, {"userId": 1e300})
        self.c.refused("/user/delete", self.admin, {"userId": True})
        # Long but within the header limit of the web server.
        self.c.refused("/user/extendToken", "Bearer " + "A" * 6000)
        self.c.refused("/user/extendToken", "Bearer " + "A.B." * 1500)
        self.c.refused("/user/login", "Basic " + "QQ" * 3000)
        self.c.ok("/user/list", self.admin)


class TokenLifetimeTest(unittest.TestCase):

    def test_zero_hours_expires_at_once(self):
        with hxbtest.Server(config={"Core": {"token_expiration_hours": "0"}}) as s:
            s.start()
            c = Client(self, s)
            token = c.login("admin", "tansy")
            _, claims, _ = parts(token)
            self.assertLessEqual(claims["exp"], int(time.time()))
            c.refused("/user/extendToken", bearer(token))
            c.refused("/user/list", bearer(token))

    def test_restart_ends_sessions_and_keeps_accounts(self):
        with hxbtest.Server() as s:
            s.start()
            c = Client(self, s)
            admin = bearer(c.login("admin", "tansy"))
            uid = json.loads(c.ok("/user/create", admin,
                                  {"username": "stays", "password": "pass:word", "type": 1}))["id"]
            user_token = bearer(c.login("stays", "pass:word"))
            # The account's fields reach the table through deferred writes.
            self.assertTrue(wait_for(lambda: (stored_row(s, uid) or (None,))[0] == 1
                                     and stored_row(s, uid)[1] == "stays"
                                     and (stored_row(s, uid)[2] or "").startswith("{PBKDF2-SHA256}")))
            s.stop()
            s.start()
            c.refused("/user/extendToken", admin)
            c.refused("/user/extendToken", user_token)
            fresh = bearer(c.login("stays", "pass:word"))
            self.assertEqual(json.loads(c.ok("/user/list", fresh))["users"],
                             [{"id": 1.0, "type": 1.0, "username": "admin"},
                              {"id": float(uid), "type": 1.0, "username": "stays"}])
            self.assertNotIn("No users found", s.text().split("es geht los")[-1])


if __name__ == "__main__":
    hxbtest.main()

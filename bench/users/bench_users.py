#!/usr/bin/env python3
"""Benchmark of the /user endpoint against the built server (run by hand, not a test).

    bench/users/bench_users.py --binary <build>/bin/hxbserver [--db sqlite|mariadb] [--logins 20] [--seconds 10]

Reports
  - log-in latency: sequential /user/login requests with HTTP Basic (one PBKDF2-SHA256
    derivation of 600000 iterations each), median and 90th percentile;
  - requests/s of an authenticated request (Bearer token, /user/list and /user/extendToken)
    with 32 connections, measured with wrk (a Lua script sets the header).
"""
import argparse
import base64
import http.client
import os
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "tests", "integration"))
import hxbtest  # noqa: E402

WRK_SCRIPT = """
wrk.method = "GET"
wrk.headers["Authorization"] = "Bearer %s"
"""


def login(port, user, password):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    auth = "Basic " + base64.b64encode(("%s:%s" % (user, password)).encode()).decode()
    conn.request("GET", "/user/login", headers={"Authorization": auth})
    r = conn.getresponse()
    body = r.read().decode()
    conn.close()
    if r.status != 200:
        raise SystemExit("log-in failed: %d %s" % (r.status, body))
    return body


def run_wrk(port, path, token, seconds, connections):
    with tempfile.NamedTemporaryFile("w", suffix=".lua", delete=False) as f:
        f.write(WRK_SCRIPT % token)
        script = f.name
    try:
        out = subprocess.run(["wrk", "-t2", "-c%d" % connections, "-d%ds" % seconds, "-s", script,
                              "--latency", "http://127.0.0.1:%d%s" % (port, path)],
                             capture_output=True, text=True, check=True).stdout
    finally:
        os.unlink(script)
    return out


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    parser.add_argument("--logins", type=int, default=20)
    parser.add_argument("--seconds", type=int, default=10)
    parser.add_argument("--connections", type=int, default=32)
    parser.add_argument("--db", choices=("sqlite", "mariadb"), default="sqlite",
                        help="mariadb: the private server of scripts/local-mariadb.sh, or HXB_TEST_DB")
    args = parser.parse_args()
    hxbtest.BINARY = os.path.abspath(args.binary)
    hxbtest.select_database(args.db)
    print("database: %s" % args.db)

    with hxbtest.Server() as server:
        server.start()
        token = login(server.port, "admin", "tansy")
        times = []
        for _ in range(args.logins):
            start = time.perf_counter()
            login(server.port, "admin", "tansy")
            times.append((time.perf_counter() - start) * 1000.0)
        times.sort()
        print("log-in latency over %d sequential log-ins: median %.1f ms, p90 %.1f ms, min %.1f ms"
              % (len(times), statistics.median(times), times[int(len(times) * 0.9) - 1], times[0]))
        for path in ("/user/list", "/user/extendToken"):
            out = run_wrk(server.port, path, token, args.seconds, args.connections)
            print("\n== %s, %d connections, %d s ==" % (path, args.connections, args.seconds))
            for line in out.splitlines():
                if any(k in line for k in ("Requests/sec", "Latency", "50%", "99%", "requests in",
                                           "Non-2xx", "Socket errors")):
                    print(line.strip())


if __name__ == "__main__":
    main()

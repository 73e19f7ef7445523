#!/usr/bin/env python3
"""HTTP throughput and latency of the built server beside nginx, and a 1 GiB upload.

    bench/http/bench_http.py --binary build/bin/hxbserver [--duration 10] [--connections 64]

Runs, each on its own loopback port: hxbserver in a private copy of its layout, and nginx
(as an unprivileged, non-daemon process with a configuration in a temporary directory)
serving the same 64 KiB file and an equivalent "/alive". wrk measures both with keep-alive
connections; the upload streams 1 GiB to the server and samples its peak RSS (VmHWM).
Each measurement is run --runs times, the two servers alternating, and the medians are
compared. Prints a table; nothing here is a test.
"""
import argparse
import statistics
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "integration"))
import hxbtest  # noqa: E402

FILE_PATH = "/static/bench/file64k.bin"

# nginx as it is run in production: a worker per core, files sent with sendfile(2) and
# their header in the same packet (tcp_nopush), descriptors and metadata of open files
# cached, no access log (the server keeps none either), connections kept alive.
NGINX_CONF = """
worker_processes auto;
pid {tmp}/nginx.pid;
error_log {tmp}/error.log warn;
daemon off;
events {{ worker_connections 4096; }}
http {{
    access_log off;
    sendfile on;
    tcp_nopush on;
    tcp_nodelay on;
    open_file_cache max=1000 inactive=60s;
    open_file_cache_valid 60s;
    keepalive_timeout 65s;
    client_body_temp_path {tmp}/body;
    proxy_temp_path {tmp}/proxy;
    fastcgi_temp_path {tmp}/fastcgi;
    uwsgi_temp_path {tmp}/uwsgi;
    scgi_temp_path {tmp}/scgi;
    keepalive_requests 1000000;
    server {{
        listen 127.0.0.1:{port};
        root {root};
        location = /alive {{ default_type text/plain; return 200 "1.1.0"; }}
    }}
    # HTTPS with the server's certificate and its TLS settings.
    server {{
        listen 127.0.0.1:{tls_port} ssl;
        ssl_certificate {tmp}/cert.pem;
        ssl_certificate_key {tmp}/key.pem;
        ssl_protocols TLSv1.2 TLSv1.3;
        ssl_ciphers ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-ECDSA-CHACHA20-POLY1305;
        ssl_session_cache shared:SSL:10m;
        root {root};
        location = /alive {{ default_type text/plain; return 200 "1.1.0"; }}
    }}
}}
"""


def wrk(url, duration, connections, threads, close=False):
    """close: a new connection (for HTTPS a full handshake) per request."""
    extra = ["-H", "Connection: close"] if close else []
    out = subprocess.run(["wrk", "-t%d" % threads, "-c%d" % connections, "-d%ds" % duration,
                          "--latency"] + extra + [url], capture_output=True, text=True, check=True).stdout
    rps = float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))

    def ms(text):
        value, unit = re.match(r"([\d.]+)(us|ms|s)", text).groups()
        return float(value) * {"us": 0.001, "ms": 1.0, "s": 1000.0}[unit]
    avg = ms(re.search(r"Latency\s+(\S+)", out).group(1))
    p50 = ms(re.search(r"\s50%\s+(\S+)", out).group(1))
    p99 = ms(re.search(r"\s99%\s+(\S+)", out).group(1))
    errors = re.search(r"Non-2xx or 3xx responses: (\d+)", out)
    socket_errors = re.search(r"Socket errors: (.*)", out)
    return {"rps": rps, "avg": avg, "p50": p50, "p99": p99,
            "non2xx": int(errors.group(1)) if errors else 0,
            "socket_errors": socket_errors.group(1) if socket_errors else ""}


def median_run(runs):
    """The run with the median throughput, errors of all runs summed."""
    middle = sorted(runs, key=lambda r: r["rps"])[len(runs) // 2]
    result = dict(middle)
    result["rps"] = statistics.median(r["rps"] for r in runs)
    result["non2xx"] = sum(r["non2xx"] for r in runs)
    result["socket_errors"] = "; ".join(r["socket_errors"] for r in runs if r["socket_errors"])
    return result


def wait_port(port, timeout=20):
    deadline = time.time() + timeout
    while time.time() < deadline:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.5):
                return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError("port %d did not open" % port)


def proc_status(pid, key):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return 0


def upload(port, pid, total):
    block = os.urandom(1 << 20)
    rss_before = proc_status(pid, "VmRSS")
    start = time.monotonic()
    with socket.create_connection(("127.0.0.1", port), timeout=300) as s:
        s.sendall(b"POST /bench-upload HTTP/1.1\r\nHost: bench\r\nContent-Length: %d\r\n\r\n" % total)
        sent = 0
        while sent < total:
            s.sendall(block)
            sent += len(block)
        with s.makefile("rb") as f:
            status = f.readline()
    seconds = time.monotonic() - start
    return {"status": status.decode().strip(), "seconds": seconds,
            "mib_s": total / (1 << 20) / seconds, "rss_before_kib": rss_before,
            "peak_rss_kib": proc_status(pid, "VmHWM")}


def refused_upload(port, total):
    with socket.create_connection(("127.0.0.1", port), timeout=60) as s:
        s.sendall(b"POST /bench-upload HTTP/1.1\r\nHost: bench\r\nContent-Length: %d\r\n\r\n" % total)
        start = time.monotonic()
        with s.makefile("rb") as f:
            status = f.readline().decode().strip()
        return "%s after %.3f s" % (status, time.monotonic() - start)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    parser.add_argument("--duration", type=int, default=10)
    parser.add_argument("--connections", type=int, default=64)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--skip-upload", action="store_true")
    # The server accepts bodies up to 850000000 bytes: 810 MiB is the largest round size that
    # fits. A 1 GiB upload is sent too, and must be refused (413) before its body is read.
    parser.add_argument("--upload-mib", type=int, default=810)
    args = parser.parse_args()
    hxbtest.BINARY = os.path.abspath(args.binary)

    tmp = tempfile.mkdtemp(prefix="hxbbench-")
    os.chmod(tmp, 0o755)  # nginx's workers run as an unprivileged user when started as root
    nginx = None
    # One P-256 certificate for both servers.
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                    "-nodes", "-keyout", os.path.join(tmp, "key.pem"), "-out", os.path.join(tmp, "cert.pem"),
                    "-days", "2", "-subj", "/CN=127.0.0.1"], check=True, capture_output=True)
    os.chmod(os.path.join(tmp, "key.pem"), 0o640)
    tls_port, nginx_tls_port = hxbtest.free_port(), hxbtest.free_port()
    server = hxbtest.Server(config={"Core": {"tls_port": str(tls_port),
                                             "tls_certificate": os.path.join(tmp, "cert.pem"),
                                             "tls_key": os.path.join(tmp, "key.pem")}})
    try:
        content = os.urandom(64 * 1024)
        for root in (os.path.join(server.bin, "etc", "webinterface"), os.path.join(tmp, "www")):
            os.makedirs(os.path.join(root, "static", "bench"), exist_ok=True)
            with open(os.path.join(root, "static", "bench", "file64k.bin"), "wb") as f:
                f.write(content)
        server.start()

        nginx_port = hxbtest.free_port()
        with open(os.path.join(tmp, "nginx.conf"), "w") as f:
            f.write(NGINX_CONF.format(tmp=tmp, port=nginx_port, tls_port=nginx_tls_port,
                                      root=os.path.join(tmp, "www")))
        nginx = subprocess.Popen(["/usr/sbin/nginx", "-p", tmp, "-c", os.path.join(tmp, "nginx.conf")],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_port(nginx_port)
        wait_port(nginx_tls_port)
        wait_port(tls_port)

        # The port listens before start-up has finished; measure the running server.
        for port in (server.port, nginx_port):
            wrk("http://127.0.0.1:%d/alive" % port, 1, args.connections, args.threads)

        results = []
        plain = ("http", server.port, nginx_port)
        tls = ("https", tls_port, nginx_tls_port)
        for name, path, (scheme, ours, theirs), close in (
                ("GET /alive", "/alive", plain, False),
                ("GET 64 KiB static file", FILE_PATH, plain, False),
                ("HTTPS GET /alive", "/alive", tls, False),
                ("HTTPS GET 64 KiB file", FILE_PATH, tls, False),
                ("HTTPS new connections", "/alive", tls, True)):
            runs = {"hxb": [], "nginx": []}
            for i in range(max(1, args.runs)):
                order = (("hxb", ours), ("nginx", theirs))
                for who, port in (order if i % 2 == 0 else order[::-1]):
                    runs[who].append(wrk("%s://127.0.0.1:%d%s" % (scheme, port, path), args.duration,
                                         args.connections, args.threads, close))
            results.append((name, median_run(runs["hxb"]), median_run(runs["nginx"])))
            for who in ("hxb", "nginx"):
                print("  %s %s: %s req/s" % (name, who, " ".join("%.0f" % r["rps"] for r in runs[who])))

        print("keep-alive, %d connections, %d wrk threads, %d s each, medians of %d runs, loopback, 2 shared cores"
              % (args.connections, args.threads, args.duration, max(1, args.runs)))
        print("%-24s %12s %12s %8s %10s %10s %10s %10s" % ("", "hxb req/s", "nginx req/s", "ratio",
                                                       "hxb p50", "hxb p99", "nginx p50", "nginx p99"))
        for name, ours, theirs in results:
            print("%-24s %12.0f %12.0f %8.2f %8.2fms %8.2fms %8.2fms %8.2fms" % (
                name, ours["rps"], theirs["rps"], ours["rps"] / theirs["rps"],
                ours["p50"], ours["p99"], theirs["p50"], theirs["p99"]))
            for who, r in (("hxb", ours), ("nginx", theirs)):
                if r["non2xx"] or r["socket_errors"]:
                    print("  %s: non-2xx %d, socket errors %s" % (who, r["non2xx"], r["socket_errors"]))

        if args.skip_upload:
            return
        total = args.upload_mib << 20
        up = upload(server.port, server.proc.pid, total)
        refused = refused_upload(server.port, 1 << 30)
        print("upload 1 GiB (over the server's limit): %s" % refused)
        print("upload %d MiB to the server: %s, %.1f s, %.0f MiB/s, RSS before %.1f MiB, peak RSS %.1f MiB"
              % (args.upload_mib, up["status"], up["seconds"], up["mib_s"],
                 up["rss_before_kib"] / 1024, up["peak_rss_kib"] / 1024))
    finally:
        if nginx and nginx.poll() is None:
            nginx.send_signal(signal.SIGQUIT)
            try:
                nginx.wait(10)
            except subprocess.TimeoutExpired:
                nginx.kill()
        server.cleanup()
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()

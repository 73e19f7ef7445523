#!/usr/bin/env python3
"""Load and fault runs against the built server on the live local Slurm cluster.

Every request goes to the server on 127.0.0.1; every phase is bounded in time and count and
stops by itself. Phases (--phases, comma-separated, in this order):

  load      --clients concurrent clients for --minutes (or --seconds), mixing XML-RPC calls, job
            lists, job submissions with uploads, and downloads of results. Counts every request
            and failure; samples the server's RSS and open descriptors.
  kills     --kill-clients clients run the same mix while the server is killed (SIGKILL) at a
            random moment, --kills times. After each kill: PRAGMA quick_check on the database,
            restart, every job created before the kill must still be known, and no uploaded file
            may be present under its name with other content than was sent. At the end every
            job must reach its end.
  outage    jobs run while slurmctld is stopped (scontrol shutdown slurmctld) for
            --outage-seconds and started again (scripts/local-slurm.sh start): no job may be
            marked finished or failed before its script ends. Stops the shared controller:
            never run it in CI.
  diskfull  the data directory is a small tmpfs mounted by the run (needs root); uploads past
            its size must be answered with an error while the server keeps serving and loses
            nothing else.

  bench/load/load_faults.py --binary build/bin/hxbserver --clients 200 --minutes 10 --kills 10
  bench/load/load_faults.py --binary build/bin/hxbserver --clients 20 --seconds 20 --kills 1 \\
      --phases load,kills,diskfull          (the short run CI does)

Prints the figures and writes them as JSON to --report; exits 1 when a phase failed.
"""
import argparse
import base64
import http.client
import json
import os
import random
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time
import xmlrpc.client

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tests", "integration"))
import hxbtest  # noqa: E402

ADMIN = ("admin", "tansy")
SCRIPTS = {
    # Turns its upload into its result; JOB_ARGS seconds of sleep keep it running a while.
    "copy.sh": "#!/bin/bash\ncat input.txt > result.txt\nsleep ${JOB_ARGS:-0}\necho done\n",
}
END_STATES = {"finished", "failed"}
# Stages of the jobs a run waits for: released to Slurm, or brought back by a restart.
FOLLOWED = ("released", "finalizing", "recovered")
TIMEOUT = 120  # seconds for one request: far above any answer, below the phase deadlines


def log(*words):
    print(time.strftime("%H:%M:%S"), *words, flush=True)


class RequestFailed(Exception):
    pass


class Client:
    """One client's requests: a new loopback connection per request, as the desktop client does."""

    def __init__(self, port):
        self.port = port
        self.token = None

    def request(self, method, path, body=None, headers=None, auth=None):
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=TIMEOUT)
        try:
            hdrs = dict(headers or {})
            hdrs["Authorization"] = auth or ("Bearer " + self.token)
            conn.request(method, path, body=body, headers=hdrs)
            response = conn.getresponse()
            return response.status, response.read()
        finally:
            conn.close()

    def login(self):
        basic = base64.b64encode(("%s:%s" % ADMIN).encode()).decode()
        status, body = self.request("GET", "/user/login", auth="Basic " + basic)
        if status != 200 or not body:
            raise RequestFailed("login: %s %r" % (status, body[:200]))
        self.token = body.decode().strip().strip('"')

    def ok(self, method, path, body=None, headers=None):
        status, data = self.request(method, path, body, headers)
        if status != 200:
            raise RequestFailed("%s %s: %s %r" % (method, path, status, data[:200]))
        return data

    def rpc(self, name, *params):
        body = xmlrpc.client.dumps(tuple(params), "sshResourceManager." + name, allow_none=True)
        data = self.ok("POST", "/RPC2", body.encode(), {"Content-Type": "text/xml"})
        try:
            return xmlrpc.client.loads(data, use_builtin_types=True)[0][0]
        except xmlrpc.client.Fault as fault:
            raise RequestFailed("%s: fault %s" % (name, fault))

    def jobs(self):
        return {j["jobid"]: j for j in json.loads(self.ok("GET", "/batchbay/jobinfo"))["jobs"]}


class LiveServer:
    def __init__(self, datadir=None):
        config = {"Core": {"oversubscribe": "true"}}
        if datadir:
            config["Core"]["datadir"] = datadir.rstrip("/") + "/"
        self.server = hxbtest.Server(config=config)
        scripts = os.path.join(datadir or os.path.join(self.server.bin, "data"), "scripts")
        os.makedirs(scripts, exist_ok=True)
        for name, text in SCRIPTS.items():
            path = os.path.join(scripts, name)
            with open(path, "w") as f:
                f.write(text)
            os.chmod(path, 0o755)
        self.port = self.server.port
        self.db = os.path.join(self.server.bin, "db.sqlite")
        self.app_id = None

    def start(self):
        self.server.start()
        client = Client(self.port)
        client.login()
        for app in client.rpc("getActiveApplications", 1)["Apps"]:
            if app["appName"] == "copy.sh":
                self.app_id = app["appId"]
        if self.app_id is None:
            raise RequestFailed("the server lists no application copy.sh")
        return client

    def pid(self):
        return self.server.proc.pid

    def rss_kib(self):
        return self.server.rss_kib()

    def fds(self):
        return len(os.listdir("/proc/%d/fd" % self.pid()))

    def threads(self):
        with open("/proc/%d/status" % self.pid()) as f:
            for line in f:
                if line.startswith("Threads:"):
                    return int(line.split()[1])
        return 0

    def cleanup(self):
        self.server.cleanup()


class JobBook:
    """Every job a run created: what was uploaded and how far its creation got."""

    def __init__(self):
        self.lock = threading.Lock()
        self.jobs = {}  # id -> {"files": {name: bytes}, "stage": ..., "downloads": n}
        self.counter = 0

    def new_id(self, prefix):
        with self.lock:
            self.counter += 1
            return "%s%05d" % (prefix, self.counter)

    def active(self):
        """Jobs of this run's own making in flight; recovered ones end by themselves."""
        with self.lock:
            return sum(1 for j in self.jobs.values() if j["stage"] not in ("finalized", "recovered"))


def submit(client, app_id, book, job_id, files, seconds):
    """Creates a job, uploads its files and releases it; records every step that was answered."""
    with book.lock:
        book.jobs[job_id] = {"files": files, "stage": "submitting", "downloads": 0}
    reply = client.rpc("startJobv2", {
        "taskId": job_id, "projectName": "Load", "designName": "D",
        "derun": {"uuid": "run-" + job_id, "name": "R"}, "size": 1,
        "task0": {"type": "processTask", "applicationId": app_id, "argsCount": 1,
                  "arg0": str(seconds)},
        "outputFileCount": 1, "outputFile0": "result.txt", "removeFiles": 1, "maxRunTime": 600})
    if reply.get("messsage") != "Alles geht":
        raise RequestFailed("startJobv2 %s: %r" % (job_id, reply))
    with book.lock:
        book.jobs[job_id]["stage"] = "created"
    upload_all(client, book, job_id)


def upload_all(client, book, job_id):
    files = book.jobs[job_id]["files"]
    for name, content in files.items():
        client.ok("POST", "/batchbay/uploadFile/" + job_id, content, {"filename": name})
    client.ok("POST", "/batchbay/finishedUploading/" + job_id)
    with book.lock:
        book.jobs[job_id]["stage"] = "released"


class Mix:
    """The request mix of one client; counts by kind in stats (shared, under its lock)."""


    def __init__(self, live, book, stats, max_active, run_seconds):
        self.live = live
        self.book = book
        self.stats = stats
        self.max_active = max_active
        self.run_seconds = run_seconds

    def count(self, kind, n=1):
        with self.stats["lock"]:
            self.stats["requests"][kind] = self.stats["requests"].get(kind, 0) + n

    def one(self, client, rng):
        book = self.book
        roll = rng.random()
        if roll < 0.30:
            if rng.random() < 0.5:
                client.rpc("getActiveApplications", 1)
            else:
                with book.lock:
                    ids = list(book.jobs)
                client.rpc("getJobState", rng.choice(ids) if ids else "none", 0)
            self.count("xmlrpc")
        elif roll < 0.60:
            client.jobs()
            self.count("joblist")
        elif roll < 0.75 and book.active() < self.max_active:
            job_id = book.new_id("L")
            size = rng.choice((1, 1000, 64 * 1024, 2 * 1024 * 1024 + 3))
            files = {"input.txt": rng.randbytes(size), "extra.bin": rng.randbytes(4096)}
            self.count("submit")
            submit(client, self.live.app_id, book, job_id, files, rng.choice((0, 1, 3)))
            self.count("upload", len(files))
            self.count("xmlrpc")
            self.count("release")  # finishedUploading
        else:
            self.download_or_finalize(client, rng)

    def download_or_finalize(self, client, rng):
        book = self.book
        with book.lock:
            candidates = [i for i, j in book.jobs.items() if j["stage"] == "released"]
        if not candidates:
            client.jobs()
            self.count("joblist")
            return
        job_id = rng.choice(candidates)
        # Another client may be finalising the job (which removes its files) unless it is
        # taken: a job is finalised only when no client is downloading from it.
        with book.lock:
            job = book.jobs[job_id]
            if job["stage"] != "released":
                return
            job["busy"] = job.get("busy", 0) + 1
        try:
            info = client.jobs().get(job_id)
            self.count("joblist")
            if info is None or info["state"] not in END_STATES:
                return
            if info["state"] != "finished":
                raise RequestFailed("job %s ended %s" % (job_id, info["state"]))
            data = client.ok("POST", "/batchbay/getOutputFile/" + job_id, None,
                             {"filename": "result.txt"})
            self.count("download")
            if data != job["files"]["input.txt"]:
                raise RequestFailed("job %s: result.txt has %d bytes, not the %d uploaded"
                                    % (job_id, len(data), len(job["files"]["input.txt"])))
            job["downloads"] += 1
        finally:
            with book.lock:
                job["busy"] -= 1
                done = job["downloads"] >= 2 and job["busy"] == 0 and job["stage"] == "released"
                if done:
                    job["stage"] = "finalizing"
        if done:
            client.ok("POST", "/batchbay/finalize/" + job_id)
            self.count("finalize")
            with book.lock:
                book.jobs[job_id]["stage"] = "finalized"


def new_stats():
    return {"lock": threading.Lock(), "requests": {}, "failures": 0, "failure_samples": [],
            "interrupted": 0}


def record_failure(stats, error):
    with stats["lock"]:
        stats["failures"] += 1
        if len(stats["failure_samples"]) < 20:
            stats["failure_samples"].append(str(error)[:300])


def run_clients(live, book, stats, clients, seconds, max_active, gate=None, epoch=None,
                token_box=None, think=0.0):
    """Runs the clients until the deadline. With a gate, a request that fails while the gate is
    closed or after the epoch moved on (the server was killed under it) counts as interrupted.
    Each client waits a random 0 to 2 * think seconds before each step, as a person would."""
    deadline = time.time() + seconds
    mix = Mix(live, book, stats, max_active, seconds)

    def worker(index):
        rng = random.Random(index * 7919 + int(time.time()))
        client = Client(live.port)
        client.token = token_box[0] if token_box else live.token
        while time.time() < deadline:
            if gate is not None:
                if not gate.wait(timeout=1):
                    continue
                client.token = token_box[0]
            started_epoch = epoch[0] if epoch else 0
            if think:
                time.sleep(rng.uniform(0, 2 * think))
            try:
                mix.one(client, rng)
            except Exception as error:  # every failure is counted, whatever its kind
                if gate is not None and (not gate.is_set() or epoch[0] != started_epoch):
                    with stats["lock"]:
                        stats["interrupted"] += 1
                else:
                    record_failure(stats, error)
                    time.sleep(0.2)

    threads = [threading.Thread(target=worker, args=(i,), daemon=True) for i in range(clients)]
    for t in threads:
        t.start()
    return threads


def wait_all_ended(client, book, timeout, finalize=True):
    """Waits for every released job to end; returns {job: final state or None}."""
    deadline = time.time() + timeout
    pending = None
    while time.time() < deadline:
        known = client.jobs()
        with book.lock:
            wanted = {i for i, j in book.jobs.items() if j["stage"] in FOLLOWED}
        pending = {i for i in wanted if i not in known or known[i]["state"] not in END_STATES}
        if not pending:
            break
        time.sleep(1)
    known = client.jobs()
    ends = {}
    with book.lock:
        wanted = [i for i, j in book.jobs.items() if j["stage"] in FOLLOWED]
    for job_id in wanted:
        ends[job_id] = known[job_id]["state"] if job_id in known else None
        if finalize and job_id in known and known[job_id]["state"] in END_STATES:
            client.ok("POST", "/batchbay/finalize/" + job_id)
            with book.lock:
                book.jobs[job_id]["stage"] = "finalized"
    return ends


# ---------------------------------------------------------------------------------------------
def phase_load(args, report):
    seconds = args.seconds or args.minutes * 60
    live = LiveServer()
    try:
        client = live.start()
        live.token = client.token
        time.sleep(2)
        idle_before = {"fds": live.fds(), "rss_kib": live.rss_kib(), "threads": live.threads()}
        log("load: %d clients for %d s; idle server: %s" % (args.clients, seconds, idle_before))
        book, stats = JobBook(), new_stats()
        samples = []
        started = time.time()
        threads = run_clients(live, book, stats, args.clients, seconds, args.max_active,
                              think=args.think_ms / 1000)
        while any(t.is_alive() for t in threads):
            time.sleep(args.sample_seconds)
            with stats["lock"]:
                total = sum(stats["requests"].values())
                failures = stats["failures"]
            sample = {"t": round(time.time() - started), "rss_kib": live.rss_kib(),
                      "fds": live.fds(), "threads": live.threads(), "requests": total,
                      "failures": failures}
            samples.append(sample)
            log("load:", sample)
            if failures and (len(samples) < 2 or samples[-2]["failures"] != failures):
                log("load: last failure:", stats["failure_samples"][-1])
        for t in threads:
            t.join(TIMEOUT)
        ends = wait_all_ended(client, book, 180)
        # Each connection thread holds descriptors of its own (its database connection, its
        # event loop); the pool ends idle threads after a minute, so compare at the same size.
        settle_end = time.time() + args.settle_seconds
        while live.threads() > idle_before["threads"] and time.time() < settle_end:
            time.sleep(1)
        time.sleep(1)
        idle_after = {"fds": live.fds(), "rss_kib": live.rss_kib(), "threads": live.threads()}
        settled = idle_after["threads"] <= idle_before["threads"]
        not_finished = {i: s for i, s in ends.items() if s != "finished"}

        warm = [s["rss_kib"] for s in samples if s["t"] >= seconds * 0.25] or [0]
        quarter = max(1, len(warm) // 4)
        rss_warm = sorted(warm[:quarter])[quarter // 2]
        rss_end = sorted(warm[-quarter:])[quarter // 2]
        rss_growth = (rss_end - rss_warm) / rss_warm if rss_warm else 0
        fd_growth = idle_after["fds"] - idle_before["fds"]
        result = {
            "clients": args.clients, "seconds": seconds,
            "requests": dict(stats["requests"]), "requests_total": sum(stats["requests"].values()),
            "failures": stats["failures"], "failure_samples": stats["failure_samples"],
            "jobs": len(book.jobs), "jobs_not_finished": not_finished,
            "idle_before": idle_before, "idle_after": idle_after,
            "rss_kib_after_warmup": rss_warm, "rss_kib_at_end": rss_end,
            "rss_growth_after_warmup": round(rss_growth, 3), "fd_growth_idle": fd_growth,
            "samples": samples,
        }
        result["threads_settled"] = settled
        # Flatness says something only over minutes; a short run reports the figures only.
        result["rss_judged"] = seconds >= 120
        result["ok"] = (stats["failures"] == 0 and not not_finished
                        and (rss_growth <= 0.10 or not result["rss_judged"])
                        and (fd_growth <= 2 or not settled))
        report["load"] = result
        log("load: %d requests, %d failures, %d jobs (%d not finished), RSS %d -> %d KiB after "
            "warm-up, idle descriptors %d -> %d"
            % (result["requests_total"], stats["failures"], len(book.jobs), len(not_finished),
               rss_warm, rss_end, idle_before["fds"], idle_after["fds"]))
        return result["ok"]
    finally:
        live.cleanup()


# ---------------------------------------------------------------------------------------------
def quick_check(path):
    # Read-write, as the server opens it: a journal left by the kill is rolled back first.
    db = sqlite3.connect(path, timeout=10)
    try:
        return db.execute("PRAGMA quick_check;").fetchone()[0]
    finally:
        db.close()


def partial_files(book, known):
    """Uploaded files present under their name with other bytes than were sent."""
    bad = []
    for job_id, info in known.items():
        job = book.jobs.get(job_id)
        jobdir = info.get("jobdir") or ""
        if not job or not os.path.isdir(jobdir):
            continue
        for name, content in job["files"].items():
            path = os.path.join(jobdir, name)
            if os.path.exists(path):
                with open(path, "rb") as f:
                    if f.read() != content:
                        bad.append(path)
    return bad


def phase_kills(args, report):
    live = LiveServer()
    rng = random.Random(args.seed)
    try:
        client = live.start()
        token_box = [client.token]
        gate, epoch = threading.Event(), [0]
        gate.set()
        book, stats = JobBook(), new_stats()
        kills = []
        window = max(5.0, args.kill_seconds)
        total = window * args.kills + 10
        log("kills: %d kills, %d clients, one kill within every %d s"
            % (args.kills, args.kill_clients, window))
        threads = run_clients(live, book, stats, args.kill_clients, total, args.max_active,
                              gate=gate, epoch=epoch, token_box=token_box,
                              think=args.think_ms / 1000)
        for n in range(args.kills):
            time.sleep(rng.uniform(2, window - 2))
            before = client.jobs()
            with book.lock:
                created = {i for i, j in book.jobs.items() if j["stage"] in ("created", "released")}
            gate.clear()
            epoch[0] += 1
            live.server.stop()  # SIGKILL
            integrity = quick_check(live.db)
            partial = partial_files(book, before)
            live.server.start()
            client = Client(live.port)
            client.login()
            token_box[0] = client.token
            for app in client.rpc("getActiveApplications", 1)["Apps"]:
                if app["appName"] == "copy.sh":
                    live.app_id = app["appId"]
            known = client.jobs()
            lost = sorted(created - set(known))
            # A restart brings back every saved job as running with its Slurm ID only (no
            # names, no directory), to be followed on Slurm to its end; its files are not
            # served any more. A submission the kill cut off counts if the job exists.
            with book.lock:
                for i, j in list(book.jobs.items()):
                    if j["stage"] == "finalized":
                        continue
                    if i in known:
                        j["stage"] = "recovered"
                    elif j["stage"] == "submitting":
                        del book.jobs[i]
                    elif j["stage"] == "finalizing":
                        j["stage"] = "finalized"
            kill = {"kill": n + 1, "jobs_created_before": len(created), "lost": lost,
                    "quick_check": integrity, "partial_uploads": partial,
                    "jobs_recovered": sum(1 for i in known if i in created)}
            kills.append(kill)
            log("kills:", kill)
            gate.set()
        for t in threads:
            t.join(total + TIMEOUT)
        with book.lock:
            recovered = {i for i, j in book.jobs.items() if j["stage"] == "recovered"}
        ends = wait_all_ended(client, book, 240)
        never_ended = sorted(i for i, s in ends.items() if s not in END_STATES)
        failed = sorted(i for i, s in ends.items() if s == "failed")
        # Only a job that ran undisturbed must have finished; a recovered one must have ended.
        failed_unkilled = [i for i in failed if i not in recovered]
        result = {"kills": kills, "clients": args.kill_clients,
                  "requests": dict(stats["requests"]), "failures": stats["failures"],
                  "failure_samples": stats["failure_samples"],
                  "interrupted_by_kill": stats["interrupted"], "jobs": len(book.jobs),
                  "jobs_never_ended": never_ended, "jobs_failed": failed,
                  "jobs_recovered": len(recovered),
                  "recovered_ends": {s: sum(1 for i in recovered if ends.get(i) == s)
                                     for s in ("finished", "failed", None)}}
        result["ok"] = (stats["failures"] == 0 and not never_ended and not failed_unkilled
                        and all(not k["lost"] and k["quick_check"] == "ok"
                                and not k["partial_uploads"] for k in kills))
        report["kills"] = result
        log("kills: %d jobs, %d lost, %d never ended, %d failed, %d failures, %d requests "
            "interrupted by the kills"
            % (len(book.jobs), sum(len(k["lost"]) for k in kills), len(never_ended), len(failed),
               stats["failures"], stats["interrupted"]))
        return result["ok"]
    finally:
        live.cleanup()


def finalized_ids(book):
    with book.lock:
        return {i for i, j in book.jobs.items() if j["stage"] == "finalized"}


# ---------------------------------------------------------------------------------------------
def slurm_up():
    out = subprocess.run(["scontrol", "ping"], capture_output=True, text=True, timeout=30).stdout
    return "UP" in out


def phase_outage(args, report):
    live = LiveServer()
    try:
        client = live.start()
        book = JobBook()
        run_for = args.outage_seconds + 40
        ids = []
        for _ in range(args.outage_jobs):
            job_id = book.new_id("O")
            submit(client, live.app_id, book, job_id, {"input.txt": b"outage\n"}, run_for)
            ids.append(job_id)
        deadline = time.time() + 60
        while time.time() < deadline:
            known = client.jobs()
            if all(known.get(i, {}).get("state") == "running" for i in ids):
                break
            time.sleep(1)
        states_before = {i: client.jobs().get(i, {}).get("state") for i in ids}
        log("outage: jobs %s; stopping slurmctld for %d s" % (states_before, args.outage_seconds))
        stopped_at = time.time()
        subprocess.run(["scontrol", "shutdown", "slurmctld"], capture_output=True, timeout=30)
        early_end = {}
        polls = 0
        try:
            while time.time() - stopped_at < args.outage_seconds:
                known = client.jobs()
                polls += 1
                for i in ids:
                    state = known.get(i, {}).get("state")
                    if state in END_STATES or state is None:
                        early_end.setdefault(i, (round(time.time() - stopped_at), state))
                client.rpc("getJobState", ids[0], 0)
                time.sleep(2)
        finally:
            started = subprocess.run([os.path.join(ROOT, "scripts", "local-slurm.sh"), "start"],
                                     capture_output=True, text=True, timeout=120)
        log("outage: controller started again (%s), up: %s" % (started.returncode, slurm_up()))
        # Until the scripts end (run_for after their start), no job may end.
        while time.time() - stopped_at < run_for - 15:
            known = client.jobs()
            for i in ids:
                state = known.get(i, {}).get("state")
                if state in END_STATES or state is None:
                    early_end.setdefault(i, (round(time.time() - stopped_at), state))
            time.sleep(2)
        ends = wait_all_ended(client, book, 180)
        result = {"seconds": args.outage_seconds, "jobs": len(ids), "states_before": states_before,
                  "polls_during_outage": polls, "ended_early": early_end, "ends": ends}
        result["ok"] = not early_end and all(s == "finished" for s in ends.values())
        report["outage"] = result
        log("outage:", {k: v for k, v in result.items() if k != "states_before"})
        return result["ok"]
    finally:
        if not slurm_up():
            subprocess.run([os.path.join(ROOT, "scripts", "local-slurm.sh"), "start"],
                           capture_output=True, timeout=120)
        live.cleanup()


# ---------------------------------------------------------------------------------------------
def phase_diskfull(args, report):
    mount = tempfile.mkdtemp(prefix="hxbfull-")
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%dm" % args.disk_mib, "tmpfs", mount],
                   check=True)
    live = None
    try:
        live = LiveServer(datadir=mount)
        client = live.start()
        book = JobBook()
        # A job that runs to its end before the disk fills.
        first = {"input.txt": b"kept\n" * 1000}
        submit(client, live.app_id, book, "D1", first, 0)
        ends = wait_all_ended(client, book, 60, finalize=False)
        # A second job fills the disk with uploads.
        with book.lock:
            book.jobs["D2"] = {"files": {}, "stage": "submitting", "downloads": 0}
        reply = client.rpc("startJobv2", {
            "taskId": "D2", "projectName": "Load", "designName": "D",
            "derun": {"uuid": "run-D2", "name": "R"}, "size": 1,
            "task0": {"type": "processTask", "applicationId": live.app_id, "argsCount": 0},
            "outputFileCount": 1, "outputFile0": "result.txt", "removeFiles": 1,
            "maxRunTime": 60})
        chunk = random.Random(1).randbytes(1024 * 1024 + 17)
        stored, refusal = {}, None
        for n in range(args.disk_mib * 2):
            name = "big%02d.bin" % n
            status, body = client.request("POST", "/batchbay/uploadFile/D2", chunk,
                                          {"filename": name})
            if status == 200:
                stored[name] = chunk
            else:
                refusal = (n, status, body[:200].decode("utf-8", "replace"))
                break
        serving = client.jobs()
        rpc_ok = bool(client.rpc("getActiveApplications", 1)["Apps"])
        known = serving.get("D2", {})
        jobdir = known.get("jobdir", "")
        intact = all(open(os.path.join(jobdir, n), "rb").read() == c for n, c in stored.items())
        leftovers = [f for f in os.listdir(jobdir) if f.startswith(".upload-")] if jobdir else []
        first_result = client.ok("POST", "/batchbay/getOutputFile/D1", None,
                                 {"filename": "result.txt"})
        result = {"mib": args.disk_mib, "uploads_stored": len(stored), "refusal": refusal,
                  "job_list_after": sorted(serving), "xmlrpc_after": rpc_ok,
                  "stored_uploads_intact": intact, "temporary_files_left": leftovers,
                  "first_job_end": ends.get("D1"),
                  "first_job_result_intact": first_result == first["input.txt"],
                  "submit_reply": reply.get("messsage")}
        result["ok"] = (refusal is not None and refusal[1] >= 400 and rpc_ok and intact
                        and not leftovers and ends.get("D1") == "finished"
                        and result["first_job_result_intact"] and "D1" in serving
                        and "D2" in serving)
        report["diskfull"] = result
        log("diskfull:", result)
        return result["ok"]
    finally:
        if live:
            live.cleanup()
        subprocess.run(["umount", mount])
        shutil.rmtree(mount, ignore_errors=True)


PHASES = {"load": phase_load, "kills": phase_kills, "outage": phase_outage,
          "diskfull": phase_diskfull}


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--binary", required=True)
    parser.add_argument("--phases", default="load,kills,outage,diskfull")
    parser.add_argument("--clients", type=int, default=200)
    parser.add_argument("--minutes", type=float, default=10)
    parser.add_argument("--seconds", type=float, default=0, help="overrides --minutes")
    parser.add_argument("--max-active", type=int, default=24,
                        help="jobs in flight at most (the cluster has one small node)")
    parser.add_argument("--think-ms", type=float, default=100,
                        help="mean pause of a client between two steps")
    parser.add_argument("--sample-seconds", type=float, default=10)
    parser.add_argument("--settle-seconds", type=float, default=75,
                        help="after the load, wait so long for idle connection threads to end "
                             "before descriptors are compared (0: compare only if they did)")
    parser.add_argument("--kills", type=int, default=10)
    parser.add_argument("--kill-clients", type=int, default=20)
    parser.add_argument("--kill-seconds", type=float, default=20,
                        help="each kill falls at a random moment of such a window")
    parser.add_argument("--outage-seconds", type=float, default=60)
    parser.add_argument("--outage-jobs", type=int, default=2)
    parser.add_argument("--disk-mib", type=int, default=8)
    parser.add_argument("--seed", type=int, default=int(time.time()))
    parser.add_argument("--report", default="load_faults.json")
    args = parser.parse_args()
    hxbtest.BINARY = os.path.abspath(args.binary)

    phases = [p.strip() for p in args.phases.split(",") if p.strip()]
    unknown = [p for p in phases if p not in PHASES]
    if unknown:
        parser.error("unknown phases: %s" % ", ".join(unknown))
    if not slurm_up():
        print("no Slurm controller answers; start it with scripts/local-slurm.sh start",
              file=sys.stderr)
        return 1
    report = {"seed": args.seed}
    ok = True
    for phase in phases:
        try:
            passed = PHASES[phase](args, report)
        except Exception as error:
            report.setdefault(phase, {})["error"] = repr(error)
            log("%s: aborted: %r" % (phase, error))
            passed = False
        ok = ok and passed
        log("%s: %s" % (phase, "ok" if passed else "FAILED"))
        with open(args.report, "w") as f:
            json.dump(report, f, indent=1, default=str)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())

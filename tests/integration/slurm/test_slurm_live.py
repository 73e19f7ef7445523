"""Jobs through the built server on the live local Slurm cluster, driven as the design client
drives them: XML-RPC for jobs, REST for files, states read back from the server and from Slurm."""
import base64
import http.client
import json
import os
import re
import shutil
import socket
import subprocess
import threading
import time
import unittest
import urllib.parse
import uuid
import xmlrpc.client

import hxbtest

SCRIPTS = {
    # Echoes what reached it, turns its input into results in and below its directory.
    "hello.sh": "#!/bin/bash\n"
                "echo \"JOB_ARGS=[$JOB_ARGS]\"\n"
                "echo \"cwd=$(pwd)\"\n"
                "cat input.txt > result.txt\n"
                "mkdir -p out/sub && echo deep > out/sub/r.txt\n",
    "sleeper.sh": "#!/bin/bash\necho started\nsleep ${JOB_ARGS:-60}\necho done\n",
    "failing.sh": "#!/bin/bash\necho failing\nexit 1\n",
    "exit3.sh": "#!/bin/bash\necho three\nexit 3\n",
}
ADMIN = ("admin", "tansy")


def slurm(*args):
    return subprocess.run(list(args), capture_output=True, text=True, timeout=30).stdout


def scontrol_job(slurm_id):
    """scontrol show job as a dict of its Key=Value words; paths (which may hold blanks) whole."""
    text = slurm("scontrol", "show", "job", str(slurm_id))
    fields = dict(m.groups() for m in re.finditer(r"(\w[\w/:]*)=(\S*)", text))
    for key in ("WorkDir", "Command", "StdOut"):
        found = re.search(r"^\s*%s=(.*)$" % key, text, re.M)
        if found:
            fields[key] = found.group(1)
    return fields


class LiveServer:
    def __init__(self, config=None):
        cfg = {"Core": {"oversubscribe": "true"}}
        for section, values in (config or {}).items():
            cfg.setdefault(section, {}).update(values)
        self.server = hxbtest.Server(config=cfg)
        scripts = os.path.join(self.server.bin, "data", "scripts")
        os.makedirs(scripts, exist_ok=True)
        for name, body in SCRIPTS.items():
            with open(os.path.join(scripts, name), "w") as f:
                f.write(body)

    def start(self, wait_for=None):
        self.server.start(wait_for=wait_for)
        return self

    def call(self, method, *args):
        """One XML-RPC call of the design client's protocol, with Basic credentials in the URL."""
        url = "http://%s:%s@127.0.0.1:%d/RPC2" % (ADMIN + (self.server.port,))
        with xmlrpc.client.ServerProxy(url, allow_none=True, use_builtin_types=True) as proxy:
            return getattr(proxy.sshResourceManager, method)(*args)

    def rest(self, path, body=None, headers=None, method="POST"):
        conn = http.client.HTTPConnection("127.0.0.1", self.server.port, timeout=30)
        auth = base64.b64encode(("%s:%s" % ADMIN).encode()).decode()
        conn.request(method, path, body=body, headers=dict(headers or {}, Authorization="Basic " + auth))
        response = conn.getresponse()
        data = response.read()
        conn.close()
        return response.status, data

    def jobs(self):
        """Every job the server lists, by job ID."""
        status, body = self.rest("/batchbay/jobinfo", method="GET")
        assert status == 200, body
        return {job["jobid"]: job for job in json.loads(body)["jobs"]}

    def job_info(self, job_id):
        return self.jobs().get(job_id)

    def app_id(self, name):
        for app in self.call("getActiveApplications", 1)["Apps"]:
            if app["appName"] == name:
                return app["appId"]
        raise AssertionError("no application " + name)

    def create(self, job_id, app_id, args=(), remove_files=1, **task):
        """startJobv2 alone: the job waits for its input."""
        process = {"type": "processTask", "applicationId": app_id, "argsCount": len(args)}
        for i, arg in enumerate(args):
            process["arg%d" % i] = arg
        process.update(task)
        reply = self.call("startJobv2", {
            "taskId": job_id, "projectName": "Hull A", "designName": "D 1",
            "derun": {"uuid": "run-" + job_id, "name": "R1"}, "size": 1, "task0": process,
            "outputFileCount": 2, "outputFile0": " result*.txt ", "outputFile1": "out",
            "removeFiles": remove_files, "maxRunTime": 60})
        assert reply["messsage"] == "Alles geht", reply
        return reply

    def submit(self, job_id, app, args=(), remove_files=1, upload=None, **task):
        reply = self.create(job_id, self.app_id(app), args, remove_files, **task)
        for name, content in (upload or {}).items():
            status, body = self.rest("/batchbay/uploadFile/" + job_id, content, {"filename": name})
            assert status == 200, (status, body)
        status, _ = self.rest("/batchbay/finishedUploading/" + job_id)
        assert status == 200
        return reply

    def wait_state(self, job_id, states, timeout=60):
        deadline = time.time() + timeout
        info = None
        while time.time() < deadline:
            info = self.job_info(job_id)
            if info and info["state"] in states:
                return info
            time.sleep(0.2)
        raise AssertionError("job %s never reached %s: %s\n%s" % (job_id, states, info, self.server.text()[-3000:]))

    def cleanup(self):
        self.server.cleanup()


def check_outcome(test, info, exit_code, reason=None):
    """How the job ended: the script's exit code (-1 when there is none) and a reason holding
    REASON (case aside)."""
    test.assertEqual(info["exitCode"], exit_code, info)
    if reason is not None:
        test.assertIn(reason, info["reason"].lower(), info)


def require_slurm():
    # The test command starts the cluster; without it these tests must fail, not skip.
    out = subprocess.run(["scontrol", "ping"], capture_output=True, text=True, timeout=30).stdout
    if "UP" not in out:
        raise AssertionError("no Slurm controller answers; start it with "
                             + ("scripts/modern-slurm.sh start" if hxbtest.SLURM_BINDIR
                                else "scripts/local-slurm.sh start"))


class SlurmLiveTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        require_slurm()
        cls.node = socket.gethostname().split(".")[0]

    def setUp(self):
        self.live = LiveServer().start()
        self.addCleanup(self.live.cleanup)

    def test_round_trip_with_every_option_reaching_slurm(self):
        live = self.live
        live.submit("T1", "hello.sh", args=["-x", "two words"], upload={"input.txt": b"payload\n"},
                    numberOfTasks=1, numberOfNodes=1, numberOfCPUsPerTask=1, partitionName="long", priority=10)
        info = live.wait_state("T1", {"finished", "failed"})
        self.assertEqual(info["state"], "finished", live.server.text()[-3000:])
        check_outcome(self, info, 0)
        self.assertIn("one squeue per job" if os.environ.get("HXB_POLL_PER_JOB") == "1"
                      else "one squeue answer for all jobs", live.server.text())
        # The shared poll read Slurm's text answer, not the slower JSON one it falls back to.
        self.assertNotIn("asked again as JSON", live.server.text())
        self.assertEqual(live.call("getJobState", "T1", 0), 3)
        self.assertEqual(info["node"], self.node)
        slurm_id = int(info["slurmid"])
        self.assertGreater(slurm_id, 0)

        job = scontrol_job(slurm_id)
        job_dir = info["jobdir"]
        self.assertEqual(job["JobName"], "Hull_A_-_D_1")
        self.assertEqual(job["Partition"], "long")
        self.assertEqual(job["Priority"], "10")
        self.assertEqual(job["NumNodes"], "1")
        self.assertEqual(job["NumTasks"], "1")
        self.assertEqual(job["CPUs/Task"], "1")
        self.assertEqual(job["OverSubscribe"], "YES")
        self.assertEqual(os.path.realpath(job["WorkDir"]), os.path.realpath(job_dir))
        self.assertTrue(job["Command"].endswith("/data/scripts/hello.sh"), job["Command"])
        self.assertIn("/Hull A_", job_dir)

        out = live.call("getJobOutput", "T1")
        self.assertIn("JOB_ARGS=[-x two words]", out)
        self.assertIn("cwd=" + os.path.realpath(job_dir).rstrip("/"), out)

        status, body = live.rest("/batchbay/outputFileList/T1")
        self.assertEqual(status, 200)
        self.assertEqual(sorted(json.loads(body)["files"]), ["out/sub/r.txt", "result.txt"])
        status, body = live.rest("/batchbay/getOutputFile/T1", headers={"filename": "result.txt"})
        self.assertEqual((status, body), (200, b"payload\n"))

        status, _ = live.rest("/batchbay/finalize/T1")
        self.assertEqual(status, 200)
        deadline = time.time() + 10
        while time.time() < deadline and (live.job_info("T1") or os.path.exists(job_dir)):
            time.sleep(0.1)
        self.assertIsNone(live.job_info("T1"))
        self.assertFalse(os.path.exists(job_dir))

    def test_failures_and_cancellation_end_in_failed(self):
        live = self.live
        live.submit("BAD", "hello.sh", partitionName="nope")
        live.submit("EXIT1", "failing.sh")
        live.submit("EXIT3", "exit3.sh")
        live.submit("LONG", "sleeper.sh", args=["60"])
        bad = live.wait_state("BAD", {"failed", "finished"})
        self.assertEqual((bad["state"], bad["slurmid"]), ("failed", 0.0))
        self.assertIn("failed to aquire slurm id", live.server.text())
        check_outcome(self, bad, -1, "invalid partition")
        for job_id, code in (("EXIT1", 1), ("EXIT3", 3)):
            info = live.wait_state(job_id, {"failed", "finished"})
            self.assertEqual(info["state"], "failed", (job_id, info))
            check_outcome(self, info, code, "nonzeroexitcode")
            self.assertEqual(live.call("getJobState", job_id, 0), 5)

        # A running job's standard output is readable while it runs.
        running = live.wait_state("LONG", {"running"})
        deadline = time.time() + 15
        while time.time() < deadline and "started" not in live.call("getJobOutput", "LONG"):
            time.sleep(0.2)
        self.assertEqual(live.call("getJobOutput", "LONG"), "started\n")
        self.assertEqual(live.job_info("LONG")["state"], "running")

        self.assertTrue(live.call("cancelJob", "LONG"))
        cancelled = live.wait_state("LONG", {"failed", "finished"})
        self.assertEqual(cancelled["state"], "failed")
        check_outcome(self, cancelled, -1, "cancelled")
        deadline = time.time() + 15
        while time.time() < deadline and scontrol_job(int(running["slurmid"])).get("JobState") != "CANCELLED":
            time.sleep(0.2)
        self.assertEqual(scontrol_job(int(running["slurmid"]))["JobState"], "CANCELLED")

    def test_a_job_is_submitted_once_and_finalising_a_running_job_stops_it_first(self):
        live = self.live
        live.submit("ONCE", "hello.sh", upload={"input.txt": b"x"})
        self.assertEqual(live.wait_state("ONCE", {"finished", "failed"})["state"], "finished")
        for command in ("finishedUploading", "cancel"):
            status, body = live.rest("/batchbay/%s/ONCE" % command)
            self.assertEqual(status, 409, (command, body))
        self.assertEqual(live.job_info("ONCE")["state"], "finished")

        live.submit("STOP", "sleeper.sh", args=["60"])
        running = live.wait_state("STOP", {"running"})
        status, _ = live.rest("/batchbay/finalize/STOP")
        self.assertEqual(status, 200)
        deadline = time.time() + 20
        while time.time() < deadline and scontrol_job(int(running["slurmid"])).get("JobState") != "CANCELLED":
            time.sleep(0.2)
        self.assertEqual(scontrol_job(int(running["slurmid"]))["JobState"], "CANCELLED")
        while time.time() < deadline and (live.job_info("STOP") or os.path.exists(running["jobdir"])):
            time.sleep(0.2)
        self.assertIsNone(live.job_info("STOP"))
        self.assertFalse(os.path.exists(running["jobdir"]))

    def test_queue_information_counts_the_node_in_both_partitions(self):
        status, body = self.live.rest("/batchbay/queueinfo", method="GET")
        self.assertEqual(status, 200, body)
        info = json.loads(body)
        cluster = info["cluster"]
        self.assertEqual(cluster["nodes"], 1.0, info)
        self.assertGreater(cluster["cpus_total"], 0, info)
        self.assertEqual(cluster["allocated"] + cluster["idle"] + cluster["other"], cluster["cpus_total"], info)
        self.assertEqual([q["partition"] for q in info["queues"]], ["debug", "long"])
        for queue in info["queues"]:
            self.assertEqual({k: queue[k] for k in cluster}, cluster, info)

    def test_restart_recovers_a_running_job_and_follows_it_to_its_end(self):
        live = self.live
        live.create("WAIT", live.app_id("hello.sh"))
        live.submit("REFUSED", "hello.sh", partitionName="nope")
        refused = live.wait_state("REFUSED", {"failed", "finished"})
        live.submit("KEEP", "sleeper.sh", args=["4"], remove_files=0)
        info = live.wait_state("KEEP", {"running"})
        live.server.stop()  # kill -9
        live.start(wait_for="recovered Job")
        # Every job looks as it did: folder, names, times, state and reason.
        recovered = live.jobs()
        for key in ("slurmid", "jobdir", "projectname", "designname", "runname", "received_timestamp",
                    "started_timestamp", "ownername"):
            self.assertEqual(recovered["KEEP"][key], info[key], key)
        self.assertEqual(recovered["WAIT"]["state"], "waiting for input")
        self.assertEqual(recovered["REFUSED"], refused)
        ended = live.wait_state("KEEP", {"finished", "failed"}, timeout=60)
        self.assertEqual(ended["state"], "finished")
        check_outcome(self, ended, 0)
        # Its output patterns came back with it.
        with open(os.path.join(info["jobdir"], "result-1.txt"), "w") as f:
            f.write("r")
        status, body = live.rest("/batchbay/outputFileList/KEEP")
        self.assertEqual(status, 200, body)
        self.assertIn("result-1.txt", json.loads(body)["files"])

        # Finalising without removeFiles forgets the job and leaves its files.
        status, _ = live.rest("/batchbay/finalize/KEEP")
        self.assertEqual(status, 200)
        deadline = time.time() + 10
        while time.time() < deadline and live.job_info("KEEP"):
            time.sleep(0.1)
        self.assertIsNone(live.job_info("KEEP"))
        self.assertTrue(os.path.isdir(info["jobdir"]))


class PrivateMariaDb:
    """A MariaDB server of the tests' own (scripts/local-mariadb.sh on a free port, its data kept
    in the build tree between runs), to kill without touching the server the other tests
    share."""

    def __init__(self):
        shared = hxbtest.mariadb_url()
        self.port = hxbtest.free_port()
        self.env = dict(os.environ, HXB_MARIADB_DIR=os.path.abspath("mariadb-outage"),
                        HXB_MARIADB_PORT=str(self.port),
                        HXB_MARIADB_USER=urllib.parse.unquote(shared.username),
                        HXB_MARIADB_PASSWORD=urllib.parse.unquote(shared.password))
        self.url = shared._replace(netloc="%s:%s@127.0.0.1:%d" % (shared.username, shared.password, self.port))

    def run(self, command):
        done = subprocess.run([os.environ["HXB_MARIADB_SCRIPT"], command], env=self.env,
                              capture_output=True, text=True, timeout=180)
        assert done.returncode == 0, done.stdout + done.stderr

    def sql(self, statement, database=None):
        return hxbtest.mariadb(statement, database, url=self.url)


@unittest.skipUnless(hxbtest.mariadb_url(), "kills a MariaDB server: the _mariadb run has it")
class DatabaseOutageTest(unittest.TestCase):
    """MariaDB killed (SIGKILL) and started again under a working server: nothing a client was
    told about is lost, and every job runs to its end."""

    @classmethod
    def setUpClass(cls):
        require_slurm()
        cls.db = PrivateMariaDb()
        cls.db.run("stop")  # one left running by an interrupted run, on another port
        cls.addClassCleanup(cls.db.run, "stop")

    def setUp(self):
        self.db.run("start")
        self.database = "hxbt_" + uuid.uuid4().hex[:16]
        self.db.sql("CREATE DATABASE %s CHARACTER SET utf8mb4 COLLATE utf8mb4_bin" % self.database)
        self.addCleanup(self.drop_database)
        url = self.db.url
        self.live = LiveServer(config={"DB": {
            "type": "1", "name": self.database, "host": "127.0.0.1", "port": str(self.db.port),
            "user": urllib.parse.unquote(url.username), "password": urllib.parse.unquote(url.password)}})
        self.addCleanup(self.live.cleanup)

    def drop_database(self):
        self.db.run("start")
        self.db.sql("DROP DATABASE IF EXISTS %s" % self.database)

    def rows(self):
        """job ID -> (rows, Slurm ID) of the table the server saves its jobs in."""
        return {job: (int(count), int(slurm_id)) for job, count, slurm_id in self.db.sql(
            "SELECT jobId, COUNT(*), MAX(slurmId) FROM BatchbayJOBS GROUP BY jobId", self.database)}

    def wait_until(self, what, predicate, timeout):
        deadline = time.time() + timeout
        while not predicate():
            if time.time() > deadline:
                raise AssertionError("%s: not after %d s\n%s" % (what, timeout, self.live.server.text()[-4000:]))
            time.sleep(0.3)

    def test_jobs_accepted_while_the_database_is_killed_are_saved_and_run(self):
        live = self.live.start()
        app_id = live.app_id("sleeper.sh")
        accepted, errors = [], []
        done = threading.Event()

        def submit():
            n = 0
            while not done.is_set():
                job_id = "OUT%03d" % n
                n += 1
                try:
                    live.create(job_id, app_id, args=["0"])
                    accepted.append(job_id)  # the client holds the job ID from here on
                    status, body = live.rest("/batchbay/finishedUploading/" + job_id)
                    if status != 200:
                        errors.append((job_id, status, body))
                except Exception as e:  # noqa: BLE001 - every failure is reported below
                    errors.append((job_id, repr(e)))
                time.sleep(0.3)

        client = threading.Thread(target=submit)
        client.start()
        try:
            time.sleep(1)
            self.db.run("kill")
            killed_at = len(accepted)
            time.sleep(3)
            during = len(accepted) - killed_at
            self.db.run("start")
            time.sleep(1)
        finally:
            done.set()
            client.join(60)
        self.assertEqual(errors, [])
        self.assertGreater(during, 3, "too few jobs were submitted while the database was down")

        self.wait_until("every accepted job finished", lambda: all(
            job.get("state") in ("finished", "failed") for job in
            (live.jobs().get(job_id, {}) for job_id in accepted)), 90)
        jobs = live.jobs()
        self.assertEqual({job_id: jobs[job_id]["state"] for job_id in accepted},
                         {job_id: "finished" for job_id in accepted})
        expected = {job_id: (1, int(jobs[job_id]["slurmid"])) for job_id in accepted}
        self.assertTrue(all(slurm_id > 0 for _, slurm_id in expected.values()), expected)
        self.wait_until("one row per job with its Slurm ID", lambda: self.rows() == expected, 20)

        # The outage is logged when it starts and when its rows are written, not per job; a
        # thread whose last try was under a second before the database came back may open
        # a second, short one.
        log = live.server.text()
        self.assertIn(log.count("could not save job rows"), (1, 2))
        self.assertEqual(log.count("unsaved job rows written"), log.count("could not save job rows"))

    def test_database_down_at_start_recovers_the_jobs_once_it_answers(self):
        live = self.live.start()
        apps = {app["appName"]: app["appId"] for app in live.call("getActiveApplications", 1)["Apps"]}
        live.submit("KEEP", "sleeper.sh", args=["5"], remove_files=0)
        info = live.wait_state("KEEP", {"running"})
        self.wait_until("the job's row", lambda: self.rows().get("KEEP") == (1, int(info["slurmid"])), 10)

        live.server.stop()  # kill -9
        self.db.run("kill")
        live.start()
        self.assertTrue(live.server.wait_output("could not read the saved jobs", 20), live.server.text())
        status, body = live.rest("/alive", method="GET")
        self.assertEqual((status, body), (200, b"1.1.0"))

        self.db.run("start")
        self.assertTrue(live.server.wait_output("recovered Job", 20), live.server.text())
        self.assertEqual(live.job_info("KEEP")["slurmid"], info["slurmid"])
        # The catalogue built late has the IDs it had: a new job runs the application it names.
        self.assertEqual({app["appName"]: app["appId"] for app in live.call("getActiveApplications", 1)["Apps"]},
                         apps)
        live.submit("AFTER", "hello.sh", upload={"input.txt": b"after\n"})
        self.assertEqual(live.wait_state("AFTER", {"finished", "failed"})["state"], "finished")
        self.assertIn("JOB_ARGS=[]", live.call("getJobOutput", "AFTER"))
        self.assertEqual(live.wait_state("KEEP", {"finished", "failed"})["state"], "finished")
        self.assertEqual(set(self.rows()), {"KEEP", "AFTER"})


if __name__ == "__main__":
    hxbtest.main()

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
import time
import unittest
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

    def job_info(self, job_id):
        status, body = self.rest("/batchbay/jobinfo", method="GET")
        assert status == 200, body
        for job in json.loads(body)["jobs"]:
            if job["jobid"] == job_id:
                return job
        return None

    def app_id(self, name):
        for app in self.call("getActiveApplications", 1)["Apps"]:
            if app["appName"] == name:
                return app["appId"]
        raise AssertionError("no application " + name)

    def submit(self, job_id, app, args=(), remove_files=1, upload=None, **task):
        process = {"type": "processTask", "applicationId": self.app_id(app), "argsCount": len(args)}
        for i, arg in enumerate(args):
            process["arg%d" % i] = arg
        process.update(task)
        reply = self.call("startJobv2", {
            "taskId": job_id, "projectName": "Hull A", "designName": "D 1",
            "derun": {"uuid": "run-" + job_id, "name": "R1"}, "size": 1, "task0": process,
            "outputFileCount": 2, "outputFile0": " result*.txt ", "outputFile1": "out",
            "removeFiles": remove_files, "maxRunTime": 60})
        assert reply["messsage"] == "Alles geht", reply
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


class SlurmLiveTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # The test command starts the cluster; without it these tests must fail, not skip.
        out = subprocess.run(["scontrol", "ping"], capture_output=True, text=True, timeout=30).stdout
        if "UP" not in out:
            raise AssertionError("no Slurm controller answers; start it with scripts/local-slurm.sh start")
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
        live.submit("LONG", "sleeper.sh", args=["60"])
        bad = live.wait_state("BAD", {"failed", "finished"})
        self.assertEqual((bad["state"], bad["slurmid"]), ("failed", 0.0))
        self.assertIn("failed to aquire slurm id", live.server.text())
        self.assertEqual(live.wait_state("EXIT1", {"failed", "finished"})["state"], "failed")
        self.assertEqual(live.call("getJobState", "EXIT1", 0), 5)

        running = live.wait_state("LONG", {"running"})
        self.assertTrue(live.call("cancelJob", "LONG"))
        self.assertEqual(live.wait_state("LONG", {"failed", "finished"})["state"], "failed")
        deadline = time.time() + 15
        while time.time() < deadline and scontrol_job(int(running["slurmid"])).get("JobState") != "CANCELLED":
            time.sleep(0.2)
        self.assertEqual(scontrol_job(int(running["slurmid"]))["JobState"], "CANCELLED")

    def test_restart_recovers_a_running_job_and_follows_it_to_its_end(self):
        live = self.live
        live.submit("KEEP", "sleeper.sh", args=["4"], remove_files=0)
        info = live.wait_state("KEEP", {"running"})
        live.server.stop()  # kill -9
        live.start(wait_for="recovered Job")
        recovered = live.job_info("KEEP")
        self.assertEqual(recovered["slurmid"], info["slurmid"])
        self.assertEqual(live.wait_state("KEEP", {"finished", "failed"}, timeout=60)["state"], "finished")

        # Finalising without removeFiles forgets the job and leaves its files.
        status, _ = live.rest("/batchbay/finalize/KEEP")
        self.assertEqual(status, 200)
        deadline = time.time() + 10
        while time.time() < deadline and live.job_info("KEEP"):
            time.sleep(0.1)
        self.assertIsNone(live.job_info("KEEP"))
        self.assertTrue(os.path.isdir(info["jobdir"]))


if __name__ == "__main__":
    hxbtest.main()

"""scripts/run.sh, the README's run command, on a server tree laid out like the build tree: it
brings the server up with the sample applications, prints a job line that works as printed, and a
second run reuses the running server. The build step itself is the test suite's own build."""
import os
import pwd
import re
import shlex
import signal
import subprocess
import tempfile
import unittest

import hxbtest

SOURCE = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", ".."))


class RunScriptTest(unittest.TestCase):
    def setUp(self):
        self.server = hxbtest.Server()  # the tree only; run.sh starts the process
        os.chmod(self.server.root, 0o755)  # reachable by the user run.sh runs the server as
        self.addCleanup(self.server.cleanup)
        self.addCleanup(self.stop_detached)

    def stop_detached(self):
        pid_file = os.path.join(self.server.root, "hxbserver.pid")
        if os.path.exists(pid_file):
            with open(pid_file) as f:
                pid = int(f.read())
            if os.path.realpath("/proc/%d/exe" % pid) == os.path.join(self.server.bin, "hxbserver"):
                os.kill(pid, signal.SIGKILL)

    def run_script(self):
        env = dict(os.environ, BUILD_DIR=self.server.root, HXB_NO_BUILD="1")
        return subprocess.run([os.path.join(SOURCE, "scripts", "run.sh"), "--detach"], env=env,
                              capture_output=True, text=True, timeout=600)

    def test_first_run_serves_samples_and_second_run_reuses_it(self):
        first = self.run_script()
        self.assertEqual(first.returncode, 0, first.stdout + first.stderr)
        url = "http://127.0.0.1:%d" % self.server.port
        self.assertIn("hxbserver is running: %s" % url, first.stdout)
        self.assertIn("first log-in: admin / tansy", first.stdout)
        if os.getuid() == 0:  # started as root, the server (and so every job) runs unprivileged
            with open(os.path.join(self.server.root, "hxbserver.pid")) as f:
                with open("/proc/%d/status" % int(f.read())) as status:
                    uid = re.search(r"^Uid:\s+(\d+)", status.read(), re.M).group(1)
            self.assertEqual(pwd.getpwuid(int(uid)).pw_name, "hxbserver")
        self.assertEqual(sorted(os.listdir(os.path.join(self.server.bin, "data", "scripts"))),
                         [".samples.sha256", "hello.sh", "progress.sh", "wordcount.sh"])

        line = re.search(r"^  Try a job:   (.*)$", first.stdout, re.M).group(1)
        work = tempfile.mkdtemp(dir=self.server.root)
        job = subprocess.run(shlex.split(line), cwd=work, capture_output=True, text=True, timeout=300)
        self.assertEqual(job.returncode, 0, line + "\n" + job.stdout + job.stderr)
        self.assertIn("Hello, ", job.stdout)
        [job_dir] = os.listdir(work)
        self.assertIn("hello.txt", os.listdir(os.path.join(work, job_dir)))

        second = self.run_script()
        self.assertEqual(second.returncode, 0, second.stdout + second.stderr)
        self.assertIn("the server from %s is already running" % os.path.realpath(self.server.root),
                      second.stderr)
        self.assertNotIn("install-samples: adding", second.stderr + second.stdout)
        self.assertIn("hxbserver is running: %s" % url, second.stdout)


if __name__ == "__main__":
    hxbtest.main()

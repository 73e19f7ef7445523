"""scripts/hxb-submit against the built server with the shipped sample applications, on the live
local Slurm cluster: upload, wait, download, finalise, as a user does it from the shell, over HTTP
and over HTTPS with a site certificate."""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

import hxbtest

SOURCE = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", ".."))
CLIENT = os.path.join(SOURCE, "scripts", "hxb-submit")
ADMIN = ("admin", "tansy")


class ClientTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        out = subprocess.run(["scontrol", "ping"], capture_output=True, text=True, timeout=30).stdout
        if "UP" not in out:
            raise AssertionError("no Slurm controller answers; start it with scripts/local-slurm.sh start")
        # HTTPS beside HTTP, with a certificate of a test CA that only --cacert makes trusted.
        cls.pki = tempfile.mkdtemp(prefix="hxb-client-pki-")
        hxbtest.make_pki(cls.pki)
        cls.ca = os.path.join(cls.pki, "ca.pem")
        cls.tls_port = hxbtest.free_port()
        cls.server = hxbtest.Server(config={"Core": {
            "oversubscribe": "true", "tls_port": str(cls.tls_port),
            "tls_certificate": os.path.join(cls.pki, "server1.pem"),
            "tls_key": os.path.join(cls.pki, "server1.key")}})
        try:
            # The samples reach the data directory the way every installation puts them there.
            subprocess.run(["sh", os.path.join(SOURCE, "scripts", "install-samples.sh"),
                            os.path.join(SOURCE, "samples", "scripts"),
                            os.path.join(cls.server.bin, "data", "scripts")],
                           check=True, capture_output=True, timeout=60)
            cls.server.start(wait_for="HTTPS startup successful")
            cls.server.wait_port()
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.server.cleanup()
        shutil.rmtree(cls.pki, True)

    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="hxb-client-")
        self.addCleanup(shutil.rmtree, self.work, True)

    def submit(self, *args, user=ADMIN, timeout=300, scheme="http"):
        port = self.tls_port if scheme == "https" else self.server.port
        env = dict(os.environ, HXB_SERVER="%s://127.0.0.1:%d" % (scheme, port),
                   HXB_USER=user[0], HXB_PASSWORD=user[1])
        return subprocess.run([sys.executable, CLIENT] + list(args), cwd=self.work, env=env,
                              capture_output=True, text=True, timeout=timeout)

    def files_below(self, folder):
        return sorted(os.path.relpath(os.path.join(r, f), folder)
                      for r, _, files in os.walk(folder) for f in files)

    def job_ids(self):
        env_auth = "%s:%s" % ADMIN
        out = subprocess.run(["curl", "-fsS", "-u", env_auth,
                              "http://127.0.0.1:%d/batchbay/jobinfo" % self.server.port],
                             capture_output=True, text=True, timeout=30).stdout
        return [job["jobid"] for job in json.loads(out)["jobs"]]

    def wait_forgotten(self, job_id):
        deadline = time.time() + 15
        while time.time() < deadline and job_id in self.job_ids():
            time.sleep(0.2)
        self.assertNotIn(job_id, self.job_ids())

    def test_list_shows_the_samples(self):
        r = self.submit("--list")
        self.assertEqual(r.returncode, 0, r.stderr)
        names = [line.split()[1] for line in r.stdout.splitlines()]
        self.assertEqual(names, ["hello.sh", "progress.sh", "wordcount.sh"])

    def test_hello_round_trip_downloads_its_file_and_finalises(self):
        r = self.submit("--app", "hello.sh", "--arg", "Ada Lovelace", "--output", "hello.txt",
                        "--job-id", "HELLO1", "--download", "out")
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr + self.server.text()[-3000:])
        self.assertIn("Hello, Ada Lovelace, from ", r.stdout)
        self.assertIn("job HELLO1 finished", r.stderr)
        self.assertEqual(self.files_below(os.path.join(self.work, "out")), ["hello.txt"])
        with open(os.path.join(self.work, "out", "hello.txt")) as f:
            self.assertEqual(f.readline(), "Hello, Ada Lovelace!\n")
        self.wait_forgotten("HELLO1")

    def test_wordcount_reads_an_uploaded_sub_folder_and_writes_result_folders(self):
        inputs = os.path.join(self.work, "in")
        os.makedirs(os.path.join(inputs, "texts"))
        with open(os.path.join(inputs, "texts", "poem.txt"), "w") as f:
            f.write("Tyger Tyger burning bright\nIn the forests of the night\n")
        # The same round trip over HTTP, keeping the job, and over HTTPS, its test CA given with
        # --cacert, finalising it.
        for scheme, extra in (("http", ["--keep"]), ("https", ["--cacert", self.ca])):
            with self.subTest(scheme=scheme):
                job_id = "WC-" + scheme
                r = self.submit("--app", "wordcount.sh", "--arg", "texts/poem.txt", "--output", " results ",
                                "--job-id", job_id, "--download", scheme, inputs, *extra,
                                scheme=scheme)
                self.assertEqual(r.returncode, 0, r.stdout + r.stderr + self.server.text()[-3000:])
                self.assertIn("uploaded 1 file(s)", r.stderr)
                out = os.path.join(self.work, scheme)
                self.assertEqual(self.files_below(out), [
                    "results/letters/b.txt", "results/letters/f.txt", "results/letters/i.txt",
                    "results/letters/n.txt", "results/letters/o.txt", "results/letters/t.txt",
                    "results/summary.txt", "results/top/words.txt"])
                with open(os.path.join(out, "results", "summary.txt")) as f:
                    self.assertEqual(f.read(), "input: texts/poem.txt\nlines: 2\nwords: 10\ncharacters: 55\n")
                with open(os.path.join(out, "results", "letters", "t.txt")) as f:
                    self.assertEqual(f.read(), "the\ntyger\n")
                with open(os.path.join(out, "results", "top", "words.txt")) as f:
                    self.assertEqual(f.readline().split(), ["2", "the"])
                if "--keep" in extra:
                    self.assertIn(job_id, self.job_ids())
                else:
                    self.wait_forgotten(job_id)

    def test_progress_is_followed_to_the_end(self):
        r = self.submit("--app", "progress.sh", "--arg", "3", "--follow", "--output", "progress.txt",
                        "--download", "out")
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        lines = [l for l in r.stdout.splitlines() if l.startswith("progress: ")]
        self.assertEqual(lines[-2:], ["progress: 100% (10/10)", "progress: done"])
        self.assertEqual(len([l for l in lines if l.endswith("/10)")]), 10)
        with open(os.path.join(self.work, "out", "progress.txt")) as f:
            self.assertEqual(f.read(), "progress: done\n")

    def test_failed_job_exits_1_and_still_brings_back_its_output(self):
        r = self.submit("--app", "wordcount.sh", "--job-id", "NOINPUT", "--download", "out")
        self.assertEqual(r.returncode, 1, r.stdout + r.stderr)
        self.assertIn("job NOINPUT FAILED", r.stderr)
        out = os.path.join(self.work, "out")
        logs = [f for f in self.files_below(out) if f.startswith("slurm-")]
        self.assertEqual(len(logs), 1, self.files_below(out))
        with open(os.path.join(out, logs[0])) as f:
            self.assertIn("wordcount: no input file 'input.txt'", f.read())

    def test_refused_credentials_unknown_application_and_untrusted_certificate_exit_2(self):
        r = self.submit("--app", "hello.sh", user=("admin", "wrong"))
        self.assertEqual((r.returncode, r.stderr.strip()),
                         (2, "hxb-submit: the server refused the user name or password"))
        r = self.submit("--app", "nosuch.sh")
        self.assertEqual(r.returncode, 2)
        self.assertIn("no application 'nosuch.sh' on the server (it has: hello.sh, progress.sh, "
                      "wordcount.sh)", r.stderr)
        # Over HTTPS the system's CAs alone do not trust the test certificate.
        r = self.submit("--app", "hello.sh", scheme="https")
        self.assertEqual((r.returncode, r.stderr.strip()), (2, (
            "hxb-submit: the certificate of https://127.0.0.1:%d is not trusted: unable to get local "
            "issuer certificate (a site's own CA is given with --cacert FILE)" % self.tls_port)))


if __name__ == "__main__":
    hxbtest.main()

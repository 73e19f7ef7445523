"""`cmake --install` of the build tree: the layout the README promises, the installed server
started in place with its own configuration, web root and sample applications, and a second
installation that keeps a sample the administrator changed."""
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.request

import hxbtest


def install(build, prefix):
    r = subprocess.run(["cmake", "--install", build, "--prefix", prefix], capture_output=True,
                       text=True, timeout=300)
    if r.returncode != 0:
        raise AssertionError(r.stdout + r.stderr)
    return r.stdout


class InstallTreeTest(unittest.TestCase):
    def setUp(self):
        self.build = os.path.dirname(os.path.dirname(hxbtest.BINARY))
        self.prefix = tempfile.mkdtemp(prefix="hxb-install-")
        self.addCleanup(shutil.rmtree, self.prefix, True)
        self.proc = None
        self.addCleanup(self.stop)

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(10)

    def test_layout_and_the_installed_server_runs_in_place(self):
        install(self.build, self.prefix)
        p = self.prefix
        for path in ("hxbconfig.ini", "bin/hxbserver", "bin/libhxbcore.so", "bin/libbatchbay.so",
                     "bin/sqldrivers/libqsqlite.so", "bin/hxb-submit", "share/install-samples.sh"):
            self.assertTrue(os.path.isfile(os.path.join(p, path)), path)
        self.assertEqual(sorted(os.listdir(os.path.join(p, "bin", "etc", "webinterface"))),
                         sorted(os.listdir(os.path.join(self.build, "bin", "etc", "webinterface"))))
        scripts = os.path.join(p, "bin", "data", "scripts")
        self.assertEqual(sorted(os.listdir(scripts)),
                         [".samples.sha256", "hello.sh", "progress.sh", "wordcount.sh"])
        self.assertFalse(os.path.exists(os.path.join(p, "lib")))  # the service parts stay out

        # The administrator picks a port and changes a sample; installing again keeps both.
        port = hxbtest.free_port()
        config = os.path.join(p, "hxbconfig.ini")
        with open(config) as f:
            text = f.read()
        with open(config, "w") as f:
            f.write(text.replace(";port=5170", "port=%d" % port))
        with open(os.path.join(scripts, "hello.sh"), "a") as f:
            f.write("# local change\n")
        out = install(self.build, self.prefix)
        self.assertIn("install-samples: keeping %s/hello.sh (changed locally)" % scripts, out)
        self.assertIn("Keeping: %s" % config, out)
        with open(config) as f:
            self.assertIn("\nport=%d\n" % port, f.read())
        with open(os.path.join(scripts, "hello.sh")) as f:
            self.assertTrue(f.read().endswith("# local change\n"))

        self.proc = subprocess.Popen([os.path.join(p, "bin", "hxbserver")], cwd=p,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                     stdin=subprocess.DEVNULL)
        deadline = time.time() + 30
        status = None
        while status is None and time.time() < deadline:
            self.assertIsNone(self.proc.poll())
            try:
                with urllib.request.urlopen("http://127.0.0.1:%d/alive" % port, timeout=2) as r:
                    status = r.status
            except OSError:
                time.sleep(0.2)
        self.assertEqual(status, 200)
        listing = subprocess.run([sys.executable, os.path.join(p, "bin", "hxb-submit"), "--server",
                                  "http://127.0.0.1:%d" % port, "--user", "admin", "--password",
                                  "tansy", "--list"], capture_output=True, text=True, timeout=60)
        self.assertEqual(listing.returncode, 0, listing.stderr)
        self.assertEqual([l.split()[1] for l in listing.stdout.splitlines()],
                         ["hello.sh", "progress.sh", "wordcount.sh"])
        self.assertTrue(os.path.isfile(os.path.join(p, "bin", "db.sqlite")))
        self.assertTrue(os.path.isfile(os.path.join(p, "bin", "logs", "log.html")))


if __name__ == "__main__":
    hxbtest.main()

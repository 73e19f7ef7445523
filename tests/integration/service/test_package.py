"""The Debian package, end to end on this machine: built with cpack from the build tree, its unit
checked by systemd-analyze, installed with dpkg, the server started exactly as the unit starts it
(its user, its working directory, its command line, a clean environment), a job run through it
with the installed client, the configuration kept over a reinstallation, and a purge that leaves
nothing behind. Needs root; removes the package even when it fails."""
import configparser
import glob
import os
import pwd
import shlex
import shutil
import signal
import subprocess
import tempfile
import time
import unittest
import urllib.request

import hxbtest

PACKAGE = "hxbserver"
UNIT = "/lib/systemd/system/hxbserver.service"
CONFIG = "/etc/hxbserver/hxbconfig.ini"
LEFTOVERS = ["/opt/hxbserver", "/etc/hxbserver", "/var/lib/hxbserver", "/var/log/hxbserver", UNIT,
             "/usr/bin/hxb-submit", "/etc/systemd/system/multi-user.target.wants/hxbserver.service",
             "/etc/systemd/system/hxbserver.service"]


def run(*args, check=True, timeout=300, **kw):
    r = subprocess.run(list(args), capture_output=True, text=True, timeout=timeout, **kw)
    if check and r.returncode != 0:
        raise AssertionError("%s failed (%d):\n%s%s" % (" ".join(args), r.returncode, r.stdout, r.stderr))
    return r


def dpkg(*args, check=True):
    """dpkg, waiting while another package tool holds the lock."""
    deadline = time.time() + 300
    while True:
        r = run("dpkg", *args, check=False)
        if r.returncode == 0 or "lock" not in r.stderr or time.time() > deadline:
            break
        time.sleep(2)
    if check and r.returncode != 0:
        raise AssertionError("dpkg %s failed:\n%s%s" % (" ".join(args), r.stdout, r.stderr))
    return r


def installed():
    r = run("dpkg-query", "-W", "-f=${Status}", PACKAGE, check=False)
    return r.returncode == 0 and "not-installed" not in r.stdout and r.stdout.strip() != ""


def unit_service_section(path):
    unit = configparser.ConfigParser(interpolation=None, strict=False)
    unit.optionxform = str
    unit.read(path)
    return unit["Service"]


@unittest.skipUnless(os.geteuid() == 0, "installs a Debian package: needs root")
class PackageTest(unittest.TestCase):
    def setUp(self):
        if installed():
            raise AssertionError("package %s is already installed here; remove it first" % PACKAGE)
        self.build = os.path.dirname(os.path.dirname(hxbtest.BINARY))
        self.tmp = tempfile.mkdtemp(prefix="hxb-package-")
        self.addCleanup(shutil.rmtree, self.tmp, True)
        self.server = None
        self.addCleanup(self.stop_server)
        self.addCleanup(self.purge_if_installed)

    def stop_server(self):
        if self.server and self.server.poll() is None:
            self.server.send_signal(signal.SIGTERM)
            try:
                self.server.wait(10)
            except subprocess.TimeoutExpired:
                self.server.kill()
                self.server.wait(10)

    def purge_if_installed(self):
        if installed():
            dpkg("--purge", PACKAGE, check=False)

    def build_package(self):
        run("cpack", "-G", "DEB", "-B", self.tmp, "--config",
            os.path.join(self.build, "CPackConfig.cmake"), timeout=600)
        debs = glob.glob(os.path.join(self.tmp, "hxbserver_*.deb"))
        self.assertEqual(len(debs), 1, os.listdir(self.tmp))
        return debs[0]

    def start_as_the_unit_does(self, port):
        service = unit_service_section(UNIT)
        user = service["User"]
        home = pwd.getpwnam(user).pw_dir
        command = shlex.split(service["ExecStart"])
        # systemd's environment for a system service: its own PATH, the user's identity.
        env = {"PATH": "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin", "HOME": home,
               "USER": user, "LOGNAME": user, "SHELL": pwd.getpwnam(user).pw_shell, "LANG": "C.UTF-8"}
        with open(os.path.join(self.tmp, "console.txt"), "wb") as console:
            self.server = subprocess.Popen(
                ["setpriv", "--reuid", user, "--regid", service["Group"], "--init-groups",
                 "--no-new-privs", "--inh-caps=-all", "--"] + command,
                cwd=service["WorkingDirectory"], env=env, stdin=subprocess.DEVNULL,
                stdout=console, stderr=subprocess.STDOUT)
        deadline = time.time() + 30
        while time.time() < deadline:
            self.assertIsNone(self.server.poll(), self.console())
            try:
                with urllib.request.urlopen("http://127.0.0.1:%d/alive" % port, timeout=2) as r:
                    return r.status
            except OSError:
                time.sleep(0.2)
        raise AssertionError("the installed server does not answer /alive:\n" + self.console())

    def console(self):
        with open(os.path.join(self.tmp, "console.txt"), errors="replace") as f:
            return f.read()[-4000:]

    def test_install_run_a_job_as_the_service_and_purge(self):
        deb = self.build_package()
        fields = run("dpkg-deb", "-f", deb, "Package", "Depends", "Recommends").stdout
        self.assertIn("Package: hxbserver", fields)
        for dependency in ("libqt6core6", "libqt6sql6-sqlite", "libssl3", "libtbb", "python3",
                           "init-system-helpers"):
            self.assertIn(dependency, fields)
        self.assertIn("Recommends: slurm-client", fields)
        control = os.path.join(self.tmp, "control")
        run("dpkg-deb", "-e", deb, control)
        with open(os.path.join(control, "conffiles")) as f:
            self.assertEqual(f.read().split(), [CONFIG])

        dpkg("-i", deb)
        self.assertTrue(installed())
        user = pwd.getpwnam("hxbserver")
        self.assertEqual(user.pw_shell, "/usr/sbin/nologin")
        for path in ("/var/lib/hxbserver", "/var/lib/hxbserver/scripts", "/var/log/hxbserver"):
            self.assertEqual(os.stat(path).st_uid, user.pw_uid, path)
        self.assertEqual(sorted(os.listdir("/var/lib/hxbserver/scripts")),
                         [".samples.sha256", "hello.sh", "progress.sh", "wordcount.sh"])
        self.assertEqual(os.readlink("/opt/hxbserver/hxbconfig.ini"), CONFIG)
        self.assertTrue(os.path.isfile("/opt/hxbserver/bin/etc/webinterface/static/hxbwebinterface/index.html"))

        verify = run("systemd-analyze", "verify", UNIT, check=False)
        self.assertEqual(verify.returncode, 0, verify.stdout + verify.stderr)
        self.assertNotIn("hxbserver.service", verify.stdout + verify.stderr)
        service = unit_service_section(UNIT)
        self.assertEqual((service["User"], service["Restart"], service["ExecStart"]),
                         ("hxbserver", "on-failure", "/opt/hxbserver/bin/hxbserver"))

        # An administrator's changes to the configuration and to a sample survive reinstalling.
        port = hxbtest.free_port()
        with open(CONFIG) as f:
            text = f.read()
        self.assertIn("\nport=5170\n", text)
        with open(CONFIG, "w") as f:
            f.write(text.replace("\nport=5170\n", "\nport=%d\n" % port))
        with open("/var/lib/hxbserver/scripts/progress.sh", "a") as f:
            f.write("# changed here\n")
        dpkg("-i", deb)
        with open(CONFIG) as f:
            self.assertIn("\nport=%d\n" % port, f.read())
        with open("/var/lib/hxbserver/scripts/progress.sh") as f:
            self.assertTrue(f.read().endswith("# changed here\n"))

        # The first administrator's password is random, and only root reads it.
        secret = "/etc/hxbserver/initial-admin-password"
        self.assertEqual((os.stat(secret).st_uid, os.stat(secret).st_mode & 0o777), (0, 0o600))
        with open(secret) as f:
            password = f.read().strip()
        self.assertGreaterEqual(len(password), 16)
        self.assertEqual(self.start_as_the_unit_does(port), 200)
        self.assertFalse(os.path.exists("/var/lib/hxbserver/initial-admin-password"))
        out = tempfile.mkdtemp(dir=self.tmp)
        refused = run("/usr/bin/hxb-submit", "--server", "http://127.0.0.1:%d" % port, "--user",
                      "admin", "--password", "tansy", "--list", check=False, cwd=self.tmp)
        self.assertNotEqual(refused.returncode, 0, refused.stdout)
        job = run("/usr/bin/hxb-submit", "--server", "http://127.0.0.1:%d" % port, "--user", "admin",
                  "--password", password, "--app", "hello.sh", "--arg", "service", "--output",
                  "hello.txt", "--download", out, check=False, cwd=self.tmp)
        self.assertEqual(job.returncode, 0, job.stdout + job.stderr + self.console())
        with open(os.path.join(out, "hello.txt")) as f:
            self.assertEqual(f.readline(), "Hello, service!\n")
        # State and log are where the documentation says, written by the service user.
        for path in ("/var/lib/hxbserver/db.sqlite", "/var/log/hxbserver/logs/log.html"):
            self.assertEqual(os.stat(path).st_uid, user.pw_uid, path)
        self.stop_server()

        dpkg("--purge", PACKAGE)
        self.assertFalse(installed())
        self.assertEqual([p for p in LEFTOVERS if os.path.lexists(p)], [])
        self.assertEqual(glob.glob("/var/lib/systemd/deb-systemd-helper-*/*hxbserver*"), [])
        self.assertNotEqual(run("getent", "passwd", "hxbserver", check=False).returncode, 0)
        self.assertNotEqual(run("getent", "group", "hxbserver", check=False).returncode, 0)


if __name__ == "__main__":
    hxbtest.main()

"""The pseudo-terminal bridge (tarvelcom --app pty) for tests with real programs: started in a
temporary folder of its own, with links to its terminals there; stopped with SIGTERM, the folder
removed, and the bridge's report printed when a test fails."""
import ctypes
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

SKIP = 77  # CTest's SKIP_RETURN_CODE for the tests here


def need(*programs):
    missing = [p for p in programs if shutil.which(p) is None]
    if missing:
        print("skipped: not installed: " + ", ".join(missing) + " (scripts/deps.sh installs them)")
        sys.exit(SKIP)


def _die_with_parent():
    # The bridge goes when the test goes, even when CTest kills the test at its timeout.
    ctypes.CDLL("libc.so.6", use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


class Bridge:
    def __init__(self, tarvelcom, *options, far_pty=False):
        self.folder = tempfile.mkdtemp(prefix="tarvel-bridge-")
        self.app = os.path.join(self.folder, "com3")
        self.far = os.path.join(self.folder, "far") if far_pty else None
        self.log_path = os.path.join(self.folder, "bridge.log")
        command = [tarvelcom, "--app", "pty", "--link", self.app, *options]
        if far_pty:
            command += ["--far-side", "pty", "--far-link", self.far]
        self.log_file = open(self.log_path, "w")
        self.process = subprocess.Popen(command, stdout=self.log_file, stderr=subprocess.STDOUT,
                                        stdin=subprocess.DEVNULL, preexec_fn=_die_with_parent)
        self.exit_code = None
        self.wait_for(r"^Bridge ready", 60)

    def report(self):
        with open(self.log_path) as f:
            return f.read()

    def wait_for(self, pattern, seconds):
        """The report's first line that matches pattern (a regular expression), waiting for it."""
        deadline = time.monotonic() + seconds
        expression = re.compile(pattern, re.M)
        while True:
            found = expression.search(self.report())
            if found:
                return found
            if self.process.poll() is not None:
                raise AssertionError(f"the bridge ended (exit {self.process.returncode}) before '{pattern}'")
            if time.monotonic() > deadline:
                raise AssertionError(f"no '{pattern}' in the bridge's report after {seconds} s")
            time.sleep(0.02)

    def uart_shows(self, settings, seconds=10):
        """Waits until a settings change the bridge applied left the adapter's UART at exactly settings."""
        return self.wait_for(r"the adapter's UART: " + re.escape(settings) + r"$", seconds)

    def stop(self):
        if self.exit_code is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.exit_code = self.process.wait(30)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.exit_code = self.process.wait()
        return self.exit_code

    def __enter__(self):
        return self

    def __exit__(self, kind, value, trace):
        code = self.stop()
        self.log_file.close()
        if kind is not None or code != 0:
            print("---- the bridge's report ----\n" + self.report())
        shutil.rmtree(self.folder, ignore_errors=True)
        if kind is None and code != 0:
            raise AssertionError(f"the bridge exited with {code}")
        return False


def tarvelcom_from_arguments():
    if len(sys.argv) < 2:
        sys.exit("usage: " + sys.argv[0] + " PATH-TO-TARVELCOM")
    return sys.argv[1]

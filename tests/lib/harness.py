"""The harness of the end-to-end test scripts, run as
`python3 SCRIPT ARG... [unittest options]`: cases with a scratch directory
each, programs run or started with a time limit, waiting for a condition,
and main(), which reports a script whose every case was skipped (a case or
class that cannot run here raises unittest.SkipTest) to ctest as status 77.
"""
import contextlib
import os
import subprocess
import sys
import tempfile
import time
import unittest


class ScratchCase(unittest.TestCase):
    """A case with its own scratch directory, removed after its tearDown (which may unmount in it)."""
    def setUp(self):
        self.dir = self.enterContext(tempfile.TemporaryDirectory(prefix="trawlkit-e2e-"))

    def path(self, name):
        return os.path.join(self.dir, name)


def run(cmd, timeout=120, stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, input=None, **kw):
    """cmd run to its end within timeout seconds, its standard error kept."""
    return subprocess.run(list(cmd), timeout=timeout, stdout=stdout, stderr=subprocess.PIPE,
                          stdin=None if input is not None else stdin, input=input, **kw)


def start(cmd, stdout=subprocess.DEVNULL, stderr_path=None, **kw):
    """cmd running, its standard error to stderr_path when given, else to a pipe."""
    with open(stderr_path, "wb") if stderr_path else contextlib.nullcontext(subprocess.PIPE) as err:
        return subprocess.Popen(list(cmd), stdout=stdout, stderr=err, stdin=subprocess.DEVNULL, **kw)


def read_text(path):
    with open(path, errors="replace") as f:
        return f.read()


def wait_for(predicate, timeout=20.0, what="condition"):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return
        time.sleep(0.02)
    raise AssertionError("timed out waiting for " + what)


def main(nargs):
    """The cases run, the script's own nargs arguments taken off the command line."""
    result = unittest.main(argv=sys.argv[:1] + sys.argv[1 + nargs:], verbosity=2, exit=False).result
    # A class skipped in setUpClass counts no case run.
    skipped_cases = sum(isinstance(test, unittest.TestCase) for test, _ in result.skipped)
    if result.skipped and result.testsRun == skipped_cases and result.wasSuccessful():
        print("\n".join("SKIP: " + why for _, why in result.skipped))
        sys.exit(77)  # ctest's SKIP_RETURN_CODE
    sys.exit(0 if result.wasSuccessful() else 1)

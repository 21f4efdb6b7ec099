#!/usr/bin/env python3
# End-to-end scenarios: both drivers in OVMF under QEMU, a simulated PN532 on the FT232.
# SPDX-License-Identifier: BSD-2-Clause-Patent
"""Runs every scenario of the test_*.py modules beside this file (or those -k selects)
and prints the figures. A test_X.py whose X is a module of tools/ or of this folder is
X's own test (test_pn532sim.py, test_harness.py): `make sim-test` runs those.

    python3 tests/e2e/run.py [-k PATTERN] [--list] [--keep]

The scenarios are unittest test methods, in classes derived from common.Scenario; the
checks that share a boot are one class, booted once in its setUpClass. -k takes
unittest's pattern: a scenario runs when module.Class.method matches it, as *PATTERN*
when it holds no wildcard. A line per scenario (PASS, FAIL with the reason, SKIP), the
figures, and "N passed, N failed, N skipped" alone on a line; exits 1 on any failure.
E2E_KEEP=1 (or --keep) keeps each run's folder (console.txt, com1.raw, pn532.log).

Each scenario runs in a worker process of its own (a class with a shared boot in one,
whole). The host has two cores and a TCG boot takes one, so the scenarios whose figures
are no timings run two at a time; then those of the classes marked TIMED (less their
tests marked common.side_by_side), one by one, with nothing else running: not even the
host tests, which make test builds beside the first untimed boots, one boot at a time
until they end. A scenario's line is printed whole as it ends. The workers
take the accelerator this process chose (its KVM probe runs once), and a copy of the
build's images and stick taken as the run starts (E2E_BUILD names another build).
"""

import argparse
import fcntl
import glob
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest
from concurrent.futures import ThreadPoolExecutor

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import common  # noqa: E402
import harness  # noqa: E402
from harness import REPO, HarnessError  # noqa: E402

# Boots side by side: one TCG QEMU a core.
SIDE_BY_SIDE = 2
# A worker still running after this is interrupted, so its runs stop their QEMUs.
UNIT_TIMEOUT = 1800
RESULT = "E2E-RESULT "


def own_test(name):
    """test_X is X's own test when X is a module of tools/ or of this folder (a simulator,
    the harness): `make sim-test` runs those, and they boot nothing."""
    x = name[len("test_"):]
    return any(os.path.exists(os.path.join(d, x + ".py")) for d in (HERE, os.path.join(REPO, "tools")))


def scenario_modules():
    names = sorted(os.path.basename(p)[:-3] for p in glob.glob(os.path.join(HERE, "test_*.py")))
    return [__import__(n) for n in names if not own_test(n)]


def scenarios(k):
    """The scenarios -k selects, as units a worker runs: a class with a set-up of its own
    (a shared boot) whole, every other scenario alone. [(timed, [test, ...]), ...], in
    module, class and name order."""
    loader = unittest.TestLoader()
    if k:
        loader.testNamePatterns = [k if any(c in k for c in "*?[") else "*%s*" % k]
    units = []
    for module in scenario_modules():
        for cls in [v for v in vars(module).values() if isinstance(v, type) and issubclass(v, unittest.TestCase)
                    and v.__module__ == module.__name__]:
            if getattr(cls, "ARCH", "X64") not in common.ARCHS:
                continue
            tests = list(loader.loadTestsFromTestCase(cls))
            if not tests:
                continue
            timed = getattr(cls, "TIMED", False)
            shared = any(getattr(cls, m).__func__ is not getattr(unittest.TestCase, m).__func__
                         for m in ("setUpClass", "tearDownClass"))
            units += [(timed, tests)] if shared else [
                (timed and getattr(getattr(cls, t._testMethodName), "timed", True), [t]) for t in tests]
    return units


HOST_TESTS_LOCK = os.path.join(REPO, "build", ".lock-host")


def host_tests_running():
    """make test builds and runs the host tests beside the first untimed boots, holding
    this lock until they end."""
    try:
        with open(HOST_TESTS_LOCK) as f:
            fcntl.flock(f, fcntl.LOCK_SH | fcntl.LOCK_NB)
            fcntl.flock(f, fcntl.LOCK_UN)
    except FileNotFoundError:
        return False
    except BlockingIOError:
        return True
    return False


def wait_for_host_tests(bound=1800):
    """The timed boots run alone: they wait, bounded, for the host tests to end."""
    deadline = time.monotonic() + bound
    while host_tests_running():
        if time.monotonic() > deadline:
            print("e2e: the host tests still run after %d s; timing anyway" % bound, flush=True)
            return
        time.sleep(1)


class OneBesideHostTests:
    """While the host tests build, one boot runs, not two: a compiler and a TCG guest fill
    the two cores, and a second guest would starve one, whose clock runs on while it does
    not, so a peer's answer comes after the guest gave up on it."""

    def __init__(self):
        self.lock = threading.Lock()

    def run(self, run_unit, n, tests):
        if not host_tests_running():
            return run_unit(n, tests)
        with self.lock:
            return run_unit(n, tests)


class Lines(unittest.TestResult):
    """A record per scenario, timed from the one before, so a class's shared boot counts in
    its first scenario; a failed boot fails each of its scenarios."""

    def __init__(self, tests, emit):
        super().__init__()
        self.tests, self.emit, self.last = tests, emit, time.monotonic()
        self.interrupted = False  # by SIGINT: unittest still ends the scenario it stopped

    def line(self, verdict, test, reason="", figures=()):
        took, self.last = time.monotonic() - self.last, time.monotonic()
        self.emit(dict(verdict=verdict, name=test._testMethodName, took=took, reason=reason, figures=list(figures)))

    def startTest(self, test):
        super().startTest(test)
        self.reasons, self.why = [], None

    def addSkip(self, test, reason):
        super().addSkip(test, reason)
        if isinstance(test, unittest.TestCase):
            self.why = reason
            return
        for t in self.class_tests(test):  # a class's set-up skipped them all
            self.line("SKIP", t, reason)

    def class_tests(self, holder):
        return [t for t in self.tests if "(%s)" % unittest.util.strclass(type(t)) in str(holder)]

    def addError(self, test, err):
        super().addError(test, err)
        # A check or the harness says what failed; anything else needs its traceback.
        told = isinstance(err[1], (AssertionError, HarnessError))
        reason = str(err[1]) if told else self._exc_info_to_string(err, test)
        if isinstance(test, unittest.TestCase):
            self.reasons.append(reason)
            return
        for t in self.class_tests(test):  # a class's set-up failed: none of its scenarios ran
            self.line("FAIL", t, reason)

    addFailure = addError  # a failed check and any other exception both make a FAIL line

    def addSubTest(self, test, subtest, err):
        super().addSubTest(test, subtest, err)
        if err is not None:  # a failed subtest fails its scenario, with the subtest named
            self.reasons.append("%s: %s" % (subtest._subDescription().strip(), err[1]))

    def stopTest(self, test):
        super().stopTest(test)
        if self.interrupted:
            self.reasons.append("interrupted before its end")
        verdict = "FAIL" if self.reasons else "SKIP" if self.why else "PASS"
        self.line(verdict, test, "; ".join(self.reasons) or self.why or "", getattr(test, "figures", ()))


def worker(ids, accel):
    """Runs the scenarios named, printing a result record for each."""
    if accel:
        harness.use_accelerator(accel)
    suite = unittest.TestLoader().loadTestsFromNames(ids)

    def emit(record):
        print(RESULT + json.dumps(record), flush=True)
    result = Lines(flat(suite), emit)

    def interrupt(sig, frame):
        # Once: a second signal must not cut short the stops on the way out.
        for each in (signal.SIGINT, signal.SIGTERM):
            signal.signal(each, signal.SIG_IGN)
        result.interrupted = True
        raise KeyboardInterrupt
    for sig in (signal.SIGINT, signal.SIGTERM):
        signal.signal(sig, interrupt)
    try:
        suite.run(result)
    except KeyboardInterrupt:
        return 1  # the runs it left have stopped their QEMUs on the way out
    return 0


def flat(suite):
    return [t for s in suite for t in (flat(s) if isinstance(s, unittest.TestSuite) else [s])]


def snapshot_build(folder):
    """Copies the images and the stick, under the build's lock so no build is halfway
    through writing one."""
    build = os.path.join(REPO, "build")
    if not os.path.isdir(build):
        return  # the scenarios say which image is missing
    with open(os.path.join(build, ".lock"), "a") as lock:
        deadline = time.monotonic() + 1800
        while True:
            try:
                fcntl.flock(lock, fcntl.LOCK_SH | fcntl.LOCK_NB)
                break
            except BlockingIOError:
                if time.monotonic() > deadline:
                    raise HarnessError("a build has held build/.lock for half an hour")
                time.sleep(1)
        for path in [os.path.join(build, "nfckeyboard-usb.img")] + [
                p for arch in harness.FIRMWARE for target in ("DEBUG", "RELEASE")
                for p in glob.glob(os.path.join(build, arch, target, "*.efi"))]:
            if os.path.isfile(path):
                into = os.path.join(folder, os.path.relpath(os.path.dirname(path), build))
                os.makedirs(into, exist_ok=True)
                shutil.copy2(path, into)


class Runner:
    def __init__(self, accel, env):
        self.accel, self.env = accel, env
        self.print_lock = threading.Lock()
        self.counts = {"PASS": 0, "FAIL": 0, "SKIP": 0}
        self.figures = {}  # unit index -> [(name, value), ...]
        self.workers = set()

    def say(self, text):
        with self.print_lock:
            print(text, flush=True)

    def run_unit(self, index, tests):
        """Runs one unit in a worker process and prints its lines as they come."""
        cmd = [sys.executable, os.path.abspath(__file__), "--worker", "--accel", self.accel] + [t.id() for t in tests]
        proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                env=self.env, text=True, errors="replace")
        self.workers.add(proc)

        ran_out = []

        def interrupt(sig):
            if proc.poll() is None:
                ran_out.append(sig)
                proc.send_signal(sig)
        # SIGINT first: the worker's runs stop their QEMUs on the way out.
        timers = [threading.Timer(UNIT_TIMEOUT, interrupt, (signal.SIGINT,)),
                  threading.Timer(UNIT_TIMEOUT + 60, interrupt, (signal.SIGKILL,))]
        for t in timers:
            t.daemon = True
            t.start()
        done, other, figures = set(), [], []
        try:
            for text in proc.stdout:
                if not text.startswith(RESULT):
                    other.append(text.rstrip("\n"))
                    continue
                r = json.loads(text[len(RESULT):])
                if ran_out and r["verdict"] == "FAIL":
                    r["reason"] += " (no result within %d s)" % UNIT_TIMEOUT
                done.add(r["name"])
                figures += [tuple(f) for f in r["figures"]]
                self.result(r["verdict"], r["name"], r["took"], r["reason"], other)
                other = []
            proc.wait()
        finally:
            for t in timers:
                t.cancel()
            self.workers.discard(proc)
        lost = [t for t in tests if t._testMethodName not in done]
        why = ("no result within %d s" % UNIT_TIMEOUT if ran_out
               else "the worker ended with code %s before this scenario's result" % proc.returncode)
        for t in lost:
            self.result("FAIL", t._testMethodName, 0.0, why, other)
            other = []
        if other:
            self.say("\n".join(other))
        self.figures[index] = figures

    def interrupt(self):
        """Stops the workers running: each ends its scenario and its QEMUs."""
        for proc in list(self.workers):
            if proc.poll() is None:
                proc.send_signal(signal.SIGINT)

    def result(self, verdict, name, took, reason, other):
        with self.print_lock:
            self.counts[verdict] += 1
            for line in other:  # what the worker printed besides its records, with the scenario
                print(line)
            print(("%s %-50s %5.1fs  %s" % (verdict, name, took, reason)).rstrip(), flush=True)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("-k", default="", help="run only the scenarios whose module.Class.method matches")
    ap.add_argument("--list", action="store_true")
    ap.add_argument("--keep", action="store_true")
    ap.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    ap.add_argument("--accel", default="", help=argparse.SUPPRESS)
    ap.add_argument("ids", nargs="*", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.worker:
        return worker(args.ids, args.accel)
    if args.keep:
        os.environ["E2E_KEEP"] = "1"
    units = scenarios(args.k)
    if args.list:
        print("\n".join(t._testMethodName for _, tests in units for t in tests))
        return 0
    start = time.monotonic()

    def stopped(sig, frame):
        raise KeyboardInterrupt
    signal.signal(signal.SIGTERM, stopped)
    env = dict(os.environ)
    snapshot = None
    if not env.get("E2E_BUILD"):
        snapshot = env["E2E_BUILD"] = tempfile.mkdtemp(prefix="nfc-e2e-build-")
    try:
        if snapshot:
            snapshot_build(snapshot)
        runner = Runner(harness.accelerator(), env)
        together = [(n, tests) for n, (timed, tests) in enumerate(units) if not timed]
        alone = [(n, tests) for n, (timed, tests) in enumerate(units) if timed]
        pool = ThreadPoolExecutor(SIDE_BY_SIDE)
        try:
            gate = OneBesideHostTests()
            for done in [pool.submit(gate.run, runner.run_unit, n, tests) for n, tests in together]:
                done.result()
            split = time.monotonic()
            wait_for_host_tests()
            for n, tests in alone:
                runner.run_unit(n, tests)
        except KeyboardInterrupt:
            # ^C reaches the workers too, a SIGTERM only this process: the units not begun
            # are dropped, those running end their scenarios and their QEMUs.
            runner.interrupt()
            raise
        finally:
            pool.shutdown(cancel_futures=True)
    finally:
        if snapshot:
            shutil.rmtree(snapshot, ignore_errors=True)
    end = time.monotonic()
    for n in sorted(runner.figures):
        for k, v in runner.figures[n]:
            print("FIGURE %s: %s" % (k, v))
    print("FIGURE e2e wall time, side by side / alone (s): %.1f / %.1f" % (split - start, end - split))
    print("FIGURE total e2e wall time (s): %.1f" % (end - start))
    print("%(PASS)d passed, %(FAIL)d failed, %(SKIP)d skipped" % runner.counts)
    return 1 if runner.counts["FAIL"] else 0


if __name__ == "__main__":
    sys.exit(main())

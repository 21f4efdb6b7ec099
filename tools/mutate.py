#!/usr/bin/env python3
# `make mutation`: plants one fault at a time and asks whether the host suites see it.
# SPDX-License-Identifier: BSD-2-Clause-Patent
"""Runs the host suites against each entry of a fault catalogue.

Each entry names a file, an exact snippet in it, the snippet's replacement and the
fault a user would see. For each entry the tool writes the replacement into a scratch
copy of the repository, rebuilds the suites that compile that file, runs them and puts
the file back. The entry is killed when a suite fails, a sanitizer reports, a suite
runs past its bound or runs fewer tests than on the untouched sources. An entry whose
snippet is not found exactly once is stale; one that does not compile is broken; both
are reported and not counted.

  tools/mutate.py [--catalogue FILE] [--only TEXT] [--keep DIR]
"""

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
DEFAULT_CATALOGUE = os.path.join(REPO, "tests", "mutants.json")
SUITE_BOUND_S = 120
BUILD_BOUND_S = 600

# Which host suites compile a source; the first matching prefix wins.
SUITES = [
    ("serial/Cp210x.cpp", ["bridge_tests", "usbuart_tests"]),
    ("serial/Ch340.cpp", ["bridge_tests", "usbuart_tests"]),
    ("serial/Pl2303.cpp", ["bridge_tests", "usbuart_tests"]),
    ("serial/CdcAcm.cpp", ["bridge_tests", "usbuart_tests"]),
    ("serial/", ["serial_tests", "usbuart_tests"]),
    ("keyboard/", ["keyboard_tests"]),
    ("apps/NfcKeyboardSetup/", ["setup_tests"]),
    ("debuglog/", ["debuglog_tests", "serial_tests", "keyboard_tests"]),
    ("include/", ["serial_tests", "bridge_tests", "usbuart_tests", "keyboard_tests", "setup_tests"]),
]

SANITIZER = re.compile(r"ERROR: AddressSanitizer|runtime error:|ERROR: LeakSanitizer")
RAN = re.compile(r"^\[==========\] (\d+) tests? from .* ran\.", re.M)


def suites_for(path):
    for prefix, suites in SUITES:
        if path.startswith(prefix):
            return suites
    raise SystemExit("no host suite compiles %s" % path)


def edk2_path():
    if os.environ.get("EDK2_PATH"):
        return os.environ["EDK2_PATH"]
    out = subprocess.run([os.path.join(REPO, "tools", "setup-deps.sh")], check=True,
                         stdout=subprocess.PIPE, universal_newlines=True).stdout
    return out.strip().splitlines()[-1]


def build(build_dir, targets):
    try:
        done = subprocess.run(["cmake", "--build", build_dir, "-j%d" % (os.cpu_count() or 1),
                               "--target"] + targets, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, universal_newlines=True,
                              timeout=BUILD_BOUND_S)
    except subprocess.TimeoutExpired:
        return False, "build ran past %d s" % BUILD_BOUND_S
    return done.returncode == 0, done.stdout


def find_binary(build_dir, suite):
    for root, _, files in os.walk(build_dir):
        if suite in files:
            return os.path.join(root, suite)
    sys.exit("the build made no %s" % suite)


def run_suite(binary):
    """Returns (tests run, reason it failed or None)."""
    env = dict(os.environ, ASAN_OPTIONS="detect_leaks=1", UBSAN_OPTIONS="halt_on_error=1")
    try:
        done = subprocess.run([binary], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              universal_newlines=True, timeout=SUITE_BOUND_S, env=env,
                              cwd=os.path.dirname(binary))
    except subprocess.TimeoutExpired:
        return 0, "ran past %d s" % SUITE_BOUND_S
    found = RAN.search(done.stdout)
    ran = int(found.group(1)) if found else 0
    if SANITIZER.search(done.stdout):
        return ran, "sanitizer report"
    if done.returncode != 0:
        failed = re.findall(r"^\[  FAILED  \] (\S+)", done.stdout, re.M)
        return ran, "failed: %s" % (failed[0] if failed else "exit %d" % done.returncode)
    return ran, None


def plant(original, find, replace):
    """The source with find replaced, or None when find does not occur exactly once. A find
    that no longer matches byte for byte is looked for again with every run of whitespace
    ignored on both sides, so an entry outlives a change of indentation or line breaks."""
    if original.count(find) == 1:
        return original.replace(find, replace)
    if original.count(find) > 1:
        return None
    kept = [i for i, c in enumerate(original) if not c.isspace()]
    squeezed = "".join(original[i] for i in kept)
    needle = "".join(find.split())
    if not needle or squeezed.count(needle) != 1:
        return None
    at = squeezed.index(needle)
    start, end = kept[at], kept[at + len(needle) - 1] + 1
    return original[:start] + replace.strip() + original[end:]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--catalogue", default=DEFAULT_CATALOGUE)
    parser.add_argument("--only", default="", help="run only entries whose file contains TEXT")
    parser.add_argument("--keep", help="scratch directory to use and keep")
    args = parser.parse_args()

    with open(args.catalogue) as f:
        entries = [e for e in json.load(f) if args.only in e["file"]]

    scratch = args.keep or tempfile.mkdtemp(prefix="mutate-")
    src = os.path.join(scratch, "src")
    build_dir = os.path.join(scratch, "host")
    if os.path.exists(src):
        shutil.rmtree(src)
    shutil.copytree(REPO, src, ignore=shutil.ignore_patterns("build", ".git", "__pycache__"))
    subprocess.run(["cmake", "-S", os.path.join(src, "tests", "host"), "-B", build_dir,
                    "-DEDK2_PATH=%s" % edk2_path()], check=True, stdout=subprocess.DEVNULL)

    all_suites = sorted({s for e in entries for s in suites_for(e["file"])})
    ok, log = build(build_dir, all_suites)
    if not ok:
        sys.exit("the untouched sources do not build:\n" + log[-3000:])
    # A rebuild relinks each suite where it was, so the paths hold for every entry.
    binaries = {suite: find_binary(build_dir, suite) for suite in all_suites}
    baseline = {}
    for suite in all_suites:
        ran, why = run_suite(binaries[suite])
        if why:
            sys.exit("%s fails on the untouched sources: %s" % (suite, why))
        baseline[suite] = ran
    print("baseline: " + ", ".join("%s %d tests" % kv for kv in sorted(baseline.items())))

    killed = survived = stale = broken = 0
    started = time.monotonic()
    for number, entry in enumerate(entries, 1):
        label = "%3d %s: %s" % (number, entry["file"], entry["fault"])
        path = os.path.join(src, entry["file"])
        with open(path) as f:
            original = f.read()
        planted = plant(original, entry["find"], entry["replace"])
        if planted is None:
            stale += 1
            print("STALE    " + label, flush=True)
            continue
        with open(path, "w") as f:
            f.write(planted)
        try:
            suites = suites_for(entry["file"])
            ok, log = build(build_dir, suites)
            if not ok:
                broken += 1
                print("BROKEN   " + label, flush=True)
                continue
            why = None
            for suite in suites:
                ran, why = run_suite(binaries[suite])
                if why is None and ran < baseline[suite]:
                    why = "%s ran %d of %d tests" % (suite, ran, baseline[suite])
                if why:
                    break
        finally:
            with open(path, "w") as f:
                f.write(original)
        if why:
            killed += 1
            print("killed   %s  [%s]" % (label, why), flush=True)
        else:
            survived += 1
            print("SURVIVED " + label, flush=True)

    print("%d killed, %d survived, %d stale%s (%.0f s)" % (
        killed, survived, stale, ", %d broken" % broken if broken else "",
        time.monotonic() - started))
    if not args.keep:
        shutil.rmtree(scratch, ignore_errors=True)
    counted = killed + survived
    return 0 if counted and killed * 10 >= counted * 9 and not broken else 1


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Checks the built images: a RELEASE driver holds no x86 port instruction and
none of the log texts, a DEBUG driver holds both.

Usage: image_check.py BUILD/X64
SPDX-License-Identifier: BSD-2-Clause-Patent
"""
import os
import re
import subprocess
import sys

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# Which sources each driver image is built from.
DRIVERS = {"OstrelDriver": ["serial", "debuglog"], "ZorvikDxe": ["keyboard", "debuglog"]}
PORT_INSN = re.compile(r"^\s*[0-9a-f]+:\s+(?:[0-9a-f]{2} )+\s*(in|out|ins[bwld]?|outs[bwld]?)\s", re.M)
LOG_CALL = re.compile(r'DEBUG_LOG\s*\(\s*[A-Z_|() ]+,\s*"((?:[^"\\]|\\.)*)"')
LINE_FORMAT = "[%a | %a] %a"


def log_texts(folders):
    """The literal part of every log format in the given source folders."""
    texts = {LINE_FORMAT}
    for folder in folders:
        root = os.path.join(REPO, folder)
        for dirpath, _, files in os.walk(root):
            for name in files:
                if not name.endswith((".cpp", ".h")):
                    continue
                with open(os.path.join(dirpath, name), encoding="utf-8") as f:
                    source = f.read()
                for fmt in LOG_CALL.findall(source):
                    # The longest run without conversions or escapes is what the image must hold.
                    pieces = re.split(r"%[-0-9]*[a-zA-Z]|\\.", fmt)
                    piece = max(pieces, key=len)
                    if len(piece) >= 6:
                        texts.add(piece)
    return texts


def functions(debug):
    """The address ranges of the functions the image's ELF twin names (EDK II links
    constant data into .text, so only these ranges are code)."""
    out = subprocess.run(["readelf", "-sW", debug], check=True, capture_output=True, text=True).stdout
    ranges = []
    for line in out.splitlines():
        f = line.split()
        if len(f) >= 8 and f[3] == "FUNC" and f[2].isdigit() and int(f[2]) > 0:
            start = int(f[1], 16)
            ranges.append((start, start + int(f[2])))
    if not ranges:
        raise SystemExit(f"image-check: no function symbols in {debug}")
    return ranges


def port_instructions(image, debug):
    """The port instructions inside the image's functions; bytes of constant data that
    happen to decode as one are not code."""
    ranges = functions(debug)
    out = subprocess.run(["objdump", "-d", image], check=True, capture_output=True, text=True).stdout
    found = []
    for m in PORT_INSN.finditer(out):
        address = int(m.group(0).split(":")[0], 16)
        if any(start <= address < end for start, end in ranges):
            found.append(m.group(1))
    return found


def debug_twin(base, target, driver):
    """The ELF EDK II made the image from, with its symbols."""
    folder = DRIVERS[driver][0]
    return os.path.join(os.path.dirname(base), "workspace", "Build", "NfcKeyboardPkg", f"{target}_GCC5",
                        "X64", "NfcKeyboardPkg", folder, driver, "DEBUG", driver + ".debug")


CHANNEL_SYMBOLS = {"DebugLogInit", "DebugLogPrint", "mModuleName", "mLevelNames"}
CHANNEL_REFERENCES = {"IoRead8", "IoWrite8", "AsciiVSPrint", "AsciiSPrint"}


def channel_library(base, target):
    """The channel's library as EDK II built it (LTO objects, so read with gcc-nm)."""
    return os.path.join(os.path.dirname(base), "workspace", "Build", "NfcKeyboardPkg",
                        f"{target}_GCC5", "X64", "NfcKeyboardPkg", "debuglog",
                        "DebugLogLib", "OUTPUT", "DebugLogLib.lib")


def check_channel_library(base, failures):
    """DEBUG defines the channel and reaches the port and the formatter; RELEASE holds nothing."""
    checked = 0
    for target in ("DEBUG", "RELEASE"):
        lib = channel_library(base, target)
        if not os.path.exists(lib):
            continue
        checked += 1
        out = subprocess.run(["gcc-nm", lib], capture_output=True, text=True).stdout
        symbols = {line.split()[-1] for line in out.splitlines() if len(line.split()) >= 2}
        if target == "DEBUG":
            if not CHANNEL_SYMBOLS | CHANNEL_REFERENCES <= symbols:
                failures.append(f"{lib}: lacks {sorted((CHANNEL_SYMBOLS | CHANNEL_REFERENCES) - symbols)}")
        elif symbols:
            failures.append(f"{lib}: holds {sorted(symbols)}")
        print(f"image-check: {target}/DebugLogLib.lib {len(symbols)} symbols")
    return checked


def main():
    base = sys.argv[1]
    failures = []
    checked = check_channel_library(base, failures)
    for driver, folders in DRIVERS.items():
        texts = log_texts(folders)
        for target in ("DEBUG", "RELEASE"):
            image = os.path.join(base, target, driver + ".efi")
            if not os.path.exists(image):
                continue
            checked += 1
            with open(image, "rb") as f:
                data = f.read()
            present = sorted(t for t in texts if t.encode() in data)
            missing = sorted(t for t in texts if t.encode() not in data)
            insns = port_instructions(image, debug_twin(base, target, driver))
            if target == "RELEASE":
                if insns:
                    failures.append(f"{image}: {len(insns)} port instructions ({', '.join(sorted(set(insns)))})")
                if present:
                    failures.append(f"{image}: log texts present: {present[:5]}")
            else:
                if not insns:
                    failures.append(f"{image}: no port instruction, so no log channel")
                if missing:
                    failures.append(f"{image}: log texts missing: {missing[:5]}")
            print(f"image-check: {target}/{driver}.efi {len(data)} bytes, "
                  f"{len(insns)} port instructions, {len(present)}/{len(texts)} log texts")
    for failure in failures:
        print("image-check: FAIL " + failure)
    print(f"image-check: {checked - len({f.split(':')[0] for f in failures})} passed, "
          f"{len({f.split(':')[0] for f in failures})} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Checks the built images: a RELEASE driver holds no x86 port instruction and
none of the log texts and, on IA32 and X64, fits in its limit (DRIVERS); an IA32 or X64 DEBUG driver holds both, and an AARCH64 driver,
which has no COM1, holds no log text and no trace of the channel or of port I/O.

Usage: image_check.py BUILD/<ARCH>... or image_check.py BUILD (every arch built there)
SPDX-License-Identifier: BSD-2-Clause-Patent
"""
import os
import re
import struct
import subprocess
import sys

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# Each driver image's module file (its [Sources] and the log channel are what it is built
# from) and the most its x86 RELEASE image may take: a guard against SSE register spills,
# which cost about 2.5 KiB a driver (AArch64 aligns its sections to 4 KiB pages).
DRIVERS = {"OstrelDriver": ("serial/OstrelDriver.inf", 14336),
           "UsbUartDxe": ("serial/UsbUartDxe.inf", 19456),
           "ZorvikDxe": ("keyboard/ZorvikDxe.inf", 14336)}
PORT_INSN = re.compile(r"^\s*[0-9a-f]+:\s+(?:[0-9a-f]{2} )+\s*(in|out|ins[bwld]?|outs[bwld]?)\s", re.M)
LOG_CALL = re.compile(r'DEBUG_LOG\s*\(\s*[A-Z_|() ]+,\s*"((?:[^"\\]|\\.)*)"')
LINE_FORMAT = "[%a | %a] %a"
# The PE machine of each arch; only the x86 ones have COM1 and port instructions.
MACHINES = {"IA32": 0x014C, "X64": 0x8664, "AARCH64": 0xAA64}
X86 = ("IA32", "X64")


def sources(inf):
    """The C++ sources a module file lists, and the log channel's, as paths."""
    folder = os.path.dirname(os.path.join(REPO, inf))
    with open(os.path.join(REPO, inf), encoding="utf-8") as f:
        section = re.search(r"^\[Sources\]\n(.*?)(?=^\[|\Z)", f.read(), re.M | re.S).group(1)
    files = [os.path.join(folder, line.split("#")[0].strip()) for line in section.splitlines()
             if line.split("#")[0].strip()]
    channel = os.path.join(REPO, "debuglog")
    return files + [os.path.join(channel, n) for n in sorted(os.listdir(channel))]


def log_texts(inf):
    """The literal part of every log format in the sources of a module."""
    texts = {LINE_FORMAT}
    for path in sources(inf):
        if path.endswith((".cpp", ".h")):
            with open(path, encoding="utf-8") as f:
                source = f.read()
                for fmt in LOG_CALL.findall(source):
                    # The longest run without conversions or escapes is what the image must hold.
                    pieces = re.split(r"%[-0-9]*[a-zA-Z]|\\.", fmt)
                    piece = max(pieces, key=len)
                    if len(piece) >= 6:
                        texts.add(piece)
    return texts


def elf_symbols(debug):
    """The symbol table of the image's ELF twin, one split line a symbol."""
    out = subprocess.run(["readelf", "-sW", debug], check=True, capture_output=True, text=True).stdout
    return [f for f in (line.split() for line in out.splitlines()) if len(f) >= 8 and f[0].endswith(":")]


def functions(debug):
    """The address ranges of the functions the image's ELF twin names (EDK II links
    constant data into .text, so only these ranges are code)."""
    ranges = []
    for f in elf_symbols(debug):
        if f[3] == "FUNC" and f[2].isdigit() and int(f[2]) > 0:
            start = int(f[1], 16)
            ranges.append((start, start + int(f[2])))
    if not ranges:
        raise SystemExit(f"image-check: no function symbols in {debug}")
    return ranges


# A UEFI image runs no .init_array or .ctors (nothing calls them before the entry point),
# so a global object with a constructor would silently never be built; and an image has
# no unwinder for .eh_frame to serve.
UNRUN_SECTIONS = re.compile(r"^\.(init_array|fini_array|ctors|dtors|eh_frame)\b")


def unrun_sections(debug):
    """The sections with content in the image's ELF twin that firmware would never run."""
    out = subprocess.run(["readelf", "-SW", debug], check=True, capture_output=True, text=True).stdout
    found = []
    for m in re.finditer(r"\]\s+(\S+)\s+\S+\s+[0-9a-f]+\s+[0-9a-f]+\s+([0-9a-f]+)", out):
        if UNRUN_SECTIONS.match(m.group(1)) and int(m.group(2), 16) > 0:
            found.append(m.group(1))
    return found


def machine(data):
    """The machine field of a PE image's COFF header."""
    if data[:2] != b"MZ":
        return None
    offset = struct.unpack_from("<I", data, 0x3C)[0]
    if data[offset:offset + 4] != b"PE\0\0":
        return None
    return struct.unpack_from("<H", data, offset + 4)[0]


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


def arch_build(base, arch, target):
    """EDK II's output folder for one arch and target."""
    return os.path.join(os.path.dirname(base), "workspace", "Build", "NfcKeyboardPkg", f"{target}_GCC5",
                        arch, "NfcKeyboardPkg")


def debug_twin(base, arch, target, driver):
    """The ELF EDK II made the image from, with its symbols."""
    folder = os.path.dirname(DRIVERS[driver][0])
    return os.path.join(arch_build(base, arch, target), folder, driver, "DEBUG", driver + ".debug")


CHANNEL_SYMBOLS = {"DebugLogInit", "DebugLogPrint", "mModuleName", "mLevelNames"}
CHANNEL_REFERENCES = {"IoRead8", "IoWrite8", "AsciiVSPrint", "AsciiSPrint"}
# What an image without COM1 must not name: the channel and EDK II's port I/O.
NO_CHANNEL = CHANNEL_SYMBOLS | {"IoRead8", "IoWrite8"}


def channel_library(base, arch, target):
    """The channel's library as EDK II built it (LTO objects, so read with gcc-nm)."""
    return os.path.join(arch_build(base, arch, target), "debuglog", "DebugLogLib", "OUTPUT", "DebugLogLib.lib")


def check_channel_library(base, arch, label, failures):
    """DEBUG defines the channel and reaches the port and the formatter; RELEASE holds
    nothing, and an arch without COM1 builds no channel at all."""
    checked = 0
    for target in ("DEBUG", "RELEASE"):
        lib = channel_library(base, arch, target)
        if not os.path.exists(lib):
            continue
        checked += 1
        out = subprocess.run(["gcc-nm", lib], capture_output=True, text=True).stdout
        symbols = {line.split()[-1] for line in out.splitlines() if len(line.split()) >= 2}
        if target == "DEBUG" and arch in X86:
            if not CHANNEL_SYMBOLS | CHANNEL_REFERENCES <= symbols:
                failures.append(f"{lib}: lacks {sorted((CHANNEL_SYMBOLS | CHANNEL_REFERENCES) - symbols)}")
        elif symbols:
            failures.append(f"{lib}: holds {sorted(symbols)}")
        print(f"image-check: {label}{target}/DebugLogLib.lib {len(symbols)} symbols")
    return checked


def check_x86(image, debug, target, data, texts, limit, failures):
    """Port instructions and log texts: all of them in DEBUG, none in RELEASE."""
    present = sorted(t for t in texts if t.encode() in data)
    missing = sorted(t for t in texts if t.encode() not in data)
    insns = port_instructions(image, debug)
    if target == "RELEASE":
        if len(data) > limit:
            failures.append(f"{image}: {len(data)} bytes, over {limit}")
        if insns:
            failures.append(f"{image}: {len(insns)} port instructions ({', '.join(sorted(set(insns)))})")
        if present:
            failures.append(f"{image}: log texts present: {present[:5]}")
    else:
        if not insns:
            failures.append(f"{image}: no port instruction, so no log channel")
        if missing:
            failures.append(f"{image}: log texts missing: {missing[:5]}")
    return f"{len(insns)} port instructions, {len(present)}/{len(texts)} log texts"


def check_without_channel(image, debug, data, texts, failures):
    """No log text in either target, and no channel or port I/O routine among the symbols
    of the ELF twin (port instructions mean nothing to another machine's decoder)."""
    present = sorted(t for t in texts if t.encode() in data)
    named = sorted({f[7].split(".")[0] for f in elf_symbols(debug)} & NO_CHANNEL)
    if present:
        failures.append(f"{image}: log texts present: {present[:5]}")
    if named:
        failures.append(f"{image}: names {named}")
    return f"{len(named)} channel or port symbols, {len(present)}/{len(texts)} log texts"


def arch_folders(paths):
    """Each argument is build/<ARCH>, or the build root, which stands for every arch built in it."""
    folders = []
    for path in paths:
        path = os.path.abspath(path)
        if os.path.basename(path) in MACHINES:
            folders.append(path)
        else:
            folders += [os.path.join(path, a) for a in MACHINES if os.path.isdir(os.path.join(path, a))]
    if not folders:
        raise SystemExit(f"image-check: no arch folder ({', '.join(MACHINES)}) in {' '.join(paths)}")
    return folders


def main():
    if len(sys.argv) < 2:
        raise SystemExit(__doc__.split("\n\n")[1].split("\n")[0])
    bases = arch_folders(sys.argv[1:])
    failures = []
    checked = 0
    for base in bases:
        arch = os.path.basename(base)
        # X64's lines keep the form they had before other arches were built.
        label = "" if arch == "X64" else arch + "/"
        checked += check_channel_library(base, arch, label, failures)
        for driver, (inf, limit) in DRIVERS.items():
            texts = log_texts(inf)
            for target in ("DEBUG", "RELEASE"):
                image = os.path.join(base, target, driver + ".efi")
                if not os.path.exists(image):
                    continue
                checked += 1
                with open(image, "rb") as f:
                    data = f.read()
                found = machine(data)
                if found != MACHINES[arch]:
                    found = "none" if found is None else f"{found:#06x}"
                    failures.append(f"{image}: PE machine {found}, not {arch}'s {MACHINES[arch]:#06x}")
                debug = debug_twin(base, arch, target, driver)
                for section in unrun_sections(debug):
                    failures.append(f"{image}: {section} holds code or data a UEFI image never runs")
                if arch in X86:
                    summary = check_x86(image, debug, target, data, texts, limit, failures)
                else:
                    summary = check_without_channel(image, debug, data, texts, failures)
                print(f"image-check: {label}{target}/{driver}.efi {len(data)} bytes, {summary}")
    for failure in failures:
        print("image-check: FAIL " + failure)
    print(f"image-check: {checked - len({f.split(':')[0] for f in failures})} passed, "
          f"{len({f.split(':')[0] for f in failures})} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

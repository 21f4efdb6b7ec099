#!/usr/bin/env python3
# `make demo`: a card on a simulated reader, typed into real firmware.
# SPDX-License-Identifier: BSD-2-Clause-Patent
"""Boots OVMF in QEMU, loads both DEBUG drivers from the UEFI shell with the
keyboard enabled, places card 04 A1 3F 7B on the simulated PN532 and shows the
characters arriving as keystrokes, with the drivers' log lines from COM1.

Ends by itself; exits 0 only when "04A13F7B" arrived.
"""

import os
import sys
import time

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(REPO, "tests", "e2e"))
from harness import ZORVIK_GUID, HarnessError, QemuRun  # noqa: E402

CARD = "04A13F7B"
DEBUG = os.path.join(REPO, "build", "X64", "DEBUG")

STARTUP = "\n".join([
    "fs0:",
    "setvar ZorvikConf -guid %s -bs -nv =01" % ZORVIK_GUID,
    "load ZorvikDxe.efi",
    "load OstrelDriver.efi",
    "NfcKeyTest.efi -n 8 -t 30",
    "echo E2E-SCRIPT-END",
    "reset -s",
]) + "\n"


def main():
    images = {n: os.path.join(DEBUG, n) for n in ("OstrelDriver.efi", "ZorvikDxe.efi", "NfcKeyTest.efi")}
    missing = [p for p in images.values() if not os.path.exists(p)]
    if missing:
        print("demo: missing %s (run make)" % ", ".join(missing))
        return 2
    run = QemuRun(images, startup=STARTUP, name="demo")
    start = time.monotonic()
    shown_lines = shown_logs = 0
    keys = ""

    def show():
        nonlocal shown_lines, shown_logs
        for t, module, level, text in run.logs[shown_logs:]:
            print("%6.2fs  COM1  [%s | %s] %s" % (t - start, module, level, text))
        shown_logs = len(run.logs)
        for t, line in run.lines[shown_lines:]:
            if line.startswith("NFCKEYTEST: key ") or line.startswith("NFCKEYTEST: keys ") or \
               line.startswith("NFCKEYTEST: driver "):
                print("%6.2fs  app   %s" % (t - start, line[len("NFCKEYTEST: "):]))
        shown_lines = len(run.lines)

    try:
        print("demo: booting OVMF (QEMU, FT232 on XHCI, simulated PN532) ...")
        run.start()
        run.wait_for(r"^NFCKEYTEST: serial lines", 90)
        show()
        print("%6.2fs  sim   card %s placed on the reader" % (time.monotonic() - start, CARD))
        run.sim.place(CARD)
        deadline = time.monotonic() + 40
        while time.monotonic() < deadline:
            try:
                _, _, m = run.wait_for(r'^NFCKEYTEST: keys "([^"]*)"', 0.5)
                keys = m.group(1)
                break
            except HarnessError:
                show()
        show()
        run.wait_for(r"^E2E-SCRIPT-END", 20)
        run.wait_exit(20)
    except HarnessError as e:
        print("demo: %s" % e)
    except KeyboardInterrupt:
        print("demo: interrupted")
    finally:
        run.stop()
    elapsed = time.monotonic() - start
    if keys == CARD:
        print('demo: the keyboard typed "%s" (%.1f s)' % (keys, elapsed))
        return 0
    print('demo: FAILED, keys typed: "%s" (%.1f s)' % (keys, elapsed))
    return 1


if __name__ == "__main__":
    sys.exit(main())

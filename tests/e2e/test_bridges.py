#!/usr/bin/env python3
# The reader behind each other USB-serial bridge: a device model of ours (tools/bridgesim.py)
# on QEMU's usb-redir, checking every request as its chip would and recording the line.
# SPDX-License-Identifier: BSD-2-Clause-Patent
import os
import re
import statistics
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import (APP, BOOT, CARD, DEBUG, RELEASE, Scenario, keys_line_after, records,  # noqa: E402
                    wait_keyboard_polls)
from harness import ZORVIK_GUID, QemuRun  # noqa: E402

GLOBAL_VARIABLE = "8BE4DF61-93CA-11D2-AA0D-00E098032B8C"

CHIPS = ("ft232r", "cp2102", "ch340", "pl2303", "cdcacm")
# What the keyboard asks of its line; and what a console entry naming the bridge asks, the
# flow control left off where the chip has none.
KEYBOARD_LINE = dict(rate=115200, data=8, parity="none", stop=1, flow="none")
CONSOLE_LINE = dict(rate=19200, data=7, parity="even", stop=2)
# The interface each model's line is on (a CDC device's data interface follows its
# communication interface).
INTERFACE = {"cdcacm": 1}
# Each model's bulk endpoints, IN and OUT.
BULK = {"ft232r": (0x81, 0x02), "cp2102": (0x81, 0x01), "ch340": (0x82, 0x02), "pl2303": (0x83, 0x02),
        "cdcacm": (0x82, 0x02)}
LATENCY_PLACEMENTS = 8
POLL_PERIOD = 0.5


def images(build):
    found = {n: os.path.join(build, n) for n in ("OstrelDriver.efi", "UsbUartDxe.efi", "ZorvikDxe.efi")}
    found["NfcKeyTest.efi"] = APP
    return found


def startup(app):
    return "\n".join(["fs0:", "setvar ZorvikConf -guid %s -bs -nv =01" % ZORVIK_GUID,
                      "load ZorvikDxe.efi", "load OstrelDriver.efi", "load UsbUartDxe.efi",
                      "NfcKeyTest.efi " + app, "echo E2E-SCRIPT-END"]) + "\n"


def place_and_time(run, seen, fault=None):
    """One placement, with a fault planted on the bridge first: the seconds from the card
    to its first key, and the keys seen after it."""
    if fault is not None:
        run.bridge.fault(*fault[:1], **fault[1])
    # A card lies on the reader until taken off: the poll the fault spoils loses its report,
    # and the next one types the card.
    run.sim.place(CARD, answers=1 if fault is None else 3)
    placed = time.monotonic()
    _, t, _ = run.wait_for(r"NFCKEYTEST: key %d " % (seen + 1), 30)
    run.wait_for(r"NFCKEYTEST: key %d " % (seen + 8), 30)
    run.sim.remove()
    return t - placed, seen + 8


def polls(run, since):
    """The host times of the keyboard's card polls (InListPassiveTarget) after since."""
    return [t for t, _, way, text in list(run.sim.frames)
            if way == "in" and t > since and "d4 4a" in text]


def latencies(run, count, seen=0):
    """Places the card count times, each at its own share of the poll period after a poll
    that found none, so the placements cover the period evenly whatever the bridge's own
    delays: their median is half the period plus what the line adds."""
    took = []
    for n in range(count):
        since = time.monotonic()
        deadline = since + 5
        while not polls(run, since) and time.monotonic() < deadline:
            time.sleep(0.005)
        found = polls(run, since)
        if not found:
            raise AssertionError("no card poll within 5 s")
        # The poll's answer is what finds the card, so the card goes on after it is out.
        time.sleep(max(0.0, found[0] + 0.02 + POLL_PERIOD * (n + 0.5) / count - time.monotonic()))
        t, seen = place_and_time(run, seen)
        took.append(t)
    return took, seen


class Bridges(Scenario):
    """Per bridge model, on XHCI: the card's latency beside the FT232's (QEMU's own model),
    a stalled bulk endpoint each way and a short packet recovered, the line as the keyboard
    asked, an unplug and replug, and a console entry's settings reaching the chip."""
    TIMED = True
    ft232 = None

    @classmethod
    def setUpClass(cls):
        # The FT232 behind QEMU's usb-serial, placed as the bridges are: the baseline.
        run = QemuRun(images(DEBUG), startup=startup("-n %d -t 90" % (8 * LATENCY_PLACEMENTS)),
                      answer_pending=False, name="bridge-baseline")
        try:
            run.start()
            run.wait_for(r"NFCKEYTEST: serial lines 1 keyboards 1", BOOT)
            cls.ft232 = statistics.median(latencies(run, LATENCY_PLACEMENTS)[0])
        finally:
            run.stop()

    def bridge(self, chip):
        faults = [("stall", dict(ep=BULK[chip][0])),
                  ("stall", dict(ep=BULK[chip][1])),
                  ("short", {})]
        run = QemuRun(images(DEBUG), startup=startup("-n %d -t 120" % (8 * (LATENCY_PLACEMENTS + len(faults)))),
                      answer_pending=False, bridge=chip, name="bridge-" + chip)
        try:
            run.start()
            run.wait_for(r"NFCKEYTEST: serial lines 1 keyboards 1", BOOT)
            with self.subTest("keyboard's line"):
                self.assertTrue(run.bridge.wait_line(lambda l: all(l[k] == v for k, v in KEYBOARD_LINE.items()
                                                                   if k != "rate") and abs(l["rate"] - 115200) < 3500, 5),
                                "%s runs %r" % (chip, run.bridge.line))
            took, seen = latencies(run, LATENCY_PLACEMENTS)
            median = statistics.median(took)
            self.figure("%s: card placed -> first key, median / max (ms); the FT232's median" % chip,
                        "%.0f / %.0f; %.0f" % (1000 * median, 1000 * max(took), 1000 * self.ft232))
            with self.subTest("latency"):
                self.assertLessEqual(median, self.ft232 * 1.10, "%s: %.3f s against the FT232's %.3f s"
                                     % (chip, median, self.ft232))
            for kind, args in faults:
                with self.subTest("recovered", fault=kind, **args):
                    place_and_time(run, seen, (kind, args))
                    seen += 8
            run.wait_for(r"^E2E-SCRIPT-END", 60)
            run.wait_prompt(30)
            with self.subTest("keys"):
                self.assertIn("count %d of %d (Success)" % (seen, seen), keys_line_after(run))
            stalled = [r for r in run.bridge.requests if r[3] != "ok"]
            with self.subTest("every request as the chip takes it"):
                self.assertEqual(stalled, [], chip)

            run.bridge.fault("disconnect")
            time.sleep(2)
            plugged = time.monotonic()
            run.bridge.fault("connect")
            wait_keyboard_polls(run, plugged, 60)
            first = len(run.lines)
            run.send("NfcKeyTest.efi -n 8 -t 20")
            run.wait_for(r"NFCKEYTEST: serial lines 1 keyboards 1", 60, start=first)
            run.sim.place(CARD, answers=1)
            run.wait_for(r"NFCKEYTEST: keys ", 60, start=first)
            run.wait_prompt(30)
            with self.subTest("card after a replug"):
                self.assertIn("count 8 of 8 (Success)", records(run, "NFCKEYTEST: keys ", first)[0])

            # A console entry with settings of its own, as a user writes it: the shell's connect
            # -c hands the bridge its Uart and flow-control nodes, and the chip must run them.
            hardware = chip != "cdcacm"
            # dh shortens the path's head; the USB controller is on the root bridge.
            usb = ["PciRoot(0x0)/" + m.group(1)
                   for m in (re.search(r"USBIO DevicePath\(.*?(Pci\(.*/USB\(0x[0-9A-F]+,0x%X\))\)" % INTERFACE.get(chip, 0), l)
                                        for l in run.command("dh -p UsbIo")) if m]
            self.assertEqual(len(usb), 1, "the bridge's USB I/O: %r" % usb)
            run.command("setvar ErrOut -guid %s -nv -bs -rt =--%s/Uart(19200,7,E,2)/UartFlowCtrl(%s)"
                        % (GLOBAL_VARIABLE, usb[0], "Hardware" if hardware else "None"))
            run.command("connect -c", 60)
            want = dict(CONSOLE_LINE, flow="rts_cts" if hardware else "none")
            with self.subTest("console entry's line"):
                self.assertTrue(run.bridge.wait_line(lambda l: all(l[k] == v for k, v in want.items() if k != "rate")
                                                     and abs(l["rate"] - 19200) < 600, 10),
                                "%s runs %r, asked %r" % (chip, run.bridge.line, want))
            run.send("reset -s")
            with self.subTest("power-off"):
                self.assertTrue(run.wait_exit(30), "no power-off")
        finally:
            run.stop()


class BridgesUhci(Scenario):
    """Each bridge model on UHCI, where a bulk transfer is split into the controller's own
    descriptors: the card types."""

    def bridge(self, chip):
        run = QemuRun(images(RELEASE), startup=startup("-n 16 -t 60") + "reset -s\n", controller="uhci",
                      answer_pending=False, bridge=chip, name="bridge-uhci-" + chip)
        try:
            run.start()
            run.wait_for(r"NFCKEYTEST: serial lines 1 keyboards 1", BOOT)
            latencies(run, 2)
            run.wait_for(r"^E2E-SCRIPT-END", 60)
            self.assertIn("count 16 of 16 (Success)", keys_line_after(run))
            self.assertTrue(run.wait_exit(30), "no power-off")
        finally:
            run.stop()


for _chip in CHIPS:
    setattr(Bridges, "test_" + _chip, lambda self, c=_chip: self.bridge(c))
    setattr(BridgesUhci, "test_" + _chip, lambda self, c=_chip: self.bridge(c))

if __name__ == "__main__":
    unittest.main()

#!/usr/bin/env python3
# The other arches: their firmware and RELEASE images, the card, the names, a replug, latency.
# SPDX-License-Identifier: BSD-2-Clause-Patent
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import (CARD, Scenario, boot, images, placement_latency, release, replug_rounds, script,  # noqa: E402
                    side_by_side)
from harness import firmware_ready  # noqa: E402


class OtherArch(Scenario):
    """QEMU's start to the shell and a placed card's first key are timed; the replug's
    time figure is a bound (see Replug), so IA32's runs side by side."""
    TIMED = True

    def setUp(self):
        missing = firmware_ready(self.ARCH) or next(
            ("no " + p for p in images(release(self.ARCH)).values() if not os.path.exists(p)), None)
        if missing:
            self.skipTest(missing)

    def card_and_names(self):
        run = boot(script("-n 8 -t 30", after="drivers\ndevtree"), build=release(self.ARCH), card=CARD,
                   arch=self.ARCH, name="card-" + self.ARCH)
        self.check_card(run)
        self.check_names(run)
        i, t, _ = run.wait_for(r"^Shell> ", 1)
        self.figure("%s: QEMU start -> shell (s)" % self.ARCH, "%.1f" % (t - run.started_at))

    def replug(self):
        replug_rounds(self, "xhci", self.ARCH)

    def latency(self):
        placement_latency(self, self.ARCH)


class OtherArchIA32(OtherArch):
    ARCH = "IA32"

    def test_card_and_names_ia32(self):
        self.card_and_names()

    @side_by_side
    def test_unplug_and_replug_xhci_ia32(self):
        self.replug()

    def test_placement_latency_ia32(self):
        self.latency()


class OtherArchAARCH64(OtherArch):
    ARCH = "AARCH64"

    def test_card_and_names_aarch64(self):
        self.card_and_names()

    # AArch64's TCG guest is the slowest: its replug stays alone.
    def test_unplug_and_replug_xhci_aarch64(self):
        self.replug()

    def test_placement_latency_aarch64(self):
        self.latency()


if __name__ == "__main__":
    unittest.main()

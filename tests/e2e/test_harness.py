#!/usr/bin/env python3
# How the harness splits COM1, where the shell's console and the drivers' log lines meet,
# and the GUID it reads from the package.
# SPDX-License-Identifier: BSD-2-Clause-Patent
import os
import shutil
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402


class Com1Split(unittest.TestCase):
    def setUp(self):
        self.run = harness.QemuRun({}, name="unit")

    def tearDown(self):
        self.run.raw.close()
        shutil.rmtree(self.run.dir)

    def feed(self, *lines):
        for n, line in enumerate(lines):
            self.run._line(float(n), line)
        return [l for _, l in self.run.lines], self.run.log_texts()

    def test_log_line_inside_a_console_line_leaves_the_marker_whole(self):
        console, logs = self.feed("NFCKEYTEST: ke[ZorvikDxe | INFO] Fetching raw data.", "y 1 '0'")
        self.assertEqual(console, ["NFCKEYTEST: key 1 '0'"])
        self.assertEqual(logs, ["[ZorvikDxe | INFO] Fetching raw data."])

    def test_message_ending_in_cr_does_not_swallow_the_next_log_line(self):
        _, logs = self.feed("[ZorvikDxe | WARN] disabled![OstrelDriver | INFO] Stop")
        self.assertEqual(logs, ["[ZorvikDxe | WARN] disabled!", "[OstrelDriver | INFO] Stop"])

    def test_a_log_line_without_its_line_end_leaves_what_follows_whole(self):
        for lines, console, logs in (
                # A message ending in a bare CR, then a record on the same line.
                (["[ZorvikDxe | WARN] disabled!\rNFCKEYTEST: line 0 textin no\r"],
                 ["NFCKEYTEST: line 0 textin no"], ["[ZorvikDxe | WARN] disabled!"]),
                # A message cut short (a NUL in its text), then a record.
                (["[ZorvikDxe | INFO] Char = 0x00 (NFCKEYTEST: key 4 '1' scan 0000\r"],
                 ["NFCKEYTEST: key 4 '1' scan 0000"], ["[ZorvikDxe | INFO] Char = 0x00 ("]),
                # A whole log line inside a console line, with its CR.
                (["NFCKEYTEST: key 3 'A'[ZorvikDxe | INFO] Fetching.\r", " scan 0000\r"],
                 ["NFCKEYTEST: key 3 'A' scan 0000"], ["[ZorvikDxe | INFO] Fetching."])):
            self.run.lines, self.run.logs, self.run.prefix = [], [], ""
            self.assertEqual(self.feed(*lines), (console, logs), lines)

    def test_a_log_line_after_the_prompt_leaves_the_prompt(self):
        self.feed("FS0:\\> [OstrelDriver | INFO] Start\r")
        self.run.partial = "[ZorvikDxe | INFO] Tryi"
        self.assertEqual(self.run.prompt_line(), "FS0:\\> ")

    def test_other_brackets_stay_console(self):
        console, logs = self.feed("[Other | INFO] x", "Ctrl[B3] PciRoot(0x0)")
        self.assertEqual(console, ["[Other | INFO] x", "Ctrl[B3] PciRoot(0x0)"])
        self.assertEqual(logs, [])

    def test_escapes_are_stripped(self):
        self.assertEqual(harness.ESCAPE.sub("", "\x1b[0m\x1b[1;37;40mShell> \x1b[25;01H"), "Shell> ")


class PackageGuid(unittest.TestCase):
    def test_zorvik_guid_is_in_the_shells_form(self):
        self.assertRegex(harness.ZORVIK_GUID, r"^[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}$")


if __name__ == "__main__":
    unittest.main()

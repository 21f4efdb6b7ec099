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


class ByteWaits(unittest.TestCase):
    def test_a_wait_reads_text_not_escapes(self):
        # A typed "2" must not be found in a cursor escape's digits, whether the wait starts
        # inside the escape or the escape has not all come yet; a key's echo is found whole.
        for chunks, start, needle, found in (
                ([b"FS0:\\> \x1b[20;2", b"2H"], 11, "2", None),
                ([b"FS0:\\> \x1b[20;2"], 0, "2", None),
                ([b"\x1b[20;12H", b"\x1b[20;12H2", b"\x1b[20;13H"], 4, "2", 1.0)):
            stream = harness.ByteStream()
            for n, data in enumerate(chunks):
                stream.add(data, float(n))
            try:
                self.assertEqual(stream.wait(needle, 0, start), found, chunks)
            except harness.HarnessError:
                self.assertIsNone(found, chunks)


class Traces(unittest.TestCase):
    def test_events_get_host_times_and_a_line_being_written_waits(self):
        run = harness.QemuRun({}, name="unit")
        try:
            run.wall_offset = 1000.0
            with open(os.path.join(run.dir, "qemu.err"), "w") as f:
                f.write("7@1005.250000:usb_serial_set_baud dev 0:1 baud rate 115200\n"
                        "qemu-system-x86_64: a warning\n"
                        "7@1006.000000:usb_serial_set_data dev 0:1 parity N")
            self.assertEqual(run.traces(), [(5.25, "usb_serial_set_baud", "dev 0:1 baud rate 115200")])
        finally:
            run.raw.close()
            shutil.rmtree(run.dir)


class PackageGuid(unittest.TestCase):
    def test_zorvik_guid_is_in_the_shells_form(self):
        self.assertRegex(harness.ZORVIK_GUID, r"^[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}$")


if __name__ == "__main__":
    unittest.main()

#!/usr/bin/env python3
# The card typing through both drivers: the wiring, the typed keys on each controller and
# build, the reader's answers, a noisy line.
# SPDX-License-Identifier: BSD-2-Clause-Patent
import os
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import (APP, BOOT, CARD, CARD7, CARD10, DEBUG, FLOW_OFF, FT232_TRACE, LINE_8N1, RELEASE,  # noqa: E402
                    Scenario, boot, chip_rate, echo_figure, echo_times, ft232_requests, images, keys_line,
                    placement_latency, records, script, tally)
from harness import ZORVIK_GUID, HarnessError, QemuRun  # noqa: E402


class Wiring(Scenario):
    def test_ft232_enumerates_on_xhci_and_uhci(self):
        # Without this the other scenarios would fail for the wiring, not the drivers:
        # QEMU attaches its FT232 only once the simulator has taken the connection.
        for controller in ("xhci", "uhci"):
            run = QemuRun({"NfcKeyTest.efi": APP}, controller=controller, card=CARD, name="usb",
                          startup="fs0:\nNfcKeyTest.efi -n 0\ndh -p UsbIo\necho E2E-SCRIPT-END\nreset -s\n")
            try:
                run.start()
                run.wait_for(r"^E2E-SCRIPT-END", BOOT)
                exited = run.wait_exit(30)
            finally:
                run.stop()
            with self.subTest("power-off", controller=controller):
                self.assertTrue(exited, "no power-off")
            with self.subTest("USB device", controller=controller):
                self.assertTrue(any(": USBIO DevicePath(" in l and "USB(0x" in l for l in run.console()),
                                "no USB device")
            with self.subTest("no serial line yet", controller=controller):
                self.assertIn("NFCKEYTEST: serial lines 0 keyboards 0", run.console(),
                              "a serial line before any driver was loaded")


class TypedCard(Scenario):
    """The checks of one boot in which the card types eight keys, booted once for them all."""
    controller, build, trace = "xhci", DEBUG, ()

    @classmethod
    def setUpClass(cls):
        cls.typed = boot(script("-n 8 -t 30"), build=cls.build, controller=cls.controller, card=CARD,
                         trace=cls.trace)


class TypedCardXhci(TypedCard):
    trace = FT232_TRACE

    def test_card_xhci(self):
        self.check_card(self.typed)

    def test_baud_trace_keyboard_line_runs_115200_8n1(self):
        # The chip reads the divisor's eighths from the word's top bits and wIndex's low bit
        # together: a stray bit still answers Success, and the line runs another rate (113744
        # for 115200).
        run = self.typed
        rates, lines, flows = (ft232_requests(run, e) for e in FT232_TRACE)
        self.figure("keyboard line: requests the FT232 decoded", "%s; %s; %s" % (tally(rates), tally(lines), tally(flows)))
        with self.subTest("rate"):
            self.assertTrue(rates and set(rates) == {"baud rate %d" % chip_rate(115200)}, "the chip ran %s" % tally(rates))
        with self.subTest("line settings"):
            self.assertTrue(lines and set(lines) == {LINE_8N1}, "line settings %s" % tally(lines))
        # The keyboard asks for none: the PN532's serial link has no handshake lines.
        with self.subTest("flow control"):
            self.assertTrue(flows and set(flows) == {FLOW_OFF}, "flow control %s" % tally(flows))

    def test_debug_log_lines(self):
        run = self.typed
        logs = run.log_texts()
        wants = [
            "[OstrelDriver | INFO] EfiLibInstallDriverBindingComponentName2 returns: Success",
            "[OstrelDriver | INFO] UsbSerialDriverBindingStart() is called",
            "[OstrelDriver | INFO] SetAttributesInternal() status: Success",
            "[OstrelDriver | INFO] SetControlBitsInternal() status: Success",
            "[ZorvikDxe | INFO] Initialize driver private data",
            "[ZorvikDxe | INFO] Initialize configuration data",
            "[ZorvikDxe | INFO] EFI variable exist:",
            "[ZorvikDxe | INFO] mConfiguration->Enabled = 1",
            "[ZorvikDxe | INFO] EfiLibInstallDriverBindingComponentName2 returns: Success",
            "[ZorvikDxe | INFO] Trying to initialize a NFC Keyboard...",
            "[ZorvikDxe | INFO] Trying to get firmware version...",
            "[ZorvikDxe | INFO] Found PN532 with firmware version: 1.6",
            "[ZorvikDxe | INFO] NFC Keyboard is found.",
            "[ZorvikDxe | INFO] Serial I/O Protocol is opened.",
            "[ZorvikDxe | INFO] Multiple protocol interfaces are installed.",
            "[ZorvikDxe | INFO] Unicode strings2 are added.",
            "[ZorvikDxe | INFO] Fetching raw data from the NFC Keyboard is successful.",
        ]
        for want in wants:
            with self.subTest(want=want):
                self.assertTrue(any(l.rstrip() == want for l in logs), "missing log line " + want)
        with self.subTest("CR LF"):
            self.assertIn(b"[ZorvikDxe | INFO] Fetching raw data from the NFC Keyboard is successful.\r\n",
                          bytes(run.raw_data), "log lines do not end in CR LF")


class TypedCardUhci(TypedCard):
    controller = "uhci"

    def test_card_uhci(self):
        self.check_card(self.typed)


class TypedCardRelease(TypedCard):
    build = RELEASE

    def test_release_images_log_nothing_and_type(self):
        run = self.typed
        with self.subTest("log"):
            self.assertEqual(run.log_texts(), [], "RELEASE wrote log lines")
        with self.subTest("console"):
            self.assertFalse(any("OstrelDriver |" in l or "ZorvikDxe |" in l for l in run.console()), "log text in console")
        with self.subTest("keys"):
            self.assertIn('keys "04A13F7B" count 8 of 8 (Success)', keys_line(run))


class OwnBoot(Scenario):
    """Scenarios of a boot each."""

    def test_serial_driver_loaded_first(self):
        # The terminal driver takes the FT232 line first; the keyboard takes it over on load.
        run = boot(script("-n 8 -t 30", serial_first=True), card=CARD)
        self.assertIn('keys "04A13F7B" count 8 of 8 (Success)', keys_line(run))

    def test_seven_byte_identifier(self):
        run = boot(script("-n 14 -t 30"), card=CARD7)
        self.assertIn('keys "%s" count 14 of 14 (Success)' % CARD7, keys_line(run))

    def test_ten_byte_identifier(self):
        run = boot(script("-n 1 -t 5"), card=CARD10)
        with self.subTest("keys"):
            self.assertIn("count 0 of 1 (Time out)", keys_line(run))
        with self.subTest("reported"):
            self.assertTrue(any(a[1] == CARD10 for a in run.sim.answers), "the reader never reported the card")
        with self.subTest("keyboard"):
            self.assertIn("NFCKEYTEST: serial lines 1 keyboards 1", run.console(), "no keyboard running")

    def test_card_left_is_typed_again(self):
        run = boot(script("-n 16 -t 30"), card=CARD)
        self.assertIn('keys "04A13F7B04A13F7B" count 16 of 16 (Success)', keys_line(run))

    def test_card_removed_is_not_typed_again(self):
        def during(run):
            # The app pauses 100 ms a key, so seven keys still wait when the card leaves.
            run.wait_for(r"NFCKEYTEST: key 1 ", BOOT)
            run.sim.remove()

        run = boot(script("-n 16 -t 8 -d 100"), card=CARD, during=during)
        self.assertIn('keys "04A13F7B" count 8 of 16 (Time out)', keys_line(run))

    def test_disabled_without_zorvikconf(self):
        run = boot(script("-n 1 -t 3", enable=False,
                          after="dmpstore ZorvikConf -guid %s" % ZORVIK_GUID), card=CARD)
        logs = run.log_texts()
        console = run.console()
        for want in ("[ZorvikDxe | INFO] Store zero data Buffer Storage to EFI variable",
                     "[ZorvikDxe | INFO] Found PN532 with firmware version: 1.6",
                     "[ZorvikDxe | INFO] NFC Keyboard is found.",
                     "[ZorvikDxe | WARN] NFC/RFID module is disabled, device must not use this driver!"):
            with self.subTest(want=want):
                self.assertTrue(any(l.startswith(want) for l in logs), "missing log " + want)
        with self.subTest("no protocols"):
            self.assertFalse(any("Multiple protocol interfaces are installed" in l for l in logs), "protocols installed")
        with self.subTest("no keyboard"):
            self.assertIn("NFCKEYTEST: serial lines 1 keyboards 0", console, "a text-input protocol appeared")
        with self.subTest("no text input"):
            self.assertTrue(any("NFCKEYTEST: line 0 textin no textinex no" in l for l in console), "text input on the line")
        dump = "\n".join(console)
        with self.subTest("ZorvikConf"):
            self.assertTrue("DataSize = 0x01" in dump and "00000000: 00 " in dump, "ZorvikConf is not one zero byte")
        with self.subTest("attributes"):
            self.assertIn("NV+BS", dump, "ZorvikConf attributes are not NV+BS")

    def test_unload_serial_driver_stops_keyboard_first(self):
        run = QemuRun(images(), startup=script("-n 8 -t 30", stay=True), card=CARD)
        try:
            run.start()
            run.wait_for(r"^E2E-SCRIPT-END", BOOT)
            run.wait_prompt(30)
            with self.subTest("keyboard running"):
                self.assertIn("count 8 of 8 (Success)", keys_line(run), "keyboard not running")
            handle = None
            for line in run.command("drivers", 60):
                if "FTDI-232 USB Serial Driver" in line:
                    handle = line.split()[0]
            if handle is None:
                raise AssertionError("drivers does not list the serial driver")
            before = len(run.logs)
            run.command("unload -n %s" % handle, 60)
            after = [l for l in run.log_texts()[before:]]
            order = [l for l in after if "*BindingStop is called." in l or "UsbSerialDriverBindingStop is called" in l]
            # The serial driver's Stop with the child uninstalls it, which stops the keyboard
            # bound to it; the serial instance goes only after that, in the last Stop.
            with self.subTest("stop order"):
                self.assertTrue(len(order) >= 2 and "*BindingStop" in "".join(order[:-1])
                                and "UsbSerialDriverBindingStop" in order[-1], "stop order %r" % order)
            with self.subTest("unload line"):
                self.assertTrue(any("OstrelUnload is called" in l for l in after), "no unload line")
            out = run.command("NfcKeyTest.efi -n 0", 60)
            with self.subTest("nothing left"):
                self.assertIn("NFCKEYTEST: serial lines 0 keyboards 0", out, "left behind: %r" % out)
            inputs = [l for l in run.console() if l.startswith("NFCKEYTEST: text inputs ")]
            with self.subTest("text inputs"):
                self.assertTrue(len(inputs) == 2 and int(inputs[1].split()[-1]) == int(inputs[0].split()[-1]) - 1,
                                "text inputs before and after unload: %r" % inputs)
            out = run.command("echo E2E-ALIVE", 60)
            with self.subTest("alive"):
                self.assertIn("E2E-ALIVE", out, "the shell does not answer after unload")
            run.send("reset -s")
            with self.subTest("power-off"):
                self.assertTrue(run.wait_exit(30), "no power-off")
        finally:
            run.stop()


class ConnectTime(Scenario):
    TIMED = True

    def test_shell_names_and_connect_time(self):
        run = boot(script("-n 0", load_flags="-nc ",
                          before="echo E2E-CONNECT\nconnect -r\necho E2E-CONNECTED",
                          after="drivers\ndevtree"), card=CARD)
        self.check_names(run)
        i, t0, _ = run.wait_for(r"^E2E-CONNECT$", 1)
        with self.subTest("install line after connect"):
            _, t1, _ = run.wait_for(r"^Multiple protocol interfaces are installed", 1, logs=True)
            self.figure("connect -> text-input protocols installed (s)", "%.3f" % (t1 - t0))
            self.assertGreaterEqual(t1, t0, "protocols installed before connect")


class Answers(Scenario):
    """Faulty answers from the reader, and cards placed at every phase of the poll."""

    def test_fault_types_nothing_then_good_answer_types(self):
        faults = ["badsum", "error", "nack", "badlen", "garbage", "silence"]

        run = QemuRun(images(), startup=script("-n 16 -t 12"), name="fault")
        # The card reports once, after the faults have taken the first answers.
        for f in faults:
            run.sim.fault(f)
        run.sim.place(CARD, answers=1)
        try:
            run.start()
            run.wait_for(r"^E2E-SCRIPT-END", BOOT)
            run.wait_exit(30)
        finally:
            run.stop()
        kinds = [a[1] for a in run.sim.answers]
        with self.subTest("answers"):
            self.assertEqual(kinds[:len(faults)], ["fault:" + f for f in faults], "answers %r" % kinds)
        with self.subTest("keys"):
            self.assertIn('keys "04A13F7B" count 8 of 16 (Time out)', keys_line(run))
        good = [a[0] for a in run.sim.answers if a[1] == CARD]
        first_key = [t for t, l in run.lines if l.startswith("NFCKEYTEST: key 1 ")]
        with self.subTest("order"):
            self.assertTrue(good and first_key and first_key[0] > good[0], "a key came before the good answer")


class PlacementLatency(Scenario):
    TIMED = True

    def test_placement_latency(self):
        placement_latency(self)


class NoisyLine(Scenario):
    """One boot with the keyboard on the FT232 (RELEASE: COM1 carries the shell alone). Keys
    typed into COM1 come back while the reader's line is quiet, then while it carries noise
    (the module off the line, random bytes at random gaps), mains hum (a byte every 1/60 s)
    and a 0x00 flood; once each is over, a card placed on the reader types its keys."""
    TIMED = True

    @classmethod
    def setUpClass(cls):
        run = QemuRun(images(RELEASE), startup=script("-n 0", stay=True), answer_pending=False, name="noisy-line")
        cls.echoes, cls.ran, cls.typed = {}, {}, {}
        try:
            run.start()
            run.wait_for(r"^E2E-SCRIPT-END", BOOT)
            run.wait_prompt(30)
            # Each disturbance outlasts the echoes and the command typed under it (about two
            # seconds) several times over; the card is placed once it has ended.
            for line, seconds in (("quiet", 0), ("noise", 8), ("hum", 6), ("flood", 6)):
                if seconds:
                    run.sim.fault(line, seconds)
                    time.sleep(1)
                first = len(run.lines)
                cls.echoes[line] = echo_times(run, "echo E2E-%s" % line.upper(), run.com1.sendall)
                run.com1.sendall(b"\r")
                try:
                    run.wait_for(r"^E2E-%s$" % line.upper(), 10, start=first)
                    cls.ran[line] = True
                except HarnessError:
                    cls.ran[line] = False
                run.wait_prompt(30)
                time.sleep(max(0.0, run.sim.off_line_until - time.monotonic()) if seconds else 0)
                # The card lies on the reader until the app has its keys: what the line still
                # held when the disturbance ended may swallow a report or two. The app takes the
                # keys, so the poll, which refills only an empty queue, goes on; a report made
                # after the app ended types at the prompt, and is cleared from it.
                first = len(run.lines)
                run.send("NfcKeyTest.efi -n 8 -t 20")
                run.wait_for(r"NFCKEYTEST: controller \\OstrelDriver", 60, start=first)
                run.sim.place(CARD)
                run.wait_for(r"NFCKEYTEST: keys ", 60, start=first)
                run.sim.remove()
                cls.typed[line] = records(run, "NFCKEYTEST: keys ", first)
                time.sleep(1.5)
                run.send("")
                run.wait_prompt(30)
            run.send("reset -s")
            run.wait_exit(30)
        finally:
            run.stop()

    def test_noise_and_flood_leave_the_shell_usable_and_the_card_types_after(self):
        quiet = None
        for line in ("quiet", "noise", "hum", "flood"):
            took = self.echoes.get(line, [])
            median, shown = echo_figure(took)
            quiet = median if quiet is None else quiet
            self.figure("key typed into COM1 -> echo, reader's line %s: median / max (ms)" % line, shown)
            with self.subTest(line=line):
                self.assertEqual(len([t for t in took if t is not None]), len(took),
                                 "keys typed while the reader's line was %s never came back" % line)
                self.assertTrue(self.ran.get(line), "the command typed while the line was %s did not run" % line)
                # A poll tick holds the console's timers for at most about a tenth of a second.
                self.assertLessEqual(median, quiet + 0.15, "keys took %.0f ms (median) with the line %s, %.0f quiet"
                                     % (1000 * median, line, 1000 * quiet))
                self.assertTrue('count 8 of 8 (Success)' in "".join(self.typed.get(line, [])),
                                "after the %s the card typed %r" % (line, self.typed.get(line)))


if __name__ == "__main__":
    unittest.main()

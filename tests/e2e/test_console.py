#!/usr/bin/env python3
# The FT232 as a console line, the installs from the shell and the stick, and Secure Boot.
# SPDX-License-Identifier: BSD-2-Clause-Patent
import os
import re
import shutil
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import (BOOT, BUILD, CARD, FLOW_RTS_CTS, FT232_TRACE, INSTALLED, PN532_BYTES, RELEASE,  # noqa: E402
                    STICK, Boots, Scenario, chip_rate, echo_figure, echo_times, ft232_requests, images, machine,
                    machine_disk, options_and_conin, tally, type_keys)
from harness import ESCAPE, REPO, ZORVIK_GUID, HarnessError, QemuRun, esp_files, firmware_ready  # noqa: E402

# -- the FT232 without the keyboard: long writes, EDK II's terminal on it --------------

GLOBAL_VARIABLE = "8BE4DF61-93CA-11D2-AA0D-00E098032B8C"
# UsbClass(0x0403,0x6001,0xFF,0xFF,0xFF) and the end node. EDK II's console platform driver
# puts a terminal into the console only when ConIn or ConOut names it, and a USB class node
# names any device of the class; a terminal on USB alone joins nothing.
FT232_CLASS_PATH = "030F0B0003040160FFFFFF7FFF0400"
# Each typed into its line at the prompt: COM1 before the adapter has a child, then the FT232
# and COM1 once the FT232's terminal is in the console.
TYPED = {"COM1": "echo E2E-COM1-TYPED", "FT232": "echo E2E-FT232-TYPED", "COM1 beside the FT232": "echo E2E-COM1-AGAIN",
         "FT232 with the keyboard loaded": "echo E2E-FT232-STILL"}


def write_pattern(size):
    """What NfcKeyTest -w writes: lines of 64 bytes, the line's number, letters from A, CR LF."""
    return b"".join(b"%04d" % (n % 10000) + bytes(65 + i % 26 for i in range(58)) + b"\r\n"
                    for n in range((size + 63) // 64))[:size]


class Ft232Line(Scenario):
    """One boot with the serial driver alone (RELEASE: no log line on COM1) and a bare socket at
    the FT232's far end. First COM1's keys, the control; then the adapter connected without a
    terminal for NfcKeyTest's long writes; then EDK II's terminal on it, in the console, for
    keys typed into it and into COM1 beside it, and the requests it costs at rest; last a
    console entry asking the line for hardware flow control, which `connect -c` hands the
    serial driver."""
    TIMED = True

    @classmethod
    def setUpClass(cls):
        startup = "fs0:\n" + "".join("setvar %s -guid %s -nv -bs -rt =%s\n" % (v, GLOBAL_VARIABLE, FT232_CLASS_PATH)
                                     for v in ("ConIn", "ConOut")) + "load -nc OstrelDriver.efi\necho E2E-SCRIPT-END\n"
        run = cls.line = QemuRun(images(RELEASE), startup=startup, raw_line=True, trace=FT232_TRACE, name="ft232-line")
        cls.writes, cls.echoes, cls.ran = {}, {}, {}

        def typed(name, send):
            first = len(run.lines)
            cls.echoes[name] = echo_times(run, TYPED[name], send)
            send(b"\r")
            try:
                run.wait_for(r"^%s$" % TYPED[name].split()[1], 10, start=first)
                cls.ran[name] = True
            except HarnessError:
                cls.ran[name] = False
                run.send("")  # ends whatever the lost keys left on the line
            run.wait_prompt(30)

        try:
            run.start()
            run.wait_for(r"^E2E-SCRIPT-END", BOOT)
            run.wait_prompt(30)
            # The control: the console before the adapter has a child.
            typed("COM1", run.com1.sendall)
            driver = [l.split()[0] for l in run.command("drivers") if "FTDI-232 USB Serial Driver" in l]
            adapter = [m.groups() for m in (re.match(r"\s*([0-9A-F]+): USBIO DevicePath\(.*?(Pci\(.*\))\)\s*$", l)
                                            for l in run.command("dh -p UsbIo")) if m]
            if len(driver) != 1 or len(adapter) != 1:
                raise HarnessError("serial driver %r, USB devices %r" % (driver, adapter))
            # Not recursive, so no terminal takes the child yet. A new rate may still bring one: the
            # child's path changes with it, and the firmware connects a path reinstalled.
            run.command("connect %s %s" % (adapter[0][0], driver[0]))
            # 115200 last: the terminal later keeps the rate the line was left at.
            for baud in (9600, 115200):
                start, t0 = run.line.received.size(), time.monotonic()
                out = run.command("NfcKeyTest.efi -w 4096 -b %d -t 10" % baud)
                t1 = time.monotonic()
                # QEMU hands the socket each packet as the guest sends it; the last may still be on its way.
                try:
                    run.line.received.wait(write_pattern(4096)[-64:].decode("latin-1"), 5, start)
                except HarnessError:
                    pass  # the check below says what came
                cls.writes[baud] = (out, bytes(run.line.received.data[start:]), t0, t1)

            run.command("connect -r")
            typed("FT232", run.line.send)
            typed("COM1 beside the FT232", run.com1.sendall)
            time.sleep(1)
            cls.rest = time.monotonic()
            time.sleep(10)
            cls.rest_end = time.monotonic()

            # The keyboard loaded now finds the FT232 a console by ConOut's short form: it leaves
            # the line, and the terminal on it, alone.
            start = run.line.received.size()
            run.command("setvar ZorvikConf -guid %s -bs -nv =01" % ZORVIK_GUID)
            run.command("load ZorvikDxe.efi")
            typed("FT232 with the keyboard loaded", run.line.send)
            cls.after_keyboard = bytes(run.line.received.data[start:])

            # The console entry of a line that wants RTS/CTS, as a user would write it; the shell's
            # connect -c walks it and hands the adapter the Uart and flow-control nodes.
            cls.flow_asked = time.monotonic()
            run.command("setvar ErrOut -guid %s -nv -bs -rt =--PciRoot(0x0)/%s/Uart(115200,8,N,1)/UartFlowCtrl(Hardware)"
                        % (GLOBAL_VARIABLE, adapter[0][1]))
            run.command("connect -c")
            run.send("reset -s")
            if not run.wait_exit(30):
                raise HarnessError("no power-off")
        finally:
            run.stop()

    def median_echo(self, name):
        """The median seconds a key typed into a line took to come back on COM1; every key
        must come back and the typed command run. Notes the figure."""
        took = self.echoes.get(name, [])
        median, shown = echo_figure(took)
        self.figure("key typed into %s -> echo on COM1: median / max (ms)" % name, shown)
        lost = len([t for t in took if t is None])
        with self.subTest("keys came back", line=name):
            self.assertTrue(took and not lost, "%d of the keys typed into %s never came back" % (lost, name))
        with self.subTest("command ran", line=name):
            self.assertTrue(self.ran.get(name), "the command typed into %s did not run" % name)
        return median

    def test_long_write_arrives_whole_and_in_order(self):
        # QEMU's FT232 passes bytes on as they come, at no line rate, so this sees what the
        # driver drops, repeats or reorders and a Write that gives up, not a rate's pacing.
        # A terminal on the line writes only around the app's one Write call, never inside it.
        want = write_pattern(4096)
        for baud, (out, got, _, _) in sorted(self.writes.items()):
            said = [l[len("NFCKEYTEST: "):] for l in out if l.startswith(("NFCKEYTEST: wrote ", "NFCKEYTEST: write calls "))]
            whole = max(n for n in range(0, 4097, 64) if want[:n] in got)
            again = got.replace(want, b"", 1).count(b"ABCDEFGHIJ")
            self.figure("long write at %d: app / socket" % baud, "%s / %d bytes, the first %d of the 4096 in one piece" % (
                "; ".join(said), len(got), whole))
            with self.subTest("wrote", baud=baud):
                self.assertIn("wrote 4096 of 4096 at %d (Success)" % baud, said, "the app says %r" % (said or out[-3:]))
            # A Write that times out halfway says so to its caller; the terminal drops the rest.
            with self.subTest("one call", baud=baud):
                self.assertIn("write calls 1", said, "the app says %r" % said)
            with self.subTest("whole", baud=baud):
                self.assertTrue(whole == 4096 and not again, "the first %d of the 4096 bytes came in one piece, %d of their lines again"
                                % (whole, again))

    def test_baud_trace_app_rates_and_flow_control_reach_the_chip(self):
        run = self.line
        for baud, (_, _, t0, t1) in sorted(self.writes.items()):
            rates = ft232_requests(run, "usb_serial_set_baud", t0, t1)
            self.figure("app asks %d: the chip ran" % baud, tally(rates))
            # 9600 divides the chip's 3 MHz 312.5 times: the half goes in the divisor word's top bits.
            with self.subTest("rate", baud=baud):
                self.assertTrue(rates and rates[-1] == "baud rate %d" % chip_rate(baud), "the chip ran %s" % tally(rates))
        flows = ft232_requests(run, "usb_serial_set_flow_control", self.flow_asked)
        self.figure("ErrOut entry asks RTS/CTS: the chip's flow control", tally(flows))
        with self.subTest("flow control"):
            self.assertIn(FLOW_RTS_CTS, flows, "the line asked RTS/CTS, the chip got %s" % tally(flows))

    def test_short_form_console_keeps_its_terminal_when_the_keyboard_loads(self):
        self.median_echo("FT232 with the keyboard loaded")
        sent = [p.hex(" ") for p in PN532_BYTES if p in getattr(self, "after_keyboard", b"")]
        with self.subTest("no PN532 bytes"):
            self.assertFalse(sent, "the keyboard wrote %s onto the console line" % sent)

    def test_ft232_terminal_keys_and_requests_at_rest(self):
        run = self.line
        shown = ESCAPE.sub("", bytes(run.line.received.data).decode("latin-1"))
        with self.subTest("prompt on the FT232"):
            self.assertIn("FS0:\\> ", shown, "the shell's prompt never reached the FT232: not in ConOut")
        alone, ft232, beside = (self.median_echo(name) for name in ("COM1", "FT232", "COM1 beside the FT232"))
        # COM1's own keys take three terminal ticks here (60 ms on TCG, 20 ms a tick): a driver
        # that reads the FT232 within a tick adds at most one to its keys. A bulk-IN runs at
        # TPL_NOTIFY, where the other consoles' timers wait: a look that gives up at the next
        # firmware tick costs COM1 up to one of those (10 ms) a terminal tick, while one the
        # chip keeps NAKing for a whole 32 ms timeout costs it 40 ms a key.
        with self.subTest("FT232 keys"):
            self.assertLessEqual(ft232, max(0.060, alone + 0.030), "keys typed into the FT232 came back in %.0f ms (median),"
                                 " COM1's in %.0f" % (1000 * ft232, 1000 * alone))
        with self.subTest("COM1 keys beside the FT232"):
            self.assertLessEqual(beside, alone + 0.030, "COM1's keys take %.0f ms (median) beside the FT232's terminal,"
                                 " %.0f before the adapter had a child" % (1000 * beside, 1000 * alone))
        rates = ft232_requests(run, "usb_serial_set_baud", self.rest, self.rest_end)
        lines = ft232_requests(run, "usb_serial_set_data", self.rest, self.rest_end)
        self.figure("FT232 terminal at rest: SET_BAUD_RATE / SET_DATA in %.0f s" % (self.rest_end - self.rest),
                    "%d / %d" % (len(rates), len(lines)))
        # The terminal checks the line's timeout every tick; a driver that never shows the one set
        # has the chip reprogrammed 50 times a second, and a key typed meanwhile can be lost.
        with self.subTest("requests at rest"):
            self.assertFalse(rates or lines, "%d baud and %d line requests at rest" % (len(rates), len(lines)))


# -- the installs: from the shell, from the stick, without the reader, beside a vendor's --

def timed_install(b, c, wants):
    t0 = time.monotonic()
    out = b.cmd("NfcKeyboardSetup.efi install")
    for want in wants:
        with c.subTest("install", want=want):
            c.assertIn(want, out, "install: %r" % out[-600:])
    return time.monotonic() - t0


def ft232_ports(b):
    # The status shows the line once as a port and once as the running keyboard.
    return sorted({l.strip() for l in b.cmd("NfcKeyboardSetup.efi status").splitlines() if "/Uart(" in l})


class InstallTimed(Scenario):
    """The installs whose seconds are figures."""
    TIMED = True

    def test_install_and_uninstall_from_the_shell(self):
        """install from the shell, reset: the card types; uninstall, reset: it types nothing,
        and the options and ConIn hold the bytes they held before the install."""
        b = machine("shell-install")
        try:
            b.run.start()
            b.next_boot()
            before = options_and_conin(b)
            self.figure("install from the shell (s)", "%.1f" % timed_install(
                b, self, ("EFI system partition: PciRoot", "Driver0000: added", "Driver0001: added", "Driver0002: added",
                          "ConIn: now holds the NFC keyboard", "NFC keyboard: running", "Installed.")))
            again = b.cmd("NfcKeyboardSetup.efi install")
            with self.subTest("second install"):
                self.assertTrue(again.count("there already") == 4 and "ConIn: holds the NFC keyboard on any USB port already" in again
                                and "runs already" in again and "added" not in again, "a second install: %r" % again[-600:])
            b.reset()
            b.next_boot()
            b.check_card_types(self)
            out = b.cmd("NfcKeyboardSetup.efi uninstall")
            with self.subTest("uninstall"):
                self.assertTrue("Uninstalled." in out and "ConIn: the NFC keyboard taken out" in out, "uninstall: %r" % out[-600:])
            b.reset()
            b.next_boot()
            with self.subTest("card types nothing"):
                self.assertFalse(b.card_on_prompt(8), "the card still types: %r" % b.run.prompt_line())
            after = options_and_conin(b)
            with self.subTest("variables given back"):
                self.assertEqual(after, before, "options and ConIn before the install:\n%s\nafter the uninstall:\n%s"
                                 % (before, after))
            b.power_off(self)
            left = esp_files(b.run.disks[0]) & INSTALLED
            with self.subTest("files removed"):
                self.assertFalse(left, "files left: %r" % left)
        finally:
            b.run.stop()

    def test_install_from_the_stick(self):
        """The stick boots to its menu; "1" installs on the machine's own disk; the stick comes
        out, "y" resets, and the machine, with no stick, types the card at its shell prompt."""
        b = machine("stick")
        stick = os.path.join(b.run.dir, "stick.img")
        shutil.copy(STICK, stick)
        b.run.stick = stick
        try:
            b.run.start()
            b.run.wait_prompt(BOOT, r"Choose 1-4: $")
            t0 = time.monotonic()
            type_keys(b.run, "1")
            b.run.wait_prompt(60, r"\(y/n\): $")
            self.figure("install from the stick's menu (s)", "%.1f" % (time.monotonic() - t0))
            text = "\n".join(b.run.console())
            with self.subTest("installed on the machine's disk"):
                self.assertTrue("NFC keyboard setup" in text and "EFI system partition: PciRoot(0x0)/Pci(0x1F,0x2)/Sata(0x1," in text,
                                "the stick installed elsewhere: %r" % text[-800:])
            b.run.unplug_stick()
            time.sleep(1)
            type_keys(b.run, "y")
            b.next_boot()
            b.check_card_types(self)
            b.power_off(self)
            files = esp_files(b.run.disks[0])
            with self.subTest("files"):
                self.assertTrue(files >= INSTALLED, "the machine's ESP holds %r" % files)
        finally:
            b.run.stop()


class Install(Scenario):
    def test_install_without_the_reader_then_other_ports(self):
        """install with no reader; the reader plugged in after the reset types; moved to
        another XHCI port and then to the UHCI, it types after each reset; uninstall with
        the reader gone leaves the options and ConIn as they were."""
        b = machine("no-reader", attach_reader=False, uhci2=True)
        ports = []
        try:
            b.run.start()
            b.next_boot()
            before = options_and_conin(b)
            timed_install(b, self, ("Driver0000: added", "ConIn: now holds the NFC keyboard",
                                    "NFC keyboard: not running yet", "Installed."))
            b.reset()
            b.next_boot()
            for bus, port in (("hc.0", "1"), ("hc.0", "3"), ("uhci.0", "2")):
                b.run.plug(bus=bus, port=port)
                time.sleep(3)
                if port != "1":
                    b.reset()
                    b.next_boot()
                b.check_card_types(self)
                ports.append(ft232_ports(b))
                b.run.unplug()
                time.sleep(2)
            out = b.cmd("NfcKeyboardSetup.efi uninstall")
            with self.subTest("uninstall"):
                self.assertIn("Uninstalled.", out, "uninstall without the reader: %r" % out[-600:])
            b.reset()
            b.next_boot()
            after = options_and_conin(b)
            with self.subTest("variables given back"):
                self.assertEqual(after, before, "options and ConIn before the install:\n%s\nafter the uninstall:\n%s"
                                 % (before, after))
            b.power_off(self)
        finally:
            b.run.stop()
        self.figure("FT232 paths on the three ports", " | ".join(p[0] if p else "-" for p in ports))
        self.assertTrue(len(ports) == 3 and all(len(p) == 1 for p in ports) and len({p[0] for p in ports}) == 3,
                        "the reader's paths: %r" % ports)

    def test_uninstall_gives_back_every_variable_and_a_foreign_option(self):
        """A vendor's Driver#### loads its own OstrelDriver.efi from \\EFI\\VendorX, with its own
        description and optional data; no ZorvikConf, ConIn as the first boot wrote it.
        install, reset, uninstall, reset: every Driver####, DriverOrder, ConIn and our own
        variables hold the bytes they held before, and the vendor's driver still loads and
        drives the FT232 while ours are gone."""
        b = Boots("foreign")
        data = os.path.join(b.run.dir, "settings.bin")
        with open(data, "wb") as f:
            f.write(b"VendorX\x00\x01\x02\x03")
        b.run.disks = [machine_disk(b, ("EFI/VendorX/OstrelDriver.efi=" + os.path.join(RELEASE, "OstrelDriver.efi"),
                                        "EFI/VendorX/Settings.bin=" + data))]
        vendor = "\\EFI\\VendorX\\OstrelDriver.efi"

        def loaded():
            # Our drivers' lines of `drivers`: the image each was loaded from, and the
            # devices it manages.
            return sorted((l.split()[-1], l.split()[5]) for l in b.cmd("drivers").splitlines()
                          if "FTDI-232 USB Serial Driver" in l or "NFC Keyboard Driver" in l)
        try:
            b.run.start()
            b.next_boot()
            # fs1 is the machine's disk; bcfg's -opt turns down a plain 0 as the index.
            b.cmd('bcfg driver add 0 fs1:%s "VendorX Serial"' % vendor)
            b.cmd("bcfg driver -opt 0x0 fs1:\\EFI\\VendorX\\Settings.bin")
            dump = b.cmd("bcfg driver dump -v")
            with self.subTest("the vendor's option"):
                self.assertTrue("VendorX Serial" in dump and "Optional- Y" in dump, "the vendor's option: %r" % dump)
            before = options_and_conin(b, ours=True)
            out = b.cmd("NfcKeyboardSetup.efi install")
            with self.subTest("install"):
                self.assertTrue("Installed." in out and "Driver0000" not in out, "install: %r" % out[-600:])
            b.reset()
            b.next_boot()
            images = [i for i, _ in loaded()]
            with self.subTest("loaded after the install"):
                self.assertEqual(images, sorted([vendor, "\\EFI\\NfcKeyboard\\OstrelDriver.efi",
                                                 "\\EFI\\NfcKeyboard\\ZorvikDxe.efi"]))
            out = b.cmd("NfcKeyboardSetup.efi uninstall")
            with self.subTest("uninstall"):
                self.assertTrue("Uninstalled." in out and "Driver0000" not in out, "uninstall: %r" % out[-600:])
            b.reset()
            b.next_boot()
            after = options_and_conin(b, ours=True)
            with self.subTest("variables given back"):
                self.assertEqual(after, before, "variables before the install:\n%s\nafter the uninstall:\n%s"
                                 % (before, after))
            drivers = loaded()
            with self.subTest("loaded after the uninstall"):
                self.assertEqual(drivers, [(vendor, "1")])
            b.power_off(self)
            files = esp_files(b.run.disks[0])
            with self.subTest("files"):
                self.assertTrue(not files & INSTALLED and "EFI/VendorX/OstrelDriver.efi" in files,
                                "the machine's ESP holds %r" % files)
        finally:
            b.run.stop()


# -- Secure Boot: OVMF enforcing it, with Debian's snakeoil certificate in db ---------------

SNAKEOIL_KEY, SNAKEOIL_CERT = "/usr/share/ovmf/PkKek-1-snakeoil.key", "/usr/share/ovmf/PkKek-1-snakeoil.pem"
# The firmware refuses a boot program it cannot verify before it runs any of it.
REFUSED = r"failed to load Boot\d+ .*/USB\(0x0,0x0\): (Access Denied|Security Violation)"


def signed_stick(folder):
    """`make usb-image` with the snakeoil pair, on the build as it is, into folder."""
    key, stick = os.path.join(folder, "db.key"), os.path.join(folder, "signed.img")
    subprocess.run(["openssl", "pkey", "-in", SNAKEOIL_KEY, "-passin", "pass:snakeoil", "-out", key],
                   check=True, timeout=30)
    # Not the variables of a make that runs this file.
    env = {k: v for k, v in os.environ.items() if k not in ("MAKEFLAGS", "MFLAGS", "MAKELEVEL")}
    # Signed into the run's own folder, from the images the run boots: a developer's own
    # signed images stay as they are.
    done = subprocess.run(["make", "-s", "-C", REPO, "-o", "build", "usb-image", "BUILD=" + BUILD,
                           "SIGN_KEY=" + key, "SIGN_CERT=" + SNAKEOIL_CERT, "USB_IMAGE=" + stick,
                           "SIGNED=" + os.path.join(folder, "signed")],
                          timeout=120, env=env, capture_output=True, text=True)
    if done.returncode != 0:
        raise HarnessError("make usb-image with the snakeoil pair: " + done.stderr.strip()[-400:])
    return stick


def nvram(path):
    """The variables of a VARS file, {(GUID bytes, name): (attributes, data)}, a later copy
    over an earlier one: the store follows the flash volume's header (its length at 0x30)
    and the store's own 28 bytes; each variable has a 60-byte header, then name and data."""
    with open(path, "rb") as f:
        fd = f.read()

    def u(at, size):
        return int.from_bytes(fd[at:at + size], "little")
    found, at = {}, u(0x30, 2) + 28
    while u(at, 2) == 0x55AA:
        names, size = u(at + 36, 4), u(at + 40, 4)
        if fd[at + 2] in (0x3F, 0x3E):  # added, or in the update that writes its next copy
            found[(fd[at + 44:at + 60], fd[at + 60:at + 60 + names].decode("utf-16-le").rstrip("\0"))] = (
                u(at + 4, 4), fd[at + 60 + names:at + 60 + names + size])
        at += (60 + names + size + 3) & ~3
    return found


class SecureBoot(Scenario):
    """Debian's shell refuses to start while Secure Boot is enforced, so these boots have no
    shell: the setup tool's menu and the boot manager's own prompt are the consoles."""

    def setUp(self):
        missing = firmware_ready("X64-SB") or next(
            ("no " + p for p in (SNAKEOIL_KEY, SNAKEOIL_CERT) if not os.path.exists(p)), None)
        if missing:
            self.skipTest(missing)

    def install_from_menu(self, b):
        type_keys(b.run, "1")
        b.run.wait_for(r"Choose 1-4: 1", 30)
        b.run.wait_prompt(60, r"(\(y/n\)|Choose 1-4): $")
        return b.run.prompt_line().endswith("(y/n): ")

    def test_signed_stick_installs_under_secure_boot(self):
        """The signed stick boots and installs; without it, after the reset, the firmware loads
        the signed drivers, and the card's first key takes the boot manager from its "Press
        any key" into its menu."""
        b = machine("secure-boot", arch="X64-SB")
        b.run.stick = stick = signed_stick(b.run.dir)
        cert = subprocess.run(["openssl", "x509", "-in", SNAKEOIL_CERT, "-outform", "DER"],
                              capture_output=True, timeout=30).stdout
        # usb-image.sh starts the partition at 1 MiB.
        held = subprocess.run(["mtype", "-i", stick + "@@1M", "::/NfcKeyboard-db.cer"], capture_output=True,
                              timeout=30, env=dict(os.environ, MTOOLS_SKIP_CHECK="1")).stdout
        with self.subTest("certificate on the stick"):
            self.assertTrue(cert and held == cert, "the stick's NfcKeyboard-db.cer is not the certificate in DER")
        try:
            b.run.start()
            b.run.wait_prompt(BOOT, r"Choose 1-4: $")
            asked = self.install_from_menu(b)
            text = "\n".join(b.run.console())
            with self.subTest("installed"):
                self.assertTrue(asked and "Installed." in text and "EFI system partition: PciRoot(0x0)/Pci(0x1F,0x2)/Sata(0x1,"
                                in text, "the signed stick did not install: %r" % text[-800:])
            if not asked:
                return
            b.run.unplug_stick()
            time.sleep(1)
            type_keys(b.run, "y")
            b.run.wait_for(r"Press any key to enter the Boot Manager Menu", BOOT)
            # Nothing else types here: the boot manager waits for the card.
            time.sleep(3)
            early = [l for l in b.run.console() if "UiApp" in l]
            b.run.sim.place(CARD)
            try:
                b.run.wait_for(r'starting Boot\d+ "UiApp"', 60)
                typed = not early
            except HarnessError:
                typed = False
            with self.subTest("the card's key"):
                self.assertTrue(typed, "the card's key did not take the boot manager on: %r" % (early or b.run.console()[-3:]))
            # Paused, QEMU has written all it was given.
            b.run.qmp("stop")
            files = esp_files(b.run.disks[0])
            with self.subTest("files"):
                self.assertTrue(files >= INSTALLED, "the machine's ESP holds %r" % files)
        finally:
            b.run.stop()

    def test_unsigned_images_change_nothing_under_secure_boot(self):
        """The unsigned stick, booted first, does not start. The next, whose setup tool alone
        is signed, starts, and its install refuses the unsigned drivers before it writes:
        the variables in NVRAM and the files on the disk and the sticks stay as they were."""
        b = machine("secure-boot-unsigned", arch="X64-SB")
        unsigned, mixed = (os.path.join(b.run.dir, n) for n in ("unsigned.img", "mixed.img"))
        shutil.copy(STICK, unsigned)
        signed_stick(b.run.dir)  # and so the signed images in the run's signed folder
        subprocess.run([os.path.join(REPO, "tools", "usb-image.sh"), mixed, "8",
                        "EFI/BOOT/BOOTX64.EFI=" + os.path.join(b.run.dir, "signed", "NfcKeyboardSetup.efi"),
                        "EFI/BOOT/OstrelDriver.efi=" + os.path.join(RELEASE, "OstrelDriver.efi"),
                        "EFI/BOOT/ZorvikDxe.efi=" + os.path.join(RELEASE, "ZorvikDxe.efi")], check=True, timeout=60)
        b.run.stick = [unsigned, mixed]
        try:
            b.run.start()
            b.run.wait_prompt(BOOT, r"Choose 1-4: $")
            before = nvram(b.run.vars_copy)
            seen = len(b.run.console())
            asked = self.install_from_menu(b)
            b.run.qmp("stop")
            after = nvram(b.run.vars_copy)
            written = {os.path.basename(p): esp_files(p) & INSTALLED for p in (b.run.disks[0], unsigned, mixed)}
        finally:
            b.run.stop()
        text = "\n".join(b.run.console())
        with self.subTest("unsigned stick refused"):
            self.assertRegex(text, REFUSED, "the unsigned stick was not refused: %r" % text[:600])
        out = "\n".join(b.run.console()[seen:])
        with self.subTest("install refused"):
            self.assertTrue(not asked and "Installed." not in out and "make sign" in out,
                            "the install of unsigned drivers: %r" % out[-600:])
        changed = sorted(k[1] for k in set(before) | set(after) if before.get(k) != after.get(k))
        with self.subTest("variables unchanged"):
            self.assertTrue(before and not changed, "the refused install changed %s" % changed)
        with self.subTest("nothing written"):
            self.assertFalse(any(written.values()), "the refused install wrote %r" % written)


if __name__ == "__main__":
    unittest.main()

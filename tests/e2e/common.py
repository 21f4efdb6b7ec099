# What the end-to-end scenarios share: the images, boot scripts, the base class, the
# machines that reset between boots, and the scenario bodies two modules run.
# SPDX-License-Identifier: BSD-2-Clause-Patent
"""Shared by the test_*.py scenario modules that run.py finds.

A scenario module holds unittest classes derived from Scenario. A class whose figures
are timings (a latency, a boot's or a command's seconds) sets TIMED = True: run.py runs
it with nothing else running. Every other class runs beside another boot. The checks
that read one boot share it, booted once in the class's setUpClass; such a class is
scheduled whole, and the classes without one a scenario at a time.
"""

import os
import re
import statistics
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import PROMPT_START, REPO, ZORVIK_GUID, HarnessError, QemuRun  # noqa: E402

# run.py hands its workers a copy of build/ taken as it started (E2E_BUILD), so a build
# that rewrites an image in place meanwhile gives no scenario half a file, and every
# scenario of a run boots the same images.
BUILD = os.environ.get("E2E_BUILD") or os.path.join(REPO, "build")
DEBUG = os.path.join(BUILD, "X64", "DEBUG")
RELEASE = os.path.join(BUILD, "X64", "RELEASE")
APP = os.path.join(DEBUG, "NfcKeyTest.efi")
STICK = os.path.join(BUILD, "nfckeyboard-usb.img")
SETUP = os.path.join(RELEASE, "NfcKeyboardSetup.efi")
CARD = "04A13F7B"
CARD7 = "04112233445566"
CARD10 = "0102030405060708090A"

# A boot to `reset -s` takes ~5 s on TCG (~10 s with the shell's countdown); the app's own
# timeouts bound the rest.
BOOT = 120
# The arches whose scenarios run, as the Makefile names them; X64's always do.
ARCHS = set(os.environ.get("ARCHS", "X64").split()) | {"X64"}


def release(arch):
    return os.path.join(BUILD, arch, "RELEASE")


def images(build=DEBUG):
    # X64 runs take the DEBUG test app with either target; other arches their build's own.
    app = APP if build in (DEBUG, RELEASE) else os.path.join(build, "NfcKeyTest.efi")
    return {"OstrelDriver.efi": os.path.join(build, "OstrelDriver.efi"),
            "ZorvikDxe.efi": os.path.join(build, "ZorvikDxe.efi"),
            "NfcKeyTest.efi": app}


def script(app, enable=True, before="", after="", load_flags="", serial_first=False, stay=False):
    # The keyboard is loaded first, so the serial child is new when it appears and the
    # firmware offers it to the keyboard (binding Version 0x10) before the terminal driver.
    lines = ["fs0:"]
    if enable:
        lines.append("setvar ZorvikConf -guid %s -bs -nv =01" % ZORVIK_GUID)
    loads = ["load %sZorvikDxe.efi" % load_flags, "load %sOstrelDriver.efi" % load_flags]
    lines += loads[::-1] if serial_first else loads
    lines += [l for l in before.split("\n") if l]
    if app:
        lines.append("NfcKeyTest.efi " + app)
    lines += [l for l in after.split("\n") if l]
    # With stay the shell waits at its prompt after the script, for commands typed in.
    lines += ["echo E2E-SCRIPT-END"] + ([] if stay else ["reset -s"])
    return "\n".join(lines) + "\n"


def side_by_side(test):
    """Marks a scenario of a TIMED class whose only time figure is a bound it checks, not
    a measurement (a waiting consumer returns within seconds, where a fault costs its whole
    timeout): it runs with the untimed boots."""
    test.timed = False
    return test


class Scenario(unittest.TestCase):
    """A scenario's checks are assert* calls; the ones that should all be reported
    whatever the others found each go in a subTest. figure() notes a measured value for
    the run's report."""

    TIMED = False
    # The arch a class boots; run.py leaves out the classes of arches not in ARCHS.
    ARCH = "X64"

    def figure(self, name, value):
        self.__dict__.setdefault("figures", []).append((name, str(value)))

    def check_card(self, run):
        with self.subTest("keys"):
            self.assertIn('keys "04A13F7B" count 8 of 8 (Success)', keys_line(run))
        with self.subTest("key records"):
            recs = key_records(run)
            self.assertTrue(len(recs) == 8 and all("scan 0000 shift 00000000 toggle 00" in r for r in recs),
                            "key records: %r" % recs[:3])

    def check_names(self, run):
        """The names the shell's drivers and devtree show, and each driver's component names."""
        console = run.console()
        text = "\n".join(console)
        for name in ("FTDI-232 USB Serial Driver", "NFC Keyboard Driver", "Velk USB Serial Adapter"):
            with self.subTest("shown", name=name):
                self.assertIn(name, text, "the shell never shows " + name)
        for drv, version, name in (("OstrelDriver", "A", "FTDI-232 USB Serial Driver"),
                                   ("ZorvikDxe", "10", "NFC Keyboard Driver")):
            want = 'eng "%s" Success en "%s" Success' % (name, name)
            with self.subTest("component names", driver=drv):
                self.assertTrue(any(l.startswith("NFCKEYTEST: driver \\%s.efi version %s " % (drv, version))
                                    and want in l for l in console), "component names of " + drv)


def boot(startup, build=DEBUG, controller="xhci", card=None, during=None, timeout=BOOT, **kw):
    """One boot to the script's end; `during(run)` may drive the simulator meanwhile."""
    run = QemuRun(images(build), startup=startup, controller=controller, card=card, **kw)
    try:
        run.start()
        if during is not None:
            during(run)
        run.wait_for(r"^E2E-SCRIPT-END", timeout)
        if not run.wait_exit(30):
            raise HarnessError("QEMU did not power off after reset -s")
        return run
    finally:
        run.stop()


# A loaded host can make QEMU's 16550 drop a few bytes, a line end among them; a record
# is then found inside the line it ran into.
def records(run, prefix, start=0):
    return [l[l.index(prefix):] for l in run.console()[start:] if prefix in l]


def keys_line(run):
    found = records(run, "NFCKEYTEST: keys ")
    return found[0] if found else ""


def keys_line_after(run):
    found = records(run, "NFCKEYTEST: keys ")
    return found[-1] if found else ""


def key_records(run):
    return records(run, "NFCKEYTEST: key ")


# The requests QEMU's FT232 decodes, as it traces them: what the chip would run.
FT232_TRACE = ("usb_serial_set_baud", "usb_serial_set_data", "usb_serial_set_flow_control")
LINE_8N1 = "parity N, data bits 8, stop bits 1"
FLOW_OFF, FLOW_RTS_CTS = "flow control 0", "flow control 1"


def ft232_requests(run, event, since=0.0, until=float("inf")):
    """What one trace event says ("baud rate 115200") for each request between two host
    times, from the device once addressed: QEMU reports its own resets at address 0."""
    found = []
    for t, _, args in run.traces(event):
        m = re.match(r"dev \d+:(\d+) (.*)", args)
        if m and m.group(1) != "0" and since <= t <= until:
            found.append(m.group(2))
    return found


def chip_rate(baud):
    """The rate the FT232 runs for baud, as QEMU's model reports it: its 3 MHz over the
    nearest divisor in eighths, so 115384 for 115200 and 9600 for 9600."""
    return 24000000 // round(24000000 / baud)


def tally(values):
    return ", ".join("%s x%d" % (v, values.count(v)) for v in sorted(set(values))) or "none"


def bs_data_pages(run):
    for line in run.command("memmap", 60):
        # The summary line: "  BS_Data   :          9,360 Pages (38,338,560 Bytes)".
        if line.strip().startswith("BS_Data") and ":" in line and "Pages" in line:
            return int(line.split(":")[1].split()[0].replace(",", ""))
    raise HarnessError("no BS_Data line in memmap")


def wait_keyboard_polls(run, since, timeout=30):
    """Waits until the reader is asked for a card (InListPassiveTarget) after host time
    since: the keyboard has probed the line, installed its protocols and polls. Returns
    the seconds it took from since."""
    deadline = time.monotonic() + timeout
    while True:
        heard = b"".join(bytes.fromhex(text) for t, _, way, text in list(run.sim.frames) if way == "in" and t >= since)
        if b"\xd4\x4a" in heard:
            return time.monotonic() - since
        if time.monotonic() > deadline:
            raise HarnessError("the keyboard did not poll the reader within %ds" % timeout)
        time.sleep(0.05)


def read_card_once(run):
    """Runs the app and places the card (one report) once it waits for its keys: a
    keyboard that joined the console would hand them to the shell otherwise."""
    first = len(run.lines)
    run.send("NfcKeyTest.efi -n 8 -t 20")
    run.wait_for(r"NFCKEYTEST: controller \\OstrelDriver", 60, start=first)
    run.sim.place(CARD, answers=1)
    run.wait_for(r"NFCKEYTEST: keys ", 60, start=first)
    run.wait_prompt(30)
    return records(run, "NFCKEYTEST: keys ", first)


def echo_times(run, keys, send):
    """Types keys one at a time, each once the one before came back on COM1: the seconds
    each took to come back, None for one that did not within 3 s."""
    took = []
    for key in keys:
        start = run.com1_bytes.size()
        sent = time.monotonic()
        send(key.encode())
        try:
            took.append(run.com1_bytes.wait(key, 3, start) - sent)
        except HarnessError:
            took.append(None)
    return took


def echo_figure(took):
    """The median of the echo times that came, and the figure's text."""
    came = [t for t in took if t is not None]
    median = statistics.median(came) if came else float("inf")
    return median, "%.0f / %s (%d of %d)" % (1000 * median, "%.0f" % (1000 * max(came)) if came else "-",
                                              len(came), len(took))


# -- bodies run for X64 and for the other arches ------------------------------------

def replug_rounds(case, controller, arch="X64"):
    """A replug while the shell is busy, then three while it waits at its prompt, each
    followed by a card read; then the same reads without the unplug, as the control for
    pool growth; last, an unplug under a consumer waiting for a key."""
    run = QemuRun(images(DEBUG if arch == "X64" else release(arch)), startup=script("-n 8 -t 30", stay=True),
                  controller=controller, name="replug-" + controller, answer_pending=False, arch=arch)
    if arch != "X64":
        controller = "%s %s" % (arch, controller)  # for the figures
    # Each read gets one report of the card, so no key is left to type into the shell.
    run.sim.place(CARD, answers=1)
    try:
        run.start()
        run.wait_for(r"^E2E-SCRIPT-END", BOOT)
        run.wait_prompt(30)
        with case.subTest("first read"):
            case.assertIn("count 8 of 8 (Success)", keys_line(run))

        def replug(busy):
            run.unplug()
            time.sleep(2)
            if busy:
                # Plugged back in while the shell is busy at TPL_APPLICATION, so the bus
                # driver's enumeration runs inside the timer interrupt.
                first = len(run.lines)
                run.send("stall 4000000")
                run.wait_for(r"stall 4000000\s*$", 30, start=first)
                time.sleep(0.5)
            plugged = time.monotonic()
            run.plug()
            run.wait_prompt(60)
            # The keyboard may have the line only once the shell is idle again.
            wait_keyboard_polls(run, plugged)

        def rounds(what, count, plug=None):
            for n in range(count):
                if plug is not None:
                    plug()
                keys = read_card_once(run)
                with case.subTest(what, round=n + 1):
                    case.assertTrue(keys and "count 8 of 8 (Success)" in keys[0], "%r" % keys)

        # Inside the interrupt the keyboard cannot probe the new line; the terminal driver
        # has it until the clock runs and the keyboard takes it over.
        rounds("busy replug", 1, lambda: replug(True))
        growth = {}
        for plugging in (True, False):
            before = bs_data_pages(run)
            rounds("replug" if plugging else "control", 3, (lambda: replug(False)) if plugging else None)
            growth[plugging] = bs_data_pages(run) - before
        case.figure("%s: BS_Data pages over 3 replugs / 3 control rounds" % controller,
                    "%d / %d" % (growth[True], growth[False]))
        with case.subTest("pool growth"):
            case.assertLessEqual(growth[True], growth[False], "replugs grew BS_Data by %d pages, the control by %d"
                                 % (growth[True], growth[False]))

        # A consumer waiting for a key when the reader goes: it must come back.
        first = len(run.lines)
        run.send("NfcKeyTest.efi -n 8 -t 30")
        run.wait_for(r"NFCKEYTEST: controller \\OstrelDriver", 60, start=first)
        time.sleep(1)
        run.unplug()
        unplugged = time.monotonic()
        _, t, _ = run.wait_for(r"NFCKEYTEST: keys ", 20, start=first)
        run.wait_prompt(30)
        case.figure("%s: unplug -> waiting consumer returns" % controller,
                    "%.1f s: %s" % (t - unplugged, keys_line_after(run)))
        out = run.command("echo E2E-ALIVE", 60)
        with case.subTest("alive"):
            case.assertIn("E2E-ALIVE", out, "the shell does not answer after the unplug")
        run.send("reset -s")
        with case.subTest("power-off"):
            case.assertTrue(run.wait_exit(30), "no power-off")
    finally:
        run.stop()
    raw = bytes(run.raw_data)
    case.assertTrue(b"!!!! " not in raw and b"ASSERT" not in raw, "a CPU exception or an ASSERT on COM1")


def placement_latency(case, arch="X64"):
    placements = 12
    latencies = []

    def during(run):
        run.wait_for(r"NFCKEYTEST: serial lines 1 keyboards 1", BOOT)
        seen = 0
        for n in range(placements):
            # Wait out a random share of the poll period so placements fall at every phase.
            time.sleep(0.6 + (n * 0.37) % 0.5)
            run.sim.place(CARD, answers=1)
            placed = time.monotonic()
            i, t, _ = run.wait_for(r"NFCKEYTEST: key %d " % (seen + 1), 30)
            latencies.append(t - placed)
            seen += 8
            run.wait_for(r"NFCKEYTEST: key %d " % seen, 30)

    run = boot(script("-n %d -t 90" % (8 * placements)), during=during, answer_pending=False, timeout=150,
               **({} if arch == "X64" else dict(build=release(arch), arch=arch)))
    with case.subTest("keys"):
        case.assertIn("count %d of %d (Success)" % (8 * placements, 8 * placements), keys_line(run))
    with case.subTest("placements"):
        case.assertEqual(len(latencies), placements)
    if latencies:
        on = "" if arch == "X64" else ", " + arch
        case.figure("card placed -> first key read, median (ms)" + on, "%.0f" % (1000 * statistics.median(latencies)))
        case.figure("card placed -> first key read, max (ms)" + on, "%.0f" % (1000 * max(latencies)))
        case.figure("placements" + on, str(len(latencies)))


# -- machines that keep their NVRAM across resets, for the installs --------------------

INSTALLED = {"EFI/NfcKeyboard/" + n for n in ("OstrelDriver.efi", "UsbUartDxe.efi", "ZorvikDxe.efi", "NfcKeyboardSetup.efi")}
# The card's characters as the shell echoes them on its own prompt line.
PROMPT_CARD = PROMPT_START + "(%s)" % CARD
# What the keyboard sends a reader: the wake-up bytes, and any host-to-controller frame.
PN532_BYTES = (b"\x55\x55\x00\x00\x00", b"\x00\x00\xff\x02\xfe\xd4")


def installed_images(app=False):
    # The images a user copies to the ESP; RELEASE, so no log line lands on the prompt line.
    found = {"OstrelDriver.efi": os.path.join(RELEASE, "OstrelDriver.efi"),
             "UsbUartDxe.efi": os.path.join(RELEASE, "UsbUartDxe.efi"),
             "ZorvikDxe.efi": os.path.join(RELEASE, "ZorvikDxe.efi"),
             "NfcKeyboardSetup.efi": SETUP}
    if app:
        found["NfcKeyTest.efi"] = os.path.join(RELEASE, "NfcKeyTest.efi")
    return found


class Boots:
    """One QEMU that resets between boots and keeps its VARS copy; every boot's
    startup.nsh only marks the boot and changes to fs0:, the rest is typed in."""
    def __init__(self, name, **kw):
        self.run = QemuRun(installed_images(app=True), startup="echo E2E-BOOT\nfs0:\n", name=name,
                           reboot=True, **kw)
        self.seen = -1

    def next_boot(self):
        self.seen, _, _ = self.run.wait_for(r"^E2E-BOOT", BOOT, start=self.seen + 1)
        self.run.wait_prompt(30)

    def timed_boots(self, count):
        """Resets count times; the seconds from each reset to its boot's first script line."""
        seconds = []
        for _ in range(count):
            t0 = time.monotonic()
            self.reset()
            self.next_boot()
            seconds.append(self.run.lines[self.seen][0] - t0)
        return seconds

    def cmd(self, line):
        return "\n".join(self.run.command(line, 60))

    def reset(self):
        self.run.send("reset")

    def install(self, c):
        """Types the install of "Use it on a real machine" into the shell."""
        out = "\n".join([self.cmd('bcfg driver add 0 fs0:\\OstrelDriver.efi "FTDI-232 USB Serial Driver"'),
                         self.cmd('bcfg driver add 1 fs0:\\ZorvikDxe.efi "NFC Keyboard Driver"'),
                         self.cmd("NfcKeyboardSetup.efi enable"),
                         self.cmd("load ZorvikDxe.efi"),
                         self.cmd("load OstrelDriver.efi"),
                         self.cmd("NfcKeyboardSetup.efi console add")])
        with c.subTest("console add"):
            c.assertIn("ConIn now holds the NFC keyboard", out, "console add: %r" % out[-400:])

    def install_and_reboot(self, c):
        """Starts QEMU, types the install into the first boot, resets, and checks that
        the card reaches the prompt line of the second boot, where nothing was loaded by
        hand: the firmware did it all."""
        self.run.start()
        self.next_boot()
        self.install(c)
        self.reset()
        self.next_boot()
        self.check_card_types(c)

    def check_card_types(self, c):
        with c.subTest("card on the prompt", machine=self.run.name):
            c.assertTrue(self.card_on_prompt(20), "the card never reached the prompt line: %r" % self.run.prompt_line())
        self.clear_prompt()

    def card_on_prompt(self, timeout):
        """Places the card; True when the prompt line shows its characters in time."""
        self.run.sim.place(CARD)
        try:
            self.run.wait_prompt(timeout, PROMPT_CARD)
            return True
        except HarnessError:
            return False
        finally:
            self.run.sim.remove()

    def clear_prompt(self):
        # What the card typed runs as an unknown command; the next prompt comes clean.
        time.sleep(1.5)
        self.run.send("")
        self.run.wait_prompt(30)

    def port_settings(self, uid):
        """The settings NfcKeyTest reads off the platform port Serial(uid)."""
        out = self.cmd("NfcKeyTest.efi -n 0")
        for line in out.splitlines():
            if line.startswith("NFCKEYTEST: port ") and "/Serial(0x%X)" % uid in line:
                return line.split(" baud ", 1)[1]
        return None

    def check_status_and_power_off(self, c, wants):
        status = self.cmd("NfcKeyboardSetup.efi status")
        for want in wants:
            with c.subTest("status", want=want):
                c.assertIn(want, status)
        self.power_off(c)

    def power_off(self, c):
        self.run.send("reset -s")
        with c.subTest("power-off", machine=self.run.name):
            c.assertTrue(self.run.wait_exit(30), "no power-off")


def machine_disk(b, files=()):
    """The machine's own disk: a GPT with an EFI system partition, in the run's folder;
    empty, or holding files, DEST=SOURCE pairs as tools/usb-image.sh takes them."""
    path = os.path.join(b.run.dir, "disk.img")
    subprocess.run([os.path.join(REPO, "tools", "usb-image.sh"), path, "16"] + list(files), check=True, timeout=60)
    return path


def machine(name, **kw):
    b = Boots(name, **kw)
    b.run.disks = [machine_disk(b)]
    return b


def options_and_conin(b, ours=False):
    """The load options, DriverOrder and ConIn as the shell dumps their bytes (the
    command lines left out: the first after a boot comes after the script's lines);
    with ours, every variable of our GUID too (ZorvikConf, NfcKeyboardUndo)."""
    out = b.cmd("dmpstore Driver*") + "\n" + b.cmd("dmpstore ConIn")
    if ours:
        out += "\n" + b.cmd("dmpstore -guid " + ZORVIK_GUID)
    # One block per variable, sorted: the store lists a variable written again after the
    # others, and that order is nobody's to give back.
    blocks = []
    for l in out.splitlines():
        if re.match(r"\s*[0-9A-F]{8}: ", l) and blocks:
            blocks[-1] += "\n" + l
        elif re.match(r"\s*(Variable |dmpstore: )", l):
            blocks.append(l)
    return "\n".join(sorted(blocks))


def type_keys(run, text):
    # Keys one by one, with no line end: the menu reads single keys.
    for ch in text:
        run.com1.sendall(ch.encode())
        time.sleep(0.05)

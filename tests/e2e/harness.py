# OVMF under QEMU with an emulated FT232 wired to the PN532 simulator.
# SPDX-License-Identifier: BSD-2-Clause-Patent
"""Boots OVMF in QEMU with our images on an ESP and talks to its shell over COM1.

    from harness import QemuRun
    run = QemuRun(images={"OstrelDriver.efi": path, ...}, startup="fs0:\\r\\n...",
                  controller="xhci", card="04A13F7B")
    try:
        run.start()                       # simulator first, then QEMU
        run.wait_for(r"NFCKEYTEST: done", 60)
        run.send("drivers")               # types a line into the shell (COM1 is ConIn)
        run.wait_prompt(30)
        run.wait_exit(30)                 # after the script's `reset -s`
    finally:
        run.stop()                        # always ends QEMU and the simulator

What it sets up, in a fresh temporary folder per run:
  - ESP/: the images given, and startup.nsh when a script is given (the shell
    runs it after its countdown; without one the shell waits at its prompt).
  - The shell's 5 s countdown, which it shows with or without a script, is cut short
    with a key typed into COM1 once it shows; countdown=True (or run.countdown set so
    meanwhile) sits it out, as a machine nobody types at does.
  - A fresh copy of OVMF_VARS_4M.fd, so no variable leaks from run to run.
  - nfc.sock: the PN532 simulator (tools/pn532sim.py, in this process) listens,
    QEMU connects as the client; QEMU's FT232 attaches only once it is connected.
    With raw_line=True a bare socket (RawLine, run.line) takes the simulator's
    place: it keeps every byte QEMU writes to the FT232, in ft232.raw and with
    host times, and types what the test sends.
  - trace: QEMU trace events to enable (`qemu-system-x86_64 -trace help`). Debian
    builds QEMU with the log backend, which prints them to QEMU's stderr; stderr is
    kept in qemu.err, and run.traces() gives the events with host times.
  - disks: raw images attached as further AHCI disks after the ESP folder (which
    stays the shell's fs0), as the machine's own disks; stick: a raw image (or a list
    of them, booted in that order, ids stick, stick1, ...) on the
    XHCI as a USB mass-storage device the firmware boots first (bootindex 0).
  - com1.sock: COM1, where the shell's console and the drivers' DEBUG log lines
    meet. The harness listens, QEMU connects; what QEMU writes is kept raw in
    com1.raw, and split into console lines (terminal escapes stripped) and log
    lines "[Module | LEVEL] text", each with the host time it arrived. A log
    line written in the middle of a console line is taken out of it, so markers
    are found whole.
Every wait is bounded; stop() kills QEMU's process group when it has not ended.
Runs use KVM only when a short probe boot proved that it runs OVMF on this host
(some hosts have a /dev/kvm that stops OVMF at its first instructions); TCG
otherwise. E2E_ACCEL=tcg or E2E_ACCEL=kvm overrides the probe.
"""

import bisect
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(REPO, "tools"))
import bridgesim  # noqa: E402
import pn532sim  # noqa: E402

OVMF_CODE = "/usr/share/OVMF/OVMF_CODE_4M.fd"
OVMF_VARS = "/usr/share/OVMF/OVMF_VARS_4M.fd"

# Per arch: the Debian package with the firmware, its code and NVRAM files, the QEMU
# binary and the machine. The IA32 firmware Debian ships is built with SMM and secure
# boot, so it wants q35 with SMM and its flash secure; the AArch64 one boots on virt,
# which has no IDE, so the ESP folder is a virtio disk there.
FIRMWARE = {
    "X64": dict(package="ovmf", code=OVMF_CODE, vars=OVMF_VARS, qemu="qemu-system-x86_64",
                machine=["-machine", "q35,accel={accel}"], esp=[]),
    "IA32": dict(package="ovmf-ia32", code="/usr/share/OVMF/OVMF32_CODE_4M.secboot.fd",
                 vars="/usr/share/OVMF/OVMF32_VARS_4M.fd", qemu="qemu-system-i386",
                 machine=["-machine", "q35,smm=on,accel={accel}",
                          "-global", "driver=cfi.pflash01,property=secure,value=on"], esp=[]),
    # X64 with Secure Boot enforced: the SMM build, as IA32's, and NVRAM whose PK, KEK and
    # db hold Debian's snakeoil certificate (key and certificate in /usr/share/ovmf).
    "X64-SB": dict(package="ovmf", code="/usr/share/OVMF/OVMF_CODE_4M.secboot.fd",
                   vars="/usr/share/OVMF/OVMF_VARS_4M.snakeoil.fd", qemu="qemu-system-x86_64",
                   machine=["-machine", "q35,smm=on,accel={accel}",
                            "-global", "driver=cfi.pflash01,property=secure,value=on"], esp=[]),
    "AARCH64": dict(package="qemu-efi-aarch64", code="/usr/share/AAVMF/AAVMF_CODE.fd",
                    vars="/usr/share/AAVMF/AAVMF_VARS.fd", qemu="qemu-system-aarch64",
                    machine=["-machine", "virt,accel=tcg", "-cpu", "max"], memory=512,
                    esp=["if=none,id=esp", "-device", "virtio-blk-pci,drive=esp"]),
}


def firmware_ready(arch):
    """None when the arch's firmware and QEMU are installed, else what is missing."""
    fw = FIRMWARE[arch]
    if not (os.path.exists(fw["code"]) and os.path.exists(fw["vars"])):
        return "no %s firmware (package %s)" % (arch, fw["package"])
    if shutil.which(fw["qemu"]) is None:
        return "no " + fw["qemu"]
    return None


def dec_guid(name):
    """A GUID of NfcKeyboardPkg.dec in the shell's form, 8-4-4-4-12 hexadecimal digits."""
    with open(os.path.join(REPO, "NfcKeyboardPkg.dec")) as dec:
        line = re.search(r"^\s*%s\s*=\s*\{(.*)\}\s*$" % name, dec.read(), re.M)
    fields = [int(v, 16) for v in re.findall(r"0x([0-9A-Fa-f]+)", line.group(1))]
    assert len(fields) == 11, "%s: %r" % (name, line.group(0))
    return "%08X-%04X-%04X-%02X%02X-" % tuple(fields[:5]) + "".join("%02X" % b for b in fields[5:])


ZORVIK_GUID = dec_guid("gZorvikConfGuid")

ESCAPE = re.compile(r"\x1b(\[[0-9;?]*[ -/]*[@-~]|[()][0-9A-Za-z]|[=>78cDEHM])")
# An escape still arriving, at the end of what came so far.
ESCAPE_TAIL = re.compile(r"\x1b(\[[0-9;?]*[ -/]*|[()])?$")
LOG_START = re.compile(r"\[(OstrelDriver|ZorvikDxe) \| ")
LOG_LINE = re.compile(r"\[(OstrelDriver|ZorvikDxe) \| (INFO|WARN|ERROR|)\] (.*)", re.S)
# The test app prints each of its lines whole, above the drivers' notify TPL, so a log
# line never cuts one; a log line that lost its line end still stops where one starts.
RECORD_START = re.compile(r"NFCKEYTEST: ")
# The shell prompt as it starts a line; PROMPT is the prompt alone, waiting for input.
PROMPT_START = r"(Shell|FS\d+:\\[^>]*)> ?"
PROMPT = re.compile(PROMPT_START + "$")
COUNTDOWN = re.compile(r"Press ESC in \d+ seconds? to skip startup\.nsh or any other key to continue\.")


class HarnessError(Exception):
    pass


FT232_DEVICE = "usb-serial,chardev=nfc,bus=hc.0,id=ft232"
BRIDGE_DEVICE = "usb-redir,chardev=nfc,bus=hc.0,id=ft232"


_accel = None


def accelerator():
    """"kvm" or "tcg", chosen once per process and printed once."""
    global _accel
    if _accel is None:
        forced = os.environ.get("E2E_ACCEL", "")
        if forced:
            if forced not in ("kvm", "tcg"):
                raise HarnessError("E2E_ACCEL is kvm or tcg, not %r" % forced)
            _accel, why = forced, "E2E_ACCEL"
        elif not (os.path.exists("/dev/kvm") and os.access("/dev/kvm", os.W_OK)):
            _accel, why = "tcg", "no usable /dev/kvm"
        else:
            ok, why = probe_kvm()
            _accel = "kvm" if ok else "tcg"
        print("e2e: accelerator %s (%s)" % (_accel, why), flush=True)
    return _accel


def use_accelerator(accel):
    """Takes the accelerator a runner chose and printed once, for every QEMU of this process."""
    global _accel
    if accel not in ("kvm", "tcg"):
        raise HarnessError("the accelerator is kvm or tcg, not %r" % accel)
    _accel = accel


def probe_kvm(timeout=30):
    """Boots OVMF under KVM until its boot manager writes to COM1. Returns (ok, why)."""
    folder = tempfile.mkdtemp(prefix="nfc-e2e-kvm-probe-")
    com1 = os.path.join(folder, "com1.txt")
    out = os.path.join(folder, "qemu.out")
    vars_copy = os.path.join(folder, "vars.fd")
    shutil.copy(OVMF_VARS, vars_copy)
    cmd = ["qemu-system-x86_64", "-machine", "q35,accel=kvm", "-nodefaults", "-display", "none",
           "-m", "256", "-no-reboot",
           "-drive", "if=pflash,format=raw,unit=0,readonly=on,file=" + OVMF_CODE,
           "-drive", "if=pflash,format=raw,unit=1,file=" + vars_copy,
           "-chardev", "file,id=com1,path=" + com1, "-serial", "chardev:com1"]
    qemu = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=open(out, "w"),
                            stderr=subprocess.STDOUT, start_new_session=True)
    deadline = time.monotonic() + timeout
    ok, why = False, "no output from OVMF within %ds under KVM" % timeout
    try:
        while time.monotonic() < deadline:
            with open(out, errors="replace") as f:
                text = f.read()
            if "KVM internal error" in text or "emulation failure" in text:
                why = "KVM stops OVMF here: KVM internal error"
                break
            if os.path.exists(com1) and b"BdsDxe" in open(com1, "rb").read():
                ok, why = True, "a probe boot of OVMF ran under KVM"
                break
            if qemu.poll() is not None:
                why = "QEMU ended under KVM: " + text.strip()[-200:]
                break
            time.sleep(0.2)
    finally:
        if qemu.poll() is None:
            os.killpg(qemu.pid, signal.SIGKILL)
        qemu.wait(10)
        shutil.rmtree(folder, ignore_errors=True)
    return ok, why


def esp_files(image):
    """The paths of the files in the EFI System partition (the first) of a GPT image,
    like "EFI/BOOT/BOOTX64.EFI"."""
    env = dict(os.environ, MTOOLS_SKIP_CHECK="1")
    try:
        gpt = subprocess.run(["sgdisk", "-i", "1", image], capture_output=True, text=True)
        first = re.search(r"^First sector: (\d+)", gpt.stdout, re.M)
        if gpt.returncode != 0 or first is None:
            raise HarnessError("no partition 1 in %s: %s" % (image, (gpt.stdout + gpt.stderr).strip()))
        fat = subprocess.run(["mdir", "-/", "-b", "-i", "%s@@%d" % (image, int(first.group(1)) * 512),
                              "::/"], capture_output=True, text=True, env=env)
    except OSError as e:
        raise HarnessError("esp_files: %s (packages gdisk, mtools)" % e)
    if fat.returncode != 0:
        if 'File "::/" not found' in fat.stderr:
            return set()  # mdir's answer for a root with nothing in it
        raise HarnessError("mdir %s: %s" % (image, fat.stderr.strip()))
    return {line[3:] for line in fat.stdout.splitlines() if line.startswith("::/") and not line.endswith("/")}


class ByteStream:
    """The bytes a peer received, each chunk with the host time it came."""

    def __init__(self):
        self.data = bytearray()
        self.ends = []  # end offset of each chunk in data
        self.times = []  # host time each chunk came
        self.cond = threading.Condition()

    def add(self, data, now):
        with self.cond:
            self.data += data
            self.ends.append(len(self.data))
            self.times.append(now)
            self.cond.notify_all()

    def size(self):
        with self.cond:
            return len(self.data)

    def wait(self, needle, timeout, start=0):
        """Waits until needle shows in the text from offset start on, terminal escapes left
        out (a cursor escape holds letters too). Returns the host time of the chunk that
        completed it; raises HarnessError on timeout."""
        deadline = time.monotonic() + timeout
        with self.cond:
            while True:
                for n in range(bisect.bisect_right(self.ends, start), len(self.ends)):
                    if needle in self._text(start, self.ends[n]):
                        return self.times[n]
                left = deadline - time.monotonic()
                if left <= 0:
                    raise HarnessError("no %r within %gs" % (needle, timeout))
                self.cond.wait(min(left, 0.5))

    def _text(self, start, end):
        # A start inside an escape would leave its tail (digits, a final letter) as text:
        # the text begins at the escape then.
        opening = self.data.rfind(b"\x1b", max(0, start - 16), start)
        if opening >= 0:
            m = ESCAPE.match(self.data[opening:end].decode("latin-1"))
            if m is None or opening + m.end() > start:
                start = opening
        return ESCAPE_TAIL.sub("", ESCAPE.sub("", self.data[start:end].decode("latin-1")))


class RawLine:
    """The FT232's far end as a bare socket, in the simulator's place: whatever QEMU writes
    to the line is kept (bytes, in the file given too), send() types into it."""

    def __init__(self, path, log):
        self.path = path
        self.log = log
        self.received = ByteStream()
        self.connected = threading.Event()
        self.listener = self.conn = self.thread = None

    def start(self):
        self.listener = pn532sim.listen(self.path)
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()
        return self

    def _serve(self):
        try:
            self.conn, _ = self.listener.accept()
        except OSError:
            return
        self.connected.set()
        while True:
            try:
                data = self.conn.recv(65536)
            except OSError:
                break
            if not data:
                break
            self.received.add(data, time.monotonic())
            self.log.write(data)
            self.log.flush()

    def send(self, data):
        self.conn.sendall(data)

    def stop(self):
        pn532sim.hang_up(self.path, self.thread, self.conn, self.listener)
        self.log.close()


# One event as Debian's QEMU prints it with -msg timestamp=on: "PID@SECONDS.MICROS:name args".
TRACE_LINE = re.compile(r"^\d+@(\d+\.\d+):(\w+) (.*)$")


class QemuRun:
    def __init__(self, images, startup=None, controller="xhci", card=None,
                 name="run", keep=None, answer_pending=True, memory=256, reboot=False,
                 vars_from=None, com2=False, disks=(), stick=None, uhci2=False,
                 attach_reader=True, arch="X64", raw_line=False, trace=(), countdown=False, bridge=None):
        if raw_line and card:
            raise HarnessError("a raw line has no reader to hold a card")
        self.images = dict(images)
        self.arch = arch
        self.fw = FIRMWARE[arch]
        # The machine's own disks (AHCI, after the ESP folder) and a USB stick it boots;
        # a second USB controller (UHCI, id uhci) to move the FT232 to; attach_reader=False
        # starts without the FT232, for a later plug().
        self.disks = list(disks)
        self.stick = stick
        self.uhci2 = uhci2
        self.attach_reader = attach_reader
        # The NVRAM to boot with (a VARS file an earlier run kept), and a second 16550
        # port with nothing attached, as on a machine with two serial ports.
        self.vars_from = vars_from or self.fw["vars"]
        self.com2 = com2
        self.startup = startup
        self.controller = controller
        self.name = name
        self.memory = memory
        # A reboot keeps the same QEMU and its VARS copy, as a machine keeps its NVRAM.
        self.reboot = reboot
        self.dir = tempfile.mkdtemp(prefix="nfc-e2e-%s-" % name)
        self.keep = keep if keep is not None else os.environ.get("E2E_KEEP") == "1"
        self.trace = list(trace)
        self._traces = None
        self.countdown = countdown
        self.countdown_cut = False  # a key was typed into the countdown on the current line
        if raw_line:
            self.sim = self.line = RawLine(os.path.join(self.dir, "nfc.sock"), open(os.path.join(self.dir, "ft232.raw"), "wb"))
        else:
            self.sim = pn532sim.Pn532Sim(os.path.join(self.dir, "nfc.sock"),
                                         log=open(os.path.join(self.dir, "pn532.log"), "w"),
                                         answer_pending=answer_pending)
            if card:
                self.sim.place(card)
        # bridge: a chip model of tools/bridgesim.py (usb-redir) carries the reader's line in
        # place of QEMU's FT232; run.bridge records what the chip was told.
        self.bridge = None
        if bridge is not None:
            self.bridge = bridgesim.BridgeSim(bridge, os.path.join(self.dir, "redir.sock"), self.sim.path,
                                              log=open(os.path.join(self.dir, "bridge.log"), "w"))
        self.qemu = None
        self.com1_listener = None
        self.com1 = None
        self.reader = None
        self.lock = threading.Condition()
        self.lines = []  # (host time, console line)
        self.logs = []  # (host time, module, level, text)
        self.partial = ""  # console text after the last newline
        self.prefix = ""  # console text a log line cut off
        self.raw = open(os.path.join(self.dir, "com1.raw"), "wb")
        self.started_at = None
        self.com1_bytes = ByteStream()
        self.raw_data = self.com1_bytes.data

    # -- life -----------------------------------------------------------------
    def start(self):
        esp = os.path.join(self.dir, "esp")
        os.makedirs(esp)
        for name, path in self.images.items():
            if not os.path.exists(path):
                raise HarnessError("missing image " + path)
            shutil.copy(path, os.path.join(esp, name))
        if self.startup is not None:
            text = self.startup.replace("\r\n", "\n").replace("\n", "\r\n")
            with open(os.path.join(esp, "startup.nsh"), "w", newline="") as f:
                f.write(text)
        vars_copy = os.path.join(self.dir, "vars.fd")
        shutil.copy(self.vars_from, vars_copy)
        self.vars_copy = vars_copy

        # COM1 over loopback TCP, not a Unix socket: QEMU's 16550 hands the chardev one byte
        # per write, and a Unix stream socket charges each such write a whole buffer's
        # overhead, so a reader that falls a few milliseconds behind on a loaded host fills
        # it after a few hundred bytes; QEMU then drops characters and stalls the port.
        self.com1_listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.com1_listener.bind(("127.0.0.1", 0))
        self.com1_listener.listen(1)
        com1_port = self.com1_listener.getsockname()[1]
        sticks = [self.stick] if isinstance(self.stick, str) else list(self.stick or ())
        for path in self.disks + sticks:
            if not os.path.exists(path):
                raise HarnessError("missing disk image " + path)
        if len(self.disks) > 5 or (self.disks and self.arch == "AARCH64"):
            raise HarnessError("q35's AHCI takes five disks besides the ESP; virt takes none here")
        self.sim.start()
        if self.bridge is not None:
            self.bridge.start()

        if self.controller == "xhci":
            hc = ["-device", "qemu-xhci,id=hc"]
        elif self.controller == "uhci":
            hc = ["-device", "piix3-usb-uhci,id=hc"]
        else:
            raise HarnessError("controller is xhci or uhci")
        if self.uhci2:
            hc += ["-device", "piix3-usb-uhci,id=uhci"]
        for n, path in enumerate(self.disks):
            hc += ["-drive", "file=%s,format=raw,if=none,id=disk%d" % (path, n),
                   "-device", "ide-hd,drive=disk%d,bus=ide.%d" % (n, n + 1)]
        for n, path in enumerate(sticks):
            name = "stick%s" % (n or "")
            hc += ["-drive", "if=none,id=%sdrive,file=%s,format=raw" % (name, path),
                   "-device", "usb-storage,bus=hc.0,drive=%sdrive,id=%s,bootindex=%d" % (name, name, n)]
        fw = self.fw
        accel = accelerator() if "{accel}" in "".join(fw["machine"]) else "tcg"
        esp_drive = ",".join(["file=fat:rw:%s,format=raw" % esp] + fw["esp"][:1])
        cmd = [fw["qemu"]] + [a.format(accel=accel) for a in fw["machine"]] + [
               "-nodefaults", "-display", "none", "-m", str(max(self.memory, fw.get("memory", 0))),
               "-drive", "if=pflash,format=raw,unit=0,readonly=on,file=" + fw["code"],
               "-drive", "if=pflash,format=raw,unit=1,file=" + vars_copy,
               "-drive", esp_drive] + fw["esp"][1:] + [
               "-chardev", "socket,id=com1,host=127.0.0.1,port=%d" % com1_port,
               "-serial", "chardev:com1",
               ] + (["-serial", "null"] if self.com2 else []) + hc + [
               "-chardev", "socket,id=nfc,path=" + (self.bridge or self.sim).path,
               ] + (["-device", BRIDGE_DEVICE if self.bridge else FT232_DEVICE] if self.attach_reader else [])
        # QMP, for plugging the FT232 out and back in as a user would.
        self.qmp_path = os.path.join(self.dir, "qmp.sock")
        cmd += ["-qmp", "unix:%s,server=on,wait=off" % self.qmp_path]
        if os.environ.get("E2E_MONITOR") == "1":
            # A monitor socket in the run folder, to look at a guest that stopped answering.
            cmd += ["-monitor", "unix:%s,server,nowait" % os.path.join(self.dir, "monitor.sock")]
        if not self.reboot:
            cmd.append("-no-reboot")
        if self.trace:
            cmd += ["-msg", "timestamp=on"]
            for event in self.trace:
                cmd += ["-trace", event]
        self.started_at = time.monotonic()
        # The events carry the host's wall clock; the harness times everything else on
        # the monotonic one.
        self.wall_offset = time.time() - time.monotonic()
        self.qemu = subprocess.Popen(cmd, stdin=subprocess.DEVNULL,
                                     stdout=open(os.path.join(self.dir, "qemu.out"), "w"),
                                     stderr=open(os.path.join(self.dir, "qemu.err"), "w"),
                                     start_new_session=True)
        self.com1_listener.settimeout(20)
        try:
            self.com1, _ = self.com1_listener.accept()
        except socket.timeout:
            raise HarnessError("QEMU did not connect COM1: " + self._qemu_out())
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        # The chardev connects as QEMU starts, with or without the FT232 on it.
        if self.attach_reader and not (self.bridge or self.sim).connected.wait(20):
            raise HarnessError("QEMU did not connect the FT232 line")
        return self

    def stop(self):
        if self.qemu is not None and self.qemu.poll() is None:
            for sig, wait in ((signal.SIGTERM, 5), (signal.SIGKILL, 5)):
                try:
                    os.killpg(self.qemu.pid, sig)
                except ProcessLookupError:
                    break
                try:
                    self.qemu.wait(wait)
                    break
                except subprocess.TimeoutExpired:
                    continue
        for s in (self.com1, self.com1_listener):
            if s is not None:
                try:
                    s.close()
                except OSError:
                    pass
        if self.reader is not None:
            self.reader.join(5)
        if self.bridge is not None:
            self.bridge.stop()
        self.sim.stop()
        self.raw.close()
        if self.trace:
            self._traces = self._read_traces()
        with open(os.path.join(self.dir, "console.txt"), "w") as f:
            for t, line in self.lines:
                f.write("%8.3f %s\n" % (t - (self.started_at or t), line))
            for t, m, lv, text in self.logs:
                f.write("%8.3f LOG [%s | %s] %s\n" % (t - (self.started_at or t), m, lv, text))
        if not self.keep:
            shutil.rmtree(self.dir, ignore_errors=True)

    def qmp(self, execute, timeout=10, **arguments):
        """Runs one QMP command; returns its "return" value, raises HarnessError on an error."""
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.settimeout(timeout)
            s.connect(self.qmp_path)
            stream = s.makefile("rwb")

            def answer():
                while True:
                    line = stream.readline()
                    if not line:
                        raise HarnessError("QMP closed during %s" % execute)
                    reply = json.loads(line)
                    if "return" in reply or "error" in reply:
                        return reply

            stream.readline()   # the greeting
            for command, args in (("qmp_capabilities", {}), (execute, arguments)):
                stream.write(json.dumps({"execute": command, "arguments": args}).encode() + b"\n")
                stream.flush()
                reply = answer()
                if "error" in reply:
                    raise HarnessError("QMP %s: %s" % (command, reply["error"].get("desc")))
            return reply["return"]

    def unplug(self):
        self.qmp("device_del", id="ft232")

    def plug(self, bus="hc.0", port=None):
        """Plugs the FT232 into a controller's root port: bus "hc.0" or "uhci.0", port
        "1".."4" on the XHCI, "1" or "2" on a UHCI; the first free one without port."""
        device = dict(kv.split("=", 1) for kv in FT232_DEVICE.split(",")[1:])
        device["bus"] = bus
        if port is not None:
            device["port"] = str(port)
        self.qmp("device_add", driver="usb-serial", **device)

    def unplug_stick(self):
        self.qmp("device_del", id="stick")

    def wait_exit(self, timeout):
        try:
            self.qemu.wait(timeout)
            return True
        except subprocess.TimeoutExpired:
            return False

    def _qemu_out(self):
        text = ""
        for name in ("qemu.out", "qemu.err"):
            try:
                with open(os.path.join(self.dir, name), errors="replace") as f:
                    text += f.read()
            except OSError:
                pass
        return text[-2000:]

    def traces(self, event=None):
        """The trace events QEMU printed so far (all of them once stopped), as (host time,
        name, arguments), of one event or of all."""
        found = self._traces if self._traces is not None else self._read_traces()
        return [t for t in found if event is None or t[1] == event]

    def _read_traces(self):
        try:
            with open(os.path.join(self.dir, "qemu.err"), errors="replace") as f:
                text = f.read()
        except OSError:
            return []
        found = []
        # A line still being written has no line end yet.
        for line in text.split("\n")[:-1]:
            m = TRACE_LINE.match(line)
            if m:
                found.append((float(m.group(1)) - self.wall_offset, m.group(2), m.group(3)))
        return found

    # -- COM1 -----------------------------------------------------------------
    def _read(self):
        while True:
            try:
                data = self.com1.recv(65536)
            except OSError:
                break
            if not data:
                break
            now = time.monotonic()
            self.raw.write(data)
            self.com1_bytes.add(data, now)
            text = data.decode("latin-1")
            with self.lock:
                self.partial += text
                while "\n" in self.partial:
                    line, self.partial = self.partial.split("\n", 1)
                    self._line(now, ESCAPE.sub("", line))
                    self.countdown_cut = False
                # One key a countdown: a second could outlive it and land on the prompt.
                if ("." in text and not self.countdown and not self.countdown_cut
                        and COUNTDOWN.search(ESCAPE.sub("", self.partial[-400:]))):
                    self.countdown_cut = True
                    try:
                        self.com1.sendall(b" ")
                    except OSError:
                        pass
                self.lock.notify_all()

    def _line(self, now, line):
        """Takes one line as it came (escapes gone, CRs kept) apart into log lines and
        console text. A log line ends at its CR, or where the next log line or a test
        record starts: a message that ends in a bare CR, or lost its end, must not
        swallow what follows it."""
        console = []
        pos = 0
        had_log = False
        while True:
            start = LOG_START.search(line, pos)
            if start is None:
                console.append(line[pos:])
                break
            console.append(line[pos:start.start()])
            ends = [len(line)]
            cr = line.find("\r", start.end())
            if cr >= 0:
                ends.append(cr)
            for rx in (LOG_START, RECORD_START):
                m = rx.search(line, start.end())
                if m is not None:
                    ends.append(m.start())
            end = min(ends)
            log = LOG_LINE.match(line[start.start():end])
            if log is not None:
                self.logs.append((now, log.group(1), log.group(2), log.group(3)))
            had_log = True
            pos = end + 1 if line.startswith("\r", end) else end
        text = "".join(console).replace("\r", "")
        if had_log and not "".join(console[1:]).strip("\r"):
            # Nothing after the log lines: the console line goes on in the next line.
            self.prefix += text
            return
        self.lines.append((now, self.prefix + text))
        self.prefix = ""

    def send(self, line):
        """Types one command line into the shell."""
        for ch in line + "\r":
            self.com1.sendall(ch.encode())
            time.sleep(0.01)

    # -- waiting --------------------------------------------------------------
    def wait_for(self, pattern, timeout, start=0, logs=False):
        """Waits for a console line (or log text) matching pattern, from index start.

        Returns (index, host time, match); raises HarnessError on timeout.
        """
        rx = re.compile(pattern)
        deadline = time.monotonic() + timeout
        with self.lock:
            while True:
                source = self.logs if logs else self.lines
                for i in range(start, len(source)):
                    m = rx.search(source[i][-1] if logs else source[i][1])
                    if m:
                        return i, source[i][0], m
                left = deadline - time.monotonic()
                if left <= 0 or (self.qemu.poll() is not None and not self.reader.is_alive()):
                    raise HarnessError("no %s %r within %ds" % ("log" if logs else "line", pattern, timeout))
                self.lock.wait(min(left, 0.5))

    def wait_prompt(self, timeout, pattern=PROMPT):
        """Waits until the unfinished last line (the prompt line) matches pattern; returns the match."""
        rx = re.compile(pattern)
        deadline = time.monotonic() + timeout
        with self.lock:
            while True:
                m = rx.search(self._prompt_text())
                if m:
                    return m
                left = deadline - time.monotonic()
                if left <= 0:
                    raise HarnessError("no prompt line %r within %ds" % (rx.pattern, timeout))
                self.lock.wait(min(left, 0.5))

    def prompt_line(self):
        with self.lock:
            return self._prompt_text()

    def _prompt_text(self):
        # The caller holds the lock. A log line written after the prompt leaves the prompt
        # in prefix; one still arriving is not part of it.
        text = self.prefix + ESCAPE.sub("", self.partial)
        return re.sub(LOG_START.pattern + r"[^\r]*\r?", "", text).replace("\r", "")

    def command(self, line, timeout=60):
        """Types a line at the prompt and waits for the next prompt; returns its output lines."""
        with self.lock:
            first = len(self.lines)
        self.send(line)
        # The old prompt is still the partial line until the shell echoes the command.
        self.wait_for(re.escape(line) + r"\s*$", timeout, start=first)
        self.wait_prompt(timeout)
        with self.lock:
            return [text for _, text in self.lines[first:]]

    def console(self):
        with self.lock:
            return [text for _, text in self.lines]

    def log_texts(self):
        with self.lock:
            return ["[%s | %s] %s" % (m, lv, text) for _, m, lv, text in self.logs]

#!/usr/bin/env python3
# A PN532 NFC controller on a serial line (HSU), simulated behind a UNIX socket.
# SPDX-License-Identifier: BSD-2-Clause-Patent
"""PN532 simulator for QEMU's usb-serial (FT232) character device.

Listens on a UNIX socket; QEMU connects as the client
(-chardev socket,id=nfc,path=SOCK -device usb-serial,chardev=nfc,...).
It finds the wake-up bytes and normal information frames in what the host
writes, checks LEN/LCS/DCS, and answers like the controller: the ACK, then the
response.  Commands answered: SAMConfiguration (0x14), GetFirmwareVersion (0x02),
InListPassiveTarget (0x4A).  With no card in the field InListPassiveTarget gets
only the ACK and stays pending until a card arrives or a later command
supersedes it.

By hand:
    tools/pn532sim.py --socket /tmp/nfc.sock --card 04A13F7B
    tools/pn532sim.py --socket S --timeline "0:place:04A13F7B,5:remove,8:place:04A1B2C3D4E5F6"
    tools/pn532sim.py --socket S --card 04A13F7B --fault badsum:2
Commands on stdin (one a line): place UID, remove, fault MODE[:COUNT], quit.

Fault modes, each applied to the next COUNT InListPassiveTarget commands
(default 1): nack (a NACK in place of the ACK), error (the ACK, then the error
frame), badsum (the ACK, then the response with a wrong DCS), badlen (wrong
LCS), garbage (the ACK, then bytes that are no frame), silence (no answer).
Two line modes take SECONDS in place of COUNT and start at once: for that long the
controller is off the line (it hears nothing, as a module pulled off its header)
and the host's RX pin carries noise (random bytes at random gaps of 5 to 90 ms,
from a fixed seed), hum (one byte every 1/60 s, as mains pickup on a floating pin
gives) or flood (0x00 at 115200 baud line rate).

As a module: Pn532Sim(path).start(); .place(uid); .remove(); .fault(mode, n);
.frames (list of (host time, direction, bytes, note)); .stop().
"""

import argparse
import os
import random
import socket
import sys
import threading
import time

ACK = bytes([0x00, 0x00, 0xFF, 0x00, 0xFF, 0x00])
NACK = bytes([0x00, 0x00, 0xFF, 0xFF, 0x00, 0x00])
ERROR_FRAME = bytes([0x00, 0x00, 0xFF, 0x01, 0xFF, 0x7F, 0x81, 0x00])
FIRMWARE = bytes([0x32, 0x01, 0x06, 0x07])  # IC, Ver, Rev, Support
FAULTS = ("nack", "error", "badsum", "badlen", "garbage", "silence")
LINE_FAULTS = ("noise", "hum", "flood")
LINE_BYTES_PER_SECOND = 11520  # 115200 baud, 10 bits a byte

# SENS_RES tells the identifier size (single, double, triple); SEL_RES the card type.
SENS_RES = {4: bytes([0x00, 0x04]), 7: bytes([0x00, 0x44]), 10: bytes([0x00, 0x84])}
SEL_RES = {4: 0x08, 7: 0x00, 10: 0x00}


def response_frame(code, data, bad_dcs=False, bad_lcs=False):
    """A controller-to-host frame: TFI 0xD5, code (command + 1), data."""
    body = bytes([0xD5, code]) + bytes(data)
    length = len(body)
    lcs = (0x100 - length) & 0xFF
    dcs = (0x100 - sum(body)) & 0xFF
    if bad_lcs:
        lcs ^= 0x01
    if bad_dcs:
        dcs ^= 0x01
    return bytes([0x00, 0x00, 0xFF, length, lcs]) + body + bytes([dcs, 0x00])


def command_frame(command, data=b""):
    """A host-to-controller frame, as the driver builds it (for tests)."""
    body = bytes([0xD4, command]) + bytes(data)
    return (bytes([0x00, 0x00, 0xFF, len(body), (0x100 - len(body)) & 0xFF]) + body
            + bytes([(0x100 - sum(body)) & 0xFF, 0x00]))


def disturbance(mode, seconds, seed=1):
    """What a disturbed line carries: [(seconds from its start, bytes)], the same for a seed."""
    if mode == "flood":
        chunk = 128  # 11 ms of the line at a time
        return [(i * chunk / LINE_BYTES_PER_SECOND, bytes(chunk))
                for i in range(int(seconds * LINE_BYTES_PER_SECOND) // chunk)]
    if mode == "hum":
        return [(i / 60, b"\x00") for i in range(int(seconds * 60))]
    rng = random.Random(seed)
    out, at = [], 0.0
    while at < seconds:
        out.append((at, bytes([rng.randrange(256)])))
        at += rng.uniform(0.005, 0.090)
    return out


def parse_uid(text):
    uid = bytes.fromhex(text.replace(" ", "").replace(":", ""))
    if len(uid) not in (4, 7, 10):
        raise ValueError("identifiers are 4, 7 or 10 bytes, not %d" % len(uid))
    return uid


def target_answer(uid):
    """InListPassiveTarget data for one type A target."""
    return (bytes([0x01, 0x01]) + SENS_RES[len(uid)] + bytes([SEL_RES[len(uid)], len(uid)])
            + uid)



def listen(path):
    """A UNIX socket at path for QEMU to connect to as the line's one peer."""
    if os.path.exists(path):
        os.unlink(path)
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    listener.bind(path)
    listener.listen(1)
    return listener


def hang_up(path, thread, *sockets):
    """Ends the line: closes its sockets, which ends the thread serving it, and its path."""
    for s in sockets:
        if s is not None:
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            s.close()
    if thread is not None:
        thread.join(timeout=5)
    if os.path.exists(path):
        os.unlink(path)


class FrameParser:
    """Splits the host's byte stream into frames; what is no frame is skipped.

    feed() returns a list of events: ("frame", tfi_and_data), ("ack",),
    ("nack",), ("bad", reason, raw).
    """

    def __init__(self):
        self.buffer = bytearray()

    def feed(self, data):
        self.buffer += data
        events = []
        while True:
            start = self.buffer.find(b"\x00\xff")
            if start < 0:
                # Keep a trailing 0x00: it may be the first half of a start code.
                self.buffer = self.buffer[-1:] if self.buffer[-1:] == b"\x00" else bytearray()
                return events
            if len(self.buffer) < start + 4:
                del self.buffer[:start]
                return events
            length, lcs = self.buffer[start + 2], self.buffer[start + 3]
            if length == 0x00 and lcs == 0xFF:
                events.append(("ack",))
                del self.buffer[:start + 4]
                continue
            if length == 0xFF and lcs == 0x00:
                events.append(("nack",))
                del self.buffer[:start + 4]
                continue
            if (length + lcs) & 0xFF != 0:
                events.append(("bad", "LEN/LCS", bytes(self.buffer[start:start + 4])))
                del self.buffer[:start + 2]
                continue
            end = start + 4 + length + 1
            if len(self.buffer) < end:
                del self.buffer[:start]
                return events
            body = bytes(self.buffer[start + 4:start + 4 + length])
            dcs = self.buffer[start + 4 + length]
            raw = bytes(self.buffer[start:end])
            del self.buffer[:end]
            if (sum(body) + dcs) & 0xFF != 0:
                events.append(("bad", "DCS", raw))
            elif not body or body[0] != 0xD4:
                events.append(("bad", "TFI", raw))
            else:
                events.append(("frame", body))


class Pn532Sim:
    """The controller: one connection, one card slot, a queue of faults."""

    def __init__(self, path, log=None, answer_pending=True):
        self.path = path
        self.log = log
        self.answer_pending = answer_pending
        self.lock = threading.Lock()
        self.uid = None
        self.placed_reads = None  # answers left before the card leaves by itself
        self.faults = []
        self.off_line_until = 0.0  # a line fault: the controller hears nothing till then
        self.seed = 1
        self.pending = False
        self.frames = []
        self.placements = []  # host times at which a card entered the field
        self.answers = []  # (host time, uid or fault) of each InListPassiveTarget answer
        self.conn = None
        self.connected = threading.Event()
        self.stopping = False
        self.listener = None
        self.thread = None

    # -- control --------------------------------------------------------------
    def place(self, uid, answers=None):
        """Puts a card in the field; with answers=n it leaves after n reports."""
        uid = parse_uid(uid) if isinstance(uid, str) else bytes(uid)
        with self.lock:
            self.uid = uid
            self.placed_reads = answers
            self.placements.append(time.monotonic())
            self._note("card", "placed " + uid.hex().upper())
            if self.pending and self.answer_pending:
                self._answer_target()

    def remove(self):
        with self.lock:
            self.uid = None
            self._note("card", "removed")

    def fault(self, mode, count=1):
        if mode in LINE_FAULTS:
            self._disturb(mode, count)
            return
        if mode not in FAULTS:
            raise ValueError("fault modes: " + ", ".join(FAULTS + LINE_FAULTS))
        with self.lock:
            self.faults.extend([mode] * count)
            self._note("fault", "%s x%d queued" % (mode, count))

    def _disturb(self, mode, seconds):
        schedule = disturbance(mode, seconds, self.seed)
        self._note("fault", "%s for %ss, seed %d" % (mode, seconds, self.seed))

        def run():
            self.connected.wait()
            t0 = time.monotonic()
            self.off_line_until = t0 + seconds
            lost = 0
            for at, data in schedule:
                time.sleep(max(0.0, t0 + at - time.monotonic()))
                if self.stopping:
                    return
                # A UART overruns when nobody reads it: what the line cannot take now is
                # lost, not queued for later, as a socket would.
                try:
                    lost += len(data) - self.conn.send(data, socket.MSG_DONTWAIT)
                except BlockingIOError:
                    lost += len(data)
                except OSError:
                    return
            self._note("fault", "%s over, %d bytes overran" % (mode, lost))

        threading.Thread(target=run, daemon=True).start()

    # -- life -----------------------------------------------------------------
    def start(self):
        self.listener = listen(self.path)
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()
        return self

    def stop(self):
        self.stopping = True
        hang_up(self.path, self.thread, self.conn, self.listener)

    def _serve(self):
        try:
            self.listener.settimeout(None)
            conn, _ = self.listener.accept()
        except OSError:
            return
        # A small send buffer: the line holds little more than a chip's receive buffer.
        conn.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 1024)
        self.conn = conn
        self._note("link", "host connected")
        self.connected.set()
        parser = FrameParser()
        while not self.stopping:
            try:
                data = conn.recv(4096)
            except OSError:
                break
            if not data:
                break
            if time.monotonic() < self.off_line_until:
                continue  # off the line: what the host sends reaches no controller
            with self.lock:
                self._note("in", data.hex(" "))
                for event in parser.feed(data):
                    self._handle(event)
        self._note("link", "host gone")

    # -- the controller -------------------------------------------------------
    def _note(self, direction, text):
        entry = (time.monotonic(), time.time(), direction, text)
        self.frames.append(entry)
        if self.log is not None:
            stamp = time.strftime("%H:%M:%S", time.localtime(entry[1])) + ".%03d" % (int(entry[1] * 1000) % 1000)
            print("%s %-5s %s" % (stamp, direction, text), file=self.log, flush=True)

    def _send(self, data, note):
        self._note("out", data.hex(" ") + "  " + note)
        try:
            self.conn.sendall(data)
        except OSError:
            pass

    def _handle(self, event):
        if event[0] == "bad":
            self._note("drop", "%s mismatch, no answer" % event[1])
            return
        if event[0] in ("ack", "nack"):
            # A host ACK aborts the pending command.
            self.pending = False
            return
        body = event[1]
        command, data = body[1], body[2:]
        self.pending = False  # a new command supersedes the pending one
        if command == 0x14:
            self._send(ACK, "ACK")
            self._send(response_frame(0x15, b""), "SAMConfiguration")
        elif command == 0x02:
            self._send(ACK, "ACK")
            self._send(response_frame(0x03, FIRMWARE), "GetFirmwareVersion")
        elif command == 0x4A:
            if self.faults:
                self._fault(self.faults.pop(0))
                return
            self._send(ACK, "ACK")
            if self.uid is None:
                self.pending = True
            else:
                self._answer_target()
        else:
            self._send(ACK, "ACK")
            self._send(ERROR_FRAME, "error frame: command %02x unknown" % command)

    def _answer_target(self):
        self.pending = False
        uid = self.uid
        self._send(response_frame(0x4B, target_answer(uid)), "InListPassiveTarget " + uid.hex().upper())
        self.answers.append((time.monotonic(), uid.hex().upper()))
        if self.placed_reads is not None:
            self.placed_reads -= 1
            if self.placed_reads <= 0:
                self.uid = None
                self._note("card", "left after its reports")

    def _fault(self, mode):
        self.answers.append((time.monotonic(), "fault:" + mode))
        if mode == "silence":
            self._note("fault", "silence")
            return
        if mode == "nack":
            self._send(NACK, "fault: NACK")
            return
        self._send(ACK, "ACK")
        uid = self.uid or bytes.fromhex("04A13F7B")
        if mode == "error":
            self._send(ERROR_FRAME, "fault: error frame")
        elif mode == "badsum":
            self._send(response_frame(0x4B, target_answer(uid), bad_dcs=True), "fault: bad DCS")
        elif mode == "badlen":
            self._send(response_frame(0x4B, target_answer(uid), bad_lcs=True), "fault: bad LCS")
        elif mode == "garbage":
            # As long as the frame its fourth byte announces, so that the host
            # reads it whole and finds no start code in it.
            self._send(bytes([0x13, 0x37, 0xFF, 0x02, 0x00, 0x99, 0xAB, 0x55, 0xAA]), "fault: garbage")


def parse_timeline(text):
    """'0:place:04A13F7B,5:remove,6:fault:badsum:2' -> [(seconds, action, args)]."""
    steps = []
    for item in filter(None, (s.strip() for s in text.split(","))):
        parts = item.split(":")
        steps.append((float(parts[0]), parts[1], parts[2:]))
    return sorted(steps, key=lambda s: s[0])


def apply(sim, action, args):
    if action == "place":
        sim.place(args[0], int(args[1]) if len(args) > 1 else None)
    elif action == "remove":
        sim.remove()
    elif action == "fault":
        sim.fault(args[0], int(args[1]) if len(args) > 1 else 1)
    else:
        raise ValueError("unknown action " + action)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--socket", required=True, help="UNIX socket path to listen on")
    ap.add_argument("--card", help="identifier in the field from the start (hex)")
    ap.add_argument("--timeline", default="", help="seconds:action[:args],... from connection")
    ap.add_argument("--fault", action="append", default=[], help="MODE[:COUNT], queued at start")
    ap.add_argument("--no-answer-pending", action="store_true",
                    help="a card placed later does not answer the pending command")
    ap.add_argument("--log", help="frame log file (default stderr)")
    ap.add_argument("--seed", type=int, default=1, help="seed of the noise line fault")
    args = ap.parse_args(argv)

    log = open(args.log, "a") if args.log else sys.stderr
    sim = Pn532Sim(args.socket, log=log, answer_pending=not args.no_answer_pending)
    sim.seed = args.seed
    if args.card:
        sim.place(args.card)
    for f in args.fault:
        mode, _, count = f.partition(":")
        sim.fault(mode, int(count or 1))
    steps = parse_timeline(args.timeline)
    sim.start()
    print("pn532sim: listening on %s" % args.socket, file=log, flush=True)

    def run_timeline():
        sim.connected.wait()
        t0 = time.monotonic()
        for at, action, a in steps:
            time.sleep(max(0.0, t0 + at - time.monotonic()))
            apply(sim, action, a)

    threading.Thread(target=run_timeline, daemon=True).start()
    try:
        for line in sys.stdin:
            words = line.split()
            if not words:
                continue
            if words[0] == "quit":
                break
            try:
                apply(sim, words[0], words[1:] if words[0] != "fault" else words[1].split(":"))
            except (ValueError, IndexError) as e:
                print("pn532sim: %s" % e, file=log, flush=True)
        else:
            while sim.thread.is_alive():
                sim.thread.join(0.5)
    except KeyboardInterrupt:
        pass
    finally:
        sim.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())

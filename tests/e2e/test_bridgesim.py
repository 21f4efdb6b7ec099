#!/usr/bin/env python3
# The bridge chip models against a small usbredir guest, over real sockets.
# SPDX-License-Identifier: BSD-2-Clause-Patent
import contextlib
import os
import socket
import struct
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
import bridgesim as b  # noqa: E402


def coding(rate, data=8):
    return struct.pack("<IBBB", rate, 0, 0, data)


# chip: (requests for 115200 8N1, a request for 9600 and the rate it makes, a malformed request
# and why it stalls)
# requests are (bmRequestType, bRequest, wValue, wIndex, data or wLength)
CHIPS = {
    "ft232r": ([(0x40, 3, 0x001A, 0, b""), (0x40, 4, 0x0008, 1, b"")], (0x40, 3, 0x4138, 0, b""), 9600,
               (0x40, 4, 0x0009, 1, b""), "out of range"),
    "cp2102": ([(0x41, 0x00, 1, 0, b""), (0x41, 0x1E, 0, 0, struct.pack("<I", 115200)), (0x41, 0x03, 0x0800, 0, b"")],
               (0x41, 0x1E, 0, 0, struct.pack("<I", 9600)), 9600, (0x41, 0x03, 0x0800, 1, b""), "wIndex"),
    "ch340": ([(0x40, 0x9A, 0x1312, 0x9807, b""), (0x40, 0x9A, 0x2518, 0x00C3, b"")], (0x40, 0x9A, 0x1312, 0xB202, b""),
              9615.4, (0x40, 0x9A, 0x1312, 0xFF07, b""), "register 0x13"),
    "pl2303": ([(0x21, 0x20, 0, 0, coding(115200))], (0x21, 0x20, 0, 0, coding(9700)), 9600,
               (0xA1, 0x21, 0, 0, 8), "wLength 8"),
    "cdcacm": ([(0x21, 0x20, 0, 0, coding(115200))], (0x21, 0x20, 0, 0, coding(9600)), 9600, (0xA1, 0x20, 0, 0, 7),
               "bmRequestType 0xa1"),
}


class Guest:
    """QEMU's side of the link, as far as the tests need it."""

    def __init__(self, path):
        self.s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.s.settimeout(5)
        self.s.connect(path)
        self.buf, self.ids64, self.next_id = b"", False, 1
        self.send(b.HELLO, b"test guest".ljust(64, b"\0") + struct.pack("<I", 0x7A))
        self.wait(b.HELLO)
        self.ids64 = True
        self.connect = struct.unpack("<BBBBHHH", self.wait(b.CONNECT)[1])

    def send(self, ptype, body, pid=0):
        self.s.sendall(struct.pack("<IIQ" if self.ids64 else "<III", ptype, len(body), pid) + body)

    def wait(self, ptype, pid=None, timeout=5):
        self.s.settimeout(timeout)
        while True:
            size = 16 if self.ids64 else 12
            if len(self.buf) >= size:
                t, length, got = struct.unpack("<IIQ" if self.ids64 else "<III", self.buf[:size])
                if len(self.buf) >= size + length:
                    body, self.buf = self.buf[size:size + length], self.buf[size + length:]
                    if t == ptype and pid in (None, got):
                        return got, body
                    continue
            data = self.s.recv(65536)
            assert data, "the model hung up"
            self.buf += data

    def request(self, ptype, header, data=b"", timeout=5, reply=None):
        pid, self.next_id = self.next_id, self.next_id + 1
        self.send(ptype, header + data, pid)
        return pid, self.wait(reply or ptype, pid, timeout)[1]

    # data is what an OUT transfer carries, or the length an IN transfer asks for.
    def control(self, rtype, request, value, index, data):
        length, data = (data, b"") if isinstance(data, int) else (len(data), data)
        body = self.request(b.CONTROL, struct.pack("<BBBBHHH", 0, request, rtype, 0, value, index, length), data)[1]
        return body[3], body[10:]

    def bulk(self, ep, data, timeout=5):
        length, data = (data, b"") if isinstance(data, int) else (len(data), data)
        body = self.request(b.BULK, struct.pack("<BBHIH", ep, 0, length, 0, 0), data, timeout)[1]
        return body[1], body[10:]


class Rig(unittest.TestCase):
    sim = guest = line = listener = folder = None

    def start(self, chip):
        self.folder = tempfile.TemporaryDirectory()
        path = os.path.join(self.folder.name, "line.sock")
        self.listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.listener.bind(path)
        self.listener.listen(1)
        self.listener.settimeout(5)
        self.sim = b.BridgeSim(chip, os.path.join(self.folder.name, "redir.sock"), path).start()
        self.line = self.listener.accept()[0]
        self.line.settimeout(2)
        self.guest = Guest(self.sim.path)
        config = self.get_descriptor(0x0200, struct.unpack("<H", self.get_descriptor(0x0200, 9)[2:4])[0])
        eps, i = [], 0
        while i < len(config):
            if config[i + 1] == 5 and config[i + 3] == b.T_BULK:
                eps.append(config[i + 2])
            i += config[i]
        self.bulk_in, self.bulk_out = [e for e in eps if e & 0x80][0], [e for e in eps if not e & 0x80][0]
        self.assertEqual(self.guest.request(b.SET_CONFIG, b"\x01", reply=b.CONFIG_STATUS)[1], bytes([b.SUCCESS, 1]))

    @contextlib.contextmanager
    def running(self, chip):
        with self.subTest(chip=chip):
            try:
                self.start(chip)
                yield
            finally:
                self.tearDown()

    def get_descriptor(self, value, length, index=0):
        status, data = self.guest.control(0x80, 6, value, index, length)
        self.assertEqual((status, len(data)), (b.SUCCESS, length))
        return data

    def tearDown(self):
        for s in (self.guest and self.guest.s, self.line, self.listener):
            if s is not None:
                s.close()
        if self.sim is not None:
            self.sim.stop()
        if self.folder is not None:
            self.folder.cleanup()
        self.sim = self.guest = self.line = self.listener = self.folder = None

    def program(self, *requests):
        for rtype, request, value, index, data in requests:
            self.assertEqual(self.guest.control(rtype, request, value, index, data)[0], b.SUCCESS)

    def heard(self, count):
        """What reached the PN532's end of the line, as the chip paced it out."""
        got = b""
        while len(got) < count:
            data = self.line.recv(count - len(got))
            self.assertTrue(data, "the line hung up")
            got += data
        return got

    def read(self, count, timeout=2):
        """What the host reads from the chip, with the FT232R's status pairs taken out."""
        got, deadline = b"", time.monotonic() + timeout
        while len(got) < count and time.monotonic() < deadline:
            status, data = self.guest.bulk(self.bulk_in, 512)
            self.assertEqual(status, b.SUCCESS)
            if self.sim.chip.name == "ft232r":
                data = b"".join(data[i + 2:i + 64] for i in range(0, len(data), 64))
            got += data
        return got


class Chips(Rig):
    def test_each_chip_enumerates_runs_the_pn532_line_and_checks_its_requests(self):
        self.assertFalse([x for x in range(256) if b.garble(x) == x])
        for chip, (setup, slow, slow_rate, bad, why) in CHIPS.items():
            with self.running(chip):
                device = self.get_descriptor(0x0100, 18)
                self.assertEqual(struct.unpack("<HH", device[8:12]), self.guest.connect[4:6])
                self.assertEqual(self.get_descriptor(0x0300, 4), b"\x04\x03\x09\x04")
                product = self.get_descriptor(0x0302, 2, 0x0409)[0]
                self.assertTrue(self.get_descriptor(0x0302, product, 0x0409)[2:].decode("utf-16-le"))
                self.assertEqual(self.sim.line["enabled"], chip not in ("cp2102", "ch340"))
                self.program(*setup)
                line = self.sim.line
                self.assertAlmostEqual(line["rate"], 115200, delta=1152)
                self.assertEqual((line["data"], line["parity"], line["stop"], line["enabled"]), (8, "none", 1, True))
                self.assertEqual(self.guest.bulk(self.bulk_out, b"\xD4\x4A"), (b.SUCCESS, b""))
                self.assertEqual(self.heard(2), b"\xD4\x4A")
                self.line.sendall(b"\x55\xD5")
                self.assertEqual(self.read(2), b"\x55\xD5")
                if chip == "ch340":
                    # The modem status register pair, active low: nothing is wired to the lines.
                    self.assertEqual(self.guest.control(0xC0, 0x95, 0x0706, 0, 2), (b.SUCCESS, b"\xff\x00"))
                self.assertEqual(self.guest.control(*bad)[0], b.STALL)
                verdict = self.sim.requests[-1][3]
                self.assertTrue(verdict.startswith("stall: ") and why in verdict, verdict)
                self.program(slow)
                self.assertAlmostEqual(self.sim.line["rate"], slow_rate, delta=0.1)
                self.guest.bulk(self.bulk_out, b"\xD4")
                self.assertEqual(self.heard(1), bytes([b.garble(0xD4)]))
                self.line.sendall(b"\x55")
                self.assertEqual(self.read(1), bytes([b.garble(0x55)]))
                self.assertEqual((self.sim.counts["garbled_tx"], self.sim.counts["garbled_rx"]), (1, 1))

    def test_a_uart_not_yet_enabled_passes_nothing(self):
        for chip in ("cp2102", "ch340"):
            with self.running(chip):
                self.program(CHIPS[chip][0][-2 if chip == "cp2102" else 0])  # the rate alone
                self.assertEqual(self.guest.bulk(self.bulk_out, b"\x01"), (b.SUCCESS, b""))
                self.line.sendall(b"\x02")
                self.assertTrue(self.sim.wait_line(lambda _: self.sim.counts["lost_rx"] == 1, 2))
                self.assertEqual((self.sim.counts["tx"], self.sim.counts["lost_tx"]), (0, 1))

    def test_ft232r_packets_carry_status_pairs_and_wait_for_the_latency_timer(self):
        self.start("ft232r")
        self.program(*CHIPS["ft232r"][0])
        for _ in range(2):
            started = time.monotonic()
            self.assertEqual(self.guest.bulk(self.bulk_in, 512), (b.SUCCESS, b"\x01\x60"))
        self.assertGreaterEqual(time.monotonic() - started, 0.010)
        self.line.sendall(bytes(range(70)))
        self.assertTrue(self.sim.wait_line(lambda _: self.sim.counts["rx"] == 70, 2))
        status, data = self.guest.bulk(self.bulk_in, 512)
        self.assertEqual((len(data), data[:2], data[64:66]), (74, b"\x01\x60", b"\x01\x60"))
        self.assertEqual(data[2:64] + data[66:], bytes(range(70)))


class Faults(Rig):
    def setUp(self):
        self.start("cdcacm")
        self.program(*CHIPS["cdcacm"][0])

    def test_a_stalled_endpoint_stays_stalled_until_its_halt_is_cleared(self):
        self.sim.fault("stall", ep=self.bulk_out)
        self.assertEqual(self.guest.bulk(self.bulk_out, b"\x01")[0], b.STALL)
        self.assertEqual(self.guest.bulk(self.bulk_out, b"\x01")[0], b.STALL)
        self.assertEqual(self.guest.control(0x02, 1, 0, self.bulk_out, 0)[0], b.SUCCESS)
        self.assertEqual(self.guest.bulk(self.bulk_out, b"\x01")[0], b.SUCCESS)

    def test_an_idle_bulk_in_naks_until_cancelled_and_nak_holds_data_back(self):
        pid = self.guest.next_id
        self.assertRaises(socket.timeout, self.guest.bulk, self.bulk_in, 64, 0.2)
        self.guest.send(b.CANCEL, b"", pid)
        self.assertEqual(self.guest.wait(b.BULK, pid)[1][1], b.CANCELLED)
        self.sim.fault("nak", ep=self.bulk_in, seconds=0.3)
        self.line.sendall(b"\x55")
        started = time.monotonic()
        self.assertEqual(self.guest.bulk(self.bulk_in, 64), (b.SUCCESS, b"\x55"))
        self.assertGreaterEqual(time.monotonic() - started, 0.25)

    def test_bytes_leave_at_the_programmed_rate_and_a_full_buffer_holds_the_host_back(self):
        started = time.monotonic()
        self.guest.bulk(self.bulk_out, bytes(256))
        self.assertGreaterEqual(time.monotonic() - started, (256 - self.sim.chip.tx_size) * 10 / 115200)
        self.assertEqual(self.heard(256), bytes(256))
        self.assertGreaterEqual(time.monotonic() - started, 256 * 10 / 115200)

    def test_drop_loses_one_transfer_and_short_splits_one_answer(self):
        self.sim.fault("drop")
        self.assertEqual(self.guest.bulk(self.bulk_out, b"\x01")[0], b.SUCCESS)
        self.assertEqual(self.guest.bulk(self.bulk_out, b"\x02")[0], b.SUCCESS)
        self.assertEqual(self.heard(1), b"\x02")
        self.line.sendall(b"\x10\x11\x12\x13")
        self.assertTrue(self.sim.wait_line(lambda _: self.sim.counts["rx"] == 4, 2))
        self.sim.fault("short")
        self.assertEqual(self.guest.bulk(self.bulk_in, 64)[1], b"\x10\x11")
        self.assertEqual(self.guest.bulk(self.bulk_in, 64)[1], b"\x12\x13")

    def test_unplug_and_replug(self):
        self.sim.fault("disconnect")
        self.guest.wait(b.DISCONNECT)
        self.guest.send(b.DISCONNECT_ACK, b"")
        self.sim.fault("connect")
        self.assertEqual(struct.unpack("<BBBBHHH", self.guest.wait(b.CONNECT)[1])[4:6], (0x1209, 0x0001))
        self.assertEqual(self.sim.line["rate"], 9600)


if __name__ == "__main__":
    unittest.main()

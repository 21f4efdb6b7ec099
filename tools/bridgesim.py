#!/usr/bin/env python3
# A USB-serial bridge chip behind QEMU's usb-redir, its UART wired to the PN532 simulator.
# SPDX-License-Identifier: BSD-2-Clause-Patent
"""USB-serial bridge chip models for QEMU's usb-redir device.

The model is the usbredir side that owns the device: it listens on a UNIX socket,
QEMU connects as the client
    (-chardev socket,id=r,path=SOCK -device usb-redir,chardev=r,bus=hc.0),
and it enumerates as the chip, checks every control request as the chip would
(a request it does not know, in the wrong direction, with the wrong wLength or
wIndex, or a value out of range is stalled and recorded with why), and carries the
bulk data to and from a serial line.  The line is a UNIX socket where
tools/pn532sim.py listens; the model connects to it as a client.  Bytes cross the
line at the rate the host programmed, and only while the chip's UART is enabled;
the PN532 talks 115200 8N1, so any other rate (beyond 3 %) or framing garbles every
byte both ways, deterministically (garble()), and counts them.

By hand:
    tools/pn532sim.py --socket /tmp/nfc.sock --card 04A13F7B &
    tools/bridgesim.py --chip cp2102 --socket /tmp/redir.sock --line /tmp/nfc.sock
Chips: ft232r, cp2102, ch340, pl2303, cdcacm.
Commands on stdin (one a line; EP in hex, as 81 or 0x81): stall EP (the endpoint
stalls until the host clears its halt), nak EP SECONDS (its packets stay pending that
long), short (the next bulk-IN answer carries fewer bytes than are waiting, the rest
follow), drop (the next bulk-OUT transfer is acknowledged and lost), disconnect,
connect (an unplug and a replug), quit.

As a module: BridgeSim(chip, redir_path, line_path=None, log=None).start();
.line (dict: rate, data, parity, stop, flow, dtr, rts, enabled, brk); .requests
(list of (host time, (bmRequestType, bRequest, wValue, wIndex, wLength), data,
verdict)); .counts; .modem; .wait_line(pred, timeout); .fault(kind, ep=, seconds=);
.stop().
"""

import argparse
import os
import socket
import struct
import sys
import threading
import time
from collections import deque

# usbredir packet types, statuses, capabilities and endpoint types (usbredirproto.h).
HELLO, CONNECT, DISCONNECT, RESET, IFACE_INFO, EP_INFO = 0, 1, 2, 3, 4, 5
SET_CONFIG, GET_CONFIG, CONFIG_STATUS, SET_ALT, GET_ALT, ALT_STATUS = 6, 7, 8, 9, 10, 11
START_ISO, STOP_ISO, ISO_STATUS, START_INT, STOP_INT, INT_STATUS = 12, 13, 14, 15, 16, 17
ALLOC_STREAMS, FREE_STREAMS, STREAMS_STATUS, CANCEL, DISCONNECT_ACK = 18, 19, 20, 21, 24
START_BULK_RECV, BULK_RECV_STATUS = 25, 27
CONTROL, BULK, ISO, INTERRUPT = 100, 101, 102, 103
SUCCESS, CANCELLED, INVAL, IOERROR, STALL, TIMEOUT, BABBLE = range(7)
CAP_CONNECT_VERSION, CAP_DISCONNECT_ACK, CAP_EP_MAX_PACKET, CAP_64BIT_IDS, CAP_32BIT_BULK = 1, 3, 4, 5, 6
# No bulk streams, no filter, no buffered bulk: every bulk-IN stays a request we answer.
OUR_CAPS = (1 << CAP_CONNECT_VERSION | 1 << CAP_DISCONNECT_ACK | 1 << CAP_EP_MAX_PACKET
            | 1 << CAP_64BIT_IDS | 1 << CAP_32BIT_BULK)
T_CONTROL, T_BULK, T_INT, T_INVALID = 0, 2, 3, 255

PARITIES = ("none", "odd", "even", "mark", "space")
STOPS = (1, 1.5, 2)
PN532 = dict(rate=115200, data=8, parity="none", stop=1)
CHIPS = {}


def garble(byte):
    """What a byte becomes on a mismatched line; no byte survives it."""
    return (byte * 5 + 0x3B) & 0xFF


def char_time(line):
    return (1 + line["data"] + (line["parity"] != "none") + line["stop"]) / line["rate"]


def matches_pn532(line):
    return (abs(line["rate"] - PN532["rate"]) <= 0.03 * PN532["rate"]
            and all(line[k] == PN532[k] for k in ("data", "parity", "stop")))


def string_descriptor(text):
    raw = text.encode("utf-16-le")
    return bytes([2 + len(raw), 3]) + raw


class Stall(Exception):
    pass


def model(cls):
    CHIPS[cls.name] = cls
    return cls


class Chip:
    """Descriptors and defaults; subclasses add their request table and its handlers."""
    name = ""
    usb, bcd, ep0, dev_class, power = 0x0200, 0x0100, 64, (0, 0, 0), 100
    strings = ("", "", "")
    iad = b""
    # (class, subclass, protocol, class-specific descriptors, [(address, type, max packet, interval)])
    interfaces = ()
    bulk_in, bulk_out = 0x81, 0x02
    tx_size = rx_size = 256
    status_size = 0  # what heads every bulk-IN packet
    enabled_at_reset = True
    # (bmRequestType, bRequest): (name, wLength or (min, max), handler, wIndex values or None)
    requests = {}

    def __init__(self, sim):
        self.sim = sim

    def power_on(self):
        return dict(rate=9600, data=8, parity="none", stop=1, flow="none", dtr=False, rts=False,
                    enabled=self.enabled_at_reset, brk=False)

    def device_descriptor(self):
        return struct.pack("<BBHBBBBHHHBBBB", 18, 1, self.usb, *self.dev_class, self.ep0,
                           self.vid, self.pid, self.bcd, 1, 2, 3, 1)

    def config_descriptor(self):
        body = self.iad
        for number, (cls, sub, proto, extra, eps) in enumerate(self.interfaces):
            body += struct.pack("<9B", 9, 4, number, 0, len(eps), cls, sub, proto, 0) + extra
            for address, kind, size, interval in eps:
                body += struct.pack("<BBBBHB", 7, 5, address, kind, size, interval)
        return struct.pack("<BBHBBBBB", 9, 2, 9 + len(body), len(self.interfaces), 1, 0, 0x80,
                           self.power // 2) + body

    def endpoints(self):
        return {e[0]: (n, e) for n, i in enumerate(self.interfaces) for e in i[4]}

    def in_packet(self, now):
        """The chip's answer to an IN token on its bulk-IN endpoint: (packet, wake) or (None, wake)."""
        if not self.sim.rx:
            return None, None
        return self.sim.take(min(self.bulk_in_size(), len(self.sim.rx))), None

    def bulk_in_size(self):
        return self.endpoints()[self.bulk_in][1][2]

    def pick(self, table, value, what):
        if value >= len(table):
            raise Stall("%s %d out of range" % (what, value))
        return table[value]

    def line_coding(self, data, sizes):
        rate, stop, parity, bits = struct.unpack("<IBBB", data)
        if rate == 0 or stop > 2 or parity > 4 or bits not in sizes:
            raise Stall("line coding %d %d %d %d out of range" % (rate, stop, parity, bits))
        return dict(rate=rate, stop=STOPS[stop], parity=PARITIES[parity], data=bits)

    def get_coding(self, value, index, data):
        line = self.sim.line
        return struct.pack("<IBBB", int(round(line["rate"])), STOPS.index(line["stop"]),
                           PARITIES.index(line["parity"]), line["data"])

    def lines(self, value, index, data):
        if value & ~3:
            raise Stall("wValue 0x%04x beyond DTR and RTS" % value)
        self.sim.set_line(dtr=bool(value & 1), rts=bool(value & 2))


FT_FRACTIONS = (0, 0.5, 0.25, 0.125, 0.375, 0.625, 0.75, 0.875)


@model
class Ft232r(Chip):
    name, vid, pid, bcd, ep0, power = "ft232r", 0x0403, 0x6001, 0x0600, 8, 90
    strings = ("FTDI", "FT232R USB UART", "A9K3ZQ7B")
    interfaces = ((0xFF, 0xFF, 0xFF, b"", [(0x81, T_BULK, 64, 0), (0x02, T_BULK, 64, 0)]),)
    tx_size, rx_size, status_size = 128, 256, 2

    def power_on(self):
        self.latency, self.last_packet, self.errors = 16, 0.0, 0
        return super().power_on()

    def port(self, index, flow=False):
        if index & 0xFF not in (0, 1) or (index >> 8 and not flow):
            raise Stall("wIndex 0x%04x is no port" % index)

    def reset(self, value, index, data):
        self.port(index)
        if value > 2:
            raise Stall("reset kind %d" % value)
        self.sim.purge(rx=value in (0, 1), tx=value in (0, 2))

    def modem_ctrl(self, value, index, data):
        self.port(index)
        if value & ~0x0303:
            raise Stall("wValue 0x%04x beyond DTR/RTS and their masks" % value)
        lines = {k: bool(value & bit) for k, bit, mask in (("dtr", 1, 0x100), ("rts", 2, 0x200))
                 if value & mask}
        self.sim.set_line(**lines)

    def flow(self, value, index, data):
        self.port(index, flow=True)
        mode = {0: "none", 1: "rts_cts", 2: "dtr_dsr", 4: "xon_xoff"}.get(index >> 8)
        if mode is None or (value and mode != "xon_xoff"):
            raise Stall("flow 0x%02x with wValue 0x%04x" % (index >> 8, value))
        self.sim.set_line(flow=mode)

    def baud(self, value, index, data):
        if index & ~1:
            raise Stall("wIndex 0x%04x beyond the fraction bit" % index)
        n, code = value & 0x3FFF, value >> 14 | (index & 1) << 2
        if n < 2 and code:
            raise Stall("divisor %d+%g below 2" % (n, FT_FRACTIONS[code]))
        rate = {0: 3000000.0, 1: 2000000.0}.get(n) or 3000000.0 / (n + FT_FRACTIONS[code])
        self.sim.set_line(rate=rate)

    def set_data(self, value, index, data):
        self.port(index)
        bits, parity, stop = value & 0xFF, value >> 8 & 7, value >> 11 & 7
        if bits not in (7, 8) or parity > 4 or stop > 2 or value & 0x8000:
            raise Stall("line 0x%04x out of range" % value)
        self.sim.set_line(data=bits, parity=PARITIES[parity], stop=STOPS[stop], brk=bool(value & 0x4000))

    def modem_byte(self):
        m = self.sim.modem
        return 0x01 | m["cts"] << 4 | m["dsr"] << 5 | m["ri"] << 6 | m["dcd"] << 7

    def line_status(self):
        errors, self.errors = self.errors, 0
        return errors | (0x60 if not self.sim.tx else 0)

    def modem_stat(self, value, index, data):
        self.port(index)
        return bytes([self.modem_byte(), self.line_status()])

    def set_latency(self, value, index, data):
        self.port(index)
        if not 1 <= value <= 255:
            raise Stall("latency %d ms" % value)
        self.latency = value

    def get_latency(self, value, index, data):
        self.port(index)
        return bytes([self.latency])

    def chars(self, value, index, data):
        self.port(index)
        if value & ~0x1FF:
            raise Stall("wValue 0x%04x beyond the character and its enable" % value)

    requests = {(0x40, 0): ("RESET", 0, reset, None), (0x40, 1): ("MODEM_CTRL", 0, modem_ctrl, None),
                (0x40, 2): ("SET_FLOW_CTRL", 0, flow, None), (0x40, 3): ("SET_BAUD_RATE", 0, baud, None),
                (0x40, 4): ("SET_DATA", 0, set_data, None), (0xC0, 5): ("GET_MODEM_STAT", 2, modem_stat, None),
                (0x40, 6): ("SET_EVENT_CHAR", 0, chars, None), (0x40, 7): ("SET_ERROR_CHAR", 0, chars, None),
                (0x40, 9): ("SET_LATENCY_TIMER", 0, set_latency, None),
                (0xC0, 10): ("GET_LATENCY_TIMER", 1, get_latency, None)}

    def in_packet(self, now):
        # Each packet heads its up to 62 bytes with the status pair; the chip holds a short
        # packet back until the latency timer runs out, then sends what it has, or the pair.
        due = self.last_packet + self.latency / 1000.0
        if len(self.sim.rx) < 62 and now < due:
            return None, due
        self.last_packet = now
        status = bytes([self.modem_byte(), self.line_status()])
        return status + self.sim.take(min(62, len(self.sim.rx))), None


@model
class Cp2102(Chip):
    name, vid, pid, bcd, usb, power = "cp2102", 0x10C4, 0xEA60, 0x0100, 0x0110, 100
    strings = ("Silicon Labs", "CP2102 USB to UART Bridge Controller", "0001")
    interfaces = ((0xFF, 0x00, 0x00, b"", [(0x81, T_BULK, 64, 0), (0x01, T_BULK, 64, 0)]),)
    bulk_out, tx_size, rx_size, enabled_at_reset = 0x01, 640, 576, False

    def power_on(self):
        self.flow_words = struct.pack("<IIII", 1, 0x40, 0, 0)
        return super().power_on()

    def enable(self, value, index, data):
        self.sim.set_line(enabled=bool(self.pick((False, True), value, "enable")))

    def line_ctl(self, value, index, data):
        stop, parity, bits = value & 0xF, value >> 4 & 0xF, value >> 8
        if stop > 2 or parity > 4 or not 5 <= bits <= 8:
            raise Stall("line control 0x%04x out of range" % value)
        self.sim.set_line(stop=STOPS[stop], parity=PARITIES[parity], data=bits)

    def get_line_ctl(self, value, index, data):
        line = self.sim.line
        return struct.pack("<H", STOPS.index(line["stop"]) | PARITIES.index(line["parity"]) << 4
                           | line["data"] << 8)

    def set_break(self, value, index, data):
        self.sim.set_line(brk=self.pick((False, True), value, "break"))

    def mhs(self, value, index, data):
        if value & ~0x0303:
            raise Stall("wValue 0x%04x beyond DTR/RTS and their masks" % value)
        self.sim.set_line(**{k: bool(value & bit) for k, bit, mask in (("dtr", 1, 0x100), ("rts", 2, 0x200))
                             if value & mask})

    def mdmsts(self, value, index, data):
        line, m = self.sim.line, self.sim.modem
        return bytes([line["dtr"] | line["rts"] << 1 | m["cts"] << 4 | m["dsr"] << 5 | m["ri"] << 6
                      | m["dcd"] << 7])

    def props(self, value, index, data):
        return struct.pack("<HHIIIIIIIIIHHIIIIHH", 64, 0x0100, 1, 0, self.tx_size, self.rx_size,
                           921600, 1, 0x13F, 0x7F, 0x1007FFFF, 0x000F, 0x1F07, 0, 0, 0, 0, 0, 0)

    def comm_status(self, value, index, data):
        return struct.pack("<IIIIBBB", 0, 0, len(self.sim.rx), len(self.sim.tx), 0, 0, 0)

    def reset(self, value, index, data):
        self.sim.purge(rx=True, tx=True)

    def purge(self, value, index, data):
        if value & ~0xF:
            raise Stall("purge 0x%04x" % value)
        self.sim.purge(rx=bool(value & 0xA), tx=bool(value & 0x5))

    def set_flow(self, value, index, data):
        control, replace, _, _ = struct.unpack("<IIII", data)
        dtr_mode, rts_mode = control & 3, replace >> 6 & 3
        if dtr_mode == 3 or rts_mode == 3:
            raise Stall("DTR mode %d, RTS mode %d" % (dtr_mode, rts_mode))
        flow = ("rts_cts" if control & 0x08 else "dtr_dsr" if control & 0x10
                else "xon_xoff" if replace & 3 else "none")
        self.flow_words = bytes(data)
        self.sim.set_line(flow=flow, dtr=dtr_mode != 0, rts=rts_mode != 0)

    def get_flow(self, value, index, data):
        return self.flow_words

    def get_baud(self, value, index, data):
        return struct.pack("<I", int(round(self.sim.line["rate"])))

    def set_baud(self, value, index, data):
        rate = struct.unpack("<I", data)[0]
        if rate == 0:
            raise Stall("rate 0")
        # It makes every rate in its range within 1 %; beyond that it clamps.
        self.sim.set_line(rate=min(max(rate, 300), 921600))

    requests = {(0x41, 0x00): ("IFC_ENABLE", 0, enable, {0}), (0x41, 0x03): ("SET_LINE_CTL", 0, line_ctl, {0}),
                (0xC1, 0x04): ("GET_LINE_CTL", 2, get_line_ctl, {0}), (0x41, 0x05): ("SET_BREAK", 0, set_break, {0}),
                (0x41, 0x07): ("SET_MHS", 0, mhs, {0}), (0xC1, 0x08): ("GET_MDMSTS", 1, mdmsts, {0}),
                (0xC1, 0x0F): ("GET_PROPS", (1, 64), props, {0}),
                (0xC1, 0x10): ("GET_COMM_STATUS", 19, comm_status, {0}), (0x41, 0x11): ("RESET", 0, reset, {0}),
                (0x41, 0x12): ("PURGE", 0, purge, {0}), (0x41, 0x13): ("SET_FLOW", 16, set_flow, {0}),
                (0xC1, 0x14): ("GET_FLOW", 16, get_flow, {0}), (0xC1, 0x1D): ("GET_BAUDRATE", 4, get_baud, {0}),
                (0x41, 0x1E): ("SET_BAUDRATE", 4, set_baud, {0})}


@model
class Ch340(Chip):
    name, vid, pid, bcd, usb, ep0, dev_class, power = "ch340", 0x1A86, 0x7523, 0x0254, 0x0110, 8, (0xFF, 0, 0), 98
    strings = ("QinHeng Electronics", "USB Serial", "5A7F0123")
    interfaces = ((0xFF, 0x01, 0x02, b"", [(0x82, T_BULK, 32, 0), (0x02, T_BULK, 32, 0),
                                           (0x81, T_INT, 8, 1)]),)
    bulk_in, tx_size, rx_size, enabled_at_reset = 0x82, 32, 32, False
    WRITABLE = (0x12, 0x13, 0x18, 0x25, 0x27)

    def power_on(self):
        # 9615 baud (the nearest to 9600 the divider makes), 8 data bits, RX and TX off.
        self.regs = {0x07: 0, 0x12: 0x02, 0x13: 0xB2, 0x18: 0x03, 0x25: 0, 0x27: 0}
        return dict(super().power_on(), rate=self.rate())

    def rate(self):
        ps, fact, d = self.regs[0x12] & 3, self.regs[0x12] >> 2 & 1, self.regs[0x13]
        return 48000000.0 / ((1 << (12 - 3 * ps - fact)) * (256 - d if d else 256))

    def version(self, value, index, data):
        if value or index:
            raise Stall("wValue/wIndex not 0")
        return bytes([0x31, 0x00])

    def init(self, value, index, data):
        if value or index:
            raise Stall("init 0x%04x 0x%04x not modelled" % (value, index))

    def read_reg(self, value, index, data):
        m = self.sim.modem
        regs = dict(self.regs)
        regs[0x06] = ~(m["cts"] | m["dsr"] << 1 | m["ri"] << 2 | m["dcd"] << 3) & 0xFF
        pair = (value & 0xFF, value >> 8)
        if index or any(r not in regs for r in pair):
            raise Stall("register pair 0x%04x (wIndex 0x%04x)" % (value, index))
        return bytes(regs[r] for r in pair)

    def write_reg(self, value, index, data):
        writes = ((value & 0xFF, index & 0xFF), (value >> 8, index >> 8))
        for reg, val in writes:
            if (reg not in self.WRITABLE or (reg == 0x13 and val == 0xFF) or (reg == 0x25 and val)
                    or (reg == 0x27 and val > 1)):
                raise Stall("register 0x%02x = 0x%02x" % (reg, val))
        self.regs.update(writes)
        lcr = self.regs[0x18]
        parity = "none" if not lcr & 0x08 else {0: "odd", 1: "even", 2: "mark", 3: "space"}[lcr >> 4 & 3]
        self.sim.set_line(rate=self.rate(), data=5 + (lcr & 3), parity=parity, stop=2 if lcr & 4 else 1,
                          enabled=lcr & 0xC0 == 0xC0, flow="rts_cts" if self.regs[0x27] else "none")

    def modem_ctrl(self, value, index, data):
        if index:
            raise Stall("wIndex 0x%04x" % index)
        self.sim.set_line(dtr=not value & 0x20, rts=not value & 0x40)

    requests = {(0xC0, 0x5F): ("READ_VERSION", 2, version, None), (0x40, 0xA1): ("SERIAL_INIT", 0, init, None),
                (0xC0, 0x95): ("READ_REG", 2, read_reg, None), (0x40, 0x9A): ("WRITE_REG", 0, write_reg, None),
                (0x40, 0xA4): ("MODEM_CTRL", 0, modem_ctrl, None)}


PL2303_RATES = (75, 150, 300, 600, 1200, 1800, 2400, 3600, 4800, 7200, 9600, 14400, 19200, 28800,
                38400, 57600, 115200, 230400, 460800, 614400, 921600, 1228800, 2457600, 3000000, 6000000)


@model
class Pl2303(Chip):
    name, vid, pid, bcd, usb, power = "pl2303", 0x067B, 0x2303, 0x0300, 0x0110, 100
    strings = ("Prolific Technology Inc.", "USB-Serial Controller", "00000001")
    interfaces = ((0xFF, 0x00, 0x00, b"", [(0x81, T_INT, 10, 1), (0x02, T_BULK, 64, 0),
                                           (0x83, T_BULK, 64, 0)]),)
    bulk_in = 0x83

    def power_on(self):
        self.regs = {}
        return super().power_on()

    def set_coding(self, value, index, data):
        line = self.line_coding(data, (5, 6, 7, 8))
        line["rate"] = max([r for r in PL2303_RATES if r <= line["rate"]] or [75])
        self.sim.set_line(**line)

    def brk(self, value, index, data):
        if value not in (0, 0xFFFF):
            raise Stall("break 0x%04x" % value)
        self.sim.set_line(brk=value == 0xFFFF)

    def vendor_write(self, value, index, data):
        if not (value <= 9 or value in (0x0404, 0x0383, 0x8383)) or index > 0xFF:
            raise Stall("register 0x%04x = 0x%04x" % (value, index))
        if value == 0 and index >> 4 not in (0, 6):
            raise Stall("flow bits 0x%02x" % index)
        self.regs[value] = index
        if value == 0:
            self.sim.set_line(flow="rts_cts" if index >> 4 == 6 else "none")
        elif value in (8, 9) and index == 0:
            self.sim.purge(rx=value == 8, tx=value == 9)

    def vendor_read(self, value, index, data):
        return bytes([self.regs.get(value, 0)])

    requests = {(0x21, 0x20): ("SET_LINE_REQUEST", 7, set_coding, {0}),
                (0xA1, 0x21): ("GET_LINE_REQUEST", 7, Chip.get_coding, {0}),
                (0x21, 0x22): ("SET_CONTROL_REQUEST", 0, Chip.lines, {0}), (0x21, 0x23): ("BREAK", 0, brk, {0}),
                (0x40, 0x01): ("VENDOR_WRITE", 0, vendor_write, None),
                (0xC0, 0x01): ("VENDOR_READ", 1, vendor_read, None)}


@model
class CdcAcm(Chip):
    name, vid, pid, dev_class, power = "cdcacm", 0x1209, 0x0001, (0xEF, 0x02, 0x01), 100
    strings = ("Zorvik Test Rig", "CDC ACM UART", "ZV0001")
    iad = bytes([8, 0x0B, 0, 2, 0x02, 0x02, 0x01, 0])
    interfaces = ((0x02, 0x02, 0x01, bytes([5, 0x24, 0x00, 0x20, 0x01, 5, 0x24, 0x01, 0x00, 1,
                                             4, 0x24, 0x02, 0x02, 5, 0x24, 0x06, 0, 1]),
                   [(0x81, T_INT, 16, 16)]),
                  (0x0A, 0x00, 0x00, b"", [(0x02, T_BULK, 64, 0), (0x82, T_BULK, 64, 0)]))
    bulk_in, tx_size, rx_size = 0x82, 128, 128

    def set_coding(self, value, index, data):
        self.sim.set_line(**self.line_coding(data, (5, 6, 7, 8, 16)))

    def brk(self, value, index, data):
        self.sim.set_line(brk=value == 0xFFFF)

    requests = {(0x21, 0x20): ("SET_LINE_CODING", 7, set_coding, {0}),
                (0xA1, 0x21): ("GET_LINE_CODING", 7, Chip.get_coding, {0}),
                (0x21, 0x22): ("SET_CONTROL_LINE_STATE", 0, Chip.lines, {0}),
                (0x21, 0x23): ("SEND_BREAK", 0, brk, {0})}


class Transfer:
    """A data packet QEMU is waiting on: the request, and what has moved so far."""

    def __init__(self, kind, pid, ep, length, data):
        self.kind, self.pid, self.ep, self.length, self.data = kind, pid, ep, length, data
        self.got, self.moved, self.dropped = bytearray(), 0, False


class BridgeSim:
    def __init__(self, chip, redir_path, line_path=None, log=None):
        if chip not in CHIPS:
            raise ValueError("chips: " + ", ".join(sorted(CHIPS)))
        self.chip = CHIPS[chip](self)
        self.path, self.line_path, self.log = redir_path, line_path, log
        self.cond = threading.Condition()
        self.modem = dict(cts=False, dsr=False, ri=False, dcd=False)  # nothing wired to them
        self.requests = []
        self.counts = dict(tx=0, rx=0, garbled_tx=0, garbled_rx=0, lost_tx=0, lost_rx=0, overrun=0)
        self.connected = threading.Event()
        self.hung_up = threading.Event()
        self.stopping = False
        self.conn = self.line_sock = self.listener = None
        self.threads = []
        self.attached = True
        self._power_on()
        self._session()

    # -- control --------------------------------------------------------------
    def start(self):
        if os.path.exists(self.path):
            os.unlink(self.path)
        self.listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.listener.bind(self.path)
        self.listener.listen(1)
        self.listener.settimeout(0.2)
        for target in (self._serve, self._service) + ((self._line,) if self.line_path else ()):
            self.threads.append(threading.Thread(target=target, daemon=True))
            self.threads[-1].start()
        return self

    def stop(self):
        with self.cond:
            self.stopping = True
            self.cond.notify_all()
        for s in (self.conn, self.line_sock):
            if s is not None:
                try:
                    s.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
        for t in self.threads:
            t.join(timeout=5)
        for s in (self.conn, self.line_sock, self.listener):
            if s is not None:
                s.close()
        if os.path.exists(self.path):
            os.unlink(self.path)

    def wait_line(self, pred, timeout):
        """Waits until pred(self.line) holds; it is asked again at every change, counts too."""
        with self.cond:
            return self.cond.wait_for(lambda: pred(self.line), timeout)

    def fault(self, kind, **args):
        with self.cond:
            now = time.monotonic()
            if kind in ("stall", "nak"):
                ep = int(args["ep"])
                if ep not in self.chip.endpoints():
                    raise ValueError("no endpoint 0x%02x on the %s" % (ep, self.chip.name))
                if kind == "stall":
                    self.halted.add(ep)
                else:
                    self.nak_until[ep] = now + float(args["seconds"])
            elif kind == "short":
                self.short = True
            elif kind == "drop":
                self.drop = True
            elif kind == "disconnect" and self.attached:
                self.attached = False
                self.pending.clear()
                self.acked = False
                self._send(DISCONNECT, 0)
            elif kind == "connect" and not self.attached:
                if DISCONNECT_ACK in self.caps:
                    self.cond.wait_for(lambda: self.acked or self.stopping, 2)
                self.attached = True
                self._power_on()
                self._announce()
            elif kind not in ("disconnect", "connect"):
                raise ValueError("faults: stall EP, nak EP SECONDS, short, drop, disconnect, connect")
            words = [kind] + (["0x%02x" % int(args["ep"])] if "ep" in args else [])
            self._note("fault", " ".join(words + (["%ss" % args["seconds"]] if "seconds" in args else [])))
            self.cond.notify_all()

    # -- chip state, called by the chip models with the lock held ---------------------------
    def set_line(self, **changes):
        new = dict(self.line, **changes)
        if new != self.line:
            self.line = new
            self._note("line", "%.1f %d%s%g flow %s dtr %d rts %d %s%s" % (
                new["rate"], new["data"], new["parity"][0].upper(), new["stop"], new["flow"], new["dtr"],
                new["rts"], "enabled" if new["enabled"] else "disabled", " break" if new["brk"] else ""))
            self.cond.notify_all()

    def purge(self, rx=False, tx=False):
        if rx:
            self.rx.clear()
        if tx:
            self.tx.clear()

    def take(self, n):
        if self.short and n >= 2:
            n, self.short = n // 2, False
        data = bytes(self.rx[:n])
        del self.rx[:n]
        return data

    def _power_on(self):
        self.line = self.chip.power_on()
        self.rx, self.tx, self.rx_wire = bytearray(), bytearray(), deque()
        self.tx_free = self.rx_due = 0.0
        self.xoff = self.short = self.drop = False
        self.halted, self.nak_until, self.pending = set(), {}, {}
        self.configuration = 1  # the redirecting host hands the device over configured

    def _session(self):
        self.caps, self.ids64, self.bulk32, self.acked = set(), False, False, True

    # -- the usbredir link ------------------------------------------------------
    def _serve(self):
        while not self.stopping:
            try:
                conn, _ = self.listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            conn.settimeout(None)
            with self.cond:
                if self.stopping:
                    conn.close()
                    return
                self.conn = conn
                self._session()
                self._power_on()
                self._note("link", "QEMU connected")
                self._send(HELLO, 0, b"bridgesim 1.0".ljust(64, b"\0") + struct.pack("<I", OUR_CAPS))
            self.connected.set()
            buf = bytearray()
            while not self.stopping:
                try:
                    data = conn.recv(65536)
                except OSError:
                    break
                if not data:
                    break
                buf += data
                with self.cond:
                    while True:
                        size = 16 if self.ids64 else 12
                        if len(buf) < size:
                            break
                        ptype, length, pid = struct.unpack("<IIQ" if size == 16 else "<III", buf[:size])
                        if len(buf) < size + length:
                            break
                        body = bytes(buf[size:size + length])
                        del buf[:size + length]
                        self._packet(ptype, pid, body)
                    self.cond.notify_all()
            with self.cond:
                self._note("link", "QEMU gone")
                self.conn = None
                self.pending.clear()
            conn.close()
            self.hung_up.set()

    def _send(self, ptype, pid, body=b""):
        if self.conn is None:
            return
        header = struct.pack("<IIQ" if self.ids64 else "<III", ptype, len(body), pid)
        try:
            self.conn.sendall(header + body)
        except OSError:
            pass

    def _announce(self, connect=True):
        ifaces = self.chip.interfaces if self.configuration else ()
        pad = lambda values: bytes(values) + bytes(32 - len(values))  # noqa: E731
        self._send(IFACE_INFO, 0, struct.pack("<I", len(ifaces)) + pad(range(len(ifaces)))
                   + b"".join(pad([i[k] for i in ifaces]) for k in range(3)))
        kinds, intervals, numbers, sizes = [T_INVALID] * 32, [0] * 32, [0] * 32, [0] * 32
        kinds[0] = kinds[16] = T_CONTROL
        sizes[0] = sizes[16] = self.chip.ep0
        for n, i in enumerate(ifaces):
            for address, kind, size, interval in i[4]:
                k = (address & 0x0F) | (address & 0x80) >> 3
                kinds[k], intervals[k], numbers[k], sizes[k] = kind, interval, n, size
        self._send(EP_INFO, 0, bytes(kinds) + bytes(intervals) + bytes(numbers)
                   + (struct.pack("<32H", *sizes) if CAP_EP_MAX_PACKET in self.caps else b""))
        if not connect:
            return
        c = self.chip
        self._send(CONNECT, 0, struct.pack("<BBBBHH", 1, *c.dev_class, c.vid, c.pid)
                   + (struct.pack("<H", c.bcd) if CAP_CONNECT_VERSION in self.caps else b""))

    def _packet(self, ptype, pid, body):
        if ptype == HELLO:
            peer = struct.unpack("<I", body[64:68])[0] if len(body) >= 68 else 0
            self.caps = {c for c in range(32) if peer & OUR_CAPS & 1 << c}
            self._note("link", "peer %s, caps 0x%x" % (body[:64].rstrip(b"\0").decode(errors="replace"), peer))
            self.ids64, self.bulk32 = CAP_64BIT_IDS in self.caps, CAP_32BIT_BULK in self.caps
            if self.attached:
                self._announce()
        elif ptype == CONTROL:
            self._control(pid, body)
        elif ptype in (BULK, INTERRUPT):
            self._data(ptype, pid, body)
        elif ptype == SET_CONFIG:
            ok = body[0] in (0, 1)
            self._record((0x00, 9, body[0], 0, 0), b"", "ok" if ok else "stall: configuration %d" % body[0], "redir")
            if ok:
                self.configuration = body[0]
            self._send(CONFIG_STATUS, pid, bytes([SUCCESS if ok else STALL, self.configuration]))
            if ok:
                self._announce(connect=False)
        elif ptype == GET_CONFIG:
            self._record((0x80, 8, 0, 0, 1), bytes([self.configuration]), "ok", "redir")
            self._send(CONFIG_STATUS, pid, bytes([SUCCESS, self.configuration]))
        elif ptype in (SET_ALT, GET_ALT):
            iface, alt = body[0], body[1] if ptype == SET_ALT else 0
            ok = self.configuration and iface < len(self.chip.interfaces) and alt == 0
            setup = (0x01, 11, alt, iface, 0) if ptype == SET_ALT else (0x81, 10, 0, iface, 1)
            self._record(setup, b"", "ok" if ok else "stall: interface %d alt %d" % (iface, alt), "redir")
            self._send(ALT_STATUS, pid, bytes([SUCCESS if ok else STALL, iface, 0]))
        elif ptype in (START_INT, STOP_INT):
            ep = body[0]
            ok = self.chip.endpoints().get(ep, (0, (0, 0)))[1][1] == T_INT and bool(ep & 0x80)
            self._note("int", "%s interrupt receiving on 0x%02x" % ("start" if ptype == START_INT else "stop", ep))
            self._send(INT_STATUS, pid, bytes([SUCCESS if ok else INVAL, ep]))
        elif ptype in (START_ISO, STOP_ISO):
            self._send(ISO_STATUS, pid, bytes([INVAL, body[0]]))
        elif ptype in (ALLOC_STREAMS, FREE_STREAMS):
            self._send(STREAMS_STATUS, pid, body[:4] + bytes(4) + bytes([INVAL]))
        elif ptype == START_BULK_RECV:
            self._send(BULK_RECV_STATUS, pid, body[:4] + bytes([body[8], INVAL]))
        elif ptype == CANCEL:
            self._cancel(pid)
        elif ptype == RESET:
            # A bus reset resets the chip; the configuration stays, as the redirecting host
            # restores it after a reset, and what QEMU has not cancelled is still owed an answer.
            config, pending = self.configuration, self.pending
            self._power_on()
            self.configuration, self.pending = config, pending
            self._note("link", "reset")
        elif ptype == DISCONNECT_ACK:
            self.acked = True
            self._note("link", "unplug acknowledged")
        else:
            self._note("link", "packet type %d ignored" % ptype)

    # -- control requests -------------------------------------------------------
    def _record(self, setup, data, verdict, via="ctrl"):
        self.requests.append((time.monotonic(), setup, bytes(data), verdict))
        shown = (" " + bytes(data).hex(" ")) if data else ""
        self._note(via, "%02x %02x %04x %04x %04x %s%s" % (setup + (verdict, shown)))

    def _control(self, pid, body):
        ep, request, rtype, _, value, index, length = struct.unpack("<BBBBHHH", body[:10])
        data = body[10:]
        try:
            if not self.attached:
                raise Stall("device unplugged")
            if rtype & 0x60:
                answer = self._chip_request(rtype, request, value, index, length, data)
            else:
                answer = self._standard(rtype, request, value, index, length)
            status, verdict = SUCCESS, "ok"
        except Stall as e:
            answer, status, verdict = b"", STALL, "stall: %s" % e
        if rtype & 0x80:
            answer = bytes(answer or b"")[:length]
            self._record((rtype, request, value, index, length), answer, verdict)
            self._send(CONTROL, pid, struct.pack("<BBBBHHH", ep, request, rtype, status, value, index,
                                                 len(answer)) + answer)
        else:
            self._record((rtype, request, value, index, length), data, verdict)
            self._send(CONTROL, pid, struct.pack("<BBBBHHH", ep, request, rtype, status, value, index,
                                                 len(data) if status == SUCCESS else 0))

    def _chip_request(self, rtype, request, value, index, length, data):
        entry = self.chip.requests.get((rtype, request))
        if entry is None:
            known = ["0x%02x" % k[0] for k in self.chip.requests if k[1] == request]
            if known:
                raise Stall("bmRequestType 0x%02x for request 0x%02x (it takes %s)" % (rtype, request, "/".join(known)))
            raise Stall("request 0x%02x unknown" % request)
        name, size, handler, indexes = entry
        lo, hi = size if isinstance(size, tuple) else (size, size)
        if not lo <= length <= hi:
            raise Stall("%s wLength %d" % (name, length))
        if indexes is not None and index not in indexes:
            raise Stall("%s wIndex 0x%04x" % (name, index))
        return handler(self.chip, value, index, data)

    def _standard(self, rtype, request, value, index, length):
        eps = self.chip.endpoints()
        recipient = rtype & 0x1F
        if (rtype, request) == (0x80, 6):
            kind, n = value >> 8, value & 0xFF
            strings = (b"\x04\x03\x09\x04",) + tuple(string_descriptor(s) for s in self.chip.strings)
            if kind == 1 and n == 0 and index == 0:
                return self.chip.device_descriptor()
            if kind == 2 and n == 0 and index == 0:
                return self.chip.config_descriptor()
            if kind == 3 and n < len(strings) and index == (0 if n == 0 else 0x0409):
                return strings[n]
            raise Stall("descriptor 0x%04x (wIndex 0x%04x)" % (value, index))
        if request == 0 and rtype & 0x80 and length == 2 and value == 0:
            if recipient == 0 and index == 0 or recipient == 1 and index < len(self.chip.interfaces):
                return bytes(2)
            if recipient == 2 and (index in eps or index & 0x7F == 0):
                return bytes([index in self.halted, 0])
        if request in (1, 3) and rtype == 0x02 and value == 0 and length == 0 and (index in eps or index & 0x7F == 0):
            if request == 1:
                self.halted.discard(index)
            elif index & 0x7F:
                self.halted.add(index)
            return b""
        if (rtype, request) == (0x00, 5) and value < 128 and index == 0 and length == 0:
            return b""
        if (rtype, request) == (0x80, 8) and length == 1:
            return bytes([self.configuration])
        if (rtype, request) == (0x00, 9) and value in (0, 1) and index == 0 and length == 0:
            self.configuration = value
            return b""
        if (rtype, request) == (0x81, 10) and index < len(self.chip.interfaces) and length == 1:
            return b"\x00"
        if (rtype, request) == (0x01, 11) and index < len(self.chip.interfaces) and value == 0 and length == 0:
            return b""
        raise Stall("standard request 0x%02x/0x%02x wValue 0x%04x wIndex 0x%04x wLength %d" % (
            rtype, request, value, index, length))

    # -- data packets -------------------------------------------------------------
    def _data(self, kind, pid, body):
        if kind == BULK:
            ep, _, length, _ = struct.unpack("<BBHI", body[:8])
            size = 10 if self.bulk32 else 8
            if self.bulk32:
                length |= struct.unpack("<H", body[8:10])[0] << 16
        else:
            ep, _, length = struct.unpack("<BBH", body[:4])
            size = 4
        t = Transfer(kind, pid, ep, length, body[size:])
        if not self.attached or not self.configuration or ep not in self.chip.endpoints():
            self._complete(t, IOERROR if not self.attached else STALL)
            return
        if self.drop and ep == self.chip.bulk_out:
            t.dropped, self.drop = True, False
        self.pending.setdefault(ep, deque()).append(t)
        self._step(time.monotonic())

    def _complete(self, t, status):
        if t.ep & 0x80:
            payload, length = bytes(t.got), len(t.got)
        else:
            payload, length = b"", t.moved
        if t.kind == BULK:
            header = struct.pack("<BBHI", t.ep, status, length & 0xFFFF, 0)
            header += struct.pack("<H", length >> 16) if self.bulk32 else b""
        else:
            header = struct.pack("<BBH", t.ep, status, length)
        if status != SUCCESS or len(t.got) > self.chip.status_size or (t.moved and not t.dropped):
            self._note("data", "0x%02x %s%s" % (t.ep, ("status %d " % status) if status else "",
                                                  bytes(t.got).hex(" ") if t.ep & 0x80 else "%d bytes out" % t.moved))
        self._send(t.kind, t.pid, header + payload)

    def _cancel(self, pid):
        for q in self.pending.values():
            for t in q:
                if t.pid == pid:
                    q.remove(t)
                    self._complete(t, CANCELLED)
                    return

    # -- time: the line and the endpoints -------------------------------------------
    def _service(self):
        with self.cond:
            while not self.stopping:
                now = time.monotonic()
                wake = self._step(now)
                self.cond.wait(min(max(wake - now, 0.0005), 0.5) if wake else 0.5)

    def _step(self, now):
        """Moves what is due; returns when something next falls due (or None)."""
        line, chip, wakes = self.line, self.chip, []
        ct, mismatched = char_time(line), not matches_pn532(line)
        held = (not line["enabled"] or line["brk"] or line["flow"] == "xon_xoff" and self.xoff
                or line["flow"] == "rts_cts" and not self.modem["cts"]
                or line["flow"] == "dtr_dsr" and not self.modem["dsr"])
        if held:
            self.tx_free = max(self.tx_free, now)
        out = bytearray()
        while self.tx and not held and self.tx_free + ct <= now:
            self.tx_free += ct
            out.append(self.tx.pop(0))
        if out:
            if mismatched:
                out = bytearray(garble(b) for b in out)
                self.counts["garbled_tx"] += len(out)
            self.counts["tx"] += len(out)
            self._to_line(bytes(out))
        if self.tx and not held:
            wakes.append(self.tx_free + ct)
        arrived = bool(self.rx_wire) and self.rx_wire[0][0] <= now
        while self.rx_wire and self.rx_wire[0][0] <= now:
            b = self.rx_wire.popleft()[1]
            if not line["enabled"]:
                self.counts["lost_rx"] += 1
                continue
            if mismatched:
                b = garble(b)
                self.counts["garbled_rx"] += 1
                if isinstance(chip, Ft232r):
                    chip.errors |= 0x08
            if line["flow"] == "xon_xoff" and b in (0x11, 0x13):
                self.xoff = b == 0x13
            if len(self.rx) >= chip.rx_size:
                self.counts["overrun"] += 1
                if isinstance(chip, Ft232r):
                    chip.errors |= 0x02
                continue
            self.rx.append(b)
            self.counts["rx"] += 1
        if arrived or out:
            self.cond.notify_all()  # wait_line() callers may be watching the counts
        if self.rx_wire:
            wakes.append(self.rx_wire[0][0])
        for ep, q in self.pending.items():
            if not q:
                continue
            if ep in self.halted:
                while q:
                    self._complete(q.popleft(), STALL)
                continue
            if self.nak_until.get(ep, 0) > now:
                wakes.append(self.nak_until[ep])
                continue
            if ep == chip.bulk_in:
                wakes.append(self._answer_in(q, now))
            elif ep == chip.bulk_out:
                self._accept_out(q, now)
        return min([w for w in wakes if w is not None], default=None)

    def _answer_in(self, q, now):
        size = self.chip.bulk_in_size()
        while q:
            t = q[0]
            packet, wake = self.chip.in_packet(now)
            if packet is None:
                return wake
            room = t.length - len(t.got)
            t.got += packet[:room]
            if len(packet) > room:
                self._complete(q.popleft(), BABBLE)
            elif len(packet) < size or len(t.got) == t.length:
                self._complete(q.popleft(), SUCCESS)
        return None

    def _accept_out(self, q, now):
        size = self.chip.endpoints()[self.chip.bulk_out][1][2]
        while q:
            t = q[0]
            while t.moved < len(t.data):
                chunk = t.data[t.moved:t.moved + size]
                lost = t.dropped or not self.line["enabled"]
                if not lost and len(self.tx) + len(chunk) > self.chip.tx_size:
                    return  # the chip NAKs until its buffer has room
                if lost:
                    self.counts["lost_tx"] += len(chunk)
                else:
                    if not self.tx:
                        self.tx_free = max(self.tx_free, now)
                    self.tx += chunk
                t.moved += len(chunk)
            self._complete(q.popleft(), SUCCESS)

    # -- the serial line ---------------------------------------------------------------
    def _to_line(self, data):
        if self.line_sock is None:
            return
        try:
            self.line_sock.sendall(data)
        except OSError:
            pass

    def _line(self):
        s, deadline = None, time.monotonic() + 10
        while s is None and not self.stopping:
            c = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            try:
                c.connect(self.line_path)
                s = c
            except OSError:
                c.close()
                if time.monotonic() > deadline:
                    self._note("line", "nothing listens on " + self.line_path)
                    return
                time.sleep(0.05)
        if s is None:
            return
        with self.cond:
            if self.stopping:
                s.close()
                return
            self.line_sock = s
            self._note("line", "connected to " + self.line_path)
        while not self.stopping:
            try:
                data = s.recv(4096)
            except OSError:
                break
            if not data:
                break
            with self.cond:
                now, ct = time.monotonic(), char_time(self.line)
                for b in data:
                    self.rx_due = max(self.rx_due, now) + ct
                    self.rx_wire.append((self.rx_due, b))
                self.cond.notify_all()
        with self.cond:
            self._note("line", "the line hung up")

    def _note(self, what, text):
        if self.log is not None:
            stamp = time.strftime("%H:%M:%S") + ".%03d" % (int(time.time() * 1000) % 1000)
            print("%s %-5s %s" % (stamp, what, text), file=self.log, flush=True)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--chip", required=True, choices=sorted(CHIPS))
    ap.add_argument("--socket", required=True, help="UNIX socket to listen on for QEMU's usb-redir chardev")
    ap.add_argument("--line", help="UNIX socket of the PN532 simulator, to connect to")
    ap.add_argument("--log", help="log file (default stderr)")
    args = ap.parse_args(argv)
    log = open(args.log, "a") if args.log else sys.stderr
    sim = BridgeSim(args.chip, args.socket, args.line, log=log).start()
    print("bridgesim: %s listening on %s" % (args.chip, args.socket), file=log, flush=True)
    try:
        for text in sys.stdin:
            words = text.split()
            if not words:
                continue
            if words[0] == "quit":
                break
            try:
                names = {"stall": ("ep",), "nak": ("ep", "seconds")}.get(words[0], ())
                values = [int(words[1], 16)] + words[2:] if names else []
                if len(values) != len(names):
                    raise ValueError("%s takes %s" % (words[0], " ".join(names).upper()))
                sim.fault(words[0], **dict(zip(names, values)))
            except (ValueError, IndexError) as e:
                print("bridgesim: %s" % e, file=log, flush=True)
        else:
            while not sim.hung_up.wait(0.5):
                pass
    except KeyboardInterrupt:
        pass
    finally:
        sim.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())

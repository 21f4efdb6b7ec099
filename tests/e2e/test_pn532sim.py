#!/usr/bin/env python3
# The PN532 simulator against the frames the driver writes, over a real socket.
# SPDX-License-Identifier: BSD-2-Clause-Patent
import os
import socket
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
import pn532sim  # noqa: E402

WAKEUP = bytes([0x55, 0x55] + [0x00] * 14 + [0xFF, 0x03, 0xFD, 0xD4, 0x14, 0x01, 0x17, 0x00])
GET_FIRMWARE = bytes.fromhex("0000FF02FED4022A00")
LIST_TARGET = bytes.fromhex("0000FF04FCD44A0100E100")


class FrameParsing(unittest.TestCase):
    def test_command_frames_match_the_driver_bytes(self):
        self.assertEqual(pn532sim.command_frame(0x02), GET_FIRMWARE)
        self.assertEqual(pn532sim.command_frame(0x4A, b"\x01\x00"), LIST_TARGET)

    def test_wakeup_sequence_yields_samconfiguration(self):
        events = pn532sim.FrameParser().feed(WAKEUP)
        self.assertEqual(events, [("frame", bytes([0xD4, 0x14, 0x01]))])

    def test_frame_split_across_reads_is_joined(self):
        p = pn532sim.FrameParser()
        got = []
        for b in LIST_TARGET:
            got += p.feed(bytes([b]))
        self.assertEqual(got, [("frame", bytes([0xD4, 0x4A, 0x01, 0x00]))])

    def test_bad_checksums_are_dropped_and_the_next_frame_still_parses(self):
        bad_dcs = bytearray(GET_FIRMWARE)
        bad_dcs[7] ^= 1
        bad_lcs = bytearray(GET_FIRMWARE)
        bad_lcs[4] ^= 1
        events = pn532sim.FrameParser().feed(bytes(bad_dcs) + bytes(bad_lcs) + GET_FIRMWARE)
        self.assertEqual([e[0] for e in events], ["bad", "bad", "frame"])
        self.assertEqual(events[0][1], "DCS")
        self.assertEqual(events[1][1], "LEN/LCS")

    def test_host_ack_is_recognised(self):
        self.assertEqual(pn532sim.FrameParser().feed(pn532sim.ACK), [("ack",)])

    def test_response_frame_checksums(self):
        f = pn532sim.response_frame(0x03, pn532sim.FIRMWARE)
        self.assertEqual(f, bytes.fromhex("0000FF06FAD50332010607E800"))
        self.assertNotEqual(pn532sim.response_frame(0x03, b"", bad_dcs=True)[-2],
                            pn532sim.response_frame(0x03, b"")[-2])

    def test_identifier_lengths(self):
        for text in ("04A13F7B", "04112233445566", "0102030405060708090A"):
            uid = pn532sim.parse_uid(text)
            a = pn532sim.target_answer(uid)
            self.assertEqual(a[0], 1)
            self.assertEqual(a[5], len(uid))
            self.assertEqual(a[6:], uid)
        with self.assertRaises(ValueError):
            pn532sim.parse_uid("0102")

    def test_line_faults_repeat_for_a_seed(self):
        noise = pn532sim.disturbance("noise", 2, seed=7)
        self.assertEqual(noise, pn532sim.disturbance("noise", 2, seed=7))
        self.assertNotEqual(noise, pn532sim.disturbance("noise", 2, seed=8))
        gaps = [b[0] - a[0] for a, b in zip(noise, noise[1:])]
        self.assertTrue(all(0.005 <= g <= 0.090 for g in gaps))
        self.assertTrue(all(len(d) == 1 for _, d in noise))
        flood = b"".join(d for _, d in pn532sim.disturbance("flood", 2))
        self.assertEqual(flood, bytes(2 * pn532sim.LINE_BYTES_PER_SECOND))


class OnTheLine(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp()
        self.sim = pn532sim.Pn532Sim(os.path.join(self.dir, "s")).start()
        self.host = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.host.connect(self.sim.path)
        self.host.settimeout(0.3)
        self.assertTrue(self.sim.connected.wait(2))

    def tearDown(self):
        self.host.close()
        self.sim.stop()
        os.rmdir(self.dir)

    def exchange(self, frame):
        self.host.sendall(frame)
        got = b""
        try:
            while True:
                got += self.host.recv(4096)
        except socket.timeout:
            pass
        return got

    def test_firmware_version(self):
        ack = pn532sim.ACK
        self.assertEqual(self.exchange(GET_FIRMWARE), ack + bytes.fromhex("0000FF06FAD50332010607E800"))

    def test_no_card_gives_only_the_ack_and_a_later_card_answers_the_pending_command(self):
        self.assertEqual(self.exchange(LIST_TARGET), pn532sim.ACK)
        self.sim.place("04A13F7B")
        late = self.exchange(b"")
        self.assertEqual(late, pn532sim.response_frame(0x4B, pn532sim.target_answer(bytes.fromhex("04A13F7B"))))

    def test_superseded_command_is_not_answered_late(self):
        self.assertEqual(self.exchange(LIST_TARGET), pn532sim.ACK)
        self.exchange(GET_FIRMWARE)
        self.sim.place("04A13F7B")
        self.assertEqual(self.exchange(b""), b"")

    def test_card_reported_n_times_leaves(self):
        self.sim.place("04A13F7B", answers=1)
        self.assertGreater(len(self.exchange(LIST_TARGET)), 6)
        self.assertEqual(self.exchange(LIST_TARGET), pn532sim.ACK)

    def test_faults_take_the_next_commands_in_order(self):
        self.sim.place("04A13F7B")
        for f in ("nack", "error", "badsum", "silence"):
            self.sim.fault(f)
        self.assertEqual(self.exchange(LIST_TARGET), pn532sim.NACK)
        self.assertEqual(self.exchange(LIST_TARGET), pn532sim.ACK + pn532sim.ERROR_FRAME)
        bad = self.exchange(LIST_TARGET)[6:]
        self.assertNotEqual(sum(bad[5:-1]) & 0xFF, 0, "the DCS fault must break the checksum")
        self.assertEqual(self.exchange(LIST_TARGET), b"")
        self.assertGreater(len(self.exchange(LIST_TARGET)), 6)

    def test_a_flood_takes_the_controller_off_the_line_for_a_while(self):
        self.sim.fault("flood", 0.4)
        got = self.exchange(LIST_TARGET)
        self.assertGreater(len(got), 1000)
        self.assertEqual(got, bytes(len(got)), "zeros only: the command went unheard")
        self.assertEqual(self.exchange(LIST_TARGET), pn532sim.ACK)


if __name__ == "__main__":
    unittest.main()

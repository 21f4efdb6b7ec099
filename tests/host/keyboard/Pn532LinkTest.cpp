/** @file
  The PN532 link as the controller on the line sees it: frames, ACK, timing, bad frames.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#include <gtest/gtest.h>

#include "FakeFirmware.h"
#include "FakePortIo.h"
#include "FakePn532.h"
#include "NfcKeyboard.h"

namespace {

using Bytes = std::vector<uint8_t>;

class Pn532Link : public ::testing::Test {
protected:
  fake::Pn532     Line;
  PN532_LINK_OPS  Ops;

  void SetUp () override
  {
    fake::Firmware::Reset ();
    fake::PortIo::Reset ();
    Pn532AttachLink (&Line.SerialIo);
    InitLinkOps (&Ops);
  }

  INT32 Exchange (UINT8 Command, UINT8 *Answer, UINT16 AnswerLength, const Bytes &Data, UINT32 TimeoutMs)
  {
    return Pn532Exchange (&Ops, Command, Answer, AnswerLength, Data.empty () ? nullptr : Data.data (),
                          (UINT16)Data.size (), TimeoutMs);
  }
};

TEST_F (Pn532Link, FillingATableWakesTheControllerEveryTime) {
  ASSERT_EQ (Line.Writes.size (), 1u);
  EXPECT_EQ (Line.Writes[0], Bytes (mPn532WakeupFrame, mPn532WakeupFrame + 24));
  UINT64  Before = fake::Firmware::NowUs ();
  InitLinkOps (&Ops);
  EXPECT_EQ (Line.Writes.size (), 2u);
  EXPECT_GE (fake::Firmware::NowUs () - Before, 50000u);
  EXPECT_EQ (Line.Commands, Bytes ({ 0x14, 0x14 }));
}

TEST_F (Pn532Link, WritesTheExactCommandFrames) {
  UINT8  Version[4];
  EXPECT_EQ (Exchange (0x02, Version, 4, {}, 500), 4);
  EXPECT_EQ (Line.Writes.back (), Bytes ({ 0x00, 0x00, 0xFF, 0x02, 0xFE, 0xD4, 0x02, 0x2A, 0x00 }));
  EXPECT_EQ (Version[1], 1);
  EXPECT_EQ (Version[2], 6);

  UINT8  Answer[19];
  Line.Card = { 0x04, 0xA1, 0x3F, 0x7B };
  EXPECT_EQ (Exchange (0x4A, Answer, 19, { 0x01, 0x00 }, 1), 10);
  EXPECT_EQ (Line.Writes.back (), Bytes ({ 0x00, 0x00, 0xFF, 0x04, 0xFC, 0xD4, 0x4A, 0x01, 0x00, 0xE1, 0x00 }));
}

TEST_F (Pn532Link, DataLength253IsSentAnd254OnlyWakes) {
  Bytes  Data (253, 0x11);
  UINT8  Answer[4];
  (VOID)Exchange (0x02, Answer, 4, Data, 1);
  EXPECT_EQ (Line.Writes.back ().size (), 262u);
  EXPECT_EQ (Line.Writes.back ()[3], 0xFF);

  size_t  Writes = Line.Writes.size ();
  EXPECT_EQ (Exchange (0x02, Answer, 4, Bytes (254, 0x11), 1), -1);
  ASSERT_EQ (Line.Writes.size (), Writes + 1);
  EXPECT_EQ (Line.Writes.back ().size (), 24u);
}

TEST_F (Pn532Link, EveryBadAnswerFailsWithoutTouchingAnswer) {
  const fake::PN532_FAULT  Faults[] = {
    fake::PN532_FAULT::Nack, fake::PN532_FAULT::ErrorFrame, fake::PN532_FAULT::BadLcs,
    fake::PN532_FAULT::BadDcs, fake::PN532_FAULT::ShortFrame, fake::PN532_FAULT::Garbage,
    fake::PN532_FAULT::WrongCode, fake::PN532_FAULT::Silent
  };
  for (auto F : Faults) {
    UINT8  Answer[4] = { 0xAA, 0xAA, 0xAA, 0xAA };
    Line.Fault = F;
    size_t  Writes = Line.Writes.size ();
    EXPECT_EQ (Exchange (0x02, Answer, 4, {}, 500), -1) << (int)F;
    EXPECT_EQ (Line.Writes.size (), Writes + 1) << "no retry";
    EXPECT_EQ (Answer[0], 0xAA);
    // The next exchange drains what is left and works again.
    EXPECT_EQ (Exchange (0x02, Answer, 4, {}, 500), 4) << (int)F;
  }
}

TEST_F (Pn532Link, LenTwoSucceedsWithZeroAnswerBytes) {
  Line.RawResponse = fake::Pn532::Frame (0xD5, { 0x03 });
  UINT8  Answer[4] = { 0xAA, 0xAA, 0xAA, 0xAA };
  EXPECT_EQ (Exchange (0x02, Answer, 4, {}, 500), 0);
  EXPECT_EQ (Answer[0], 0x00);   // filler, not the ACK or old stack bytes
}

TEST_F (Pn532Link, TimeoutsInVirtualTime) {
  Line.Fault = fake::PN532_FAULT::Silent;
  UINT8   Answer[4];
  UINT64  Stalls = fake::Firmware::StallCalls ();
  UINT64  T0 = fake::Firmware::NowUs ();
  EXPECT_EQ (Exchange (0x02, Answer, 4, {}, 500), -1);
  EXPECT_EQ (fake::Firmware::StallCalls () - Stalls, 11u);
  // Eleven looks 50 ms apart, each also costing the line's own read wait.
  UINT64  Spent = fake::Firmware::NowUs () - T0;
  EXPECT_GE (Spent, 550000u + 11 * Line.ReadWaitUs);
  EXPECT_LE (Spent, 550000u + 30 * Line.ReadWaitUs);

  Line.Fault = fake::PN532_FAULT::Silent;
  Stalls = fake::Firmware::StallCalls ();
  EXPECT_EQ (Exchange (0x02, Answer, 4, {}, 1), -1);
  EXPECT_EQ (fake::Firmware::StallCalls () - Stalls, 1u);
}

TEST_F (Pn532Link, AFrameThatStopsHalfWayEndsTheExchange) {
  // Without a bound this read would wait for the rest of a 262-byte frame for ever.
  Line.RawResponse = { 0x00, 0x00, 0xFF, 0xFF, 0x01, 0xD5, 0x03 };
  UINT8   Answer[4];
  UINT64  T0 = fake::Firmware::NowUs ();
  EXPECT_EQ (Exchange (0x02, Answer, 4, {}, 500), -1);
  EXPECT_LT (fake::Firmware::NowUs () - T0, 2000000u);

  // An "ACK" that announces a long frame is never stored past the staging area.
  Line.RawResponse.clear ();
  Line.Fault = fake::PN532_FAULT::Silent;
  EXPECT_EQ (Exchange (0x02, Answer, 4, {}, 1), -1);
  Line.Inject (Bytes (262, 0xFF), fake::Firmware::NowUs ());
  EXPECT_EQ (Exchange (0x02, Answer, 4, {}, 1), 4) << "the drain takes the junk first";
}

TEST_F (Pn532Link, HostileBytesNeverEscapeTheBuffers) {
  // Pseudo-random frames where the response should be: the exchange fails or succeeds,
  // never reads or writes out of bounds (ASan), and the next exchange works.
  uint32_t  Seed = 12345;
  for (int Round = 0; Round < 200; Round++) {
    Bytes  Junk;
    size_t  Size = 1 + (Seed % 300);
    for (size_t I = 0; I < Size; I++) {
      Seed = Seed * 1103515245u + 12345u;
      Junk.push_back ((Seed >> 16) % 4 == 0 ? 0x00 : (uint8_t)(Seed >> 8));
    }
    Junk[0] = 0x00; if (Size > 2) { Junk[2] = 0xFF; }
    Line.RawResponse = Junk;
    UINT8  Answer[19];
    INT32  R = Exchange (0x4A, Answer, 19, { 0x01, 0x00 }, 1);
    EXPECT_GE (R, -1);
    EXPECT_LE (R, 253);
    UINT8  Version[4];
    EXPECT_EQ (Exchange (0x02, Version, 4, {}, 500), 4) << Round;
  }
}

} // namespace

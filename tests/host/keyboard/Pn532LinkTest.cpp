/** @file
  The PN532 link as the controller on the line sees it: frames, ACK, timing, bad frames.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "FakeFirmware.h"
#include "FakePortIo.h"
#include "FakePn532.h"
#include "NfcKeyboard.h"
#include <Char16.h>

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
    Line.Mode.BaudRate = 115200;   // the line as the keyboard sets it
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
  // Only the size a look returns says whether it found a byte, whatever its status.
  Line.EmptyReadStatus = EFI_SUCCESS;
  EXPECT_EQ (Exchange (0x02, Version, 4, {}, 500), 4);
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

  // A NACK where the ACK belongs is refused once its six bytes are in: a drain look and
  // the write, no wait for a frame it does not announce.
  Line.Fault = fake::PN532_FAULT::Nack;
  T0 = fake::Firmware::NowUs ();
  EXPECT_EQ (Exchange (0x02, Answer, 4, {}, 500), -1);
  EXPECT_LT (fake::Firmware::NowUs () - T0, 40000u);
  // An answer far longer than asked for is not paced byte by byte.
  Bytes  Long (200, 0x5A);
  Long[0] = 0x03;
  Line.RawResponse = fake::Pn532::Frame (0xD5, Long);
  T0 = fake::Firmware::NowUs ();
  EXPECT_EQ (Exchange (0x02, Answer, 4, {}, 500), 199);
  EXPECT_LT (fake::Firmware::NowUs () - T0, 100000u);
  // A controller slow to begin has the whole wait; the frames' budget starts with its ACK.
  Line.AckUs = 300000;
  EXPECT_EQ (Exchange (0x02, Answer, 4, {}, 500), 4);
}

TEST_F (Pn532Link, AFrameThatStopsHalfWayEndsTheExchange) {
  // Without a bound this read would wait for the rest of a 262-byte frame for ever.
  Line.RawResponse = { 0x00, 0x00, 0xFF, 0xFF, 0x01, 0xD5, 0x03 };
  UINT8   Answer[4];
  UINT64  T0 = fake::Firmware::NowUs ();
  EXPECT_EQ (Exchange (0x02, Answer, 4, {}, 500), -1);
  EXPECT_LT (fake::Firmware::NowUs () - T0, 2000000u);
}

// A frame read stores only what the staging area holds, and waits out pauses between
// bytes (USB packets arrive apart) up to its bound.
TEST_F (Pn532Link, ReadFrameWaitsOutPausesAndStaysInsideItsBuffer) {
  Bytes  Ack = { 0x00, 0x00, 0xFF, 0x00, 0xFF, 0x00 };
  Bytes  Version = fake::Pn532::Frame (0xD5, { 0x03, 0x32, 0x01, 0x06, 0x07 });
  struct { Bytes First, Second; UINT64 PauseUs; UINT16 Length, Capacity; INT32 Result; } Cases[] = {
    { Bytes (Ack.begin (), Ack.begin () + 3), Bytes (Ack.begin () + 3, Ack.end ()), 60000, 6, 6, 6 },
    { Bytes (Version.begin (), Version.begin () + 5), Bytes (Version.begin () + 5, Version.end ()), 80000, 6, 20, 13 },
    { Bytes (Version.begin (), Version.begin () + 5), Bytes (Version.begin () + 5, Version.end ()), 600000, 6, 20, -1 },
    { { 0x00, 0x00, 0xFF, 0xFF, 0x01 }, Bytes (300, 0xD5), 0, 6, 6, -1 },
    { { 0x00, 0x00, 0xFF, 0xFF, 0x01 }, Bytes (300, 0xD5), 0, 6, 100, -1 },
  };
  for (auto &C : Cases) {
    Pn532AttachLink (&Line.SerialIo);
    UINT64  Now = fake::Firmware::NowUs ();
    Line.Inject (C.First, Now);
    Line.Inject (C.Second, Now + C.PauseUs);
    std::vector<UINT8>  Buffer (C.Capacity);   // exact size: ASan sees one byte past it
    INT32  R = Ops.ReadFrame (Buffer.data (), C.Length, C.Capacity);
    EXPECT_EQ (R, C.Result) << C.PauseUs << " " << C.Capacity;
    if (R > 0) {
      Bytes  Whole = C.First;
      Whole.insert (Whole.end (), C.Second.begin (), C.Second.end ());
      EXPECT_EQ (Bytes (Buffer.begin (), Buffer.begin () + R), Whole);
    }
    fake::Firmware::AdvanceUs (C.PauseUs + 600000);
    UINTN  Left = 512; UINT8 Junk[512];
    Line.SerialIo.Read (&Line.SerialIo, &Left, Junk);
  }
}

// Any well-formed answer comes out byte for byte; the same frame with one byte changed
// is refused; either way the next exchange works.
TEST_F (Pn532Link, AnswersAreTakenWholeOrNotAtAll) {
  uint32_t  Seed = 12345;
  auto Next = [&Seed] () { Seed = Seed * 1103515245u + 12345u; return (uint8_t)(Seed >> 16); };
  for (int Round = 0; Round < 200; Round++) {
    Bytes  Body = { 0x4B };
    size_t  Size = Next () % 20;
    for (size_t I = 0; I < Size; I++) {
      Body.push_back (Next ());
    }
    Bytes  Frame = fake::Pn532::Frame (0xD5, Body);
    bool   Corrupt = (Round % 2) == 1;
    if (Corrupt) {
      Frame[3 + Next () % (Frame.size () - 4)] ^= (uint8_t)(1 + Next () % 255);
    }
    Line.RawResponse = Frame;
    UINT8  Answer[19];
    std::memset (Answer, 0xEE, sizeof (Answer));
    INT32  R = Exchange (0x4A, Answer, 19, { 0x01, 0x00 }, 1);
    if (Corrupt) {
      EXPECT_EQ (R, -1) << Round;
    } else {
      ASSERT_EQ (R, (INT32)Size) << Round;
      EXPECT_EQ (Bytes (Answer, Answer + Size), Bytes (Body.begin () + 1, Body.end ())) << Round;
    }
    UINT8  Version[4];
    EXPECT_EQ (Exchange (0x02, Version, 4, {}, 500), 4) << Round;
  }
}

// A running keyboard polls a line that carries something other than its controller's
// answers: no tick may hold TPL_NOTIFY much longer than a quiet tick, and once the line
// is clean the card types again.
TEST (Pn532Noise, NoLineHoldsThePollAndTheCardTypesAfterwards) {
  enum class KIND { Quiet, Noise, Steady, ZeroFlood, Nack, HalfFrame, SecondTalker };
  struct { KIND Kind; const char *Name; bool Present; } Rows[] = {
    { KIND::Quiet, "quiet", true },
    { KIND::Noise, "random bytes at random gaps, reader gone", false },
    { KIND::Steady, "one byte every 15 ms, each just inside a look, reader gone", false },
    { KIND::ZeroFlood, "0x00 flood at line rate, reader gone", false },
    { KIND::Nack, "a NACK where the ACK belongs", true },
    { KIND::HalfFrame, "half an answer, then silence", true },
    { KIND::SecondTalker, "a second talker's frames", true },
  };
  constexpr int     Ticks     = 12;
  constexpr UINT64  PeriodUs  = 500000;
  UINT64            QuietUs   = 0;
  for (auto &R : Rows) {
    fake::Firmware::Reset ();
    fake::PortIo::Reset ();
    fake::Pn532  Line;
    EFI_HANDLE   Controller = fake::Firmware::NewHandle ();
    ASSERT_EQ (fake::Firmware::Install (&Controller, gEfiSerialIoProtocolGuid, &Line.SerialIo), EFI_SUCCESS);
    UINT8  Enabled = 1;
    fake::Firmware::PutVariable (CHAR16_TEXT (ZORVIK_CONF_VARIABLE_NAME), ZORVIK_CONF_GUID, 3, &Enabled, 1);
    ASSERT_EQ (NfcKeyboardDriverEntryPoint (gImageHandle, gST), EFI_SUCCESS);
    ASSERT_EQ (NfcKeyboardStart (&gNfcKeyboardDriverBinding, Controller, nullptr), EFI_SUCCESS);
    auto  *In = static_cast<EFI_SIMPLE_TEXT_INPUT_PROTOCOL *>(fake::Firmware::Find (Controller, gEfiSimpleTextInProtocolGuid));
    ASSERT_NE (In, nullptr);
    NFC_KEYBOARD_DEV  *Dev = NfcKeyboardFromProtocol (In);

    // The line's traffic for every tick to come, on the virtual clock, from a fixed seed.
    uint32_t  Seed = 2718281;
    auto Next = [&Seed] (uint32_t Range) { Seed = Seed * 1103515245u + 12345u; return (Seed >> 8) % Range; };
    UINT64  Start = fake::Firmware::NowUs ();
    UINT64  End   = Start + Ticks * PeriodUs;
    Line.Present    = R.Present;
    Line.RxCapacity = 1024 + 256;   // an FT232's ring and the chip's receive buffer
    if (R.Kind == KIND::Noise) {
      for (UINT64 T = Start; T < End; T += 5000 + Next (85001)) {
        Line.Mix ({ (uint8_t)Next (256) }, T);
      }
    } else if (R.Kind == KIND::Steady) {
      for (UINT64 T = Start; T < End; T += PN532_LOOK_MISS_US - 1000) {
        Line.Mix ({ 0x00 }, T);
      }
    } else if (R.Kind == KIND::ZeroFlood) {
      Line.Mix (Bytes ((End - Start) / Line.ByteUs, 0x00), Start);
    } else if (R.Kind == KIND::SecondTalker) {
      // Its frames in bursts at line rate, every other one shaped like the controller's.
      for (UINT64 T = Start; T < End; T += 20000 + Next (180001)) {
        Bytes  Body (4 + Next (40), 0);
        for (auto &B : Body) {
          B = (uint8_t)Next (256);
        }
        Line.Mix (Next (2) ? fake::Pn532::Frame (0xD5, Body) : Body, T);
      }
    }

    UINT64  Longest = 0;
    for (int Tick = 0; Tick < Ticks; Tick++) {
      if (R.Kind == KIND::Nack) {
        Line.Fault = fake::PN532_FAULT::Nack;
      } else if (R.Kind == KIND::HalfFrame) {
        Line.RawResponse = fake::Pn532::Frame (0xD5, { 0x4B, 0x01, 0x01, 0x00, 0x44, 0x00, 0x04, 0x04, 0xA1, 0x3F, 0x7B });
        Line.RawResponse.resize (Line.RawResponse.size () / 2);
      }

      UINT64  T0 = fake::Firmware::NowUs ();
      fake::Firmware::FireTimer (Dev->PollTimer);
      Longest = std::max (Longest, fake::Firmware::NowUs () - T0);
      fake::Firmware::AdvanceUs (PeriodUs - (fake::Firmware::NowUs () - T0) % PeriodUs);
    }

    EXPECT_TRUE (KeyRingIsEmpty (&Dev->KeyQueue)) << R.Name;
    if (R.Kind == KIND::Quiet) {
      QuietUs = Longest;
    }

    std::printf ("FIGURES longest poll tick at TPL_NOTIFY, %s: %.1f ms (quiet %.1f ms)\n", R.Name, Longest / 1000.0,
                 QuietUs / 1000.0);
    EXPECT_LE (Longest, QuietUs + 20000) << R.Name;

    // The line clean again, the reader back: a card on it types within a few ticks.
    fake::Firmware::AdvanceUs (End > fake::Firmware::NowUs () ? End - fake::Firmware::NowUs () : 0);
    Line.Present = true;
    Line.Fault   = fake::PN532_FAULT::None;
    Line.RawResponse.clear ();
    Line.Card = { 0x04, 0xA1, 0x3F, 0x7B };
    std::u16string  Typed;
    for (int Tick = 0; Tick < 3 && Typed.empty (); Tick++) {
      fake::Firmware::FireTimer (Dev->PollTimer);
      fake::Firmware::AdvanceUs (PeriodUs);
      EFI_INPUT_KEY  K;
      for (int Look = 0; Look < 100; Look++) {   // a key a stroke, as a console reads them
        if (In->ReadKeyStroke (In, &K) == EFI_SUCCESS) {
          Typed.push_back ((char16_t)K.UnicodeChar);
        }
      }
    }

    EXPECT_EQ (Typed, u"04A13F7B") << R.Name;
    EXPECT_TRUE (fake::Firmware::TplBalanced ()) << R.Name;
    ASSERT_EQ (NfcKeyboardStop (&gNfcKeyboardDriverBinding, Controller, 0, nullptr), EFI_SUCCESS);
  }
}

} // namespace

/** @file
  The key ring, the alternating hand-out and key-notification matching.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#include <gtest/gtest.h>

#include "FakeFirmware.h"
#include "NfcKeyboard.h"

namespace {

// The phase as the image starts, before any test reads a key; the counter is constant
// initialised, so this dynamic initialiser sees its load-time value.
const UINT64  mReadCounterAtLoad = mKeyReadCounter;

EFI_KEY_DATA Key (CHAR16 C, UINT32 Shift = 0)
{
  EFI_KEY_DATA  K = {};
  K.Key.UnicodeChar = C;
  K.KeyState.KeyShiftState = Shift;
  return K;
}

class KeyRingTest : public ::testing::Test {
protected:
  KEY_RING  Ring = {};
  void SetUp () override { fake::Firmware::Reset (); }
  void TearDown () override
  {
    KeyRingFree (&Ring);
    EXPECT_EQ (fake::Firmware::LiveAllocations (), 0u);
  }
};

TEST_F (KeyRingTest, The33rdEnqueueDropsTheOldest) {
  KeyRingReset (&Ring, 12);
  for (CHAR16 C = 0; C < 33; C++) {
    EFI_KEY_DATA  K = Key ((CHAR16)('A' + C));
    KeyRingEnqueue (&Ring, &K, 12);
  }
  for (CHAR16 C = 1; C < 33; C++) {
    EFI_KEY_DATA  Out;
    ASSERT_EQ (KeyRingDequeue (&Ring, &Out, 12), EFI_SUCCESS);
    EXPECT_EQ (Out.Key.UnicodeChar, 'A' + C);
  }
  EFI_KEY_DATA  Out = Key ('z');
  EXPECT_EQ (KeyRingDequeue (&Ring, &Out, 12), EFI_DEVICE_ERROR);
  EXPECT_EQ (Out.Key.UnicodeChar, 'z');
}

TEST_F (KeyRingTest, ARingWithoutStorageDropsKeysAndAResetWithoutMemoryKeepsItsBlock) {
  EFI_KEY_DATA  K = Key ('1'), Out;
  KeyRingEnqueue (&Ring, &K, 12);   // never reset: no block
  EXPECT_TRUE (KeyRingIsEmpty (&Ring));
  EXPECT_EQ (KeyRingDequeue (&Ring, &Out, 12), EFI_DEVICE_ERROR);
  fake::Firmware::FailAllocation (1);
  KeyRingReset (&Ring, 12);         // a reset that gets none: still no block
  KeyRingEnqueue (&Ring, &K, 12);
  EXPECT_TRUE (KeyRingIsEmpty (&Ring));
  EXPECT_EQ (KeyRingDequeue (&Ring, &Out, 12), EFI_DEVICE_ERROR);

  KeyRingReset (&Ring, 12);
  KeyRingEnqueue (&Ring, &K, 12);
  fake::Firmware::FailAllocation (1);
  KeyRingReset (&Ring, 12);
  EXPECT_TRUE (KeyRingIsEmpty (&Ring));
  KeyRingEnqueue (&Ring, &K, 12);
  ASSERT_EQ (KeyRingDequeue (&Ring, &Out, 12), EFI_SUCCESS) << "emptied, on the block it had";
  EXPECT_EQ (Out.Key.UnicodeChar, '1');
}

TEST_F (KeyRingTest, WorkerHandsOutEverySecondCallThatFindsAKey) {
  NFC_KEYBOARD_DEV  Dev = {};
  KeyRingReset (&Dev.KeyQueue, 12);
  mKeyReadCounter = mReadCounterAtLoad;   // the first read that finds a key gets it
  EFI_KEY_DATA  A = Key ('A'), B = Key ('B');
  KeyRingEnqueue (&Dev.KeyQueue, &A, 12);
  KeyRingEnqueue (&Dev.KeyQueue, &B, 12);

  EFI_KEY_DATA  Out = Key ('x', 7);
  EXPECT_EQ (KeyStrokeWorker (&Dev, &Out), EFI_SUCCESS);
  EXPECT_EQ (Out.Key.UnicodeChar, 'A');
  Out = Key ('x', 7);
  EXPECT_EQ (KeyStrokeWorker (&Dev, &Out), EFI_NOT_READY);
  EXPECT_EQ (Out.Key.UnicodeChar, 0);
  EXPECT_EQ (Out.KeyState.KeyShiftState, 7u);
  EXPECT_EQ (KeyStrokeWorker (&Dev, &Out), EFI_SUCCESS);
  EXPECT_EQ (Out.Key.UnicodeChar, 'B');
  EXPECT_EQ (KeyStrokeWorker (&Dev, &Out), EFI_NOT_READY);
  EXPECT_EQ (mKeyReadCounter, 4u);
  KeyRingEnqueue (&Dev.KeyQueue, &A, 12);
  EXPECT_EQ (KeyStrokeWorker (&Dev, &Out), EFI_NOT_READY);
  EXPECT_EQ (KeyStrokeWorker (&Dev, &Out), EFI_SUCCESS);
  KeyRingFree (&Dev.KeyQueue);
}

// A zero state in a registration takes the key in any state; a non-zero one must be the key's.
TEST_F (KeyRingTest, ARegisteredStateMustMatchUnlessItIsZero) {
  constexpr UINT32  LeftCtrl  = EFI_SHIFT_STATE_VALID | EFI_LEFT_CONTROL_PRESSED;
  constexpr UINT32  RightCtrl = EFI_SHIFT_STATE_VALID | EFI_RIGHT_CONTROL_PRESSED;
  constexpr UINT8   Caps      = EFI_TOGGLE_STATE_VALID | EFI_CAPS_LOCK_ACTIVE;
  struct { UINT32 RegShift; UINT8 RegToggle; CHAR16 Typed; UINT32 Shift; UINT8 Toggle; bool Match; } Rows[] = {
    { 0, 0, 'A', 0, 0, true },            // a card's key, which reports no state
    { 0, 0, 'A', LeftCtrl, Caps, true },
    { 0, 0, 'B', 0, 0, false },
    { LeftCtrl, 0, 'A', 0, 0, false },    // Ctrl+A is not a card's A
    { LeftCtrl, 0, 'A', LeftCtrl, Caps, true },
    { LeftCtrl, 0, 'A', RightCtrl, 0, false },
    { 0, Caps, 'A', 0, 0, false },
    { 0, Caps, 'A', LeftCtrl, Caps, true },
  };
  for (auto &R : Rows) {
    EFI_KEY_DATA  Reg = Key ('A', R.RegShift), In = Key (R.Typed, R.Shift);
    Reg.KeyState.KeyToggleState = R.RegToggle;
    In.KeyState.KeyToggleState  = R.Toggle;
    EXPECT_EQ (IsKeyRegistered (&Reg, &In), R.Match) << std::hex << R.RegShift << "/" << (int)R.RegToggle << " "
                                                     << (char)R.Typed << " " << R.Shift << "/" << (int)R.Toggle;
  }
}

} // namespace

/** @file
  The PN532 serial link: framing, ACK and response checks over a one-byte look-ahead.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#include "Pn532Link.h"

extern "C" {
#include <Library/BaseLib.h>
#include <Library/BaseMemoryLib.h>
#include <Library/UefiBootServicesTableLib.h>
}

EFI_SERIAL_IO_PROTOCOL  *mSerialIo      = NULL;
BOOLEAN                 mLookAheadEmpty = TRUE;
UINT8                   mLookAheadByte  = 0;

CONST UINT8  mPn532AckFrame[6] = { 0x00, 0x00, 0xFF, 0x00, 0xFF, 0x00 };

// Two wake-up bytes and zero fill, then SAMConfiguration in normal mode; the last two
// zeros of the fill double as the frame's preamble and first start-code byte.
CONST UINT8  mPn532WakeupFrame[PN532_WAKEUP_SIZE] = {
  0x55, 0x55, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
  0x00, 0x00, 0x00, 0x00, 0xFF, 0x03, 0xFD, 0xD4, 0x14, 0x01, 0x17, 0x00
};

namespace {
// The link's clock: stalls and looks as charged, and when the exchange's drain and frames
// must end.
UINT32  mLinkSpentUs = 0;
UINT32  mLinkLimitUs = MAX_UINT32;

// A look that finds a byte is charged as if the byte had been waiting, but a line that
// sends one byte just inside every look makes each of them wait nearly a whole look. So
// each drain and frame also runs against the firmware's clock: a timer without a notify
// function, armed for what the phase may still spend, that ends the phase when it fires.
EFI_EVENT  mLinkDeadline = NULL;

VOID
LinkArm (
  UINT32  Limit
  )
{
  if (mLinkDeadline != NULL) {
    // The phase before may still be armed, or have fired unseen: cancel, then clear.
    (VOID)gBS->SetTimer (mLinkDeadline, TimerCancel, 0);
    (VOID)gBS->CheckEvent (mLinkDeadline);
    if (Limit > mLinkSpentUs) {
      (VOID)gBS->SetTimer (mLinkDeadline, TimerRelative, MultU64x32 (Limit - mLinkSpentUs, 10));
    }
  }
}

// Whether the phase that ends at Limit may go on; a fired deadline charges it whole.
BOOLEAN
LinkTimeLeft (
  UINT32  Limit
  )
{
  if ((mLinkDeadline != NULL) && (gBS->CheckEvent (mLinkDeadline) == EFI_SUCCESS) && (mLinkSpentUs < Limit)) {
    mLinkSpentUs = Limit;
  }

  return (BOOLEAN)(mLinkSpentUs < Limit);
}

// Every look at the line is a one-byte Read; only the returned size counts, since a
// producer may report a timeout or an error for a read that simply found nothing.
BOOLEAN
ReadOneByte (
  VOID
  )
{
  UINTN  BufferSize = 1;

  (VOID)mSerialIo->Read (mSerialIo, &BufferSize, &mLookAheadByte);
  mLinkSpentUs += (BufferSize == 1) ? PN532_LOOK_HIT_US : PN532_LOOK_MISS_US;
  return (BOOLEAN)(BufferSize == 1);
}

INT32
LinkBegin (
  VOID
  )
{
  return 0;
}

VOID
LinkEnd (
  VOID
  )
{
}

// Waits for one byte the way a frame read does: looks 5 ms apart until Limit. A line
// that keeps delivering stops at Limit too, so noise cannot stretch a frame.
BOOLEAN
WaitFrameByte (
  UINT32  Limit
  )
{
  while (LinkTimeLeft (Limit)) {
    if (SerialByteAvailable ()) {
      return TRUE;
    }

    if (mLinkSpentUs < Limit) {
      gBS->Stall (PN532_READ_RETRY_STALL_US);
      mLinkSpentUs += PN532_READ_RETRY_STALL_US;
    }
  }

  return FALSE;
}

INT32
Pn532ReadFrame (
  UINT8   *Buffer,
  UINT16  Length,
  UINT16  Capacity
  )
{
  UINT16  Total  = 4;
  UINT16  Stored = 0;
  UINT32  Limit  = mLinkSpentUs + PN532_FRAME_BUDGET_US;

  if (Limit > mLinkLimitUs) {
    Limit = mLinkLimitUs;
  }

  LinkArm (Limit);
  while (Stored < Total) {
    if (Stored >= Capacity) {
      return -1;
    }

    if (!WaitFrameByte (Limit)) {
      return -1;
    }

    // Every frame opens with the preamble and the start code's first byte; anything else
    // is noise, and reading on would only wait for more of it.
    Buffer[Stored++] = SerialReadByte ();
    if ((Stored <= 2) && (Buffer[Stored - 1] != 0x00)) {
      return -1;
    }

    if (Stored == 4) {
      Total = (Buffer[3] != 0) ? static_cast<UINT16>(Buffer[3] + 7) : Length;
    }
  }

  return Stored;
}

INT32
Pn532WriteFrame (
  CONST UINT8  *Buffer,
  UINT16       Length
  )
{
  // Whatever arrived since the last exchange (a late answer, the wake-up's ACK) would
  // otherwise be taken for this command's ACK.
  UINT32  Limit = mLinkSpentUs + PN532_DRAIN_BUDGET_US;

  LinkArm (Limit);
  while (LinkTimeLeft (Limit) && SerialByteAvailable ()) {
    (VOID)SerialReadByte ();
  }

  // A line still delivering when the drain's time is up would hide the answer among what
  // keeps arriving: the exchange's frames get no time of their own.
  if ((mLinkSpentUs >= Limit) && (mLinkLimitUs != MAX_UINT32)) {
    mLinkSpentUs = mLinkLimitUs;
  }

  if (Length != 0) {
    UINTN  BufferSize = Length;

    (VOID)mSerialIo->Write (mSerialIo, &BufferSize, const_cast<UINT8 *>(Buffer));
  }

  return 0;
}

BOOLEAN
Pn532WaitReady (
  UINT32  TimeoutMs
  )
{
  UINT32  Before = mLinkSpentUs;

  for ( ; ;) {
    // TimeoutMs bounds how long the controller may take to begin; the frames keep the
    // exchange's budget for themselves.
    if (SerialByteAvailable ()) {
      mLinkSpentUs = Before;
      return TRUE;
    }

    gBS->Stall (PN532_WAIT_STEP_MS * 1000);
    if (TimeoutMs < PN532_WAIT_STEP_MS) {
      return FALSE;
    }

    TimeoutMs -= PN532_WAIT_STEP_MS;
  }
}

INT32
Pn532Wakeup (
  VOID
  )
{
  UINTN  BufferSize = sizeof (mPn532WakeupFrame);

  (VOID)mSerialIo->Write (mSerialIo, &BufferSize, const_cast<UINT8 *>(mPn532WakeupFrame));
  gBS->Stall (PN532_WAKEUP_STALL_US);
  return 0;
}
} // namespace

VOID
Pn532OpenLinkDeadline (
  VOID
  )
{
  if (EFI_ERROR (gBS->CreateEvent (EVT_TIMER, TPL_CALLBACK, NULL, NULL, &mLinkDeadline))) {
    mLinkDeadline = NULL;
  }
}

VOID
Pn532AttachLink (
  IN EFI_SERIAL_IO_PROTOCOL  *SerialIo
  )
{
  mSerialIo       = SerialIo;
  mLookAheadEmpty = TRUE;
  mLookAheadByte  = 0;
  mLinkSpentUs    = 0;
  mLinkLimitUs    = MAX_UINT32;
}

BOOLEAN
SerialByteAvailable (
  VOID
  )
{
  if (!mLookAheadEmpty) {
    return TRUE;
  }

  if (ReadOneByte ()) {
    mLookAheadEmpty = FALSE;
    return TRUE;
  }

  return FALSE;
}

UINT8
SerialReadByte (
  VOID
  )
{
  if (!mLookAheadEmpty) {
    mLookAheadEmpty = TRUE;
    return mLookAheadByte;
  }

  return ReadOneByte () ? mLookAheadByte : 0;
}

VOID
InitLinkOps (
  OUT PN532_LINK_OPS  *Ops
  )
{
  Ops->Begin      = LinkBegin;
  Ops->ReadFrame  = Pn532ReadFrame;
  Ops->WriteFrame = Pn532WriteFrame;
  Ops->WaitReady  = Pn532WaitReady;
  Ops->Wakeup     = Pn532Wakeup;
  Ops->End        = LinkEnd;
  (VOID)Pn532Wakeup ();
}

INT32
Pn532Exchange (
  IN  PN532_LINK_OPS  *Ops,
  IN  UINT8           Command,
  OUT UINT8           *Answer,
  IN  UINT16          AnswerLength,
  IN  CONST UINT8     *Data,
  IN  UINT16          DataLength,
  IN  UINT32          TimeoutMs
  )
{
  if ((DataLength > PN532_MAX_DATA_LENGTH) || ((Data == NULL) && (DataLength != 0))) {
    (VOID)Ops->Wakeup ();
    return -1;
  }

  // The answer is copied out of the staging area; a longer one would read past it.
  if (AnswerLength > PN532_MAX_ANSWER_LENGTH) {
    return -1;
  }

  mLinkSpentUs = 0;
  mLinkLimitUs = PN532_EXCHANGE_BUDGET_US;

  UINT8  Staging[PN532_STAGING_SIZE];
  UINT8  Frame[PN532_FRAME_SIZE];

  Staging[0] = PN532_TFI_HOST;
  Staging[1] = Command;
  if (DataLength != 0) {
    CopyMem (&Staging[2], Data, DataLength);
  }

  UINT16  StagedLength = static_cast<UINT16>(DataLength + 2);
  UINT8   Sum          = 0x00 + 0x00 + 0xFF;

  Frame[0] = 0x00;
  Frame[1] = 0x00;
  Frame[2] = 0xFF;
  Frame[3] = static_cast<UINT8>(StagedLength);
  Frame[4] = static_cast<UINT8>(0x100 - StagedLength);
  for (UINT16 Index = 0; Index < StagedLength; Index++) {
    Frame[5 + Index] = Staging[Index];
    Sum              = static_cast<UINT8>(Sum + Staging[Index]);
  }

  Frame[5 + StagedLength] = static_cast<UINT8>(~Sum);
  Frame[6 + StagedLength] = 0x00;

  if (Ops->WriteFrame (Frame, static_cast<UINT16>(DataLength + 9)) != 0) {
    (VOID)Ops->Wakeup ();
    return -1;
  }

  if (!Ops->WaitReady (TimeoutMs)) {
    return -1;
  }

  // The ACK is six bytes whatever its fourth says; a NACK or noise there is not waited out.
  if (Ops->ReadFrame (Staging, sizeof (mPn532AckFrame), sizeof (mPn532AckFrame)) < 0) {
    return -1;
  }

  if (CompareMem (Staging, mPn532AckFrame, sizeof (mPn532AckFrame)) != 0) {
    return -1;
  }

  if (!Ops->WaitReady (TimeoutMs)) {
    return -1;
  }

  INT32  Stored = Ops->ReadFrame (Frame, static_cast<UINT16>(AnswerLength + 9), sizeof (Frame));

  if (Stored < 0) {
    return -1;
  }

  // Leading zeros are tolerated up to the bound; LEN and LCS must lie in what was read.
  UINTN  Bound = static_cast<UINTN>(AnswerLength) + 10;
  UINTN  Index = 0;

  while ((Index < static_cast<UINTN>(Stored)) && (Frame[Index] == 0x00)) {
    Index++;
    if (Index >= Bound) {
      return -1;
    }
  }

  if ((Index >= static_cast<UINTN>(Stored)) || (Frame[Index] != 0xFF)) {
    return -1;
  }

  Index++;
  if ((Index >= Bound) || (Index + 1 >= static_cast<UINTN>(Stored))) {
    return -1;
  }

  UINT8  Len = Frame[Index];

  if (static_cast<UINT8>(Len + Frame[Index + 1]) != 0) {
    return -1;
  }

  // TFI and response code at least, and the DCS must have been read too.
  if ((Len < 2) || (Index + 2 + Len + 1 > static_cast<UINTN>(Stored))) {
    return -1;
  }

  Sum = 0;
  for (UINTN Offset = 0; Offset <= Len; Offset++) {
    Sum = static_cast<UINT8>(Sum + Frame[Index + 2 + Offset]);
  }

  if (Sum != 0) {
    return -1;
  }

  // Answer bytes the controller did not send then read as zeros, not as the ACK or the
  // stack's old contents.
  ZeroMem (Staging, sizeof (Staging));
  // Only bytes the caller gets are paced; a long frame must not stretch the poll.
  for (UINTN Offset = 0; Offset < Len; Offset++) {
    Staging[Offset] = Frame[Index + 2 + Offset];
    if (Offset < AnswerLength + 2u) {
      gBS->Stall (PN532_COPY_STALL_US);
    }
  }

  if ((Staging[0] != PN532_TFI_CONTROLLER) || (static_cast<UINT32>(Staging[1]) != static_cast<UINT32>(Command) + 1)) {
    return -1;
  }

  CopyMem (Answer, &Staging[2], AnswerLength);
  return static_cast<INT32>(Len) - 2;
}

/** @file
  Reader bring-up (is a PN532 on this line?) and the periodic card poll.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#include "NfcKeyboard.h"

#include <Char16.h>
#include <SerialIoMode.h>

extern "C" {
#include <Library/BaseMemoryLib.h>
}

namespace {
constexpr auto  mHexDigits = Char16 (u"0123456789ABCDEF");
static_assert (sizeof (mHexDigits.Text) == 17 * sizeof (CHAR16), "16 digits and a NUL");

// InListPassiveTarget: at most one target, 106 kbps type A.
CONST UINT8  mListPassiveTargetData[] = { 0x01, 0x00 };

// Offsets in the InListPassiveTarget answer.
constexpr UINTN  NBTG_OFFSET         = 0;
constexpr UINTN  NFCID_LENGTH_OFFSET = 5;
constexpr UINTN  NFCID_OFFSET        = 6;

static_assert (NFCID_OFFSET + NFC_MAX_NFCID_LENGTH <= NFC_POLL_ANSWER_LENGTH, "a 7-byte identifier fits the answer");
static_assert (2 * NFC_MAX_NFCID_LENGTH <= KEY_RING_CAPACITY, "a poll never pushes an older key out");

// Queues one digit for reading and, when a notification is registered for its key,
// for the notify dispatch too. TRUE when the dispatch has a key to deliver.
BOOLEAN
QueueHexDigit (
  NFC_KEYBOARD_DEV  *Dev,
  UINT8             Nibble
  )
{
  EFI_KEY_DATA  Key;

  ZeroMem (&Key, sizeof (Key));
  Key.Key.ScanCode    = SCAN_NULL;
  Key.Key.UnicodeChar = mHexDigits.Text[Nibble & 0x0F];
  KeyRingEnqueue (&Dev->KeyQueue, &Key, KEY_RING_ITEM_SIZE);
  for (LIST_ENTRY *Link = GetFirstNode (&Dev->NotifyList); !IsNull (&Dev->NotifyList, Link);
       Link = GetNextNode (&Dev->NotifyList, Link))
  {
    if (IsKeyRegistered (&KeyNotifyFromLink (Link)->KeyData, &Key)) {
      KeyRingEnqueue (&Dev->NotifyQueue, &Key, KEY_RING_ITEM_SIZE);
      return TRUE;
    }
  }

  return FALSE;
}
} // namespace

EFI_STATUS
NfcKeyboardSetLine (
  IN EFI_SERIAL_IO_PROTOCOL  *SerialIo
  )
{
  return SerialIo->SetAttributes (
                                  SerialIo,
                                  NFC_LINE_BAUD_RATE,
                                  SerialIo->Mode->ReceiveFifoDepth,
                                  NFC_LINE_TIMEOUT_US,
                                  NoParity,
                                  8,
                                  OneStopBit
                                  );
}

VOID
NfcKeyboardRestoreLine (
  IN EFI_SERIAL_IO_PROTOCOL    *SerialIo,
  IN CONST EFI_SERIAL_IO_MODE  *Found
  )
{
  CONST EFI_SERIAL_IO_MODE  *Now = SerialIo->Mode;

  if ((Now->BaudRate == Found->BaudRate) && (Now->ReceiveFifoDepth == Found->ReceiveFifoDepth) &&
      (Now->Timeout == Found->Timeout) && (Now->Parity == Found->Parity) &&
      (Now->DataBits == Found->DataBits) && (Now->StopBits == Found->StopBits))
  {
    return;
  }

  (VOID)SerialIoModeApply (SerialIo, Found);
}

BOOLEAN
InitializeReader (
  IN EFI_SERIAL_IO_PROTOCOL  *SerialIo
  )
{
  DEBUG_LOG (DEBUG_INFO, "Trying to initialize a NFC Keyboard...\n");

  if (EFI_ERROR (NfcKeyboardSetLine (SerialIo))) {
    DEBUG_LOG (DEBUG_ERROR, "Serial Port init failed!\n");
    return FALSE;
  }

  Pn532AttachLink (SerialIo);

  PN532_LINK_OPS  Ops;

  InitLinkOps (&Ops);

  DEBUG_LOG (DEBUG_INFO, "Trying to get firmware version...\n");

  // IC, Ver, Rev, Support.
  UINT8  Version[4];

  if (Pn532Exchange (&Ops, PN532_CMD_GET_FIRMWARE_VERSION, Version, sizeof (Version), NULL, 0, NFC_FIRMWARE_TIMEOUT_MS) < 0) {
    DEBUG_LOG (DEBUG_ERROR, "PN532 not found!\n");
    return FALSE;
  }

  DEBUG_LOG (DEBUG_INFO, "Found PN532 with firmware version: %d.%d\n", static_cast<UINT32>(Version[1]), static_cast<UINT32>(Version[2]));
  return TRUE;
}

VOID
EFIAPI
PollCardTimerHandler (
  IN EFI_EVENT  Event,
  IN VOID       *Context
  )
{
  NFC_KEYBOARD_DEV  *Dev = static_cast<NFC_KEYBOARD_DEV *>(Context);

  (VOID)Event;

  // The poll refills only an empty queue, so a reader never races it for Head. Only the
  // poll adds keys, so the queue is still empty when the idle loop runs the exchange.
  if (!KeyRingIsEmpty (&Dev->KeyQueue) || TickWitnessDefer (&Dev->PollClock)) {
    return;
  }

  // Called from inside the firmware's timer interrupt, the exchange's reads could wait
  // for ever on a silent reader; the next period will find the clock running.
  if (TickWitnessTicking (&Dev->PollClock)) {
    NfcKeyboardPollCard (Dev);
  }
}

VOID
NfcKeyboardPollCard (
  IN VOID  *Context
  )
{
  NFC_KEYBOARD_DEV  *Dev = static_cast<NFC_KEYBOARD_DEV *>(Context);

  UINT8  Answer[NFC_POLL_ANSWER_LENGTH];
  INT32  Sent = Pn532Exchange (
                               &Dev->LinkOps,
                               PN532_CMD_IN_LIST_PASSIVE_TARGET,
                               Answer,
                               sizeof (Answer),
                               mListPassiveTargetData,
                               sizeof (mListPassiveTargetData),
                               NFC_POLL_TIMEOUT_MS
                               );

  if ((Sent < 0) || (Answer[NBTG_OFFSET] != 1)) {
    return;
  }

  UINT8  IdLength = Answer[NFCID_LENGTH_OFFSET];

  if (IdLength > NFC_MAX_NFCID_LENGTH) {
    return;
  }

  // Only identifier bytes the controller actually sent become keys; the rest of the
  // answer buffer is filler.
  if (static_cast<UINTN>(Sent) < NFCID_OFFSET + IdLength) {
    return;
  }

  UINT8  Id[NFC_MAX_NFCID_LENGTH];

  if (IdLength != 0) {
    CopyMem (Id, &Answer[NFCID_OFFSET], IdLength);
  }

  DEBUG_LOG (DEBUG_INFO, "Fetching raw data from the NFC Keyboard is successful.\n");

  BOOLEAN  Notify = FALSE;

  for (UINTN Index = 0; Index < IdLength; Index++) {
    Notify = (BOOLEAN)(QueueHexDigit (Dev, static_cast<UINT8>(Id[Index] >> 4)) | Notify);
    Notify = (BOOLEAN)(QueueHexDigit (Dev, static_cast<UINT8>(Id[Index] & 0x0F)) | Notify);
  }

  // The registered functions run at TPL_CALLBACK, once the poll's TPL is left.
  if (Notify) {
    gBS->SignalEvent (Dev->NotifyDispatchEvent);
  }
}

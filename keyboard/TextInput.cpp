/** @file
  The nine entry points of the two text-input protocols and their wait events' notify.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#include "NfcKeyboard.h"

extern "C" {
#include <Library/BaseMemoryLib.h>
#include <Library/MemoryAllocationLib.h>
}

EFI_STATUS
EFIAPI
NfcKeyboardReset (
  IN EFI_SIMPLE_TEXT_INPUT_PROTOCOL  *This,
  IN BOOLEAN                         ExtendedVerification
  )
{
  NFC_KEYBOARD_DEV  *Dev = NfcKeyboardFromProtocol (This);

  (VOID)ExtendedVerification;
  {
    // The poll queues keys at TPL_NOTIFY; a tick landing while a ring's block is swapped
    // would write through a freed slot pointer.
    TplGuard  Guard (TPL_NOTIFY);

    KeyRingReset (&Dev->KeyQueue, KEY_RING_ITEM_SIZE);
    KeyRingReset (&Dev->NotifyQueue, KEY_RING_ITEM_SIZE);
  }

  DEBUG_LOG (DEBUG_INFO, "*Reset is called.\n");
  // A ring left without a block drops every key: the keyboard does not work.
  if ((Dev->KeyQueue.Slot[0] == NULL) || (Dev->NotifyQueue.Slot[0] == NULL)) {
    return EFI_DEVICE_ERROR;
  }

  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
NfcKeyboardReadKeyStroke (
  IN  EFI_SIMPLE_TEXT_INPUT_PROTOCOL  *This,
  OUT EFI_INPUT_KEY                   *Key
  )
{
  // Refused before the worker runs, so a bad call neither loses a key nor moves the phase.
  if (Key == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  EFI_KEY_DATA  KeyData;

  ZeroMem (&KeyData, sizeof (KeyData));

  EFI_STATUS  Status = KeyStrokeWorker (NfcKeyboardFromProtocol (This), &KeyData);

  if (EFI_ERROR (Status)) {
    return Status;
  }

  CopyMem (Key, &KeyData.Key, sizeof (*Key));
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
NfcKeyboardResetEx (
  IN EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL  *This,
  IN BOOLEAN                            ExtendedVerification
  )
{
  NFC_KEYBOARD_DEV  *Dev = NfcKeyboardFromProtocol (This);

  return Dev->SimpleTextIn.Reset (&Dev->SimpleTextIn, ExtendedVerification);
}

EFI_STATUS
EFIAPI
NfcKeyboardReadKeyStrokeEx (
  IN  EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL  *This,
  OUT EFI_KEY_DATA                       *KeyData
  )
{
  if (KeyData == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  return KeyStrokeWorker (NfcKeyboardFromProtocol (This), KeyData);
}

EFI_STATUS
EFIAPI
NfcKeyboardSetState (
  IN EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL  *This,
  IN EFI_KEY_TOGGLE_STATE               *KeyToggleState
  )
{
  // A card reader has no lock keys to light, so a lock state is taken and dropped, as a
  // terminal takes it: the console splitter hands every keyboard's lock keys to every
  // other, always with EFI_KEY_STATE_EXPOSED, and fails at the first that refuses.
  constexpr EFI_KEY_TOGGLE_STATE  KNOWN_STATES = EFI_TOGGLE_STATE_VALID | EFI_KEY_STATE_EXPOSED |
                                                 EFI_SCROLL_LOCK_ACTIVE | EFI_NUM_LOCK_ACTIVE | EFI_CAPS_LOCK_ACTIVE;

  (VOID)This;
  if (KeyToggleState == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  if (((*KeyToggleState & EFI_TOGGLE_STATE_VALID) == 0) || ((*KeyToggleState & ~KNOWN_STATES) != 0)) {
    return EFI_UNSUPPORTED;
  }

  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
NfcKeyboardRegisterKeyNotify (
  IN  EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL  *This,
  IN  EFI_KEY_DATA                       *KeyData,
  IN  EFI_KEY_NOTIFY_FUNCTION            KeyNotificationFunction,
  OUT VOID                               **NotifyHandle
  )
{
  DEBUG_LOG (DEBUG_INFO, "*RegisterKeyNotify is called.\n");

  if ((KeyData == NULL) || (NotifyHandle == NULL) || (KeyNotificationFunction == NULL)) {
    return EFI_INVALID_PARAMETER;
  }

  NFC_KEYBOARD_DEV  *Dev = NfcKeyboardFromProtocol (This);
  // The poll walks the list at TPL_NOTIFY.
  TplGuard  Guard (TPL_NOTIFY);

  for (LIST_ENTRY *Link = GetFirstNode (&Dev->NotifyList);
       !IsNull (&Dev->NotifyList, Link);
       Link = GetNextNode (&Dev->NotifyList, Link))
  {
    KEY_NOTIFY_ENTRY  *Entry = KeyNotifyFromLink (Link);

    // Only the same key in the same states is the same registration: the left and the
    // right Ctrl of one key are two, each with a handle of its own.
    if ((Entry->NotifyFunction == KeyNotificationFunction) &&
        (Entry->KeyData.Key.ScanCode == KeyData->Key.ScanCode) &&
        (Entry->KeyData.Key.UnicodeChar == KeyData->Key.UnicodeChar) &&
        (Entry->KeyData.KeyState.KeyShiftState == KeyData->KeyState.KeyShiftState) &&
        (Entry->KeyData.KeyState.KeyToggleState == KeyData->KeyState.KeyToggleState))
    {
      *NotifyHandle = Entry;
      return EFI_SUCCESS;
    }
  }

  KEY_NOTIFY_ENTRY  *Entry = static_cast<KEY_NOTIFY_ENTRY *>(AllocateZeroPool (sizeof (KEY_NOTIFY_ENTRY)));

  if (Entry == NULL) {
    return EFI_OUT_OF_RESOURCES;
  }

  Entry->Signature      = KEY_NOTIFY_SIGNATURE;
  Entry->NotifyFunction = KeyNotificationFunction;
  CopyMem (&Entry->KeyData, KeyData, sizeof (Entry->KeyData));
  InsertTailList (&Dev->NotifyList, &Entry->Link);

  *NotifyHandle = Entry;
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
NfcKeyboardUnregisterKeyNotify (
  IN EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL  *This,
  IN VOID                               *NotificationHandle
  )
{
  DEBUG_LOG (DEBUG_INFO, "*UnregisterKeyNotify is called.\n");

  if (NotificationHandle == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  NFC_KEYBOARD_DEV  *Dev = NfcKeyboardFromProtocol (This);
  TplGuard          Guard (TPL_NOTIFY);

  // Matched by address only, so a stale or foreign handle is never dereferenced.
  for (LIST_ENTRY *Link = GetFirstNode (&Dev->NotifyList);
       !IsNull (&Dev->NotifyList, Link);
       Link = GetNextNode (&Dev->NotifyList, Link))
  {
    KEY_NOTIFY_ENTRY  *Entry = KeyNotifyFromLink (Link);

    // A record whose function is gone was unregistered during the dispatch now running.
    if ((Entry == NotificationHandle) && (Entry->NotifyFunction != NULL)) {
      if (Dev->NotifyDispatching) {
        Entry->NotifyFunction = NULL;
      } else {
        RemoveEntryList (&Entry->Link);
        FreePool (Entry);
      }

      return EFI_SUCCESS;
    }
  }

  return EFI_INVALID_PARAMETER;
}

VOID
EFIAPI
NfcKeyboardWaitForKeyNotify (
  IN EFI_EVENT  Event,
  IN VOID       *Context
  )
{
  NFC_KEYBOARD_DEV  *Dev = static_cast<NFC_KEYBOARD_DEV *>(Context);
  TplGuard          Guard (TPL_NOTIFY);

  if (!KeyRingIsEmpty (&Dev->KeyQueue)) {
    gBS->SignalEvent (Event);
  }
}

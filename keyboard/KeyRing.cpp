/** @file
  The 33-slot key ring, the alternating key hand-out and the key notifications.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#include "NfcKeyboard.h"

extern "C" {
#include <Library/BaseMemoryLib.h>
#include <Library/MemoryAllocationLib.h>
}

// Shared by every keyboard and both read operations, and never reset: a key is handed
// out on every second read call that finds one.
UINT64  mKeyReadCounter = 1;

VOID
KeyRingReset (
  IN OUT KEY_RING  *Ring,
  IN     UINTN     ItemSize
  )
{
  (VOID)ItemSize;
  Ring->Head     = 0;
  Ring->Tail     = 0;
  Ring->ItemSize = KEY_RING_ITEM_SIZE;

  // The new block is taken before the old one is freed, so a reset without memory
  // leaves the ring empty on the block it had. Without any block every slot is NULL, and the ring
  // drops what is queued into it instead of writing through a missing pointer.
  EFI_KEY_DATA  *Block = static_cast<EFI_KEY_DATA *>(AllocatePool (KEY_RING_SLOTS * KEY_RING_ITEM_SIZE));

  if (Block == NULL) {
    return;
  }

  if (Ring->Slot[0] != NULL) {
    FreePool (Ring->Slot[0]);
  }

  for (UINTN Index = 0; Index < KEY_RING_SLOTS; Index++) {
    Ring->Slot[Index] = Block + Index;
  }
}

VOID
KeyRingFree (
  IN OUT KEY_RING  *Ring
  )
{
  if (Ring->Slot[0] != NULL) {
    FreePool (Ring->Slot[0]);
  }

  ZeroMem (Ring->Slot, sizeof (Ring->Slot));
  Ring->Head = 0;
  Ring->Tail = 0;
}

VOID
KeyRingEnqueue (
  IN OUT KEY_RING      *Ring,
  IN     EFI_KEY_DATA  *Item,
  IN     UINTN         ItemSize
  )
{
  (VOID)ItemSize;
  if (Ring->Slot[0] == NULL) {
    return;
  }

  if ((Ring->Tail + 1) % KEY_RING_SLOTS == Ring->Head) {
    Ring->Head = (Ring->Head + 1) % KEY_RING_SLOTS;
  }

  CopyMem (Ring->Slot[Ring->Tail], Item, KEY_RING_ITEM_SIZE);
  Ring->Tail = (Ring->Tail + 1) % KEY_RING_SLOTS;
}

EFI_STATUS
KeyRingDequeue (
  IN OUT KEY_RING      *Ring,
  OUT    EFI_KEY_DATA  *Item,
  IN     UINTN         ItemSize
  )
{
  (VOID)ItemSize;
  if ((Ring->Head == Ring->Tail) || (Ring->Slot[0] == NULL)) {
    return EFI_DEVICE_ERROR;
  }

  // Copy before advancing Head: until then the poll sees a non-empty queue and stays away.
  CopyMem (Item, Ring->Slot[Ring->Head], KEY_RING_ITEM_SIZE);
  Ring->Head = (Ring->Head + 1) % KEY_RING_SLOTS;
  return EFI_SUCCESS;
}

EFI_STATUS
KeyStrokeWorker (
  IN     NFC_KEYBOARD_DEV  *Dev,
  IN OUT EFI_KEY_DATA      *KeyData
  )
{
  if (!KeyRingIsEmpty (&Dev->KeyQueue)) {
    mKeyReadCounter++;
    if ((mKeyReadCounter % 2) == 0) {
      (VOID)KeyRingDequeue (&Dev->KeyQueue, KeyData, KEY_RING_ITEM_SIZE);
      DEBUG_LOG (
                 DEBUG_INFO,
                 "KeyStrokeWorker: Dequeued KeyData (Char = 0x%02x, %c).\n",
                 KeyData->Key.UnicodeChar,
                 KeyData->Key.UnicodeChar
                 );
      return EFI_SUCCESS;
    }
  }

  ZeroMem (&KeyData->Key, sizeof (KeyData->Key));
  return EFI_NOT_READY;
}

BOOLEAN
IsKeyRegistered (
  IN EFI_KEY_DATA  *RegData,
  IN EFI_KEY_DATA  *InputData
  )
{
  DEBUG_LOG (DEBUG_INFO, "IsKeyRegistered is called.\n");
  DEBUG_LOG (
             DEBUG_INFO,
             "RegData. ScanCode = 0x%04x, Char = 0x%02x (%c)\n",
             RegData->Key.ScanCode,
             RegData->Key.UnicodeChar,
             RegData->Key.UnicodeChar
             );
  DEBUG_LOG (
             DEBUG_INFO,
             "InputData. ScanCode = 0x%04x, Char = 0x%02x (%c)\n",
             InputData->Key.ScanCode,
             InputData->Key.UnicodeChar,
             InputData->Key.UnicodeChar
             );

  if ((RegData->Key.ScanCode != InputData->Key.ScanCode) || (RegData->Key.UnicodeChar != InputData->Key.UnicodeChar)) {
    return FALSE;
  }

  // A zero state takes the key whatever its state; any other must be the key's own, so
  // a Ctrl+A registration is never met by a card's A, which reports no state.
  if ((RegData->KeyState.KeyShiftState != 0) && (RegData->KeyState.KeyShiftState != InputData->KeyState.KeyShiftState)) {
    return FALSE;
  }

  return (BOOLEAN)((RegData->KeyState.KeyToggleState == 0) ||
                   (RegData->KeyState.KeyToggleState == InputData->KeyState.KeyToggleState));
}

VOID
EFIAPI
KeyNotifyDispatch (
  IN EFI_EVENT  Event,
  IN VOID       *Context
  )
{
  NFC_KEYBOARD_DEV  *Dev = static_cast<NFC_KEYBOARD_DEV *>(Context);

  (VOID)Event;
  // While this is set, nothing the walk stands on is freed: an unregister only takes the
  // function out, and Stop (a function may disconnect the keyboard) leaves the
  // notification records and the device record to be freed here.
  Dev->NotifyDispatching = TRUE;
  while (!Dev->Stopped) {
    EFI_KEY_DATA  Key;
    EFI_STATUS    Status;

    {
      TplGuard  Guard (TPL_NOTIFY);
      Status = KeyRingDequeue (&Dev->NotifyQueue, &Key, KEY_RING_ITEM_SIZE);
    }

    if (EFI_ERROR (Status)) {
      break;
    }

    // A registration made by a called function goes in after Last and waits for the next
    // key: one that registers itself again is called once a key, not for ever.
    LIST_ENTRY  *Last = GetPreviousNode (&Dev->NotifyList, &Dev->NotifyList);

    for (LIST_ENTRY *Link = &Dev->NotifyList; (Link != Last) && !Dev->Stopped; ) {
      Link = GetNextNode (&Dev->NotifyList, Link);

      KEY_NOTIFY_ENTRY  *Entry = KeyNotifyFromLink (Link);

      if ((Entry->NotifyFunction != NULL) && IsKeyRegistered (&Entry->KeyData, &Key)) {
        (VOID)Entry->NotifyFunction (&Key);
      }
    }
  }

  TplGuard  Guard (TPL_NOTIFY);

  Dev->NotifyDispatching = FALSE;
  for (LIST_ENTRY *Link = GetFirstNode (&Dev->NotifyList); !IsNull (&Dev->NotifyList, Link); ) {
    KEY_NOTIFY_ENTRY  *Entry = KeyNotifyFromLink (Link);

    Link = GetNextNode (&Dev->NotifyList, Link);
    if ((Entry->NotifyFunction == NULL) || Dev->Stopped) {
      RemoveEntryList (&Entry->Link);
      FreePool (Entry);
    }
  }

  if (Dev->Stopped) {
    FreePool (Dev);
  }
}

/** @file
  The install record: ZorvikConf, ConIn and DriverOrder as they were before the first
  install and as the last one left them, kept in a variable of our own so that the
  uninstall can put back exactly what the install changed.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#include "NfcKeyboardSetup.h"

extern "C" {
#include <Guid/GlobalVariable.h>
#include <Guid/ZorvikConf.h>
#include <Library/BaseLib.h>
#include <Library/BaseMemoryLib.h>
#include <Library/MemoryAllocationLib.h>
#include <Library/UefiLib.h>
#include <Library/UefiRuntimeServicesTableLib.h>
}

namespace {
constexpr auto    mRecordName       = Char16 (u"NfcKeyboardUndo");
constexpr UINT32  RECORD_ATTRIBUTES = EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS;
constexpr UINT32  RECORD_SIGNATURE  = SIGNATURE_32 ('N', 'K', 'U', '1');

// A recorded value: unknown (unreadable, or changed by others since our install), absent or present.
enum RECORDED_STATE : UINT8 {
  RecordedUnknown,
  RecordedAbsent,
  RecordedPresent
};

// Each variable's record on the wire: this header, the value before, the value after.
#pragma pack(1)
struct RECORD_ITEM_HEADER {
  UINT8     Before;
  UINT8     After;
  UINT32    Attributes;     ///< The attributes the value before had.
  UINT32    BeforeSize;
  UINT32    AfterSize;
};

#pragma pack()

static_assert (sizeof (RECORD_ITEM_HEADER) == 14, "the record is stored byte for byte");

struct RECORDED_VARIABLE {
  CONST CHAR16    *Name;
  EFI_GUID        *Guid;
  BOOLEAN         Shared;       ///< Others write it too: what they changed is not ours to put back.
};

enum {
  RecordZorvikConf, RecordConIn, RecordDriverOrder, RecordItems
};

constexpr RECORDED_VARIABLE  mRecorded[RecordItems] = {
  { CHAR16_TEXT (ZORVIK_CONF_VARIABLE_NAME), &gZorvikConfGuid,        FALSE },
  { CHAR16_TEXT (u"ConIn"),                  &gEfiGlobalVariableGuid, TRUE  },
  { CHAR16_TEXT (u"DriverOrder"),            &gEfiGlobalVariableGuid, TRUE  },
};

struct RECORD_VALUE {
  UINT8             State;
  PoolPtr<UINT8>    Data;
  UINTN             Size;

  // Takes a variable as read; EFI_OUT_OF_RESOURCES when no pool is left for its copy.
  EFI_STATUS
  Take (
    const STORED_VARIABLE  &Variable
    )
  {
    State = (Variable.Status == EFI_NOT_FOUND) ? RecordedAbsent : EFI_ERROR (Variable.Status) ? RecordedUnknown : RecordedPresent;
    return Take (State, Variable.Data.Get (), Variable.Size);
  }

  EFI_STATUS
  Take (
    UINT8       NewState,
    CONST VOID  *Bytes,
    UINTN       NewSize
    )
  {
    State = NewState;
    Size  = (State == RecordedPresent) ? NewSize : 0;
    Data.Reset ((Size == 0) ? NULL : static_cast<UINT8 *>(AllocateCopyPool (Size, Bytes)));
    return ((Size == 0) || (Data.Get () != NULL)) ? EFI_SUCCESS : EFI_OUT_OF_RESOURCES;
  }

  // Whether a variable as read holds this value; an unknown value matches nothing.
  BOOLEAN
  Holds (
    const STORED_VARIABLE  &Variable
    ) const
  {
    if (State == RecordedAbsent) {
      return (BOOLEAN)(Variable.Status == EFI_NOT_FOUND);
    }

    return (BOOLEAN)((State == RecordedPresent) && !EFI_ERROR (Variable.Status) && (Variable.Size == Size) &&
                     (CompareMem (Variable.Data.Get (), Data.Get (), Size) == 0));
  }
};

struct RECORD_ITEM {
  RECORD_VALUE    Before;
  RECORD_VALUE    After;
  UINT32          Attributes;
};

// *INDENT-OFF*
class InstallRecord {
public:
  InstallRecord () : mFound (FALSE), mStoredSize (0) {}

  BOOLEAN      Found () const { return mFound; }
  RECORD_ITEM  &operator[] (UINTN Index) { return mItems[Index]; }

  // Reads the record; a missing or malformed one is no record, and the next Save replaces it.
  EFI_STATUS
  Load ()
  {
    EFI_STATUS  Status = GetVariable2 (mRecordName.Text, &gZorvikConfGuid, reinterpret_cast<VOID **>(mStored.Out ()), &mStoredSize);

    if (Status == EFI_NOT_FOUND) {
      mStoredSize = 0;
      return EFI_SUCCESS;
    }

    if (EFI_ERROR (Status)) {
      return Status;
    }

    mFound = Parse ();
    return EFI_SUCCESS;
  }

  // Writes the record, unless it holds that already.
  EFI_STATUS
  Save ()
  {
    UINTN  Size = sizeof (UINT32);

    for (const RECORD_ITEM &Item : mItems) {
      Size += sizeof (RECORD_ITEM_HEADER) + Item.Before.Size + Item.After.Size;
    }

    PoolPtr<UINT8>  Bytes (static_cast<UINT8 *>(AllocatePool (Size)));
    if (Bytes.Get () == NULL) {
      return EFI_OUT_OF_RESOURCES;
    }

    UINT8  *Write = Bytes.Get ();
    WriteUnaligned32 (reinterpret_cast<UINT32 *>(Write), RECORD_SIGNATURE);
    Write += sizeof (UINT32);
    for (const RECORD_ITEM &Item : mItems) {
      RECORD_ITEM_HEADER  Header = { Item.Before.State, Item.After.State, Item.Attributes,
                                     static_cast<UINT32>(Item.Before.Size), static_cast<UINT32>(Item.After.Size) };
      CopyMem (Write, &Header, sizeof (Header));
      CopyMem (Write + sizeof (Header), Item.Before.Data.Get (), Item.Before.Size);
      CopyMem (Write + sizeof (Header) + Item.Before.Size, Item.After.Data.Get (), Item.After.Size);
      Write += sizeof (Header) + Item.Before.Size + Item.After.Size;
    }

    if ((Size == mStoredSize) && (CompareMem (Bytes.Get (), mStored.Get (), Size) == 0)) {
      return EFI_SUCCESS;
    }

    EFI_STATUS  Status = gRT->SetVariable (const_cast<CHAR16 *>(mRecordName.Text), &gZorvikConfGuid, RECORD_ATTRIBUTES, Size, Bytes.Get ());
    if (!EFI_ERROR (Status)) {
      mStored.Reset (Bytes.Release ());
      mStoredSize = Size;
      mFound      = TRUE;
    }

    return Status;
  }

  EFI_STATUS
  Delete ()
  {
    EFI_STATUS  Status = gRT->SetVariable (const_cast<CHAR16 *>(mRecordName.Text), &gZorvikConfGuid, 0, 0, NULL);

    return (Status == EFI_NOT_FOUND) ? EFI_SUCCESS : Status;
  }

private:
  // The stored bytes into the items; every length is checked, the record being a variable anyone may write.
  BOOLEAN
  Parse ()
  {
    UINTN  Offset = sizeof (UINT32);

    if ((mStoredSize < Offset) || (ReadUnaligned32 (reinterpret_cast<UINT32 *>(mStored.Get ())) != RECORD_SIGNATURE)) {
      return FALSE;
    }

    for (RECORD_ITEM &Item : mItems) {
      RECORD_ITEM_HEADER  Header;
      if (mStoredSize - Offset < sizeof (Header)) {
        return FALSE;
      }

      CopyMem (&Header, mStored.Get () + Offset, sizeof (Header));
      Offset += sizeof (Header);
      if ((Header.Before > RecordedPresent) || (Header.After > RecordedPresent) ||
          (mStoredSize - Offset < Header.BeforeSize) || (mStoredSize - Offset - Header.BeforeSize < Header.AfterSize) ||
          ((Header.Before != RecordedPresent) && (Header.BeforeSize != 0)) ||
          ((Header.After != RecordedPresent) && (Header.AfterSize != 0)) ||
          EFI_ERROR (Item.Before.Take (Header.Before, mStored.Get () + Offset, Header.BeforeSize)) ||
          EFI_ERROR (Item.After.Take (Header.After, mStored.Get () + Offset + Header.BeforeSize, Header.AfterSize)))
      {
        return FALSE;
      }

      Item.Attributes = Header.Attributes;
      Offset         += Header.BeforeSize + Header.AfterSize;
    }

    return (BOOLEAN)(Offset == mStoredSize);
  }

  BOOLEAN         mFound;
  RECORD_ITEM     mItems[RecordItems];
  PoolPtr<UINT8>  mStored;
  UINTN           mStoredSize;
};
// *INDENT-ON*

VOID
ReadRecorded (
  UINTN            Index,
  STORED_VARIABLE  *Variable
  )
{
  ReadVariable (mRecorded[Index].Name, mRecorded[Index].Guid, Variable);
}

/**
  Without a record the variables may hold an earlier install's edits (an older tool's, or
  one whose record was lost), which are no part of what was there before it: ConIn
  without our entries, DriverOrder without our options' numbers (an odd last byte kept),
  and ZorvikConf unknown when DriverOrder held ours, so the uninstall sets it to 00.
  DriverOrder comes first, as ZorvikConf depends on it.

  @retval EFI_SUCCESS           *Before holds the value.
  @retval EFI_OUT_OF_RESOURCES  No pool for it.
**/
EFI_STATUS
TakeBefore (
  UINTN                  Index,
  const STORED_VARIABLE  &Now,
  RECORD_VALUE           *Before,
  BOOLEAN                *OursInOrder
  )
{
  auto  *Bytes = static_cast<CONST UINT8 *>(Now.Data.Get ());

  if (Index == RecordZorvikConf) {
    return *OursInOrder ? Before->Take (RecordedUnknown, NULL, 0) : Before->Take (Now);
  }

  if (EFI_ERROR (Now.Status) || (Now.Size == 0)) {
    return Before->Take (Now);
  }

  if (Index == RecordConIn) {
    PoolPtr<EFI_DEVICE_PATH_PROTOCOL>  Without;
    UINTN                              Size;
    EFI_STATUS                         Result = ConInRemoveNfcKeyboard (Bytes, Now.Size, NULL, Without.Out (), &Size);
    if (Result == EFI_OUT_OF_RESOURCES) {
      return Result;
    }

    return (Result != EFI_SUCCESS) ? Before->Take (Now)
           : Before->Take ((Size == 0) ? RecordedAbsent : RecordedPresent, Without.Get (), Size);
  }

  PoolPtr<UINT8>  Kept (static_cast<UINT8 *>(AllocatePool (Now.Size)));
  UINTN           Size = 0;

  if (Kept.Get () == NULL) {
    return EFI_OUT_OF_RESOURCES;
  }

  for (UINTN Offset = 0; Offset < Now.Size; Offset += sizeof (UINT16)) {
    UINTN  Length = MIN (sizeof (UINT16), Now.Size - Offset);
    if ((Length == sizeof (UINT16)) && DriverOptionIsOurs (ReadUnaligned16 (reinterpret_cast<CONST UINT16 *>(Bytes + Offset)))) {
      *OursInOrder = TRUE;
      continue;
    }

    CopyMem (Kept.Get () + Size, Bytes + Offset, Length);
    Size += Length;
  }

  return Before->Take ((Size == 0) ? RecordedAbsent : RecordedPresent, Kept.Get (), Size);
}

// Puts a variable back as it was before the install; one that is so already is not written.
EFI_STATUS
PutBack (
  UINTN              Index,
  const RECORD_ITEM  &Item
  )
{
  STORED_VARIABLE  Now;

  ReadRecorded (Index, &Now);
  if (Item.Before.Holds (Now) && ((Now.Status == EFI_NOT_FOUND) || (Now.Attributes == Item.Attributes))) {
    return EFI_SUCCESS;
  }

  EFI_STATUS  Status = ReplaceVariable (mRecorded[Index].Name, mRecorded[Index].Guid, Item.Attributes, Item.Before.Size, Item.Before.Data.Get ());

  if (EFI_ERROR (Status)) {
    Print (CHAR16_TEXT (u"NfcKeyboardSetup: cannot put %s back (%r)\n"), mRecorded[Index].Name, Status);
  }

  return Status;
}
} // namespace

EFI_STATUS
InstallRecordBefore (
  VOID
  )
{
  InstallRecord  Record;
  BOOLEAN        OursInOrder = FALSE;

  // From the last item on, so DriverOrder is read before ZorvikConf (TakeBefore).
  EFI_STATUS  Status = Record.Load ();

  for (UINTN Index = RecordItems; !EFI_ERROR (Status) && (Index-- > 0);) {
    STORED_VARIABLE  Now;
    RECORD_ITEM      &Item = Record[Index];

    ReadRecorded (Index, &Now);
    if (!Record.Found ()) {
      Item.Attributes = Now.Attributes;
      Status          = TakeBefore (Index, Now, &Item.Before, &OursInOrder);
    } else if (mRecorded[Index].Shared && !Item.After.Holds (Now)) {
      (VOID)Item.Before.Take (RecordedUnknown, NULL, 0);
    }

    if (!EFI_ERROR (Status)) {
      Status = Item.After.Take (Now);
    }
  }

  if (!EFI_ERROR (Status)) {
    Status = Record.Save ();
  }

  if (EFI_ERROR (Status)) {
    Print (CHAR16_TEXT (u"NfcKeyboardSetup: cannot record what the install changes in %s (%r)\n"), mRecordName.Text, Status);
  }

  return Status;
}

EFI_STATUS
InstallRecordAfter (
  VOID
  )
{
  InstallRecord  Record;

  EFI_STATUS  Status = Record.Load ();

  for (UINTN Index = 0; !EFI_ERROR (Status) && Record.Found () && (Index < RecordItems); Index++) {
    STORED_VARIABLE  Now;

    ReadRecorded (Index, &Now);
    Status = Record[Index].After.Take (Now);
  }

  if (!EFI_ERROR (Status) && Record.Found ()) {
    Status = Record.Save ();
  }

  if (EFI_ERROR (Status)) {
    Print (CHAR16_TEXT (u"NfcKeyboardSetup: cannot record what the install changed in %s (%r)\n"), mRecordName.Text, Status);
  }

  return Status;
}

EFI_STATUS
UninstallVariables (
  IN BOOLEAN  KeyboardBuiltIn
  )
{
  InstallRecord    Record;
  STORED_VARIABLE  ConIn;
  STORED_VARIABLE  Order;

  // A record that cannot be read is treated as none: the USB-serial entries still leave.
  EFI_STATUS  Result = Record.Load ();
  BOOLEAN     Found  = Record.Found ();

  ReadRecorded (RecordConIn, &ConIn);
  ReadRecorded (RecordDriverOrder, &Order);

  EFI_STATUS  Status = EFI_SUCCESS;

  if (Found && (Record[RecordZorvikConf].Before.State != RecordedUnknown)) {
    Status = PutBack (RecordZorvikConf, Record[RecordZorvikConf]);
    if (!EFI_ERROR (Status)) {
      Print (CHAR16_TEXT (u"ZorvikConf: as it was before the install\n"));
    }
  } else if (KeyboardBuiltIn) {
    Print (CHAR16_TEXT (u"ZorvikConf and ConIn: left as they are, the keyboard driver is built into the firmware\n"));
  } else {
    Status = NfcKeyboardSetEnabled (0);
  }

  Result = EFI_ERROR (Result) ? Result : Status;
  if (Found && (Record[RecordConIn].Before.State != RecordedUnknown) && Record[RecordConIn].After.Holds (ConIn)) {
    Status = PutBack (RecordConIn, Record[RecordConIn]);
    if (!EFI_ERROR (Status)) {
      Print (CHAR16_TEXT (u"ConIn: the NFC keyboard taken out, as it was before the install\n"));
    }
  } else if (Found && Record[RecordConIn].Before.Holds (ConIn)) {
    // An uninstall that stopped half-way put it back already; its USB-serial entries were there before.
    Print (CHAR16_TEXT (u"ConIn: as it was before the install\n"));
  } else if (Found || !KeyboardBuiltIn) {
    Status = NfcKeyboardSetConInEntry (FALSE);
  }

  Result = EFI_ERROR (Result) ? Result : Status;
  for (const INSTALLED_DRIVER &Driver : gDrivers) {
    Status = DriverOptionRemove (Driver.FileName, Driver.Name);
    Result = EFI_ERROR (Result) ? Result : Status;
  }

  if (Found && (Record[RecordDriverOrder].Before.State != RecordedUnknown) && Record[RecordDriverOrder].After.Holds (Order)) {
    Status = PutBack (RecordDriverOrder, Record[RecordDriverOrder]);
    Result = EFI_ERROR (Result) ? Result : Status;
  }

  // The record goes only once everything is back, so running the uninstall again finishes it.
  if (Found && !EFI_ERROR (Result)) {
    Result = Record.Delete ();
  }

  return Result;
}

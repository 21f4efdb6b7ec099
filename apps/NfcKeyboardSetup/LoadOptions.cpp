/** @file
  Driver#### load options: telling which ones load our images, building one, and
  the edits an install and an uninstall make, with DriverOrder kept in step.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#include "NfcKeyboardSetup.h"

extern "C" {
#include <Guid/GlobalVariable.h>
#include <Library/BaseLib.h>
#include <Library/BaseMemoryLib.h>
#include <Library/DevicePathLib.h>
#include <Library/PrintLib.h>
#include <Library/UefiLib.h>
#include <Library/UefiRuntimeServicesTableLib.h>
}

namespace {

constexpr UINT32  mOptionAttributes = EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS |
                                      EFI_VARIABLE_RUNTIME_ACCESS;
constexpr UINTN   mOptionNumbers    = 0x10000;
// Attributes, then the file path list's length.
constexpr UINTN   mOptionHeaderSize = sizeof (UINT32) + sizeof (UINT16);
constexpr UINTN   mOptionNameChars  = sizeof ("Driver0000");

constexpr auto  mDriverOrderName = Char16 (u"DriverOrder");

UINT16
CharAt (
  CONST UINT8  *Bytes,
  UINTN        Index
  )
{
  return ReadUnaligned16 (reinterpret_cast<CONST UINT16 *>(Bytes + Index * sizeof (CHAR16)));
}

// The first file path of a well-formed option; NULL when the bytes do not hold together.
// Variables are whatever anyone wrote, so every length is checked before it is used.
CONST EFI_DEVICE_PATH_PROTOCOL *
LoadOptionFilePath (
  CONST VOID  *Option,
  UINTN       Size
  )
{
  auto  *Bytes = static_cast<CONST UINT8 *>(Option);

  if ((Option == NULL) || (Size < mOptionHeaderSize)) {
    return NULL;
  }

  UINTN  PathLength = ReadUnaligned16 (reinterpret_cast<CONST UINT16 *>(Bytes + sizeof (UINT32)));
  UINTN  Offset     = mOptionHeaderSize;

  // The description: a NUL-terminated string between the header and the path.
  for ( ; ; ) {
    if (Offset + sizeof (CHAR16) > Size) {
      return NULL;
    }

    Offset += sizeof (CHAR16);
    if (CharAt (Bytes + Offset - sizeof (CHAR16), 0) == 0) {
      break;
    }
  }

  auto  *Path = reinterpret_cast<CONST EFI_DEVICE_PATH_PROTOCOL *>(Bytes + Offset);
  if ((PathLength < END_DEVICE_PATH_LENGTH) || (PathLength > Size - Offset) || !IsDevicePathValid (Path, PathLength)) {
    return NULL;
  }

  return Path;
}

// TRUE when a file-path node's last name is FileName, letter case aside.
BOOLEAN
FileNodeNames (
  CONST EFI_DEVICE_PATH_PROTOCOL  *Node,
  CONST CHAR16                    *FileName
  )
{
  auto   *Chars = reinterpret_cast<CONST UINT8 *>(Node) + sizeof (EFI_DEVICE_PATH_PROTOCOL);
  UINTN  Count  = (DevicePathNodeLength (Node) - sizeof (EFI_DEVICE_PATH_PROTOCOL)) / sizeof (CHAR16);

  while ((Count > 0) && (CharAt (Chars, Count - 1) == 0)) {
    Count--;
  }

  UINTN  Start = Count;
  while ((Start > 0) && (CharAt (Chars, Start - 1) != u'\\')) {
    Start--;
  }

  if (Count - Start != StrLen (FileName)) {
    return FALSE;
  }

  for (UINTN Index = 0; Index < Count - Start; Index++) {
    if (CharToUpper (CharAt (Chars, Start + Index)) != CharToUpper (FileName[Index])) {
      return FALSE;
    }
  }

  return TRUE;
}

VOID
OptionName (
  UINTN   Number,
  CHAR16  (&Name)[mOptionNameChars]
  )
{
  UnicodeSPrint (Name, sizeof (Name), CHAR16_TEXT (u"Driver%04X"), Number);
}

// Driver#### as its four upper-case hex digits say, or -1 for any other name.
INTN
OptionNumber (
  CONST CHAR16    *Name,
  CONST EFI_GUID  *Guid
  )
{
  if (!CompareGuid (Guid, &gEfiGlobalVariableGuid) || (StrLen (Name) != mOptionNameChars - 1) ||
      (StrnCmp (Name, CHAR16_TEXT (u"Driver"), 6) != 0))
  {
    return -1;
  }

  INTN  Number = 0;
  for (UINTN Index = 6; Index < 10; Index++) {
    CHAR16  Digit = Name[Index];
    if ((Digit >= u'0') && (Digit <= u'9')) {
      Number = Number * 16 + (Digit - u'0');
    } else if ((Digit >= u'A') && (Digit <= u'F')) {
      Number = Number * 16 + (Digit - u'A' + 10);
    } else {
      return -1;
    }
  }

  return Number;
}

enum OPTION_STATE : UINT8 {
  OptionFree,
  OptionTaken,     ///< A Driver#### variable, or a DriverOrder entry, holds the number.
  OptionDropped    ///< Deleted by this edit; DriverOrder loses it.
};

// Every Driver#### number in use, and DriverOrder as it was read.
class DRIVER_OPTIONS {
public:
  DRIVER_OPTIONS () : mOrderCount (0) {}

  EFI_STATUS
  Read ()
  {
    mState.Reset (static_cast<UINT8 *>(AllocateZeroPool (mOptionNumbers)));
    if (mState.Get () == NULL) {
      return EFI_OUT_OF_RESOURCES;
    }

    UINTN       OrderSize = 0;
    EFI_STATUS  Status    = GetEfiGlobalVariable2 (mDriverOrderName.Text, reinterpret_cast<VOID **>(mOrder.Out ()), &OrderSize);
    if (EFI_ERROR (Status) && (Status != EFI_NOT_FOUND)) {
      return Status;
    }

    // An odd trailing byte belongs to no entry; a rewrite keeps the whole entries only.
    mOrderCount = EFI_ERROR (Status) ? 0 : OrderSize / sizeof (UINT16);
    for (UINTN Index = 0; Index < mOrderCount; Index++) {
      mState.Get ()[Order (Index)] = OptionTaken;
    }

    return ReadVariableNames ();
  }

  BOOLEAN IsTaken (UINTN Number) const { return (BOOLEAN)(mState.Get ()[Number] != OptionFree); }
  VOID    Drop (UINTN Number) { mState.Get ()[Number] = OptionDropped; }

  INTN
  FirstFree () const
  {
    for (UINTN Number = 0; Number < mOptionNumbers; Number++) {
      if (!IsTaken (Number)) {
        return static_cast<INTN>(Number);
      }
    }

    return -1;
  }

  // Writes DriverOrder without the dropped numbers and with Append (-1: none) at its
  // end when it lacks it; an unchanged order is not written.
  EFI_STATUS
  WriteOrder (INTN Append)
  {
    PoolPtr<UINT16>  NewOrder (static_cast<UINT16 *>(AllocatePool ((mOrderCount + 1) * sizeof (UINT16))));
    UINTN            Count    = 0;
    BOOLEAN          HasIt    = FALSE;

    if (NewOrder.Get () == NULL) {
      return EFI_OUT_OF_RESOURCES;
    }

    for (UINTN Index = 0; Index < mOrderCount; Index++) {
      UINT16  Number = Order (Index);
      if (mState.Get ()[Number] != OptionDropped) {
        HasIt = (BOOLEAN)(HasIt || (Number == Append));
        NewOrder.Get ()[Count++] = Number;
      }
    }

    if ((Append >= 0) && !HasIt) {
      NewOrder.Get ()[Count++] = static_cast<UINT16>(Append);
    }

    if ((Count == mOrderCount) && ((Count == 0) || (CompareMem (NewOrder.Get (), mOrder.Get (), Count * sizeof (UINT16)) == 0))) {
      return EFI_SUCCESS;
    }

    // An order left empty goes, as it was before the install made it.
    EFI_STATUS  Status = gRT->SetVariable (const_cast<CHAR16 *>(mDriverOrderName.Text), &gEfiGlobalVariableGuid,
                                           mOptionAttributes, Count * sizeof (UINT16), (Count == 0) ? NULL : NewOrder.Get ());
    if (EFI_ERROR (Status) && !((Count == 0) && (Status == EFI_NOT_FOUND))) {
      Print (CHAR16_TEXT (u"NfcKeyboardSetup: cannot write DriverOrder (%r)\n"), Status);
      return Status;
    }

    return EFI_SUCCESS;
  }

private:
  UINT16 Order (UINTN Index) const { return ReadUnaligned16 (&mOrder.Get ()[Index]); }

  EFI_STATUS
  ReadVariableNames ()
  {
    UINTN            Capacity = 64 * sizeof (CHAR16);
    PoolPtr<CHAR16>  Name (static_cast<CHAR16 *>(AllocateZeroPool (Capacity)));
    EFI_GUID         Guid;

    if (Name.Get () == NULL) {
      return EFI_OUT_OF_RESOURCES;
    }

    for ( ; ; ) {
      UINTN       NameSize = Capacity;
      EFI_STATUS  Status   = gRT->GetNextVariableName (&NameSize, Name.Get (), &Guid);
      if (Status == EFI_BUFFER_TOO_SMALL) {
        CHAR16  *Larger = static_cast<CHAR16 *>(ReallocatePool (Capacity, NameSize, Name.Get ()));
        if (Larger == NULL) {
          return EFI_OUT_OF_RESOURCES;
        }

        Name.Release ();
        Name.Reset (Larger);
        Capacity = NameSize;
        continue;
      }

      if (Status == EFI_NOT_FOUND) {
        return EFI_SUCCESS;
      }

      if (EFI_ERROR (Status)) {
        return Status;
      }

      INTN  Number = OptionNumber (Name.Get (), &Guid);
      if (Number >= 0) {
        mState.Get ()[Number] = OptionTaken;
      }
    }
  }

  PoolPtr<UINT8>   mState;
  PoolPtr<UINT16>  mOrder;
  UINTN            mOrderCount;
};

// Reads Driver####; FALSE when it is absent or names another file.
BOOLEAN
ReadOurOption (
  UINTN          Number,
  CONST CHAR16   *FileName,
  PoolPtr<VOID>  *Option,
  UINTN          *Size
  )
{
  CHAR16  Name[mOptionNameChars];

  OptionName (Number, Name);
  *Size = 0;
  return (BOOLEAN)(!EFI_ERROR (GetEfiGlobalVariable2 (Name, Option->Out (), Size)) &&
                   LoadOptionNamesImage (Option->Get (), *Size, FileName));
}

EFI_STATUS
WriteOption (
  UINTN       Number,
  UINTN       Size,
  CONST VOID  *Option
  )
{
  CHAR16  Name[mOptionNameChars];

  OptionName (Number, Name);
  EFI_STATUS  Status = gRT->SetVariable (Name, &gEfiGlobalVariableGuid, (Option == NULL) ? 0 : mOptionAttributes,
                                         Size, const_cast<VOID *>(Option));
  if (EFI_ERROR (Status)) {
    Print (CHAR16_TEXT (u"NfcKeyboardSetup: cannot write %s (%r)\n"), Name, Status);
  }

  return Status;
}

} // namespace

BOOLEAN
LoadOptionNamesImage (
  IN CONST VOID    *Option,
  IN UINTN         Size,
  IN CONST CHAR16  *FileName
  )
{
  CONST EFI_DEVICE_PATH_PROTOCOL  *Last = NULL;
  CONST EFI_DEVICE_PATH_PROTOCOL  *Path = LoadOptionFilePath (Option, Size);

  if (Path == NULL) {
    return FALSE;
  }

  for (CONST EFI_DEVICE_PATH_PROTOCOL *Node = Path; !IsDevicePathEnd (Node); Node = NextDevicePathNode (Node)) {
    Last = Node;
  }

  return (BOOLEAN)((Last != NULL) && (DevicePathType (Last) == MEDIA_DEVICE_PATH) &&
                   (DevicePathSubType (Last) == MEDIA_FILEPATH_DP) && FileNodeNames (Last, FileName));
}

VOID *
LoadOptionBuild (
  IN  CONST CHAR16                    *Description,
  IN  CONST EFI_DEVICE_PATH_PROTOCOL  *FilePath,
  OUT UINTN                           *Size
  )
{
  UINTN  DescriptionSize = StrSize (Description);
  UINTN  PathSize        = GetDevicePathSize (FilePath);

  *Size = mOptionHeaderSize + DescriptionSize + PathSize;
  auto  *Option = static_cast<UINT8 *>(AllocatePool (*Size));
  if (Option == NULL) {
    *Size = 0;
    return NULL;
  }

  WriteUnaligned32 (reinterpret_cast<UINT32 *>(Option), LOAD_OPTION_ACTIVE);
  WriteUnaligned16 (reinterpret_cast<UINT16 *>(Option + sizeof (UINT32)), static_cast<UINT16>(PathSize));
  CopyMem (Option + mOptionHeaderSize, Description, DescriptionSize);
  CopyMem (Option + mOptionHeaderSize + DescriptionSize, FilePath, PathSize);
  return Option;
}

EFI_STATUS
DriverOptionEnsure (
  IN CONST CHAR16                    *FileName,
  IN CONST CHAR16                    *Description,
  IN CONST EFI_DEVICE_PATH_PROTOCOL  *FilePath
  )
{
  DRIVER_OPTIONS  Options;
  UINTN           WantedSize;
  INTN            Chosen = -1;

  EFI_STATUS  Status = Options.Read ();
  if (EFI_ERROR (Status)) {
    Print (CHAR16_TEXT (u"NfcKeyboardSetup: cannot read the driver load options (%r)\n"), Status);
    return Status;
  }

  PoolPtr<VOID>  Wanted (LoadOptionBuild (Description, FilePath, &WantedSize));
  if (Wanted.Get () == NULL) {
    return EFI_OUT_OF_RESOURCES;
  }

  // The lowest-numbered option for the file stays; any other is a leftover.
  for (UINTN Number = 0; Number < mOptionNumbers; Number++) {
    PoolPtr<VOID>  Option;
    UINTN          Size;

    if (!Options.IsTaken (Number) || !ReadOurOption (Number, FileName, &Option, &Size)) {
      continue;
    }

    if (Chosen >= 0) {
      Status = WriteOption (Number, 0, NULL);
      if (EFI_ERROR (Status)) {
        return Status;
      }

      Options.Drop (Number);
      Print (CHAR16_TEXT (u"Driver%04X: removed, it loaded %s a second time\n"), Number, FileName);
      continue;
    }

    Chosen = static_cast<INTN>(Number);
    if ((Size == WantedSize) && (CompareMem (Option.Get (), Wanted.Get (), Size) == 0)) {
      Print (CHAR16_TEXT (u"Driver%04X: loads %s already\n"), Number, FileName);
      continue;
    }

    Status = WriteOption (Number, WantedSize, Wanted.Get ());
    if (EFI_ERROR (Status)) {
      return Status;
    }

    Print (CHAR16_TEXT (u"Driver%04X: now loads %s from the EFI system partition\n"), Number, FileName);
  }

  if (Chosen < 0) {
    Chosen = Options.FirstFree ();
    if (Chosen < 0) {
      Print (CHAR16_TEXT (u"NfcKeyboardSetup: every Driver#### number is taken (%r)\n"), EFI_OUT_OF_RESOURCES);
      return EFI_OUT_OF_RESOURCES;
    }

    Status = WriteOption (static_cast<UINTN>(Chosen), WantedSize, Wanted.Get ());
    if (EFI_ERROR (Status)) {
      return Status;
    }

    Print (CHAR16_TEXT (u"Driver%04X: added, \"%s\" loads %s at every boot\n"), Chosen, Description, FileName);
  }

  return Options.WriteOrder (Chosen);
}

EFI_STATUS
DriverOptionRemove (
  IN CONST CHAR16  *FileName
  )
{
  DRIVER_OPTIONS  Options;
  UINTN           Removed = 0;

  EFI_STATUS  Status = Options.Read ();
  if (EFI_ERROR (Status)) {
    Print (CHAR16_TEXT (u"NfcKeyboardSetup: cannot read the driver load options (%r)\n"), Status);
    return Status;
  }

  for (UINTN Number = 0; Number < mOptionNumbers; Number++) {
    PoolPtr<VOID>  Option;
    UINTN          Size;

    if (!Options.IsTaken (Number) || !ReadOurOption (Number, FileName, &Option, &Size)) {
      continue;
    }

    Status = WriteOption (Number, 0, NULL);
    if (EFI_ERROR (Status)) {
      break;
    }

    Options.Drop (Number);
    Removed++;
    Print (CHAR16_TEXT (u"Driver%04X: removed, it loaded %s\n"), Number, FileName);
  }

  // What was deleted leaves DriverOrder even when a later delete failed.
  EFI_STATUS  OrderStatus = Options.WriteOrder (-1);
  if (Removed == 0) {
    Print (CHAR16_TEXT (u"No load option loads %s\n"), FileName);
  }

  return EFI_ERROR (Status) ? Status : OrderStatus;
}

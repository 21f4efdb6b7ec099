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
constexpr UINT32  OPTION_ATTRIBUTES = EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS |
                                      EFI_VARIABLE_RUNTIME_ACCESS;
constexpr UINTN  OPTION_NUMBERS = 0x10000;
// Attributes, then the file path list's length.
constexpr UINTN  OPTION_HEADER_SIZE = sizeof (UINT32) + sizeof (UINT16);
constexpr UINTN  OPTION_NAME_CHARS  = sizeof ("Driver0000");

constexpr auto  mDriverOrderName = Char16 (u"DriverOrder");

UINT16
CharAt (
  CONST UINT8  *Bytes,
  UINTN        Index
  )
{
  return ReadUnaligned16 (reinterpret_cast<CONST UINT16 *>(Bytes + Index * sizeof (CHAR16)));
}

VOID
OptionName (
  UINTN  Number,
  CHAR16  (&Name)[OPTION_NAME_CHARS]
  )
{
  UnicodeSPrint (Name, sizeof (Name), CHAR16_TEXT (u"Driver%04X"), Number);
}

/**
  The number of a Driver#### variable, as its four upper-case hex digits say.

  @retval EFI_SUCCESS    *Number holds it.
  @retval EFI_NOT_FOUND  The name is no Driver#### name; *Number is untouched.
**/
EFI_STATUS
OptionNumber (
  CONST CHAR16    *Name,
  CONST EFI_GUID  *Guid,
  UINTN           *Number
  )
{
  if (!CompareGuid (Guid, &gEfiGlobalVariableGuid) || (StrLen (Name) != OPTION_NAME_CHARS - 1) ||
      (StrnCmp (Name, CHAR16_TEXT (u"Driver"), 6) != 0))
  {
    return EFI_NOT_FOUND;
  }

  UINTN  Value = 0;

  for (UINTN Index = 6; Index < 10; Index++) {
    CHAR16  Digit = Name[Index];
    if ((Digit >= u'0') && (Digit <= u'9')) {
      Value = Value * 16 + (Digit - u'0');
    } else if ((Digit >= u'A') && (Digit <= u'F')) {
      Value = Value * 16 + (Digit - u'A' + 10);
    } else {
      return EFI_NOT_FOUND;
    }
  }

  *Number = Value;
  return EFI_SUCCESS;
}

EFI_STATUS
ReadOurOption (
  UINTN          Number,
  CONST CHAR16   *FileName,
  CONST CHAR16   *Description,
  PoolPtr<VOID>  *Option,
  UINTN          *Size
  );

enum OPTION_STATE : UINT8 {
  OptionFree,
  OptionTaken,     ///< A Driver#### variable, or a DriverOrder entry, holds the number.
  OptionDropped    ///< Deleted by this edit; DriverOrder loses it.
};

// Every Driver#### number in use, and DriverOrder as it was read.
// *INDENT-OFF*
class DriverOptions {
public:
  DriverOptions () : mOrderCount (0) {}

  EFI_STATUS
  Read ()
  {
    mState.Reset (static_cast<UINT8 *>(AllocateZeroPool (OPTION_NUMBERS)));
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

  // The lowest number nothing holds; EFI_OUT_OF_RESOURCES when every number is taken.
  EFI_STATUS
  FirstFree (UINTN *Free) const
  {
    for (UINTN Number = 0; Number < OPTION_NUMBERS; Number++) {
      if (!IsTaken (Number)) {
        *Free = Number;
        return EFI_SUCCESS;
      }
    }

    return EFI_OUT_OF_RESOURCES;
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

    return Store (NewOrder.Get (), Count);
  }

  // Writes DriverOrder with our options in gDrivers' order in the places they hold.
  EFI_STATUS
  SortOurs ()
  {
    constexpr UINT8  NOT_OURS = ARRAY_SIZE (gDrivers);

    if (mOrderCount == 0) {
      return EFI_SUCCESS;
    }

    PoolPtr<UINT16>  NewOrder (static_cast<UINT16 *>(AllocateCopyPool (mOrderCount * sizeof (UINT16), mOrder.Get ())));
    PoolPtr<UINT8>   Rank (static_cast<UINT8 *>(AllocatePool (mOrderCount)));
    if ((NewOrder.Get () == NULL) || (Rank.Get () == NULL)) {
      return EFI_OUT_OF_RESOURCES;
    }

    for (UINTN Index = 0; Index < mOrderCount; Index++) {
      Rank.Get ()[Index] = NOT_OURS;
      for (UINT8 Driver = 0; (Driver < NOT_OURS) && (Rank.Get ()[Index] == NOT_OURS); Driver++) {
        PoolPtr<VOID>  Option;
        UINTN          Size;
        if (!EFI_ERROR (ReadOurOption (Order (Index), gDrivers[Driver].FileName, gDrivers[Driver].Name, &Option, &Size))) {
          Rank.Get ()[Index] = Driver;
        }
      }
    }

    // Our places are filled driver by driver; someone else's entry stays where it is.
    UINTN  Place = 0;
    for (UINT8 Driver = 0; Driver < NOT_OURS; Driver++) {
      for (UINTN Index = 0; Index < mOrderCount; Index++) {
        if (Rank.Get ()[Index] == Driver) {
          while (Rank.Get ()[Place] == NOT_OURS) {
            Place++;
          }

          NewOrder.Get ()[Place++] = Order (Index);
        }
      }
    }

    return Store (NewOrder.Get (), mOrderCount);
  }

private:
  // Writes NewOrder as DriverOrder, unless it holds that already.
  EFI_STATUS
  Store (CONST UINT16 *NewOrder, UINTN Count)
  {
    if ((Count == mOrderCount) && ((Count == 0) || (CompareMem (NewOrder, mOrder.Get (), Count * sizeof (UINT16)) == 0))) {
      return EFI_SUCCESS;
    }

    // An order left empty goes, as it was before the install made it.
    EFI_STATUS  Status = gRT->SetVariable (const_cast<CHAR16 *>(mDriverOrderName.Text), &gEfiGlobalVariableGuid,
                                           OPTION_ATTRIBUTES, Count * sizeof (UINT16), (Count == 0) ? NULL : const_cast<UINT16 *>(NewOrder));
    if (EFI_ERROR (Status) && !((Count == 0) && (Status == EFI_NOT_FOUND))) {
      Print (CHAR16_TEXT (u"NfcKeyboardSetup: cannot write DriverOrder (%r)\n"), Status);
      return Status;
    }

    return EFI_SUCCESS;
  }

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

      UINTN  Number;
      if (!EFI_ERROR (OptionNumber (Name.Get (), &Guid, &Number))) {
        mState.Get ()[Number] = OptionTaken;
      }
    }
  }

  PoolPtr<UINT8>   mState;
  PoolPtr<UINT16>  mOrder;
  UINTN            mOrderCount;
};
// *INDENT-ON*

BOOLEAN
IsMediaNode (
  CONST EFI_DEVICE_PATH_PROTOCOL  *Node,
  UINT8                           SubType
  )
{
  return (BOOLEAN)((DevicePathType (Node) == MEDIA_DEVICE_PATH) && (DevicePathSubType (Node) == SubType));
}

// Reads Driver####; EFI_NOT_FOUND when it is absent or not ours.
EFI_STATUS
ReadOurOption (
  UINTN          Number,
  CONST CHAR16   *FileName,
  CONST CHAR16   *Description,
  PoolPtr<VOID>  *Option,
  UINTN          *Size
  )
{
  CHAR16  Name[OPTION_NAME_CHARS];

  OptionName (Number, Name);
  *Size = 0;
  return (!EFI_ERROR (GetEfiGlobalVariable2 (Name, Option->Out (), Size)) &&
          LoadOptionIsOurs (Option->Get (), *Size, FileName, Description)) ? EFI_SUCCESS : EFI_NOT_FOUND;
}

// TRUE when Text is Folder, a separator and FileName, letter case aside (FAT's names have none).
BOOLEAN
IsInstalledPath (
  CONST CHAR16  *Text,
  CONST CHAR16  *FileName
  )
{
  UINTN  FolderLength = StrLen (gInstallFolder.Text);

  if ((StrLen (Text) != FolderLength + 1 + StrLen (FileName)) || (Text[FolderLength] != u'\\')) {
    return FALSE;
  }

  for (UINTN Index = 0; Text[Index] != 0; Index++) {
    CHAR16  Wanted = (Index < FolderLength) ? gInstallFolder.Text[Index]
                     : (Index == FolderLength) ? u'\\' : FileName[Index - FolderLength - 1];
    if (CharToUpper (Text[Index]) != CharToUpper (Wanted)) {
      return FALSE;
    }
  }

  return TRUE;
}

EFI_STATUS
WriteOption (
  UINTN       Number,
  UINTN       Size,
  CONST VOID  *Option
  )
{
  CHAR16  Name[OPTION_NAME_CHARS];

  OptionName (Number, Name);
  EFI_STATUS  Status = gRT->SetVariable (
                                         Name,
                                         &gEfiGlobalVariableGuid,
                                         (Option == NULL) ? 0 : OPTION_ATTRIBUTES,
                                         Size,
                                         const_cast<VOID *>(Option)
                                         );

  if (EFI_ERROR (Status)) {
    Print (CHAR16_TEXT (u"NfcKeyboardSetup: cannot write %s (%r)\n"), Name, Status);
  }

  return Status;
}
} // namespace

CONST EFI_DEVICE_PATH_PROTOCOL *
LoadOptionFilePath (
  IN CONST VOID  *Option,
  IN UINTN       Size
  )
{
  auto  *Bytes = static_cast<CONST UINT8 *>(Option);

  if ((Option == NULL) || (Size < OPTION_HEADER_SIZE)) {
    return NULL;
  }

  UINTN  PathLength = ReadUnaligned16 (reinterpret_cast<CONST UINT16 *>(Bytes + sizeof (UINT32)));
  UINTN  Offset     = OPTION_HEADER_SIZE;

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

BOOLEAN
LoadOptionIsOurs (
  IN CONST VOID    *Option,
  IN UINTN         Size,
  IN CONST CHAR16  *FileName,
  IN CONST CHAR16  *Description
  )
{
  CONST EFI_DEVICE_PATH_PROTOCOL  *Path   = LoadOptionFilePath (Option, Size);
  CONST EFI_DEVICE_PATH_PROTOCOL  *Before = NULL;
  CHAR16                          Text[PATH_CHARS];

  if (Path == NULL) {
    return FALSE;
  }

  // The description ends right before the path; its NUL was found there.
  UINTN  DescriptionSize = static_cast<UINTN>(reinterpret_cast<CONST UINT8 *>(Path) - static_cast<CONST UINT8 *>(Option)) - OPTION_HEADER_SIZE;

  if ((DescriptionSize != StrSize (Description)) ||
      (CompareMem (static_cast<CONST UINT8 *>(Option) + OPTION_HEADER_SIZE, Description, DescriptionSize) != 0))
  {
    return FALSE;
  }

  // A partition, then our folder's file on it, and nothing else.
  CONST EFI_DEVICE_PATH_PROTOCOL  *Node = Path;

  while (!IsDevicePathEnd (Node) && !IsMediaNode (Node, MEDIA_FILEPATH_DP)) {
    Before = Node;
    Node   = NextDevicePathNode (Node);
  }

  return (BOOLEAN)((Before != NULL) && IsMediaNode (Before, MEDIA_HARDDRIVE_DP) && !IsDevicePathEnd (Node) &&
                   !EFI_ERROR (FilePathText (Node, Text)) && IsInstalledPath (Text, FileName));
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

  *Size = OPTION_HEADER_SIZE + DescriptionSize + PathSize;
  auto  *Option = static_cast<UINT8 *>(AllocatePool (*Size));

  if (Option == NULL) {
    *Size = 0;
    return NULL;
  }

  WriteUnaligned32 (reinterpret_cast<UINT32 *>(Option), LOAD_OPTION_ACTIVE);
  WriteUnaligned16 (reinterpret_cast<UINT16 *>(Option + sizeof (UINT32)), static_cast<UINT16>(PathSize));
  CopyMem (Option + OPTION_HEADER_SIZE, Description, DescriptionSize);
  CopyMem (Option + OPTION_HEADER_SIZE + DescriptionSize, FilePath, PathSize);
  return Option;
}

EFI_STATUS
DriverOptionEnsure (
  IN CONST CHAR16                    *FileName,
  IN CONST CHAR16                    *Description,
  IN CONST EFI_DEVICE_PATH_PROTOCOL  *FilePath
  )
{
  DriverOptions  Options;
  UINTN          WantedSize;
  INTN           Chosen = -1;

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
  for (UINTN Number = 0; Number < OPTION_NUMBERS; Number++) {
    PoolPtr<VOID>  Option;
    UINTN          Size;

    if (!Options.IsTaken (Number) || EFI_ERROR (ReadOurOption (Number, FileName, Description, &Option, &Size))) {
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
    UINTN  Free;
    Status = Options.FirstFree (&Free);
    if (EFI_ERROR (Status)) {
      Print (CHAR16_TEXT (u"NfcKeyboardSetup: every Driver#### number is taken (%r)\n"), Status);
      return Status;
    }

    Chosen = static_cast<INTN>(Free);
    Status = WriteOption (Free, WantedSize, Wanted.Get ());
    if (EFI_ERROR (Status)) {
      return Status;
    }

    Print (CHAR16_TEXT (u"Driver%04X: added, \"%s\" loads %s at every boot\n"), Chosen, Description, FileName);
  }

  return Options.WriteOrder (Chosen);
}

EFI_STATUS
DriverOrderSort (
  VOID
  )
{
  DriverOptions  Options;

  EFI_STATUS  Status = Options.Read ();

  return EFI_ERROR (Status) ? Status : Options.SortOurs ();
}

BOOLEAN
DriverOptionIsOurs (
  IN UINT16  Number
  )
{
  for (const INSTALLED_DRIVER &Driver : gDrivers) {
    PoolPtr<VOID>  Option;
    UINTN          Size;

    if (!EFI_ERROR (ReadOurOption (Number, Driver.FileName, Driver.Name, &Option, &Size))) {
      return TRUE;
    }
  }

  return FALSE;
}

EFI_STATUS
DriverOptionRemove (
  IN CONST CHAR16  *FileName,
  IN CONST CHAR16  *Description
  )
{
  DriverOptions  Options;
  UINTN          Removed = 0;

  EFI_STATUS  Status = Options.Read ();

  if (EFI_ERROR (Status)) {
    Print (CHAR16_TEXT (u"NfcKeyboardSetup: cannot read the driver load options (%r)\n"), Status);
    return Status;
  }

  for (UINTN Number = 0; Number < OPTION_NUMBERS; Number++) {
    PoolPtr<VOID>  Option;
    UINTN          Size;

    if (!Options.IsTaken (Number) || EFI_ERROR (ReadOurOption (Number, FileName, Description, &Option, &Size))) {
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

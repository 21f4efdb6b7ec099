/** @file
  install and uninstall: the EFI system partition and our folder on it, the drivers
  started in place, and the variables that make the firmware load them at every boot.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#include "NfcKeyboardSetup.h"

extern "C" {
#include <Guid/FileInfo.h>
#include <Guid/Gpt.h>
#include <IndustryStandard/Mbr.h>
#include <Protocol/LoadedImage.h>
#include <Protocol/PartitionInfo.h>
#include <Protocol/Shell.h>
#include <Protocol/SimpleFileSystem.h>
#include <Protocol/UsbIo.h>
#include <Library/BaseLib.h>
#include <Library/BaseMemoryLib.h>
#include <Library/DevicePathLib.h>
#include <Library/FileHandleLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiLib.h>
}

namespace {

constexpr UINTN  mPathChars = 256;
// Driver images are tens of kilobytes; anything near this is not ours.
constexpr UINT64  mLargestImage = SIZE_4MB;

constexpr auto  mInstallFolder = Char16 (u"\\EFI\\NfcKeyboard");
constexpr auto  mSetupFileName = Char16 (u"NfcKeyboardSetup.efi");

struct INSTALLED_DRIVER {
  CONST CHAR16      *FileName;
  CONST CHAR16      *Name;    ///< The driver's own name, and its load option's description.
};

// In load order: the serial driver's option comes first in DriverOrder.
constexpr INSTALLED_DRIVER  mDrivers[] = {
  { CHAR16_TEXT (u"OstrelDriver.efi"), mSerialDriverName.Text   },
  { CHAR16_TEXT (u"ZorvikDxe.efi"),    mKeyboardDriverName.Text },
};

// A file or folder on a volume: Path from the volume's root, "" for the root itself.
struct LOCATION {
  EFI_HANDLE    Volume;
  CHAR16        Path[mPathChars];
};

// An open file, closed on every way out.
class OPEN_FILE {
public:
  OPEN_FILE () : mFile (NULL) {}
  ~OPEN_FILE () { Close (); }
  OPEN_FILE (const OPEN_FILE &) = delete;
  OPEN_FILE &operator= (const OPEN_FILE &) = delete;

  EFI_FILE_PROTOCOL *Get () const { return mFile; }
  EFI_FILE_PROTOCOL **Out () { Close (); return &mFile; }

  // Delete closes the file whatever it answers.
  EFI_STATUS
  Delete ()
  {
    EFI_FILE_PROTOCOL  *File = mFile;

    mFile = NULL;
    return File->Delete (File);
  }

  VOID
  Close ()
  {
    if (mFile != NULL) {
      mFile->Close (mFile);
      mFile = NULL;
    }
  }

private:
  EFI_FILE_PROTOCOL  *mFile;
};

BOOLEAN
Join (
  CHAR16        (&Out)[mPathChars],
  CONST CHAR16  *Folder,
  CONST CHAR16  *Name
  )
{
  return (BOOLEAN)(!RETURN_ERROR (StrCpyS (Out, mPathChars, Folder)) &&
                   !RETURN_ERROR (StrCatS (Out, mPathChars, CHAR16_TEXT (u"\\"))) &&
                   !RETURN_ERROR (StrCatS (Out, mPathChars, Name)));
}

VOID
TrimSeparators (
  CHAR16  *Path
  )
{
  UINTN  Length = StrLen (Path);

  while ((Length > 0) && (Path[Length - 1] == u'\\')) {
    Path[--Length] = 0;
  }
}

// The file-path nodes of DevicePath as one path; FALSE when another node comes
// among them or the path is too long.
BOOLEAN
FilePathText (
  CONST EFI_DEVICE_PATH_PROTOCOL  *DevicePath,
  CHAR16                          (&Out)[mPathChars]
  )
{
  UINTN  Length = 0;

  Out[0] = 0;
  for (CONST EFI_DEVICE_PATH_PROTOCOL *Node = DevicePath; !IsDevicePathEnd (Node); Node = NextDevicePathNode (Node)) {
    if ((DevicePathType (Node) != MEDIA_DEVICE_PATH) || (DevicePathSubType (Node) != MEDIA_FILEPATH_DP)) {
      return FALSE;
    }

    auto   *Chars = reinterpret_cast<CONST UINT8 *>(Node) + sizeof (EFI_DEVICE_PATH_PROTOCOL);
    UINTN  Count  = (DevicePathNodeLength (Node) - sizeof (EFI_DEVICE_PATH_PROTOCOL)) / sizeof (CHAR16);
    // Nodes split a path at its separators, which one of the two sides may carry.
    if ((Length > 0) && (Out[Length - 1] != u'\\') && (Count > 0) &&
        (ReadUnaligned16 (reinterpret_cast<CONST UINT16 *>(Chars)) != u'\\'))
    {
      Out[Length++] = u'\\';
    }

    for (UINTN Index = 0; Index < Count; Index++) {
      CHAR16  Char = ReadUnaligned16 (reinterpret_cast<CONST UINT16 *>(Chars + Index * sizeof (CHAR16)));
      if (Char == 0) {
        break;
      }

      if (Length + 1 >= mPathChars) {
        return FALSE;
      }

      Out[Length++] = Char;
    }

    Out[Length] = 0;
  }

  return TRUE;
}

EFI_STATUS
Open (
  EFI_HANDLE    Volume,
  CONST CHAR16  *Path,
  UINT64        Mode,
  UINT64        Attributes,
  OPEN_FILE     *File
  )
{
  EFI_SIMPLE_FILE_SYSTEM_PROTOCOL  *FileSystem;
  OPEN_FILE                        Root;

  EFI_STATUS  Status = gBS->HandleProtocol (Volume, &gEfiSimpleFileSystemProtocolGuid, reinterpret_cast<VOID **>(&FileSystem));
  if (!EFI_ERROR (Status)) {
    Status = FileSystem->OpenVolume (FileSystem, Root.Out ());
  }

  if (!EFI_ERROR (Status)) {
    Status = Root.Get ()->Open (Root.Get (), File->Out (), const_cast<CHAR16 *>(Path), Mode, Attributes);
  }

  return Status;
}

struct FILE_DATA {
  PoolPtr<VOID>    Data;
  UINTN            Size;
};

EFI_STATUS
ReadFile (
  EFI_HANDLE    Volume,
  CONST CHAR16  *Path,
  FILE_DATA     *File
  )
{
  OPEN_FILE  Opened;
  UINT64     Size;

  EFI_STATUS  Status = Open (Volume, Path, EFI_FILE_MODE_READ, 0, &Opened);
  if (!EFI_ERROR (Status)) {
    Status = FileHandleGetSize (Opened.Get (), &Size);
  }

  if (EFI_ERROR (Status)) {
    return Status;
  }

  if (Size > mLargestImage) {
    return EFI_BAD_BUFFER_SIZE;
  }

  File->Size = static_cast<UINTN>(Size);
  File->Data.Reset (AllocatePool (File->Size + 1));
  if (File->Data.Get () == NULL) {
    return EFI_OUT_OF_RESOURCES;
  }

  UINTN  Read = File->Size;
  Status = Opened.Get ()->Read (Opened.Get (), &Read, File->Data.Get ());
  return (!EFI_ERROR (Status) && (Read != File->Size)) ? EFI_VOLUME_CORRUPTED : Status;
}

EFI_STATUS
WriteFile (
  EFI_HANDLE       Volume,
  CONST CHAR16     *Path,
  CONST FILE_DATA  &File
  )
{
  OPEN_FILE  Opened;

  // A file opened for writing keeps its old length, so an old copy goes first.
  if (!EFI_ERROR (Open (Volume, Path, EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE, 0, &Opened))) {
    EFI_STATUS  Status = Opened.Delete ();
    if (Status != EFI_SUCCESS) {
      return EFI_ERROR (Status) ? Status : EFI_ACCESS_DENIED;
    }
  }

  EFI_STATUS  Status = Open (Volume, Path, EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE | EFI_FILE_MODE_CREATE, 0, &Opened);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  UINTN  Written = File.Size;
  Status = Opened.Get ()->Write (Opened.Get (), &Written, File.Data.Get ());
  if (!EFI_ERROR (Status)) {
    Status = (Written == File.Size) ? Opened.Get ()->Flush (Opened.Get ()) : EFI_VOLUME_FULL;
  }

  return Status;
}

VOID
PrintPath (
  CONST CHAR16  *Format,
  EFI_HANDLE    Volume
  )
{
  CHAR16  *Text = ConvertDevicePathToText (DevicePathFromHandle (Volume), FALSE, FALSE);

  Print (Format, (Text != NULL) ? Text : CHAR16_TEXT (u"(a volume with no device path)"));
  if (Text != NULL) {
    FreePool (Text);
  }
}

EFI_STATUS
Fail (
  EFI_STATUS    Status,
  CONST CHAR16  *What,
  CONST CHAR16  *Name
  )
{
  Print (CHAR16_TEXT (u"NfcKeyboardSetup: %s %s (%r)\n"), What, Name, Status);
  return Status;
}

// Where the tool's own image was read from.
EFI_STATUS
OwnImage (
  LOCATION  *Image
  )
{
  EFI_LOADED_IMAGE_PROTOCOL  *Loaded;

  EFI_STATUS  Status = gBS->HandleProtocol (gImageHandle, &gEfiLoadedImageProtocolGuid, reinterpret_cast<VOID **>(&Loaded));
  if (EFI_ERROR (Status)) {
    return Status;
  }

  Image->Volume = Loaded->DeviceHandle;
  return ((Loaded->FilePath != NULL) && FilePathText (Loaded->FilePath, Image->Path)) ? EFI_SUCCESS : EFI_NOT_FOUND;
}

// The folder the driver images are read from: Given or the shell's current folder,
// through the shell's names; without a shell, Given on the tool's own volume or the
// tool's own folder.
EFI_STATUS
SourceFolder (
  CONST CHAR16  *Given,
  LOCATION      *Folder
  )
{
  EFI_SHELL_PROTOCOL  *Shell;

  if (EFI_ERROR (gBS->LocateProtocol (&gEfiShellProtocolGuid, NULL, reinterpret_cast<VOID **>(&Shell)))) {
    EFI_STATUS  Status = OwnImage (Folder);
    if (EFI_ERROR (Status)) {
      return Status;
    }

    // The folder is the image's path up to its last separator.
    UINTN  Length = StrLen (Folder->Path);
    while ((Length > 0) && (Folder->Path[Length - 1] != u'\\')) {
      Length--;
    }

    Folder->Path[(Length > 0) ? Length - 1 : 0] = 0;

    if ((Given != NULL) && (Given[0] == u'\\')) {
      return RETURN_ERROR (StrCpyS (Folder->Path, mPathChars, Given)) ? EFI_BAD_BUFFER_SIZE : EFI_SUCCESS;
    }

    CHAR16  Joined[mPathChars];
    if ((Given != NULL) && (!Join (Joined, Folder->Path, Given) || RETURN_ERROR (StrCpyS (Folder->Path, mPathChars, Joined)))) {
      return EFI_BAD_BUFFER_SIZE;
    }

    return EFI_SUCCESS;
  }

  CONST CHAR16  *Name = (Given != NULL) ? Given : Shell->GetCurDir (NULL);
  if (Name == NULL) {
    return EFI_NOT_FOUND;
  }

  PoolPtr<EFI_DEVICE_PATH_PROTOCOL>  Path (Shell->GetDevicePathFromFilePath (Name));
  EFI_DEVICE_PATH_PROTOCOL           *Remaining = Path.Get ();
  if ((Remaining == NULL) ||
      EFI_ERROR (gBS->LocateDevicePath (&gEfiSimpleFileSystemProtocolGuid, &Remaining, &Folder->Volume)) ||
      !FilePathText (Remaining, Folder->Path))
  {
    return EFI_NOT_FOUND;
  }

  TrimSeparators (Folder->Path);
  return EFI_SUCCESS;
}

BOOLEAN
IsSystemPartition (
  EFI_HANDLE  Volume
  )
{
  EFI_PARTITION_INFO_PROTOCOL  *Info;

  if (EFI_ERROR (gBS->HandleProtocol (Volume, &gEfiPartitionInfoProtocolGuid, reinterpret_cast<VOID **>(&Info)))) {
    return FALSE;
  }

  switch (Info->Type) {
    case PARTITION_TYPE_GPT:
      return CompareGuid (&Info->Info.Gpt.PartitionTypeGUID, &gEfiPartTypeSystemPartGuid);
    case PARTITION_TYPE_MBR:
      return (BOOLEAN)(Info->Info.Mbr.OSIndicator == EFI_PARTITION);
    default:
      return (BOOLEAN)(Info->System == 1);
  }
}

// The bytes of a volume's path that name its disk: those before its partition node,
// or all of them for a volume that is a whole disk (the firmware may also hand an
// image the disk's handle rather than the partition's).
UINTN
DiskPathSize (
  CONST EFI_DEVICE_PATH_PROTOCOL  *Path
  )
{
  CONST EFI_DEVICE_PATH_PROTOCOL  *Node = Path;

  for ( ; (Node != NULL) && !IsDevicePathEnd (Node); Node = NextDevicePathNode (Node)) {
    if ((DevicePathType (Node) == MEDIA_DEVICE_PATH) && (DevicePathSubType (Node) == MEDIA_HARDDRIVE_DP)) {
      break;
    }
  }

  return (Node == NULL) ? 0 : static_cast<UINTN>(reinterpret_cast<CONST UINT8 *>(Node) - reinterpret_cast<CONST UINT8 *>(Path));
}

BOOLEAN
OnDiskOf (
  EFI_HANDLE  Volume,
  EFI_HANDLE  OwnVolume
  )
{
  EFI_DEVICE_PATH_PROTOCOL  *Path    = DevicePathFromHandle (Volume);
  EFI_DEVICE_PATH_PROTOCOL  *OwnPath = DevicePathFromHandle (OwnVolume);
  UINTN                     Size     = DiskPathSize (OwnPath);

  return (BOOLEAN)((Path != NULL) && (Size != 0) && (GetDevicePathSize (Path) > Size) && (CompareMem (Path, OwnPath, Size) == 0));
}

/**
  The volume an install writes to: the machine's EFI system partition, not one on the
  disk the tool was started from (a stick) when there is another; that one when it is
  the only one; the tool's own volume when there is none.

  @return TRUE when the volume is an EFI system partition.
**/
BOOLEAN
TargetVolume (
  EFI_HANDLE  OwnVolume,
  EFI_HANDLE  *Target
  )
{
  // A firmware that boots a stick may connect only the stick; the machine's own disk
  // shows its file systems once everything is connected.
  {
    HandleBuffer  All;
    for (UINTN Index = 0; Index < All.Count (); Index++) {
      gBS->ConnectController (All[Index], NULL, NULL, TRUE);
    }
  }

  HandleBuffer  Volumes (&gEfiSimpleFileSystemProtocolGuid);
  EFI_HANDLE  OnOwnDisk = NULL;

  for (UINTN Index = 0; Index < Volumes.Count (); Index++) {
    if (!IsSystemPartition (Volumes[Index])) {
      continue;
    }

    if (!OnDiskOf (Volumes[Index], OwnVolume)) {
      *Target = Volumes[Index];
      return TRUE;
    }

    if (OnOwnDisk == NULL) {
      OnOwnDisk = Volumes[Index];
    }
  }

  *Target = (OnOwnDisk != NULL) ? OnOwnDisk : OwnVolume;
  return (BOOLEAN)(OnOwnDisk != NULL);
}

EFI_STATUS
CopyFile (
  EFI_HANDLE       Target,
  CONST CHAR16     *Name,
  CONST FILE_DATA  &File
  )
{
  CHAR16     Path[mPathChars];
  FILE_DATA  There;

  if (!Join (Path, mInstallFolder.Text, Name)) {
    return EFI_BAD_BUFFER_SIZE;
  }

  if (!EFI_ERROR (ReadFile (Target, Path, &There)) && (There.Size == File.Size) &&
      (CompareMem (There.Data.Get (), File.Data.Get (), File.Size) == 0))
  {
    Print (CHAR16_TEXT (u"%s: there already, %lu bytes\n"), Path, static_cast<UINT64>(File.Size));
    return EFI_SUCCESS;
  }

  EFI_STATUS  Status = WriteFile (Target, Path, File);
  if (EFI_ERROR (Status)) {
    return Fail (Status, CHAR16_TEXT (u"cannot write"), Path);
  }

  Print (CHAR16_TEXT (u"%s: copied, %lu bytes\n"), Path, static_cast<UINT64>(File.Size));
  return EFI_SUCCESS;
}

EFI_STATUS
MakeInstallFolder (
  EFI_HANDLE  Target
  )
{
  OPEN_FILE                       Folder;
  static CONST CHAR16 *CONST  Paths[] = { CHAR16_TEXT (u"\\EFI"), mInstallFolder.Text };

  for (CONST CHAR16 *Path : Paths) {
    EFI_STATUS  Status = Open (Target, Path, EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE | EFI_FILE_MODE_CREATE,
                               EFI_FILE_DIRECTORY, &Folder);
    if (EFI_ERROR (Status)) {
      return Fail (Status, CHAR16_TEXT (u"cannot make the folder"), Path);
    }
  }

  return EFI_SUCCESS;
}

EFI_DEVICE_PATH_PROTOCOL *
InstalledImagePath (
  EFI_HANDLE      Target,
  CONST CHAR16  *FileName
  )
{
  CHAR16  Path[mPathChars];

  return Join (Path, mInstallFolder.Text, FileName) ? FileDevicePath (Target, Path) : NULL;
}

// Starts the installed drivers that do not run, the keyboard first so that it is
// there when the serial driver makes a line, and connects the USB devices to them.
EFI_STATUS
StartDrivers (
  EFI_HANDLE  Target
  )
{
  BOOLEAN  Started = FALSE;

  for (UINTN Index = ARRAY_SIZE (mDrivers); Index-- > 0;) {
    if (FindDriverByName (mDrivers[Index].Name) != NULL) {
      Print (CHAR16_TEXT (u"\"%s\": runs already\n"), mDrivers[Index].Name);
      continue;
    }

    PoolPtr<EFI_DEVICE_PATH_PROTOCOL>  Path (InstalledImagePath (Target, mDrivers[Index].FileName));
    EFI_HANDLE                         Image  = NULL;
    EFI_STATUS                         Status = (Path.Get () == NULL) ? EFI_OUT_OF_RESOURCES
                                                : gBS->LoadImage (FALSE, gImageHandle, Path.Get (), NULL, 0, &Image);
    if (!EFI_ERROR (Status)) {
      // The core unloads an image whose entry point fails.
      Status = gBS->StartImage (Image, NULL, NULL);
    }

    if (EFI_ERROR (Status)) {
      return Fail (Status, CHAR16_TEXT (u"cannot start"), mDrivers[Index].FileName);
    }

    Started = TRUE;
    Print (CHAR16_TEXT (u"\"%s\": started\n"), mDrivers[Index].Name);
  }

  if (Started) {
    HandleBuffer  Devices (&gEfiUsbIoProtocolGuid);
    for (UINTN Index = 0; Index < Devices.Count (); Index++) {
      gBS->ConnectController (Devices[Index], NULL, NULL, TRUE);
    }
  }

  EFI_HANDLE                Keyboard;
  EFI_DEVICE_PATH_PROTOCOL  *KeyboardPath;
  if (!EFI_ERROR (FindNfcKeyboard (&Keyboard, &KeyboardPath))) {
    Print (CHAR16_TEXT (u"NFC keyboard: running\n"));
  } else if (Started) {
    Print (CHAR16_TEXT (u"NFC keyboard: not running yet; it starts when the reader is plugged in\n"));
  } else {
    Print (CHAR16_TEXT (u"NFC keyboard: not running; it starts at the next boot with the reader plugged in\n"));
  }

  return EFI_SUCCESS;
}

// Deletes our folder and the files in it; a volume without it is left alone.
EFI_STATUS
DeleteInstallFolder (
  EFI_HANDLE  Volume
  )
{
  OPEN_FILE  Folder;
  UINT64     Info[(SIZE_OF_EFI_FILE_INFO + mPathChars * sizeof (CHAR16)) / sizeof (UINT64) + 1];
  auto       *Entry = reinterpret_cast<EFI_FILE_INFO *>(Info);

  if (EFI_ERROR (Open (Volume, mInstallFolder.Text, EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE, 0, &Folder))) {
    return EFI_SUCCESS;
  }

  for ( ; ; ) {
    UINTN       Size   = sizeof (Info);
    EFI_STATUS  Status = Folder.Get ()->Read (Folder.Get (), &Size, Entry);
    if (EFI_ERROR (Status)) {
      return Fail (Status, CHAR16_TEXT (u"cannot list"), mInstallFolder.Text);
    }

    if (Size == 0) {
      break;
    }

    if ((StrCmp (Entry->FileName, CHAR16_TEXT (u".")) == 0) || (StrCmp (Entry->FileName, CHAR16_TEXT (u"..")) == 0)) {
      continue;
    }

    OPEN_FILE  File;
    Status = Folder.Get ()->Open (Folder.Get (), File.Out (), Entry->FileName, EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE, 0);
    if (!EFI_ERROR (Status)) {
      Status = File.Delete ();
    }

    if (Status != EFI_SUCCESS) {
      return Fail (EFI_ERROR (Status) ? Status : EFI_ACCESS_DENIED, CHAR16_TEXT (u"cannot delete"), Entry->FileName);
    }
  }

  EFI_STATUS  Status = Folder.Delete ();
  if (Status != EFI_SUCCESS) {
    return Fail (EFI_ERROR (Status) ? Status : EFI_ACCESS_DENIED, CHAR16_TEXT (u"cannot delete"), mInstallFolder.Text);
  }

  PrintPath (CHAR16_TEXT (u"\\EFI\\NfcKeyboard: deleted from %s\n"), Volume);
  return EFI_SUCCESS;
}

} // namespace

EFI_STATUS
NfcKeyboardInstall (
  IN CONST CHAR16  *Folder OPTIONAL
  )
{
  LOCATION    Source;
  LOCATION    Own;
  FILE_DATA   Files[ARRAY_SIZE (mDrivers) + 1];
  CHAR16      Path[mPathChars];
  EFI_HANDLE  Target;

  EFI_STATUS  Status = OwnImage (&Own);
  if (EFI_ERROR (Status)) {
    return Fail (Status, CHAR16_TEXT (u"cannot tell where it was started from"), CHAR16_TEXT (u""));
  }

  Status = SourceFolder (Folder, &Source);
  if (EFI_ERROR (Status)) {
    return Fail (Status, CHAR16_TEXT (u"cannot find the folder"), (Folder != NULL) ? Folder : CHAR16_TEXT (u"it was started in"));
  }

  PrintPath (CHAR16_TEXT (u"Images from: %s"), Source.Volume);
  Print (CHAR16_TEXT (u"%s\\\n"), Source.Path);

  // Every image is read before anything is written, so a missing one changes nothing.
  for (UINTN Index = 0; Index < ARRAY_SIZE (mDrivers); Index++) {
    Status = Join (Path, Source.Path, mDrivers[Index].FileName) ? ReadFile (Source.Volume, Path, &Files[Index])
                                                                    : EFI_BAD_BUFFER_SIZE;
    if (EFI_ERROR (Status)) {
      return Fail (Status, CHAR16_TEXT (u"cannot read"), Path);
    }
  }

  Status = ReadFile (Own.Volume, Own.Path, &Files[ARRAY_SIZE (mDrivers)]);
  if (EFI_ERROR (Status)) {
    return Fail (Status, CHAR16_TEXT (u"cannot read its own image"), Own.Path);
  }

  if (TargetVolume (Own.Volume, &Target)) {
    PrintPath (CHAR16_TEXT (u"EFI system partition: %s\n"), Target);
  } else {
    PrintPath (CHAR16_TEXT (u"No EFI system partition found: installing on the file system NfcKeyboardSetup was started from, %s\n"), Target);
  }

  Status = MakeInstallFolder (Target);
  for (UINTN Index = 0; !EFI_ERROR (Status) && (Index < ARRAY_SIZE (Files)); Index++) {
    Status = CopyFile (Target, (Index < ARRAY_SIZE (mDrivers)) ? mDrivers[Index].FileName : mSetupFileName.Text, Files[Index]);
  }

  if (!EFI_ERROR (Status)) {
    Status = NfcKeyboardSetEnabled (1);
  }

  for (UINTN Index = 0; !EFI_ERROR (Status) && (Index < ARRAY_SIZE (mDrivers)); Index++) {
    PoolPtr<EFI_DEVICE_PATH_PROTOCOL>  ImagePath (InstalledImagePath (Target, mDrivers[Index].FileName));
    Status = (ImagePath.Get () == NULL) ? EFI_OUT_OF_RESOURCES
             : DriverOptionEnsure (mDrivers[Index].FileName, mDrivers[Index].Name, ImagePath.Get ());
  }

  // ConIn before the drivers start: the console takes the keyboard in as it starts.
  if (!EFI_ERROR (Status)) {
    Status = NfcKeyboardSetConInEntry (TRUE);
  }

  if (!EFI_ERROR (Status)) {
    Status = StartDrivers (Target);
  }

  if (EFI_ERROR (Status)) {
    Print (CHAR16_TEXT (u"NfcKeyboardSetup: the install stopped (%r); run it again, or uninstall\n"), Status);
    return Status;
  }

  Print (CHAR16_TEXT (u"Installed. The NFC keyboard types into the console from the next boot on, on any USB port.\n"));
  return EFI_SUCCESS;
}

EFI_STATUS
NfcKeyboardUninstall (
  VOID
  )
{
  LOCATION    Own;
  EFI_HANDLE  Target = NULL;

  // Every step runs even when one fails, so as much as can go goes.
  EFI_STATUS  Result = NfcKeyboardSetConInEntry (FALSE);
  EFI_STATUS  Status = NfcKeyboardSetEnabled (0);

  Result = EFI_ERROR (Result) ? Result : Status;
  for (const INSTALLED_DRIVER &Driver : mDrivers) {
    Status = DriverOptionRemove (Driver.FileName);
    Result = EFI_ERROR (Result) ? Result : Status;
  }

  // Our folder goes wherever an install can have put it.
  Status = OwnImage (&Own);
  if (!EFI_ERROR (Status)) {
    TargetVolume (Own.Volume, &Target);
    Status = DeleteInstallFolder (Target);
  }

  Result = EFI_ERROR (Result) ? Result : Status;
  HandleBuffer  Volumes (&gEfiSimpleFileSystemProtocolGuid);
  for (UINTN Index = 0; Index < Volumes.Count (); Index++) {
    if ((Volumes[Index] != Target) && IsSystemPartition (Volumes[Index])) {
      Status = DeleteInstallFolder (Volumes[Index]);
      Result = EFI_ERROR (Result) ? Result : Status;
    }
  }

  if (EFI_ERROR (Result)) {
    Print (CHAR16_TEXT (u"NfcKeyboardSetup: the uninstall is not complete (%r)\n"), Result);
    return Result;
  }

  Print (CHAR16_TEXT (u"Uninstalled. Drivers that run now stay until the next reset.\n"));
  return EFI_SUCCESS;
}

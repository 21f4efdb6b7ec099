/** @file
  install and uninstall: the EFI system partition and our folder on it, the drivers
  started in place, and the variables that make the firmware load them at every boot.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#include "NfcKeyboardSetup.h"

extern "C" {
#include <Guid/FileInfo.h>
#include <Guid/FileSystemInfo.h>
#include <Guid/GlobalVariable.h>
#include <Guid/Gpt.h>
#include <IndustryStandard/Mbr.h>
#include <Protocol/BlockIo.h>
#include <Protocol/DiskIo.h>
#include <Protocol/LoadedImage.h>
#include <Protocol/PartitionInfo.h>
#include <Protocol/Shell.h>
#include <Protocol/SimpleFileSystem.h>
#include <Protocol/UsbIo.h>
#include <Library/BaseLib.h>
#include <Library/BaseMemoryLib.h>
#include <Library/DevicePathLib.h>
#include <Library/FileHandleLib.h>
#include <Library/PrintLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiLib.h>
}

namespace {
// Driver images are tens of kilobytes; anything near this is not ours.
constexpr UINT64  LARGEST_IMAGE = SIZE_4MB;

constexpr auto  mSetupFileName = Char16 (u"NfcKeyboardSetup.efi");
// A new copy is written beside the old one under this suffix, the old one kept under
// the other until the new one has its name.
constexpr auto  mNewSuffix = Char16 (u".new");
constexpr auto  mOldSuffix = Char16 (u".old");

// A file or folder on a volume: Path from the volume's root, "" for the root itself.
struct LOCATION {
  EFI_HANDLE    Volume;
  CHAR16        Path[PATH_CHARS];
};

// An open file, closed on every way out.
// *INDENT-OFF*
class OpenFile {
public:
  OpenFile () : mFile (NULL) {}
  ~OpenFile () { Close (); }
  OpenFile (const OpenFile &) = delete;
  OpenFile &operator= (const OpenFile &) = delete;

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
// *INDENT-ON*

// Folder\Name then Suffix in Out; EFI_BAD_BUFFER_SIZE when the path is too long for it.
EFI_STATUS
Join (
  CHAR16        (&Out)[PATH_CHARS],
  CONST CHAR16  *Folder,
  CONST CHAR16  *Name,
  CONST CHAR16  *Suffix = CHAR16_TEXT (u"")
  )
{
  return (!RETURN_ERROR (StrCpyS (Out, PATH_CHARS, Folder)) &&
          !RETURN_ERROR (StrCatS (Out, PATH_CHARS, CHAR16_TEXT (u"\\"))) &&
          !RETURN_ERROR (StrCatS (Out, PATH_CHARS, Name)) &&
          !RETURN_ERROR (StrCatS (Out, PATH_CHARS, Suffix))) ? EFI_SUCCESS : EFI_BAD_BUFFER_SIZE;
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

EFI_STATUS
Open (
  EFI_HANDLE    Volume,
  CONST CHAR16  *Path,
  UINT64        Mode,
  UINT64        Attributes,
  OpenFile      *File
  )
{
  EFI_SIMPLE_FILE_SYSTEM_PROTOCOL  *FileSystem;
  OpenFile                         Root;

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
  OpenFile  Opened;
  UINT64    Size;

  EFI_STATUS  Status = Open (Volume, Path, EFI_FILE_MODE_READ, 0, &Opened);

  if (!EFI_ERROR (Status)) {
    Status = FileHandleGetSize (Opened.Get (), &Size);
  }

  if (EFI_ERROR (Status)) {
    return Status;
  }

  if (Size > LARGEST_IMAGE) {
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

// Deletes a file; one that is not there is no failure.
EFI_STATUS
DeleteFile (
  EFI_HANDLE    Volume,
  CONST CHAR16  *Path
  )
{
  OpenFile  Opened;

  EFI_STATUS  Status = Open (Volume, Path, EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE, 0, &Opened);

  if (Status == EFI_NOT_FOUND) {
    return EFI_SUCCESS;
  }

  if (!EFI_ERROR (Status)) {
    Status = Opened.Delete ();
  }

  return (Status == EFI_SUCCESS) ? Status : (EFI_ERROR (Status) ? Status : EFI_ACCESS_DENIED);
}

// Writes a file that is not there yet (a file opened for writing keeps its old length).
EFI_STATUS
WriteNewFile (
  EFI_HANDLE       Volume,
  CONST CHAR16     *Path,
  CONST FILE_DATA  &File
  )
{
  OpenFile  Opened;

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

// Renames a file within its folder, as the FAT driver does through SetInfo; zero
// times leave its times as they are.
EFI_STATUS
Rename (
  EFI_HANDLE    Volume,
  CONST CHAR16  *Path,
  CONST CHAR16  *NewName
  )
{
  OpenFile  Opened;

  EFI_STATUS  Status = Open (Volume, Path, EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE, 0, &Opened);

  if (EFI_ERROR (Status)) {
    return Status;
  }

  PoolPtr<EFI_FILE_INFO>  Old (FileHandleGetInfo (Opened.Get ()));
  UINTN                   Size = SIZE_OF_EFI_FILE_INFO + StrSize (NewName);
  PoolPtr<EFI_FILE_INFO>  New (static_cast<EFI_FILE_INFO *>(AllocateZeroPool (Size)));

  if ((Old.Get () == NULL) || (New.Get () == NULL)) {
    return EFI_OUT_OF_RESOURCES;
  }

  New.Get ()->Size      = Size;
  New.Get ()->FileSize  = Old.Get ()->FileSize;
  New.Get ()->Attribute = Old.Get ()->Attribute;
  CopyMem (New.Get ()->FileName, NewName, StrSize (NewName));
  return Opened.Get ()->SetInfo (Opened.Get (), &gEfiFileInfoGuid, Size, New.Get ());
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

/**
  Tells whether a volume has room for a new copy of Size bytes beside the old one, and
  for its folder to grow by a cluster: the FAT driver gives a renamed file a new entry at
  the folder's end and has written the old one deleted by the time it finds no cluster
  for the folder, so a rename on a full volume loses the file.
**/
EFI_STATUS
CheckRoom (
  EFI_HANDLE    Volume,
  CONST CHAR16  *Path,
  UINTN         Size
  )
{
  EFI_SIMPLE_FILE_SYSTEM_PROTOCOL  *FileSystem;
  OpenFile                         Root;
  PoolPtr<EFI_FILE_SYSTEM_INFO>    Info;
  UINTN                            InfoSize = 0;

  EFI_STATUS  Status = gBS->HandleProtocol (Volume, &gEfiSimpleFileSystemProtocolGuid, reinterpret_cast<VOID **>(&FileSystem));

  if (!EFI_ERROR (Status)) {
    Status = FileSystem->OpenVolume (FileSystem, Root.Out ());
  }

  if (!EFI_ERROR (Status)) {
    Status = Root.Get ()->GetInfo (Root.Get (), &gEfiFileSystemInfoGuid, &InfoSize, NULL);
  }

  if (Status == EFI_BUFFER_TOO_SMALL) {
    Info.Reset (static_cast<EFI_FILE_SYSTEM_INFO *>(AllocatePool (InfoSize)));
    Status = (Info.Get () == NULL) ? EFI_OUT_OF_RESOURCES
             : Root.Get ()->GetInfo (Root.Get (), &gEfiFileSystemInfoGuid, &InfoSize, Info.Get ());
  }

  if (EFI_ERROR (Status) || (Info.Get () == NULL)) {
    return Fail (EFI_ERROR (Status) ? Status : EFI_DEVICE_ERROR, CHAR16_TEXT (u"cannot tell the free space for"), Path);
  }

  UINTN   Cluster = MAX (Info.Get ()->BlockSize, 1U);
  UINT64  Needed  = static_cast<UINT64>((Size + Cluster - 1) / Cluster + 1) * Cluster;

  if (Info.Get ()->FreeSpace < Needed) {
    Print (
           CHAR16_TEXT (u"NfcKeyboardSetup: %s needs %lu bytes free on its volume, which has %lu: make room and install again\n"),
           Path,
           Needed,
           Info.Get ()->FreeSpace
           );
    return EFI_VOLUME_FULL;
  }

  return EFI_SUCCESS;
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
  return ((Loaded->FilePath != NULL) && !EFI_ERROR (FilePathText (Loaded->FilePath, Image->Path))) ? EFI_SUCCESS : EFI_NOT_FOUND;
}

// The folder the driver images are read from: Given or the shell's current folder,
// through the shell's names; without a shell, Given on the tool's own volume or the
// tool's own folder.
EFI_STATUS
SourceFolder (
  CONST CHAR16    *Given,
  CONST LOCATION  &Own,
  LOCATION        *Folder
  )
{
  EFI_SHELL_PROTOCOL  *Shell;

  if (EFI_ERROR (gBS->LocateProtocol (&gEfiShellProtocolGuid, NULL, reinterpret_cast<VOID **>(&Shell)))) {
    *Folder = Own;

    // The folder is the image's path up to its last separator.
    UINTN  Length = StrLen (Folder->Path);
    while ((Length > 0) && (Folder->Path[Length - 1] != u'\\')) {
      Length--;
    }

    Folder->Path[(Length > 0) ? Length - 1 : 0] = 0;

    if ((Given != NULL) && (Given[0] == u'\\')) {
      return RETURN_ERROR (StrCpyS (Folder->Path, PATH_CHARS, Given)) ? EFI_BAD_BUFFER_SIZE : EFI_SUCCESS;
    }

    CHAR16  Joined[PATH_CHARS];
    if ((Given != NULL) && (EFI_ERROR (Join (Joined, Folder->Path, Given)) || RETURN_ERROR (StrCpyS (Folder->Path, PATH_CHARS, Joined)))) {
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
      EFI_ERROR (FilePathText (Remaining, Folder->Path)))
  {
    return EFI_NOT_FOUND;
  }

  TrimSeparators (Folder->Path);
  return EFI_SUCCESS;
}

BOOLEAN
IsNode (
  CONST EFI_DEVICE_PATH_PROTOCOL  *Node,
  UINT8                           Type,
  UINT8                           SubType
  )
{
  return (BOOLEAN)((DevicePathType (Node) == Type) && (DevicePathSubType (Node) == SubType));
}

// The bytes of a path that name its disk: those before its partition node or its first
// file, or all of them for a path that is a whole disk (the firmware may also hand an
// image the disk's handle rather than the partition's, and the boot manager makes
// options for whole disks). 0 for a path that starts with a partition (a short form).
UINTN
DiskPathSize (
  CONST EFI_DEVICE_PATH_PROTOCOL  *Path
  )
{
  CONST EFI_DEVICE_PATH_PROTOCOL  *Node = Path;

  for ( ; (Node != NULL) && !IsDevicePathEnd (Node); Node = NextDevicePathNode (Node)) {
    if (IsNode (Node, MEDIA_DEVICE_PATH, MEDIA_HARDDRIVE_DP) || IsNode (Node, MEDIA_DEVICE_PATH, MEDIA_FILEPATH_DP)) {
      break;
    }
  }

  return (Node == NULL) ? 0 : static_cast<UINTN>(reinterpret_cast<CONST UINT8 *>(Node) - reinterpret_cast<CONST UINT8 *>(Path));
}

// The disk's own handle (Block I/O, Disk I/O) for a volume on it; NULL when none has it.
EFI_HANDLE
DiskOf (
  CONST EFI_DEVICE_PATH_PROTOCOL  *VolumePath
  )
{
  UINTN                              Size = DiskPathSize (VolumePath);
  PoolPtr<EFI_DEVICE_PATH_PROTOCOL>  Disk (static_cast<EFI_DEVICE_PATH_PROTOCOL *>(AllocatePool (Size + END_DEVICE_PATH_LENGTH)));
  EFI_HANDLE                         Handle;

  if ((Size == 0) || (Disk.Get () == NULL)) {
    return NULL;
  }

  CopyMem (Disk.Get (), VolumePath, Size);
  SetDevicePathEndNode (reinterpret_cast<UINT8 *>(Disk.Get ()) + Size);
  EFI_DEVICE_PATH_PROTOCOL  *Remaining = Disk.Get ();

  if (EFI_ERROR (gBS->LocateDevicePath (&gEfiBlockIoProtocolGuid, &Remaining, &Handle)) || !IsDevicePathEnd (Remaining)) {
    return NULL;
  }

  return Handle;
}

// Media that leave with the user: a USB disk, or one whose drive says its media come out.
BOOLEAN
IsRemovable (
  EFI_HANDLE  Volume
  )
{
  CONST EFI_DEVICE_PATH_PROTOCOL  *Path = DevicePathFromHandle (Volume);
  EFI_BLOCK_IO_PROTOCOL           *BlockIo;

  for (CONST EFI_DEVICE_PATH_PROTOCOL *Node = Path; (Node != NULL) && !IsDevicePathEnd (Node); Node = NextDevicePathNode (Node)) {
    if (IsNode (Node, MESSAGING_DEVICE_PATH, MSG_USB_DP) || IsNode (Node, MESSAGING_DEVICE_PATH, MSG_USB_CLASS_DP) ||
        IsNode (Node, MESSAGING_DEVICE_PATH, MSG_USB_WWID_DP))
    {
      return TRUE;
    }
  }

  EFI_HANDLE  Disk = (Path == NULL) ? NULL : DiskOf (Path);

  return (BOOLEAN)((Disk != NULL) &&
                   !EFI_ERROR (gBS->HandleProtocol (Disk, &gEfiBlockIoProtocolGuid, reinterpret_cast<VOID **>(&BlockIo))) &&
                   BlockIo->Media->RemovableMedia);
}

// Firmware without the partition information protocol: the partition's type from its
// disk's table, which the path's partition node locates (MBR entry, or GPT entry).
BOOLEAN
IsSystemPartitionOnDisk (
  EFI_HANDLE  Volume
  )
{
  CONST EFI_DEVICE_PATH_PROTOCOL  *Path = DevicePathFromHandle (Volume);
  HARDDRIVE_DEVICE_PATH           Partition;
  EFI_BLOCK_IO_PROTOCOL           *BlockIo;
  EFI_DISK_IO_PROTOCOL            *DiskIo;

  if (Path == NULL) {
    return FALSE;
  }

  auto        *Node = reinterpret_cast<CONST EFI_DEVICE_PATH_PROTOCOL *>(reinterpret_cast<CONST UINT8 *>(Path) + DiskPathSize (Path));
  EFI_HANDLE  Disk  = DiskOf (Path);

  if ((Disk == NULL) || !IsNode (Node, MEDIA_DEVICE_PATH, MEDIA_HARDDRIVE_DP) || (DevicePathNodeLength (Node) != sizeof (Partition)) ||
      EFI_ERROR (gBS->HandleProtocol (Disk, &gEfiBlockIoProtocolGuid, reinterpret_cast<VOID **>(&BlockIo))) ||
      EFI_ERROR (gBS->HandleProtocol (Disk, &gEfiDiskIoProtocolGuid, reinterpret_cast<VOID **>(&DiskIo))) ||
      (BlockIo->Media->BlockSize == 0))
  {
    return FALSE;
  }

  CopyMem (&Partition, Node, sizeof (Partition));
  UINT32  MediaId = BlockIo->Media->MediaId;
  UINT32  Number  = Partition.PartitionNumber;

  if (Partition.MBRType == MBR_TYPE_PCAT) {
    MASTER_BOOT_RECORD  Mbr;
    return (BOOLEAN)((Number >= 1) && (Number <= MAX_MBR_PARTITIONS) &&
                     !EFI_ERROR (DiskIo->ReadDisk (DiskIo, MediaId, 0, sizeof (Mbr), &Mbr)) &&
                     (ReadUnaligned16 (&Mbr.Signature) == MBR_SIGNATURE) && (Mbr.Partition[Number - 1].OSIndicator == EFI_PARTITION));
  }

  EFI_PARTITION_TABLE_HEADER  Header;
  EFI_GUID                    Type;

  if ((Partition.MBRType != MBR_TYPE_EFI_PARTITION_TABLE_HEADER) || (Number == 0) ||
      EFI_ERROR (DiskIo->ReadDisk (DiskIo, MediaId, BlockIo->Media->BlockSize, sizeof (Header), &Header)) ||
      (Header.Header.Signature != EFI_PTAB_HEADER_ID) || (Number > Header.NumberOfPartitionEntries) ||
      (Header.SizeOfPartitionEntry < sizeof (EFI_PARTITION_ENTRY)) || (Header.PartitionEntryLBA > BlockIo->Media->LastBlock))
  {
    return FALSE;
  }

  UINT64  Offset = MultU64x32 (Header.PartitionEntryLBA, BlockIo->Media->BlockSize) +
                   MultU64x32 (Number - 1, Header.SizeOfPartitionEntry);

  return (BOOLEAN)(!EFI_ERROR (DiskIo->ReadDisk (DiskIo, MediaId, Offset, sizeof (Type), &Type)) &&
                   CompareGuid (&Type, &gEfiPartTypeSystemPartGuid));
}

BOOLEAN
IsSystemPartition (
  EFI_HANDLE  Volume
  )
{
  EFI_PARTITION_INFO_PROTOCOL  *Info;

  if (EFI_ERROR (gBS->HandleProtocol (Volume, &gEfiPartitionInfoProtocolGuid, reinterpret_cast<VOID **>(&Info)))) {
    return IsSystemPartitionOnDisk (Volume);
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

// TRUE when Volume is on the disk Path names, or is the partition a short-form Path
// (one that starts with its partition node) names.
BOOLEAN
OnDiskOf (
  EFI_HANDLE                      Volume,
  CONST EFI_DEVICE_PATH_PROTOCOL  *Path
  )
{
  CONST EFI_DEVICE_PATH_PROTOCOL  *VolumePath = DevicePathFromHandle (Volume);

  if ((VolumePath == NULL) || (Path == NULL) || IsDevicePathEnd (Path)) {
    return FALSE;
  }

  UINTN  Size       = DiskPathSize (Path);
  UINTN  VolumeSize = DiskPathSize (VolumePath);

  if (Size == 0) {
    auto  *Partition = reinterpret_cast<CONST UINT8 *>(VolumePath) + VolumeSize;
    return (BOOLEAN)(IsNode (Path, MEDIA_DEVICE_PATH, MEDIA_HARDDRIVE_DP) &&
                     (CompareMem (Partition, Path, DevicePathNodeLength (Path)) == 0));
  }

  return (BOOLEAN)((VolumeSize == Size) && (CompareMem (VolumePath, Path, Size) == 0));
}

// The first fixed EFI system partition on the disk Path names; NULL when there is none.
EFI_HANDLE
FixedSystemPartitionOn (
  const HandleBuffer              &Volumes,
  CONST EFI_DEVICE_PATH_PROTOCOL  *Path
  )
{
  for (UINTN Index = 0; Index < Volumes.Count (); Index++) {
    if (((Path == NULL) || OnDiskOf (Volumes[Index], Path)) && IsSystemPartition (Volumes[Index]) && !IsRemovable (Volumes[Index])) {
      return Volumes[Index];
    }
  }

  return NULL;
}

// The first file path of Boot####; NULL when the option is absent or malformed.
CONST EFI_DEVICE_PATH_PROTOCOL *
BootOptionPath (
  UINT16         Number,
  PoolPtr<VOID>  *Option
  )
{
  CHAR16  Name[sizeof ("Boot0000")];
  UINTN   Size = 0;

  UnicodeSPrint (Name, sizeof (Name), CHAR16_TEXT (u"Boot%04X"), Number);
  return EFI_ERROR (GetEfiGlobalVariable2 (Name, Option->Out (), &Size)) ? NULL : LoadOptionFilePath (Option->Get (), Size);
}

enum TARGET_KIND {
  TargetFixedSystemPartition,
  TargetRemovableSystemPartition,
  TargetOwnVolume                  ///< No EFI system partition anywhere.
};

/**
  The volume an install writes to: an EFI system partition on the disk the machine
  boots from (BootCurrent's, then the tool's own disk when that is a fixed one, then
  BootOrder's, in its order), else any fixed one, else one on removable media, else
  the tool's own volume.
**/
TARGET_KIND
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

  HandleBuffer     Volumes (&gEfiSimpleFileSystemProtocolGuid);
  PoolPtr<VOID>    Option;
  PoolPtr<UINT16>  Numbers;
  UINTN            Size = 0;

  *Target = NULL;
  if (!EFI_ERROR (GetEfiGlobalVariable2 (CHAR16_TEXT (u"BootCurrent"), reinterpret_cast<VOID **>(Numbers.Out ()), &Size)) &&
      (Size == sizeof (UINT16)))
  {
    *Target = FixedSystemPartitionOn (Volumes, BootOptionPath (ReadUnaligned16 (Numbers.Get ()), &Option));
  }

  if ((*Target == NULL) && (DevicePathFromHandle (OwnVolume) != NULL) && !IsRemovable (OwnVolume)) {
    *Target = FixedSystemPartitionOn (Volumes, DevicePathFromHandle (OwnVolume));
  }

  if ((*Target == NULL) &&
      !EFI_ERROR (GetEfiGlobalVariable2 (CHAR16_TEXT (u"BootOrder"), reinterpret_cast<VOID **>(Numbers.Out ()), &Size)))
  {
    for (UINTN Index = 0; (*Target == NULL) && (Index < Size / sizeof (UINT16)); Index++) {
      *Target = FixedSystemPartitionOn (Volumes, BootOptionPath (ReadUnaligned16 (&Numbers.Get ()[Index]), &Option));
    }
  }

  if (*Target == NULL) {
    *Target = FixedSystemPartitionOn (Volumes, NULL);
  }

  if (*Target != NULL) {
    return TargetFixedSystemPartition;
  }

  for (UINTN Index = 0; Index < Volumes.Count (); Index++) {
    if (IsSystemPartition (Volumes[Index])) {
      *Target = Volumes[Index];
      return TargetRemovableSystemPartition;
    }
  }

  *Target = OwnVolume;
  return TargetOwnVolume;
}

// Puts one file in place. The new copy is written beside the old one and takes its
// name only once it is whole, so a full or failing volume leaves the old copy, which
// the load options name, working.
EFI_STATUS
CopyFile (
  EFI_HANDLE       Target,
  CONST CHAR16     *Name,
  CONST FILE_DATA  &File
  )
{
  CHAR16     Path[PATH_CHARS];
  CHAR16     NewPath[PATH_CHARS];
  CHAR16     OldPath[PATH_CHARS];
  CHAR16     OldName[PATH_CHARS];
  FILE_DATA  There;

  if (EFI_ERROR (Join (Path, gInstallFolder.Text, Name)) || EFI_ERROR (Join (NewPath, gInstallFolder.Text, Name, mNewSuffix.Text)) ||
      EFI_ERROR (Join (OldPath, gInstallFolder.Text, Name, mOldSuffix.Text)) ||
      RETURN_ERROR (StrCpyS (OldName, PATH_CHARS, Name)) || RETURN_ERROR (StrCatS (OldName, PATH_CHARS, mOldSuffix.Text)))
  {
    return EFI_BAD_BUFFER_SIZE;
  }

  EFI_STATUS  Found = ReadFile (Target, Path, &There);

  if (!EFI_ERROR (Found) && (There.Size == File.Size) && (CompareMem (There.Data.Get (), File.Data.Get (), File.Size) == 0)) {
    Print (CHAR16_TEXT (u"%s: there already, %lu bytes\n"), Path, static_cast<UINT64>(File.Size));
    return EFI_SUCCESS;
  }

  // Leftovers of a copy that stopped half-way go first.
  EFI_STATUS  Status = DeleteFile (Target, NewPath);

  if (!EFI_ERROR (Status)) {
    Status = DeleteFile (Target, OldPath);
  }

  if (!EFI_ERROR (Status)) {
    Status = CheckRoom (Target, Path, File.Size);
  }

  if (!EFI_ERROR (Status)) {
    Status = WriteNewFile (Target, NewPath, File);
  }

  if (!EFI_ERROR (Status) && (Found != EFI_NOT_FOUND)) {
    Status = Rename (Target, Path, OldName);
  }

  if (!EFI_ERROR (Status)) {
    Status = Rename (Target, NewPath, Name);
    if (EFI_ERROR (Status) && (Found != EFI_NOT_FOUND)) {
      Rename (Target, OldPath, Name);
    }
  }

  if (EFI_ERROR (Status)) {
    DeleteFile (Target, NewPath);
    Print (
           CHAR16_TEXT (u"NfcKeyboardSetup: cannot write %s (%r); %s\n"),
           Path,
           Status,
           (Found == EFI_NOT_FOUND) ? CHAR16_TEXT (u"nothing is there") : CHAR16_TEXT (u"the copy there stays")
           );
    return Status;
  }

  DeleteFile (Target, OldPath);
  Print (CHAR16_TEXT (u"%s: copied, %lu bytes\n"), Path, static_cast<UINT64>(File.Size));
  return EFI_SUCCESS;
}

EFI_STATUS
MakeInstallFolder (
  EFI_HANDLE  Target
  )
{
  OpenFile                    Folder;
  static CONST CHAR16 *CONST  Paths[] = { CHAR16_TEXT (u"\\EFI"), gInstallFolder.Text };

  for (CONST CHAR16 *Path : Paths) {
    EFI_STATUS  Status = Open (
                               Target,
                               Path,
                               EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE | EFI_FILE_MODE_CREATE,
                               EFI_FILE_DIRECTORY,
                               &Folder
                               );
    if (EFI_ERROR (Status)) {
      return Fail (Status, CHAR16_TEXT (u"cannot make the folder"), Path);
    }
  }

  return EFI_SUCCESS;
}

EFI_DEVICE_PATH_PROTOCOL *
InstalledImagePath (
  EFI_HANDLE    Target,
  CONST CHAR16  *FileName
  )
{
  CHAR16  Path[PATH_CHARS];

  return !EFI_ERROR (Join (Path, gInstallFolder.Text, FileName)) ? FileDevicePath (Target, Path) : NULL;
}

/**
  Has the firmware load an image from its file, and unloads it again: what it would
  refuse at the next boot (Secure Boot, another processor, a damaged file) is found
  before anything is written. Says why and what to do when it refuses.
**/
EFI_STATUS
CheckImage (
  EFI_HANDLE    Volume,
  CONST CHAR16  *Path
  )
{
  PoolPtr<EFI_DEVICE_PATH_PROTOCOL>  FilePath (FileDevicePath (Volume, Path));
  EFI_HANDLE                         Image  = NULL;
  EFI_STATUS                         Status = (FilePath.Get () == NULL) ? EFI_OUT_OF_RESOURCES
                                              : gBS->LoadImage (FALSE, gImageHandle, FilePath.Get (), NULL, 0, &Image);

  // An image refused for its signature is loaded all the same, and must go again.
  if (Image != NULL) {
    gBS->UnloadImage (Image);
  }

  if (!EFI_ERROR (Status)) {
    return EFI_SUCCESS;
  }

  Print (CHAR16_TEXT (u"NfcKeyboardSetup: the firmware refuses %s (%r); nothing was changed\n"), Path, Status);
  PoolPtr<UINT8>  SecureBoot;
  UINTN           Size = 0;

  if ((Status == EFI_SECURITY_VIOLATION) || (Status == EFI_ACCESS_DENIED)) {
    BOOLEAN  On = (BOOLEAN)(!EFI_ERROR (GetEfiGlobalVariable2 (CHAR16_TEXT (u"SecureBoot"), reinterpret_cast<VOID **>(SecureBoot.Out ()), &Size)) &&
                            (Size == 1) && (*SecureBoot.Get () == 1));
    Print (
           On ? CHAR16_TEXT (u"  Secure Boot is on: make sign with a key in db (README, \"Secure Boot\"), or use a stick signed with a key in this machine's db\n")
              : CHAR16_TEXT (u"  The firmware's security policy refuses it: sign it (make sign; README, \"Secure Boot\")\n")
           );
  } else if (Status == EFI_UNSUPPORTED) {
    Print (CHAR16_TEXT (u"  It is built for another processor: install the images built for this machine's\n"));
  } else if (Status == EFI_LOAD_ERROR) {
    Print (CHAR16_TEXT (u"  It is damaged or no UEFI image: copy it again\n"));
  }

  return Status;
}

// Starts the installed drivers that do not run, the keyboard first so that it is
// there when a serial driver makes a line, and connects the USB devices to them.
EFI_STATUS
StartDrivers (
  EFI_HANDLE  Target,
  CONST BOOLEAN  (&Lacking)[ARRAY_SIZE (gDrivers)]
  )
{
  BOOLEAN  Started = FALSE;

  for (UINTN Index = ARRAY_SIZE (gDrivers); Index-- > 0;) {
    if (FindDriverByName (gDrivers[Index].Name) != NULL) {
      Print (CHAR16_TEXT (u"\"%s\": runs already\n"), gDrivers[Index].Name);
      continue;
    }

    if (Lacking[Index]) {
      continue;
    }

    PoolPtr<EFI_DEVICE_PATH_PROTOCOL>  Path (InstalledImagePath (Target, gDrivers[Index].FileName));
    EFI_HANDLE                         Image  = NULL;
    EFI_STATUS                         Status = (Path.Get () == NULL) ? EFI_OUT_OF_RESOURCES
                                                : gBS->LoadImage (FALSE, gImageHandle, Path.Get (), NULL, 0, &Image);
    if (!EFI_ERROR (Status)) {
      // The core unloads an image whose entry point fails.
      Status = gBS->StartImage (Image, NULL, NULL);
    } else if (Image != NULL) {
      gBS->UnloadImage (Image);
    }

    if (EFI_ERROR (Status)) {
      return Fail (Status, CHAR16_TEXT (u"cannot start"), gDrivers[Index].FileName);
    }

    Started = TRUE;
    Print (CHAR16_TEXT (u"\"%s\": started\n"), gDrivers[Index].Name);
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
  OpenFile  Folder;
  UINT64    Info[(SIZE_OF_EFI_FILE_INFO + PATH_CHARS * sizeof (CHAR16)) / sizeof (UINT64) + 1];
  auto      *Entry = reinterpret_cast<EFI_FILE_INFO *>(Info);

  if (EFI_ERROR (Open (Volume, gInstallFolder.Text, EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE, 0, &Folder))) {
    return EFI_SUCCESS;
  }

  for ( ; ; ) {
    UINTN       Size   = sizeof (Info);
    EFI_STATUS  Status = Folder.Get ()->Read (Folder.Get (), &Size, Entry);
    if (EFI_ERROR (Status)) {
      return Fail (Status, CHAR16_TEXT (u"cannot list"), gInstallFolder.Text);
    }

    if (Size == 0) {
      break;
    }

    if ((StrCmp (Entry->FileName, CHAR16_TEXT (u".")) == 0) || (StrCmp (Entry->FileName, CHAR16_TEXT (u"..")) == 0)) {
      continue;
    }

    OpenFile  File;
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
    return Fail (EFI_ERROR (Status) ? Status : EFI_ACCESS_DENIED, CHAR16_TEXT (u"cannot delete"), gInstallFolder.Text);
  }

  PrintPath (CHAR16_TEXT (u"\\EFI\\NfcKeyboard: deleted from %s\n"), Volume);
  return EFI_SUCCESS;
}

// The drivers that run from the firmware's own volumes need no file and no option.
BOOLEAN
IsBuiltIn (
  CONST INSTALLED_DRIVER  &Driver
  )
{
  EFI_HANDLE  Binding = FindDriverByName (Driver.Name);

  return (BOOLEAN)((Binding != NULL) && DriverIsBuiltIn (Binding));
}
} // namespace

EFI_STATUS
FilePathText (
  IN  CONST EFI_DEVICE_PATH_PROTOCOL  *DevicePath,
  OUT CHAR16                          (&Out)[PATH_CHARS]
  )
{
  UINTN  Length = 0;

  Out[0] = 0;
  for (CONST EFI_DEVICE_PATH_PROTOCOL *Node = DevicePath; !IsDevicePathEnd (Node); Node = NextDevicePathNode (Node)) {
    if ((DevicePathType (Node) != MEDIA_DEVICE_PATH) || (DevicePathSubType (Node) != MEDIA_FILEPATH_DP)) {
      return EFI_UNSUPPORTED;
    }

    auto   *Chars = reinterpret_cast<CONST UINT8 *>(Node) + sizeof (EFI_DEVICE_PATH_PROTOCOL);
    UINTN  Count  = (DevicePathNodeLength (Node) - sizeof (EFI_DEVICE_PATH_PROTOCOL)) / sizeof (CHAR16);
    // Nodes split a path at its separators, which one of the two sides may carry.
    if ((Length > 0) && (Out[Length - 1] != u'\\') && (Count > 0) &&
        (ReadUnaligned16 (reinterpret_cast<CONST UINT16 *>(Chars)) != u'\\'))
    {
      if (Length + 1 >= PATH_CHARS) {
        return EFI_BUFFER_TOO_SMALL;
      }

      Out[Length++] = u'\\';
    }

    for (UINTN Index = 0; Index < Count; Index++) {
      CHAR16  Char = ReadUnaligned16 (reinterpret_cast<CONST UINT16 *>(Chars + Index * sizeof (CHAR16)));
      if (Char == 0) {
        break;
      }

      if (Length + 1 >= PATH_CHARS) {
        return EFI_BUFFER_TOO_SMALL;
      }

      Out[Length++] = Char;
    }

    Out[Length] = 0;
  }

  return EFI_SUCCESS;
}

EFI_STATUS
NfcKeyboardInstall (
  IN CONST CHAR16  *Folder OPTIONAL
  )
{
  LOCATION     Source;
  LOCATION     Own;
  FILE_DATA    Files[ARRAY_SIZE (gDrivers) + 1];
  BOOLEAN      BuiltIn[ARRAY_SIZE (gDrivers)];
  BOOLEAN      Lacking[ARRAY_SIZE (gDrivers)] = { };
  BOOLEAN      FromFiles                      = FALSE;
  CHAR16       Path[PATH_CHARS];
  EFI_HANDLE   Target = NULL;
  TARGET_KIND  Kind   = TargetFixedSystemPartition;

  for (UINTN Index = 0; Index < ARRAY_SIZE (gDrivers); Index++) {
    BuiltIn[Index] = IsBuiltIn (gDrivers[Index]);
    FromFiles      = (BOOLEAN)(FromFiles || !BuiltIn[Index]);
    if (BuiltIn[Index]) {
      Print (CHAR16_TEXT (u"\"%s\": built into the firmware, no load option needed\n"), gDrivers[Index].Name);
    }
  }

  // Every image is read, and loaded by the firmware, before anything is written, so a
  // missing or refused one changes nothing.
  if (FromFiles) {
    EFI_STATUS  Status = OwnImage (&Own);
    if (EFI_ERROR (Status)) {
      return Fail (Status, CHAR16_TEXT (u"cannot tell where it was started from"), CHAR16_TEXT (u""));
    }

    Status = SourceFolder (Folder, Own, &Source);
    if (EFI_ERROR (Status)) {
      return Fail (Status, CHAR16_TEXT (u"cannot find the folder"), (Folder != NULL) ? Folder : CHAR16_TEXT (u"it was started in"));
    }

    PrintPath (CHAR16_TEXT (u"Images from: %s"), Source.Volume);
    Print (CHAR16_TEXT (u"%s\\\n"), Source.Path);
    for (UINTN Index = 0; Index < ARRAY_SIZE (Files); Index++) {
      BOOLEAN  Driver = (BOOLEAN)(Index < ARRAY_SIZE (gDrivers));
      if (Driver && BuiltIn[Index]) {
        continue;
      }

      // The tool copies itself from where it was started.
      EFI_HANDLE  Volume = Driver ? Source.Volume : Own.Volume;
      EFI_STATUS  Named  = Driver ? Join (Path, Source.Path, gDrivers[Index].FileName)
                                  : StrCpyS (Path, PATH_CHARS, Own.Path);
      Status = !EFI_ERROR (Named) ? ReadFile (Volume, Path, &Files[Index]) : EFI_BAD_BUFFER_SIZE;

      // A folder made before a driver existed lacks its image. The install goes on with what
      // the folder holds and gives that driver no option: an earlier install's option for it
      // goes, as this one copies no image for it to load (an old copy stays, unused, until the
      // uninstall). Its ConIn entries stay; no driver binds what they match.
      if (Driver && (Status == EFI_NOT_FOUND) && (gDrivers[Index].Lacking != NULL)) {
        Lacking[Index] = TRUE;
        Print (CHAR16_TEXT (u"%s: not there; installing without it\n"), gDrivers[Index].FileName);
        continue;
      }

      if (EFI_ERROR (Status)) {
        return Fail (Status, Driver ? CHAR16_TEXT (u"cannot read") : CHAR16_TEXT (u"cannot read its own image"), Path);
      }

      Status = CheckImage (Volume, Path);
      if (EFI_ERROR (Status)) {
        return Status;
      }
    }

    Kind = TargetVolume (Own.Volume, &Target);
    if (Kind == TargetOwnVolume) {
      PrintPath (CHAR16_TEXT (u"No EFI system partition found: installing on the file system NfcKeyboardSetup was started from, %s\n"), Target);
    } else {
      PrintPath (CHAR16_TEXT (u"EFI system partition: %s\n"), Target);
    }

    if ((Kind == TargetRemovableSystemPartition) || ((Kind == TargetOwnVolume) && IsRemovable (Target))) {
      Kind = TargetRemovableSystemPartition;
      Print (CHAR16_TEXT (u"Warning: it is on removable media; the drivers leave with it\n"));
    }
  }

  // The files go first: a volume that refuses them leaves NVRAM as it was.
  EFI_STATUS  Status = FromFiles ? MakeInstallFolder (Target) : EFI_SUCCESS;

  for (UINTN Index = 0; FromFiles && !EFI_ERROR (Status) && (Index < ARRAY_SIZE (Files)); Index++) {
    if ((Index < ARRAY_SIZE (gDrivers)) && (BuiltIn[Index] || Lacking[Index])) {
      continue;
    }

    Status = CopyFile (Target, (Index < ARRAY_SIZE (gDrivers)) ? gDrivers[Index].FileName : mSetupFileName.Text, Files[Index]);
  }

  if (!EFI_ERROR (Status)) {
    Status = InstallRecordBefore ();
  }

  BOOLEAN  Recorded = (BOOLEAN) !EFI_ERROR (Status);

  if (!EFI_ERROR (Status)) {
    Status = NfcKeyboardSetEnabled (1);
  }

  // The firmware loads a built-in driver itself: an earlier install's option for it, left
  // after a firmware update that brought it, would load it a second time.
  for (UINTN Index = 0; !EFI_ERROR (Status) && (Index < ARRAY_SIZE (gDrivers)); Index++) {
    if (BuiltIn[Index] || Lacking[Index]) {
      Status = DriverOptionRemove (gDrivers[Index].FileName, gDrivers[Index].Name);
      continue;
    }

    PoolPtr<EFI_DEVICE_PATH_PROTOCOL>  ImagePath (InstalledImagePath (Target, gDrivers[Index].FileName));
    Status = (ImagePath.Get () == NULL) ? EFI_OUT_OF_RESOURCES
             : DriverOptionEnsure (gDrivers[Index].FileName, gDrivers[Index].Name, ImagePath.Get ());
  }

  // An earlier install's DriverOrder gained the new driver's option at its end.
  if (!EFI_ERROR (Status)) {
    Status = DriverOrderSort ();
  }

  // ConIn before the drivers start: the console takes the keyboard in as it starts.
  // A firmware may put its own keyboards into ConIn only while it is absent, so an
  // absent ConIn is not made to hold the reader alone.
  STORED_VARIABLE  ConIn;

  ReadVariable (CHAR16_TEXT (u"ConIn"), &gEfiGlobalVariableGuid, &ConIn);
  BOOLEAN  NoConIn = (BOOLEAN)(ConIn.Status == EFI_NOT_FOUND);

  if (!EFI_ERROR (Status) && NoConIn) {
    Print (CHAR16_TEXT (u"ConIn: not set, and left so: the firmware fills in its own consoles while it is absent\n"));
  } else if (!EFI_ERROR (Status)) {
    Status = NfcKeyboardSetConInEntry (TRUE);
  }

  // What the steps changed is recorded whether they all worked or not.
  EFI_STATUS  RecordStatus = Recorded ? InstallRecordAfter () : EFI_SUCCESS;

  Status = EFI_ERROR (Status) ? Status : RecordStatus;
  if (!EFI_ERROR (Status)) {
    Status = StartDrivers (Target, Lacking);
  }

  if (EFI_ERROR (Status)) {
    Print (CHAR16_TEXT (u"NfcKeyboardSetup: the install stopped (%r); run it again, or uninstall\n"), Status);
    return Status;
  }

  if ((Kind != TargetRemovableSystemPartition) && !NoConIn) {
    Print (CHAR16_TEXT (u"Installed. The NFC keyboard types into the console from the next boot on, on any USB port.\n"));
  } else {
    Print (CHAR16_TEXT (u"Installed.\n"));
  }

  if (Kind == TargetRemovableSystemPartition) {
    Print (CHAR16_TEXT (u"  On removable media: the NFC keyboard works only while it is plugged in.\n"));
  }

  if (NoConIn) {
    Print (CHAR16_TEXT (u"  Not in the console yet: run install again after the next boot.\n"));
  }

  for (UINTN Index = 0; Index < ARRAY_SIZE (gDrivers); Index++) {
    if (Lacking[Index]) {
      Print (CHAR16_TEXT (u"  Without %s, %s.\n"), gDrivers[Index].FileName, gDrivers[Index].Lacking);
    }
  }

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
  EFI_STATUS  Result = UninstallVariables (IsBuiltIn (gDrivers[ARRAY_SIZE (gDrivers) - 1]));

  // Our folder goes wherever an install can have put it.
  EFI_STATUS  Status = OwnImage (&Own);

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

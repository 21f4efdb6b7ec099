/** @file
  The peers of SetupPeers.h: device path bytes, named drivers, a serial child,
  FAT volumes.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#include "SetupPeers.h"

#include <algorithm>
#include <cstring>
#include <deque>

#include <gtest/gtest.h>

extern "C" {
#include <Guid/FileInfo.h>
#include <Guid/FileSystemInfo.h>
#include <Guid/GlobalVariable.h>
#include <Guid/Gpt.h>
#include <Library/BaseMemoryLib.h>
#include <Library/DevicePathLib.h>
#include <IndustryStandard/Mbr.h>
#include <Protocol/BlockIo.h>
#include <Protocol/ComponentName2.h>
#include <Protocol/DiskIo.h>
#include <Protocol/DevicePath.h>
#include <Protocol/DriverBinding.h>
#include <Protocol/LoadedImage.h>
#include <Protocol/PartitionInfo.h>
#include <Protocol/SerialIo.h>
#include <Protocol/SimpleFileSystem.h>
#include <Protocol/SimpleTextInEx.h>
#include <Protocol/UsbIo.h>
}

namespace peer {
namespace {

// What the database points at must outlive any one test's handles.
std::deque<BYTES>  mPaths;

struct NAMED_DRIVER {
  EFI_COMPONENT_NAME2_PROTOCOL  Names;       // first, so This is the record
  EFI_DRIVER_BINDING_PROTOCOL   Binding;
  const char16_t                *Name;
};
std::deque<NAMED_DRIVER>            gDrivers;
std::deque<EFI_SERIAL_IO_PROTOCOL>  mSerialIos;
struct BRIDGE_IO {
  EFI_USB_IO_PROTOCOL  UsbIo;                    // first, so This is the record
  USB_BRIDGE           Bridge;
};
std::deque<BRIDGE_IO>               mUsbIos;
std::deque<EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL>  mTextInputs;

// Names only in "en", as a component name 2 protocol answers.
EFI_STATUS EFIAPI
GetDriverName (EFI_COMPONENT_NAME2_PROTOCOL *This, CHAR8 *Language, CHAR16 **DriverName)
{
  if ((Language == NULL) || (DriverName == NULL)) {
    return EFI_INVALID_PARAMETER;
  }

  if ((Language[0] != 'e') || (Language[1] != 'n') || (Language[2] != 0)) {
    return EFI_UNSUPPORTED;
  }

  *DriverName = (CHAR16 *)reinterpret_cast<NAMED_DRIVER *>(This)->Name;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI
GetControllerName (EFI_COMPONENT_NAME2_PROTOCOL *, EFI_HANDLE, EFI_HANDLE, CHAR8 *, CHAR16 **)
{
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI
NoController (EFI_DRIVER_BINDING_PROTOCOL *, EFI_HANDLE, EFI_DEVICE_PATH_PROTOCOL *)
{
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI
NoStop (EFI_DRIVER_BINDING_PROTOCOL *, EFI_HANDLE, UINTN, EFI_HANDLE *)
{
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI
GetDeviceDescriptor (EFI_USB_IO_PROTOCOL *This, EFI_USB_DEVICE_DESCRIPTOR *Descriptor)
{
  const USB_BRIDGE  &Bridge = reinterpret_cast<BRIDGE_IO *>(This)->Bridge;

  *Descriptor             = {};
  Descriptor->IdVendor    = Bridge.VendorId;
  Descriptor->IdProduct   = Bridge.ProductId;
  Descriptor->DeviceClass = Bridge.DeviceClass;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI
GetInterfaceDescriptor (EFI_USB_IO_PROTOCOL *This, EFI_USB_INTERFACE_DESCRIPTOR *Descriptor)
{
  *Descriptor                = {};
  Descriptor->InterfaceClass = reinterpret_cast<BRIDGE_IO *>(This)->Bridge.InterfaceClass;
  return EFI_SUCCESS;
}

EFI_DEVICE_PATH_PROTOCOL *
Keep (const BYTES &Path)
{
  mPaths.push_back (Path);
  return reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(mPaths.back ().data ());
}

BYTES
Le (uint64_t Value, size_t Bytes)
{
  BYTES  Out;

  for (size_t Index = 0; Index < Bytes; Index++) {
    Out.push_back (static_cast<uint8_t>(Value >> (8 * Index)));
  }

  return Out;
}

BYTES
GuidBytes (const EFI_GUID &Guid)
{
  const uint8_t  *Raw = reinterpret_cast<const uint8_t *>(&Guid);

  return BYTES (Raw, Raw + sizeof (EFI_GUID));
}

} // namespace

BYTES
Node (uint8_t Type, uint8_t SubType, const BYTES &Data)
{
  BYTES  Out = { Type, SubType };
  BYTES  Length = Le (Data.size () + 4, 2);

  Out.insert (Out.end (), Length.begin (), Length.end ());
  Out.insert (Out.end (), Data.begin (), Data.end ());
  return Out;
}

BYTES PciRoot () { return Node (2, 1, Cat ({ Le (0x0A0341D0, 4), Le (0, 4) })); }
BYTES Pci (uint8_t Device, uint8_t Function) { return Node (1, 1, { Function, Device }); }
BYTES Usb (uint8_t Port) { return Node (3, 5, { Port, 0 }); }
BYTES
UsbClass (uint16_t VendorId, uint16_t ProductId, uint8_t Class, uint8_t SubClass, uint8_t Protocol)
{
  return Node (3, 15, Cat ({ Le (VendorId, 2), Le (ProductId, 2), { Class, SubClass, Protocol } }));
}

BYTES Uart (uint32_t Baud) { return Node (3, 14, Cat ({ Le (0, 4), Le (Baud, 8), { 8, 1, 1 } })); }

BYTES
FlowControl (uint32_t Map)
{
  EFI_GUID  Guid = DEVICE_PATH_MESSAGING_UART_FLOW_CONTROL;

  return Node (3, 10, Cat ({ GuidBytes (Guid), Le (Map, 4) }));
}

BYTES
TerminalVt100 ()
{
  EFI_GUID  Guid = EFI_VT_100_GUID;

  return Node (3, 10, GuidBytes (Guid));
}

BYTES Ps2Keyboard () { return Node (2, 1, Cat ({ Le (0x030341D0, 4), Le (0, 4) })); }
BYTES EndInstance () { return Node (0x7F, 0x01, {}); }
BYTES End () { return Node (0x7F, 0xFF, {}); }

BYTES
Cat (std::initializer_list<BYTES> Parts)
{
  BYTES  Out;

  for (const BYTES &Part : Parts) {
    Out.insert (Out.end (), Part.begin (), Part.end ());
  }

  return Out;
}

BYTES
MultiInstance (const std::vector<BYTES> &Instances)
{
  BYTES  Out;

  for (const BYTES &Instance : Instances) {
    if (!Out.empty ()) {
      Out.resize (Out.size () - 4);
      BYTES  Separator = EndInstance ();
      Out.insert (Out.end (), Separator.begin (), Separator.end ());
    }

    Out.insert (Out.end (), Instance.begin (), Instance.end ());
  }

  return Out;
}

BYTES AdapterPath (uint8_t Port) { return Cat ({ PciRoot (), Pci (2, 0), Usb (Port) }); }
BYTES KeyboardPath (uint8_t Port) { return Cat ({ AdapterPath (Port), Uart (115200), FlowControl (0), End () }); }
BYTES Ft232ConInEntry () { return Cat ({ UsbClass (0x0403, 0x6001, 0xFF, 0xFF, 0xFF), Uart (115200), FlowControl (0), End () }); }

EFI_HANDLE
AddDriver (const char16_t *Name, EFI_HANDLE Image)
{
  gDrivers.push_back ({});
  NAMED_DRIVER  &Driver = gDrivers.back ();

  Driver.Names.GetDriverName     = GetDriverName;
  Driver.Names.GetControllerName = GetControllerName;
  Driver.Names.SupportedLanguages = (CHAR8 *)"en";
  Driver.Name                    = Name;
  Driver.Binding.Version         = 0x0A;
  Driver.Binding.Supported       = NoController;
  Driver.Binding.Start           = NoController;
  Driver.Binding.Stop            = NoStop;

  EFI_HANDLE  Handle = Image;
  fake::Firmware::Install (&Handle, gEfiDriverBindingProtocolGuid, &Driver.Binding);
  fake::Firmware::Install (&Handle, gEfiComponentName2ProtocolGuid, &Driver.Names);
  Driver.Binding.ImageHandle         = Handle;
  Driver.Binding.DriverBindingHandle = Handle;
  return Handle;
}

EFI_HANDLE
AddBuiltInDriver (const char16_t *Name)
{
  static std::deque<EFI_LOADED_IMAGE_PROTOCOL>  Images;
  EFI_GUID                                      File = { 0x4C9B1D2E, 0x7A11, 0x4F0C, { 0x9E, 0x21, 0x55, 0x3A, 0x10, 0x6B, 0x2C, 0x01 } };
  EFI_HANDLE                                    Image = NULL;
  EFI_HANDLE                                    Volume = NULL;

  fake::Firmware::Install (&Volume, gEfiDevicePathProtocolGuid, Keep (Cat ({ Node (1, 4, GuidBytes (File)), End () })));
  Images.push_back ({});
  Images.back ().Revision     = EFI_LOADED_IMAGE_PROTOCOL_REVISION;
  Images.back ().DeviceHandle = Volume;
  Images.back ().FilePath     = Keep (Cat ({ Node (4, 6, GuidBytes (File)), End () }));
  fake::Firmware::Install (&Image, gEfiLoadedImageProtocolGuid, &Images.back ());
  return AddDriver (Name, Image);
}

SERIAL_PORT
AddSerialPort (EFI_HANDLE SerialDriver, const BYTES &ChildPath, bool KeyboardRunning, const USB_BRIDGE &Bridge, uint8_t UsbPort)
{
  SERIAL_PORT  Port = { NULL, NULL };

  mUsbIos.push_back ({ {}, Bridge });
  mUsbIos.back ().UsbIo.UsbGetDeviceDescriptor    = GetDeviceDescriptor;
  mUsbIos.back ().UsbIo.UsbGetInterfaceDescriptor = GetInterfaceDescriptor;
  fake::Firmware::Install (&Port.Converter, gEfiUsbIoProtocolGuid, &mUsbIos.back ().UsbIo);
  fake::Firmware::Install (&Port.Converter, gEfiDevicePathProtocolGuid, Keep (Cat ({ AdapterPath (UsbPort), End () })));

  mSerialIos.push_back ({});
  fake::Firmware::Install (&Port.Child, gEfiSerialIoProtocolGuid, &mSerialIos.back ());
  fake::Firmware::Install (&Port.Child, gEfiDevicePathProtocolGuid, Keep (ChildPath));

  // The serial driver's bond between converter and child.
  VOID  *UsbIo;
  gBS->OpenProtocol (Port.Converter, &gEfiUsbIoProtocolGuid, &UsbIo, SerialDriver, Port.Child,
                     EFI_OPEN_PROTOCOL_BY_CHILD_CONTROLLER);

  if (KeyboardRunning) {
    mTextInputs.push_back ({});
    fake::Firmware::Install (&Port.Child, gEfiSimpleTextInputExProtocolGuid, &mTextInputs.back ());
  }

  return Port;
}

BYTES
LoadOption (const char16_t *Description, const BYTES &FilePath, int PathLength)
{
  const uint8_t  *Text = reinterpret_cast<const uint8_t *>(Description);
  BYTES          Length = Le ((PathLength >= 0) ? PathLength : FilePath.size (), 2);

  return Cat ({ Le (LOAD_OPTION_ACTIVE, 4), Length, BYTES (Text, Text + 2 * std::u16string (Description).size () + 2), FilePath });
}

BYTES
DriverOrder (std::initializer_list<uint16_t> Numbers)
{
  BYTES  Out;

  for (uint16_t Number : Numbers) {
    Out = Cat ({ Out, Le (Number, 2) });
  }

  return Out;
}

void
PutGlobal (const char16_t *Name, const BYTES &Data)
{
  fake::Firmware::PutVariable ((const CHAR16 *)Name, gEfiGlobalVariableGuid,
                               EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_RUNTIME_ACCESS,
                               Data.data (), Data.size ());
}

BYTES
GetGlobal (const char16_t *Name)
{
  BYTES  Data;

  fake::Firmware::ReadVariable ((const CHAR16 *)Name, gEfiGlobalVariableGuid, &Data, nullptr);
  return Data;
}

void
PutConIn (const BYTES &Value, UINT32 Attributes)
{
  fake::Firmware::PutVariable ((const CHAR16 *)u"ConIn", gEfiGlobalVariableGuid, Attributes, Value.data (), Value.size ());
}

BYTES
ReadConIn (UINT32 *Attributes)
{
  BYTES   Data;
  UINT32  Stored = 0;

  fake::Firmware::ReadVariable ((const CHAR16 *)u"ConIn", gEfiGlobalVariableGuid, &Data, &Stored);
  if (Attributes != nullptr) {
    *Attributes = Stored;
  }

  return Data;
}

bool
HasConIn ()
{
  BYTES  Data;

  return fake::Firmware::ReadVariable ((const CHAR16 *)u"ConIn", gEfiGlobalVariableGuid, &Data, nullptr);
}

// ---- FAT volumes ------------------------------------------------------------------

namespace {

// A directory entry. A deleted one keeps its slot, as the FAT driver's read cursor walks
// on past a freed entry, and its memory, for handles still open on it.
struct NODE {
  std::u16string       Name;
  bool                 Directory;
  BYTES                Data;
  NODE                 *Parent;                  // nullptr for the root
  bool                 Deleted;
  std::vector<NODE *>  Children;                 // in creation order, as on disk
  uint64_t             Slots;                    // 32-byte entries a directory has used, deleted ones too
};
std::deque<NODE>  mNodes;

constexpr uint64_t  mCluster = 4096;

struct VOLUME {
  EFI_SIMPLE_FILE_SYSTEM_PROTOCOL  Fs;           // first, so This is the record
  EFI_PARTITION_INFO_PROTOCOL      Partition;
  NODE                             *Root;
  uint64_t                         Free;         // bytes of free clusters; UINT64_MAX: no limit
  bool                             WriteError;
  bool                             ReadOnly;
};

uint64_t Clusters (uint64_t Bytes) { return (Bytes + mCluster - 1) / mCluster * mCluster; }

void
GiveBack (VOLUME *Volume, uint64_t Bytes)
{
  Volume->Free += (Volume->Free == UINT64_MAX) ? 0 : Clusters (Bytes);
}

// A new entry (its long-name entries and the short one) goes at the end of the directory:
// the FAT driver reuses no deleted slot, and takes a cluster when the last one is full.
EFI_STATUS
TakeEntry (VOLUME *Volume, NODE *Dir, size_t NameLength)
{
  uint64_t  Slots = Dir->Slots + 1 + (NameLength + 12) / 13;
  uint64_t  Grown = Clusters (Slots * 32) - Clusters (Dir->Slots * 32);

  if (Grown > Volume->Free) {
    return EFI_VOLUME_FULL;
  }

  Volume->Free -= (Volume->Free == UINT64_MAX) ? 0 : Grown;
  Dir->Slots    = Slots;
  return EFI_SUCCESS;
}
std::deque<VOLUME>  mVolumes;

// One open of a file, with its own position and access. It is pool memory, as the FAT
// driver's file instances are, so a handle left open shows as a leak.
struct OpenFile {
  EFI_FILE_PROTOCOL  File;                       // first, so This is the record
  VOLUME             *Volume;
  NODE               *Node;
  bool               Writable;
  UINT64             Position;                   // bytes into a file, entries into a directory
  EFI_STATUS         Error;                      // a failed disk write sticks to the open file
};

OpenFile *Self (EFI_FILE_PROTOCOL *This) { return reinterpret_cast<OpenFile *>(This); }

std::u16string
Upper (std::u16string Name)
{
  for (char16_t &C : Name) {
    C = ((C >= u'a') && (C <= u'z')) ? C - u'a' + u'A' : C;
  }

  return Name;
}

NODE *
Child (NODE *Dir, const std::u16string &Name)
{
  for (NODE *Entry : Dir->Children) {
    if (!Entry->Deleted && (Upper (Entry->Name) == Upper (Name))) {
      return Entry;
    }
  }

  return nullptr;
}

NODE *
AddChild (NODE *Dir, const std::u16string &Name, bool Directory)
{
  mNodes.push_back ({ Name, Directory, {}, Dir });
  Dir->Children.push_back (&mNodes.back ());
  return &mNodes.back ();
}

// Follows Path from At (from the root after a leading backslash), names compared
// without regard to case; "." and ".." are not modelled. *Found is the node named; or,
// when only the last name is missing, the directory to make it in, that name in *Leaf.
EFI_STATUS
Locate (NODE *Root, NODE *At, const std::u16string &Path, NODE **Found, std::u16string *Leaf)
{
  size_t  Pos = (!Path.empty () && (Path[0] == u'\\')) ? 1 : 0;

  At = (Pos == 1) ? Root : At;
  Leaf->clear ();
  while (Pos < Path.size ()) {
    size_t          End  = std::min (Path.find (u'\\', Pos), Path.size ());
    std::u16string  Name = Path.substr (Pos, End - Pos);
    Pos = End + 1;
    if (!At->Directory) {
      return EFI_NOT_FOUND;
    }

    NODE  *Next = Child (At, Name);
    if (Next == nullptr) {
      if (Pos < Path.size ()) {
        return EFI_NOT_FOUND;
      }

      *Leaf = Name;
      break;
    }

    At = Next;
  }

  *Found = At;
  return EFI_SUCCESS;
}

EFI_STATUS
Info (const NODE *Node, const std::u16string &Name, UINTN *BufferSize, VOID *Buffer)
{
  UINTN  Size = SIZE_OF_EFI_FILE_INFO + (Name.size () + 1) * sizeof (CHAR16);

  if (*BufferSize < Size) {
    *BufferSize = Size;
    return EFI_BUFFER_TOO_SMALL;
  }

  auto  *Out = static_cast<EFI_FILE_INFO *>(Buffer);
  std::memset (Out, 0, SIZE_OF_EFI_FILE_INFO);
  Out->Size      = Size;
  Out->FileSize  = Node->Data.size ();
  Out->Attribute = Node->Directory ? EFI_FILE_DIRECTORY : EFI_FILE_ARCHIVE;
  std::memcpy (Out->FileName, Name.c_str (), (Name.size () + 1) * sizeof (CHAR16));
  *BufferSize = Size;
  return EFI_SUCCESS;
}

EFI_FILE_PROTOCOL *NewOpen (VOLUME *Volume, NODE *Node, bool Writable);

EFI_STATUS EFIAPI
FileOpen (EFI_FILE_PROTOCOL *This, EFI_FILE_PROTOCOL **NewHandle, CHAR16 *FileName, UINT64 OpenMode, UINT64 Attributes)
{
  constexpr UINT64  Read = EFI_FILE_MODE_READ, Write = Read | EFI_FILE_MODE_WRITE, Create = Write | EFI_FILE_MODE_CREATE;
  OpenFile         *File = Self (This);
  NODE              *Found;
  std::u16string    Leaf;

  if ((FileName == NULL) || ((OpenMode != Read) && (OpenMode != Write) && (OpenMode != Create)) ||
      ((OpenMode == Create) && ((Attributes & (EFI_FILE_READ_ONLY | ~EFI_FILE_VALID_ATTR)) != 0)))
  {
    return EFI_INVALID_PARAMETER;
  }

  if (File->Volume->ReadOnly && ((OpenMode & EFI_FILE_MODE_WRITE) != 0)) {
    return EFI_WRITE_PROTECTED;
  }

  EFI_STATUS  Status = File->Node->Deleted ? EFI_NOT_FOUND
                       : Locate (File->Volume->Root, File->Node, (const char16_t *)FileName, &Found, &Leaf);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  if (!Leaf.empty ()) {
    if (OpenMode != Create) {
      return EFI_NOT_FOUND;
    }

    Status = TakeEntry (File->Volume, Found, Leaf.size ());
    if (EFI_ERROR (Status)) {
      return Status;
    }

    Found = AddChild (Found, Leaf, (Attributes & EFI_FILE_DIRECTORY) != 0);
  }

  *NewHandle = NewOpen (File->Volume, Found, OpenMode != Read);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI
FileClose (EFI_FILE_PROTOCOL *This)
{
  return gBS->FreePool (This);
}

// The handle is always closed; whatever keeps the file is a warning.
EFI_STATUS EFIAPI
FileDelete (EFI_FILE_PROTOCOL *This)
{
  NODE        *Node   = Self (This)->Node;
  bool        Empty   = std::all_of (Node->Children.begin (), Node->Children.end (), [](NODE *Entry) { return Entry->Deleted; });
  EFI_STATUS  Status  = EFI_SUCCESS;

  if (!Self (This)->Writable || (Node->Parent == nullptr) || (!Node->Deleted && !Empty) || EFI_ERROR (Self (This)->Error)) {
    Status = EFI_WARN_DELETE_FAILURE;
  } else if (!Node->Deleted) {
    Node->Deleted = true;
    GiveBack (Self (This)->Volume, Node->Data.size ());
  }

  FileClose (This);
  return Status;
}

EFI_STATUS EFIAPI
FileRead (EFI_FILE_PROTOCOL *This, UINTN *BufferSize, VOID *Buffer)
{
  OpenFile  *File = Self (This);
  NODE       *Node = File->Node;

  if (!Node->Directory) {
    *BufferSize = std::min<UINT64>(*BufferSize, Node->Data.size () - File->Position);
    std::memcpy (Buffer, Node->Data.data () + File->Position, *BufferSize);
    File->Position += *BufferSize;
    return EFI_SUCCESS;
  }

  // One entry a read, "." and ".." first below the root, then nothing at the end.
  std::vector<std::pair<const NODE *, std::u16string>>  Entries;
  if (Node->Parent != nullptr) {
    Entries = { { Node, u"." }, { Node->Parent, u".." } };
  }

  for (NODE *Entry : Node->Children) {
    Entries.emplace_back (Entry, Entry->Name);
  }

  while ((File->Position < Entries.size ()) && Entries[File->Position].first->Deleted) {
    File->Position++;
  }

  if (File->Position == Entries.size ()) {
    *BufferSize = 0;
    return EFI_SUCCESS;
  }

  EFI_STATUS  Status = Info (Entries[File->Position].first, Entries[File->Position].second, BufferSize, Buffer);
  File->Position += EFI_ERROR (Status) ? 0 : 1;
  return Status;
}

EFI_STATUS EFIAPI
FileWrite (EFI_FILE_PROTOCOL *This, UINTN *BufferSize, VOID *Buffer)
{
  OpenFile  *File = Self (This);
  BYTES      &Data = File->Node->Data;

  VOLUME     *Volume = File->Volume;

  if (EFI_ERROR (File->Error)) {
    return File->Error;
  }

  if (!File->Writable) {
    return EFI_ACCESS_DENIED;
  }

  // A file that cannot grow keeps its length and takes nothing; a failed disk write
  // leaves the grown file with what the disk held, and the open file in error.
  uint64_t  Grown = Clusters (std::max<uint64_t>(Data.size (), File->Position + *BufferSize)) - Clusters (Data.size ());
  if (Grown > Volume->Free) {
    *BufferSize = 0;
    return EFI_VOLUME_FULL;
  }

  Volume->Free -= (Volume->Free == UINT64_MAX) ? 0 : Grown;
  Data.resize (std::max<size_t>(Data.size (), File->Position + *BufferSize));
  if (Volume->WriteError) {
    File->Error = EFI_DEVICE_ERROR;
    *BufferSize = 0;
    return EFI_DEVICE_ERROR;
  }

  std::memcpy (Data.data () + File->Position, Buffer, *BufferSize);
  File->Position += *BufferSize;
  return EFI_SUCCESS;
}

// The volume's free space as FatGetVolumeInfo gives it: whole clusters, the cluster as BlockSize.
EFI_STATUS
VolumeInfo (const VOLUME *Volume, UINTN *BufferSize, VOID *Buffer)
{
  UINTN  Size = SIZE_OF_EFI_FILE_SYSTEM_INFO + sizeof (CHAR16);

  if (*BufferSize < Size) {
    *BufferSize = Size;
    return EFI_BUFFER_TOO_SMALL;
  }

  auto  *Out = static_cast<EFI_FILE_SYSTEM_INFO *>(Buffer);
  std::memset (Out, 0, Size);
  Out->Size       = Size;
  Out->ReadOnly   = Volume->ReadOnly;
  Out->VolumeSize = Volume->Free;
  Out->FreeSpace  = Volume->Free;
  Out->BlockSize  = mCluster;
  *BufferSize     = Size;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI
FileGetInfo (EFI_FILE_PROTOCOL *This, EFI_GUID *Type, UINTN *BufferSize, VOID *Buffer)
{
  NODE  *Node = Self (This)->Node;

  if (CompareGuid (Type, &gEfiFileSystemInfoGuid)) {
    return VolumeInfo (Self (This)->Volume, BufferSize, Buffer);
  }

  return CompareGuid (Type, &gEfiFileInfoGuid) ? Info (Node, Node->Name, BufferSize, Buffer) : EFI_UNSUPPORTED;
}

// A rename (a new name in the same directory, or a path) or a new size, as FatSetFileInfo
// takes them; times are not modelled.
EFI_STATUS EFIAPI
FileSetInfo (EFI_FILE_PROTOCOL *This, EFI_GUID *Type, UINTN BufferSize, VOID *Buffer)
{
  OpenFile       *File = Self (This);
  NODE            *Node = File->Node;
  auto            *Info = static_cast<EFI_FILE_INFO *>(Buffer);
  NODE            *Found;
  std::u16string  Leaf;

  if (!CompareGuid (Type, &gEfiFileInfoGuid)) {
    return EFI_UNSUPPORTED;
  }

  if (EFI_ERROR (File->Error)) {
    return File->Error;
  }

  if (File->Volume->ReadOnly) {
    return EFI_WRITE_PROTECTED;
  }

  if (Node->Parent == nullptr) {
    return EFI_ACCESS_DENIED;
  }

  if ((BufferSize < SIZE_OF_EFI_FILE_INFO + 2) || (Info->Size > BufferSize)) {
    return EFI_BAD_BUFFER_SIZE;
  }

  if ((Info->Attribute & ~EFI_FILE_VALID_ATTR) != 0) {
    return EFI_INVALID_PARAMETER;
  }

  if (((Info->Attribute & EFI_FILE_DIRECTORY) != 0) != Node->Directory) {
    return EFI_ACCESS_DENIED;
  }

  EFI_STATUS  Status = Locate (File->Volume->Root, Node->Parent, (const char16_t *)Info->FileName, &Found, &Leaf);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  if (!Leaf.empty ()) {
    if (!File->Writable) {
      return EFI_ACCESS_DENIED;
    }

    // FatSetFileInfo writes the old entry deleted, then makes the new one: a folder that
    // has no room for it leaves the file with no name.
    Status = TakeEntry (File->Volume, Found, Leaf.size ());
    if (EFI_ERROR (Status)) {
      Node->Deleted = true;
      return Status;
    }

    auto  &Siblings = Node->Parent->Children;
    Siblings.erase (std::find (Siblings.begin (), Siblings.end (), Node));
    Node->Name   = Leaf;
    Node->Parent = Found;
    Found->Children.push_back (Node);
  } else if (Found != Node) {
    return EFI_ACCESS_DENIED;          // another file has the name
  }

  if (Info->FileSize != Node->Data.size ()) {
    if (Node->Directory || !File->Writable) {
      return EFI_ACCESS_DENIED;
    }

    GiveBack (File->Volume, Node->Data.size ());
    Node->Data.resize (Info->FileSize);
    File->Volume->Free -= (File->Volume->Free == UINT64_MAX) ? 0 : Clusters (Info->FileSize);
  }

  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI
FileFlush (EFI_FILE_PROTOCOL *This)
{
  if (EFI_ERROR (Self (This)->Error)) {
    return Self (This)->Error;
  }

  return Self (This)->Writable ? EFI_SUCCESS : EFI_ACCESS_DENIED;
}

// The calls the tool makes; the others are left NULL.
EFI_FILE_PROTOCOL *
NewOpen (VOLUME *Volume, NODE *Node, bool Writable)
{
  OpenFile  *File = nullptr;

  EXPECT_EQ (gBS->AllocatePool (EfiBootServicesData, sizeof (OpenFile), (VOID **)&File), EFI_SUCCESS);
  *File = { { EFI_FILE_PROTOCOL_REVISION, FileOpen, FileClose, FileDelete, FileRead, FileWrite, NULL, NULL, FileGetInfo,
              FileSetInfo, FileFlush }, Volume, Node, Writable, 0, EFI_SUCCESS };
  return &File->File;
}

EFI_STATUS EFIAPI
OpenVolume (EFI_SIMPLE_FILE_SYSTEM_PROTOCOL *This, EFI_FILE_PROTOCOL **Root)
{
  VOLUME  *Volume = reinterpret_cast<VOLUME *>(This);

  *Root = NewOpen (Volume, Volume->Root, true);
  return EFI_SUCCESS;
}

VOLUME *
AsVolume (EFI_HANDLE Handle)
{
  auto  *Volume = static_cast<VOLUME *>(fake::Firmware::Find (Handle, gEfiSimpleFileSystemProtocolGuid));

  EXPECT_NE (Volume, nullptr) << "not a volume";
  return Volume;
}

void
List (const NODE *Dir, const std::u16string &Prefix, std::vector<std::u16string> *Out)
{
  for (NODE *Entry : Dir->Children) {
    if (!Entry->Deleted) {
      std::u16string  Path = Prefix + Entry->Name + (Entry->Directory ? u"\\" : u"");
      Out->push_back (Path);
      List (Entry, Path, Out);
    }
  }
}

// The core reads an image as it would: the volume's root, then each file path node
// opened from the one before.
bool
ReadFromVolume (void *, const EFI_DEVICE_PATH_PROTOCOL *FilePath, std::vector<uint8_t> *Data)
{
  auto        *Path = const_cast<EFI_DEVICE_PATH_PROTOCOL *>(FilePath);
  EFI_HANDLE  Device;

  if (EFI_ERROR (gBS->LocateDevicePath (&gEfiSimpleFileSystemProtocolGuid, &Path, &Device))) {
    return false;
  }

  NODE  *Node = AsVolume (Device)->Root;
  for (; !IsDevicePathEnd (Path); Path = NextDevicePathNode (Path)) {
    std::u16string  Leaf;
    if ((DevicePathType (Path) != MEDIA_DEVICE_PATH) || (DevicePathSubType (Path) != MEDIA_FILEPATH_DP) ||
        EFI_ERROR (Locate (AsVolume (Device)->Root, Node, (const char16_t *)((FILEPATH_DEVICE_PATH *)Path)->PathName, &Node, &Leaf)) ||
        !Leaf.empty ())
    {
      return false;
    }
  }

  *Data = Node->Data;
  return !Node->Directory;
}

} // namespace

BYTES
HardDrive (uint32_t PartitionNumber, bool Gpt)
{
  BYTES  Signature = Gpt ? Cat ({ Le (0x4E464300 + PartitionNumber, 4), BYTES (12, 0x5A) }) : Cat ({ Le (0x1234ABCD, 4), BYTES (12, 0) });

  return Node (4, 1, Cat ({ Le (PartitionNumber, 4), Le (2048 * PartitionNumber, 8), Le (0x100000, 8), Signature,
                            { uint8_t (Gpt ? 2 : 1), uint8_t (Gpt ? 2 : 1) } }));
}

BYTES
FilePathNode (const char16_t *Path)
{
  std::u16string  Text (Path);
  const uint8_t   *Raw = reinterpret_cast<const uint8_t *>(Text.c_str ());

  return Node (4, 4, BYTES (Raw, Raw + (Text.size () + 1) * 2));
}

EFI_HANDLE
AddVolume (const BYTES &DevicePath, VOLUME_KIND Kind, bool PartitionInfo)
{
  mVolumes.push_back ({});
  VOLUME  &Volume = mVolumes.back ();

  Volume.Free          = UINT64_MAX;
  Volume.Fs.Revision   = EFI_SIMPLE_FILE_SYSTEM_PROTOCOL_REVISION;
  Volume.Fs.OpenVolume = OpenVolume;
  mNodes.push_back ({ u"", true });
  Volume.Root          = &mNodes.back ();

  // As the partition driver fills it from the GPT entry or the MBR record.
  EFI_PARTITION_INFO_PROTOCOL  &Info = Volume.Partition;
  bool                         Gpt   = (Kind == VOLUME_KIND::GptEsp) || (Kind == VOLUME_KIND::GptData);
  Info.Revision = EFI_PARTITION_INFO_PROTOCOL_REVISION;
  Info.Type     = Gpt ? PARTITION_TYPE_GPT : PARTITION_TYPE_MBR;
  Info.System   = (Kind == VOLUME_KIND::GptEsp) || (Kind == VOLUME_KIND::MbrEsp);
  if (Gpt) {
    EFI_GUID  BasicData = { 0xEBD0A0A2, 0xB9E5, 0x4433, { 0x87, 0xC0, 0x68, 0xB6, 0xB7, 0x26, 0x99, 0xC7 } };
    Info.Info.Gpt.PartitionTypeGUID = Info.System ? gEfiPartTypeSystemPartGuid : BasicData;
  } else {
    Info.Info.Mbr.OSIndicator = Info.System ? 0xEF : 0x0C;
  }

  EFI_HANDLE  Handle = NULL;
  fake::Firmware::Install (&Handle, gEfiDevicePathProtocolGuid, Keep (DevicePath));
  fake::Firmware::Install (&Handle, gEfiSimpleFileSystemProtocolGuid, &Volume.Fs);
  if (PartitionInfo) {
    fake::Firmware::Install (&Handle, gEfiPartitionInfoProtocolGuid, &Info);
  }

  return Handle;
}

void
SetVolumeFault (EFI_HANDLE Handle, VOLUME_FAULT Fault, uint64_t FreeBytes)
{
  VOLUME  *Volume = AsVolume (Handle);

  Volume->Free       = (Fault == VOLUME_FAULT::Full) ? FreeBytes : Volume->Free;
  Volume->WriteError = (Fault == VOLUME_FAULT::WriteError);
  Volume->ReadOnly   = (Fault == VOLUME_FAULT::ReadOnly);
}

namespace {

struct DISK {
  EFI_DISK_IO_PROTOCOL   DiskIo;                 // first, so This is the record
  EFI_BLOCK_IO_PROTOCOL  BlockIo;
  EFI_BLOCK_IO_MEDIA     Media;
  BYTES                  Image;
};
std::deque<DISK>  mDisks;

EFI_STATUS EFIAPI
ReadDisk (EFI_DISK_IO_PROTOCOL *This, UINT32 MediaId, UINT64 Offset, UINTN BufferSize, VOID *Buffer)
{
  DISK  *Disk = reinterpret_cast<DISK *>(This);

  if (MediaId != Disk->Media.MediaId) {
    return EFI_MEDIA_CHANGED;
  }

  if ((Offset > Disk->Image.size ()) || (BufferSize > Disk->Image.size () - Offset)) {
    return EFI_INVALID_PARAMETER;
  }

  std::memcpy (Buffer, Disk->Image.data () + Offset, BufferSize);
  return EFI_SUCCESS;
}

} // namespace

BYTES
DiskImage (VOLUME_KIND Partition1)
{
  BYTES  Disk (64 * 512, 0);
  bool   Esp = (Partition1 == VOLUME_KIND::GptEsp) || (Partition1 == VOLUME_KIND::MbrEsp);

  Disk[510] = 0x55;
  Disk[511] = 0xAA;
  if ((Partition1 == VOLUME_KIND::MbrEsp) || (Partition1 == VOLUME_KIND::MbrFat)) {
    Disk[446 + 4] = Esp ? 0xEF : 0x0C;
    return Disk;
  }

  // The protective MBR, the header at LBA 1, four 128-byte entries from LBA 2.
  EFI_GUID  BasicData = { 0xEBD0A0A2, 0xB9E5, 0x4433, { 0x87, 0xC0, 0x68, 0xB6, 0xB7, 0x26, 0x99, 0xC7 } };
  BYTES     Header    = Cat ({ { 'E', 'F', 'I', ' ', 'P', 'A', 'R', 'T' }, Le (0x10000, 4), Le (92, 4), BYTES (56, 0),
                               Le (2, 8), Le (4, 4), Le (128, 4) });
  BYTES     Type      = GuidBytes (Esp ? gEfiPartTypeSystemPartGuid : BasicData);
  Disk[446 + 4] = 0xEE;
  std::copy (Header.begin (), Header.end (), Disk.begin () + 512);
  std::copy (Type.begin (), Type.end (), Disk.begin () + 1024);
  return Disk;
}

EFI_HANDLE
AddDisk (const BYTES &DevicePath, const BYTES &Image, bool Removable)
{
  mDisks.push_back ({});
  DISK  &Disk = mDisks.back ();

  Disk.Image                = Image;
  Disk.Media.MediaId        = 1;
  Disk.Media.RemovableMedia = Removable;
  Disk.Media.MediaPresent   = TRUE;
  Disk.Media.BlockSize      = 512;
  Disk.Media.LastBlock      = Image.size () / 512 - 1;
  Disk.BlockIo.Revision     = EFI_BLOCK_IO_PROTOCOL_REVISION;
  Disk.BlockIo.Media        = &Disk.Media;
  Disk.DiskIo.Revision      = EFI_DISK_IO_PROTOCOL_REVISION;
  Disk.DiskIo.ReadDisk      = ReadDisk;

  EFI_HANDLE  Handle = NULL;
  fake::Firmware::Install (&Handle, gEfiDevicePathProtocolGuid, Keep (DevicePath));
  fake::Firmware::Install (&Handle, gEfiBlockIoProtocolGuid, &Disk.BlockIo);
  fake::Firmware::Install (&Handle, gEfiDiskIoProtocolGuid, &Disk.DiskIo);
  return Handle;
}

void
PutFile (EFI_HANDLE Volume, const std::u16string &Path, const BYTES &Data)
{
  NODE    *Dir = AsVolume (Volume)->Root;
  size_t  Pos  = 1;

  for (size_t End; (End = Path.find (u'\\', Pos)) != std::u16string::npos; Pos = End + 1) {
    NODE  *Next = Child (Dir, Path.substr (Pos, End - Pos));
    Dir = (Next != nullptr) ? Next : AddChild (Dir, Path.substr (Pos, End - Pos), true);
  }

  NODE  *File = Child (Dir, Path.substr (Pos));
  File       = (File != nullptr) ? File : AddChild (Dir, Path.substr (Pos), false);
  File->Data = Data;
}

bool
GetFile (EFI_HANDLE Volume, const std::u16string &Path, BYTES *Data)
{
  NODE            *File = nullptr;
  std::u16string  Leaf;

  if (EFI_ERROR (Locate (AsVolume (Volume)->Root, nullptr, Path, &File, &Leaf)) || !Leaf.empty () || File->Directory) {
    return false;
  }

  *Data = File->Data;
  return true;
}

void
FillFolder (EFI_HANDLE Volume, const std::u16string &Path, uint64_t SlotsLeft)
{
  NODE            *Dir = nullptr;
  std::u16string  Leaf;

  ASSERT_FALSE (EFI_ERROR (Locate (AsVolume (Volume)->Root, nullptr, Path, &Dir, &Leaf)) || !Leaf.empty () || !Dir->Directory);
  Dir->Slots = Clusters ((Dir->Slots + SlotsLeft) * 32) / 32 - SlotsLeft;
}

std::vector<std::u16string>
ListVolume (EFI_HANDLE Volume)
{
  std::vector<std::u16string>  Out;

  List (AsVolume (Volume)->Root, u"\\", &Out);
  std::sort (Out.begin (), Out.end ());
  return Out;
}

void ServeImagesFromVolumes () { fake::Firmware::SetImageSource (ReadFromVolume, nullptr); }

void
SetOwnImage (EFI_HANDLE Volume, const std::u16string &FilePath)
{
  auto  *Own = static_cast<EFI_LOADED_IMAGE_PROTOCOL *>(fake::Firmware::Find (gImageHandle, gEfiLoadedImageProtocolGuid));

  Own->DeviceHandle = Volume;
  Own->FilePath     = Keep (Cat ({ FilePathNode (FilePath.c_str ()), End () }));
}

} // namespace peer

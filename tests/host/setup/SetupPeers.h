/** @file
  What the setup tool meets in firmware, for its host tests: device paths as
  bytes, our two drivers by their names, a converter with its serial child, the
  keyboard's text input on that child, and FAT volumes on disk partitions the
  tool installs to and loads drivers from.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#ifndef SETUP_PEERS_H_
#define SETUP_PEERS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "FakeFirmware.h"

namespace peer {

using BYTES = std::vector<uint8_t>;

// Device path nodes as the firmware stores them (type, subtype, 16-bit length, data).
BYTES Node (uint8_t Type, uint8_t SubType, const BYTES &Data);
BYTES PciRoot ();
BYTES Pci (uint8_t Device, uint8_t Function);
BYTES Usb (uint8_t Port);
BYTES UsbClass (uint16_t VendorId, uint16_t ProductId, uint8_t Class, uint8_t SubClass, uint8_t Protocol);
BYTES Uart (uint32_t Baud);
BYTES FlowControl (uint32_t Map);
BYTES TerminalVt100 ();
BYTES Ps2Keyboard ();
BYTES HardDrive (uint32_t PartitionNumber, bool Gpt);   // a partition as the partition driver names it
BYTES FilePathNode (const char16_t *Path);
BYTES EndInstance ();
BYTES End ();
BYTES Cat (std::initializer_list<BYTES> Parts);

// ConIn as a platform would hold it, from whole single-instance paths (each with its End).
BYTES MultiInstance (const std::vector<BYTES> &Instances);

BYTES AdapterPath (uint8_t Port = 1);    // PciRoot/Pci/USB of the bridge
BYTES KeyboardPath (uint8_t Port = 1);   // adapter, Uart(115200), flow control, End
BYTES Ft232ConInEntry ();                // the one ConIn entry installs wrote before the other bridges

// A loaded driver: a driver binding with a component name 2 protocol, on Image when
// given (as a driver's entry installs them on its own image handle), else on a new
// handle. The binding supports no controller.
EFI_HANDLE AddDriver (const char16_t *Name, EFI_HANDLE Image = NULL);
// A driver the firmware carries in a firmware volume: its image's path is an FvFile node.
EFI_HANDLE AddBuiltInDriver (const char16_t *Name);

// A USB-serial bridge as its descriptors give it: IDs, the device's class and the
// bound interface's.
struct USB_BRIDGE {
  uint16_t  VendorId;
  uint16_t  ProductId;
  uint8_t   DeviceClass;
  uint8_t   InterfaceClass;
};
constexpr USB_BRIDGE  mFt232 = { 0x0403, 0x6001, 0, 0xFF };

// The bridge's interface on USB port Port and the serial child the serial driver made
// for it; the keyboard's text input goes on the child when Running.
struct SERIAL_PORT {
  EFI_HANDLE  Converter;
  EFI_HANDLE  Child;
};
SERIAL_PORT AddSerialPort (EFI_HANDLE SerialDriver, const BYTES &ChildPath, bool KeyboardRunning,
                           const USB_BRIDGE &Bridge = mFt232, uint8_t Port = 1);

// Driver#### options as the boot manager stores them (active, with PathLength in the
// header unless given), DriverOrder's bytes, and global variables by name: Get gives
// none for an absent variable, which is never empty.
BYTES LoadOption (const char16_t *Description, const BYTES &FilePath, int PathLength = -1);
BYTES DriverOrder (std::initializer_list<uint16_t> Numbers);
void  PutGlobal (const char16_t *Name, const BYTES &Data);
BYTES GetGlobal (const char16_t *Name);

// Sets a variable as firmware would hold it.
void PutConIn (const BYTES &Value, UINT32 Attributes);
BYTES ReadConIn (UINT32 *Attributes = nullptr);
bool  HasConIn ();

// A FAT file system on a partition, at DevicePath (with its End), with the partition
// information the partition driver gives it. Files open
// as the FAT driver opens them: names without regard to case, backslashes between them;
// an open file is a pool block until it is closed.
enum class VOLUME_KIND { GptEsp, GptData, MbrEsp, MbrFat };
// Without PartitionInfo, as firmware older than that protocol makes a partition.
EFI_HANDLE AddVolume (const BYTES &DevicePath, VOLUME_KIND Kind, bool PartitionInfo = true);
// What EnhancedFatDxe answers on a volume that is full (FreeBytes left, in 4 KiB
// clusters), on a disk that fails its writes, or on read-only media.
enum class VOLUME_FAULT { Full, WriteError, ReadOnly };
void SetVolumeFault (EFI_HANDLE Volume, VOLUME_FAULT Fault, uint64_t FreeBytes = 0);
// A folder's entries, deleted ones too, reach to SlotsLeft 32-byte entries short of the
// end of its last cluster, as many renames in it leave it.
void FillFolder (EFI_HANDLE Volume, const std::u16string &Path, uint64_t SlotsLeft);

// A whole disk as the disk driver and DiskIoDxe make it: Block I/O (512-byte blocks) and
// Disk I/O over the bytes of DiskImage, its partition 1 of the kind given.
BYTES      DiskImage (VOLUME_KIND Partition1);
EFI_HANDLE AddDisk (const BYTES &DevicePath, const BYTES &Image, bool Removable);
// Path from the root, e.g. u"\\EFI\\NfcKeyboard\\ZorvikDxe.efi"; PutFile makes the directories.
void PutFile (EFI_HANDLE Volume, const std::u16string &Path, const BYTES &Data);
bool GetFile (EFI_HANDLE Volume, const std::u16string &Path, BYTES *Data);
// Every file and directory (these end in a backslash) by its full path, sorted.
std::vector<std::u16string> ListVolume (EFI_HANDLE Volume);

// LoadImage reads the file the path names from the volume it leads to.
void ServeImagesFromVolumes ();
// The tool's own image came from FilePath on Volume.
void SetOwnImage (EFI_HANDLE Volume, const std::u16string &FilePath);

} // namespace peer

#endif

/** @file
  GUID globals the setup tool and DevicePathLib's text conversion name beyond
  the shared rig's; weak, so a definition added to the rig later wins.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#include <Uefi.h>
#include <Guid/FileSystemInfo.h>
#include <Guid/Gpt.h>
#include <Guid/PcAnsi.h>
#include <Protocol/BlockIo.h>
#include <Protocol/DebugPort.h>
#include <Protocol/DiskIo.h>
#include <Protocol/LoadedImage.h>
#include <Protocol/PartitionInfo.h>
#include <Protocol/Shell.h>
#include <Protocol/ShellParameters.h>

#define WEAK  __attribute__ ((weak))

WEAK EFI_GUID  gEfiShellParametersProtocolGuid = EFI_SHELL_PARAMETERS_PROTOCOL_GUID;
WEAK EFI_GUID  gEfiUartDevicePathGuid          = DEVICE_PATH_MESSAGING_UART_FLOW_CONTROL;
WEAK EFI_GUID  gEfiPcAnsiGuid                  = EFI_PC_ANSI_GUID;
WEAK EFI_GUID  gEfiVT100Guid                   = EFI_VT_100_GUID;
WEAK EFI_GUID  gEfiVT100PlusGuid               = EFI_VT_100_PLUS_GUID;
WEAK EFI_GUID  gEfiVTUTF8Guid                  = EFI_VT_UTF8_GUID;
WEAK EFI_GUID  gEfiDebugPortProtocolGuid       = EFI_DEBUGPORT_PROTOCOL_GUID;
WEAK EFI_GUID  gEfiSasDevicePathGuid           = { 0xd487ddb4, 0x008b, 0x11d9, { 0xaf, 0xdc, 0x00, 0x10, 0x83, 0xff, 0xca, 0x4d } };
WEAK EFI_GUID  gEfiVirtualDiskGuid             = { 0x77AB535A, 0x45FC, 0x624B, { 0x55, 0x60, 0xF7, 0xB2, 0x81, 0xD1, 0xF9, 0x6E } };
WEAK EFI_GUID  gEfiVirtualCdGuid               = { 0x3D5ABD30, 0x4175, 0x87CE, { 0x6D, 0x64, 0xD2, 0xAD, 0xE5, 0x23, 0xC4, 0xBB } };
WEAK EFI_GUID  gEfiPersistentVirtualDiskGuid   = { 0x5CEA02C9, 0x4D07, 0x69D3, { 0x26, 0x9F, 0x44, 0x96, 0xFB, 0xE0, 0x96, 0xF9 } };
WEAK EFI_GUID  gEfiPersistentVirtualCdGuid     = { 0x08018188, 0x42CD, 0xBB48, { 0x10, 0x0F, 0x53, 0x87, 0xD5, 0x3D, 0xED, 0x3D } };
WEAK EFI_GUID  gEfiPartitionInfoProtocolGuid          = EFI_PARTITION_INFO_PROTOCOL_GUID;
WEAK EFI_GUID  gEfiPartTypeSystemPartGuid             = EFI_PART_TYPE_EFI_SYSTEM_PART_GUID;
WEAK EFI_GUID  gEfiLoadedImageDevicePathProtocolGuid  = EFI_LOADED_IMAGE_DEVICE_PATH_PROTOCOL_GUID;
WEAK EFI_GUID  gEfiShellProtocolGuid                  = EFI_SHELL_PROTOCOL_GUID;
WEAK EFI_GUID  gEfiBlockIoProtocolGuid                = EFI_BLOCK_IO_PROTOCOL_GUID;
WEAK EFI_GUID  gEfiDiskIoProtocolGuid                 = EFI_DISK_IO_PROTOCOL_GUID;
WEAK EFI_GUID  gEfiFileSystemInfoGuid                 = EFI_FILE_SYSTEM_INFO_ID;

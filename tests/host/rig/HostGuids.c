/** @file
  The GUID globals that EDK II's build would emit into AutoGen.c, for every
  protocol and variable GUID the package's sources and EDK II's libraries name.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#include <Uefi.h>
#include <Protocol/DriverBinding.h>
#include <Protocol/ComponentName.h>
#include <Protocol/ComponentName2.h>
#include <Protocol/DriverConfiguration.h>
#include <Protocol/DriverConfiguration2.h>
#include <Protocol/DriverDiagnostics.h>
#include <Protocol/DriverDiagnostics2.h>
#include <Protocol/DevicePath.h>
#include <Protocol/DevicePathUtilities.h>
#include <Protocol/DevicePathToText.h>
#include <Protocol/DevicePathFromText.h>
#include <Protocol/LoadedImage.h>
#include <Protocol/SerialIo.h>
#include <Guid/IdleLoopEvent.h>
#include <Guid/ZorvikConf.h>
#include <Protocol/SimpleTextIn.h>
#include <Protocol/SimpleTextInEx.h>
#include <Protocol/SimpleTextOut.h>
#include <Protocol/UsbIo.h>
#include <Protocol/GraphicsOutput.h>
#include <Protocol/UgaDraw.h>
#include <Protocol/HiiFont.h>
#include <Protocol/SimpleFileSystem.h>
#include <Protocol/Timer.h>
#include <Guid/GlobalVariable.h>
#include <Guid/EventGroup.h>
#include <Guid/EventLegacyBios.h>
#include <Guid/FileInfo.h>
#include <Guid/PcAnsi.h>
#include <Guid/TtyTerm.h>

EFI_GUID  gEfiDriverBindingProtocolGuid          = EFI_DRIVER_BINDING_PROTOCOL_GUID;
EFI_GUID  gEfiComponentNameProtocolGuid          = EFI_COMPONENT_NAME_PROTOCOL_GUID;
EFI_GUID  gEfiComponentName2ProtocolGuid         = EFI_COMPONENT_NAME2_PROTOCOL_GUID;
EFI_GUID  gEfiDriverConfigurationProtocolGuid    = EFI_DRIVER_CONFIGURATION_PROTOCOL_GUID;
EFI_GUID  gEfiDriverConfiguration2ProtocolGuid   = EFI_DRIVER_CONFIGURATION2_PROTOCOL_GUID;
EFI_GUID  gEfiDriverDiagnosticsProtocolGuid      = EFI_DRIVER_DIAGNOSTICS_PROTOCOL_GUID;
EFI_GUID  gEfiDriverDiagnostics2ProtocolGuid     = EFI_DRIVER_DIAGNOSTICS2_PROTOCOL_GUID;
EFI_GUID  gEfiDevicePathProtocolGuid             = EFI_DEVICE_PATH_PROTOCOL_GUID;
EFI_GUID  gEfiDevicePathUtilitiesProtocolGuid    = EFI_DEVICE_PATH_UTILITIES_PROTOCOL_GUID;
EFI_GUID  gEfiDevicePathToTextProtocolGuid       = EFI_DEVICE_PATH_TO_TEXT_PROTOCOL_GUID;
EFI_GUID  gEfiDevicePathFromTextProtocolGuid     = EFI_DEVICE_PATH_FROM_TEXT_PROTOCOL_GUID;
EFI_GUID  gEfiLoadedImageProtocolGuid            = EFI_LOADED_IMAGE_PROTOCOL_GUID;
EFI_GUID  gEfiSerialIoProtocolGuid               = EFI_SERIAL_IO_PROTOCOL_GUID;
EFI_GUID  gEfiSimpleTextInProtocolGuid           = EFI_SIMPLE_TEXT_INPUT_PROTOCOL_GUID;
EFI_GUID  gEfiSimpleTextInputExProtocolGuid      = EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL_GUID;
EFI_GUID  gEfiSimpleTextOutProtocolGuid          = EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL_GUID;
EFI_GUID  gEfiUsbIoProtocolGuid                  = EFI_USB_IO_PROTOCOL_GUID;
EFI_GUID  gEfiGraphicsOutputProtocolGuid         = EFI_GRAPHICS_OUTPUT_PROTOCOL_GUID;
EFI_GUID  gEfiUgaDrawProtocolGuid                = EFI_UGA_DRAW_PROTOCOL_GUID;
EFI_GUID  gEfiHiiFontProtocolGuid                = EFI_HII_FONT_PROTOCOL_GUID;
EFI_GUID  gEfiSimpleFileSystemProtocolGuid       = EFI_SIMPLE_FILE_SYSTEM_PROTOCOL_GUID;
EFI_GUID  gEfiTimerArchProtocolGuid              = EFI_TIMER_ARCH_PROTOCOL_GUID;
EFI_GUID  gIdleLoopEventGuid                     = IDLE_LOOP_EVENT_GUID;
EFI_GUID  gEfiGlobalVariableGuid                 = EFI_GLOBAL_VARIABLE;
EFI_GUID  gEfiEventReadyToBootGuid               = EFI_EVENT_GROUP_READY_TO_BOOT;
EFI_GUID  gEfiEventLegacyBootGuid                = EFI_EVENT_LEGACY_BOOT_GUID;
EFI_GUID  gEfiFileInfoGuid                       = EFI_FILE_INFO_ID;
EFI_GUID  gEfiUartDevicePathGuid                 = { 0x37499a9d, 0x542f, 0x4c89, { 0xa0, 0x26, 0x35, 0xda, 0x14, 0x20, 0x94, 0xe4 } };
EFI_GUID  gZorvikConfGuid                        = ZORVIK_CONF_GUID;
EFI_GUID  gEfiPcAnsiGuid                         = EFI_PC_ANSI_GUID;
EFI_GUID  gEfiVT100Guid                          = EFI_VT_100_GUID;
EFI_GUID  gEfiVT100PlusGuid                      = EFI_VT_100_PLUS_GUID;
EFI_GUID  gEfiVTUTF8Guid                         = EFI_VT_UTF8_GUID;
EFI_GUID  gEfiTtyTermGuid                        = EFI_TTY_TERM_GUID;
EFI_GUID  gEdkiiLinuxTermGuid                    = EDKII_LINUX_TERM_GUID;
EFI_GUID  gEdkiiXtermR6Guid                      = EDKII_XTERM_R6_GUID;
EFI_GUID  gEdkiiVT400Guid                        = EDKII_VT400_GUID;
EFI_GUID  gEdkiiSCOTermGuid                      = EDKII_SCO_TERM_GUID;

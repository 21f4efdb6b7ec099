/** @file
  Finding our drivers by their names, the serial lines they made and the bridges
  those sit on, and the running NFC keyboard in the firmware's protocol database.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#include "NfcKeyboardSetup.h"

#include <OpenInfo.h>
#include <UsbBridgeIds.h>

extern "C" {
#include <Guid/PcAnsi.h>
#include <Protocol/ComponentName2.h>
#include <Protocol/DriverBinding.h>
#include <Protocol/LoadedImage.h>
#include <Protocol/SerialIo.h>
#include <Protocol/SimpleTextInEx.h>
#include <Protocol/UsbIo.h>
#include <Library/BaseLib.h>
#include <Library/BaseMemoryLib.h>
#include <Library/DevicePathLib.h>
#include <Library/MemoryAllocationLib.h>
#include <Library/UefiBootServicesTableLib.h>
}

EFI_HANDLE
FindDriverByName (
  IN CONST CHAR16  *DriverName
  )
{
  HandleBuffer  Drivers (&gEfiDriverBindingProtocolGuid);

  for (UINTN Index = 0; Index < Drivers.Count (); Index++) {
    EFI_COMPONENT_NAME2_PROTOCOL  *Names;
    CHAR16                        *Name;

    if (EFI_ERROR (gBS->HandleProtocol (Drivers[Index], &gEfiComponentName2ProtocolGuid, reinterpret_cast<VOID **>(&Names)))) {
      continue;
    }

    if (EFI_ERROR (Names->GetDriverName (Names, (CHAR8 *)"en", &Name)) || (Name == NULL)) {
      continue;
    }

    if (StrCmp (Name, DriverName) == 0) {
      return Drivers[Index];
    }
  }

  return NULL;
}

BOOLEAN
DriverIsBuiltIn (
  IN EFI_HANDLE  DriverBinding
  )
{
  EFI_DRIVER_BINDING_PROTOCOL  *Binding;
  EFI_LOADED_IMAGE_PROTOCOL    *Image;

  // The core names an image from a firmware volume by an FvFile node, a file's image by its path.
  return (BOOLEAN)(!EFI_ERROR (gBS->HandleProtocol (DriverBinding, &gEfiDriverBindingProtocolGuid, reinterpret_cast<VOID **>(&Binding))) &&
                   !EFI_ERROR (gBS->HandleProtocol (Binding->ImageHandle, &gEfiLoadedImageProtocolGuid, reinterpret_cast<VOID **>(&Image))) &&
                   (Image->FilePath != NULL) && (DevicePathType (Image->FilePath) == MEDIA_DEVICE_PATH) &&
                   (DevicePathSubType (Image->FilePath) == MEDIA_PIWG_FW_FILE_DP));
}

EFI_STATUS
FindNfcKeyboard (
  OUT EFI_HANDLE                *Handle,
  OUT EFI_DEVICE_PATH_PROTOCOL  **DevicePath
  )
{
  HandleBuffer  TextInputs (&gEfiSimpleTextInputExProtocolGuid);

  *Handle     = NULL;
  *DevicePath = NULL;

  // Terminal consoles on a serial line sit on a child of their own, without
  // Serial I/O; only the keyboard publishes its text input on the line itself.
  for (UINTN Index = 0; Index < TextInputs.Count (); Index++) {
    VOID                      *SerialIo;
    EFI_DEVICE_PATH_PROTOCOL  *Path;

    if (EFI_ERROR (gBS->HandleProtocol (TextInputs[Index], &gEfiSerialIoProtocolGuid, &SerialIo)) ||
        EFI_ERROR (gBS->HandleProtocol (TextInputs[Index], &gEfiDevicePathProtocolGuid, reinterpret_cast<VOID **>(&Path))))
    {
      continue;
    }

    if (UartPathEndsInFlowControl (Path)) {
      *Handle     = TextInputs[Index];
      *DevicePath = Path;
      return EFI_SUCCESS;
    }
  }

  return EFI_NOT_FOUND;
}

EFI_STATUS
FindSerialLines (
  IN  EFI_HANDLE  SerialDriver,
  OUT EFI_HANDLE  **Children,
  OUT UINTN       *Count
  )
{
  *Children = NULL;
  *Count    = 0;
  if (SerialDriver == NULL) {
    return EFI_SUCCESS;
  }

  HandleBuffer  Converters (&gEfiUsbIoProtocolGuid);

  if (Converters.Count () == 0) {
    return EFI_SUCCESS;
  }

  // The driver makes one line per bridge, so the USB interfaces bound the count.
  EFI_HANDLE  *Found = static_cast<EFI_HANDLE *>(AllocateZeroPool (Converters.Count () * sizeof (EFI_HANDLE)));

  if (Found == NULL) {
    return EFI_OUT_OF_RESOURCES;
  }

  UINTN  Stored = 0;

  for (UINTN Index = 0; Index < Converters.Count (); Index++) {
    (VOID)OpenInfoForEachChild (
                                Converters[Index],
                                &gEfiUsbIoProtocolGuid,
                                SerialDriver,
                                [&](EFI_HANDLE Child) -> BOOLEAN {
      // A driver may hold more than one interface of a device for one line (a CDC device's two).
      UINTN  Seen = 0;
      while ((Seen < Stored) && (Found[Seen] != Child)) {
        Seen++;
      }

      if ((Seen == Stored) && (Stored < Converters.Count ())) {
        Found[Stored++] = Child;
      }

      return TRUE;
    }
                                );
  }

  if (Stored == 0) {
    FreePool (Found);
    return EFI_SUCCESS;
  }

  *Children = Found;
  *Count    = Stored;
  return EFI_SUCCESS;
}

CONST CHAR16 *
SerialLineBridge (
  IN EFI_HANDLE  Line
  )
{
  EFI_DEVICE_PATH_PROTOCOL      *Path = DevicePathFromHandle (Line);
  EFI_HANDLE                    Interface;
  EFI_USB_IO_PROTOCOL           *UsbIo;
  EFI_USB_DEVICE_DESCRIPTOR     Device;
  EFI_USB_INTERFACE_DESCRIPTOR  Setting;

  // The line's path is its USB interface's, then the Uart and flow-control nodes.
  if ((Path == NULL) || EFI_ERROR (gBS->LocateDevicePath (&gEfiUsbIoProtocolGuid, &Path, &Interface)) ||
      EFI_ERROR (gBS->HandleProtocol (Interface, &gEfiUsbIoProtocolGuid, reinterpret_cast<VOID **>(&UsbIo))) ||
      EFI_ERROR (UsbIo->UsbGetDeviceDescriptor (UsbIo, &Device)))
  {
    return NULL;
  }

  for (const USB_BRIDGE_ID &Id : gUsbBridgeIds) {
    if ((Id.VendorId == Device.IdVendor) && (Id.ProductId == Device.IdProduct)) {
      return Id.Bridge;
    }
  }

  return (!EFI_ERROR (UsbIo->UsbGetInterfaceDescriptor (UsbIo, &Setting)) && (Setting.InterfaceClass == USB_CDC_DATA_CLASS))
         ? gUsbCdcAcmBridge.Text : NULL;
}

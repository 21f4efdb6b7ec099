/** @file
  The driver's name table, the adapter's name lookup and the two name protocols.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#include "FtdiSerial.h"

#include <Char16.h>
#include <NfcKeyboardNames.h>

CONST CHAR8  mLanguageIso639[]  = "eng";
CONST CHAR8  mLanguageRfc4646[] = "en";

namespace {
constexpr CHAR8  mLanguagesBoth[] = "eng;en";

EFI_STATUS
EFIAPI
UsbSerialGetDriverName (
  IN  EFI_COMPONENT_NAME_PROTOCOL  *This,
  IN  CHAR8                        *Language,
  OUT CHAR16                       **DriverName
  )
{
  // Each image names itself; a table of its name built here needs no global constructor.
  EFI_UNICODE_STRING_TABLE  mUsbSerialDriverNameTable[] = {
    { const_cast<CHAR8 *>(mLanguagesBoth), const_cast<CHAR16 *>(gSerialDriverName) },
    { NULL,                                NULL                                    }
  };

  return LookupUnicodeString2 (
                               Language,
                               This->SupportedLanguages,
                               mUsbSerialDriverNameTable,
                               DriverName,
                               (BOOLEAN)(This == &gUsbSerialComponentName)
                               );
}

EFI_STATUS
EFIAPI
UsbSerialGetControllerName (
  IN  EFI_COMPONENT_NAME_PROTOCOL  *This,
  IN  EFI_HANDLE                   ControllerHandle,
  IN  EFI_HANDLE                   ChildHandle OPTIONAL,
  IN  CHAR8                        *Language,
  OUT CHAR16                       **ControllerName
  )
{
  // Serial I/O lives on the child Start made, not on the USB handle, so the name is
  // reached through that child; the controller and that child share the one name. Only
  // this driver opens a USB I/O for a child, so finding one also proves it manages the
  // controller.
  EFI_HANDLE  Child;
  EFI_STATUS  Status = UsbSerialFindChild (ControllerHandle, &Child);

  if (EFI_ERROR (Status) || (Child == NULL)) {
    return EFI_UNSUPPORTED;
  }

  if ((ChildHandle != NULL) && (ChildHandle != Child)) {
    return EFI_UNSUPPORTED;
  }

  EFI_SERIAL_IO_PROTOCOL  *SerialIo;

  Status = gBS->OpenProtocol (
                              Child,
                              &gEfiSerialIoProtocolGuid,
                              reinterpret_cast<VOID **>(&SerialIo),
                              gUsbSerialDriverBinding.DriverBindingHandle,
                              ControllerHandle,
                              EFI_OPEN_PROTOCOL_GET_PROTOCOL
                              );
  if (EFI_ERROR (Status)) {
    return Status;
  }

  FTDI_SERIAL_DEVICE  *Device = FtdiFromSerialIo (SerialIo);

  return LookupUnicodeString2 (
                               Language,
                               This->SupportedLanguages,
                               Device->ControllerNameTable,
                               ControllerName,
                               (BOOLEAN)(This == &gUsbSerialComponentName)
                               );
}

EFI_STATUS
EFIAPI
UsbSerialGetDriverName2 (
  IN  EFI_COMPONENT_NAME2_PROTOCOL  *This,
  IN  CHAR8                         *Language,
  OUT CHAR16                        **DriverName
  )
{
  return UsbSerialGetDriverName (reinterpret_cast<EFI_COMPONENT_NAME_PROTOCOL *>(This), Language, DriverName);
}

EFI_STATUS
EFIAPI
UsbSerialGetControllerName2 (
  IN  EFI_COMPONENT_NAME2_PROTOCOL  *This,
  IN  EFI_HANDLE                    ControllerHandle,
  IN  EFI_HANDLE                    ChildHandle OPTIONAL,
  IN  CHAR8                         *Language,
  OUT CHAR16                        **ControllerName
  )
{
  return UsbSerialGetControllerName (
                                     reinterpret_cast<EFI_COMPONENT_NAME_PROTOCOL *>(This),
                                     ControllerHandle,
                                     ChildHandle,
                                     Language,
                                     ControllerName
                                     );
}
} // namespace

EFI_COMPONENT_NAME_PROTOCOL  gUsbSerialComponentName = {
  UsbSerialGetDriverName,
  UsbSerialGetControllerName,
  const_cast<CHAR8 *>(mLanguageIso639)
};

EFI_COMPONENT_NAME2_PROTOCOL  gUsbSerialComponentName2 = {
  UsbSerialGetDriverName2,
  UsbSerialGetControllerName2,
  const_cast<CHAR8 *>(mLanguageRfc4646)
};

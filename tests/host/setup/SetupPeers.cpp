/** @file
  The peers of SetupPeers.h: device path bytes, named drivers, a serial child.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#include "SetupPeers.h"

#include <deque>

extern "C" {
#include <Guid/GlobalVariable.h>
#include <Protocol/ComponentName2.h>
#include <Protocol/DevicePath.h>
#include <Protocol/DriverBinding.h>
#include <Protocol/SerialIo.h>
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
std::deque<NAMED_DRIVER>            mDrivers;
std::deque<EFI_SERIAL_IO_PROTOCOL>  mSerialIos;
std::deque<EFI_USB_IO_PROTOCOL>     mUsbIos;
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
MultiInstance (std::initializer_list<BYTES> Instances)
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

BYTES AdapterPath () { return Cat ({ PciRoot (), Pci (2, 0), Usb (1) }); }
BYTES KeyboardPath () { return Cat ({ AdapterPath (), Uart (115200), FlowControl (0), End () }); }

EFI_HANDLE
AddDriver (const char16_t *Name)
{
  mDrivers.push_back ({});
  NAMED_DRIVER  &Driver = mDrivers.back ();

  Driver.Names.GetDriverName     = GetDriverName;
  Driver.Names.GetControllerName = GetControllerName;
  Driver.Names.SupportedLanguages = (CHAR8 *)"en";
  Driver.Name                    = Name;
  Driver.Binding.Version         = 0x0A;

  EFI_HANDLE  Handle = NULL;
  fake::Firmware::Install (&Handle, gEfiDriverBindingProtocolGuid, &Driver.Binding);
  fake::Firmware::Install (&Handle, gEfiComponentName2ProtocolGuid, &Driver.Names);
  Driver.Binding.ImageHandle         = Handle;
  Driver.Binding.DriverBindingHandle = Handle;
  return Handle;
}

SERIAL_PORT
AddSerialPort (EFI_HANDLE SerialDriver, const BYTES &ChildPath, bool KeyboardRunning)
{
  SERIAL_PORT  Port = { NULL, NULL };

  mUsbIos.push_back ({});
  fake::Firmware::Install (&Port.Converter, gEfiUsbIoProtocolGuid, &mUsbIos.back ());
  fake::Firmware::Install (&Port.Converter, gEfiDevicePathProtocolGuid, Keep (Cat ({ AdapterPath (), End () })));

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

} // namespace peer

/** @file
  The bridge model's control pipe and line.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#include "FakeUsbBridge.h"

#include <algorithm>
#include <cstring>

#include "FakeFirmware.h"

namespace fake {
namespace {

UsbBridge *
Bridge (EFI_USB_IO_PROTOCOL *This)
{
  return reinterpret_cast<UsbBridge *>(This);
}

EFI_STATUS EFIAPI
ControlTransfer (EFI_USB_IO_PROTOCOL *This, EFI_USB_DEVICE_REQUEST *Request, EFI_USB_DATA_DIRECTION Direction,
                 UINT32 Timeout, VOID *Data, UINTN DataLength, UINT32 *Status)
{
  UsbBridge  *B = Bridge (This);
  uint8_t    *Bytes = static_cast<uint8_t *>(Data);

  B->Transfers.push_back ({ *Request, Direction, {} });
  if (Direction == EfiUsbDataOut) {
    B->Transfers.back ().Data.assign (Bytes, Bytes + DataLength);
  }

  // A device stalls a request whose data stage disagrees with its setup packet.
  bool  In = (Request->RequestType & 0x80) != 0;
  bool  Stages = (DataLength == Request->Length) && ((Direction == EfiUsbNoData) == (DataLength == 0)) &&
                 ((DataLength == 0) || (In == (Direction == EfiUsbDataIn)));
  if (!Stages || ((B->FailNth != 0) && (--B->FailNth == 0))) {
    *Status = EFI_USB_ERR_STALL;
    return EFI_DEVICE_ERROR;
  }

  if (Direction == EfiUsbDataIn) {
    std::vector<uint8_t>  Answer (DataLength, 0);
    if ((Request->RequestType == USB_DEV_GET_DESCRIPTOR_REQ_TYPE) && (Request->Request == USB_REQ_GET_DESCRIPTOR)) {
      if ((Request->Value >> 8) != USB_DESC_TYPE_CONFIG) {
        *Status = EFI_USB_ERR_STALL;
        return EFI_DEVICE_ERROR;
      }
      Answer.assign (B->Config.begin (), B->Config.begin () + std::min<size_t> (DataLength, B->Config.size ()));
    } else {
      const std::vector<uint8_t>  &Set = B->InAnswers[Request->Request];
      std::copy_n (Set.begin (), std::min<size_t> (DataLength, Set.size ()), Answer.begin ());
    }
    std::copy (Answer.begin (), Answer.end (), Bytes);
    B->Transfers.back ().Data = Answer;
  }

  *Status = 0;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI
GetDeviceDescriptor (EFI_USB_IO_PROTOCOL *This, EFI_USB_DEVICE_DESCRIPTOR *Descriptor)
{
  *Descriptor = Bridge (This)->Device;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI
GetInterfaceDescriptor (EFI_USB_IO_PROTOCOL *This, EFI_USB_INTERFACE_DESCRIPTOR *Descriptor)
{
  *Descriptor = Bridge (This)->Interface;
  if (!Bridge (This)->Endpoints.empty ()) {
    Descriptor->NumEndpoints = (UINT8)Bridge (This)->Endpoints.size ();
  }
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI
GetEndpointDescriptor (EFI_USB_IO_PROTOCOL *This, UINT8 Index, EFI_USB_ENDPOINT_DESCRIPTOR *Descriptor)
{
  UsbBridge  *B = Bridge (This);
  if (Index >= B->Endpoints.size ()) {
    return EFI_NOT_FOUND;
  }
  *Descriptor = B->Endpoints[Index];
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI
BulkTransfer (EFI_USB_IO_PROTOCOL *This, UINT8 Endpoint, VOID *Data, UINTN *DataLength, UINTN Timeout, UINT32 *Status)
{
  UsbBridge  *B = Bridge (This);
  uint8_t    *Bytes = static_cast<uint8_t *>(Data);

  B->BulkEndpoints.push_back (Endpoint);
  B->BulkLengths.push_back (*DataLength);
  if ((Endpoint != B->LineIn) && (Endpoint != B->LineOut)) {
    *DataLength = 0;
    *Status     = EFI_USB_ERR_SYSTEM;
    return EFI_DEVICE_ERROR;
  }
  *Status = 0;
  if (Endpoint == B->LineOut) {
    B->Sent.insert (B->Sent.end (), Bytes, Bytes + *DataLength);
    return EFI_SUCCESS;
  }
  // A bridge with nothing to send NAKs until the host controller times the transfer out.
  if (B->Received.empty ()) {
    Firmware::AdvanceUs (Timeout * 1000ull);
    *DataLength = 0;
    *Status     = EFI_USB_ERR_TIMEOUT;
    return EFI_TIMEOUT;
  }
  size_t  Moved = std::min<size_t> (*DataLength, B->Received.size ());
  std::copy_n (B->Received.begin (), Moved, Bytes);
  B->Received.erase (B->Received.begin (), B->Received.begin () + Moved);
  *DataLength = Moved;
  return EFI_SUCCESS;
}

} // namespace

UsbBridge::UsbBridge ()
{
  std::memset (&UsbIo, 0, sizeof (UsbIo));
  UsbIo.UsbControlTransfer        = ControlTransfer;
  UsbIo.UsbGetDeviceDescriptor    = GetDeviceDescriptor;
  UsbIo.UsbGetInterfaceDescriptor = GetInterfaceDescriptor;
  UsbIo.UsbGetEndpointDescriptor  = GetEndpointDescriptor;
  UsbIo.UsbBulkTransfer           = BulkTransfer;
  DevicePath = { 0x01, 0x01, 0x06, 0x00, 0x00, 0x14, 0x7F, 0xFF, 0x04, 0x00 };
}

EFI_HANDLE
UsbBridge::Plug ()
{
  Handle = Firmware::NewHandle ();
  Firmware::Install (&Handle, gEfiUsbIoProtocolGuid, &UsbIo);
  Firmware::Install (&Handle, gEfiDevicePathProtocolGuid, DevicePath.data ());
  return Handle;
}

std::vector<std::vector<uint8_t>>
UsbBridge::Setups (size_t From) const
{
  std::vector<std::vector<uint8_t>>  Out;
  for (size_t I = From; I < Transfers.size (); I++) {
    const EFI_USB_DEVICE_REQUEST  &S = Transfers[I].Setup;
    Out.push_back ({ S.RequestType, S.Request, (uint8_t)S.Value, (uint8_t)(S.Value >> 8), (uint8_t)S.Index });
    if (Transfers[I].Direction == EfiUsbDataOut) {
      Out.back ().insert (Out.back ().end (), Transfers[I].Data.begin (), Transfers[I].Data.end ());
    }
  }
  return Out;
}

EFI_USB_ENDPOINT_DESCRIPTOR
Endpoint (uint8_t Address, uint8_t Type)
{
  EFI_USB_ENDPOINT_DESCRIPTOR  E = {};
  E.Length          = sizeof (E);
  E.DescriptorType  = USB_DESC_TYPE_ENDPOINT;
  E.EndpointAddress = Address;
  E.Attributes      = Type;
  E.MaxPacketSize   = 64;
  return E;
}

} // namespace fake

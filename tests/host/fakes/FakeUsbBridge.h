/** @file
  Any USB-serial bridge behind EFI_USB_IO_PROTOCOL: descriptors and IN answers a test
  sets, every control transfer recorded, and a bulk pair that carries the line.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#ifndef FAKE_USB_BRIDGE_H_
#define FAKE_USB_BRIDGE_H_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <vector>

extern "C" {
#include <Uefi.h>
#include <Protocol/UsbIo.h>
#include <Protocol/DevicePath.h>
}

namespace fake {

struct CONTROL_TRANSFER {
  EFI_USB_DEVICE_REQUEST    Setup;
  EFI_USB_DATA_DIRECTION    Direction;
  std::vector<uint8_t>      Data;       // what an OUT carried; an IN's answer
};

struct UsbBridge {
  EFI_USB_IO_PROTOCOL             UsbIo;       // first, so This leads back to the bridge

  EFI_USB_DEVICE_DESCRIPTOR       Device    = {};
  EFI_USB_INTERFACE_DESCRIPTOR    Interface = {};
  // GET_DESCRIPTOR (configuration) answers these bytes, as many as wLength asks and no
  // more than there are; a short answer leaves the rest of the buffer as it was.
  std::vector<uint8_t>            Config;
  // A vendor or class IN request answers InAnswers[bRequest], zeros where it is short.
  std::map<uint8_t, std::vector<uint8_t>>  InAnswers;
  // The FailNth control transfer from now (1 = the next) stalls; 0 = none.
  size_t                          FailNth = 0;
  std::vector<CONTROL_TRANSFER>   Transfers;   // every one, a failed one included

  // The bound interface's endpoints, by index; the interface descriptor counts them.
  std::vector<EFI_USB_ENDPOINT_DESCRIPTOR>  Endpoints;
  // The endpoints that carry the line; a transfer on any other fails as the host
  // controller's error would.
  uint8_t                         LineIn  = 0x81;
  uint8_t                         LineOut = 0x01;
  std::deque<uint8_t>             Received;    // what a bulk-IN answers, raw; none: NAKed until it times out
  std::vector<uint8_t>            Sent;        // everything bulk-OUT delivered
  std::vector<uint8_t>            BulkEndpoints;   // the endpoint of every bulk transfer, in order
  std::vector<size_t>             BulkLengths;     // and the length it asked for

  EFI_HANDLE                      Handle = nullptr;
  std::vector<uint8_t>            DevicePath;  // a PCI-like adapter path

  UsbBridge ();
  // Creates a handle carrying this USB I/O and its device path.
  EFI_HANDLE Plug ();
  // The control transfers from the From'th on, each as RequestType, Request, wValue's two
  // bytes, wIndex's low byte, then the bytes an OUT carried.
  std::vector<std::vector<uint8_t>> Setups (size_t From = 0) const;
};

// An endpoint descriptor of 64-byte packets.
EFI_USB_ENDPOINT_DESCRIPTOR
Endpoint (uint8_t Address, uint8_t Type = USB_ENDPOINT_BULK);

} // namespace fake

#endif

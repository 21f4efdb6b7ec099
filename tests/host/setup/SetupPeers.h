/** @file
  What the setup tool meets in firmware, for its host tests: device paths as
  bytes, our two drivers by their names, a converter with its serial child and
  the keyboard's text input on that child.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#ifndef SETUP_PEERS_H_
#define SETUP_PEERS_H_

#include <cstdint>
#include <vector>

#include "FakeFirmware.h"

namespace peer {

using BYTES = std::vector<uint8_t>;

// Device path nodes as the firmware stores them (type, subtype, 16-bit length, data).
BYTES Node (uint8_t Type, uint8_t SubType, const BYTES &Data);
BYTES PciRoot ();
BYTES Pci (uint8_t Device, uint8_t Function);
BYTES Usb (uint8_t Port);
BYTES Uart (uint32_t Baud);
BYTES FlowControl (uint32_t Map);
BYTES TerminalVt100 ();
BYTES Ps2Keyboard ();
BYTES EndInstance ();
BYTES End ();
BYTES Cat (std::initializer_list<BYTES> Parts);

// ConIn as a platform would hold it, from whole single-instance paths (each with its End).
BYTES MultiInstance (std::initializer_list<BYTES> Instances);

BYTES AdapterPath ();            // PciRoot/Pci/USB of the FT232
BYTES KeyboardPath ();           // adapter, Uart(115200), flow control, End

// A loaded driver: a driver binding handle with a component name 2 protocol.
EFI_HANDLE AddDriver (const char16_t *Name);

// The FT232 converter and the serial child the serial driver made for it; the
// keyboard's text input goes on the child when Running.
struct SERIAL_PORT {
  EFI_HANDLE  Converter;
  EFI_HANDLE  Child;
};
SERIAL_PORT AddSerialPort (EFI_HANDLE SerialDriver, const BYTES &ChildPath, bool KeyboardRunning);

// Sets a variable as firmware would hold it.
void PutConIn (const BYTES &Value, UINT32 Attributes);
BYTES ReadConIn (UINT32 *Attributes = nullptr);
bool  HasConIn ();

} // namespace peer

#endif

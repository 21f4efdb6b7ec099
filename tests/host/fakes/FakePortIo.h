/** @file
  The legacy I/O port space as a test sees it: every access recorded in order,
  and a line status register that can be made to never report "transmitter empty".
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#ifndef FAKE_PORT_IO_H_
#define FAKE_PORT_IO_H_

#include <cstdint>
#include <string>
#include <vector>

namespace fake {

struct PORT_ACCESS {
  bool        Write;
  uint16_t    Port;
  uint8_t     Value;
};

class PortIo {
public:
  // Starts over: no accesses, and a UART whose transmitter is always ready.
  static void Reset ();

  static const std::vector<PORT_ACCESS> &Accesses ();
  // Bytes written to Port, in order.
  static std::string Written (uint16_t Port);
  static size_t Reads (uint16_t Port);

  // The line status register (0x3FD) reads this value; 0x60 is an idle 16550.
  static void SetLineStatus (uint8_t Value);
  // After Count more reads of 0x3FD the register reads as Value (a UART that stalls).
  static void SetLineStatusAfter (size_t Count, uint8_t Value);
};

} // namespace fake

#endif

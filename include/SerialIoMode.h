/** @file
  Putting a serial line back to the settings a Serial I/O mode records: the keyboard after
  a probe found no reader, the test app after it lengthened a port's timeout.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef SERIAL_IO_MODE_H_
#define SERIAL_IO_MODE_H_

extern "C" {
#include <Uefi.h>
#include <Protocol/SerialIo.h>
}

/**
  Sets a line's attributes to those Mode records. Mode may be a copy the caller took and
  changed, or the line's own.

  @return SetAttributes' status.
**/
inline
EFI_STATUS
SerialIoModeApply (
  IN EFI_SERIAL_IO_PROTOCOL    *SerialIo,
  IN CONST EFI_SERIAL_IO_MODE  *Mode
  )
{
  return SerialIo->SetAttributes (
                                  SerialIo,
                                  Mode->BaudRate,
                                  Mode->ReceiveFifoDepth,
                                  Mode->Timeout,
                                  static_cast<EFI_PARITY_TYPE>(Mode->Parity),
                                  static_cast<UINT8>(Mode->DataBits),
                                  static_cast<EFI_STOP_BITS_TYPE>(Mode->StopBits)
                                  );
}

#endif

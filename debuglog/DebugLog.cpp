/** @file
  The COM1 log channel: module name, level names, UART set-up and line output.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#include "DebugLog.h"

#if DEBUG_LOG_CHANNEL

extern "C" {
#include <Library/BaseLib.h>
#include <Library/IoLib.h>
#include <Library/PrintLib.h>
}

namespace {
enum : UINTN {
  LevelIndexInfo  = 0,
  LevelIndexWarn  = 1,
  LevelIndexError = 2,
  LevelIndexOther = 3,
};

// Exact comparison: a level that combines several bits has no name.
UINTN
LevelIndex (
  UINTN  Level
  )
{
  if (Level == DEBUG_WARN) {
    return LevelIndexWarn;
  }

  if (Level == DEBUG_INFO) {
    return LevelIndexInfo;
  }

  if (Level == DEBUG_ERROR) {
    return LevelIndexError;
  }

  return LevelIndexOther;
}

// Waits a bounded time for the transmit holding register to empty; EFI_TIMEOUT when it
// stays full.
EFI_STATUS
WaitTransmitterReady (
  VOID
  )
{
  for (UINTN Poll = 0; Poll < DEBUG_LOG_TX_READY_POLLS; Poll++) {
    if ((IoRead8 (DEBUG_LOG_PORT_LINE_STATUS) & DEBUG_LOG_LSR_THR_EMPTY) != 0) {
      return EFI_SUCCESS;
    }
  }

  return EFI_TIMEOUT;
}
} // namespace

extern "C" {
CHAR8  mModuleName[DEBUG_LOG_NAME_SIZE] = "NONAME";

CONST CHAR8  *CONST  mLevelNames[4] = { "INFO", "WARN", "ERROR", "" };

VOID
DebugLogInit (
  IN CONST CHAR8  *ModuleName
  )
{
  // A name that does not fit is refused whole by the safe copy, which leaves "NONAME".
  (VOID)AsciiStrCpyS (mModuleName, DEBUG_LOG_NAME_SIZE, ModuleName);

  IoWrite8 (DEBUG_LOG_PORT_LINE_CONTROL, 0x87);   // DLAB on, 8 data bits, 2 stop bits
  IoWrite8 (DEBUG_LOG_PORT_DIVISOR_HIGH, 0x00);
  IoWrite8 (DEBUG_LOG_PORT_DATA, 0x01);           // divisor 1: 115200 baud
  IoWrite8 (DEBUG_LOG_PORT_LINE_CONTROL, 0x07);   // DLAB off, same format
}

VOID
EFIAPI
DebugLogPrint (
  IN UINTN        Level,
  IN CONST CHAR8  *Format,
  ...
  )
{
  if (Format == NULL) {
    return;
  }

  CHAR8    Message[DEBUG_LOG_LINE_SIZE];
  CHAR8    Line[DEBUG_LOG_LINE_SIZE];
  VA_LIST  Marker;

  VA_START (Marker, Format);
  AsciiVSPrint (Message, sizeof (Message), Format, Marker);
  VA_END (Marker);

  AsciiSPrint (Line, sizeof (Line), "[%a | %a] %a", mModuleName, mLevelNames[LevelIndex (Level)], Message);

  for (UINTN Index = 0; Line[Index] != '\0'; Index++) {
    // A transmitter that never empties costs one bounded wait, then the rest of the line.
    if (EFI_ERROR (WaitTransmitterReady ())) {
      return;
    }

    IoWrite8 (DEBUG_LOG_PORT_DATA, static_cast<UINT8>(Line[Index]));
  }
}
} // extern "C"

#endif

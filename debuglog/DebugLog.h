/** @file
  Levelled log lines on the legacy COM1 UART, for the x86 debug builds of both drivers.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#ifndef DEBUG_LOG_H_
#define DEBUG_LOG_H_

  #ifdef __cplusplus
extern "C" {
  #endif
  #include <Uefi.h>
  #include <Library/DebugLib.h> // DEBUG_INFO, DEBUG_WARN, DEBUG_ERROR
  #ifdef __cplusplus
}
  #endif

// COM1 at port 0x3F8 is PC hardware: other machines have neither the UART nor port
// instructions, so there the channel is absent in debug builds as in release ones.
  #if !defined (MDEPKG_NDEBUG) && (defined (MDE_CPU_IA32) || defined (MDE_CPU_X64))
#define DEBUG_LOG_CHANNEL  1
  #else
#define DEBUG_LOG_CHANNEL  0
  #endif

  #if DEBUG_LOG_CHANNEL

    #ifdef __cplusplus
extern "C" {
    #endif

#define DEBUG_LOG_NAME_SIZE  32
#define DEBUG_LOG_LINE_SIZE  256

// A line gives up once the transmitter has stayed busy for this many status reads
// in a row, so a machine without a working COM1 still boots.
#define DEBUG_LOG_TX_READY_POLLS  10000

#define DEBUG_LOG_PORT_DATA          0x3F8
#define DEBUG_LOG_PORT_DIVISOR_HIGH  0x3F9
#define DEBUG_LOG_PORT_LINE_CONTROL  0x3FB
#define DEBUG_LOG_PORT_LINE_STATUS   0x3FD
#define DEBUG_LOG_LSR_THR_EMPTY      0x20

extern CHAR8                mModuleName[DEBUG_LOG_NAME_SIZE];
extern CONST CHAR8  *CONST  mLevelNames[4];

/**
  Takes the module name every later line carries and programs COM1 for
  115200 baud, 8 data bits, no parity, 2 stop bits. Call it from the entry point before
  the first line: lines before it go out at whatever rate COM1 was left at.

  @param[in] ModuleName  NUL-terminated; NULL or 32 characters or more keep the name
                         held before ("NONAME" at first).
**/
VOID
DebugLogInit (
  IN CONST CHAR8  *ModuleName
  );

/**
  Writes one "[Module | LEVEL] message" line to COM1. Only port I/O, no boot service,
  so it may be called at any TPL; a line is cut at 255 characters, and a transmitter
  that stays busy ends it early. Lines from notifies that preempt one another may
  interleave.

  @param[in] Level   DEBUG_INFO, DEBUG_WARN or DEBUG_ERROR; anything else, a combination
                     included, prints no name.
  @param[in] Format  An ASCII PrintLib format, line end included; NULL sends nothing.
  @param[in] ...     The format's arguments.
**/
VOID
EFIAPI
DebugLogPrint (
  IN UINTN        Level,
  IN CONST CHAR8  *Format,
  ...
  );

    #ifdef __cplusplus
}
    #endif

#define DEBUG_LOG_INIT(ModuleName)  DebugLogInit (ModuleName)
#define DEBUG_LOG(Level, ...)       DebugLogPrint ((Level), __VA_ARGS__)

  #else

// Release builds, and every build for a machine without COM1: no channel, and every
// call site vanishes with its text and arguments.
#define DEBUG_LOG_INIT(ModuleName)  do { } while (FALSE)
#define DEBUG_LOG(Level, ...)       do { } while (FALSE)

  #endif

#endif

/** @file
  NfcKeyboardSetup's parts: the ConIn edits, finding our drivers and the running
  keyboard, and the commands, each callable on its own so host tests can drive it.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#ifndef NFC_KEYBOARD_SETUP_H_
#define NFC_KEYBOARD_SETUP_H_

extern "C" {
#include <Uefi.h>
#include <Protocol/DevicePath.h>
}

//
// What a look-up in, or an edit of, a multi-instance ConIn value found.
//
enum CONIN_RESULT {
  ConInChanged,       ///< An edit built the whole new value (NULL and 0 bytes: nothing is left).
  ConInHasIt,         ///< The instance is in ConIn already.
  ConInLacksIt,       ///< The instance is not in ConIn.
  ConInMalformed,     ///< ConIn's bytes are no valid device path; nothing was built.
  ConInBadInstance,   ///< The instance is not one valid single-instance device path.
  ConInNoMemory
};

//
// ConIn as bytes: Size 0 (ConIn NULL) stands for an absent variable.
//
BOOLEAN
ConInIsWellFormed (
  IN CONST VOID  *ConIn,
  IN UINTN       Size
  );

UINTN
ConInInstanceCount (
  IN CONST VOID  *ConIn,
  IN UINTN       Size
  );

CONIN_RESULT
ConInFind (
  IN CONST VOID                      *ConIn,
  IN UINTN                           Size,
  IN CONST EFI_DEVICE_PATH_PROTOCOL  *Instance
  );

/**
  Builds ConIn with Instance appended, unless it holds Instance already.

  @retval ConInChanged  *NewConIn (pool, the caller frees it) and *NewSize hold the new value.
**/
CONIN_RESULT
ConInAdd (
  IN  CONST VOID                      *ConIn,
  IN  UINTN                           Size,
  IN  CONST EFI_DEVICE_PATH_PROTOCOL  *Instance,
  OUT EFI_DEVICE_PATH_PROTOCOL        **NewConIn,
  OUT UINTN                           *NewSize
  );

/**
  Builds ConIn without any instance equal to Instance, keeping the others in order.

  @retval ConInChanged  *NewConIn and *NewSize hold the new value; NULL and 0 when
                        Instance was all that ConIn held.
**/
CONIN_RESULT
ConInRemove (
  IN  CONST VOID                      *ConIn,
  IN  UINTN                           Size,
  IN  CONST EFI_DEVICE_PATH_PROTOCOL  *Instance,
  OUT EFI_DEVICE_PATH_PROTOCOL        **NewConIn,
  OUT UINTN                           *NewSize
  );

//
// The firmware's handles.
//
BOOLEAN
DevicePathEndsInUartFlowControl (
  IN CONST EFI_DEVICE_PATH_PROTOCOL  *DevicePath
  );

/**
  The driver-binding handle of the loaded driver whose component name 2
  protocol calls itself DriverName in "en", or NULL.
**/
EFI_HANDLE
FindDriverByName (
  IN CONST CHAR16  *DriverName
  );

/**
  Finds the NFC keyboard's text-input handle: Simple Text Input Ex and Serial I/O
  on one handle whose device path ends in a UART flow-control node.

  @retval EFI_NOT_FOUND  No keyboard runs.
**/
EFI_STATUS
FindNfcKeyboard (
  OUT EFI_HANDLE                *Handle,
  OUT EFI_DEVICE_PATH_PROTOCOL  **DevicePath
  );

/**
  The serial children SerialDriver made, one per FT232 converter: the handles
  for which it opened a converter's USB I/O BY_CHILD_CONTROLLER.

  @param[out] Children  Pool array the caller frees; NULL when Count is 0.
**/
EFI_STATUS
FindFtdiChildren (
  IN  EFI_HANDLE  SerialDriver,
  OUT EFI_HANDLE  **Children,
  OUT UINTN       *Count
  );

//
// The command line.
//

/**
  Splits a command line in place into words at blanks; double quotes group.

  @return The number of words stored in Argv (at most MaxArgs).
**/
UINTN
SplitCommandLine (
  IN OUT CHAR16  *Line,
  OUT    CHAR16  **Argv,
  IN     UINTN   MaxArgs
  );

/**
  Runs one command. Argv[0] is the program's name, as the shell passes it.

  @return What the shell shows as the command's status: EFI_SUCCESS, or the failure.
**/
EFI_STATUS
NfcKeyboardSetupRun (
  IN UINTN          Argc,
  IN CONST CHAR16   *CONST *Argv
  );

#endif

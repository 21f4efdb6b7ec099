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

extern "C" {
#include <Library/MemoryAllocationLib.h>
#include <Library/UefiBootServicesTableLib.h>
}

#include <NfcKeyboardNames.h>

constexpr char16_t  mSerialDriverName[]   = USB_SERIAL_DRIVER_NAME;
constexpr char16_t  mKeyboardDriverName[] = NFC_KEYBOARD_DRIVER_NAME;

// char16_t literals as the firmware's CHAR16 strings.
inline CONST CHAR16 *
W (const char16_t *Text)
{
  return reinterpret_cast<CONST CHAR16 *>(Text);
}

inline CHAR16 *
MutableName (const char16_t *Text)
{
  return const_cast<CHAR16 *>(W (Text));
}

// A pool buffer owned by one scope.
template<typename T>
class PoolPtr {
public:
  PoolPtr () : mPointer (NULL) {}
  explicit PoolPtr (T *Pointer) : mPointer (Pointer) {}
  ~PoolPtr () { Reset (); }
  PoolPtr (const PoolPtr &) = delete;
  PoolPtr &operator= (const PoolPtr &) = delete;

  T *Get () const { return mPointer; }
  T **Out () { Reset (); return &mPointer; }

  // Lets go of the buffer without freeing it (it was freed or handed on elsewhere).
  T *
  Release ()
  {
    T  *Pointer = mPointer;

    mPointer = NULL;
    return Pointer;
  }

  VOID
  Reset (T *Pointer = NULL)
  {
    if (mPointer != NULL) {
      FreePool (mPointer);
    }

    mPointer = Pointer;
  }

private:
  T  *mPointer;
};

// A LocateHandleBuffer result, freed on every way out; empty when none has the protocol.
class HandleBuffer {
public:
  explicit HandleBuffer (EFI_GUID *Protocol) : mCount (0)
  {
    if (EFI_ERROR (gBS->LocateHandleBuffer (ByProtocol, Protocol, NULL, &mCount, mHandles.Out ()))) {
      mCount = 0;
    }
  }

  HandleBuffer (const HandleBuffer &) = delete;
  HandleBuffer &operator= (const HandleBuffer &) = delete;

  UINTN      Count () const { return mCount; }
  EFI_HANDLE operator[] (UINTN Index) const { return mHandles.Get ()[Index]; }

private:
  UINTN                mCount;
  PoolPtr<EFI_HANDLE>  mHandles;
};

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

//
// The FT232 console entries of ConIn.
//

/**
  TRUE when Instance (one instance, end node included) has the shape of a console
  on an FT232 serial child: the adapter (its full USB path, or a USB class node
  naming the FT232), a Uart node and a flow-control node, and nothing after them.
**/
BOOLEAN
IsFt232ConsoleInstance (
  IN CONST EFI_DEVICE_PATH_PROTOCOL  *Instance
  );

/**
  The ConIn entry an install writes: any FT232 on any USB port, as the keyboard
  publishes itself (115200 8N1, no flow control). Static storage; never freed.
**/
CONST EFI_DEVICE_PATH_PROTOCOL *
NfcKeyboardConInEntry (
  VOID
  );

/**
  Builds ConIn with every FT232 console instance taken out, except one copy of Keep
  (NULL: none), which is appended when ConIn lacks it. Other instances keep their order.

  @retval ConInChanged    *NewConIn and *NewSize hold the new value (NULL and 0: nothing left).
  @retval ConInHasIt      ConIn is as it should be already; nothing was built.
  @retval ConInMalformed  ConIn is no valid device path.
**/
CONIN_RESULT
ConInSetFt232Entries (
  IN  CONST VOID                      *ConIn,
  IN  UINTN                           Size,
  IN  CONST EFI_DEVICE_PATH_PROTOCOL  *Keep OPTIONAL,
  OUT EFI_DEVICE_PATH_PROTOCOL        **NewConIn,
  OUT UINTN                           *NewSize
  );

//
// Driver#### load options.
//

/**
  TRUE when Option is a well-formed EFI_LOAD_OPTION of Size bytes whose file path
  ends in a file named FileName (letter case aside). A malformed option names nothing.
**/
BOOLEAN
LoadOptionNamesImage (
  IN CONST VOID    *Option,
  IN UINTN         Size,
  IN CONST CHAR16  *FileName
  );

/**
  Builds an active load option: Description, then FilePath; no optional data.

  @return A pool buffer the caller frees, or NULL when memory runs out.
**/
VOID *
LoadOptionBuild (
  IN  CONST CHAR16                    *Description,
  IN  CONST EFI_DEVICE_PATH_PROTOCOL  *FilePath,
  OUT UINTN                           *Size
  );

/**
  Makes one Driver#### option load FilePath: the first option that names the same
  file is rewritten where it differs, further ones are deleted, and a new one takes
  the lowest number that no Driver#### variable and no DriverOrder entry holds.
  DriverOrder keeps its order and gains the number at its end when it lacks it.
  Options that are not well-formed load options are left as they are.
**/
EFI_STATUS
DriverOptionEnsure (
  IN CONST CHAR16                    *FileName,
  IN CONST CHAR16                    *Description,
  IN CONST EFI_DEVICE_PATH_PROTOCOL  *FilePath
  );

/**
  Deletes every well-formed Driver#### option whose file is named FileName, and its
  DriverOrder entries; everything else stays byte for byte.
**/
EFI_STATUS
DriverOptionRemove (
  IN CONST CHAR16  *FileName
  );

//
// Install and uninstall.
//

/**
  Copies the images to \EFI\NfcKeyboard\ on the EFI system partition, writes the
  load options, ZorvikConf and ConIn, and starts the drivers that do not run.

  @param[in] Folder  Where the driver images are (a shell path), or NULL: the shell's
                     current folder, or without a shell the tool's own folder.
**/
EFI_STATUS
NfcKeyboardInstall (
  IN CONST CHAR16  *Folder OPTIONAL
  );

/**
  Takes out what an install put in, with or without the reader and the drivers.
**/
EFI_STATUS
NfcKeyboardUninstall (
  VOID
  );

/**
  The status report of the status command.
**/
EFI_STATUS
NfcKeyboardShowStatus (
  VOID
  );

/**
  Writes ZorvikConf, and says what that does.
**/
EFI_STATUS
NfcKeyboardSetEnabled (
  IN UINT8  Enabled
  );

/**
  Puts the install's FT232 entry into ConIn (Install) or takes every FT232 console
  entry out of it, and says what changed.
**/
EFI_STATUS
NfcKeyboardSetConInEntry (
  IN BOOLEAN  Install
  );

/**
  The menu shown when the firmware starts the tool with no command: the status, then
  install, uninstall, status or quit, answered from the console's keyboard.
**/
EFI_STATUS
NfcKeyboardMenu (
  VOID
  );

#endif

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
#include <Library/MemoryAllocationLib.h>
#include <Library/UefiBootServicesTableLib.h>
}

#include <Char16.h>
#include <PoolPtr.h>
#include <UartPath.h>
#include <NfcKeyboardNames.h>

constexpr auto  gSerialDriverName   = Char16 (USB_SERIAL_DRIVER_NAME);
constexpr auto  gUsbUartDriverName  = Char16 (USB_UART_DRIVER_NAME);
constexpr auto  gKeyboardDriverName = Char16 (NFC_KEYBOARD_DRIVER_NAME);

struct INSTALLED_DRIVER {
  CONST CHAR16    *FileName;
  CONST CHAR16    *Name;      ///< The driver's own name, and its load option's description.
  /// What an install without the image leaves out, for a driver that folders made before
  /// it existed lack; NULL for one no install goes without.
  CONST CHAR16    *Lacking;
};

// In load order, the serial drivers' options first in DriverOrder; the keyboard driver
// last, as the uninstall asks whether it is built in.
constexpr INSTALLED_DRIVER  gDrivers[] = {
  { CHAR16_TEXT (u"OstrelDriver.efi"), gSerialDriverName.Text,   NULL },
  { CHAR16_TEXT (u"UsbUartDxe.efi"),   gUsbUartDriverName.Text,
    CHAR16_TEXT (u"readers on USB-serial bridges other than the FT232 (CP210x, CH340, PL2303, CDC ACM, FTDI's other chips) are not covered") },
  { CHAR16_TEXT (u"ZorvikDxe.efi"),    gKeyboardDriverName.Text, NULL },
};

// Where an install puts the images on the EFI system partition, and the longest path
// text the tool handles.
constexpr auto   gInstallFolder = Char16 (u"\\EFI\\NfcKeyboard");
constexpr UINTN  PATH_CHARS     = 256;

// A LocateHandleBuffer result, freed on every way out; empty when none has the protocol.
// Without a protocol it holds every handle.
// *INDENT-OFF*
class HandleBuffer {
public:
  explicit HandleBuffer (EFI_GUID *Protocol = NULL) : mCount (0)
  {
    EFI_LOCATE_SEARCH_TYPE  Search = (Protocol != NULL) ? ByProtocol : AllHandles;

    if (EFI_ERROR (gBS->LocateHandleBuffer (Search, Protocol, NULL, &mCount, mHandles.Out ()))) {
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
// *INDENT-ON*

//
// What a look-up in, or an edit of, a multi-instance ConIn value found:
//
//   EFI_SUCCESS            An edit built the whole new value (NULL and 0 bytes: nothing is left).
//   EFI_ALREADY_STARTED    The instance is in ConIn already.
//   EFI_NOT_FOUND          The instance is not in ConIn.
//   EFI_COMPROMISED_DATA   ConIn's bytes are no valid device path; nothing was built.
//   EFI_INVALID_PARAMETER  The instance is not one valid single-instance device path.
//   EFI_OUT_OF_RESOURCES   No pool for a copy or for the new value.
//

//
// ConIn as bytes: Size 0 (ConIn NULL) stands for an absent variable.
//

/**
  Tells whether ConIn's bytes are one whole device path, its end node closing the last byte.

  @param[in] ConIn  The value, or NULL.
  @param[in] Size   Its size in bytes.

  @return TRUE for a value an edit may rewrite.
**/
BOOLEAN
ConInIsWellFormed (
  IN CONST VOID  *ConIn,
  IN UINTN       Size
  );

/**
  Counts the instances of a well-formed ConIn.

  @param[in] ConIn  The value.
  @param[in] Size   Its size in bytes; 0 for an absent ConIn.

  @return The instances; 0 for an absent or malformed value.
**/
UINTN
ConInInstanceCount (
  IN CONST VOID  *ConIn,
  IN UINTN       Size
  );

/**
  Looks for one instance in ConIn, byte for byte.

  @param[in] ConIn     The value.
  @param[in] Size      Its size in bytes; 0 for an absent ConIn.
  @param[in] Instance  One single-instance device path.

  @retval EFI_ALREADY_STARTED    ConIn holds Instance.
  @retval EFI_NOT_FOUND          It does not, or ConIn is absent.
  @retval EFI_COMPROMISED_DATA   ConIn is no valid device path.
  @retval EFI_INVALID_PARAMETER  Instance is not one valid single-instance path.
  @retval EFI_OUT_OF_RESOURCES   A copy of an instance could not be made.
**/
EFI_STATUS
ConInFind (
  IN CONST VOID                      *ConIn,
  IN UINTN                           Size,
  IN CONST EFI_DEVICE_PATH_PROTOCOL  *Instance
  );

/**
  Builds ConIn with Instance appended, unless it holds Instance already.

  @param[in]  ConIn      The value; Size 0 for an absent ConIn.
  @param[in]  Size       Its size in bytes.
  @param[in]  Instance   One single-instance device path.
  @param[out] NewConIn   The new value, a pool buffer the caller frees; NULL unless EFI_SUCCESS.
  @param[out] NewSize    Its size in bytes.

  @retval EFI_SUCCESS  *NewConIn and *NewSize hold the new value.
  @retval other        As ConInFind; nothing was built.
**/
EFI_STATUS
ConInAdd (
  IN  CONST VOID                      *ConIn,
  IN  UINTN                           Size,
  IN  CONST EFI_DEVICE_PATH_PROTOCOL  *Instance,
  OUT EFI_DEVICE_PATH_PROTOCOL        **NewConIn,
  OUT UINTN                           *NewSize
  );

//
// Variables as the firmware holds them.
//

// A whole variable; Status EFI_NOT_FOUND means absent, any other error unreadable.
struct STORED_VARIABLE {
  EFI_STATUS       Status;
  PoolPtr<VOID>    Data;
  UINTN            Size;
  UINT32           Attributes;
};

VOID
ReadVariable (
  IN  CONST CHAR16     *Name,
  IN  EFI_GUID         *Guid,
  OUT STORED_VARIABLE  *Variable
  );

/**
  Gives a variable a value, or deletes it (Size 0), whatever attributes it was stored
  with: firmware refuses a write under other attributes, so such a variable is deleted
  first and, when the write is then refused, put back as it was.

  @retval EFI_SUCCESS  The variable holds the value (an absent one stays absent for Size 0).
  @retval other        The write was refused; the variable is as it was, as far as the
                       firmware lets it be put back.
**/
EFI_STATUS
ReplaceVariable (
  IN CONST CHAR16  *Name,
  IN EFI_GUID      *Guid,
  IN UINT32        Attributes,
  IN UINTN         Size,
  IN CONST VOID    *Data
  );

//
// The firmware's handles.
//

/**
  Finds a loaded driver by the name its component name 2 protocol gives in "en".

  @param[in] DriverName  The name.

  @return Its driver-binding handle, or NULL when no such driver is loaded.
**/
EFI_HANDLE
FindDriverByName (
  IN CONST CHAR16  *DriverName
  );

/**
  Tells whether a loaded driver came with the firmware: its image was read from a
  firmware volume (an FvFile node), not from a file.

  @param[in] DriverBinding  The driver's binding handle, as FindDriverByName gives it.

  @return TRUE for a driver built into the firmware.
**/
BOOLEAN
DriverIsBuiltIn (
  IN EFI_HANDLE  DriverBinding
  );

/**
  Finds the NFC keyboard's text-input handle: Simple Text Input Ex and Serial I/O
  on one handle whose device path ends in a UART flow-control node.

  @param[out] Handle      The keyboard's handle; NULL when none runs.
  @param[out] DevicePath  Its device path, owned by the firmware: do not free it.

  @retval EFI_SUCCESS    A keyboard runs.
  @retval EFI_NOT_FOUND  No keyboard runs.
**/
EFI_STATUS
FindNfcKeyboard (
  OUT EFI_HANDLE                *Handle,
  OUT EFI_DEVICE_PATH_PROTOCOL  **DevicePath
  );

/**
  The serial lines SerialDriver made, one per USB-serial bridge: the handles for which
  it opened a bridge's USB I/O BY_CHILD_CONTROLLER, each once however many of the
  bridge's interfaces it holds for it.

  @param[in]  SerialDriver  The serial driver's binding handle, or NULL (none loaded: no lines).
  @param[out] Children      Pool array the caller frees; NULL when Count is 0.
  @param[out] Count         The lines found.

  @retval EFI_SUCCESS           The list is complete (it may be empty).
  @retval EFI_OUT_OF_RESOURCES  No pool for the list.
**/
EFI_STATUS
FindSerialLines (
  IN  EFI_HANDLE  SerialDriver,
  OUT EFI_HANDLE  **Children,
  OUT UINTN       *Count
  );

/**
  The bridge a serial line (or the keyboard on it) sits on: the USB interface its path
  leads through, as ConPlatform finds it, named by its device's IDs in gUsbBridgeIds,
  or as CDC ACM by the interface's class.

  @param[in] Line  A handle with a device path.

  @return The bridge's name; NULL when the line is on no USB interface or no known bridge.
**/
CONST CHAR16 *
SerialLineBridge (
  IN EFI_HANDLE  Line
  );

//
// The command line.
//

/**
  Splits a command line in place into words at blanks; double quotes group.

  @param[in,out] Line     The line; NULs are written into it.
  @param[out]    Argv     Receives pointers into Line.
  @param[in]     MaxArgs  Argv's capacity; words beyond it are dropped.

  @return The number of words stored in Argv (at most MaxArgs).
**/
UINTN
SplitCommandLine (
  IN OUT CHAR16  *Line,
  OUT    CHAR16  **Argv,
  IN     UINTN   MaxArgs
  );

/**
  Runs one command and prints what it did.

  @param[in] Argc  The words' count.
  @param[in] Argv  The words; Argv[0] is the program's name, as the shell passes it.

  @retval EFI_SUCCESS            The command did what it says, or found it done.
  @retval EFI_INVALID_PARAMETER  No such command; the usage was printed.
  @retval other                  The command failed; the message says what was left as it was.
**/
EFI_STATUS
NfcKeyboardSetupRun (
  IN UINTN                  Argc,
  IN CONST CHAR16   *CONST  *Argv
  );

//
// The USB-serial console entries of ConIn.
//

/**
  Tells whether an instance has the shape of a console on a USB-serial line: the
  bridge (its full USB path, or a USB class node of the install's: a bridge's IDs, or a
  CDC ACM class form), a Uart node and a flow-control node, and nothing after them.

  @param[in] Instance  One instance, end node included, known to be valid.

  @return TRUE for a console this system makes.
**/
BOOLEAN
IsUsbSerialConsoleInstance (
  IN CONST EFI_DEVICE_PATH_PROTOCOL  *Instance
  );

/**
  The ConIn entries an install writes: the keyboard on any supported USB-serial bridge
  on any USB port, as it publishes itself (115200 8N1, no flow control). The first is
  the FT232's, the one entry earlier installs wrote.

  @return The entries as one multi-instance path, in static storage: never free it.
**/
CONST EFI_DEVICE_PATH_PROTOCOL *
NfcKeyboardConInEntries (
  VOID
  );

/**
  Counts the install's entries that ConIn holds.

  @param[in] ConIn  The value.
  @param[in] Size   Its size in bytes; 0 for an absent ConIn.

  @return The entries held; 0 for an absent or malformed value, fewer when memory runs out.
**/
UINTN
ConInEntriesHeld (
  IN CONST VOID  *ConIn,
  IN UINTN       Size
  );

/**
  Builds ConIn without the install's entries and without Instance, keeping the other
  instances in order.

  @param[in]  ConIn     The value; Size 0 for an absent ConIn.
  @param[in]  Size      Its size in bytes.
  @param[in]  Instance  The running keyboard's path, or NULL.
  @param[out] NewConIn  The new value, a pool buffer the caller frees; NULL when nothing is left.
  @param[out] NewSize   Its size in bytes.

  @retval EFI_SUCCESS  *NewConIn and *NewSize hold the new value.
  @retval other        As ConInFind; nothing was built.
**/
EFI_STATUS
ConInRemoveNfcKeyboard (
  IN  CONST VOID                      *ConIn,
  IN  UINTN                           Size,
  IN  CONST EFI_DEVICE_PATH_PROTOCOL  *Instance OPTIONAL,
  OUT EFI_DEVICE_PATH_PROTOCOL        **NewConIn,
  OUT UINTN                           *NewSize
  );

/**
  Builds ConIn with every USB-serial console instance taken out, except one copy of each
  instance of Keep; those ConIn lacks are appended in Keep's order. Other instances keep
  their order.

  @param[in]  ConIn     The value; Size 0 for an absent ConIn.
  @param[in]  Size      Its size in bytes.
  @param[in]  Keep      The entries to keep (one path, of one instance or more), or NULL to
                        take out every USB-serial console.
  @param[out] NewConIn  The new value, a pool buffer the caller frees; NULL when nothing is left.
  @param[out] NewSize   Its size in bytes.

  @retval EFI_SUCCESS            *NewConIn and *NewSize hold the new value.
  @retval EFI_ALREADY_STARTED    ConIn is as it should be already; nothing was built.
  @retval EFI_COMPROMISED_DATA   ConIn is no valid device path.
  @retval EFI_INVALID_PARAMETER  Keep is no valid device path.
  @retval EFI_OUT_OF_RESOURCES   No pool for the new value.
**/
EFI_STATUS
ConInSetUsbSerialEntries (
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
  The file-path nodes of a path as one text, with a separator between nodes where
  neither side has one.

  @param[in]  DevicePath  File-path nodes, then an end node.
  @param[out] Out         The text.

  @retval EFI_SUCCESS           Out holds the text.
  @retval EFI_UNSUPPORTED       Another node comes among them.
  @retval EFI_BUFFER_TOO_SMALL  The text is too long for Out.
**/
EFI_STATUS
FilePathText (
  IN  CONST EFI_DEVICE_PATH_PROTOCOL  *DevicePath,
  OUT CHAR16                          (&Out)[PATH_CHARS]
  );

/**
  The first file path of a well-formed load option (Driver#### or Boot####). Variables
  hold what anyone wrote, so every length is checked first.

  @param[in] Option  The variable's bytes.
  @param[in] Size    Their count.

  @return The path, inside Option; NULL when the bytes do not hold together.
**/
CONST EFI_DEVICE_PATH_PROTOCOL *
LoadOptionFilePath (
  IN CONST VOID  *Option,
  IN UINTN       Size
  );

/**
  Tells whether a Driver#### value is one an install writes: its description is
  Description, and its first file path is a partition's followed by
  \EFI\NfcKeyboard\FileName (letter case aside). Anything else is someone else's.

  @param[in] Option       The variable's bytes.
  @param[in] Size         Their count.
  @param[in] FileName     The image's file name.
  @param[in] Description  The option's description.

  @return TRUE for our option.
**/
BOOLEAN
LoadOptionIsOurs (
  IN CONST VOID    *Option,
  IN UINTN         Size,
  IN CONST CHAR16  *FileName,
  IN CONST CHAR16  *Description
  );

/**
  Builds an active load option: Description, then FilePath; no optional data.

  @param[in]  Description  The option's description.
  @param[in]  FilePath     One whole device path.
  @param[out] Size         The option's size in bytes; 0 on failure.

  @return A pool buffer the caller frees, or NULL when memory runs out.
**/
VOID *
LoadOptionBuild (
  IN  CONST CHAR16                    *Description,
  IN  CONST EFI_DEVICE_PATH_PROTOCOL  *FilePath,
  OUT UINTN                           *Size
  );

/**
  Makes one Driver#### option load FilePath: the first option of ours for the file
  (LoadOptionIsOurs) is rewritten where it differs, further ones are deleted, and a new one takes
  the lowest number that no Driver#### variable and no DriverOrder entry holds.
  DriverOrder keeps its order and gains the number at its end when it lacks it.
  Options that are not well-formed load options are left as they are. Prints each change.

  @param[in] FileName     The image's file name, as LoadOptionIsOurs compares it.
  @param[in] Description  The option's description.
  @param[in] FilePath     The installed image's device path.

  @retval EFI_SUCCESS           The option and DriverOrder are as they should be.
  @retval EFI_OUT_OF_RESOURCES  No pool, or every number is taken.
  @retval other                 A variable could not be read or written; what was written stays.
**/
EFI_STATUS
DriverOptionEnsure (
  IN CONST CHAR16                    *FileName,
  IN CONST CHAR16                    *Description,
  IN CONST EFI_DEVICE_PATH_PROTOCOL  *FilePath
  );

/**
  Deletes every Driver#### option of ours for the file (LoadOptionIsOurs), and its
  DriverOrder entries (DriverOrder itself when nothing is left); everything else stays
  byte for byte. Prints each change.

  @param[in] FileName     The image's file name.
  @param[in] Description  Our option's description for it.

  @retval EFI_SUCCESS  No option of ours loads the file any more (there may have been none).
  @retval other        A variable could not be read or written.
**/
EFI_STATUS
DriverOptionRemove (
  IN CONST CHAR16  *FileName,
  IN CONST CHAR16  *Description
  );

/**
  Puts our options in DriverOrder into gDrivers' order, in the places they hold there,
  so an option added to an earlier install loads where a new install's would; every
  other entry keeps its place. An unchanged order is not written.

  @retval EFI_SUCCESS  DriverOrder is in order.
  @retval other        A variable could not be read or written.
**/
EFI_STATUS
DriverOrderSort (
  VOID
  );

/**
  Tells whether Driver#### is one of ours for any of our drivers (LoadOptionIsOurs).

  @param[in] Number  The option's number.

  @return TRUE for our option; FALSE for someone else's, or none.
**/
BOOLEAN
DriverOptionIsOurs (
  IN UINT16  Number
  );

//
// The install record: what an install changed in NVRAM, for the uninstall to put back.
//

/**
  Before an install writes a variable: records ZorvikConf, ConIn and DriverOrder as they
  are, where no earlier install recorded them (or others changed them since). Writes
  the record only when it changes.

  @retval EFI_SUCCESS  The record holds what the install may change.
  @retval other        It could not be read or written; the install must change nothing.
**/
EFI_STATUS
InstallRecordBefore (
  VOID
  );

/**
  After an install's writes, successful or not: records what the variables hold now.
**/
EFI_STATUS
InstallRecordAfter (
  VOID
  );

/**
  The variables' part of an uninstall: ZorvikConf, ConIn and DriverOrder as the record
  says they were before the install (ConIn and DriverOrder only where nobody changed
  them since), our Driver#### options deleted, then the record deleted. Without a
  record, the USB-serial entries leave ConIn and ZorvikConf is set to 00, unless the
  keyboard driver is built into the firmware: then both stay.

  @param[in] KeyboardBuiltIn  The keyboard driver comes with the firmware.

  @retval EFI_SUCCESS  Done.
  @retval other        The first failure; the other steps were done, and the record stays.
**/
EFI_STATUS
UninstallVariables (
  IN BOOLEAN  KeyboardBuiltIn
  );

//
// Install and uninstall.
//

/**
  Copies the images to \\EFI\\NfcKeyboard\\ on the EFI system partition, writes the
  load options, ZorvikConf and ConIn, and starts the drivers that do not run. Every
  image is read before anything is written; it prints each step.

  @param[in] Folder  Where the driver images are (a shell path), or NULL: the shell's
                     current folder, or without a shell the tool's own folder.

  @retval EFI_SUCCESS  Installed; running it again changes nothing.
  @retval other        A step failed; the message names it, and running it again
                       (or uninstalling) finishes the job.
**/
EFI_STATUS
NfcKeyboardInstall (
  IN CONST CHAR16  *Folder OPTIONAL
  );

/**
  Takes out what an install put in, with or without the reader and the drivers; every
  step runs even when one fails. Drivers that run stay until the next reset.

  @retval EFI_SUCCESS  Nothing of the install is left.
  @retval other        The first failure; the other steps were done.
**/
EFI_STATUS
NfcKeyboardUninstall (
  VOID
  );

/**
  Prints the drivers, ZorvikConf, the USB serial lines and their bridges, the NFC keyboard and ConIn.

  @retval EFI_SUCCESS  Everything could be read.
  @retval other        What could not be read.
**/
EFI_STATUS
NfcKeyboardShowStatus (
  VOID
  );

/**
  Writes ZorvikConf, and says what that does; a value stored with other attributes
  is replaced.

  @param[in] Enabled  1 to enable the keyboard from the driver's next load, 0 to disable it.

  @retval EFI_SUCCESS  ZorvikConf holds the value (it may have held it already).
  @retval other        It could not be written; it is unchanged.
**/
EFI_STATUS
NfcKeyboardSetEnabled (
  IN UINT8  Enabled
  );

/**
  Puts the install's entries into ConIn, or takes every USB-serial console entry out
  of it, and says what changed. ConIn is written whole, or not at all.

  @param[in] Install  TRUE to put the entries in, FALSE to take the USB-serial consoles out.

  @retval EFI_SUCCESS           ConIn is as asked (it may have been already).
  @retval EFI_COMPROMISED_DATA  ConIn is no valid device path; it is left as it is.
  @retval other                 ConIn could not be read or written; it is unchanged.
**/
EFI_STATUS
NfcKeyboardSetConInEntry (
  IN BOOLEAN  Install
  );

/**
  The menu shown when the firmware starts the tool with no command: the status, then
  install, uninstall, status or quit, answered from the console's keyboard. The
  watchdog is off while it waits, and armed again on the way out; after an install it
  offers a reset.

  @retval EFI_SUCCESS  The user quit: the boot manager shows its menu.
  @retval EFI_TIMEOUT  No key came in time, or the console has no keyboard: the boot
                       manager goes on with its next boot option.
**/
EFI_STATUS
NfcKeyboardMenu (
  VOID
  );

#endif

/** @file
  The NFC keyboard's device record, its key rings and notification records, and the
  routines the driver's files share.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef NFC_KEYBOARD_H_
#define NFC_KEYBOARD_H_

extern "C" {
#include <Uefi.h>
#include <Protocol/SerialIo.h>
#include <Protocol/UsbIo.h>
#include <Protocol/SimpleTextIn.h>
#include <Protocol/SimpleTextInEx.h>
#include <Protocol/DriverBinding.h>
#include <Protocol/ComponentName.h>
#include <Protocol/ComponentName2.h>
#include <Library/BaseLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiLib.h>
#include <Guid/ZorvikConf.h>
}

#include <TickWitness.h>
#include <TplGuard.h>
#include <UsbBridgeIds.h>

#include "DebugLog.h"
#include "Pn532Link.h"

// Key records are copied in and out as 12 bytes, exactly as UEFI lays them out.
static_assert (sizeof (EFI_INPUT_KEY) == 4, "ScanCode and UnicodeChar");
static_assert (sizeof (EFI_KEY_DATA) == 12, "key records are copied as 12 bytes");
static_assert (OFFSET_OF (EFI_KEY_DATA, KeyState) == 4, "KeyState follows the key");
static_assert (OFFSET_OF (EFI_KEY_STATE, KeyToggleState) == 4, "toggle state after shift state");
// A console entry's terminal-type node, matched by its GUID at any address on the path.
static_assert (sizeof (VENDOR_DEVICE_PATH) == 20, "a header and a GUID");

#define NFC_KEYBOARD_DEV_SIGNATURE  SIGNATURE_32 ('z', 'r', 'v', 'd')
#define KEY_NOTIFY_SIGNATURE        SIGNATURE_32 ('z', 'r', 'v', 'x')

static_assert (NFC_KEYBOARD_DEV_SIGNATURE == 0x6476727AU, "'z' in the lowest byte");
static_assert (KEY_NOTIFY_SIGNATURE == 0x7876727AU, "'z' in the lowest byte");

constexpr UINT32  ZORVIK_CONF_ATTRIBUTES = EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS;
static_assert (ZORVIK_CONF_ATTRIBUTES == 0x3, "no runtime access");

// One slot always stays free, so a ring of 33 holds 32 keys.
constexpr UINTN  KEY_RING_SLOTS     = 33;
constexpr UINTN  KEY_RING_ITEM_SIZE = sizeof (EFI_KEY_DATA);
constexpr UINTN  KEY_RING_CAPACITY  = KEY_RING_SLOTS - 1;

typedef struct {
  EFI_KEY_DATA    *Slot[KEY_RING_SLOTS];   // Slot[0] owns the block; all NULL without storage
  UINTN           Head;                    // oldest queued item
  UINTN           Tail;                    // where the next item goes
  UINTN           ItemSize;
} KEY_RING;

static_assert (sizeof (KEY_RING) == (KEY_RING_SLOTS + 3) * sizeof (UINTN), "33 slots, Head, Tail, ItemSize");

typedef struct {
  UINTN                      Signature;
  EFI_KEY_DATA               KeyData;
  EFI_KEY_NOTIFY_FUNCTION    NotifyFunction;
  LIST_ENTRY                 Link;
} KEY_NOTIFY_ENTRY;

typedef struct {
  UINTN                                Signature;
  EFI_SIMPLE_TEXT_INPUT_PROTOCOL       SimpleTextIn;
  EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL    SimpleTextInEx;
  KEY_RING                             KeyQueue;
  KEY_RING                             NotifyQueue;
  PN532_LINK_OPS                       LinkOps;
  EFI_EVENT                            PollTimer;
  TICK_WITNESS                         PollClock;
  EFI_UNICODE_STRING_TABLE             *ControllerNameTable;
  LIST_ENTRY                           NotifyList;
  EFI_EVENT                            NotifyDispatchEvent;
  BOOLEAN                              NotifyDispatching;   // KeyNotifyDispatch is calling out
  BOOLEAN                              Stopped;             // Stop ran from a notify function
} NFC_KEYBOARD_DEV;

// The containing-record idiom once, typed, so call sites carry no macro and no cast.
// The signature is not checked: pass only a protocol this driver installed.
inline NFC_KEYBOARD_DEV *
NfcKeyboardFromProtocol (
  EFI_SIMPLE_TEXT_INPUT_PROTOCOL  *This
  )
{
  return BASE_CR (This, NFC_KEYBOARD_DEV, SimpleTextIn);
}

inline NFC_KEYBOARD_DEV *
NfcKeyboardFromProtocol (
  EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL  *This
  )
{
  return BASE_CR (This, NFC_KEYBOARD_DEV, SimpleTextInEx);
}

inline KEY_NOTIFY_ENTRY *
KeyNotifyFromLink (
  LIST_ENTRY  *Link
  )
{
  return BASE_CR (Link, KEY_NOTIFY_ENTRY, Link);
}

constexpr UINT64  NFC_POLL_PERIOD_100NS  = 5000000;  // 500 ms
constexpr UINT64  NFC_RETAKE_DELAY_100NS = 1000000;  // 100 ms
constexpr UINT64  NFC_LINE_BAUD_RATE     = 115200;
// How long an empty one-byte Read may wait on a producer that honours the timeout (a
// UART). The link paces its own looks at the line, so a longer wait only holds the
// caller: a platform port's default of 1 s made every look at a silent line cost 1 s.
constexpr UINT32  NFC_LINE_TIMEOUT_US     = 1000;
constexpr UINT32  NFC_FIRMWARE_TIMEOUT_MS = 500;
constexpr UINT32  NFC_POLL_TIMEOUT_MS     = 1;
constexpr UINT16  NFC_POLL_ANSWER_LENGTH  = 19;
constexpr UINT8   NFC_MAX_NFCID_LENGTH    = 7;

//
// Module state.
//
extern NFC_KEYBOARD_CONFIG           *mConfiguration;
extern UINT64                        mKeyboardCount;
extern UINT64                        mKeyReadCounter;
extern EFI_DRIVER_BINDING_PROTOCOL   gNfcKeyboardDriverBinding;
extern EFI_COMPONENT_NAME_PROTOCOL   gNfcKeyboardComponentName;
extern EFI_COMPONENT_NAME2_PROTOCOL  gNfcKeyboardComponentName2;
extern CONST CHAR8                   mLanguageIso639[];
extern CONST CHAR8                   mLanguageRfc4646[];

//
// KeyRing.cpp
//

/**
  Empties the ring and gives it a fresh block, freeing the old one; without memory it
  keeps the old block, and a ring that had none stays without storage. Hold TPL_NOTIFY
  while the poll may run: it queues keys through the slot pointers swapped here.

  @param[in,out] Ring      Zeroed, reset or freed before; queued keys are dropped.
  @param[in]     ItemSize  Ignored: items are always KEY_RING_ITEM_SIZE bytes.
**/
VOID
KeyRingReset (
  IN OUT KEY_RING  *Ring,
  IN     UINTN     ItemSize
  );

/**
  Queues a copy of one key. A full ring drops its oldest key to make room; a ring
  without storage drops the new one. Either way the caller is not told.

  @param[in,out] Ring      The ring.
  @param[in]     Item      The key, copied.
  @param[in]     ItemSize  Ignored: items are always KEY_RING_ITEM_SIZE bytes.
**/
VOID
KeyRingEnqueue (
  IN OUT KEY_RING      *Ring,
  IN     EFI_KEY_DATA  *Item,
  IN     UINTN         ItemSize
  );

/**
  Takes the oldest key.

  @param[in,out] Ring      The ring.
  @param[out]    Item      Receives the key; untouched on error.
  @param[in]     ItemSize  Ignored: items are always KEY_RING_ITEM_SIZE bytes.

  @retval EFI_SUCCESS       *Item holds the key.
  @retval EFI_DEVICE_ERROR  The ring is empty or has no storage: nothing to hand out,
                            not a fault.
**/
EFI_STATUS
KeyRingDequeue (
  IN OUT KEY_RING      *Ring,
  OUT    EFI_KEY_DATA  *Item,
  IN     UINTN         ItemSize
  );

/**
  Frees the ring's block; the ring is then empty and without storage, and a later
  KeyRingReset gives it a new one.

  @param[in,out] Ring  The ring; freeing one twice is harmless.
**/
VOID
KeyRingFree (
  IN OUT KEY_RING  *Ring
  );

inline BOOLEAN
KeyRingIsEmpty (
  CONST KEY_RING  *Ring
  )
{
  return (BOOLEAN)(Ring->Head == Ring->Tail);
}

/**
  What both read operations run. A queued key is handed out on every second call
  that finds one (the phase is shared by every keyboard and both protocols), so a
  consumer that sees EFI_NOT_READY with WaitForKey signalled must simply read again.

  @param[in]     Dev      The keyboard.
  @param[in,out] KeyData  Receives the key and its (empty) state on EFI_SUCCESS; on
                          EFI_NOT_READY its Key is zeroed and its KeyState untouched.

  @retval EFI_SUCCESS    A key was taken from the queue.
  @retval EFI_NOT_READY  None now, or this call was the phase that hands out none.
**/
EFI_STATUS
KeyStrokeWorker (
  IN     NFC_KEYBOARD_DEV  *Dev,
  IN OUT EFI_KEY_DATA      *KeyData
  );

/**
  Whether a key matches a registered notification. A zero shift or toggle state in the
  registration takes any; a non-zero one must equal the key's.

  @param[in] RegData    The key a notification was registered for.
  @param[in] InputData  The key that arrived.

  @retval TRUE   Same scan code and character, and the states the registration names.
  @retval FALSE  Otherwise.
**/
BOOLEAN
IsKeyRegistered (
  IN EFI_KEY_DATA  *RegData,
  IN EFI_KEY_DATA  *InputData
  );

/**
  The TPL_CALLBACK notify of NotifyDispatchEvent: drains NotifyQueue and calls every
  registered function whose key matches, at TPL_CALLBACK. A function may unregister
  itself or others from inside the call: those records are freed when the walk ends,
  and an unregistered function is not called again. A registration made inside a call
  is first called for the next key. A function may stop the keyboard: nothing more is
  called, and the walk frees the device record Stop left to it. The poll fills
  NotifyQueue with the keys a registration matches and signals the event.

  @param[in] Event    NotifyDispatchEvent; not used.
  @param[in] Context  The NFC_KEYBOARD_DEV.
**/
VOID
EFIAPI
KeyNotifyDispatch (
  IN EFI_EVENT  Event,
  IN VOID       *Context
  );

//
// CardPoll.cpp
//

/**
  115200 8N1 with a short read timeout, keeping the line's receive FIFO depth.

  @param[in] SerialIo  The line; its mode changes with it, so take a copy first to put
                       it back (NfcKeyboardRestoreLine).

  @return SetAttributes' status; after an error some settings may have changed.
**/
EFI_STATUS
NfcKeyboardSetLine (
  IN EFI_SERIAL_IO_PROTOCOL  *SerialIo
  );

/**
  Puts back the attributes a line had before the keyboard set it; nothing is sent when
  they are still the same. A refusal is not reported: the line stays as it is.

  @param[in] SerialIo  The line.
  @param[in] Found     A copy of its mode record taken before.
**/
VOID
NfcKeyboardRestoreLine (
  IN EFI_SERIAL_IO_PROTOCOL    *SerialIo,
  IN CONST EFI_SERIAL_IO_MODE  *Found
  );

/**
  The probe: sets the line, points the link at it, wakes the controller and asks its
  firmware version. Writes PN532 frames to the line and can hold the caller for over
  half a second, so call it only where the clock runs and never on a console. Once set,
  the line is left at 115200 8N1 and the link pointed at it, whatever the answer.

  @param[in] SerialIo  The line, opened by the caller.

  @retval TRUE   A PN532 answered.
  @retval FALSE  The line could not be set, or nothing answered.
**/
BOOLEAN
InitializeReader (
  IN EFI_SERIAL_IO_PROTOCOL  *SerialIo
  );

/**
  The TPL_NOTIFY poll timer. Does nothing while keys are still queued, so it never races
  a reader for the queue; otherwise leaves the exchange to the idle loop, or runs it
  once the witness saw a tick.

  @param[in] Event    The poll timer; not used.
  @param[in] Context  The NFC_KEYBOARD_DEV.
**/
VOID
EFIAPI
PollCardTimerHandler (
  IN EFI_EVENT  Event,
  IN VOID       *Context
  );

/**
  One InListPassiveTarget exchange; a card's identifier becomes keys, two hex digits a
  byte, high nibble first. Runs where the clock is known to run: from the idle loop, or
  after the witness saw a tick, at TPL_NOTIFY and with an empty key queue. A missing,
  malformed or multi-target answer queues nothing.

  @param[in] Context  The NFC_KEYBOARD_DEV.
**/
VOID
NfcKeyboardPollCard (
  IN VOID  *Context
  );

//
// PlatformConsole.cpp
//

/**
  Whether a console variable (ConIn, ConOut or ErrOut) holds an instance that starts
  with the line's whole path and goes on with a terminal-type node. A USB short-form
  node (UsbClass, UsbWwid) in the instance stands for the line's USB device when the
  device's descriptors match it, and for whatever the instance leaves out above it;
  the nodes after it must then be the rest of the line's path. In an output variable
  the short-form node alone decides, as the console platform driver matches it there:
  any text output on the device is a terminal on the line.

  @param[in] LinePath      The Serial I/O handle's device path; must be valid, not NULL.
                           Its UART node matches whatever settings it holds.
  @param[in] Variable      The variable's data; NULL or no valid device path gives FALSE.
  @param[in] VariableSize  Its size in bytes.
  @param[in] Output        TRUE for ConOut and ErrOut, FALSE for ConIn, where a short
                           form may name the keyboard itself.

  @retval TRUE   Some instance is the line followed by a terminal type, or, in an output
                 variable, names the line's USB device by a short form.
  @retval FALSE  None is, or the variable is no device path.
**/
BOOLEAN
NfcKeyboardPathIsTerminalConsole (
  IN CONST EFI_DEVICE_PATH_PROTOCOL  *LinePath,
  IN CONST EFI_DEVICE_PATH_PROTOCOL  *Variable,
  IN UINTN                           VariableSize,
  IN BOOLEAN                         Output
  );

/**
  Whether the firmware has set the line up as a terminal console of its own, by its
  ConIn, ConOut and ErrOut variables. Reads variables, so call at TPL_CALLBACK or below.

  @param[in] ControllerHandle  The Serial I/O handle.

  @retval TRUE   A console variable names the line: leave it alone.
  @retval FALSE  None does, or the handle has no valid device path.
**/
BOOLEAN
NfcKeyboardIsPlatformConsole (
  IN EFI_HANDLE  ControllerHandle
  );

/**
  Whether a device path node names a terminal type EDK II's terminal driver speaks (the
  node a console entry puts after a port, and the last node of the terminal's child).

  @param[in] Node  A node of a validated path.
**/
BOOLEAN
NfcKeyboardIsTerminalNode (
  IN CONST EFI_DEVICE_PATH_PROTOCOL  *Node
  );

/**
  The USB device a line hangs off: the handle with USB I/O whose path is the longest
  prefix of the line's.

  @param[in]  LinePath  The line's device path; must be valid, not NULL.
  @param[out] BelowUsb  The part of LinePath after the device's own path; NULL when none.

  @return The device's USB I/O, or NULL when no USB device is above the line.
**/
EFI_USB_IO_PROTOCOL *
NfcKeyboardLineUsbIo (
  IN  CONST EFI_DEVICE_PATH_PROTOCOL  *LinePath,
  OUT CONST EFI_DEVICE_PATH_PROTOCOL  **BelowUsb
  );

//
// TextInput.cpp
//

/**
  Empties both key rings and gives them fresh storage; Start's own call gives them any.
  The controller is not touched.

  @param[in] This                  The keyboard's Simple Text Input.
  @param[in] ExtendedVerification  Ignored.

  @retval EFI_SUCCESS       Both rings are empty and have storage.
  @retval EFI_DEVICE_ERROR  A ring has no storage, since no reset got it any: it drops
                            every key until a later reset succeeds.
**/
EFI_STATUS
EFIAPI
NfcKeyboardReset (
  IN EFI_SIMPLE_TEXT_INPUT_PROTOCOL  *This,
  IN BOOLEAN                         ExtendedVerification
  );

/**
  Takes the next key, as KeyStrokeWorker hands them out.

  @param[in]  This  The keyboard's Simple Text Input.
  @param[out] Key   Receives the key; written only on EFI_SUCCESS.

  @retval EFI_SUCCESS            *Key holds a key.
  @retval EFI_NOT_READY          No key for this call; read again (see KeyStrokeWorker).
  @retval EFI_INVALID_PARAMETER  Key is NULL; no key is lost and the phase stays.
**/
EFI_STATUS
EFIAPI
NfcKeyboardReadKeyStroke (
  IN  EFI_SIMPLE_TEXT_INPUT_PROTOCOL  *This,
  OUT EFI_INPUT_KEY                   *Key
  );

/**
  The same reset as NfcKeyboardReset.

  @param[in] This                  The keyboard's Simple Text Input Ex.
  @param[in] ExtendedVerification  Ignored.

  @return NfcKeyboardReset's status.
**/
EFI_STATUS
EFIAPI
NfcKeyboardResetEx (
  IN EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL  *This,
  IN BOOLEAN                            ExtendedVerification
  );

/**
  Takes the next key with its state, which is always empty.

  @param[in]  This     The keyboard's Simple Text Input Ex.
  @param[out] KeyData  Receives the key; on EFI_NOT_READY its Key is zeroed.

  @retval EFI_SUCCESS            *KeyData holds a key.
  @retval EFI_NOT_READY          No key for this call; read again (see KeyStrokeWorker).
  @retval EFI_INVALID_PARAMETER  KeyData is NULL.
**/
EFI_STATUS
EFIAPI
NfcKeyboardReadKeyStrokeEx (
  IN  EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL  *This,
  OUT EFI_KEY_DATA                       *KeyData
  );

/**
  Accepts and drops a valid toggle state: a card reader has no lock keys to light.

  @param[in] This            The keyboard's Simple Text Input Ex.
  @param[in] KeyToggleState  The state; not kept.

  @retval EFI_SUCCESS            Accepted: EFI_TOGGLE_STATE_VALID with any of the lock
                                 bits and EFI_KEY_STATE_EXPOSED.
  @retval EFI_UNSUPPORTED        EFI_TOGGLE_STATE_VALID is clear, or another bit is set.
  @retval EFI_INVALID_PARAMETER  KeyToggleState is NULL.
**/
EFI_STATUS
EFIAPI
NfcKeyboardSetState (
  IN EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL  *This,
  IN EFI_KEY_TOGGLE_STATE               *KeyToggleState
  );

/**
  Registers a function for a key. The same key, shift state, toggle state and function
  registered again give the same handle back, so one unregister ends both. Typed keys
  reach it through KeyNotifyDispatch; one registered from inside a notify function is
  first called for the next key.

  @param[in]  This                     The keyboard's Simple Text Input Ex.
  @param[in]  KeyData                  The key; a zero state matches a key in any state
                                       (IsKeyRegistered).
  @param[in]  KeyNotificationFunction  Called at TPL_CALLBACK.
  @param[out] NotifyHandle             Receives the handle; valid only on EFI_SUCCESS. The
                                       keyboard owns it: UnregisterKeyNotify or Stop frees it.

  @retval EFI_SUCCESS            Registered, or found already registered.
  @retval EFI_INVALID_PARAMETER  A NULL argument.
  @retval EFI_OUT_OF_RESOURCES   No pool for the record.
**/
EFI_STATUS
EFIAPI
NfcKeyboardRegisterKeyNotify (
  IN  EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL  *This,
  IN  EFI_KEY_DATA                       *KeyData,
  IN  EFI_KEY_NOTIFY_FUNCTION            KeyNotificationFunction,
  OUT VOID                               **NotifyHandle
  );

/**
  Ends a registration and frees its record; the handle is stale afterwards.

  @param[in] This                The keyboard's Simple Text Input Ex.
  @param[in] NotificationHandle  A handle RegisterKeyNotify gave; matched by address only,
                                 so a stale or foreign one is refused, never read.

  @retval EFI_SUCCESS            Unregistered.
  @retval EFI_INVALID_PARAMETER  NULL, or not a live handle of this keyboard.
**/
EFI_STATUS
EFIAPI
NfcKeyboardUnregisterKeyNotify (
  IN EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL  *This,
  IN VOID                               *NotificationHandle
  );

/**
  The TPL_NOTIFY wait notify of WaitForKey and WaitForKeyEx: signals the event while a
  key is queued. The next read may still answer EFI_NOT_READY (see KeyStrokeWorker).

  @param[in] Event    The wait event.
  @param[in] Context  The NFC_KEYBOARD_DEV.
**/
VOID
EFIAPI
NfcKeyboardWaitForKeyNotify (
  IN EFI_EVENT  Event,
  IN VOID       *Context
  );

//
// Driver.cpp
//

/**
  Probes a Serial I/O line for a PN532: the keyboard takes the line only when one
  answers. A line already held by a driver, a second reader and a platform console are
  refused without a byte sent. Offered while the clock stands still, it refuses and arms
  the retake timer to offer the line again once the clock runs. A probed line gets its
  attributes back before this returns; it is probed whether or not ZorvikConf enables
  the keyboard.

  @param[in] This                 The keyboard's driver binding.
  @param[in] ControllerHandle     The handle with Serial I/O.
  @param[in] RemainingDevicePath  Ignored.

  @retval EFI_SUCCESS          A PN532 answered on the line.
  @retval EFI_ALREADY_STARTED  A keyboard already runs, here or on another line; the link
                               is one per system.
  @retval EFI_UNSUPPORTED      A platform console, a clock that stood still, or no PN532.
  @retval other                Serial I/O could not be opened by driver.
**/
EFI_STATUS
EFIAPI
NfcKeyboardSupported (
  IN EFI_DRIVER_BINDING_PROTOCOL  *This,
  IN EFI_HANDLE                   ControllerHandle,
  IN EFI_DEVICE_PATH_PROTOCOL     *RemainingDevicePath
  );

/**
  Takes the line: sets it to 115200 8N1, wakes the controller, starts the card poll and
  installs both text-input protocols on the line's handle.

  @param[in] This                 The keyboard's driver binding.
  @param[in] ControllerHandle     The handle Supported accepted.
  @param[in] RemainingDevicePath  Ignored.

  @retval EFI_SUCCESS           The keyboard runs.
  @retval EFI_UNSUPPORTED       ZorvikConf is missing or does not enable the keyboard.
  @retval EFI_OUT_OF_RESOURCES  No pool for the record or the key rings.
  @retval other                 The line could not be opened or set, or an event or the
                                install failed. Everything made is released and the line
                                closed, but its attributes are not put back.
**/
EFI_STATUS
EFIAPI
NfcKeyboardStart (
  IN EFI_DRIVER_BINDING_PROTOCOL  *This,
  IN EFI_HANDLE                   ControllerHandle,
  IN EFI_DEVICE_PATH_PROTOCOL     *RemainingDevicePath
  );

/**
  Withdraws both text-input protocols, then stops the poll, frees the record, its rings
  and notification records, and closes the line. The line keeps the keyboard's
  attributes. Called from inside a key-notify function, it leaves the notification
  records and the record to KeyNotifyDispatch, which frees them when its walk ends.

  @param[in] This               The keyboard's driver binding.
  @param[in] ControllerHandle   The line's handle.
  @param[in] NumberOfChildren   Ignored: the keyboard makes no children.
  @param[in] ChildHandleBuffer  Ignored.

  @retval EFI_SUCCESS      Stopped.
  @retval EFI_UNSUPPORTED  The handle carries no keyboard.
  @retval other            A consumer kept the protocols: the keyboard runs on as before.
**/
EFI_STATUS
EFIAPI
NfcKeyboardStop (
  IN EFI_DRIVER_BINDING_PROTOCOL  *This,
  IN EFI_HANDLE                   ControllerHandle,
  IN UINTN                        NumberOfChildren,
  IN EFI_HANDLE                   *ChildHandleBuffer
  );

/**
  Reads ZorvikConf into mConfiguration, then publishes the binding and both name
  protocols. An enabled keyboard then claims the FT232 lines other drivers took before
  it was loaded. A missing ZorvikConf is created as one zero byte (disabled). One stored
  with another size is replaced by that byte, and one byte stored with other attributes
  is rewritten with the driver's own, keeping its value; a replacement that fails is
  logged and the driver loads anyway, the keyboard off unless the byte read enables it.
  Any other read failure changes nothing stored: the keyboard is off for this load.

  @param[in] ImageHandle  The driver's image.
  @param[in] SystemTable  The system table.

  @retval EFI_SUCCESS           The driver is installed.
  @retval EFI_OUT_OF_RESOURCES  No pool for the configuration.
  @retval EFI_UNSUPPORTED       ZorvikConf is missing and cannot be created.
  @retval other                 The install failed.
**/
extern "C"
EFI_STATUS
EFIAPI
NfcKeyboardDriverEntryPoint (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  );

#endif

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
#include <Protocol/SimpleTextIn.h>
#include <Protocol/SimpleTextInEx.h>
#include <Protocol/DriverBinding.h>
#include <Protocol/ComponentName.h>
#include <Protocol/ComponentName2.h>
#include <Library/BaseLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiLib.h>

extern EFI_GUID  gZorvikConfGuid;
}

#include <TickWitness.h>
#include <TplGuard.h>

#include "DebugLog.h"
#include "Pn532Link.h"

// Key records are copied in and out as 12 bytes, exactly as UEFI lays them out.
static_assert (sizeof (EFI_INPUT_KEY) == 4, "ScanCode and UnicodeChar");
static_assert (sizeof (EFI_KEY_DATA) == 12, "key records are copied as 12 bytes");
static_assert (OFFSET_OF (EFI_KEY_DATA, KeyState) == 4, "KeyState follows the key");
static_assert (OFFSET_OF (EFI_KEY_STATE, KeyToggleState) == 4, "toggle state after shift state");

#define NFC_KEYBOARD_DEV_SIGNATURE  SIGNATURE_32 ('z', 'r', 'v', 'd')
#define KEY_NOTIFY_SIGNATURE        SIGNATURE_32 ('z', 'r', 'v', 'x')

static_assert (NFC_KEYBOARD_DEV_SIGNATURE == 0x6476727AU, "'z' in the lowest byte");
static_assert (KEY_NOTIFY_SIGNATURE == 0x7876727AU, "'z' in the lowest byte");

// {FA9D4DC0-2D4F-4AD3-849F-7A7F08DA3922}, the vendor GUID of ZorvikConf.
constexpr EFI_GUID  mZorvikConfGuidValue = {
  0xFA9D4DC0, 0x2D4F, 0x4AD3, { 0x84, 0x9F, 0x7A, 0x7F, 0x08, 0xDA, 0x39, 0x22 }
};
static_assert (mZorvikConfGuidValue.Data1 == 0xFA9D4DC0 && mZorvikConfGuidValue.Data2 == 0x2D4F &&
               mZorvikConfGuidValue.Data3 == 0x4AD3 && mZorvikConfGuidValue.Data4[0] == 0x84 &&
               mZorvikConfGuidValue.Data4[7] == 0x22, "ZorvikConf's vendor GUID");

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
  UINT8    Enabled;
} NFC_KEYBOARD_CONFIG;

static_assert (sizeof (NFC_KEYBOARD_CONFIG) == 1, "ZorvikConf holds one byte");

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
} NFC_KEYBOARD_DEV;

// The containing-record idiom once, typed, so call sites carry no macro and no cast.
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


constexpr UINT64  NFC_POLL_PERIOD_100NS = 5000000;   // 500 ms
constexpr UINT64  NFC_RETAKE_DELAY_100NS = 1000000;  // 100 ms
constexpr UINT64  NFC_LINE_BAUD_RATE    = 115200;
// How long an empty one-byte Read may wait on a producer that honours the timeout (a
// UART). The link paces its own looks at the line, so a longer wait only holds the
// caller: a platform port's default of 1 s made every look at a silent line cost 1 s.
constexpr UINT32  NFC_LINE_TIMEOUT_US   = 1000;
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
extern CHAR8                         mLanguageIso639[];
extern CHAR8                         mLanguageRfc4646[];

//
// KeyRing.cpp
//
VOID
KeyRingReset (
  IN OUT KEY_RING  *Ring,
  IN     UINTN     ItemSize
  );

VOID
KeyRingEnqueue (
  IN OUT KEY_RING      *Ring,
  IN     EFI_KEY_DATA  *Item,
  IN     UINTN         ItemSize
  );

EFI_STATUS
KeyRingDequeue (
  IN OUT KEY_RING      *Ring,
  OUT    EFI_KEY_DATA  *Item,
  IN     UINTN         ItemSize
  );

/** Frees the ring's block; the ring is then empty and without storage. **/
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

EFI_STATUS
KeyStrokeWorker (
  IN     NFC_KEYBOARD_DEV  *Dev,
  IN OUT EFI_KEY_DATA      *KeyData
  );

BOOLEAN
IsKeyRegistered (
  IN EFI_KEY_DATA  *RegData,
  IN EFI_KEY_DATA  *InputData
  );

VOID
EFIAPI
KeyNotifyDispatch (
  IN EFI_EVENT  Event,
  IN VOID       *Context
  );

//
// CardPoll.cpp
//
/** 115200 8N1 with a short read timeout, keeping the line's receive FIFO depth. **/
EFI_STATUS
NfcKeyboardSetLine (
  IN EFI_SERIAL_IO_PROTOCOL  *SerialIo
  );

/**
  Puts back the attributes a line had before the keyboard set it; nothing is sent when
  they are still the same.

  @param[in] SerialIo  The line.
  @param[in] Found     A copy of its mode record taken before.
**/
VOID
NfcKeyboardRestoreLine (
  IN EFI_SERIAL_IO_PROTOCOL    *SerialIo,
  IN CONST EFI_SERIAL_IO_MODE  *Found
  );

BOOLEAN
InitializeReader (
  IN EFI_SERIAL_IO_PROTOCOL  *SerialIo
  );

VOID
EFIAPI
PollCardTimerHandler (
  IN EFI_EVENT  Event,
  IN VOID       *Context
  );

/**
  One InListPassiveTarget exchange; a card's identifier becomes keys. Runs where the
  clock is known to run: from the idle loop, or after the witness saw a tick.

  @param[in] Context  The NFC_KEYBOARD_DEV.
**/
VOID
PollCard (
  IN VOID  *Context
  );

//
// PlatformConsole.cpp
//
/**
  Whether a console variable (ConIn, ConOut or ErrOut) holds an instance that starts
  with the line's whole path and goes on with a terminal-type node.

  @param[in] LinePath      The Serial I/O handle's device path.
  @param[in] Variable      The variable's data; NULL or no valid device path gives FALSE.
  @param[in] VariableSize  Its size in bytes.
**/
BOOLEAN
NfcKeyboardPathIsTerminalConsole (
  IN CONST EFI_DEVICE_PATH_PROTOCOL  *LinePath,
  IN CONST EFI_DEVICE_PATH_PROTOCOL  *Variable,
  IN UINTN                           VariableSize
  );

/** TRUE when the firmware has set the line up as a terminal console of its own. **/
BOOLEAN
NfcKeyboardIsPlatformConsole (
  IN EFI_HANDLE  ControllerHandle
  );

//
// TextInput.cpp
//
EFI_STATUS
EFIAPI
NfcKeyboardReset (
  IN EFI_SIMPLE_TEXT_INPUT_PROTOCOL  *This,
  IN BOOLEAN                         ExtendedVerification
  );

EFI_STATUS
EFIAPI
NfcKeyboardReadKeyStroke (
  IN  EFI_SIMPLE_TEXT_INPUT_PROTOCOL  *This,
  OUT EFI_INPUT_KEY                   *Key
  );

EFI_STATUS
EFIAPI
NfcKeyboardResetEx (
  IN EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL  *This,
  IN BOOLEAN                            ExtendedVerification
  );

EFI_STATUS
EFIAPI
NfcKeyboardReadKeyStrokeEx (
  IN  EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL  *This,
  OUT EFI_KEY_DATA                       *KeyData
  );

EFI_STATUS
EFIAPI
NfcKeyboardSetState (
  IN EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL  *This,
  IN EFI_KEY_TOGGLE_STATE               *KeyToggleState
  );

EFI_STATUS
EFIAPI
NfcKeyboardRegisterKeyNotify (
  IN  EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL  *This,
  IN  EFI_KEY_DATA                       *KeyData,
  IN  EFI_KEY_NOTIFY_FUNCTION            KeyNotificationFunction,
  OUT VOID                               **NotifyHandle
  );

EFI_STATUS
EFIAPI
NfcKeyboardUnregisterKeyNotify (
  IN EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL  *This,
  IN VOID                               *NotificationHandle
  );

VOID
EFIAPI
WaitForKeyNotify (
  IN EFI_EVENT  Event,
  IN VOID       *Context
  );

//
// Driver.cpp
//
EFI_STATUS
EFIAPI
NfcKeyboardSupported (
  IN EFI_DRIVER_BINDING_PROTOCOL  *This,
  IN EFI_HANDLE                   ControllerHandle,
  IN EFI_DEVICE_PATH_PROTOCOL     *RemainingDevicePath
  );

EFI_STATUS
EFIAPI
NfcKeyboardStart (
  IN EFI_DRIVER_BINDING_PROTOCOL  *This,
  IN EFI_HANDLE                   ControllerHandle,
  IN EFI_DEVICE_PATH_PROTOCOL     *RemainingDevicePath
  );

EFI_STATUS
EFIAPI
NfcKeyboardStop (
  IN EFI_DRIVER_BINDING_PROTOCOL  *This,
  IN EFI_HANDLE                   ControllerHandle,
  IN UINTN                        NumberOfChildren,
  IN EFI_HANDLE                   *ChildHandleBuffer
  );

extern "C"
EFI_STATUS
EFIAPI
NfcKeyboardDriverEntryPoint (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  );

#endif

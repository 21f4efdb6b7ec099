/** @file
  What the fake firmware's source files share: the protocol database, events, clock,
  allocation records and fault switches, and the services one file calls in another.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#ifndef FAKE_FIRMWARE_INTERNAL_H_
#define FAKE_FIRMWARE_INTERNAL_H_

#include "FakeFirmware.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <unordered_map>

extern "C" {
#include <Protocol/DevicePath.h>
#include <Protocol/LoadedImage.h>
}

namespace fake::internal {

struct OPEN_ENTRY {
  EFI_HANDLE    Agent;
  EFI_HANDLE    Controller;
  UINT32        Attributes;
  UINT32        OpenCount;
};

struct PROTOCOL_ENTRY {
  EFI_GUID                   Guid;
  void                       *Interface;
  std::vector<OPEN_ENTRY>    Opens;
};

struct HANDLE_RECORD {
  UINT64                                         Signature;
  UINT64                                         Key;     // database key when last created or changed
  // Entries stay allocated until Reset, so a GUID pointer handed out by
  // ProtocolsPerHandle outlives an uninstall as it would in pool memory.
  std::vector<PROTOCOL_ENTRY *>                  Protocols;
};

struct EVENT_RECORD {
  UINT64              Signature;
  bool                Open;
  UINT32              Type;
  EFI_TPL             Tpl;
  EFI_EVENT_NOTIFY    Notify;
  void                *Context;
  bool                HasGroup;
  EFI_GUID            Group;
  bool                Signaled;
  bool                Queued;
  EFI_TIMER_DELAY     TimerType;
  UINT64              Period100ns;
  bool                Armed;
  UINT64              DueUs;
  UINT64              ArmedUs;
};

// An image the core loaded: its loaded image protocol, the whole path it came from
// (the loaded image device path) and the file, which StartImage hands to the entry.
struct IMAGE {
  EFI_LOADED_IMAGE_PROTOCOL  Info;
  std::vector<uint8_t>       File;
  std::vector<uint8_t>       FilePath;       // the part after the device, with its End
  std::vector<uint8_t>       DevicePath;     // the whole path LoadImage was given
  bool                       Started;
  EFI_STATUS                 LoadStatus;     // EFI_SECURITY_VIOLATION: loaded, never to start
};

struct VARIABLE {
  UINT32                  Attributes;
  std::vector<uint8_t>    Data;
};
using VARIABLE_KEY = std::pair<std::u16string, std::string>;

constexpr UINT64  HandleSignature = SIGNATURE_64 ('F', 'H', 'A', 'N', 'D', 'L', 'E', ' ');
constexpr UINT64  EventSignature  = SIGNATURE_64 ('F', 'E', 'V', 'E', 'N', 'T', ' ', ' ');

// Everything Reset puts back to its start: a new STATE.
struct STATE {
  std::vector<std::unique_ptr<HANDLE_RECORD>>     AllHandles;
  std::vector<std::unique_ptr<PROTOCOL_ENTRY>>    AllProtocols;
  std::vector<HANDLE_RECORD *>                    Handles;     // live, in creation order
  UINT64                                          DatabaseKey = 0;
  std::vector<std::unique_ptr<EVENT_RECORD>>      Events;
  std::deque<EVENT_RECORD *>                      Queue[TPL_HIGH_LEVEL + 1];

  std::unordered_map<void *, size_t>              Pool;
  std::unordered_map<UINT64, size_t>              Pages;
  size_t                                          LiveBytes        = 0;
  size_t                                          AllocationCount  = 0;
  size_t                                          FailAllocationIn = 0;

  EFI_TPL                                         Tpl        = TPL_APPLICATION;
  EFI_TPL                                         HighestTpl = TPL_APPLICATION;
  INTN                                            TplDepth   = 0;
  UINT64                                          NowUs      = 0;
  UINT64                                          StallCalls = 0;
  Firmware::STALL_HOOK                            StallHook  = nullptr;
  void                                            *StallContext = nullptr;
  bool                                            TicksHeld  = false;
  UINT64                                          TickUs     = 10000;   // the timer interrupt period
  UINT64                                          Monotonic  = 0;

  std::map<EFI_HANDLE, std::unique_ptr<IMAGE>>    Images;
  Firmware::IMAGE_SOURCE                          ImageSource = nullptr;
  void                                            *ImageSourceContext = nullptr;
  Firmware::IMAGE_ENTRY                           ImageEntry = nullptr;
  void                                            *ImageEntryContext = nullptr;
  Firmware::IMAGE_CHECK                           ImageCheck = nullptr;
  void                                            *ImageCheckContext = nullptr;
  UINTN                                           WatchdogSeconds = 0;

  std::map<std::string, EFI_STATUS>               FailNext;
  std::map<VARIABLE_KEY, VARIABLE>                Variables;
  EFI_STATUS                                      FailSetVariable  = EFI_SUCCESS;
  size_t                                          SetVariableCalls = 0;
  size_t                                          NvSpace          = 0;
  std::string                                     Console;
  std::deque<char16_t>                            Keys;
};

inline STATE             mFw;
inline EFI_SYSTEM_TABLE  mSystemTable;
inline char              mKeyEvent;    // gST->ConIn->WaitForKey: signalled while a key is queued

inline bool
SameGuid (const EFI_GUID &A, const EFI_GUID &B)
{
  return std::memcmp (&A, &B, sizeof (EFI_GUID)) == 0;
}

// Calls the firmware makes to itself are not the caller's calls: a failure
// armed for "OpenProtocol" must not be spent on HandleProtocol's own open.
inline int  mCoreDepth;

struct CORE_CALL {
  CORE_CALL () { mCoreDepth++; }
  ~CORE_CALL () { mCoreDepth--; }
};

// Around a driver's code called from inside a service (Start, Stop, notifies).
struct CALL_OUT {
  int    Saved;
  CALL_OUT () : Saved (mCoreDepth) { mCoreDepth = 0; }
  ~CALL_OUT () { mCoreDepth = Saved; }
};

// True, with the status to fail with, when a test armed Service with FailNext.
bool  Failing (const char *Service, EFI_STATUS *Status);

// FakeTpl.cpp
void  DispatchAbove (EFI_TPL NewTpl);
void  QueueNotify (EVENT_RECORD *Event);

// FakeProtocols.cpp: a path's length up to its End node.
UINTN  DevicePathBytes (const EFI_DEVICE_PATH_PROTOCOL *Path);

// The services, each defined in the file that holds its group.
EFI_TPL EFIAPI    FwRaiseTpl (EFI_TPL);
VOID EFIAPI       FwRestoreTpl (EFI_TPL);
EFI_STATUS EFIAPI FwAllocatePool (EFI_MEMORY_TYPE, UINTN, VOID **);
EFI_STATUS EFIAPI FwFreePool (VOID *);
EFI_STATUS EFIAPI FwAllocatePages (EFI_ALLOCATE_TYPE, EFI_MEMORY_TYPE, UINTN, EFI_PHYSICAL_ADDRESS *);
EFI_STATUS EFIAPI FwFreePages (EFI_PHYSICAL_ADDRESS, UINTN);
EFI_STATUS EFIAPI FwCreateEvent (UINT32, EFI_TPL, EFI_EVENT_NOTIFY, VOID *, EFI_EVENT *);
EFI_STATUS EFIAPI FwCreateEventEx (UINT32, EFI_TPL, EFI_EVENT_NOTIFY, CONST VOID *, CONST EFI_GUID *, EFI_EVENT *);
EFI_STATUS EFIAPI FwCloseEvent (EFI_EVENT);
EFI_STATUS EFIAPI FwSignalEvent (EFI_EVENT);
EFI_STATUS EFIAPI FwCheckEvent (EFI_EVENT);
EFI_STATUS EFIAPI FwWaitForEvent (UINTN, EFI_EVENT *, UINTN *);
EFI_STATUS EFIAPI FwSetTimer (EFI_EVENT, EFI_TIMER_DELAY, UINT64);
EFI_STATUS EFIAPI FwStall (UINTN);
EFI_STATUS EFIAPI FwInstallProtocolInterface (EFI_HANDLE *, EFI_GUID *, EFI_INTERFACE_TYPE, VOID *);
EFI_STATUS EFIAPI FwUninstallProtocolInterface (EFI_HANDLE, EFI_GUID *, VOID *);
EFI_STATUS EFIAPI FwReinstallProtocolInterface (EFI_HANDLE, EFI_GUID *, VOID *, VOID *);
EFI_STATUS EFIAPI FwInstallMultipleProtocolInterfaces (EFI_HANDLE *, ...);
EFI_STATUS EFIAPI FwUninstallMultipleProtocolInterfaces (EFI_HANDLE, ...);
EFI_STATUS EFIAPI FwOpenProtocol (EFI_HANDLE, EFI_GUID *, VOID **, EFI_HANDLE, EFI_HANDLE, UINT32);
EFI_STATUS EFIAPI FwCloseProtocol (EFI_HANDLE, EFI_GUID *, EFI_HANDLE, EFI_HANDLE);
EFI_STATUS EFIAPI FwHandleProtocol (EFI_HANDLE, EFI_GUID *, VOID **);
EFI_STATUS EFIAPI FwOpenProtocolInformation (EFI_HANDLE, EFI_GUID *, EFI_OPEN_PROTOCOL_INFORMATION_ENTRY **, UINTN *);
EFI_STATUS EFIAPI FwProtocolsPerHandle (EFI_HANDLE, EFI_GUID ***, UINTN *);
EFI_STATUS EFIAPI FwLocateHandle (EFI_LOCATE_SEARCH_TYPE, EFI_GUID *, VOID *, UINTN *, EFI_HANDLE *);
EFI_STATUS EFIAPI FwLocateHandleBuffer (EFI_LOCATE_SEARCH_TYPE, EFI_GUID *, VOID *, UINTN *, EFI_HANDLE **);
EFI_STATUS EFIAPI FwLocateProtocol (EFI_GUID *, VOID *, VOID **);
EFI_STATUS EFIAPI FwLocateDevicePath (EFI_GUID *, EFI_DEVICE_PATH_PROTOCOL **, EFI_HANDLE *);
EFI_STATUS EFIAPI FwConnectController (EFI_HANDLE, EFI_HANDLE *, EFI_DEVICE_PATH_PROTOCOL *, BOOLEAN);
EFI_STATUS EFIAPI FwDisconnectController (EFI_HANDLE, EFI_HANDLE, EFI_HANDLE);
EFI_STATUS EFIAPI FwLoadImage (BOOLEAN, EFI_HANDLE, EFI_DEVICE_PATH_PROTOCOL *, VOID *, UINTN, EFI_HANDLE *);
EFI_STATUS EFIAPI FwStartImage (EFI_HANDLE, UINTN *, CHAR16 **);
EFI_STATUS EFIAPI FwUnloadImage (EFI_HANDLE);
EFI_STATUS EFIAPI FwGetVariable (CHAR16 *, EFI_GUID *, UINT32 *, UINTN *, VOID *);
EFI_STATUS EFIAPI FwGetNextVariableName (UINTN *, CHAR16 *, EFI_GUID *);
EFI_STATUS EFIAPI FwSetVariable (CHAR16 *, EFI_GUID *, UINT32, UINTN, VOID *);

// FakeRuntime.cpp: puts gST's console in place, empty.
void  ResetConsole (EFI_SYSTEM_TABLE *St);

} // namespace fake::internal

#endif

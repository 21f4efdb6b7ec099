/** @file
  Boot services, runtime variables and the system table for host tests. The
  protocol database, event queues and TPL follow what the firmware core does,
  so a driver sees the refusals and orderings it would meet on a real machine.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#include "FakeFirmware.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <unordered_map>

extern "C" {
#include <Protocol/DriverBinding.h>
#include <Protocol/DevicePath.h>
#include <Protocol/LoadedImage.h>
#include <Protocol/SimpleFileSystem.h>
#include <Protocol/SimpleTextOut.h>
#include <Protocol/Timer.h>
#include <Guid/IdleLoopEvent.h>
}

extern "C" {
EFI_HANDLE            gImageHandle = NULL;
EFI_SYSTEM_TABLE      *gST         = NULL;
EFI_BOOT_SERVICES     *gBS         = NULL;
EFI_RUNTIME_SERVICES  *gRT         = NULL;
}

namespace {

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

constexpr UINT64  HandleSignature = SIGNATURE_64 ('F', 'H', 'A', 'N', 'D', 'L', 'E', ' ');
constexpr UINT64  EventSignature  = SIGNATURE_64 ('F', 'E', 'V', 'E', 'N', 'T', ' ', ' ');
// WaitForEvent gives up after this much virtual time rather than hang a test.
constexpr UINT64  WaitLimitUs     = 10ULL * 1000 * 1000;
constexpr UINT64  WaitRoundUs     = 1000;
// The firmware's timer interrupt period, unless a test sets another.
constexpr UINT64  DefaultTickUs   = 10000;

EFI_BOOT_SERVICES                mBootServices;
EFI_RUNTIME_SERVICES             mRuntimeServices;
EFI_SYSTEM_TABLE                 mSystemTable;
EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL  mConOut;
EFI_SIMPLE_TEXT_OUTPUT_MODE      mConOutMode;
EFI_LOADED_IMAGE_PROTOCOL        mLoadedImage;
CHAR16                           mFirmwareVendor[] = { 'H', 'o', 's', 't', 0 };
// Agent of the opens HandleProtocol records; the core's own image on a machine.
char                             mCoreAgent;

std::vector<std::unique_ptr<HANDLE_RECORD>>   mAllHandles;
std::vector<std::unique_ptr<PROTOCOL_ENTRY>>  mAllProtocols;
std::vector<HANDLE_RECORD *>                  mHandles;     // live, in creation order
std::vector<std::unique_ptr<EVENT_RECORD>>    mEvents;
std::deque<EVENT_RECORD *>                    mQueue[TPL_HIGH_LEVEL + 1];

std::unordered_map<void *, size_t>  mPool;
std::unordered_map<UINT64, size_t>  mPages;
size_t                              mLiveBytes;
size_t                              mAllocationCount;
size_t                              mFailAllocationIn;

EFI_TPL                             mTpl;
EFI_TPL                             mHighestTpl;
INTN                                mTplDepth;
UINT64                              mNowUs;
UINT64                              mStallCalls;
fake::Firmware::STALL_HOOK          mStallHook;
bool                                mTicksHeld;
UINT64                              mTickUs;
EFI_TIMER_ARCH_PROTOCOL             mTimerArch;
void                                *mStallContext;
UINT64                              mMonotonic;

EFI_STATUS                          mFailUninstall;
UINT64                              mDatabaseKey;
std::map<std::string, EFI_STATUS>   mFailNext;

struct VARIABLE {
  UINT32                  Attributes;
  std::vector<uint8_t>    Data;
};
using VARIABLE_KEY = std::pair<std::u16string, std::string>;
std::map<VARIABLE_KEY, VARIABLE>    mVariables;
EFI_STATUS                          mFailSetVariable;
size_t                              mSetVariableCalls;
std::string                         mConsole;
EFI_SIMPLE_TEXT_INPUT_PROTOCOL      mConIn;
std::deque<char16_t>                mKeys;
char                                mKeyEvent;    // WaitForKey: signalled while a key is queued

// ---- helpers ---------------------------------------------------------------

bool
SameGuid (const EFI_GUID &A, const EFI_GUID &B)
{
  return std::memcmp (&A, &B, sizeof (EFI_GUID)) == 0;
}

// Calls the firmware makes to itself are not the caller's calls: a failure
// armed for "OpenProtocol" must not be spent on HandleProtocol's own open.
int  mCoreDepth;

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

bool
Failing (const char *Service, EFI_STATUS *Status)
{
  if (mCoreDepth > 0) {
    return false;
  }

  auto  It = mFailNext.find (Service);

  if (It == mFailNext.end ()) {
    return false;
  }

  *Status = It->second;
  mFailNext.erase (It);
  return true;
}

HANDLE_RECORD *
AsHandle (EFI_HANDLE Handle)
{
  for (auto *Record : mHandles) {
    if (Record == Handle) {
      return Record;
    }
  }

  return nullptr;
}

EVENT_RECORD *
AsEvent (EFI_EVENT Event)
{
  for (auto &Record : mEvents) {
    if ((Record.get () == Event) && Record->Open) {
      return Record.get ();
    }
  }

  return nullptr;
}

PROTOCOL_ENTRY *
FindProtocol (HANDLE_RECORD *Handle, const EFI_GUID *Guid)
{
  for (auto *Entry : Handle->Protocols) {
    if (SameGuid (Entry->Guid, *Guid)) {
      return Entry;
    }
  }

  return nullptr;
}

HANDLE_RECORD *
CreateHandle ()
{
  mAllHandles.push_back (std::make_unique<HANDLE_RECORD>());
  HANDLE_RECORD  *Handle = mAllHandles.back ().get ();

  Handle->Signature = HandleSignature;
  Handle->Key       = ++mDatabaseKey;
  mHandles.push_back (Handle);
  return Handle;
}

void
RemoveHandle (HANDLE_RECORD *Handle)
{
  mHandles.erase (std::find (mHandles.begin (), mHandles.end (), Handle));
  Handle->Signature = 0;
}

UINTN
DevicePathBytes (const EFI_DEVICE_PATH_PROTOCOL *Path)
{
  const UINT8  *Node = reinterpret_cast<const UINT8 *>(Path);
  UINTN        Size  = 0;

  for (;;) {
    UINTN  Length = Node[2] | (Node[3] << 8);
    if ((Node[0] == END_DEVICE_PATH_TYPE) && (Node[1] == END_ENTIRE_DEVICE_PATH_SUBTYPE)) {
      return Size;
    }

    if (Length < 4) {
      return Size;  // malformed; treat what came before as the whole path
    }

    Size += Length;
    Node += Length;
  }
}

void *
PoolAllocate (size_t Size)
{
  void  *Block = std::malloc (Size == 0 ? 1 : Size);

  mPool[Block] = Size;
  mLiveBytes  += Size;
  return Block;
}

void
PoolFree (void *Block)
{
  auto  It = mPool.find (Block);

  mLiveBytes -= It->second;
  mPool.erase (It);
  std::free (Block);
}

// ---- TPL and notify dispatch -----------------------------------------------

void
NoteTpl (EFI_TPL Tpl)
{
  mHighestTpl = std::max (mHighestTpl, Tpl);
}

void
QueueNotify (EVENT_RECORD *Event)
{
  if (Event->Queued) {
    auto  &Queue = mQueue[Event->Tpl];
    Queue.erase (std::find (Queue.begin (), Queue.end (), Event));
  }

  mQueue[Event->Tpl].push_back (Event);
  Event->Queued = true;
}

// Runs every queued notify above NewTpl, highest TPL first, each at its own TPL,
// and leaves the TPL at NewTpl.
void
DispatchAbove (EFI_TPL NewTpl)
{
  for (EFI_TPL Tpl = TPL_HIGH_LEVEL; Tpl > NewTpl; Tpl--) {
    while (!mQueue[Tpl].empty ()) {
      EVENT_RECORD  *Event = mQueue[Tpl].front ();
      mQueue[Tpl].pop_front ();
      Event->Queued = false;
      // Wait events stay signaled until CheckEvent sees them.
      if ((Event->Type & EVT_NOTIFY_SIGNAL) != 0) {
        Event->Signaled = false;
      }

      mTpl = Tpl;
      NoteTpl (Tpl);
      CALL_OUT  Out;
      Event->Notify (Event, Event->Context);
      // A notify may have queued more at a higher level; start over from the top.
      Tpl = TPL_HIGH_LEVEL + 1;
      break;
    }
  }

  mTpl = NewTpl;
}

void
SignalOne (EVENT_RECORD *Event)
{
  if (!Event->Signaled) {
    Event->Signaled = true;
    if ((Event->Type & EVT_NOTIFY_SIGNAL) != 0) {
      QueueNotify (Event);
    }
  }
}

void
Signal (EVENT_RECORD *Event)
{
  if (Event->HasGroup) {
    for (auto &Other : mEvents) {
      if (Other->Open && Other->HasGroup && SameGuid (Other->Group, Event->Group)) {
        SignalOne (Other.get ());
      }
    }
  } else {
    SignalOne (Event);
  }

  DispatchAbove (mTpl);
}

void
Expire (EVENT_RECORD *Event)
{
  if (Event->TimerType == TimerPeriodic) {
    Event->DueUs = mNowUs + std::max<UINT64>(Event->Period100ns / 10, 1);
  } else {
    Event->Armed = false;
  }

  Signal (Event);
}

EFI_STATUS
EFIAPI
FwGetTimerPeriod (
  EFI_TIMER_ARCH_PROTOCOL  *This,
  UINT64                   *Period
  )
{
  (void)This;
  *Period = mTickUs * 10;
  return EFI_SUCCESS;
}

// A stall lets the timer interrupt in, unless it runs at TPL_HIGH_LEVEL or inside that
// interrupt (HoldTicks). Only timers without a notify are signalled here: those are what
// code that stalls can see (CheckEvent); notifies run from WaitForEvent or the test.
// A timer is signalled on the first tick at or after its trigger time that follows the
// moment it was armed, as the firmware's core does.
void
SignalTicksDuringStall (UINT64 Before, UINT64 After)
{
  if (mTicksHeld || (mTpl >= TPL_HIGH_LEVEL)) {
    return;
  }

  UINT64  LastTick = After - After % mTickUs;
  if (LastTick <= Before) {
    return;
  }

  std::vector<EVENT_RECORD *>  Due;
  for (auto &Event : mEvents) {
    if (Event->Open && Event->Armed && (Event->Notify == nullptr) &&
        (LastTick >= Event->DueUs) && (LastTick > Event->ArmedUs))
    {
      Due.push_back (Event.get ());
    }
  }

  for (auto *Event : Due) {
    Expire (Event);
  }
}

// ---- boot services: TPL, time, memory ----------------------------------------

EFI_TPL
EFIAPI
FwRaiseTpl (EFI_TPL NewTpl)
{
  EFI_TPL  Old = mTpl;

  if ((NewTpl < Old) || (NewTpl > TPL_HIGH_LEVEL)) {
    ADD_FAILURE () << "RaiseTPL (" << NewTpl << ") at TPL " << Old;
  }

  mTplDepth++;
  mTpl = NewTpl;
  NoteTpl (NewTpl);
  return Old;
}

VOID
EFIAPI
FwRestoreTpl (EFI_TPL OldTpl)
{
  if (OldTpl > mTpl) {
    ADD_FAILURE () << "RestoreTPL (" << OldTpl << ") at TPL " << mTpl;
  }

  mTplDepth--;
  DispatchAbove (OldTpl);
}

EFI_STATUS
EFIAPI
FwAllocatePool (EFI_MEMORY_TYPE PoolType, UINTN Size, VOID **Buffer)
{
  EFI_STATUS  Status;

  if (Failing ("AllocatePool", &Status)) {
    return Status;
  }

  if (Buffer == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  mAllocationCount++;
  if ((mFailAllocationIn != 0) && (--mFailAllocationIn == 0)) {
    *Buffer = NULL;
    return EFI_OUT_OF_RESOURCES;
  }

  *Buffer = PoolAllocate (Size);
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
FwFreePool (VOID *Buffer)
{
  if ((Buffer == NULL) || (mPool.count (Buffer) == 0)) {
    ADD_FAILURE () << "FreePool of a block the pool never handed out: " << Buffer;
    return EFI_INVALID_PARAMETER;
  }

  PoolFree (Buffer);
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
FwAllocatePages (EFI_ALLOCATE_TYPE Type, EFI_MEMORY_TYPE MemoryType, UINTN Pages, EFI_PHYSICAL_ADDRESS *Memory)
{
  EFI_STATUS  Status;

  if (Failing ("AllocatePages", &Status)) {
    return Status;
  }

  if ((Memory == NULL) || (Pages == 0)) {
    return EFI_INVALID_PARAMETER;
  }

  if (Type == AllocateAddress) {
    return EFI_NOT_FOUND;   // host memory has no fixed addresses to give
  }

  void  *Block = std::aligned_alloc (EFI_PAGE_SIZE, Pages * EFI_PAGE_SIZE);
  if (Block == nullptr) {
    return EFI_OUT_OF_RESOURCES;
  }

  *Memory                                     = reinterpret_cast<UINTN>(Block);
  mPages[*Memory]                             = Pages;
  mLiveBytes                                 += Pages * EFI_PAGE_SIZE;
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
FwFreePages (EFI_PHYSICAL_ADDRESS Memory, UINTN Pages)
{
  auto  It = mPages.find (Memory);

  if ((It == mPages.end ()) || (It->second != Pages)) {
    ADD_FAILURE () << "FreePages of pages never allocated (or a different count)";
    return EFI_NOT_FOUND;
  }

  mLiveBytes -= Pages * EFI_PAGE_SIZE;
  mPages.erase (It);
  std::free (reinterpret_cast<void *>(static_cast<UINTN>(Memory)));
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
FwStall (UINTN Microseconds)
{
  UINT64  Before = mNowUs;

  mStallCalls++;
  mNowUs += Microseconds;
  SignalTicksDuringStall (Before, mNowUs);
  if (mStallHook != nullptr) {
    mStallHook (mStallContext, mNowUs);
  }

  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
FwSetWatchdogTimer (UINTN Timeout, UINT64 WatchdogCode, UINTN DataSize, CHAR16 *WatchdogData)
{
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
FwGetNextMonotonicCount (UINT64 *Count)
{
  if (Count == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  *Count = ++mMonotonic;
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
FwCalculateCrc32 (VOID *Data, UINTN DataSize, UINT32 *Crc32)
{
  if ((Data == NULL) || (DataSize == 0) || (Crc32 == NULL)) {
    return EFI_INVALID_PARAMETER;
  }

  UINT32       Crc   = 0xFFFFFFFF;
  const UINT8  *Byte = static_cast<const UINT8 *>(Data);
  for (UINTN Index = 0; Index < DataSize; Index++) {
    Crc ^= Byte[Index];
    for (int Bit = 0; Bit < 8; Bit++) {
      Crc = (Crc >> 1) ^ (0xEDB88320U & (0U - (Crc & 1)));
    }
  }

  *Crc32 = ~Crc;
  return EFI_SUCCESS;
}

VOID
EFIAPI
FwCopyMem (VOID *Destination, VOID *Source, UINTN Length)
{
  std::memmove (Destination, Source, Length);
}

VOID
EFIAPI
FwSetMem (VOID *Buffer, UINTN Size, UINT8 Value)
{
  std::memset (Buffer, Value, Size);
}

// ---- events ----------------------------------------------------------------

EFI_STATUS
EFIAPI
FwCreateEventEx (
  UINT32            Type,
  EFI_TPL           NotifyTpl,
  EFI_EVENT_NOTIFY  NotifyFunction,
  CONST VOID        *NotifyContext,
  CONST EFI_GUID    *EventGroup,
  EFI_EVENT         *Event
  )
{
  EFI_STATUS  Status;

  if (Failing ("CreateEventEx", &Status)) {
    return Status;
  }

  if (Event == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  constexpr UINT32  Known = EVT_TIMER | EVT_RUNTIME | EVT_NOTIFY_WAIT | EVT_NOTIFY_SIGNAL |
                            EVT_SIGNAL_EXIT_BOOT_SERVICES | EVT_SIGNAL_VIRTUAL_ADDRESS_CHANGE;
  if ((Type & ~Known) != 0) {
    return EFI_INVALID_PARAMETER;
  }

  if ((Type & (EVT_NOTIFY_WAIT | EVT_NOTIFY_SIGNAL)) == (EVT_NOTIFY_WAIT | EVT_NOTIFY_SIGNAL)) {
    return EFI_INVALID_PARAMETER;
  }

  if ((Type & (EVT_NOTIFY_WAIT | EVT_NOTIFY_SIGNAL)) != 0) {
    if ((NotifyFunction == NULL) || (NotifyTpl <= TPL_APPLICATION) || (NotifyTpl >= TPL_HIGH_LEVEL)) {
      return EFI_INVALID_PARAMETER;
    }
  }

  if ((EventGroup != NULL) && ((Type == EVT_SIGNAL_EXIT_BOOT_SERVICES) || (Type == EVT_SIGNAL_VIRTUAL_ADDRESS_CHANGE))) {
    return EFI_INVALID_PARAMETER;
  }

  mEvents.push_back (std::make_unique<EVENT_RECORD>());
  EVENT_RECORD  *Record = mEvents.back ().get ();
  *Record           = {};
  Record->Signature = EventSignature;
  Record->Open      = true;
  Record->Type      = Type;
  Record->Tpl       = NotifyTpl;
  Record->Notify    = NotifyFunction;
  Record->Context   = const_cast<void *>(NotifyContext);
  Record->TimerType = TimerCancel;
  if (EventGroup != NULL) {
    Record->HasGroup = true;
    Record->Group    = *EventGroup;
  }

  *Event = Record;
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
FwCreateEvent (UINT32 Type, EFI_TPL NotifyTpl, EFI_EVENT_NOTIFY NotifyFunction, VOID *NotifyContext, EFI_EVENT *Event)
{
  EFI_STATUS  Status;

  if (Failing ("CreateEvent", &Status)) {
    return Status;
  }

  CORE_CALL  Core;
  return FwCreateEventEx (Type, NotifyTpl, NotifyFunction, NotifyContext, NULL, Event);
}

EFI_STATUS
EFIAPI
FwCloseEvent (EFI_EVENT Event)
{
  EVENT_RECORD  *Record = AsEvent (Event);

  if (Record == nullptr) {
    return EFI_INVALID_PARAMETER;
  }

  if (Record->Queued) {
    auto  &Queue = mQueue[Record->Tpl];
    Queue.erase (std::find (Queue.begin (), Queue.end (), Record));
    Record->Queued = false;
  }

  Record->Open      = false;
  Record->Armed     = false;
  Record->Signature = 0;
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
FwSignalEvent (EFI_EVENT Event)
{
  EVENT_RECORD  *Record = AsEvent (Event);

  if (Record == nullptr) {
    return EFI_INVALID_PARAMETER;
  }

  Signal (Record);
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
FwCheckEvent (EFI_EVENT Event)
{
  EVENT_RECORD  *Record = AsEvent (Event);

  if (Event == &mKeyEvent) {
    return mKeys.empty () ? EFI_NOT_READY : EFI_SUCCESS;
  }

  if ((Record == nullptr) || ((Record->Type & EVT_NOTIFY_SIGNAL) != 0)) {
    return EFI_INVALID_PARAMETER;
  }

  if (!Record->Signaled && ((Record->Type & EVT_NOTIFY_WAIT) != 0)) {
    QueueNotify (Record);
    DispatchAbove (mTpl);
  }

  if (Record->Signaled) {
    Record->Signaled = false;
    return EFI_SUCCESS;
  }

  return EFI_NOT_READY;
}

EFI_STATUS
EFIAPI
FwWaitForEvent (UINTN NumberOfEvents, EFI_EVENT *Event, UINTN *Index)
{
  if ((NumberOfEvents == 0) || (Event == NULL) || (Index == NULL)) {
    return EFI_INVALID_PARAMETER;
  }

  if (mTpl != TPL_APPLICATION) {
    return EFI_UNSUPPORTED;
  }

  if ((NumberOfEvents == 1) && (Event[0] == &mKeyEvent) && mKeys.empty ()) {
    ADD_FAILURE () << "WaitForEvent: waits for a key, and the test queued none";
    return EFI_TIMEOUT;
  }

  for (UINT64 Waited = 0; Waited <= WaitLimitUs; Waited += WaitRoundUs) {
    for (UINTN Which = 0; Which < NumberOfEvents; Which++) {
      CORE_CALL   Core;
      EFI_STATUS  Status = FwCheckEvent (Event[Which]);
      if (Status != EFI_NOT_READY) {
        *Index = Which;
        return Status;
      }
    }

    // The core signals its idle-loop group between its looks, and halts there until the
    // next interrupt.
    fake::Firmware::Idle ();
    mNowUs += WaitRoundUs;
    if (mStallHook != nullptr) {
      mStallHook (mStallContext, mNowUs);
    }

    fake::Firmware::FireDueTimers ();
  }

  ADD_FAILURE () << "WaitForEvent: nothing signaled in " << WaitLimitUs / 1000 << " ms of virtual time";
  return EFI_TIMEOUT;
}

EFI_STATUS
EFIAPI
FwSetTimer (EFI_EVENT Event, EFI_TIMER_DELAY Type, UINT64 TriggerTime)
{
  EFI_STATUS    Status;
  EVENT_RECORD  *Record = AsEvent (Event);

  if (Failing ("SetTimer", &Status)) {
    return Status;
  }

  if ((Record == nullptr) || ((Record->Type & EVT_TIMER) == 0) ||
      ((Type != TimerCancel) && (Type != TimerPeriodic) && (Type != TimerRelative)))
  {
    return EFI_INVALID_PARAMETER;
  }

  Record->TimerType   = Type;
  Record->Period100ns = (Type == TimerCancel) ? 0 : TriggerTime;
  Record->Armed       = (Type != TimerCancel);
  Record->DueUs       = mNowUs + (TriggerTime + 9) / 10;
  Record->ArmedUs     = mNowUs;
  // The firmware's core signals a relative 0 at once, not on a tick.
  if ((Type == TimerRelative) && (TriggerTime == 0) && (Record->Notify == nullptr)) {
    Expire (Record);
  }

  return EFI_SUCCESS;
}

// ---- protocol database -------------------------------------------------------

EFI_STATUS EFIAPI FwConnectController (EFI_HANDLE, EFI_HANDLE *, EFI_DEVICE_PATH_PROTOCOL *, BOOLEAN);
EFI_STATUS EFIAPI FwDisconnectController (EFI_HANDLE, EFI_HANDLE, EFI_HANDLE);

EFI_STATUS
EFIAPI
FwInstallProtocolInterface (EFI_HANDLE *UserHandle, EFI_GUID *Protocol, EFI_INTERFACE_TYPE InterfaceType, VOID *Interface)
{
  EFI_STATUS  Status;

  if (Failing ("InstallProtocolInterface", &Status)) {
    return Status;
  }

  if ((UserHandle == NULL) || (Protocol == NULL) || (InterfaceType != EFI_NATIVE_INTERFACE)) {
    return EFI_INVALID_PARAMETER;
  }

  HANDLE_RECORD  *Handle = nullptr;
  if (*UserHandle != NULL) {
    Handle = AsHandle (*UserHandle);
    if (Handle == nullptr) {
      return EFI_INVALID_PARAMETER;
    }

    if (FindProtocol (Handle, Protocol) != nullptr) {
      return EFI_INVALID_PARAMETER;
    }
  } else {
    Handle = CreateHandle ();
  }

  mAllProtocols.push_back (std::make_unique<PROTOCOL_ENTRY>());
  PROTOCOL_ENTRY  *Entry = mAllProtocols.back ().get ();
  Entry->Guid      = *Protocol;
  Entry->Interface = Interface;
  Handle->Protocols.push_back (Entry);
  Handle->Key = ++mDatabaseKey;
  *UserHandle = Handle;
  return EFI_SUCCESS;
}

// Asks every driver holding the interface BY_DRIVER to let go; fails when one keeps it.
EFI_STATUS
DisconnectByDriverOpeners (HANDLE_RECORD *Handle, PROTOCOL_ENTRY *Entry)
{
  std::vector<EFI_HANDLE>  Asked;

  for (bool Again = true; Again;) {
    Again = false;
    for (auto &Open : Entry->Opens) {
      if ((Open.Attributes & EFI_OPEN_PROTOCOL_BY_DRIVER) != 0) {
        // A driver whose Stop succeeded yet kept the interface is not asked twice.
        if (std::find (Asked.begin (), Asked.end (), Open.Agent) != Asked.end ()) {
          return EFI_ACCESS_DENIED;
        }

        Asked.push_back (Open.Agent);
        CORE_CALL   Core;
        EFI_STATUS  Status = FwDisconnectController (Handle, Open.Agent, NULL);
        if (EFI_ERROR (Status)) {
          return Status;
        }

        Again = true;
        break;
      }
    }
  }

  return EFI_SUCCESS;
}

EFI_STATUS
DisconnectUsers (HANDLE_RECORD *Handle, PROTOCOL_ENTRY *Entry)
{
  EFI_STATUS  Status = DisconnectByDriverOpeners (Handle, Entry);

  if (EFI_ERROR (Status)) {
    return Status;
  }

  // Removing these would be fine; anything else still open blocks the removal.
  auto  &Opens = Entry->Opens;
  constexpr UINT32  Passive = EFI_OPEN_PROTOCOL_BY_HANDLE_PROTOCOL | EFI_OPEN_PROTOCOL_GET_PROTOCOL |
                              EFI_OPEN_PROTOCOL_TEST_PROTOCOL;
  auto  IsPassive = [](const OPEN_ENTRY &Open) { return (Open.Attributes & Passive) != 0; };
  Opens.erase (std::remove_if (Opens.begin (), Opens.end (), IsPassive), Opens.end ());
  return Opens.empty () ? EFI_SUCCESS : EFI_ACCESS_DENIED;
}

// Uninstall and reinstall both need the entry to hold the interface the caller names and
// every driver using it to let go; on a refusal the drivers stopped so far get the
// controller back.
EFI_STATUS
ReleaseEntry (HANDLE_RECORD *Handle, EFI_GUID *Protocol, VOID *Interface, PROTOCOL_ENTRY **Released)
{
  if ((Handle == nullptr) || (Protocol == NULL)) {
    return EFI_INVALID_PARAMETER;
  }

  PROTOCOL_ENTRY  *Entry = FindProtocol (Handle, Protocol);
  if ((Entry == nullptr) || (Entry->Interface != Interface)) {
    return EFI_NOT_FOUND;
  }

  if (EFI_ERROR (DisconnectUsers (Handle, Entry))) {
    CORE_CALL  Core;
    FwConnectController (Handle, NULL, NULL, TRUE);
    return EFI_ACCESS_DENIED;
  }

  *Released = Entry;
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
FwUninstallProtocolInterface (EFI_HANDLE UserHandle, EFI_GUID *Protocol, VOID *Interface)
{
  EFI_STATUS      Status;
  HANDLE_RECORD   *Handle = AsHandle (UserHandle);
  PROTOCOL_ENTRY  *Entry;

  if (Failing ("UninstallProtocolInterface", &Status)) {
    return Status;
  }

  Status = ReleaseEntry (Handle, Protocol, Interface, &Entry);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  auto  &List = Handle->Protocols;
  List.erase (std::find (List.begin (), List.end (), Entry));
  Handle->Key = ++mDatabaseKey;
  if (List.empty ()) {
    RemoveHandle (Handle);
  }

  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
FwReinstallProtocolInterface (EFI_HANDLE UserHandle, EFI_GUID *Protocol, VOID *OldInterface, VOID *NewInterface)
{
  EFI_STATUS      Status;
  HANDLE_RECORD   *Handle = AsHandle (UserHandle);
  PROTOCOL_ENTRY  *Entry;

  if (Failing ("ReinstallProtocolInterface", &Status)) {
    return Status;
  }

  Status = ReleaseEntry (Handle, Protocol, OldInterface, &Entry);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  Entry->Interface = NewInterface;
  Handle->Key      = ++mDatabaseKey;
  CORE_CALL  Core;
  FwConnectController (Handle, NULL, NULL, TRUE);
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
FwOpenProtocol (
  EFI_HANDLE  UserHandle,
  EFI_GUID    *Protocol,
  VOID        **Interface,
  EFI_HANDLE  AgentHandle,
  EFI_HANDLE  ControllerHandle,
  UINT32      Attributes
  )
{
  EFI_STATUS  Status;

  if (Failing ("OpenProtocol", &Status)) {
    return Status;
  }

  if (Protocol == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  if ((Attributes != EFI_OPEN_PROTOCOL_TEST_PROTOCOL) && (Interface == NULL)) {
    return EFI_INVALID_PARAMETER;
  }

  HANDLE_RECORD  *Handle = AsHandle (UserHandle);
  if (Handle == nullptr) {
    return EFI_INVALID_PARAMETER;
  }

  switch (Attributes) {
    case EFI_OPEN_PROTOCOL_BY_CHILD_CONTROLLER:
      if ((AsHandle (AgentHandle) == nullptr) || (AsHandle (ControllerHandle) == nullptr) ||
          (UserHandle == ControllerHandle))
      {
        return EFI_INVALID_PARAMETER;
      }

      break;
    case EFI_OPEN_PROTOCOL_BY_DRIVER:
    case EFI_OPEN_PROTOCOL_BY_DRIVER | EFI_OPEN_PROTOCOL_EXCLUSIVE:
      if ((AsHandle (AgentHandle) == nullptr) || (AsHandle (ControllerHandle) == nullptr)) {
        return EFI_INVALID_PARAMETER;
      }

      break;
    case EFI_OPEN_PROTOCOL_EXCLUSIVE:
      if (AsHandle (AgentHandle) == nullptr) {
        return EFI_INVALID_PARAMETER;
      }

      break;
    case EFI_OPEN_PROTOCOL_BY_HANDLE_PROTOCOL:
    case EFI_OPEN_PROTOCOL_GET_PROTOCOL:
    case EFI_OPEN_PROTOCOL_TEST_PROTOCOL:
      break;
    default:
      return EFI_INVALID_PARAMETER;
  }

  PROTOCOL_ENTRY  *Entry = FindProtocol (Handle, Protocol);
  if (Entry == nullptr) {
    if (Attributes != EFI_OPEN_PROTOCOL_TEST_PROTOCOL) {
      *Interface = NULL;
    }

    return EFI_UNSUPPORTED;
  }

  // Interface is also handed back with EFI_ALREADY_STARTED: a bus driver wants it.
  auto  Give = [&](EFI_STATUS Result) {
                 if ((Attributes != EFI_OPEN_PROTOCOL_TEST_PROTOCOL) &&
                     (!EFI_ERROR (Result) || (Result == EFI_ALREADY_STARTED)))
                 {
                   *Interface = Entry->Interface;
                 }

                 return Result;
               };

  bool  ByDriver  = false;
  bool  Exclusive = false;
  for (auto &Open : Entry->Opens) {
    bool  Exact = (Open.Agent == AgentHandle) && (Open.Attributes == Attributes) &&
                  (Open.Controller == ControllerHandle);
    if ((Open.Attributes & EFI_OPEN_PROTOCOL_BY_DRIVER) != 0) {
      ByDriver = true;
      if (Exact) {
        return Give (EFI_ALREADY_STARTED);
      }
    }

    if ((Open.Attributes & EFI_OPEN_PROTOCOL_EXCLUSIVE) != 0) {
      Exclusive = true;
    } else if (Exact) {
      Open.OpenCount++;
      return Give (EFI_SUCCESS);
    }
  }

  switch (Attributes) {
    case EFI_OPEN_PROTOCOL_BY_DRIVER:
      if (Exclusive || ByDriver) {
        return EFI_ACCESS_DENIED;
      }

      break;
    case EFI_OPEN_PROTOCOL_BY_DRIVER | EFI_OPEN_PROTOCOL_EXCLUSIVE:
    case EFI_OPEN_PROTOCOL_EXCLUSIVE:
      if (Exclusive) {
        return EFI_ACCESS_DENIED;
      }

      // An exclusive opener takes the interface away from the drivers holding it.
      if (ByDriver && EFI_ERROR (DisconnectByDriverOpeners (Handle, Entry))) {
        return EFI_ACCESS_DENIED;
      }

      break;
    default:
      break;
  }

  if (AgentHandle != NULL) {
    Entry->Opens.push_back ({ AgentHandle, ControllerHandle, Attributes, 1 });
  }

  return Give (EFI_SUCCESS);
}

EFI_STATUS
EFIAPI
FwCloseProtocol (EFI_HANDLE UserHandle, EFI_GUID *Protocol, EFI_HANDLE AgentHandle, EFI_HANDLE ControllerHandle)
{
  EFI_STATUS      Status;
  HANDLE_RECORD   *Handle = AsHandle (UserHandle);

  if (Failing ("CloseProtocol", &Status)) {
    return Status;
  }

  if ((Handle == nullptr) || (AsHandle (AgentHandle) == nullptr) ||
      ((ControllerHandle != NULL) && (AsHandle (ControllerHandle) == nullptr)) || (Protocol == NULL))
  {
    return EFI_INVALID_PARAMETER;
  }

  PROTOCOL_ENTRY  *Entry = FindProtocol (Handle, Protocol);
  if (Entry == nullptr) {
    return EFI_NOT_FOUND;
  }

  auto    &Opens = Entry->Opens;
  size_t  Before = Opens.size ();
  auto    IsTheirs = [&](const OPEN_ENTRY &Open) {
                       return (Open.Agent == AgentHandle) && (Open.Controller == ControllerHandle);
                     };
  Opens.erase (std::remove_if (Opens.begin (), Opens.end (), IsTheirs), Opens.end ());
  return (Opens.size () < Before) ? EFI_SUCCESS : EFI_NOT_FOUND;
}

EFI_STATUS
EFIAPI
FwHandleProtocol (EFI_HANDLE UserHandle, EFI_GUID *Protocol, VOID **Interface)
{
  EFI_STATUS  Status;

  if (Failing ("HandleProtocol", &Status)) {
    return Status;
  }

  CORE_CALL  Core;
  return FwOpenProtocol (UserHandle, Protocol, Interface, &mCoreAgent, NULL, EFI_OPEN_PROTOCOL_BY_HANDLE_PROTOCOL);
}

EFI_STATUS
EFIAPI
FwOpenProtocolInformation (
  EFI_HANDLE                           UserHandle,
  EFI_GUID                             *Protocol,
  EFI_OPEN_PROTOCOL_INFORMATION_ENTRY  **EntryBuffer,
  UINTN                                *EntryCount
  )
{
  EFI_STATUS      Status;

  if (Failing ("OpenProtocolInformation", &Status)) {
    return Status;
  }

  *EntryBuffer = NULL;
  *EntryCount  = 0;
  HANDLE_RECORD   *Handle = AsHandle (UserHandle);
  PROTOCOL_ENTRY  *Entry  = (Handle == nullptr) ? nullptr : FindProtocol (Handle, Protocol);
  if (Entry == nullptr) {
    return EFI_NOT_FOUND;
  }

  size_t  Count = Entry->Opens.size ();
  VOID    *Buffer;
  // An empty list still comes back as a (one-entry) pool block, as the core's does.
  Status = FwAllocatePool (EfiBootServicesData, sizeof (EFI_OPEN_PROTOCOL_INFORMATION_ENTRY) * (Count + 1), &Buffer);
  if (EFI_ERROR (Status)) {
    return EFI_OUT_OF_RESOURCES;
  }

  auto  *Info = static_cast<EFI_OPEN_PROTOCOL_INFORMATION_ENTRY *>(Buffer);
  for (size_t Index = 0; Index < Count; Index++) {
    const OPEN_ENTRY  &Open = Entry->Opens[Index];
    Info[Index].AgentHandle      = Open.Agent;
    Info[Index].ControllerHandle = Open.Controller;
    Info[Index].Attributes       = Open.Attributes;
    Info[Index].OpenCount        = Open.OpenCount;
  }

  *EntryBuffer = Info;
  *EntryCount  = Count;
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
FwProtocolsPerHandle (EFI_HANDLE UserHandle, EFI_GUID ***ProtocolBuffer, UINTN *ProtocolBufferCount)
{
  HANDLE_RECORD  *Handle = AsHandle (UserHandle);

  if ((Handle == nullptr) || (ProtocolBuffer == NULL) || (ProtocolBufferCount == NULL)) {
    return EFI_INVALID_PARAMETER;
  }

  size_t      Count = Handle->Protocols.size ();
  VOID        *Buffer;
  EFI_STATUS  Status = FwAllocatePool (EfiBootServicesData, sizeof (EFI_GUID *) * Count, &Buffer);
  if (EFI_ERROR (Status)) {
    return EFI_OUT_OF_RESOURCES;
  }

  auto  *Guids = static_cast<EFI_GUID **>(Buffer);
  for (size_t Index = 0; Index < Count; Index++) {
    Guids[Index] = &Handle->Protocols[Index]->Guid;
  }

  *ProtocolBuffer      = Guids;
  *ProtocolBufferCount = Count;
  return EFI_SUCCESS;
}

std::vector<EFI_HANDLE>
Matching (EFI_LOCATE_SEARCH_TYPE SearchType, EFI_GUID *Protocol)
{
  std::vector<EFI_HANDLE>  Found;

  for (auto *Handle : mHandles) {
    if ((SearchType == AllHandles) || (FindProtocol (Handle, Protocol) != nullptr)) {
      Found.push_back (Handle);
    }
  }

  return Found;
}

EFI_STATUS
CheckSearch (EFI_LOCATE_SEARCH_TYPE SearchType, EFI_GUID *Protocol)
{
  switch (SearchType) {
    case AllHandles:
      return EFI_SUCCESS;
    case ByProtocol:
      return (Protocol == NULL) ? EFI_INVALID_PARAMETER : EFI_SUCCESS;
    case ByRegisterNotify:
      ADD_FAILURE () << "LocateHandle ByRegisterNotify is not modelled";
      return EFI_UNSUPPORTED;
    default:
      return EFI_INVALID_PARAMETER;
  }
}

EFI_STATUS
EFIAPI
FwLocateHandle (EFI_LOCATE_SEARCH_TYPE SearchType, EFI_GUID *Protocol, VOID *SearchKey, UINTN *BufferSize, EFI_HANDLE *Buffer)
{
  EFI_STATUS  Status = CheckSearch (SearchType, Protocol);

  if (EFI_ERROR (Status)) {
    return Status;
  }

  if (BufferSize == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  auto   Found = Matching (SearchType, Protocol);
  UINTN  Need  = Found.size () * sizeof (EFI_HANDLE);
  if (Found.empty ()) {
    *BufferSize = 0;
    return EFI_NOT_FOUND;
  }

  if (*BufferSize < Need) {
    *BufferSize = Need;
    return EFI_BUFFER_TOO_SMALL;
  }

  if (Buffer == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  *BufferSize = Need;
  std::copy (Found.begin (), Found.end (), Buffer);
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
FwLocateHandleBuffer (EFI_LOCATE_SEARCH_TYPE SearchType, EFI_GUID *Protocol, VOID *SearchKey, UINTN *NoHandles, EFI_HANDLE **Buffer)
{
  EFI_STATUS  Status;

  if (Failing ("LocateHandleBuffer", &Status)) {
    return Status;
  }

  if ((NoHandles == NULL) || (Buffer == NULL)) {
    return EFI_INVALID_PARAMETER;
  }

  *NoHandles = 0;
  *Buffer    = NULL;
  Status     = CheckSearch (SearchType, Protocol);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  auto  Found = Matching (SearchType, Protocol);
  if (Found.empty ()) {
    return EFI_NOT_FOUND;
  }

  VOID  *Block;
  if (EFI_ERROR (FwAllocatePool (EfiBootServicesData, Found.size () * sizeof (EFI_HANDLE), &Block))) {
    return EFI_OUT_OF_RESOURCES;
  }

  std::copy (Found.begin (), Found.end (), static_cast<EFI_HANDLE *>(Block));
  *Buffer    = static_cast<EFI_HANDLE *>(Block);
  *NoHandles = Found.size ();
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
FwLocateProtocol (EFI_GUID *Protocol, VOID *Registration, VOID **Interface)
{
  EFI_STATUS  Status;

  if (Failing ("LocateProtocol", &Status)) {
    return Status;
  }

  if ((Interface == NULL) || (Protocol == NULL)) {
    return EFI_INVALID_PARAMETER;
  }

  if (Registration != NULL) {
    ADD_FAILURE () << "LocateProtocol with a registration is not modelled";
    return EFI_UNSUPPORTED;
  }

  *Interface = NULL;
  for (auto *Handle : mHandles) {
    if (PROTOCOL_ENTRY *Entry = FindProtocol (Handle, Protocol)) {
      *Interface = Entry->Interface;
      return EFI_SUCCESS;
    }
  }

  return EFI_NOT_FOUND;
}

EFI_STATUS
EFIAPI
FwLocateDevicePath (EFI_GUID *Protocol, EFI_DEVICE_PATH_PROTOCOL **DevicePath, EFI_HANDLE *Device)
{
  if ((Protocol == NULL) || (DevicePath == NULL) || (*DevicePath == NULL)) {
    return EFI_INVALID_PARAMETER;
  }

  // The handle whose path is the longest whole-node prefix of the one asked for.
  const UINT8    *Wanted    = reinterpret_cast<const UINT8 *>(*DevicePath);
  UINTN          WantedSize = DevicePathBytes (*DevicePath);
  HANDLE_RECORD  *Best      = nullptr;
  UINTN          BestSize   = 0;
  for (auto *Handle : mHandles) {
    PROTOCOL_ENTRY  *Path = FindProtocol (Handle, &gEfiDevicePathProtocolGuid);
    if ((Path == nullptr) || (FindProtocol (Handle, Protocol) == nullptr) || (Path->Interface == nullptr)) {
      continue;
    }

    UINTN  Size = DevicePathBytes (static_cast<EFI_DEVICE_PATH_PROTOCOL *>(Path->Interface));
    if ((Size <= WantedSize) && (std::memcmp (Path->Interface, Wanted, Size) == 0) &&
        ((Best == nullptr) || (Size > BestSize)))
    {
      // Only a prefix that ends on a node boundary counts.
      UINTN  Offset = 0;
      while (Offset < Size) {
        Offset += Wanted[Offset + 2] | (Wanted[Offset + 3] << 8);
      }

      if (Offset == Size) {
        Best     = Handle;
        BestSize = Size;
      }
    }
  }

  if (Best == nullptr) {
    return EFI_NOT_FOUND;
  }

  if (Device == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  *Device     = Best;
  *DevicePath = reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(const_cast<UINT8 *>(Wanted) + BestSize);
  return EFI_SUCCESS;
}

bool
SameDevicePathInstalled (const EFI_DEVICE_PATH_PROTOCOL *Path)
{
  UINTN  Size = DevicePathBytes (Path);

  for (auto *Handle : mHandles) {
    PROTOCOL_ENTRY  *Entry = FindProtocol (Handle, &gEfiDevicePathProtocolGuid);
    if ((Entry != nullptr) && (Entry->Interface != nullptr) &&
        (DevicePathBytes (static_cast<EFI_DEVICE_PATH_PROTOCOL *>(Entry->Interface)) == Size) &&
        (std::memcmp (Entry->Interface, Path, Size) == 0))
    {
      return true;
    }
  }

  return false;
}

EFI_STATUS
EFIAPI
FwInstallMultipleProtocolInterfaces (EFI_HANDLE *Handle, ...)
{
  EFI_STATUS  Status;

  if (Failing ("InstallMultipleProtocolInterfaces", &Status)) {
    return Status;
  }

  if (Handle == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  std::vector<std::pair<EFI_GUID *, VOID *>>  Pairs;
  VA_LIST                                     Args;
  VA_START (Args, Handle);
  for (;;) {
    EFI_GUID  *Guid = VA_ARG (Args, EFI_GUID *);
    if (Guid == NULL) {
      break;
    }

    Pairs.emplace_back (Guid, VA_ARG (Args, VOID *));
  }

  VA_END (Args);

  CORE_CALL   Core;
  EFI_TPL     OldTpl = mTpl;
  EFI_HANDLE  Given  = *Handle;
  mTpl   = std::max<EFI_TPL>(mTpl, TPL_NOTIFY);
  Status = EFI_SUCCESS;
  size_t  Done = 0;
  for (; Done < Pairs.size (); Done++) {
    // A second handle with the same device path would be the same device twice.
    if (SameGuid (*Pairs[Done].first, gEfiDevicePathProtocolGuid) && (Pairs[Done].second != NULL) &&
        SameDevicePathInstalled (static_cast<EFI_DEVICE_PATH_PROTOCOL *>(Pairs[Done].second)))
    {
      Status = EFI_ALREADY_STARTED;
      break;
    }

    Status = FwInstallProtocolInterface (Handle, Pairs[Done].first, EFI_NATIVE_INTERFACE, Pairs[Done].second);
    if (EFI_ERROR (Status)) {
      break;
    }
  }

  if (EFI_ERROR (Status)) {
    while (Done-- > 0) {
      FwUninstallProtocolInterface (*Handle, Pairs[Done].first, Pairs[Done].second);
    }

    *Handle = Given;
  }

  DispatchAbove (OldTpl);
  return Status;
}

EFI_STATUS
EFIAPI
FwUninstallMultipleProtocolInterfaces (EFI_HANDLE Handle, ...)
{
  EFI_STATUS  Status;

  if (Failing ("UninstallMultipleProtocolInterfaces", &Status)) {
    return Status;
  }

  EFI_STATUS  Refusal = mFailUninstall;

  mFailUninstall = EFI_SUCCESS;

  std::vector<std::pair<EFI_GUID *, VOID *>>  Pairs;
  VA_LIST                                     Args;
  VA_START (Args, Handle);
  for (;;) {
    EFI_GUID  *Guid = VA_ARG (Args, EFI_GUID *);
    if (Guid == NULL) {
      break;
    }

    Pairs.emplace_back (Guid, VA_ARG (Args, VOID *));
  }

  VA_END (Args);

  CORE_CALL  Core;
  EFI_TPL    OldTpl = mTpl;
  mTpl   = std::max<EFI_TPL>(mTpl, TPL_NOTIFY);
  Status = EFI_SUCCESS;
  size_t  Done = 0;
  for (; Done < Pairs.size (); Done++) {
    // The consumer of the last interface will not let go: the handle is reconnected, at
    // the caller's TPL as the database lock is dropped for it, before the interfaces
    // removed so far are put back.
    if ((Refusal != EFI_SUCCESS) && (Done + 1 == Pairs.size ())) {
      DispatchAbove (OldTpl);
      FwConnectController (Handle, NULL, NULL, TRUE);
      mTpl   = std::max<EFI_TPL>(OldTpl, TPL_NOTIFY);
      Status = Refusal;
      break;
    }

    Status = FwUninstallProtocolInterface (Handle, Pairs[Done].first, Pairs[Done].second);
    if (EFI_ERROR (Status)) {
      break;
    }
  }

  if (EFI_ERROR (Status)) {
    // Put back what was already removed, on the same handle even if it had emptied.
    for (size_t Index = 0; Index < Done; Index++) {
      EFI_HANDLE  Target = Handle;
      if (AsHandle (Target) == nullptr) {
        auto  *Record = static_cast<HANDLE_RECORD *>(Handle);
        Record->Signature = HandleSignature;
        mHandles.push_back (Record);
      }

      FwInstallProtocolInterface (&Target, Pairs[Index].first, EFI_NATIVE_INTERFACE, Pairs[Index].second);
    }

    if (Refusal == EFI_SUCCESS) {
      Status = (Status == EFI_ACCESS_DENIED) ? EFI_ACCESS_DENIED : EFI_INVALID_PARAMETER;
    }
  }

  DispatchAbove (OldTpl);
  return Status;
}

EFI_DRIVER_BINDING_PROTOCOL *
BindingOn (EFI_HANDLE Handle)
{
  HANDLE_RECORD   *Record = AsHandle (Handle);
  PROTOCOL_ENTRY  *Entry  = (Record == nullptr) ? nullptr : FindProtocol (Record, &gEfiDriverBindingProtocolGuid);

  return (Entry == nullptr) ? nullptr : static_cast<EFI_DRIVER_BINDING_PROTOCOL *>(Entry->Interface);
}

EFI_STATUS
EFIAPI
FwConnectController (
  EFI_HANDLE                ControllerHandle,
  EFI_HANDLE                *DriverImageHandle,
  EFI_DEVICE_PATH_PROTOCOL  *RemainingDevicePath,
  BOOLEAN                   Recursive
  )
{
  EFI_STATUS  Status;

  if (Failing ("ConnectController", &Status)) {
    return Status;
  }

  if (AsHandle (ControllerHandle) == nullptr) {
    return EFI_INVALID_PARAMETER;
  }

  // Drivers the caller names come first, in its order; then every binding by Version.
  std::vector<EFI_DRIVER_BINDING_PROTOCOL *>  Named;
  if (DriverImageHandle != NULL) {
    for (EFI_HANDLE *Image = DriverImageHandle; *Image != NULL; Image++) {
      if (EFI_DRIVER_BINDING_PROTOCOL *Binding = BindingOn (*Image)) {
        Named.push_back (Binding);
      }
    }
  }

  std::vector<EFI_DRIVER_BINDING_PROTOCOL *>  Others;
  for (auto *Handle : mHandles) {
    if (PROTOCOL_ENTRY *Entry = FindProtocol (Handle, &gEfiDriverBindingProtocolGuid)) {
      auto  *Binding = static_cast<EFI_DRIVER_BINDING_PROTOCOL *>(Entry->Interface);
      if (std::find (Named.begin (), Named.end (), Binding) == Named.end ()) {
        Others.push_back (Binding);
      }
    }
  }

  auto  Newer = [](const EFI_DRIVER_BINDING_PROTOCOL *A, const EFI_DRIVER_BINDING_PROTOCOL *B) {
                  return A->Version > B->Version;
                };
  std::stable_sort (Others.begin (), Others.end (), Newer);
  Named.insert (Named.end (), Others.begin (), Others.end ());

  // Each driver gets one offer; after a start, the offers begin again from the top,
  // because a started driver may have made the controller interesting to another.
  bool  AnyStarted = false;
  for (bool Started = true; Started;) {
    Started = false;
    for (auto &Binding : Named) {
      if (Binding == nullptr) {
        continue;
      }

      CALL_OUT  Out;
      if (!EFI_ERROR (Binding->Supported (Binding, ControllerHandle, RemainingDevicePath))) {
        EFI_DRIVER_BINDING_PROTOCOL  *Offered = Binding;
        Binding = nullptr;
        if (!EFI_ERROR (Offered->Start (Offered, ControllerHandle, RemainingDevicePath))) {
          AnyStarted = true;
        }

        Started = true;
        break;
      }
    }

    if (AsHandle (ControllerHandle) == nullptr) {
      break;
    }
  }

  return AnyStarted ? EFI_SUCCESS : EFI_NOT_FOUND;
}

EFI_STATUS
EFIAPI
FwDisconnectController (EFI_HANDLE ControllerHandle, EFI_HANDLE DriverImageHandle, EFI_HANDLE ChildHandle)
{
  EFI_STATUS  Status;

  if (Failing ("DisconnectController", &Status)) {
    return Status;
  }

  HANDLE_RECORD  *Controller = AsHandle (ControllerHandle);
  if ((Controller == nullptr) || ((ChildHandle != NULL) && (AsHandle (ChildHandle) == nullptr))) {
    return EFI_INVALID_PARAMETER;
  }

  std::vector<EFI_HANDLE>  Drivers;
  if (DriverImageHandle != NULL) {
    Drivers.push_back (DriverImageHandle);
  } else {
    for (auto *Entry : Controller->Protocols) {
      for (auto &Open : Entry->Opens) {
        if (((Open.Attributes & EFI_OPEN_PROTOCOL_BY_DRIVER) != 0) &&
            (std::find (Drivers.begin (), Drivers.end (), Open.Agent) == Drivers.end ()))
        {
          Drivers.push_back (Open.Agent);
        }
      }
    }

    if (Drivers.empty ()) {
      return EFI_SUCCESS;
    }
  }

  size_t  Stopped = 0;
  bool    Failed  = false;
  for (EFI_HANDLE Driver : Drivers) {
    EFI_DRIVER_BINDING_PROTOCOL  *Binding = BindingOn (Driver);
    if (Binding == nullptr) {
      return EFI_INVALID_PARAMETER;
    }

    if (AsHandle (ControllerHandle) == nullptr) {
      break;
    }

    bool                     Manages = false;
    std::vector<EFI_HANDLE>  Children;
    for (auto *Entry : Controller->Protocols) {
      for (auto &Open : Entry->Opens) {
        if (Open.Agent != Driver) {
          continue;
        }

        Manages |= (Open.Attributes & EFI_OPEN_PROTOCOL_BY_DRIVER) != 0;
        if (((Open.Attributes & EFI_OPEN_PROTOCOL_BY_CHILD_CONTROLLER) != 0) &&
            (std::find (Children.begin (), Children.end (), Open.Controller) == Children.end ()))
        {
          Children.push_back (Open.Controller);
        }
      }
    }

    if (!Manages) {
      continue;
    }

    bool  ChildValid = (ChildHandle == NULL) ||
                       (std::find (Children.begin (), Children.end (), ChildHandle) != Children.end ());
    if (!ChildValid) {
      continue;
    }

    CALL_OUT  Out;
    Status = EFI_SUCCESS;
    size_t  ToStop = 0;
    if (!Children.empty ()) {
      if (ChildHandle != NULL) {
        ToStop = 1;
        Status = Binding->Stop (Binding, ControllerHandle, 1, &ChildHandle);
      } else {
        ToStop = Children.size ();
        Status = Binding->Stop (Binding, ControllerHandle, ToStop, Children.data ());
      }
    }

    // Stopping one child of several leaves the driver on the controller.
    if (!EFI_ERROR (Status) && ((ChildHandle == NULL) || (Children.size () == ToStop))) {
      Status = Binding->Stop (Binding, ControllerHandle, 0, NULL);
    }

    if (EFI_ERROR (Status)) {
      Failed = true;
    } else {
      Stopped++;
    }
  }

  if (Stopped > 0) {
    return EFI_SUCCESS;
  }

  return Failed ? EFI_DEVICE_ERROR : EFI_NOT_FOUND;
}

// ---- runtime variables -------------------------------------------------------

std::u16string
NameOf (const CHAR16 *Name)
{
  return std::u16string (reinterpret_cast<const char16_t *>(Name));
}

VARIABLE_KEY
KeyOf (const CHAR16 *Name, const EFI_GUID &Guid)
{
  return { NameOf (Name), std::string (reinterpret_cast<const char *>(&Guid), sizeof (EFI_GUID)) };
}

EFI_STATUS
EFIAPI
FwGetVariable (CHAR16 *VariableName, EFI_GUID *VendorGuid, UINT32 *Attributes, UINTN *DataSize, VOID *Data)
{
  EFI_STATUS  Status;

  if (Failing ("GetVariable", &Status)) {
    return Status;
  }

  if ((VariableName == NULL) || (VendorGuid == NULL) || (DataSize == NULL) || (VariableName[0] == 0)) {
    return EFI_INVALID_PARAMETER;
  }

  auto  It = mVariables.find (KeyOf (VariableName, *VendorGuid));
  if (It == mVariables.end ()) {
    return EFI_NOT_FOUND;
  }

  const VARIABLE  &Variable = It->second;
  if (Attributes != NULL) {
    *Attributes = Variable.Attributes;
  }

  if (*DataSize < Variable.Data.size ()) {
    *DataSize = Variable.Data.size ();
    return EFI_BUFFER_TOO_SMALL;
  }

  if ((Data == NULL) && !Variable.Data.empty ()) {
    return EFI_INVALID_PARAMETER;
  }

  *DataSize = Variable.Data.size ();
  if (!Variable.Data.empty ()) {
    std::memcpy (Data, Variable.Data.data (), Variable.Data.size ());
  }

  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
FwSetVariable (CHAR16 *VariableName, EFI_GUID *VendorGuid, UINT32 Attributes, UINTN DataSize, VOID *Data)
{
  EFI_STATUS  Status;

  mSetVariableCalls++;
  if (Failing ("SetVariable", &Status)) {
    return Status;
  }

  if (mFailSetVariable != EFI_SUCCESS) {
    return mFailSetVariable;
  }

  if ((VariableName == NULL) || (VariableName[0] == 0) || (VendorGuid == NULL) ||
      ((DataSize != 0) && (Data == NULL)))
  {
    return EFI_INVALID_PARAMETER;
  }

  // Runtime access needs boot-services access; authenticated writes are not modelled.
  if (((Attributes & EFI_VARIABLE_RUNTIME_ACCESS) != 0) && ((Attributes & EFI_VARIABLE_BOOTSERVICE_ACCESS) == 0)) {
    return EFI_INVALID_PARAMETER;
  }

  if ((Attributes & (EFI_VARIABLE_AUTHENTICATED_WRITE_ACCESS | EFI_VARIABLE_TIME_BASED_AUTHENTICATED_WRITE_ACCESS)) != 0) {
    return EFI_UNSUPPORTED;
  }

  auto  Key = KeyOf (VariableName, *VendorGuid);
  auto  It  = mVariables.find (Key);
  bool  Append = (Attributes & EFI_VARIABLE_APPEND_WRITE) != 0;
  UINT32  Stored = Attributes & ~EFI_VARIABLE_APPEND_WRITE;

  if ((!Append && (DataSize == 0)) || ((Stored & (EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_RUNTIME_ACCESS)) == 0)) {
    if (It == mVariables.end ()) {
      return EFI_NOT_FOUND;
    }

    mVariables.erase (It);
    return EFI_SUCCESS;
  }

  const uint8_t  *Bytes = static_cast<const uint8_t *>(Data);
  if (It != mVariables.end ()) {
    // An existing variable keeps its attributes; a write with others is refused.
    if (It->second.Attributes != Stored) {
      return EFI_INVALID_PARAMETER;
    }

    if (Append) {
      It->second.Data.insert (It->second.Data.end (), Bytes, Bytes + DataSize);
    } else {
      It->second.Data.assign (Bytes, Bytes + DataSize);
    }

    return EFI_SUCCESS;
  }

  mVariables[Key] = { Stored, std::vector<uint8_t>(Bytes, Bytes + DataSize) };
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
FwGetNextVariableName (UINTN *VariableNameSize, CHAR16 *VariableName, EFI_GUID *VendorGuid)
{
  if ((VariableNameSize == NULL) || (VariableName == NULL) || (VendorGuid == NULL)) {
    return EFI_INVALID_PARAMETER;
  }

  auto  It = mVariables.begin ();
  if (VariableName[0] != 0) {
    It = mVariables.find (KeyOf (VariableName, *VendorGuid));
    if (It == mVariables.end ()) {
      return EFI_INVALID_PARAMETER;
    }

    ++It;
  }

  if (It == mVariables.end ()) {
    return EFI_NOT_FOUND;
  }

  UINTN  Need = (It->first.first.size () + 1) * sizeof (CHAR16);
  if (*VariableNameSize < Need) {
    *VariableNameSize = Need;
    return EFI_BUFFER_TOO_SMALL;
  }

  std::memcpy (VariableName, It->first.first.c_str (), Need);
  std::memcpy (VendorGuid, It->first.second.data (), sizeof (EFI_GUID));
  *VariableNameSize = Need;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI ConInReset (EFI_SIMPLE_TEXT_INPUT_PROTOCOL *, BOOLEAN) { return EFI_SUCCESS; }

EFI_STATUS
EFIAPI
ConInReadKeyStroke (EFI_SIMPLE_TEXT_INPUT_PROTOCOL *This, EFI_INPUT_KEY *Key)
{
  if (mKeys.empty ()) {
    return EFI_NOT_READY;
  }

  *Key = { SCAN_NULL, mKeys.front () };
  mKeys.pop_front ();
  return EFI_SUCCESS;
}

// ---- the console that swallows what UefiLib prints ---------------------------

EFI_STATUS
EFIAPI
ConOutReset (EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *This, BOOLEAN ExtendedVerification)
{
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
ConOutString (EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *This, CHAR16 *String)
{
  for (; (String != NULL) && (*String != 0); String++) {
    mConsole.push_back (static_cast<char>(*String));
  }

  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
ConOutTestString (EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *This, CHAR16 *String)
{
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
ConOutQueryMode (EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *This, UINTN ModeNumber, UINTN *Columns, UINTN *Rows)
{
  if (ModeNumber != 0) {
    return EFI_UNSUPPORTED;
  }

  *Columns = 80;
  *Rows    = 25;
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
ConOutSetMode (EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *This, UINTN ModeNumber)
{
  return (ModeNumber == 0) ? EFI_SUCCESS : EFI_UNSUPPORTED;
}

EFI_STATUS
EFIAPI
ConOutSetAttribute (EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *This, UINTN Attribute)
{
  mConOutMode.Attribute = static_cast<INT32>(Attribute);
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
ConOutClearScreen (EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *This)
{
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
ConOutSetCursorPosition (EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *This, UINTN Column, UINTN Row)
{
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
ConOutEnableCursor (EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *This, BOOLEAN Visible)
{
  return EFI_SUCCESS;
}

// ---- images ---------------------------------------------------------------------

// An image the core loaded: its loaded image protocol, the whole path it came from
// (the loaded image device path) and the file, which StartImage hands to the entry.
struct IMAGE {
  EFI_LOADED_IMAGE_PROTOCOL  Info;
  std::vector<uint8_t>       File;
  std::vector<uint8_t>       FilePath;       // the part after the device, with its End
  std::vector<uint8_t>       DevicePath;     // the whole path LoadImage was given
  bool                       Started;
};

const EFI_GUID                      mLoadedImageDevicePathGuid = EFI_LOADED_IMAGE_DEVICE_PATH_PROTOCOL_GUID;
std::map<EFI_HANDLE, std::unique_ptr<IMAGE>>  mImages;
fake::Firmware::IMAGE_SOURCE        mImageSource;
void                                *mImageSourceContext;
fake::Firmware::IMAGE_ENTRY         mImageEntry;
void                                *mImageEntryContext;

std::vector<uint8_t>
WholePath (const EFI_DEVICE_PATH_PROTOCOL *Path)
{
  const uint8_t  *Bytes = reinterpret_cast<const uint8_t *>(Path);

  return std::vector<uint8_t>(Bytes, Bytes + DevicePathBytes (Path) + sizeof (EFI_DEVICE_PATH_PROTOCOL));
}

// The core's unload: opens the image made as agent are closed, its two protocols go
// (and the handle with them unless the image left others on it).
void
UnloadAndClose (EFI_HANDLE Handle)
{
  CORE_CALL  Core;
  IMAGE      *Image = mImages[Handle].get ();

  for (auto *Record : mHandles) {
    for (auto *Entry : Record->Protocols) {
      auto  &Opens = Entry->Opens;
      Opens.erase (std::remove_if (Opens.begin (), Opens.end (), [&](const OPEN_ENTRY &Open) { return Open.Agent == Handle; }),
                   Opens.end ());
    }
  }

  void  *DevicePath = Image->DevicePath.empty () ? nullptr : Image->DevicePath.data ();
  FwUninstallProtocolInterface (Handle, const_cast<EFI_GUID *>(&mLoadedImageDevicePathGuid), DevicePath);
  FwUninstallProtocolInterface (Handle, &gEfiLoadedImageProtocolGuid, &Image->Info);
  mImages.erase (Handle);
}

EFI_STATUS
EFIAPI
FwLoadImage (
  BOOLEAN                   BootPolicy,
  EFI_HANDLE                ParentImageHandle,
  EFI_DEVICE_PATH_PROTOCOL  *FilePath,
  VOID                      *SourceBuffer,
  UINTN                     SourceSize,
  EFI_HANDLE                *ImageHandle
  )
{
  EFI_STATUS  Status;

  if (Failing ("LoadImage", &Status)) {
    return Status;
  }

  if ((ImageHandle == NULL) || (ParentImageHandle == NULL) ||
      (fake::Firmware::Find (ParentImageHandle, gEfiLoadedImageProtocolGuid) == nullptr))
  {
    return EFI_INVALID_PARAMETER;
  }

  CORE_CALL                 Core;
  auto                      Image     = std::make_unique<IMAGE>();
  EFI_HANDLE                Device    = NULL;
  EFI_DEVICE_PATH_PROTOCOL  *Remaining = FilePath;
  if (SourceBuffer != NULL) {
    // The caller's copy of the file; the device is whatever the path leads to, if anything.
    if ((FilePath == NULL) || EFI_ERROR (FwLocateDevicePath (&gEfiDevicePathProtocolGuid, &Remaining, &Device))) {
      Device    = NULL;
      Remaining = FilePath;
    }

    if (SourceSize == 0) {
      return EFI_LOAD_ERROR;
    }

    Image->File.assign (static_cast<uint8_t *>(SourceBuffer), static_cast<uint8_t *>(SourceBuffer) + SourceSize);
  } else {
    if (FilePath == NULL) {
      return EFI_INVALID_PARAMETER;
    }

    // The core reads the file through the file system the path leads to.
    if (EFI_ERROR (FwLocateDevicePath (&gEfiSimpleFileSystemProtocolGuid, &Remaining, &Device))) {
      Device    = NULL;
      Remaining = FilePath;
    }

    if ((mImageSource == nullptr) || !mImageSource (mImageSourceContext, FilePath, &Image->File)) {
      return EFI_NOT_FOUND;
    }
  }

  if (Remaining != NULL) {
    Image->FilePath   = WholePath (Remaining);
    Image->DevicePath = WholePath (FilePath);
  }

  Image->Info.Revision      = EFI_LOADED_IMAGE_PROTOCOL_REVISION;
  Image->Info.ParentHandle  = ParentImageHandle;
  Image->Info.SystemTable   = &mSystemTable;
  Image->Info.DeviceHandle  = Device;
  Image->Info.FilePath      = Image->FilePath.empty () ? nullptr : reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(Image->FilePath.data ());
  Image->Info.ImageBase     = Image->File.data ();
  Image->Info.ImageSize     = Image->File.size ();
  Image->Info.ImageCodeType = EfiBootServicesCode;
  Image->Info.ImageDataType = EfiBootServicesData;

  EFI_HANDLE  Handle = NULL;
  FwInstallProtocolInterface (&Handle, &gEfiLoadedImageProtocolGuid, EFI_NATIVE_INTERFACE, &Image->Info);
  FwInstallProtocolInterface (&Handle, const_cast<EFI_GUID *>(&mLoadedImageDevicePathGuid), EFI_NATIVE_INTERFACE,
                              Image->DevicePath.empty () ? nullptr : Image->DevicePath.data ());
  mImages[Handle] = std::move (Image);
  *ImageHandle    = Handle;
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
FwStartImage (EFI_HANDLE ImageHandle, UINTN *ExitDataSize, CHAR16 **ExitData)
{
  EFI_STATUS  Status;

  if (Failing ("StartImage", &Status)) {
    return Status;
  }

  auto  It = mImages.find (ImageHandle);
  if ((It == mImages.end ()) || It->second->Started) {
    return EFI_INVALID_PARAMETER;
  }

  UINT64  Key = mDatabaseKey;
  It->second->Started = true;
  {
    CALL_OUT  Out;
    Status = (mImageEntry == nullptr) ? EFI_SUCCESS : mImageEntry (mImageEntryContext, ImageHandle, It->second->File);
  }

  // A driver's entry may have made or changed handles; the core connects them.
  std::vector<EFI_HANDLE>  Changed;
  for (auto *Handle : mHandles) {
    if (Handle->Key > Key) {
      Changed.push_back (Handle);
    }
  }

  for (EFI_HANDLE Handle : Changed) {
    CORE_CALL  Core;
    FwConnectController (Handle, NULL, NULL, TRUE);
  }

  if ((ExitDataSize != NULL) && (ExitData != NULL)) {
    *ExitDataSize = 0;
    *ExitData     = NULL;
  }

  if (EFI_ERROR (Status)) {
    UnloadAndClose (ImageHandle);
  }

  return Status;
}

EFI_STATUS
EFIAPI
FwUnloadImage (EFI_HANDLE ImageHandle)
{
  EFI_STATUS  Status;

  if (Failing ("UnloadImage", &Status)) {
    return Status;
  }

  auto  It = mImages.find (ImageHandle);
  if (It == mImages.end ()) {
    return EFI_INVALID_PARAMETER;
  }

  Status = EFI_SUCCESS;
  if (It->second->Started) {
    CALL_OUT  Out;
    Status = (It->second->Info.Unload == NULL) ? EFI_UNSUPPORTED : It->second->Info.Unload (ImageHandle);
  }

  if (!EFI_ERROR (Status)) {
    UnloadAndClose (ImageHandle);
  }

  return Status;
}

// ---- services the drivers have no business calling ---------------------------

#define FW_UNSUPPORTED(Name, ...)                                     \
  EFI_STATUS EFIAPI Fw##Name (__VA_ARGS__)                            \
  {                                                                   \
    ADD_FAILURE () << #Name " is not modelled by the fake firmware";  \
    return EFI_UNSUPPORTED;                                           \
  }

FW_UNSUPPORTED (GetMemoryMap, UINTN *, EFI_MEMORY_DESCRIPTOR *, UINTN *, UINTN *, UINT32 *)
FW_UNSUPPORTED (RegisterProtocolNotify, EFI_GUID *, EFI_EVENT, VOID **)
FW_UNSUPPORTED (InstallConfigurationTable, EFI_GUID *, VOID *)
FW_UNSUPPORTED (Exit, EFI_HANDLE, EFI_STATUS, UINTN, CHAR16 *)
FW_UNSUPPORTED (ExitBootServices, EFI_HANDLE, UINTN)
FW_UNSUPPORTED (GetTime, EFI_TIME *, EFI_TIME_CAPABILITIES *)
FW_UNSUPPORTED (SetTime, EFI_TIME *)
FW_UNSUPPORTED (GetWakeupTime, BOOLEAN *, BOOLEAN *, EFI_TIME *)
FW_UNSUPPORTED (SetWakeupTime, BOOLEAN, EFI_TIME *)
FW_UNSUPPORTED (SetVirtualAddressMap, UINTN, UINTN, UINT32, EFI_MEMORY_DESCRIPTOR *)
FW_UNSUPPORTED (ConvertPointer, UINTN, VOID **)
FW_UNSUPPORTED (GetNextHighMonotonicCount, UINT32 *)
FW_UNSUPPORTED (UpdateCapsule, EFI_CAPSULE_HEADER **, UINTN, EFI_PHYSICAL_ADDRESS)
FW_UNSUPPORTED (QueryCapsuleCapabilities, EFI_CAPSULE_HEADER **, UINTN, UINT64 *, EFI_RESET_TYPE *)
FW_UNSUPPORTED (QueryVariableInfo, UINT32, UINT64 *, UINT64 *, UINT64 *)

VOID
EFIAPI
FwResetSystem (EFI_RESET_TYPE ResetType, EFI_STATUS ResetStatus, UINTN DataSize, VOID *ResetData)
{
  ADD_FAILURE () << "ResetSystem is not modelled by the fake firmware";
}

void
SealHeader (EFI_TABLE_HEADER *Header)
{
  Header->CRC32 = 0;
  FwCalculateCrc32 (Header, Header->HeaderSize, &Header->CRC32);
}

} // namespace

namespace fake {

void
Firmware::Reset ()
{
  for (auto &Block : mPool) {
    std::free (Block.first);
  }

  for (auto &Pages : mPages) {
    std::free (reinterpret_cast<void *>(static_cast<UINTN>(Pages.first)));
  }

  mPool.clear ();
  mPages.clear ();
  mLiveBytes        = 0;
  mAllocationCount  = 0;
  mFailAllocationIn = 0;
  mHandles.clear ();
  mAllHandles.clear ();
  mAllProtocols.clear ();
  mEvents.clear ();
  for (auto &Queue : mQueue) {
    Queue.clear ();
  }

  mTpl              = TPL_APPLICATION;
  mHighestTpl       = TPL_APPLICATION;
  mTplDepth         = 0;
  mNowUs            = 0;
  mStallCalls       = 0;
  mStallHook        = nullptr;
  mTicksHeld        = false;
  mTickUs           = DefaultTickUs;
  mStallContext     = nullptr;
  mMonotonic        = 0;
  mFailUninstall    = EFI_SUCCESS;
  mDatabaseKey      = 0;
  mImages.clear ();
  mImageSource      = nullptr;
  mImageEntry       = nullptr;
  mFailNext.clear ();
  mVariables.clear ();
  mFailSetVariable  = EFI_SUCCESS;
  mSetVariableCalls = 0;
  mConsole.clear ();
  mKeys.clear ();

  EFI_BOOT_SERVICES  &Bs = mBootServices;
  Bs                                     = {};
  Bs.Hdr.Signature                       = EFI_BOOT_SERVICES_SIGNATURE;
  Bs.Hdr.Revision                        = EFI_BOOT_SERVICES_REVISION;
  Bs.Hdr.HeaderSize                      = sizeof (EFI_BOOT_SERVICES);
  Bs.RaiseTPL                            = FwRaiseTpl;
  Bs.RestoreTPL                          = FwRestoreTpl;
  Bs.AllocatePages                       = FwAllocatePages;
  Bs.FreePages                           = FwFreePages;
  Bs.GetMemoryMap                        = FwGetMemoryMap;
  Bs.AllocatePool                        = FwAllocatePool;
  Bs.FreePool                            = FwFreePool;
  Bs.CreateEvent                         = FwCreateEvent;
  Bs.SetTimer                            = FwSetTimer;
  Bs.WaitForEvent                        = FwWaitForEvent;
  Bs.SignalEvent                         = FwSignalEvent;
  Bs.CloseEvent                          = FwCloseEvent;
  Bs.CheckEvent                          = FwCheckEvent;
  Bs.InstallProtocolInterface            = FwInstallProtocolInterface;
  Bs.ReinstallProtocolInterface          = FwReinstallProtocolInterface;
  Bs.UninstallProtocolInterface          = FwUninstallProtocolInterface;
  Bs.HandleProtocol                      = FwHandleProtocol;
  Bs.RegisterProtocolNotify              = FwRegisterProtocolNotify;
  Bs.LocateHandle                        = FwLocateHandle;
  Bs.LocateDevicePath                    = FwLocateDevicePath;
  Bs.InstallConfigurationTable           = FwInstallConfigurationTable;
  Bs.LoadImage                           = FwLoadImage;
  Bs.StartImage                          = FwStartImage;
  Bs.Exit                                = FwExit;
  Bs.UnloadImage                         = FwUnloadImage;
  Bs.ExitBootServices                    = FwExitBootServices;
  Bs.GetNextMonotonicCount               = FwGetNextMonotonicCount;
  Bs.Stall                               = FwStall;
  Bs.SetWatchdogTimer                    = FwSetWatchdogTimer;
  Bs.ConnectController                   = FwConnectController;
  Bs.DisconnectController                = FwDisconnectController;
  Bs.OpenProtocol                        = FwOpenProtocol;
  Bs.CloseProtocol                       = FwCloseProtocol;
  Bs.OpenProtocolInformation             = FwOpenProtocolInformation;
  Bs.ProtocolsPerHandle                  = FwProtocolsPerHandle;
  Bs.LocateHandleBuffer                  = FwLocateHandleBuffer;
  Bs.LocateProtocol                      = FwLocateProtocol;
  Bs.InstallMultipleProtocolInterfaces   = FwInstallMultipleProtocolInterfaces;
  Bs.UninstallMultipleProtocolInterfaces = FwUninstallMultipleProtocolInterfaces;
  Bs.CalculateCrc32                      = FwCalculateCrc32;
  Bs.CopyMem                             = FwCopyMem;
  Bs.SetMem                              = FwSetMem;
  Bs.CreateEventEx                       = FwCreateEventEx;
  SealHeader (&Bs.Hdr);

  EFI_RUNTIME_SERVICES  &Rt = mRuntimeServices;
  Rt                           = {};
  Rt.Hdr.Signature             = EFI_RUNTIME_SERVICES_SIGNATURE;
  Rt.Hdr.Revision              = EFI_RUNTIME_SERVICES_REVISION;
  Rt.Hdr.HeaderSize            = sizeof (EFI_RUNTIME_SERVICES);
  Rt.GetTime                   = FwGetTime;
  Rt.SetTime                   = FwSetTime;
  Rt.GetWakeupTime             = FwGetWakeupTime;
  Rt.SetWakeupTime             = FwSetWakeupTime;
  Rt.SetVirtualAddressMap      = FwSetVirtualAddressMap;
  Rt.ConvertPointer            = FwConvertPointer;
  Rt.GetVariable               = FwGetVariable;
  Rt.GetNextVariableName       = FwGetNextVariableName;
  Rt.SetVariable               = FwSetVariable;
  Rt.GetNextHighMonotonicCount = FwGetNextHighMonotonicCount;
  Rt.ResetSystem               = FwResetSystem;
  Rt.UpdateCapsule             = FwUpdateCapsule;
  Rt.QueryCapsuleCapabilities  = FwQueryCapsuleCapabilities;
  Rt.QueryVariableInfo         = FwQueryVariableInfo;
  SealHeader (&Rt.Hdr);

  mConOutMode                = {};
  mConOutMode.MaxMode        = 1;
  mConOut                    = {};
  mConOut.Reset              = ConOutReset;
  mConOut.OutputString       = ConOutString;
  mConOut.TestString         = ConOutTestString;
  mConOut.QueryMode          = ConOutQueryMode;
  mConOut.SetMode            = ConOutSetMode;
  mConOut.SetAttribute       = ConOutSetAttribute;
  mConOut.ClearScreen        = ConOutClearScreen;
  mConOut.SetCursorPosition  = ConOutSetCursorPosition;
  mConOut.EnableCursor       = ConOutEnableCursor;
  mConOut.Mode               = &mConOutMode;

  mConIn = { ConInReset, ConInReadKeyStroke, &mKeyEvent };

  EFI_SYSTEM_TABLE  &St = mSystemTable;
  St                    = {};
  St.Hdr.Signature      = EFI_SYSTEM_TABLE_SIGNATURE;
  St.Hdr.Revision       = EFI_SYSTEM_TABLE_REVISION;
  St.Hdr.HeaderSize     = sizeof (EFI_SYSTEM_TABLE);
  St.FirmwareVendor     = mFirmwareVendor;
  St.FirmwareRevision   = 0x00010000;
  St.ConIn              = &mConIn;
  St.ConOut             = &mConOut;
  St.StdErr             = &mConOut;
  St.RuntimeServices    = &mRuntimeServices;
  St.BootServices       = &mBootServices;
  SealHeader (&St.Hdr);

  gBS = &mBootServices;
  gRT = &mRuntimeServices;
  gST = &mSystemTable;

  mLoadedImage              = {};
  mLoadedImage.Revision     = EFI_LOADED_IMAGE_PROTOCOL_REVISION;
  mLoadedImage.SystemTable  = &mSystemTable;
  mLoadedImage.ImageCodeType = EfiBootServicesCode;
  mLoadedImage.ImageDataType = EfiBootServicesData;
  gImageHandle              = NULL;
  Install (&gImageHandle, gEfiLoadedImageProtocolGuid, &mLoadedImage);
}

UINT64 Firmware::NowUs () { return mNowUs; }
void   Firmware::AdvanceUs (UINT64 Us) { mNowUs += Us; }
void   Firmware::AdvanceToJustAfterTick () { mNowUs += mTickUs - mNowUs % mTickUs + 100; }
UINT64 Firmware::StallCalls () { return mStallCalls; }
void   Firmware::HoldTicks (bool Held) { mTicksHeld = Held; }

void
Firmware::SetTickPeriodUs (UINT64 PeriodUs)
{
  EFI_HANDLE  Handle = nullptr;
  VOID        *Found;
  mTickUs                   = PeriodUs;
  mTimerArch.GetTimerPeriod = FwGetTimerPeriod;
  if (EFI_ERROR (gBS->LocateProtocol (&gEfiTimerArchProtocolGuid, nullptr, &Found))) {
    EXPECT_EQ (Install (&Handle, gEfiTimerArchProtocolGuid, &mTimerArch), EFI_SUCCESS);
  }
}

bool   Firmware::TicksHeld () { return mTicksHeld; }

void
Firmware::Idle ()
{
  for (auto &Event : mEvents) {
    if (Event->Open && Event->HasGroup && SameGuid (Event->Group, gIdleLoopEventGuid)) {
      CORE_CALL  Core;
      Signal (Event.get ());
      return;
    }
  }
}

void
Firmware::SetStallHook (STALL_HOOK Hook, void *Context)
{
  mStallHook    = Hook;
  mStallContext = Context;
}

size_t Firmware::LiveAllocations () { return mPool.size () + mPages.size (); }
size_t Firmware::LiveBytes () { return mLiveBytes; }
void   Firmware::FailAllocation (size_t Nth) { mFailAllocationIn = Nth; }
size_t Firmware::AllocationCount () { return mAllocationCount; }

EFI_TPL Firmware::CurrentTpl () { return mTpl; }
EFI_TPL Firmware::HighestTplSeen () { return mHighestTpl; }
bool    Firmware::TplBalanced () { return (mTplDepth == 0) && (mTpl == TPL_APPLICATION); }

size_t
Firmware::OpenEvents ()
{
  return std::count_if (mEvents.begin (), mEvents.end (), [](const auto &Event) { return Event->Open; });
}

bool Firmware::IsOpenEvent (EFI_EVENT Event) { return AsEvent (Event) != nullptr; }

bool
Firmware::IsSignaled (EFI_EVENT Event)
{
  EVENT_RECORD  *Record = AsEvent (Event);

  return (Record != nullptr) && Record->Signaled;
}

UINT64
Firmware::TimerPeriod100ns (EFI_EVENT Event)
{
  EVENT_RECORD  *Record = AsEvent (Event);

  return (Record == nullptr) ? 0 : Record->Period100ns;
}

EFI_TIMER_DELAY
Firmware::TimerType (EFI_EVENT Event)
{
  EVENT_RECORD  *Record = AsEvent (Event);

  return (Record == nullptr) ? TimerCancel : Record->TimerType;
}

EFI_TPL
Firmware::NotifyTpl (EFI_EVENT Event)
{
  EVENT_RECORD  *Record = AsEvent (Event);

  return (Record == nullptr) ? 0 : Record->Tpl;
}

void
Firmware::FireTimer (EFI_EVENT Event)
{
  EVENT_RECORD  *Record = AsEvent (Event);

  if (Record == nullptr) {
    ADD_FAILURE () << "FireTimer on an event that is not open";
    return;
  }

  Expire (Record);
}

size_t
Firmware::FireAllTimers ()
{
  std::vector<EVENT_RECORD *>  Armed;

  for (auto &Event : mEvents) {
    if (Event->Open && Event->Armed) {
      Armed.push_back (Event.get ());
    }
  }

  size_t  Fired = 0;
  for (auto *Event : Armed) {
    // An earlier notify may have closed or cancelled this one.
    if (Event->Open && Event->Armed) {
      Expire (Event);
      Fired++;
    }
  }

  return Fired;
}

size_t
Firmware::FireDueTimers ()
{
  std::vector<EVENT_RECORD *>  Due;

  for (auto &Event : mEvents) {
    if (Event->Open && Event->Armed && (Event->DueUs <= mNowUs)) {
      Due.push_back (Event.get ());
    }
  }

  size_t  Fired = 0;
  for (auto *Event : Due) {
    if (Event->Open && Event->Armed) {
      Expire (Event);
      Fired++;
    }
  }

  return Fired;
}

void Firmware::RunPendingNotifies () { DispatchAbove (mTpl); }

EFI_HANDLE
Firmware::NewHandle ()
{
  return CreateHandle ();
}

EFI_STATUS
Firmware::Install (EFI_HANDLE *Handle, const EFI_GUID &Guid, void *Interface)
{
  CORE_CALL  Core;
  return FwInstallProtocolInterface (Handle, const_cast<EFI_GUID *>(&Guid), EFI_NATIVE_INTERFACE, Interface);
}

void *
Firmware::Find (EFI_HANDLE Handle, const EFI_GUID &Guid)
{
  HANDLE_RECORD   *Record = AsHandle (Handle);
  PROTOCOL_ENTRY  *Entry  = (Record == nullptr) ? nullptr : FindProtocol (Record, &Guid);

  return (Entry == nullptr) ? nullptr : Entry->Interface;
}

bool   Firmware::HasHandle (EFI_HANDLE Handle) { return AsHandle (Handle) != nullptr; }
size_t Firmware::HandleCount () { return mHandles.size (); }

size_t
Firmware::OpenCount (EFI_HANDLE Handle, const EFI_GUID &Guid, UINT32 AttributeMask)
{
  HANDLE_RECORD   *Record = AsHandle (Handle);
  PROTOCOL_ENTRY  *Entry  = (Record == nullptr) ? nullptr : FindProtocol (Record, &Guid);

  if (Entry == nullptr) {
    return 0;
  }

  return std::count_if (
                Entry->Opens.begin (),
                Entry->Opens.end (),
                [&](const OPEN_ENTRY &Open) { return (Open.Attributes & AttributeMask) != 0; }
                );
}

void Firmware::FailUninstall (EFI_STATUS Status) { mFailUninstall = Status; }
void Firmware::FailNext (const char *ServiceName, EFI_STATUS Status) { mFailNext[ServiceName] = Status; }

void
Firmware::PutVariable (const CHAR16 *Name, const EFI_GUID &Guid, UINT32 Attributes, const void *Data, size_t Size)
{
  const uint8_t  *Bytes = static_cast<const uint8_t *>(Data);

  mVariables[KeyOf (Name, Guid)] = { Attributes, std::vector<uint8_t>(Bytes, Bytes + Size) };
}

bool
Firmware::ReadVariable (const CHAR16 *Name, const EFI_GUID &Guid, std::vector<uint8_t> *Data, UINT32 *Attributes)
{
  auto  It = mVariables.find (KeyOf (Name, Guid));

  if (It == mVariables.end ()) {
    return false;
  }

  if (Data != nullptr) {
    *Data = It->second.Data;
  }

  if (Attributes != nullptr) {
    *Attributes = It->second.Attributes;
  }

  return true;
}

void
Firmware::SetImageSource (IMAGE_SOURCE Source, void *Context)
{
  mImageSource        = Source;
  mImageSourceContext = Context;
}

void
Firmware::SetImageEntry (IMAGE_ENTRY Entry, void *Context)
{
  mImageEntry        = Entry;
  mImageEntryContext = Context;
}

void   Firmware::FailSetVariable (EFI_STATUS Status) { mFailSetVariable = Status; }
size_t Firmware::SetVariableCalls () { return mSetVariableCalls; }
std::string Firmware::ConsoleOutput () { return mConsole; }
void        Firmware::QueueKeys (const char16_t *Keys) { mKeys.insert (mKeys.end (), Keys, Keys + std::char_traits<char16_t>::length (Keys)); }

} // namespace fake

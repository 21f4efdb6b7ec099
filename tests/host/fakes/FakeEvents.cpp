/** @file
  Events and timers, the timer interrupt's tick on the virtual clock, Stall, and
  WaitForEvent with the idle loop it runs between its looks.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#include "FakeFirmwareInternal.h"

extern "C" {
#include <Protocol/Timer.h>
#include <Guid/IdleLoopEvent.h>
}

namespace fake::internal {

// WaitForEvent gives up after this much virtual time rather than hang a test.
constexpr UINT64  WaitLimitUs     = 10ULL * 1000 * 1000;
constexpr UINT64  WaitRoundUs     = 1000;

EFI_TIMER_ARCH_PROTOCOL  mTimerArch;

EVENT_RECORD *
AsEvent (EFI_EVENT Event)
{
  for (auto &Record : mFw.Events) {
    if ((Record.get () == Event) && Record->Open) {
      return Record.get ();
    }
  }

  return nullptr;
}

// An open event's record, or for anything else one that is unsignaled, TimerCancel, TPL 0.
const EVENT_RECORD &
OpenOrNone (EFI_EVENT Event)
{
  static const EVENT_RECORD  None = {};
  EVENT_RECORD               *Record = AsEvent (Event);

  return (Record == nullptr) ? None : *Record;
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
    for (auto &Other : mFw.Events) {
      if (Other->Open && Other->HasGroup && SameGuid (Other->Group, Event->Group)) {
        SignalOne (Other.get ());
      }
    }
  } else {
    SignalOne (Event);
  }

  DispatchAbove (mFw.Tpl);
}

void
Expire (EVENT_RECORD *Event)
{
  if (Event->TimerType == TimerPeriodic) {
    Event->DueUs = mFw.NowUs + std::max<UINT64>(Event->Period100ns / 10, 1);
  } else {
    Event->Armed = false;
  }

  Signal (Event);
}

// Expires the armed timers Due picks, each unless a notify run by an earlier one has
// closed or cancelled it; returns how many expired.
template <typename PICK>
size_t
ExpireWhere (PICK Due)
{
  std::vector<EVENT_RECORD *>  Picked;

  for (auto &Event : mFw.Events) {
    if (Event->Open && Event->Armed && Due (*Event)) {
      Picked.push_back (Event.get ());
    }
  }

  size_t  Fired = 0;
  for (auto *Event : Picked) {
    if (Event->Open && Event->Armed) {
      Expire (Event);
      Fired++;
    }
  }

  return Fired;
}

EFI_STATUS EFIAPI FwGetTimerPeriod (EFI_TIMER_ARCH_PROTOCOL *, UINT64 *Period) { *Period = mFw.TickUs * 10; return EFI_SUCCESS; }

// A stall lets the timer interrupt in, unless it runs at TPL_HIGH_LEVEL or inside that
// interrupt (HoldTicks). Only timers without a notify are signalled here: those are what
// code that stalls can see (CheckEvent); notifies run from WaitForEvent or the test.
// A timer is signalled on the first tick at or after its trigger time that follows the
// moment it was armed, as the firmware's core does.
void
SignalTicksDuringStall (UINT64 Before, UINT64 After)
{
  if (mFw.TicksHeld || (mFw.Tpl >= TPL_HIGH_LEVEL)) {
    return;
  }

  UINT64  LastTick = After - After % mFw.TickUs;
  if (LastTick <= Before) {
    return;
  }

  ExpireWhere ([&](const EVENT_RECORD &Event) {
    return (Event.Notify == nullptr) && (LastTick >= Event.DueUs) && (LastTick > Event.ArmedUs);
  });
}

EFI_STATUS
EFIAPI
FwStall (UINTN Microseconds)
{
  UINT64  Before = mFw.NowUs;

  mFw.StallCalls++;
  mFw.NowUs += Microseconds;
  SignalTicksDuringStall (Before, mFw.NowUs);
  if (mFw.StallHook != nullptr) {
    mFw.StallHook (mFw.StallContext, mFw.NowUs);
  }

  return EFI_SUCCESS;
}

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

  mFw.Events.push_back (std::make_unique<EVENT_RECORD>());
  EVENT_RECORD  *Record = mFw.Events.back ().get ();
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
    auto  &Queue = mFw.Queue[Record->Tpl];
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
    return mFw.Keys.empty () ? EFI_NOT_READY : EFI_SUCCESS;
  }

  if ((Record == nullptr) || ((Record->Type & EVT_NOTIFY_SIGNAL) != 0)) {
    return EFI_INVALID_PARAMETER;
  }

  if (!Record->Signaled && ((Record->Type & EVT_NOTIFY_WAIT) != 0)) {
    QueueNotify (Record);
    DispatchAbove (mFw.Tpl);
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

  if (mFw.Tpl != TPL_APPLICATION) {
    return EFI_UNSUPPORTED;
  }

  if ((NumberOfEvents == 1) && (Event[0] == &mKeyEvent) && mFw.Keys.empty ()) {
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
    mFw.NowUs += WaitRoundUs;
    if (mFw.StallHook != nullptr) {
      mFw.StallHook (mFw.StallContext, mFw.NowUs);
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
  Record->DueUs       = mFw.NowUs + (TriggerTime + 9) / 10;
  Record->ArmedUs     = mFw.NowUs;
  // The firmware's core signals a relative 0 at once, not on a tick.
  if ((Type == TimerRelative) && (TriggerTime == 0) && (Record->Notify == nullptr)) {
    Expire (Record);
  }

  return EFI_SUCCESS;
}

} // namespace fake::internal

namespace fake {

using namespace internal;

UINT64 Firmware::NowUs () { return mFw.NowUs; }
void   Firmware::AdvanceUs (UINT64 Us) { mFw.NowUs += Us; }

void
Firmware::WaitUs (UINT64 Us)
{
  UINT64  Before = mFw.NowUs;

  mFw.NowUs += Us;
  SignalTicksDuringStall (Before, mFw.NowUs);
}
void   Firmware::AdvanceToJustAfterTick () { mFw.NowUs += mFw.TickUs - mFw.NowUs % mFw.TickUs + 100; }
UINT64 Firmware::StallCalls () { return mFw.StallCalls; }
void   Firmware::HoldTicks (bool Held) { mFw.TicksHeld = Held; }

void
Firmware::SetTickPeriodUs (UINT64 PeriodUs)
{
  EFI_HANDLE  Handle = nullptr;
  VOID        *Found;
  mFw.TickUs                = PeriodUs;
  mTimerArch.GetTimerPeriod = FwGetTimerPeriod;
  if (EFI_ERROR (gBS->LocateProtocol (&gEfiTimerArchProtocolGuid, nullptr, &Found))) {
    EXPECT_EQ (Install (&Handle, gEfiTimerArchProtocolGuid, &mTimerArch), EFI_SUCCESS);
  }
}

bool   Firmware::TicksHeld () { return mFw.TicksHeld; }

void
Firmware::Idle ()
{
  for (auto &Event : mFw.Events) {
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
  mFw.StallHook    = Hook;
  mFw.StallContext = Context;
}

size_t
Firmware::OpenEvents ()
{
  return std::count_if (mFw.Events.begin (), mFw.Events.end (), [](const auto &Event) { return Event->Open; });
}

bool Firmware::IsOpenEvent (EFI_EVENT Event) { return AsEvent (Event) != nullptr; }

bool            Firmware::IsSignaled (EFI_EVENT Event) { return OpenOrNone (Event).Signaled; }
UINT64          Firmware::TimerPeriod100ns (EFI_EVENT Event) { return OpenOrNone (Event).Period100ns; }
EFI_TIMER_DELAY Firmware::TimerType (EFI_EVENT Event) { return OpenOrNone (Event).TimerType; }
EFI_TPL         Firmware::NotifyTpl (EFI_EVENT Event) { return OpenOrNone (Event).Tpl; }

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

size_t Firmware::FireAllTimers () { return ExpireWhere ([](const EVENT_RECORD &) { return true; }); }
size_t Firmware::FireDueTimers () { return ExpireWhere ([](const EVENT_RECORD &Event) { return Event.DueUs <= mFw.NowUs; }); }

} // namespace fake

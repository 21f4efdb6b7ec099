/** @file
  Tells a timer notify whether the firmware's clock runs while it works.

  Firmware may dispatch a timer notify from inside its timer interrupt, before that
  interrupt is acknowledged; until the notify returns no further tick arrives, so
  timer events stand still. A host controller driver that times a USB transfer with a
  timer event (XHCI does) then never ends a bulk-IN the device keeps NAKing, and the
  notify spins for ever. A poll asks the witness before such a transfer and skips it
  when the clock stands still; the poll comes again with the next period.

  Proving that the clock runs costs a wait for the next tick, nearly a whole period
  since a timer notify starts just after the tick that made it due. A firmware that
  waits in WaitForEvent needs no proof: the core signals its idle-loop group from there,
  at TPL_APPLICATION and never inside the timer interrupt, so work handed to a member
  of that group runs where every tick is acknowledged. A poll that finds the firmware
  has idled since its last period leaves its work to the idle loop; one that finds it
  busy asks the witness.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef TICK_WITNESS_H_
#define TICK_WITNESS_H_

extern "C" {
#include <Uefi.h>
#include <Library/BaseLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Guid/IdleLoopEvent.h>
#include <Protocol/Timer.h>
}

// A poll's transfers, run from the idle loop or after the witness saw a tick.
typedef VOID (*TICK_WITNESS_WORK)(
  VOID  *Context
  );

struct TICK_WITNESS {
  EFI_EVENT            Event;
  EFI_EVENT            IdleEvent;
  UINT64               BoundUs;
  TICK_WITNESS_WORK    Work;
  VOID                 *Context;
  BOOLEAN              Idled;
  BOOLEAN              WorkDue;
};

// Looks between two stalls of this length for the tick.
constexpr UINT32  TICK_WITNESS_STEP_US = 250;
// Assumed when the firmware offers no timer architectural protocol to ask.
constexpr UINT64  TICK_WITNESS_FALLBACK_PERIOD_100NS = 100000;

/**
  Runs the work a poll left for the idle loop, and notes that the firmware idles.
  TickWitnessOpen makes it the notify of the idle-loop member; it runs at the TPL given
  there, never inside the timer interrupt.

  @param[in] Event    The idle-loop member; not used.
  @param[in] Context  The TICK_WITNESS.
**/
inline
VOID
EFIAPI
TickWitnessIdleNotify (
  IN EFI_EVENT  Event,
  IN VOID       *Context
  )
{
  TICK_WITNESS  *Witness = static_cast<TICK_WITNESS *>(Context);

  (VOID)Event;
  Witness->Idled = TRUE;
  if (Witness->WorkDue) {
    Witness->WorkDue = FALSE;
    Witness->Work (Witness->Context);
  }
}

/**
  Creates the witness's timer and learns the firmware's tick period. Without its event
  the witness answers "running", which keeps a poll working as it would without one.

  @param[out] Witness  The witness to set up. The idle-loop member points at it, so it
                       must outlive the member: TickWitnessClose before it is freed.
  @param[in]  Tpl      The TPL the idle loop runs the work at; give the poll timer's own,
                       so the work never meets itself.
  @param[in]  Work     The poll's work, for the idle loop; NULL for a witness that is
                       only asked (TickWitnessDefer then always answers FALSE).
  @param[in]  Context  Passed to Work.

  @retval EFI_SUCCESS  The witness works; without the idle-loop member a poll always
                       asks the witness, which is only slower.
  @retval other        The timer could not be made: the witness answers "running". The
                       idle-loop member may still exist; TickWitnessClose it all the same.
**/
inline
EFI_STATUS
TickWitnessOpen (
  OUT TICK_WITNESS       *Witness,
  IN  EFI_TPL            Tpl,
  IN  TICK_WITNESS_WORK  Work,
  IN  VOID               *Context
  )
{
  EFI_TIMER_ARCH_PROTOCOL  *Timer;
  UINT64                   Period = 0;

  Witness->Event     = NULL;
  Witness->IdleEvent = NULL;
  Witness->Work      = Work;
  Witness->Context   = Context;
  Witness->Idled     = FALSE;
  Witness->WorkDue   = FALSE;
  if (EFI_ERROR (gBS->LocateProtocol (&gEfiTimerArchProtocolGuid, NULL, reinterpret_cast<VOID **>(&Timer))) ||
      EFI_ERROR (Timer->GetTimerPeriod (Timer, &Period)) || (Period == 0))
  {
    Period = TICK_WITNESS_FALLBACK_PERIOD_100NS;
  }

  // Two periods: the tick due when the witness is armed may come up to one period late.
  // A bound shorter than the firmware's own period would take every slow tick for a
  // clock that stands still, and the poll would never run.
  Witness->BoundUs = DivU64x32 (Period, 5) + TICK_WITNESS_STEP_US;
  if ((Work != NULL) &&
      EFI_ERROR (gBS->CreateEventEx (EVT_NOTIFY_SIGNAL, Tpl, TickWitnessIdleNotify, Witness, &gIdleLoopEventGuid, &Witness->IdleEvent)))
  {
    Witness->IdleEvent = NULL;
  }

  return gBS->CreateEvent (EVT_TIMER, TPL_CALLBACK, NULL, NULL, &Witness->Event);
}

/**
  Cancels and closes the witness's events and drops work left for the idle loop, so the
  work's context may be freed afterwards. Safe on a zeroed witness, on one whose open
  failed, and twice.

  @param[in,out] Witness  The witness; it answers "running" afterwards.
**/
inline
VOID
TickWitnessClose (
  IN OUT TICK_WITNESS  *Witness
  )
{
  if (Witness->Event != NULL) {
    gBS->SetTimer (Witness->Event, TimerCancel, 0);
    gBS->CloseEvent (Witness->Event);
    Witness->Event = NULL;
  }

  if (Witness->IdleEvent != NULL) {
    gBS->CloseEvent (Witness->IdleEvent);
    Witness->IdleEvent = NULL;
  }

  Witness->WorkDue = FALSE;
}

/**
  Asked by the poll's timer notify before its work. A FALSE answer also withdraws work
  an earlier TRUE left for the idle loop, so a period's work runs at most once.

  @param[in,out] Witness  The poll's witness.

  @retval TRUE   The firmware has idled since the last period: the work is left to its
                 idle loop, which runs it where the clock runs.
  @retval FALSE  The firmware has not idled (it is busy, or it has no idle loop to
                 offer): ask TickWitnessTicking before the work.
**/
inline
BOOLEAN
TickWitnessDefer (
  IN OUT TICK_WITNESS  *Witness
  )
{
  if ((Witness->IdleEvent == NULL) || !Witness->Idled) {
    Witness->WorkDue = FALSE;
    return FALSE;
  }

  Witness->Idled   = FALSE;
  Witness->WorkDue = TRUE;
  return TRUE;
}

/**
  Leaves the work to the idle loop now rather than at the poll's next period, for a
  consumer that is waiting for it. A busy firmware never runs it there; its poll's
  TickWitnessDefer withdraws it and the poll does the work itself.

  @param[in,out] Witness  The poll's witness.

  @retval TRUE   The idle loop will run the work.
  @retval FALSE  The firmware offers no idle loop; the poll alone does the work.
**/
inline
BOOLEAN
TickWitnessRequest (
  IN OUT TICK_WITNESS  *Witness
  )
{
  if ((Witness->IdleEvent == NULL) || (Witness->Work == NULL)) {
    return FALSE;
  }

  Witness->WorkDue = TRUE;
  return TRUE;
}

/**
  Arms the witness for the next tick and stalls until it comes or two tick periods
  have passed. The caller is held for up to that bound (about a period when the clock
  runs), so ask only before work that needs the clock; call at TPL_NOTIFY or below.

  @param[in] Witness  The witness; one without its timer always answers TRUE.

  @retval TRUE   A tick arrived, or the witness cannot tell: timer events, and the
                 transfer timeouts built on them, run for the caller.
  @retval FALSE  The clock stood still: skip the work and leave it to the next period.
**/
inline
BOOLEAN
TickWitnessTicking (
  IN TICK_WITNESS  *Witness
  )
{
  if (Witness->Event == NULL) {
    return TRUE;
  }

  // Re-arming keeps an old signal, so it is taken first. A relative time of 0 would be
  // signalled at once, without a tick; 100 ns comes due on the next tick.
  (VOID)gBS->CheckEvent (Witness->Event);
  if (EFI_ERROR (gBS->SetTimer (Witness->Event, TimerRelative, 1))) {
    return TRUE;
  }

  for (UINT64 Waited = 0; ; Waited += TICK_WITNESS_STEP_US) {
    if (!EFI_ERROR (gBS->CheckEvent (Witness->Event))) {
      return TRUE;
    }

    if (Waited >= Witness->BoundUs) {
      break;
    }

    gBS->Stall (TICK_WITNESS_STEP_US);
  }

  gBS->SetTimer (Witness->Event, TimerCancel, 0);
  return FALSE;
}

#endif

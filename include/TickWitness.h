/** @file
  Tells a timer notify whether the firmware's clock runs while it works.

  Firmware may dispatch a timer notify from inside its timer interrupt, before that
  interrupt is acknowledged; until the notify returns no further tick arrives, so
  timer events stand still. A host controller driver that times a USB transfer with a
  timer event (XHCI does) then never ends a bulk-IN the device keeps NAKing, and the
  notify spins for ever. A poll asks the witness before such a transfer and skips it
  when the clock stands still; the poll comes again with the next period.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#ifndef TICK_WITNESS_H_
#define TICK_WITNESS_H_

extern "C" {
#include <Uefi.h>
#include <Library/BaseLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Protocol/Timer.h>
}

struct TICK_WITNESS {
  EFI_EVENT    Event;
  UINT32       BoundUs;
};

// Looks between two stalls of this length for the tick.
constexpr UINT32  TICK_WITNESS_STEP_US = 250;
// Assumed when the firmware offers no timer architectural protocol to ask.
constexpr UINT64  TICK_WITNESS_FALLBACK_PERIOD_100NS = 100000;
// Longer periods are clamped, so a ticking-less call never costs more than this.
constexpr UINT64  TICK_WITNESS_MAX_PERIOD_100NS = 500000;

/**
  Creates the witness's timer and learns the firmware's tick period. Without its event
  the witness answers "running", which keeps a poll working as it would without one.
**/
inline
EFI_STATUS
TickWitnessOpen (
  OUT TICK_WITNESS  *Witness
  )
{
  EFI_TIMER_ARCH_PROTOCOL  *Timer;
  UINT64                   Period = 0;

  Witness->Event = NULL;
  if (EFI_ERROR (gBS->LocateProtocol (&gEfiTimerArchProtocolGuid, NULL, (VOID **)&Timer)) ||
      EFI_ERROR (Timer->GetTimerPeriod (Timer, &Period)) || (Period == 0))
  {
    Period = TICK_WITNESS_FALLBACK_PERIOD_100NS;
  }

  if (Period > TICK_WITNESS_MAX_PERIOD_100NS) {
    Period = TICK_WITNESS_MAX_PERIOD_100NS;
  }

  // Two periods: the tick due when the witness is armed may come up to one period late.
  Witness->BoundUs = (UINT32)DivU64x32 (MultU64x32 (Period, 2), 10) + TICK_WITNESS_STEP_US;
  return gBS->CreateEvent (EVT_TIMER, TPL_CALLBACK, NULL, NULL, &Witness->Event);
}

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
}

/**
  Arms the witness for the next tick and stalls until it comes or two tick periods
  have passed.

  @retval TRUE   A tick arrived: timer events, and the transfer timeouts built on
                 them, run for the caller.
  @retval FALSE  The clock stood still.
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

  for (UINT32 Waited = 0; ; Waited += TICK_WITNESS_STEP_US) {
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

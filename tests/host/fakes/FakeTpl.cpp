/** @file
  Task priority: RaiseTPL and RestoreTPL, and the notifies that wait for the TPL
  to drop below theirs.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#include "FakeFirmwareInternal.h"

namespace fake::internal {

void
NoteTpl (EFI_TPL Tpl)
{
  mFw.HighestTpl = std::max (mFw.HighestTpl, Tpl);
}

void
QueueNotify (EVENT_RECORD *Event)
{
  if (Event->Queued) {
    auto  &Queue = mFw.Queue[Event->Tpl];
    Queue.erase (std::find (Queue.begin (), Queue.end (), Event));
  }

  mFw.Queue[Event->Tpl].push_back (Event);
  Event->Queued = true;
}

// Runs every queued notify above NewTpl, highest TPL first, each at its own TPL,
// and leaves the TPL at NewTpl.
void
DispatchAbove (EFI_TPL NewTpl)
{
  for (EFI_TPL Tpl = TPL_HIGH_LEVEL; Tpl > NewTpl; Tpl--) {
    while (!mFw.Queue[Tpl].empty ()) {
      EVENT_RECORD  *Event = mFw.Queue[Tpl].front ();
      mFw.Queue[Tpl].pop_front ();
      Event->Queued = false;
      // Wait events stay signaled until CheckEvent sees them.
      if ((Event->Type & EVT_NOTIFY_SIGNAL) != 0) {
        Event->Signaled = false;
      }

      mFw.Tpl = Tpl;
      NoteTpl (Tpl);
      CALL_OUT  Out;
      Event->Notify (Event, Event->Context);
      // A notify may have queued more at a higher level; start over from the top.
      Tpl = TPL_HIGH_LEVEL + 1;
      break;
    }
  }

  mFw.Tpl = NewTpl;
}

EFI_TPL
EFIAPI
FwRaiseTpl (EFI_TPL NewTpl)
{
  EFI_TPL  Old = mFw.Tpl;

  if ((NewTpl < Old) || (NewTpl > TPL_HIGH_LEVEL)) {
    ADD_FAILURE () << "RaiseTPL (" << NewTpl << ") at TPL " << Old;
  }

  mFw.TplDepth++;
  mFw.Tpl = NewTpl;
  NoteTpl (NewTpl);
  return Old;
}

VOID
EFIAPI
FwRestoreTpl (EFI_TPL OldTpl)
{
  if (OldTpl > mFw.Tpl) {
    ADD_FAILURE () << "RestoreTPL (" << OldTpl << ") at TPL " << mFw.Tpl;
  }

  mFw.TplDepth--;
  DispatchAbove (OldTpl);
}

} // namespace fake::internal

namespace fake {

using namespace internal;

EFI_TPL Firmware::CurrentTpl () { return mFw.Tpl; }
EFI_TPL Firmware::HighestTplSeen () { return mFw.HighestTpl; }
bool    Firmware::TplBalanced () { return (mFw.TplDepth == 0) && (mFw.Tpl == TPL_APPLICATION); }
void    Firmware::RunPendingNotifies () { DispatchAbove (mFw.Tpl); }

} // namespace fake

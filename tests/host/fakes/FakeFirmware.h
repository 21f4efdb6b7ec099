/** @file
  The platform firmware as a host test sees it: boot services with a protocol
  database, events, task priority and pool memory; runtime variables; a system
  table. Time is virtual and moves only when something waits or a test says so.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#ifndef FAKE_FIRMWARE_H_
#define FAKE_FIRMWARE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

extern "C" {
#include <Uefi.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiRuntimeServicesTableLib.h>
}

namespace fake {

struct Firmware {
  // New empty protocol database (only gImageHandle, carrying a loaded image), no
  // events, TPL_APPLICATION, virtual clock 0, allocation counters 0, variables
  // empty, all fault switches off; gBS/gST/gRT/gImageHandle valid. Blocks a
  // previous test leaked are released here.
  static void Reset ();

  // Virtual time: Stall(us) advances it (and never sleeps); peers may add wait time too.
  static UINT64 NowUs ();
  static void   AdvanceUs (UINT64 Us);           // moves the clock only (no timer fires by itself)
  static void   WaitUs (UINT64 Us);              // a device wait: the clock moves and ticks signal due timers, as in a stall
  // Moves the clock to just after the next tick, where a timer notify starts.
  static void   AdvanceToJustAfterTick ();
  static UINT64 StallCalls ();                   // count of gBS->Stall calls
  using STALL_HOOK = void (*)(void *Context, UINT64 NowUs);
  // Called after each Stall advances time, and after each 1 ms round WaitForEvent waits.
  static void   SetStallHook (STALL_HOOK Hook, void *Context);
  // The timer interrupt ticks every 10 ms of virtual time; a Stall signals the notify-less
  // timers that come due on those ticks. HoldTicks (true) plays code that runs inside the
  // timer interrupt, before it is acknowledged: the clock moves but no timer comes due.
  static void   HoldTicks (bool Held);
  // Another tick period, told through a timer architectural protocol as the core's is.
  static void   SetTickPeriodUs (UINT64 PeriodUs);
  // The core's idle loop, as WaitForEvent runs it between its looks: signals the
  // idle-loop event group, whose notifies run at their TPL.
  static void   Idle ();
  static bool   TicksHeld ();

  // Pool memory (AllocatePool/FreePool through gBS, so MemoryAllocationLib works unchanged).
  // Page allocations count as blocks too, so one leak check covers both.
  static size_t LiveAllocations ();              // blocks allocated and not yet freed
  static size_t LiveBytes ();
  static void   FailAllocation (size_t Nth);     // the Nth AllocatePool from now (1 = the next) fails; 0 = off
  static size_t AllocationCount ();              // AllocatePool calls since Reset

  // TPL
  static EFI_TPL CurrentTpl ();
  static EFI_TPL HighestTplSeen ();
  static bool    TplBalanced ();                 // every RaiseTPL had its RestoreTPL

  // Events
  static size_t  OpenEvents ();
  static bool    IsOpenEvent (EFI_EVENT Event);
  static bool    IsSignaled (EFI_EVENT Event);
  static UINT64  TimerPeriod100ns (EFI_EVENT Event);   // 0 when cancelled / never set
  static EFI_TIMER_DELAY TimerType (EFI_EVENT Event);
  // Signals the timer as its expiry would: the notify runs now at the event's TPL
  // (raise, call, restore) when the current TPL is below it, else on RestoreTPL.
  // A relative timer disarms; a periodic one stays armed.
  static void    FireTimer (EFI_EVENT Event);
  static size_t  FireAllTimers ();               // fires every armed timer once; returns how many
  static void    RunPendingNotifies ();          // notifies of signaled events whose TPL > current
  static EFI_TPL NotifyTpl (EFI_EVENT Event);
  // Fires the armed timers whose trigger time has come on the virtual clock
  // (WaitForEvent does this each round); returns how many fired.
  static size_t  FireDueTimers ();

  // Protocol database
  static EFI_HANDLE NewHandle ();                // a handle with nothing on it yet (tests then install protocols)
  static EFI_STATUS Install (EFI_HANDLE *Handle, const EFI_GUID &Guid, void *Interface);
  static void      *Find (EFI_HANDLE Handle, const EFI_GUID &Guid);   // nullptr when absent
  static bool       HasHandle (EFI_HANDLE Handle);
  static size_t     HandleCount ();
  // Open entries of (Handle, Guid) whose attributes share a bit with AttributeMask.
  static size_t     OpenCount (EFI_HANDLE Handle, const EFI_GUID &Guid, UINT32 AttributeMask);
  // The next call of the named service (gBS/gRT member name, e.g. "CreateEvent",
  // "OpenProtocol", "AllocatePool") fails with Status, once. For
  // "UninstallMultipleProtocolInterfaces" that is a consumer of its last interface that
  // will not let go: the handle is reconnected and what was removed is put back.
  static void       FailNext (const char *ServiceName, EFI_STATUS Status);

  // Images. LoadImage without a source buffer asks the source for the file the path
  // names (the device part leads to a simple file system, the rest are file path
  // nodes); false is a file that is not there. StartImage runs the entry in place of
  // the image's code, then connects the handles it made or changed; an error from it
  // unloads the image. With no entry set an image starts and does nothing.
  using IMAGE_SOURCE = bool (*)(void *Context, const EFI_DEVICE_PATH_PROTOCOL *FilePath, std::vector<uint8_t> *File);
  using IMAGE_ENTRY  = EFI_STATUS (*)(void *Context, EFI_HANDLE Image, const std::vector<uint8_t> &File);
  static void       SetImageSource (IMAGE_SOURCE Source, void *Context);
  static void       SetImageEntry (IMAGE_ENTRY Entry, void *Context);
  // The core's verdict on a file before it runs anything of it (Secure Boot, then the PE
  // loader), as its LoadImage answers: EFI_SECURITY_VIOLATION loads the image and hands
  // out its handle, which StartImage then refuses with the same status and UnloadImage
  // frees; any other error loads nothing. None set: every file loads.
  using IMAGE_CHECK  = EFI_STATUS (*)(void *Context, const std::vector<uint8_t> &File);
  static void       SetImageCheck (IMAGE_CHECK Check, void *Context);

  // Runtime variables
  static void       PutVariable (const CHAR16 *Name, const EFI_GUID &Guid, UINT32 Attributes, const void *Data, size_t Size);
  static bool       ReadVariable (const CHAR16 *Name, const EFI_GUID &Guid, std::vector<uint8_t> *Data, UINT32 *Attributes);
  static void       FailSetVariable (EFI_STATUS Status);               // every SetVariable fails with it until Reset (EFI_SUCCESS = off)
  static size_t     SetVariableCalls ();
  // A variable store of Bytes (names and data of the non-volatile variables): a write
  // that would need more answers EFI_OUT_OF_RESOURCES, as a full store does. 0 = no limit.
  static void       LimitNvSpace (size_t Bytes);

  // The seconds the last SetWatchdogTimer armed (0: off); Reset leaves it off.
  static UINTN      WatchdogSeconds ();

  // gST->ConIn: the keys a test queues, read one a stroke. Waiting for a key with none
  // queued would block a machine for ever: here it fails the test and the wait.
  static void       QueueKeys (const char16_t *Keys);

  // What went to gST->ConOut, narrowed to 8 bits.
  static std::string ConsoleOutput ();
};

} // namespace fake

#endif

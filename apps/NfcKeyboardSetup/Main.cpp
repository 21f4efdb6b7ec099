/** @file
  NfcKeyboardSetup's entry point: the words of its command line, from the shell
  or from the load options, handed to the dispatcher.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#include "NfcKeyboardSetup.h"

extern "C" {
#include <Protocol/LoadedImage.h>
#include <Protocol/ShellParameters.h>
#include <Library/BaseMemoryLib.h>
#include <Library/MemoryAllocationLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiLib.h>
#include <Library/UefiRuntimeServicesTableLib.h>
}

namespace {
// More words than any command takes, so an overlong line still reads as unknown.
constexpr UINTN  MAX_ARGS = 8;

// A menu nobody answers gives the machine back to its boot manager after this long
// without a choice, with the boot manager's own watchdog armed again.
constexpr UINTN   ANSWER_SECONDS   = 120;
constexpr UINTN   WATCHDOG_SECONDS = 5 * 60;
constexpr UINT64  ONE_SECOND       = 10 * 1000 * 1000;   // in the timer's 100 ns units

// The watchdog off for one scope, and armed as the boot manager arms it on the way out.
// *INDENT-OFF*
class WatchdogOff {
public:
  WatchdogOff () { gBS->SetWatchdogTimer (0, 0, 0, NULL); }
  ~WatchdogOff () { gBS->SetWatchdogTimer (WATCHDOG_SECONDS, 0, 0, NULL); }
  WatchdogOff (const WatchdogOff &) = delete;
  WatchdogOff &operator= (const WatchdogOff &) = delete;
};
// *INDENT-ON*

// The menu's clock: a timer event that ticks every second, closed on every way out, and
// the seconds counted since the last choice.
// *INDENT-OFF*
class SecondTicks {
public:
  SecondTicks () : mEvent (NULL), mSeconds (0)
  {
    if (!EFI_ERROR (gBS->CreateEvent (EVT_TIMER, TPL_CALLBACK, NULL, NULL, &mEvent)) &&
        EFI_ERROR (gBS->SetTimer (mEvent, TimerPeriodic, ONE_SECOND)))
    {
      gBS->CloseEvent (mEvent);
      mEvent = NULL;
    }
  }

  ~SecondTicks ()
  {
    if (mEvent != NULL) {
      gBS->CloseEvent (mEvent);
    }
  }

  SecondTicks (const SecondTicks &) = delete;
  SecondTicks &operator= (const SecondTicks &) = delete;

  EFI_EVENT Event () const { return mEvent; }
  VOID      Restart () { mSeconds = 0; }

  // Counts a tick; TRUE once ANSWER_SECONDS have gone by since the last choice.
  BOOLEAN Tick () { return (BOOLEAN)(++mSeconds >= ANSWER_SECONDS); }

private:
  EFI_EVENT  mEvent;
  UINTN      mSeconds;
};
// *INDENT-ON*

BOOLEAN
IsBlank (
  CHAR16  Char
  )
{
  return (BOOLEAN)((Char == u' ') || (Char == u'\t') || (Char == u'\r') || (Char == u'\n'));
}

// Load options that are text carry a command line; a boot option made by the
// firmware carries binary data of its own there instead.
BOOLEAN
IsText (
  CONST CHAR16  *Line
  )
{
  for ( ; *Line != 0; Line++) {
    if (((*Line < u' ') || (*Line > u'~')) && !IsBlank (*Line)) {
      return FALSE;
    }
  }

  return TRUE;
}

// The next key typed; 0 when the menu's time is up or there is no keyboard. Keys that
// come faster than they are read must not stop the clock: WaitForEvent names only the
// first signalled event of its list, so the tick comes first in it.
CHAR16
ReadKey (
  SecondTicks  &Ticks
  )
{
  EFI_INPUT_KEY  Key;
  UINTN          Index;

  if ((gST->ConIn == NULL) || (Ticks.Event () == NULL)) {
    return 0;
  }

  for ( ; ; ) {
    EFI_EVENT  Events[] = { Ticks.Event (), gST->ConIn->WaitForKey };
    if (EFI_ERROR (gBS->WaitForEvent (ARRAY_SIZE (Events), Events, &Index))) {
      return 0;
    }

    if (Index == 0) {
      if (Ticks.Tick ()) {
        return 0;
      }

      continue;
    }

    // A line end typed after an answer is no answer to the next question.
    if (!EFI_ERROR (gST->ConIn->ReadKeyStroke (gST->ConIn, &Key)) && (Key.UnicodeChar >= u' ')) {
      Print (CHAR16_TEXT (u"%c\n"), Key.UnicodeChar);
      return Key.UnicodeChar;
    }
  }
}
} // namespace

EFI_STATUS
NfcKeyboardMenu (
  VOID
  )
{
  // The boot manager arms a five-minute watchdog for the image it starts; a user
  // reading the menu takes as long as they like, up to ANSWER_SECONDS a choice. Only a
  // choice restarts the clock, so keys that choose nothing cannot hold the machine.
  WatchdogOff  Watchdog;
  SecondTicks  Ticks;

  Print (CHAR16_TEXT (u"NFC keyboard setup\n\n"));
  NfcKeyboardShowStatus ();
  for ( ; ; ) {
    Print (CHAR16_TEXT (u"\n  1  install\n  2  uninstall\n  3  status\n  4  quit\nChoose 1-4: "));
    CHAR16  Choice = ReadKey (Ticks);
    if ((Choice >= u'1') && (Choice <= u'4')) {
      Ticks.Restart ();
    }

    switch (Choice) {
      case u'1':
        if (!EFI_ERROR (NfcKeyboardInstall (NULL))) {
          Print (CHAR16_TEXT (u"Reset now, so the firmware loads the drivers? (y/n): "));
          CHAR16  Answer = ReadKey (Ticks);
          if ((Answer == u'y') || (Answer == u'Y')) {
            gRT->ResetSystem (EfiResetCold, EFI_SUCCESS, 0, NULL);
          }
        }

        break;
      case u'2':
        NfcKeyboardUninstall ();
        break;
      case u'3':
        NfcKeyboardShowStatus ();
        break;
      case u'4':
        return EFI_SUCCESS;
      case 0:
        // An error has the boot manager go on with its next boot option.
        Print (CHAR16_TEXT (u"\nNo answer: the machine boots on (%r)\n"), EFI_TIMEOUT);
        return EFI_TIMEOUT;
      default:
        break;
    }
  }
}

UINTN
SplitCommandLine (
  IN OUT CHAR16  *Line,
  OUT    CHAR16  **Argv,
  IN     UINTN   MaxArgs
  )
{
  UINTN   Count = 0;
  CHAR16  *Read = Line;

  while (*Read != 0) {
    while (IsBlank (*Read)) {
      Read++;
    }

    if ((*Read == 0) || (Count == MaxArgs)) {
      break;
    }

    // Words are packed in place: quotes drop out, so the write side trails the read side.
    CHAR16   *Write = Read;
    BOOLEAN  Quoted = FALSE;
    Argv[Count++] = Write;
    while ((*Read != 0) && (Quoted || !IsBlank (*Read))) {
      if (*Read == u'"') {
        Quoted = (BOOLEAN)(!Quoted);
      } else {
        *Write++ = *Read;
      }

      Read++;
    }

    BOOLEAN  AtEnd = (BOOLEAN)(*Read == 0);
    *Write = 0;
    if (AtEnd) {
      break;
    }

    Read++;
  }

  return Count;
}

extern "C" EFI_STATUS EFIAPI
NfcKeyboardSetupMain (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  EFI_SHELL_PARAMETERS_PROTOCOL  *Parameters;
  EFI_LOADED_IMAGE_PROTOCOL      *LoadedImage;

  (VOID)SystemTable;
  if (!EFI_ERROR (gBS->HandleProtocol (ImageHandle, &gEfiShellParametersProtocolGuid, reinterpret_cast<VOID **>(&Parameters)))) {
    return NfcKeyboardSetupRun (Parameters->Argc, Parameters->Argv);
  }

  // Started without the shell (a boot option, say): the load options carry the line.
  CHAR16  *Argv[MAX_ARGS];
  UINTN   Argc  = 0;
  CHAR16  *Line = NULL;

  if (!EFI_ERROR (gBS->HandleProtocol (ImageHandle, &gEfiLoadedImageProtocolGuid, reinterpret_cast<VOID **>(&LoadedImage))) &&
      (LoadedImage->LoadOptions != NULL) && (LoadedImage->LoadOptionsSize >= sizeof (CHAR16)))
  {
    UINTN  Chars = LoadedImage->LoadOptionsSize / sizeof (CHAR16);

    // The options need not end in a NUL, so the copy gets one of its own.
    Line = static_cast<CHAR16 *>(AllocateZeroPool ((Chars + 1) * sizeof (CHAR16)));
    if (Line == NULL) {
      Print (CHAR16_TEXT (u"NfcKeyboardSetup: out of memory (%r)\n"), EFI_OUT_OF_RESOURCES);
      return EFI_OUT_OF_RESOURCES;
    }

    CopyMem (Line, LoadedImage->LoadOptions, Chars * sizeof (CHAR16));
    if (IsText (Line)) {
      Argc = SplitCommandLine (Line, Argv, MAX_ARGS);
    }
  }

  // Started by the firmware with no command, from a stick say: the menu.
  if (Argc <= 1) {
    if (Line != NULL) {
      FreePool (Line);
    }

    return NfcKeyboardMenu ();
  }

  EFI_STATUS  Status = NfcKeyboardSetupRun (Argc, Argv);

  if (Line != NULL) {
    FreePool (Line);
  }

  return Status;
}

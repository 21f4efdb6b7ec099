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
}

namespace {

// More words than any command takes, so an overlong line still reads as unknown.
constexpr UINTN  mMaxArgs = 8;

BOOLEAN
IsBlank (
  CHAR16  Char
  )
{
  return (BOOLEAN)((Char == u' ') || (Char == u'\t') || (Char == u'\r') || (Char == u'\n'));
}

} // namespace

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
    CHAR16   *Write  = Read;
    BOOLEAN  Quoted  = FALSE;
    Argv[Count++] = Write;
    while ((*Read != 0) && (Quoted || !IsBlank (*Read))) {
      if (*Read == u'"') {
        Quoted = (BOOLEAN)!Quoted;
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
  if (!EFI_ERROR (gBS->HandleProtocol (ImageHandle, &gEfiShellParametersProtocolGuid, (VOID **)&Parameters))) {
    return NfcKeyboardSetupRun (Parameters->Argc, Parameters->Argv);
  }

  // Started without the shell (a boot option, say): the load options carry the line.
  CHAR16  *Argv[mMaxArgs];
  UINTN   Argc = 0;
  CHAR16  *Line = NULL;

  if (!EFI_ERROR (gBS->HandleProtocol (ImageHandle, &gEfiLoadedImageProtocolGuid, (VOID **)&LoadedImage)) &&
      (LoadedImage->LoadOptions != NULL) && (LoadedImage->LoadOptionsSize >= sizeof (CHAR16)))
  {
    UINTN  Chars = LoadedImage->LoadOptionsSize / sizeof (CHAR16);

    // The options need not end in a NUL, so the copy gets one of its own.
    Line = static_cast<CHAR16 *>(AllocateZeroPool ((Chars + 1) * sizeof (CHAR16)));
    if (Line == NULL) {
      Print ((CONST CHAR16 *)u"NfcKeyboardSetup: out of memory (%r)\n", EFI_OUT_OF_RESOURCES);
      return EFI_OUT_OF_RESOURCES;
    }

    CopyMem (Line, LoadedImage->LoadOptions, Chars * sizeof (CHAR16));
    Argc = SplitCommandLine (Line, Argv, mMaxArgs);
  }

  EFI_STATUS  Status = NfcKeyboardSetupRun (Argc, Argv);
  if (Line != NULL) {
    FreePool (Line);
  }

  return Status;
}

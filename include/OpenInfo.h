/** @file
  Who has a protocol open on a handle: the one walk of the firmware's open information
  that the serial drivers, the keyboard and the setup tool make to find a driver's
  children and a line's holders.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef OPEN_INFO_H_
#define OPEN_INFO_H_

extern "C" {
#include <Uefi.h>
#include <Library/MemoryAllocationLib.h>
#include <Library/UefiBootServicesTableLib.h>
}

/**
  Hands each open of Protocol on Handle to Visit, a callable taking
  (CONST EFI_OPEN_PROTOCOL_INFORMATION_ENTRY &) and returning TRUE to go on, FALSE to
  stop; the firmware's list is freed on the way out.

  @retval EFI_SUCCESS  Every entry was visited, or Visit stopped the walk.
  @retval other        The firmware gave no list (Handle lacks Protocol); nothing was visited.
**/
template<typename VISIT>
inline
EFI_STATUS
OpenInfoForEach (
  IN EFI_HANDLE  Handle,
  IN EFI_GUID    *Protocol,
  IN VISIT       &&Visit
  )
{
  EFI_OPEN_PROTOCOL_INFORMATION_ENTRY  *Entries = NULL;
  UINTN                                Count    = 0;
  EFI_STATUS                           Status   = gBS->OpenProtocolInformation (Handle, Protocol, &Entries, &Count);

  if (EFI_ERROR (Status)) {
    return Status;
  }

  for (UINTN Index = 0; Index < Count; Index++) {
    if (!Visit (Entries[Index])) {
      break;
    }
  }

  // A firmware may hand back no buffer for a protocol nobody has open.
  if (Entries != NULL) {
    FreePool (Entries);
  }

  return EFI_SUCCESS;
}

/**
  Hands Visit, a callable taking (EFI_HANDLE Child) and returning TRUE to go on, each
  child Agent made from Handle: each controller for which Agent opened Protocol on
  Handle BY_CHILD_CONTROLLER.

  @retval EFI_SUCCESS  Every child was visited, or Visit stopped the walk.
  @retval other        Handle lacks Protocol; nothing was visited.
**/
template<typename VISIT>
inline
EFI_STATUS
OpenInfoForEachChild (
  IN EFI_HANDLE  Handle,
  IN EFI_GUID    *Protocol,
  IN EFI_HANDLE  Agent,
  IN VISIT       &&Visit
  )
{
  return OpenInfoForEach (
                          Handle,
                          Protocol,
                          [&](CONST EFI_OPEN_PROTOCOL_INFORMATION_ENTRY &Entry) -> BOOLEAN {
    if (((Entry.Attributes & EFI_OPEN_PROTOCOL_BY_CHILD_CONTROLLER) == 0) || (Entry.AgentHandle != Agent)) {
      return TRUE;
    }

    return Visit (Entry.ControllerHandle);
  }
                          );
}

#endif

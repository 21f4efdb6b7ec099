/** @file
  The device-path text conversions UefiDevicePathLib.c refers to; the keyboard never
  converts a path to or from text, so the tests link these empty ones.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#include <Uefi.h>
#include <Protocol/DevicePath.h>

CHAR16 *EFIAPI UefiDevicePathLibConvertDeviceNodeToText (CONST EFI_DEVICE_PATH_PROTOCOL *N, BOOLEAN D, BOOLEAN A) { return NULL; }
CHAR16 *EFIAPI UefiDevicePathLibConvertDevicePathToText (CONST EFI_DEVICE_PATH_PROTOCOL *P, BOOLEAN D, BOOLEAN A) { return NULL; }
EFI_DEVICE_PATH_PROTOCOL *EFIAPI UefiDevicePathLibConvertTextToDeviceNode (CONST CHAR16 *T) { return NULL; }
EFI_DEVICE_PATH_PROTOCOL *EFIAPI UefiDevicePathLibConvertTextToDevicePath (CONST CHAR16 *T) { return NULL; }

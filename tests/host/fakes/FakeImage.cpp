/** @file
  Images: LoadImage, StartImage and UnloadImage, and the loaded image of each.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#include "FakeFirmwareInternal.h"

extern "C" {
#include <Protocol/SimpleFileSystem.h>
}

namespace fake::internal {

const EFI_GUID  mLoadedImageDevicePathGuid = EFI_LOADED_IMAGE_DEVICE_PATH_PROTOCOL_GUID;

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
  IMAGE      *Image = mFw.Images[Handle].get ();

  for (auto *Record : mFw.Handles) {
    for (auto *Entry : Record->Protocols) {
      auto  &Opens = Entry->Opens;
      Opens.erase (std::remove_if (Opens.begin (), Opens.end (), [&](const OPEN_ENTRY &Open) { return Open.Agent == Handle; }),
                   Opens.end ());
    }
  }

  void  *DevicePath = Image->DevicePath.empty () ? nullptr : Image->DevicePath.data ();
  FwUninstallProtocolInterface (Handle, const_cast<EFI_GUID *>(&mLoadedImageDevicePathGuid), DevicePath);
  FwUninstallProtocolInterface (Handle, &gEfiLoadedImageProtocolGuid, &Image->Info);
  mFw.Images.erase (Handle);
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

    if ((mFw.ImageSource == nullptr) || !mFw.ImageSource (mFw.ImageSourceContext, FilePath, &Image->File)) {
      return EFI_NOT_FOUND;
    }
  }

  // The security check comes first; only its EFI_SECURITY_VIOLATION goes on to load.
  Image->LoadStatus = (mFw.ImageCheck == nullptr) ? EFI_SUCCESS : mFw.ImageCheck (mFw.ImageCheckContext, Image->File);
  if (EFI_ERROR (Image->LoadStatus) && (Image->LoadStatus != EFI_SECURITY_VIOLATION)) {
    if (Image->LoadStatus == EFI_ACCESS_DENIED) {
      *ImageHandle = NULL;
    }

    return Image->LoadStatus;
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
  Status             = Image->LoadStatus;
  mFw.Images[Handle] = std::move (Image);
  *ImageHandle    = Handle;
  return Status;
}

EFI_STATUS
EFIAPI
FwStartImage (EFI_HANDLE ImageHandle, UINTN *ExitDataSize, CHAR16 **ExitData)
{
  EFI_STATUS  Status;

  if (Failing ("StartImage", &Status)) {
    return Status;
  }

  auto  It = mFw.Images.find (ImageHandle);
  if ((It == mFw.Images.end ()) || It->second->Started) {
    return EFI_INVALID_PARAMETER;
  }

  if (EFI_ERROR (It->second->LoadStatus)) {
    return It->second->LoadStatus;
  }

  UINT64  Key = mFw.DatabaseKey;
  It->second->Started = true;
  {
    CALL_OUT  Out;
    Status = (mFw.ImageEntry == nullptr) ? EFI_SUCCESS : mFw.ImageEntry (mFw.ImageEntryContext, ImageHandle, It->second->File);
  }

  // A driver's entry may have made or changed handles; the core connects them.
  std::vector<EFI_HANDLE>  Changed;
  for (auto *Handle : mFw.Handles) {
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

  auto  It = mFw.Images.find (ImageHandle);
  if (It == mFw.Images.end ()) {
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

} // namespace fake::internal

namespace fake {

using namespace internal;

void
Firmware::SetImageSource (IMAGE_SOURCE Source, void *Context)
{
  mFw.ImageSource        = Source;
  mFw.ImageSourceContext = Context;
}

void
Firmware::SetImageCheck (IMAGE_CHECK Check, void *Context)
{
  mFw.ImageCheck        = Check;
  mFw.ImageCheckContext = Context;
}

void
Firmware::SetImageEntry (IMAGE_ENTRY Entry, void *Context)
{
  mFw.ImageEntry        = Entry;
  mFw.ImageEntryContext = Context;
}

} // namespace fake

/** @file
  Boot services, runtime variables and the system table for host tests. The
  protocol database, event queues and TPL follow what the firmware core does,
  so a driver sees the refusals and orderings it would meet on a real machine.
  Here: the tables, wired to the services each Fake*.cpp holds for its group; the
  small services no group holds; the fault switch; and Reset.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#include "FakeFirmwareInternal.h"

#include <cstdlib>

extern "C" {
EFI_HANDLE            gImageHandle = NULL;
EFI_SYSTEM_TABLE      *gST         = NULL;
EFI_BOOT_SERVICES     *gBS         = NULL;
EFI_RUNTIME_SERVICES  *gRT         = NULL;
}

namespace fake::internal {

EFI_BOOT_SERVICES          mBootServices;
EFI_RUNTIME_SERVICES       mRuntimeServices;
EFI_LOADED_IMAGE_PROTOCOL  mLoadedImage;
CHAR16                     mFirmwareVendor[] = { 'H', 'o', 's', 't', 0 };

bool
Failing (const char *Service, EFI_STATUS *Status)
{
  if (mCoreDepth > 0) {
    return false;
  }

  auto  It = mFw.FailNext.find (Service);

  if (It == mFw.FailNext.end ()) {
    return false;
  }

  *Status = It->second;
  mFw.FailNext.erase (It);
  return true;
}

EFI_STATUS
EFIAPI
FwSetWatchdogTimer (UINTN Timeout, UINT64, UINTN, CHAR16 *)
{
  mFw.WatchdogSeconds = Timeout;
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
FwGetNextMonotonicCount (UINT64 *Count)
{
  if (Count == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  *Count = ++mFw.Monotonic;
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
FwCalculateCrc32 (VOID *Data, UINTN DataSize, UINT32 *Crc32)
{
  if ((Data == NULL) || (DataSize == 0) || (Crc32 == NULL)) {
    return EFI_INVALID_PARAMETER;
  }

  UINT32       Crc   = 0xFFFFFFFF;
  const UINT8  *Byte = static_cast<const UINT8 *>(Data);
  for (UINTN Index = 0; Index < DataSize; Index++) {
    Crc ^= Byte[Index];
    for (int Bit = 0; Bit < 8; Bit++) {
      Crc = (Crc >> 1) ^ (0xEDB88320U & (0U - (Crc & 1)));
    }
  }

  *Crc32 = ~Crc;
  return EFI_SUCCESS;
}

VOID EFIAPI FwCopyMem (VOID *Destination, VOID *Source, UINTN Length) { std::memmove (Destination, Source, Length); }
VOID EFIAPI FwSetMem (VOID *Buffer, UINTN Size, UINT8 Value) { std::memset (Buffer, Value, Size); }

// ---- services the drivers have no business calling ---------------------------

#define FW_UNSUPPORTED(Name, ...)                                     \
  EFI_STATUS EFIAPI Fw##Name (__VA_ARGS__)                            \
  {                                                                   \
    ADD_FAILURE () << #Name " is not modelled by the fake firmware";  \
    return EFI_UNSUPPORTED;                                           \
  }

FW_UNSUPPORTED (GetMemoryMap, UINTN *, EFI_MEMORY_DESCRIPTOR *, UINTN *, UINTN *, UINT32 *)
FW_UNSUPPORTED (RegisterProtocolNotify, EFI_GUID *, EFI_EVENT, VOID **)
FW_UNSUPPORTED (InstallConfigurationTable, EFI_GUID *, VOID *)
FW_UNSUPPORTED (Exit, EFI_HANDLE, EFI_STATUS, UINTN, CHAR16 *)
FW_UNSUPPORTED (ExitBootServices, EFI_HANDLE, UINTN)
FW_UNSUPPORTED (GetTime, EFI_TIME *, EFI_TIME_CAPABILITIES *)
FW_UNSUPPORTED (SetTime, EFI_TIME *)
FW_UNSUPPORTED (GetWakeupTime, BOOLEAN *, BOOLEAN *, EFI_TIME *)
FW_UNSUPPORTED (SetWakeupTime, BOOLEAN, EFI_TIME *)
FW_UNSUPPORTED (SetVirtualAddressMap, UINTN, UINTN, UINT32, EFI_MEMORY_DESCRIPTOR *)
FW_UNSUPPORTED (ConvertPointer, UINTN, VOID **)
FW_UNSUPPORTED (GetNextHighMonotonicCount, UINT32 *)
FW_UNSUPPORTED (UpdateCapsule, EFI_CAPSULE_HEADER **, UINTN, EFI_PHYSICAL_ADDRESS)
FW_UNSUPPORTED (QueryCapsuleCapabilities, EFI_CAPSULE_HEADER **, UINTN, UINT64 *, EFI_RESET_TYPE *)
FW_UNSUPPORTED (QueryVariableInfo, UINT32, UINT64 *, UINT64 *, UINT64 *)

VOID
EFIAPI
FwResetSystem (EFI_RESET_TYPE ResetType, EFI_STATUS ResetStatus, UINTN DataSize, VOID *ResetData)
{
  ADD_FAILURE () << "ResetSystem is not modelled by the fake firmware";
}

void
SealHeader (EFI_TABLE_HEADER *Header)
{
  Header->CRC32 = 0;
  FwCalculateCrc32 (Header, Header->HeaderSize, &Header->CRC32);
}

} // namespace fake::internal

namespace fake {

using namespace internal;

void
Firmware::Reset ()
{
  for (auto &Block : mFw.Pool) {
    std::free (Block.first);
  }

  for (auto &Pages : mFw.Pages) {
    std::free (reinterpret_cast<void *>(static_cast<UINTN>(Pages.first)));
  }

  mFw = STATE ();

  EFI_BOOT_SERVICES  &Bs = mBootServices;
  Bs                                     = {};
  Bs.Hdr.Signature                       = EFI_BOOT_SERVICES_SIGNATURE;
  Bs.Hdr.Revision                        = EFI_BOOT_SERVICES_REVISION;
  Bs.Hdr.HeaderSize                      = sizeof (EFI_BOOT_SERVICES);
  Bs.RaiseTPL                            = FwRaiseTpl;
  Bs.RestoreTPL                          = FwRestoreTpl;
  Bs.AllocatePages                       = FwAllocatePages;
  Bs.FreePages                           = FwFreePages;
  Bs.GetMemoryMap                        = FwGetMemoryMap;
  Bs.AllocatePool                        = FwAllocatePool;
  Bs.FreePool                            = FwFreePool;
  Bs.CreateEvent                         = FwCreateEvent;
  Bs.SetTimer                            = FwSetTimer;
  Bs.WaitForEvent                        = FwWaitForEvent;
  Bs.SignalEvent                         = FwSignalEvent;
  Bs.CloseEvent                          = FwCloseEvent;
  Bs.CheckEvent                          = FwCheckEvent;
  Bs.InstallProtocolInterface            = FwInstallProtocolInterface;
  Bs.ReinstallProtocolInterface          = FwReinstallProtocolInterface;
  Bs.UninstallProtocolInterface          = FwUninstallProtocolInterface;
  Bs.HandleProtocol                      = FwHandleProtocol;
  Bs.RegisterProtocolNotify              = FwRegisterProtocolNotify;
  Bs.LocateHandle                        = FwLocateHandle;
  Bs.LocateDevicePath                    = FwLocateDevicePath;
  Bs.InstallConfigurationTable           = FwInstallConfigurationTable;
  Bs.LoadImage                           = FwLoadImage;
  Bs.StartImage                          = FwStartImage;
  Bs.Exit                                = FwExit;
  Bs.UnloadImage                         = FwUnloadImage;
  Bs.ExitBootServices                    = FwExitBootServices;
  Bs.GetNextMonotonicCount               = FwGetNextMonotonicCount;
  Bs.Stall                               = FwStall;
  Bs.SetWatchdogTimer                    = FwSetWatchdogTimer;
  Bs.ConnectController                   = FwConnectController;
  Bs.DisconnectController                = FwDisconnectController;
  Bs.OpenProtocol                        = FwOpenProtocol;
  Bs.CloseProtocol                       = FwCloseProtocol;
  Bs.OpenProtocolInformation             = FwOpenProtocolInformation;
  Bs.ProtocolsPerHandle                  = FwProtocolsPerHandle;
  Bs.LocateHandleBuffer                  = FwLocateHandleBuffer;
  Bs.LocateProtocol                      = FwLocateProtocol;
  Bs.InstallMultipleProtocolInterfaces   = FwInstallMultipleProtocolInterfaces;
  Bs.UninstallMultipleProtocolInterfaces = FwUninstallMultipleProtocolInterfaces;
  Bs.CalculateCrc32                      = FwCalculateCrc32;
  Bs.CopyMem                             = FwCopyMem;
  Bs.SetMem                              = FwSetMem;
  Bs.CreateEventEx                       = FwCreateEventEx;
  SealHeader (&Bs.Hdr);

  EFI_RUNTIME_SERVICES  &Rt = mRuntimeServices;
  Rt                           = {};
  Rt.Hdr.Signature             = EFI_RUNTIME_SERVICES_SIGNATURE;
  Rt.Hdr.Revision              = EFI_RUNTIME_SERVICES_REVISION;
  Rt.Hdr.HeaderSize            = sizeof (EFI_RUNTIME_SERVICES);
  Rt.GetTime                   = FwGetTime;
  Rt.SetTime                   = FwSetTime;
  Rt.GetWakeupTime             = FwGetWakeupTime;
  Rt.SetWakeupTime             = FwSetWakeupTime;
  Rt.SetVirtualAddressMap      = FwSetVirtualAddressMap;
  Rt.ConvertPointer            = FwConvertPointer;
  Rt.GetVariable               = FwGetVariable;
  Rt.GetNextVariableName       = FwGetNextVariableName;
  Rt.SetVariable               = FwSetVariable;
  Rt.GetNextHighMonotonicCount = FwGetNextHighMonotonicCount;
  Rt.ResetSystem               = FwResetSystem;
  Rt.UpdateCapsule             = FwUpdateCapsule;
  Rt.QueryCapsuleCapabilities  = FwQueryCapsuleCapabilities;
  Rt.QueryVariableInfo         = FwQueryVariableInfo;
  SealHeader (&Rt.Hdr);

  EFI_SYSTEM_TABLE  &St = mSystemTable;
  St                    = {};
  St.Hdr.Signature      = EFI_SYSTEM_TABLE_SIGNATURE;
  St.Hdr.Revision       = EFI_SYSTEM_TABLE_REVISION;
  St.Hdr.HeaderSize     = sizeof (EFI_SYSTEM_TABLE);
  St.FirmwareVendor     = mFirmwareVendor;
  St.FirmwareRevision   = 0x00010000;
  St.RuntimeServices    = &mRuntimeServices;
  St.BootServices       = &mBootServices;
  ResetConsole (&St);
  SealHeader (&St.Hdr);

  gBS = &mBootServices;
  gRT = &mRuntimeServices;
  gST = &mSystemTable;

  mLoadedImage              = {};
  mLoadedImage.Revision     = EFI_LOADED_IMAGE_PROTOCOL_REVISION;
  mLoadedImage.SystemTable  = &mSystemTable;
  mLoadedImage.ImageCodeType = EfiBootServicesCode;
  mLoadedImage.ImageDataType = EfiBootServicesData;
  gImageHandle              = NULL;
  Install (&gImageHandle, gEfiLoadedImageProtocolGuid, &mLoadedImage);
}

void  Firmware::FailNext (const char *ServiceName, EFI_STATUS Status) { mFw.FailNext[ServiceName] = Status; }
UINTN Firmware::WatchdogSeconds () { return mFw.WatchdogSeconds; }

} // namespace fake

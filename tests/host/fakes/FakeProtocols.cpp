/** @file
  The protocol database: handles, install, uninstall and reinstall, open and close,
  locate, and connecting drivers to controllers.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#include "FakeFirmwareInternal.h"

extern "C" {
#include <Protocol/DriverBinding.h>
}

namespace fake::internal {

// Agent of the opens HandleProtocol records; the core's own image on a machine.
char  mCoreAgent;

HANDLE_RECORD *
AsHandle (EFI_HANDLE Handle)
{
  for (auto *Record : mFw.Handles) {
    if (Record == Handle) {
      return Record;
    }
  }

  return nullptr;
}

PROTOCOL_ENTRY *
FindProtocol (HANDLE_RECORD *Handle, const EFI_GUID *Guid)
{
  for (auto *Entry : Handle->Protocols) {
    if (SameGuid (Entry->Guid, *Guid)) {
      return Entry;
    }
  }

  return nullptr;
}

// The entry for Guid on Handle; nullptr when either is absent.
PROTOCOL_ENTRY *
EntryOn (EFI_HANDLE Handle, const EFI_GUID *Guid)
{
  HANDLE_RECORD  *Record = AsHandle (Handle);

  return (Record == nullptr) ? nullptr : FindProtocol (Record, Guid);
}

HANDLE_RECORD *
CreateHandle ()
{
  mFw.AllHandles.push_back (std::make_unique<HANDLE_RECORD>());
  HANDLE_RECORD  *Handle = mFw.AllHandles.back ().get ();

  Handle->Signature = HandleSignature;
  Handle->Key       = ++mFw.DatabaseKey;
  mFw.Handles.push_back (Handle);
  return Handle;
}

void
RemoveHandle (HANDLE_RECORD *Handle)
{
  mFw.Handles.erase (std::find (mFw.Handles.begin (), mFw.Handles.end (), Handle));
  Handle->Signature = 0;
}

UINTN
DevicePathBytes (const EFI_DEVICE_PATH_PROTOCOL *Path)
{
  const UINT8  *Node = reinterpret_cast<const UINT8 *>(Path);
  UINTN        Size  = 0;

  for (;;) {
    UINTN  Length = Node[2] | (Node[3] << 8);
    if ((Node[0] == END_DEVICE_PATH_TYPE) && (Node[1] == END_ENTIRE_DEVICE_PATH_SUBTYPE)) {
      return Size;
    }

    if (Length < 4) {
      return Size;  // malformed; treat what came before as the whole path
    }

    Size += Length;
    Node += Length;
  }
}

EFI_STATUS
EFIAPI
FwInstallProtocolInterface (EFI_HANDLE *UserHandle, EFI_GUID *Protocol, EFI_INTERFACE_TYPE InterfaceType, VOID *Interface)
{
  EFI_STATUS  Status;

  if (Failing ("InstallProtocolInterface", &Status)) {
    return Status;
  }

  if ((UserHandle == NULL) || (Protocol == NULL) || (InterfaceType != EFI_NATIVE_INTERFACE)) {
    return EFI_INVALID_PARAMETER;
  }

  HANDLE_RECORD  *Handle = nullptr;
  if (*UserHandle != NULL) {
    Handle = AsHandle (*UserHandle);
    if (Handle == nullptr) {
      return EFI_INVALID_PARAMETER;
    }

    if (FindProtocol (Handle, Protocol) != nullptr) {
      return EFI_INVALID_PARAMETER;
    }
  } else {
    Handle = CreateHandle ();
  }

  mFw.AllProtocols.push_back (std::make_unique<PROTOCOL_ENTRY>());
  PROTOCOL_ENTRY  *Entry = mFw.AllProtocols.back ().get ();
  Entry->Guid      = *Protocol;
  Entry->Interface = Interface;
  Handle->Protocols.push_back (Entry);
  Handle->Key = ++mFw.DatabaseKey;
  *UserHandle = Handle;
  return EFI_SUCCESS;
}

// Asks every driver holding the interface BY_DRIVER to let go; fails when one keeps it.
EFI_STATUS
DisconnectByDriverOpeners (HANDLE_RECORD *Handle, PROTOCOL_ENTRY *Entry)
{
  std::vector<EFI_HANDLE>  Asked;

  for (bool Again = true; Again;) {
    Again = false;
    for (auto &Open : Entry->Opens) {
      if ((Open.Attributes & EFI_OPEN_PROTOCOL_BY_DRIVER) != 0) {
        // A driver whose Stop succeeded yet kept the interface is not asked twice.
        if (std::find (Asked.begin (), Asked.end (), Open.Agent) != Asked.end ()) {
          return EFI_ACCESS_DENIED;
        }

        Asked.push_back (Open.Agent);
        CORE_CALL   Core;
        EFI_STATUS  Status = FwDisconnectController (Handle, Open.Agent, NULL);
        if (EFI_ERROR (Status)) {
          return Status;
        }

        Again = true;
        break;
      }
    }
  }

  return EFI_SUCCESS;
}

EFI_STATUS
DisconnectUsers (HANDLE_RECORD *Handle, PROTOCOL_ENTRY *Entry)
{
  EFI_STATUS  Status = DisconnectByDriverOpeners (Handle, Entry);

  if (EFI_ERROR (Status)) {
    return Status;
  }

  // Removing these would be fine; anything else still open blocks the removal.
  auto  &Opens = Entry->Opens;
  constexpr UINT32  Passive = EFI_OPEN_PROTOCOL_BY_HANDLE_PROTOCOL | EFI_OPEN_PROTOCOL_GET_PROTOCOL |
                              EFI_OPEN_PROTOCOL_TEST_PROTOCOL;
  auto  IsPassive = [](const OPEN_ENTRY &Open) { return (Open.Attributes & Passive) != 0; };
  Opens.erase (std::remove_if (Opens.begin (), Opens.end (), IsPassive), Opens.end ());
  return Opens.empty () ? EFI_SUCCESS : EFI_ACCESS_DENIED;
}

// Uninstall and reinstall both need the entry to hold the interface the caller names and
// every driver using it to let go; on a refusal the drivers stopped so far get the
// controller back. A failure armed for Service is spent here.
EFI_STATUS
ReleaseEntry (const char *Service, HANDLE_RECORD *Handle, EFI_GUID *Protocol, VOID *Interface, PROTOCOL_ENTRY **Released)
{
  EFI_STATUS  Status;

  if (Failing (Service, &Status)) {
    return Status;
  }

  if ((Handle == nullptr) || (Protocol == NULL)) {
    return EFI_INVALID_PARAMETER;
  }

  PROTOCOL_ENTRY  *Entry = FindProtocol (Handle, Protocol);
  if ((Entry == nullptr) || (Entry->Interface != Interface)) {
    return EFI_NOT_FOUND;
  }

  if (EFI_ERROR (DisconnectUsers (Handle, Entry))) {
    CORE_CALL  Core;
    FwConnectController (Handle, NULL, NULL, TRUE);
    return EFI_ACCESS_DENIED;
  }

  *Released = Entry;
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
FwUninstallProtocolInterface (EFI_HANDLE UserHandle, EFI_GUID *Protocol, VOID *Interface)
{
  HANDLE_RECORD   *Handle = AsHandle (UserHandle);
  PROTOCOL_ENTRY  *Entry;
  EFI_STATUS      Status  = ReleaseEntry ("UninstallProtocolInterface", Handle, Protocol, Interface, &Entry);

  if (EFI_ERROR (Status)) {
    return Status;
  }

  auto  &List = Handle->Protocols;
  List.erase (std::find (List.begin (), List.end (), Entry));
  Handle->Key = ++mFw.DatabaseKey;
  if (List.empty ()) {
    RemoveHandle (Handle);
  }

  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
FwReinstallProtocolInterface (EFI_HANDLE UserHandle, EFI_GUID *Protocol, VOID *OldInterface, VOID *NewInterface)
{
  HANDLE_RECORD   *Handle = AsHandle (UserHandle);
  PROTOCOL_ENTRY  *Entry;
  EFI_STATUS      Status  = ReleaseEntry ("ReinstallProtocolInterface", Handle, Protocol, OldInterface, &Entry);

  if (EFI_ERROR (Status)) {
    return Status;
  }

  Entry->Interface = NewInterface;
  Handle->Key      = ++mFw.DatabaseKey;
  CORE_CALL  Core;
  FwConnectController (Handle, NULL, NULL, TRUE);
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
FwOpenProtocol (
  EFI_HANDLE  UserHandle,
  EFI_GUID    *Protocol,
  VOID        **Interface,
  EFI_HANDLE  AgentHandle,
  EFI_HANDLE  ControllerHandle,
  UINT32      Attributes
  )
{
  EFI_STATUS  Status;

  if (Failing ("OpenProtocol", &Status)) {
    return Status;
  }

  if (Protocol == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  if ((Attributes != EFI_OPEN_PROTOCOL_TEST_PROTOCOL) && (Interface == NULL)) {
    return EFI_INVALID_PARAMETER;
  }

  HANDLE_RECORD  *Handle = AsHandle (UserHandle);
  if (Handle == nullptr) {
    return EFI_INVALID_PARAMETER;
  }

  switch (Attributes) {
    case EFI_OPEN_PROTOCOL_BY_CHILD_CONTROLLER:
      if ((AsHandle (AgentHandle) == nullptr) || (AsHandle (ControllerHandle) == nullptr) ||
          (UserHandle == ControllerHandle))
      {
        return EFI_INVALID_PARAMETER;
      }

      break;
    case EFI_OPEN_PROTOCOL_BY_DRIVER:
    case EFI_OPEN_PROTOCOL_BY_DRIVER | EFI_OPEN_PROTOCOL_EXCLUSIVE:
      if ((AsHandle (AgentHandle) == nullptr) || (AsHandle (ControllerHandle) == nullptr)) {
        return EFI_INVALID_PARAMETER;
      }

      break;
    case EFI_OPEN_PROTOCOL_EXCLUSIVE:
      if (AsHandle (AgentHandle) == nullptr) {
        return EFI_INVALID_PARAMETER;
      }

      break;
    case EFI_OPEN_PROTOCOL_BY_HANDLE_PROTOCOL:
    case EFI_OPEN_PROTOCOL_GET_PROTOCOL:
    case EFI_OPEN_PROTOCOL_TEST_PROTOCOL:
      break;
    default:
      return EFI_INVALID_PARAMETER;
  }

  PROTOCOL_ENTRY  *Entry = FindProtocol (Handle, Protocol);
  if (Entry == nullptr) {
    if (Attributes != EFI_OPEN_PROTOCOL_TEST_PROTOCOL) {
      *Interface = NULL;
    }

    return EFI_UNSUPPORTED;
  }

  // Interface is also handed back with EFI_ALREADY_STARTED: a bus driver wants it.
  auto  Give = [&](EFI_STATUS Result) {
                 if ((Attributes != EFI_OPEN_PROTOCOL_TEST_PROTOCOL) &&
                     (!EFI_ERROR (Result) || (Result == EFI_ALREADY_STARTED)))
                 {
                   *Interface = Entry->Interface;
                 }

                 return Result;
               };

  bool  ByDriver  = false;
  bool  Exclusive = false;
  for (auto &Open : Entry->Opens) {
    bool  Exact = (Open.Agent == AgentHandle) && (Open.Attributes == Attributes) &&
                  (Open.Controller == ControllerHandle);
    if ((Open.Attributes & EFI_OPEN_PROTOCOL_BY_DRIVER) != 0) {
      ByDriver = true;
      if (Exact) {
        return Give (EFI_ALREADY_STARTED);
      }
    }

    if ((Open.Attributes & EFI_OPEN_PROTOCOL_EXCLUSIVE) != 0) {
      Exclusive = true;
    } else if (Exact) {
      Open.OpenCount++;
      return Give (EFI_SUCCESS);
    }
  }

  switch (Attributes) {
    case EFI_OPEN_PROTOCOL_BY_DRIVER:
      if (Exclusive || ByDriver) {
        return EFI_ACCESS_DENIED;
      }

      break;
    case EFI_OPEN_PROTOCOL_BY_DRIVER | EFI_OPEN_PROTOCOL_EXCLUSIVE:
    case EFI_OPEN_PROTOCOL_EXCLUSIVE:
      if (Exclusive) {
        return EFI_ACCESS_DENIED;
      }

      // An exclusive opener takes the interface away from the drivers holding it.
      if (ByDriver && EFI_ERROR (DisconnectByDriverOpeners (Handle, Entry))) {
        return EFI_ACCESS_DENIED;
      }

      break;
    default:
      break;
  }

  if (AgentHandle != NULL) {
    Entry->Opens.push_back ({ AgentHandle, ControllerHandle, Attributes, 1 });
  }

  return Give (EFI_SUCCESS);
}

EFI_STATUS
EFIAPI
FwCloseProtocol (EFI_HANDLE UserHandle, EFI_GUID *Protocol, EFI_HANDLE AgentHandle, EFI_HANDLE ControllerHandle)
{
  EFI_STATUS      Status;
  HANDLE_RECORD   *Handle = AsHandle (UserHandle);

  if (Failing ("CloseProtocol", &Status)) {
    return Status;
  }

  if ((Handle == nullptr) || (AsHandle (AgentHandle) == nullptr) ||
      ((ControllerHandle != NULL) && (AsHandle (ControllerHandle) == nullptr)) || (Protocol == NULL))
  {
    return EFI_INVALID_PARAMETER;
  }

  PROTOCOL_ENTRY  *Entry = FindProtocol (Handle, Protocol);
  if (Entry == nullptr) {
    return EFI_NOT_FOUND;
  }

  auto    &Opens = Entry->Opens;
  size_t  Before = Opens.size ();
  auto    IsTheirs = [&](const OPEN_ENTRY &Open) {
                       return (Open.Agent == AgentHandle) && (Open.Controller == ControllerHandle);
                     };
  Opens.erase (std::remove_if (Opens.begin (), Opens.end (), IsTheirs), Opens.end ());
  return (Opens.size () < Before) ? EFI_SUCCESS : EFI_NOT_FOUND;
}

EFI_STATUS
EFIAPI
FwHandleProtocol (EFI_HANDLE UserHandle, EFI_GUID *Protocol, VOID **Interface)
{
  EFI_STATUS  Status;

  if (Failing ("HandleProtocol", &Status)) {
    return Status;
  }

  CORE_CALL  Core;
  return FwOpenProtocol (UserHandle, Protocol, Interface, &mCoreAgent, NULL, EFI_OPEN_PROTOCOL_BY_HANDLE_PROTOCOL);
}

EFI_STATUS
EFIAPI
FwOpenProtocolInformation (
  EFI_HANDLE                           UserHandle,
  EFI_GUID                             *Protocol,
  EFI_OPEN_PROTOCOL_INFORMATION_ENTRY  **EntryBuffer,
  UINTN                                *EntryCount
  )
{
  EFI_STATUS      Status;

  if (Failing ("OpenProtocolInformation", &Status)) {
    return Status;
  }

  *EntryBuffer = NULL;
  *EntryCount  = 0;
  PROTOCOL_ENTRY  *Entry = EntryOn (UserHandle, Protocol);
  if (Entry == nullptr) {
    return EFI_NOT_FOUND;
  }

  size_t  Count = Entry->Opens.size ();
  VOID    *Buffer;
  // An empty list still comes back as a (one-entry) pool block, as the core's does.
  Status = FwAllocatePool (EfiBootServicesData, sizeof (EFI_OPEN_PROTOCOL_INFORMATION_ENTRY) * (Count + 1), &Buffer);
  if (EFI_ERROR (Status)) {
    return EFI_OUT_OF_RESOURCES;
  }

  auto  *Info = static_cast<EFI_OPEN_PROTOCOL_INFORMATION_ENTRY *>(Buffer);
  for (size_t Index = 0; Index < Count; Index++) {
    const OPEN_ENTRY  &Open = Entry->Opens[Index];
    Info[Index].AgentHandle      = Open.Agent;
    Info[Index].ControllerHandle = Open.Controller;
    Info[Index].Attributes       = Open.Attributes;
    Info[Index].OpenCount        = Open.OpenCount;
  }

  *EntryBuffer = Info;
  *EntryCount  = Count;
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
FwProtocolsPerHandle (EFI_HANDLE UserHandle, EFI_GUID ***ProtocolBuffer, UINTN *ProtocolBufferCount)
{
  HANDLE_RECORD  *Handle = AsHandle (UserHandle);

  if ((Handle == nullptr) || (ProtocolBuffer == NULL) || (ProtocolBufferCount == NULL)) {
    return EFI_INVALID_PARAMETER;
  }

  size_t      Count = Handle->Protocols.size ();
  VOID        *Buffer;
  EFI_STATUS  Status = FwAllocatePool (EfiBootServicesData, sizeof (EFI_GUID *) * Count, &Buffer);
  if (EFI_ERROR (Status)) {
    return EFI_OUT_OF_RESOURCES;
  }

  auto  *Guids = static_cast<EFI_GUID **>(Buffer);
  for (size_t Index = 0; Index < Count; Index++) {
    Guids[Index] = &Handle->Protocols[Index]->Guid;
  }

  *ProtocolBuffer      = Guids;
  *ProtocolBufferCount = Count;
  return EFI_SUCCESS;
}

std::vector<EFI_HANDLE>
Matching (EFI_LOCATE_SEARCH_TYPE SearchType, EFI_GUID *Protocol)
{
  std::vector<EFI_HANDLE>  Found;

  for (auto *Handle : mFw.Handles) {
    if ((SearchType == AllHandles) || (FindProtocol (Handle, Protocol) != nullptr)) {
      Found.push_back (Handle);
    }
  }

  return Found;
}

EFI_STATUS
CheckSearch (EFI_LOCATE_SEARCH_TYPE SearchType, EFI_GUID *Protocol)
{
  switch (SearchType) {
    case AllHandles:
      return EFI_SUCCESS;
    case ByProtocol:
      return (Protocol == NULL) ? EFI_INVALID_PARAMETER : EFI_SUCCESS;
    case ByRegisterNotify:
      ADD_FAILURE () << "LocateHandle ByRegisterNotify is not modelled";
      return EFI_UNSUPPORTED;
    default:
      return EFI_INVALID_PARAMETER;
  }
}

EFI_STATUS
EFIAPI
FwLocateHandle (EFI_LOCATE_SEARCH_TYPE SearchType, EFI_GUID *Protocol, VOID *SearchKey, UINTN *BufferSize, EFI_HANDLE *Buffer)
{
  EFI_STATUS  Status = CheckSearch (SearchType, Protocol);

  if (EFI_ERROR (Status)) {
    return Status;
  }

  if (BufferSize == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  auto   Found = Matching (SearchType, Protocol);
  UINTN  Need  = Found.size () * sizeof (EFI_HANDLE);
  if (Found.empty ()) {
    *BufferSize = 0;
    return EFI_NOT_FOUND;
  }

  if (*BufferSize < Need) {
    *BufferSize = Need;
    return EFI_BUFFER_TOO_SMALL;
  }

  if (Buffer == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  *BufferSize = Need;
  std::copy (Found.begin (), Found.end (), Buffer);
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
FwLocateHandleBuffer (EFI_LOCATE_SEARCH_TYPE SearchType, EFI_GUID *Protocol, VOID *SearchKey, UINTN *NoHandles, EFI_HANDLE **Buffer)
{
  EFI_STATUS  Status;

  if (Failing ("LocateHandleBuffer", &Status)) {
    return Status;
  }

  if ((NoHandles == NULL) || (Buffer == NULL)) {
    return EFI_INVALID_PARAMETER;
  }

  *NoHandles = 0;
  *Buffer    = NULL;
  Status     = CheckSearch (SearchType, Protocol);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  auto  Found = Matching (SearchType, Protocol);
  if (Found.empty ()) {
    return EFI_NOT_FOUND;
  }

  VOID  *Block;
  if (EFI_ERROR (FwAllocatePool (EfiBootServicesData, Found.size () * sizeof (EFI_HANDLE), &Block))) {
    return EFI_OUT_OF_RESOURCES;
  }

  std::copy (Found.begin (), Found.end (), static_cast<EFI_HANDLE *>(Block));
  *Buffer    = static_cast<EFI_HANDLE *>(Block);
  *NoHandles = Found.size ();
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
FwLocateProtocol (EFI_GUID *Protocol, VOID *Registration, VOID **Interface)
{
  EFI_STATUS  Status;

  if (Failing ("LocateProtocol", &Status)) {
    return Status;
  }

  if ((Interface == NULL) || (Protocol == NULL)) {
    return EFI_INVALID_PARAMETER;
  }

  if (Registration != NULL) {
    ADD_FAILURE () << "LocateProtocol with a registration is not modelled";
    return EFI_UNSUPPORTED;
  }

  auto  Found = Matching (ByProtocol, Protocol);
  *Interface = Found.empty () ? NULL : EntryOn (Found[0], Protocol)->Interface;
  return Found.empty () ? EFI_NOT_FOUND : EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
FwLocateDevicePath (EFI_GUID *Protocol, EFI_DEVICE_PATH_PROTOCOL **DevicePath, EFI_HANDLE *Device)
{
  if ((Protocol == NULL) || (DevicePath == NULL) || (*DevicePath == NULL)) {
    return EFI_INVALID_PARAMETER;
  }

  // The handle whose path is the longest whole-node prefix of the one asked for.
  const UINT8    *Wanted    = reinterpret_cast<const UINT8 *>(*DevicePath);
  UINTN          WantedSize = DevicePathBytes (*DevicePath);
  HANDLE_RECORD  *Best      = nullptr;
  UINTN          BestSize   = 0;
  for (auto *Handle : mFw.Handles) {
    PROTOCOL_ENTRY  *Path = FindProtocol (Handle, &gEfiDevicePathProtocolGuid);
    if ((Path == nullptr) || (FindProtocol (Handle, Protocol) == nullptr) || (Path->Interface == nullptr)) {
      continue;
    }

    UINTN  Size = DevicePathBytes (static_cast<EFI_DEVICE_PATH_PROTOCOL *>(Path->Interface));
    if ((Size <= WantedSize) && (std::memcmp (Path->Interface, Wanted, Size) == 0) &&
        ((Best == nullptr) || (Size > BestSize)))
    {
      // Only a prefix that ends on a node boundary counts.
      UINTN  Offset = 0;
      while (Offset < Size) {
        Offset += Wanted[Offset + 2] | (Wanted[Offset + 3] << 8);
      }

      if (Offset == Size) {
        Best     = Handle;
        BestSize = Size;
      }
    }
  }

  if (Best == nullptr) {
    return EFI_NOT_FOUND;
  }

  if (Device == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  *Device     = Best;
  *DevicePath = reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(const_cast<UINT8 *>(Wanted) + BestSize);
  return EFI_SUCCESS;
}

bool
SameDevicePathInstalled (EFI_DEVICE_PATH_PROTOCOL *Path)
{
  EFI_HANDLE  Device;

  return !EFI_ERROR (FwLocateDevicePath (&gEfiDevicePathProtocolGuid, &Path, &Device)) && (DevicePathBytes (Path) == 0);
}

using PAIRS = std::vector<std::pair<EFI_GUID *, VOID *>>;

// The (GUID, interface) pairs a multiple install or uninstall names, up to the NULL GUID.
PAIRS
EFIAPI
PairsOf (VA_LIST Args)
{
  PAIRS  Pairs;

  for (EFI_GUID *Guid = VA_ARG (Args, EFI_GUID *); Guid != NULL; Guid = VA_ARG (Args, EFI_GUID *)) {
    Pairs.emplace_back (Guid, VA_ARG (Args, VOID *));
  }

  return Pairs;
}

EFI_STATUS
EFIAPI
FwInstallMultipleProtocolInterfaces (EFI_HANDLE *Handle, ...)
{
  EFI_STATUS  Status;

  if (Failing ("InstallMultipleProtocolInterfaces", &Status)) {
    return Status;
  }

  if (Handle == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  VA_LIST  Args;
  VA_START (Args, Handle);
  PAIRS  Pairs = PairsOf (Args);
  VA_END (Args);

  CORE_CALL   Core;
  EFI_TPL     OldTpl = mFw.Tpl;
  EFI_HANDLE  Given  = *Handle;
  mFw.Tpl   = std::max<EFI_TPL>(mFw.Tpl, TPL_NOTIFY);
  Status = EFI_SUCCESS;
  size_t  Done = 0;
  for (; Done < Pairs.size (); Done++) {
    // A second handle with the same device path would be the same device twice.
    if (SameGuid (*Pairs[Done].first, gEfiDevicePathProtocolGuid) && (Pairs[Done].second != NULL) &&
        SameDevicePathInstalled (static_cast<EFI_DEVICE_PATH_PROTOCOL *>(Pairs[Done].second)))
    {
      Status = EFI_ALREADY_STARTED;
      break;
    }

    Status = FwInstallProtocolInterface (Handle, Pairs[Done].first, EFI_NATIVE_INTERFACE, Pairs[Done].second);
    if (EFI_ERROR (Status)) {
      break;
    }
  }

  if (EFI_ERROR (Status)) {
    while (Done-- > 0) {
      FwUninstallProtocolInterface (*Handle, Pairs[Done].first, Pairs[Done].second);
    }

    *Handle = Given;
  }

  DispatchAbove (OldTpl);
  return Status;
}

EFI_STATUS
EFIAPI
FwUninstallMultipleProtocolInterfaces (EFI_HANDLE Handle, ...)
{
  // A failure armed for it plays a consumer of its last interface that will not let go.
  EFI_STATUS  Refusal = EFI_SUCCESS;
  EFI_STATUS  Status;

  Failing ("UninstallMultipleProtocolInterfaces", &Refusal);

  VA_LIST  Args;
  VA_START (Args, Handle);
  PAIRS  Pairs = PairsOf (Args);
  VA_END (Args);

  CORE_CALL  Core;
  EFI_TPL    OldTpl = mFw.Tpl;
  mFw.Tpl   = std::max<EFI_TPL>(mFw.Tpl, TPL_NOTIFY);
  Status = EFI_SUCCESS;
  size_t  Done = 0;
  for (; Done < Pairs.size (); Done++) {
    // The consumer of the last interface will not let go: the handle is reconnected, at
    // the caller's TPL as the database lock is dropped for it, before the interfaces
    // removed so far are put back.
    if ((Refusal != EFI_SUCCESS) && (Done + 1 == Pairs.size ())) {
      DispatchAbove (OldTpl);
      FwConnectController (Handle, NULL, NULL, TRUE);
      mFw.Tpl   = std::max<EFI_TPL>(OldTpl, TPL_NOTIFY);
      Status = Refusal;
      break;
    }

    Status = FwUninstallProtocolInterface (Handle, Pairs[Done].first, Pairs[Done].second);
    if (EFI_ERROR (Status)) {
      break;
    }
  }

  if (EFI_ERROR (Status)) {
    // Put back what was already removed, on the same handle even if it had emptied.
    for (size_t Index = 0; Index < Done; Index++) {
      EFI_HANDLE  Target = Handle;
      if (AsHandle (Target) == nullptr) {
        auto  *Record = static_cast<HANDLE_RECORD *>(Handle);
        Record->Signature = HandleSignature;
        mFw.Handles.push_back (Record);
      }

      FwInstallProtocolInterface (&Target, Pairs[Index].first, EFI_NATIVE_INTERFACE, Pairs[Index].second);
    }

    if (Refusal == EFI_SUCCESS) {
      Status = (Status == EFI_ACCESS_DENIED) ? EFI_ACCESS_DENIED : EFI_INVALID_PARAMETER;
    }
  }

  DispatchAbove (OldTpl);
  return Status;
}

EFI_DRIVER_BINDING_PROTOCOL *
BindingOn (EFI_HANDLE Handle)
{
  return static_cast<EFI_DRIVER_BINDING_PROTOCOL *>(Firmware::Find (Handle, gEfiDriverBindingProtocolGuid));
}

EFI_STATUS
EFIAPI
FwConnectController (
  EFI_HANDLE                ControllerHandle,
  EFI_HANDLE                *DriverImageHandle,
  EFI_DEVICE_PATH_PROTOCOL  *RemainingDevicePath,
  BOOLEAN                   Recursive
  )
{
  EFI_STATUS  Status;

  if (Failing ("ConnectController", &Status)) {
    return Status;
  }

  if (AsHandle (ControllerHandle) == nullptr) {
    return EFI_INVALID_PARAMETER;
  }

  // Drivers the caller names come first, in its order; then every binding by Version.
  std::vector<EFI_DRIVER_BINDING_PROTOCOL *>  Named;
  if (DriverImageHandle != NULL) {
    for (EFI_HANDLE *Image = DriverImageHandle; *Image != NULL; Image++) {
      if (EFI_DRIVER_BINDING_PROTOCOL *Binding = BindingOn (*Image)) {
        Named.push_back (Binding);
      }
    }
  }

  std::vector<EFI_DRIVER_BINDING_PROTOCOL *>  Others;
  for (auto *Handle : mFw.Handles) {
    EFI_DRIVER_BINDING_PROTOCOL  *Binding = BindingOn (Handle);
    if ((Binding != nullptr) && (std::find (Named.begin (), Named.end (), Binding) == Named.end ())) {
      Others.push_back (Binding);
    }
  }

  auto  Newer = [](const EFI_DRIVER_BINDING_PROTOCOL *A, const EFI_DRIVER_BINDING_PROTOCOL *B) {
                  return A->Version > B->Version;
                };
  std::stable_sort (Others.begin (), Others.end (), Newer);
  Named.insert (Named.end (), Others.begin (), Others.end ());

  // Each driver gets one offer; after a start, the offers begin again from the top,
  // because a started driver may have made the controller interesting to another.
  bool  AnyStarted = false;
  for (bool Started = true; Started;) {
    Started = false;
    for (auto &Binding : Named) {
      if (Binding == nullptr) {
        continue;
      }

      CALL_OUT  Out;
      if (!EFI_ERROR (Binding->Supported (Binding, ControllerHandle, RemainingDevicePath))) {
        EFI_DRIVER_BINDING_PROTOCOL  *Offered = Binding;
        Binding = nullptr;
        if (!EFI_ERROR (Offered->Start (Offered, ControllerHandle, RemainingDevicePath))) {
          AnyStarted = true;
        }

        Started = true;
        break;
      }
    }

    if (AsHandle (ControllerHandle) == nullptr) {
      break;
    }
  }

  return AnyStarted ? EFI_SUCCESS : EFI_NOT_FOUND;
}

// Of the opens on Handle with an attribute in Mask: the distinct agents, or with Agent
// given, the distinct controllers of that agent's.
std::vector<EFI_HANDLE>
OpenedBy (HANDLE_RECORD *Handle, UINT32 Mask, EFI_HANDLE Agent)
{
  std::vector<EFI_HANDLE>  Found;

  for (auto *Entry : Handle->Protocols) {
    for (auto &Open : Entry->Opens) {
      EFI_HANDLE  Which = (Agent == NULL) ? Open.Agent : Open.Controller;
      if (((Open.Attributes & Mask) != 0) && ((Agent == NULL) || (Open.Agent == Agent)) &&
          (std::find (Found.begin (), Found.end (), Which) == Found.end ()))
      {
        Found.push_back (Which);
      }
    }
  }

  return Found;
}

EFI_STATUS
EFIAPI
FwDisconnectController (EFI_HANDLE ControllerHandle, EFI_HANDLE DriverImageHandle, EFI_HANDLE ChildHandle)
{
  EFI_STATUS  Status;

  if (Failing ("DisconnectController", &Status)) {
    return Status;
  }

  HANDLE_RECORD  *Controller = AsHandle (ControllerHandle);
  if ((Controller == nullptr) || ((ChildHandle != NULL) && (AsHandle (ChildHandle) == nullptr))) {
    return EFI_INVALID_PARAMETER;
  }

  std::vector<EFI_HANDLE>  Drivers{ DriverImageHandle };
  if (DriverImageHandle == NULL) {
    Drivers = OpenedBy (Controller, EFI_OPEN_PROTOCOL_BY_DRIVER, NULL);
    if (Drivers.empty ()) {
      return EFI_SUCCESS;
    }
  }

  size_t  Stopped = 0;
  bool    Failed  = false;
  for (EFI_HANDLE Driver : Drivers) {
    EFI_DRIVER_BINDING_PROTOCOL  *Binding = BindingOn (Driver);
    if (Binding == nullptr) {
      return EFI_INVALID_PARAMETER;
    }

    if (AsHandle (ControllerHandle) == nullptr) {
      break;
    }

    std::vector<EFI_HANDLE>  Children = OpenedBy (Controller, EFI_OPEN_PROTOCOL_BY_CHILD_CONTROLLER, Driver);
    if (OpenedBy (Controller, EFI_OPEN_PROTOCOL_BY_DRIVER, Driver).empty ()) {
      continue;   // the driver does not manage the controller
    }

    bool  ChildValid = (ChildHandle == NULL) ||
                       (std::find (Children.begin (), Children.end (), ChildHandle) != Children.end ());
    if (!ChildValid) {
      continue;
    }

    CALL_OUT  Out;
    Status = EFI_SUCCESS;
    size_t  ToStop = 0;
    if (!Children.empty ()) {
      if (ChildHandle != NULL) {
        ToStop = 1;
        Status = Binding->Stop (Binding, ControllerHandle, 1, &ChildHandle);
      } else {
        ToStop = Children.size ();
        Status = Binding->Stop (Binding, ControllerHandle, ToStop, Children.data ());
      }
    }

    // Stopping one child of several leaves the driver on the controller.
    if (!EFI_ERROR (Status) && ((ChildHandle == NULL) || (Children.size () == ToStop))) {
      Status = Binding->Stop (Binding, ControllerHandle, 0, NULL);
    }

    if (EFI_ERROR (Status)) {
      Failed = true;
    } else {
      Stopped++;
    }
  }

  if (Stopped > 0) {
    return EFI_SUCCESS;
  }

  return Failed ? EFI_DEVICE_ERROR : EFI_NOT_FOUND;
}

} // namespace fake::internal

namespace fake {

using namespace internal;

EFI_HANDLE
Firmware::NewHandle ()
{
  return CreateHandle ();
}

EFI_STATUS
Firmware::Install (EFI_HANDLE *Handle, const EFI_GUID &Guid, void *Interface)
{
  CORE_CALL  Core;
  return FwInstallProtocolInterface (Handle, const_cast<EFI_GUID *>(&Guid), EFI_NATIVE_INTERFACE, Interface);
}

void *
Firmware::Find (EFI_HANDLE Handle, const EFI_GUID &Guid)
{
  PROTOCOL_ENTRY  *Entry = EntryOn (Handle, &Guid);

  return (Entry == nullptr) ? nullptr : Entry->Interface;
}

bool   Firmware::HasHandle (EFI_HANDLE Handle) { return AsHandle (Handle) != nullptr; }
size_t Firmware::HandleCount () { return mFw.Handles.size (); }

size_t
Firmware::OpenCount (EFI_HANDLE Handle, const EFI_GUID &Guid, UINT32 AttributeMask)
{
  PROTOCOL_ENTRY  *Entry = EntryOn (Handle, &Guid);
  auto            Shares = [&](const OPEN_ENTRY &Open) { return (Open.Attributes & AttributeMask) != 0; };

  return (Entry == nullptr) ? 0 : std::count_if (Entry->Opens.begin (), Entry->Opens.end (), Shares);
}

} // namespace fake

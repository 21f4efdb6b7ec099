/** @file
  The fake firmware's protocol database, events, pool and variables, where a
  driver depends on them behaving as the firmware core does.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#include <gtest/gtest.h>
#include <vector>

#include "FakeFirmware.h"
#include <Char16.h>

extern "C" {
#include <Library/MemoryAllocationLib.h>
#include <Library/UefiLib.h>
#include <Guid/ZorvikConf.h>
#include <Protocol/ComponentName.h>
#include <Protocol/ComponentName2.h>
#include <Protocol/DriverBinding.h>
#include <Protocol/SerialIo.h>
}

namespace {

EFI_GUID  mTestGuid = { 0x5A1E0E3B, 0x0C6D, 0x4F0B, { 0x9E, 0x41, 0x22, 0x10, 0x6C, 0x83, 0x7A, 0x01 } };

// A driver binding that opens Serial I/O BY_DRIVER in Start and closes it in Stop,
// unless told to refuse; it logs which driver was offered what, in order.
struct TEST_DRIVER {
  EFI_DRIVER_BINDING_PROTOCOL    Binding;
  bool                           RefuseStop;
  bool                           LeaveOpen;
  std::vector<std::string>       *Log;
  const char                     *Name;
};

TEST_DRIVER *
DriverOf (EFI_DRIVER_BINDING_PROTOCOL *This)
{
  return BASE_CR (This, TEST_DRIVER, Binding);
}

EFI_STATUS
EFIAPI
TestSupported (EFI_DRIVER_BINDING_PROTOCOL *This, EFI_HANDLE Controller, EFI_DEVICE_PATH_PROTOCOL *Remaining)
{
  DriverOf (This)->Log->push_back (std::string (DriverOf (This)->Name) + ".Supported");
  EFI_STATUS  Status = gBS->OpenProtocol (
                              Controller,
                              &gEfiSerialIoProtocolGuid,
                              NULL,
                              This->DriverBindingHandle,
                              Controller,
                              EFI_OPEN_PROTOCOL_TEST_PROTOCOL
                              );
  return Status;
}

EFI_STATUS
EFIAPI
TestStart (EFI_DRIVER_BINDING_PROTOCOL *This, EFI_HANDLE Controller, EFI_DEVICE_PATH_PROTOCOL *Remaining)
{
  VOID  *SerialIo;

  DriverOf (This)->Log->push_back (std::string (DriverOf (This)->Name) + ".Start");
  return gBS->OpenProtocol (
                Controller,
                &gEfiSerialIoProtocolGuid,
                &SerialIo,
                This->DriverBindingHandle,
                Controller,
                EFI_OPEN_PROTOCOL_BY_DRIVER
                );
}

EFI_STATUS
EFIAPI
TestStop (EFI_DRIVER_BINDING_PROTOCOL *This, EFI_HANDLE Controller, UINTN Children, EFI_HANDLE *ChildBuffer)
{
  TEST_DRIVER  *Driver = DriverOf (This);

  Driver->Log->push_back (std::string (Driver->Name) + ".Stop" + std::to_string (Children));
  if (Driver->RefuseStop) {
    return EFI_DEVICE_ERROR;
  }

  if (!Driver->LeaveOpen) {
    gBS->CloseProtocol (Controller, &gEfiSerialIoProtocolGuid, This->DriverBindingHandle, Controller);
  }

  return EFI_SUCCESS;
}

class FakeFirmware : public ::testing::Test {
protected:
  void
  SetUp () override
  {
    fake::Firmware::Reset ();
  }

  void
  AddDriver (TEST_DRIVER *Driver, const char *Name, UINT32 Version)
  {
    *Driver                              = {};
    Driver->Binding.Supported            = TestSupported;
    Driver->Binding.Start                = TestStart;
    Driver->Binding.Stop                 = TestStop;
    Driver->Binding.Version              = Version;
    Driver->Name                         = Name;
    Driver->Log                          = &mLog;
    EFI_HANDLE  Handle                   = NULL;
    ASSERT_EQ (fake::Firmware::Install (&Handle, gEfiDriverBindingProtocolGuid, &Driver->Binding), EFI_SUCCESS);
    Driver->Binding.ImageHandle          = Handle;
    Driver->Binding.DriverBindingHandle  = Handle;
  }

  EFI_HANDLE
  AddController ()
  {
    EFI_HANDLE  Handle = NULL;
    EXPECT_EQ (fake::Firmware::Install (&Handle, gEfiSerialIoProtocolGuid, &mSerialIo), EFI_SUCCESS);
    return Handle;
  }

  std::vector<std::string>  mLog;
  EFI_SERIAL_IO_PROTOCOL    mSerialIo {};
};

TEST_F (FakeFirmware, ByDriverOpensConflictAsTheCoreRefusesThem) {
  TEST_DRIVER  First, Second;
  AddDriver (&First, "first", 1);
  AddDriver (&Second, "second", 1);
  EFI_HANDLE  Controller = AddController ();
  VOID        *Interface = NULL;

  EXPECT_EQ (gBS->OpenProtocol (Controller, &gEfiSerialIoProtocolGuid, &Interface, First.Binding.DriverBindingHandle, Controller, EFI_OPEN_PROTOCOL_BY_DRIVER), EFI_SUCCESS);
  EXPECT_EQ (Interface, &mSerialIo);
  Interface = NULL;
  // The same driver again is "already started", and still gets the interface.
  EXPECT_EQ (gBS->OpenProtocol (Controller, &gEfiSerialIoProtocolGuid, &Interface, First.Binding.DriverBindingHandle, Controller, EFI_OPEN_PROTOCOL_BY_DRIVER), EFI_ALREADY_STARTED);
  EXPECT_EQ (Interface, &mSerialIo);
  EXPECT_EQ (gBS->OpenProtocol (Controller, &gEfiSerialIoProtocolGuid, &Interface, Second.Binding.DriverBindingHandle, Controller, EFI_OPEN_PROTOCOL_BY_DRIVER), EFI_ACCESS_DENIED);
  // GET_PROTOCOL never conflicts, and is recorded.
  EXPECT_EQ (gBS->OpenProtocol (Controller, &gEfiSerialIoProtocolGuid, &Interface, Second.Binding.DriverBindingHandle, Controller, EFI_OPEN_PROTOCOL_GET_PROTOCOL), EFI_SUCCESS);
  EXPECT_EQ (fake::Firmware::OpenCount (Controller, gEfiSerialIoProtocolGuid, EFI_OPEN_PROTOCOL_BY_DRIVER), 1u);
  EXPECT_EQ (fake::Firmware::OpenCount (Controller, gEfiSerialIoProtocolGuid, EFI_OPEN_PROTOCOL_GET_PROTOCOL), 1u);

  // An exclusive open makes the holder let go through its Stop.
  EXPECT_EQ (gBS->OpenProtocol (Controller, &gEfiSerialIoProtocolGuid, &Interface, Second.Binding.DriverBindingHandle, Controller, EFI_OPEN_PROTOCOL_BY_DRIVER | EFI_OPEN_PROTOCOL_EXCLUSIVE), EFI_SUCCESS);
  EXPECT_EQ (mLog, (std::vector<std::string>{ "first.Stop0" }));
  EXPECT_EQ (gBS->OpenProtocol (Controller, &gEfiSerialIoProtocolGuid, &Interface, First.Binding.DriverBindingHandle, Controller, EFI_OPEN_PROTOCOL_BY_DRIVER), EFI_ACCESS_DENIED);

  EFI_OPEN_PROTOCOL_INFORMATION_ENTRY  *Info;
  UINTN                                Count;
  ASSERT_EQ (gBS->OpenProtocolInformation (Controller, &gEfiSerialIoProtocolGuid, &Info, &Count), EFI_SUCCESS);
  EXPECT_EQ (Count, 2u);
  EXPECT_EQ (fake::Firmware::LiveAllocations (), 1u);
  gBS->FreePool (Info);
  EXPECT_EQ (fake::Firmware::LiveAllocations (), 0u);
}

TEST_F (FakeFirmware, UninstallAsksTheHolderToStopAndRefusesWhenItWillNot) {
  TEST_DRIVER  Driver;
  AddDriver (&Driver, "drv", 1);
  EFI_HANDLE  Controller = AddController ();
  ASSERT_EQ (gBS->ConnectController (Controller, NULL, NULL, FALSE), EFI_SUCCESS);

  Driver.RefuseStop = true;
  EXPECT_EQ (gBS->UninstallMultipleProtocolInterfaces (Controller, &gEfiSerialIoProtocolGuid, &mSerialIo, NULL), EFI_ACCESS_DENIED);
  EXPECT_EQ (fake::Firmware::Find (Controller, gEfiSerialIoProtocolGuid), &mSerialIo);

  // Stop that returns success but keeps the protocol open is refused as well.
  Driver.RefuseStop = false;
  Driver.LeaveOpen  = true;
  EXPECT_EQ (gBS->UninstallMultipleProtocolInterfaces (Controller, &gEfiSerialIoProtocolGuid, &mSerialIo, NULL), EFI_ACCESS_DENIED);
  EXPECT_TRUE (fake::Firmware::HasHandle (Controller));

  Driver.LeaveOpen = false;
  mLog.clear ();
  EXPECT_EQ (gBS->UninstallMultipleProtocolInterfaces (Controller, &gEfiSerialIoProtocolGuid, &mSerialIo, NULL), EFI_SUCCESS);
  EXPECT_EQ (mLog, (std::vector<std::string>{ "drv.Stop0" }));
  // Its last protocol gone, the handle is gone too.
  EXPECT_FALSE (fake::Firmware::HasHandle (Controller));
}

TEST_F (FakeFirmware, UninstallMultiplePutsBackWhatItRemovedWhenOneFails) {
  EFI_HANDLE  Handle = NULL;
  int         A, B, Other;
  ASSERT_EQ (gBS->InstallMultipleProtocolInterfaces (&Handle, &mTestGuid, &A, &gEfiSerialIoProtocolGuid, &B, NULL), EFI_SUCCESS);
  EXPECT_NE (gBS->UninstallMultipleProtocolInterfaces (Handle, &mTestGuid, &A, &gEfiSerialIoProtocolGuid, &Other, NULL), EFI_SUCCESS);
  EXPECT_EQ (fake::Firmware::Find (Handle, mTestGuid), &A);
  EXPECT_EQ (fake::Firmware::Find (Handle, gEfiSerialIoProtocolGuid), &B);

  // A failed install leaves a new handle unmade.
  EFI_HANDLE  Fresh = NULL;
  EXPECT_EQ (gBS->InstallMultipleProtocolInterfaces (&Fresh, &mTestGuid, &A, &mTestGuid, &B, NULL), EFI_INVALID_PARAMETER);
  EXPECT_EQ (Fresh, (EFI_HANDLE)NULL);
  EXPECT_EQ (fake::Firmware::HandleCount (), 2u);   // the image and Handle

  // A consumer that will not let go has the handle reconnected before the call returns.
  TEST_DRIVER  Driver;
  AddDriver (&Driver, "drv", 1);
  fake::Firmware::FailNext ("UninstallMultipleProtocolInterfaces", EFI_ACCESS_DENIED);
  EXPECT_EQ (gBS->UninstallMultipleProtocolInterfaces (Handle, &mTestGuid, &A, &gEfiSerialIoProtocolGuid, &B, NULL), EFI_ACCESS_DENIED);
  EXPECT_EQ (mLog, (std::vector<std::string>{ "drv.Supported", "drv.Start" }));
  EXPECT_EQ (fake::Firmware::Find (Handle, mTestGuid), &A);
  EXPECT_EQ (fake::Firmware::Find (Handle, gEfiSerialIoProtocolGuid), &B);
}

TEST_F (FakeFirmware, ConnectOffersByVersionAndDisconnectStopsChildrenFirst) {
  TEST_DRIVER  Low, High, Middle;
  AddDriver (&Low, "low", 0x10);
  AddDriver (&High, "high", 0x30);
  AddDriver (&Middle, "middle", 0x20);
  EFI_HANDLE  Controller = AddController ();

  ASSERT_EQ (gBS->ConnectController (Controller, NULL, NULL, FALSE), EFI_SUCCESS);
  // The first to start takes the controller; the others then find it taken.
  EXPECT_EQ (mLog, (std::vector<std::string>{ "high.Supported", "high.Start", "middle.Supported", "middle.Start", "low.Supported", "low.Start" }));
  EXPECT_EQ (fake::Firmware::OpenCount (Controller, gEfiSerialIoProtocolGuid, EFI_OPEN_PROTOCOL_BY_DRIVER), 1u);

  // A child opened BY_CHILD_CONTROLLER is handed to Stop before the controller itself.
  EFI_HANDLE  Child = NULL;
  int         ChildProtocol;
  ASSERT_EQ (fake::Firmware::Install (&Child, mTestGuid, &ChildProtocol), EFI_SUCCESS);
  VOID  *Interface;
  ASSERT_EQ (gBS->OpenProtocol (Controller, &gEfiSerialIoProtocolGuid, &Interface, High.Binding.DriverBindingHandle, Child, EFI_OPEN_PROTOCOL_BY_CHILD_CONTROLLER), EFI_SUCCESS);
  mLog.clear ();
  EXPECT_EQ (gBS->DisconnectController (Controller, NULL, NULL), EFI_SUCCESS);
  EXPECT_EQ (mLog, (std::vector<std::string>{ "high.Stop1", "high.Stop0" }));

  ASSERT_EQ (gBS->ConnectController (Controller, NULL, NULL, FALSE), EFI_SUCCESS);
  High.RefuseStop = true;
  EXPECT_EQ (gBS->DisconnectController (Controller, NULL, NULL), EFI_DEVICE_ERROR);
}

TEST_F (FakeFirmware, SignalNotifiesWaitUntilTheTplDropsBelowThem) {
  static std::vector<EFI_TPL>  Seen;
  Seen.clear ();
  EFI_EVENT  Event;
  ASSERT_EQ (gBS->CreateEvent (EVT_TIMER | EVT_NOTIFY_SIGNAL, TPL_CALLBACK, +[](EFI_EVENT E, VOID *C) EFIAPI {
    Seen.push_back (fake::Firmware::CurrentTpl ());
  }, NULL, &Event), EFI_SUCCESS);

  EFI_TPL  Old = gBS->RaiseTPL (TPL_NOTIFY);
  gBS->SignalEvent (Event);
  EXPECT_TRUE (Seen.empty ());
  gBS->RestoreTPL (Old);
  EXPECT_EQ (Seen, (std::vector<EFI_TPL>{ TPL_CALLBACK }));
  EXPECT_EQ (fake::Firmware::CurrentTpl (), (EFI_TPL)TPL_APPLICATION);

  // A timer fired while the TPL is below its notify runs it at once.
  ASSERT_EQ (gBS->SetTimer (Event, TimerPeriodic, 100000), EFI_SUCCESS);
  EXPECT_EQ (fake::Firmware::TimerPeriod100ns (Event), 100000u);
  EXPECT_EQ (fake::Firmware::FireAllTimers (), 1u);
  EXPECT_EQ (Seen.size (), 2u);
  gBS->SetTimer (Event, TimerCancel, 0);
  EXPECT_EQ (fake::Firmware::FireAllTimers (), 0u);
  EXPECT_TRUE (fake::Firmware::TplBalanced ());
  EXPECT_EQ (fake::Firmware::HighestTplSeen (), (EFI_TPL)TPL_NOTIFY);
  EXPECT_EQ (gBS->CloseEvent (Event), EFI_SUCCESS);
  EXPECT_FALSE (fake::Firmware::IsOpenEvent (Event));
}

TEST_F (FakeFirmware, WaitEventsRunTheirNotifyOnCheckAndWaitEndsOnATimer) {
  static int  Calls;
  Calls = 0;
  EFI_EVENT   WaitEvent, Timer;
  ASSERT_EQ (gBS->CreateEvent (EVT_NOTIFY_WAIT, TPL_NOTIFY, +[](EFI_EVENT E, VOID *C) EFIAPI {
    if (++Calls == 3) {
      gBS->SignalEvent (E);
    }
  }, NULL, &WaitEvent), EFI_SUCCESS);
  EXPECT_EQ (gBS->CheckEvent (WaitEvent), EFI_NOT_READY);
  EXPECT_EQ (gBS->CheckEvent (WaitEvent), EFI_NOT_READY);
  EXPECT_EQ (gBS->CheckEvent (WaitEvent), EFI_SUCCESS);
  EXPECT_EQ (gBS->CheckEvent (WaitEvent), EFI_NOT_READY);   // CheckEvent clears it
  EXPECT_EQ (Calls, 4);

  ASSERT_EQ (gBS->CreateEvent (EVT_TIMER, 0, NULL, NULL, &Timer), EFI_SUCCESS);
  ASSERT_EQ (gBS->SetTimer (Timer, TimerRelative, 50 * 10000), EFI_SUCCESS);   // 50 ms
  EFI_EVENT  Both[] = { WaitEvent, Timer };
  UINTN      Index  = 99;
  Calls = 100;  // the wait notify never signals again
  EXPECT_EQ (gBS->WaitForEvent (2, Both, &Index), EFI_SUCCESS);
  EXPECT_EQ (Index, 1u);
  EXPECT_EQ (fake::Firmware::NowUs (), 50000u);
}

TEST_F (FakeFirmware, AnArmedFailureIsSpentOnlyOnTheCallersOwnCall) {
  EFI_HANDLE  Controller = AddController ();
  VOID        *Interface;

  fake::Firmware::FailNext ("OpenProtocol", EFI_DEVICE_ERROR);
  EXPECT_EQ (gBS->HandleProtocol (Controller, &gEfiSerialIoProtocolGuid, &Interface), EFI_SUCCESS);
  EXPECT_EQ (gBS->OpenProtocol (Controller, &gEfiSerialIoProtocolGuid, &Interface, gImageHandle, NULL, EFI_OPEN_PROTOCOL_GET_PROTOCOL), EFI_DEVICE_ERROR);
  EXPECT_EQ (gBS->OpenProtocol (Controller, &gEfiSerialIoProtocolGuid, &Interface, gImageHandle, NULL, EFI_OPEN_PROTOCOL_GET_PROTOCOL), EFI_SUCCESS);
}

TEST_F (FakeFirmware, PoolCountsLiveBlocksAndFailsTheNthAllocation) {
  void  *First = AllocatePool (10);
  void  *Second = AllocateZeroPool (20);
  EXPECT_EQ (fake::Firmware::LiveAllocations (), 2u);
  EXPECT_EQ (fake::Firmware::LiveBytes (), 30u);
  fake::Firmware::FailAllocation (2);
  void  *Third = AllocatePool (1);
  EXPECT_NE (Third, nullptr);
  EXPECT_EQ (AllocatePool (1), nullptr);
  void  *Fifth = AllocatePool (1);
  EXPECT_NE (Fifth, nullptr);
  EXPECT_EQ (fake::Firmware::AllocationCount (), 5u);
  for (void *Block : { First, Second, Third, Fifth }) {
    FreePool (Block);
  }

  EXPECT_EQ (fake::Firmware::LiveAllocations (), 0u);
  EXPECT_EQ (fake::Firmware::LiveBytes (), 0u);

  EFI_HANDLE  *Handles;
  UINTN       Count;
  ASSERT_EQ (gBS->LocateHandleBuffer (AllHandles, NULL, NULL, &Count, &Handles), EFI_SUCCESS);
  EXPECT_EQ (Count, 1u);
  EXPECT_EQ (Handles[0], gImageHandle);
  EXPECT_EQ (fake::Firmware::LiveAllocations (), 1u);
  gBS->FreePool (Handles);
}

TEST_F (FakeFirmware, VariablesReportTheSizeTheyNeed) {
  const CHAR16  *Name = CHAR16_TEXT (ZORVIK_CONF_VARIABLE_NAME);
  UINT8         Data[4] = { 1, 2, 3, 4 };
  UINT32        Attributes = EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS;
  UINT8         Buffer[8] = {};
  UINTN         Size = 0;
  UINT32        Got  = 0;

  EXPECT_EQ (gRT->GetVariable ((CHAR16 *)Name, &mTestGuid, &Got, &Size, Buffer), EFI_NOT_FOUND);
  ASSERT_EQ (gRT->SetVariable ((CHAR16 *)Name, &mTestGuid, Attributes, sizeof Data, Data), EFI_SUCCESS);
  Size = 3;
  EXPECT_EQ (gRT->GetVariable ((CHAR16 *)Name, &mTestGuid, &Got, &Size, Buffer), EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ (Size, 4u);
  EXPECT_EQ (Buffer[0], 0);
  Size = sizeof Buffer;
  EXPECT_EQ (gRT->GetVariable ((CHAR16 *)Name, &mTestGuid, &Got, &Size, Buffer), EFI_SUCCESS);
  EXPECT_EQ (Size, 4u);
  EXPECT_EQ (Got, Attributes);
  EXPECT_EQ (Buffer[3], 4);

  EXPECT_EQ (gRT->SetVariable ((CHAR16 *)Name, &mTestGuid, Attributes, 0, NULL), EFI_SUCCESS);
  EXPECT_FALSE (fake::Firmware::ReadVariable (Name, mTestGuid, nullptr, nullptr));
  EXPECT_EQ (gRT->SetVariable ((CHAR16 *)Name, &mTestGuid, Attributes, 0, NULL), EFI_NOT_FOUND);

  fake::Firmware::FailSetVariable (EFI_WRITE_PROTECTED);
  EXPECT_EQ (gRT->SetVariable ((CHAR16 *)Name, &mTestGuid, Attributes, sizeof Data, Data), EFI_WRITE_PROTECTED);
  EXPECT_EQ (fake::Firmware::SetVariableCalls (), 4u);
}

TEST_F (FakeFirmware, UefiLibInstallsBindingAndNamesOnTheImage) {
  static EFI_COMPONENT_NAME_PROTOCOL   Name;
  static EFI_COMPONENT_NAME2_PROTOCOL  Name2;
  TEST_DRIVER                          Driver;
  Driver = {};
  Driver.Binding.Supported = TestSupported;
  Driver.Binding.Start     = TestStart;
  Driver.Binding.Stop      = TestStop;

  ASSERT_EQ (EfiLibInstallDriverBindingComponentName2 (gImageHandle, gST, &Driver.Binding, gImageHandle, &Name, &Name2), EFI_SUCCESS);
  EXPECT_EQ (fake::Firmware::Find (gImageHandle, gEfiDriverBindingProtocolGuid), &Driver.Binding);
  EXPECT_EQ (fake::Firmware::Find (gImageHandle, gEfiComponentNameProtocolGuid), &Name);
  EXPECT_EQ (fake::Firmware::Find (gImageHandle, gEfiComponentName2ProtocolGuid), &Name2);
  EXPECT_EQ (Driver.Binding.DriverBindingHandle, gImageHandle);
  EXPECT_EQ (fake::Firmware::LiveAllocations (), 0u);
}

} // namespace

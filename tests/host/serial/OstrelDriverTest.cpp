/** @file
  The serial driver against an FT232 model: what the chip receives and what a Serial I/O consumer sees.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#include <gtest/gtest.h>
#include <cstdio>
#include <cstring>

#include "SerialFixture.h"

namespace {

class Ostrel : public SerialFixture {
protected:
  EFI_STATUS
  Start (EFI_DEVICE_PATH_PROTOCOL *Remaining = nullptr)
  {
    if (Controller == nullptr) {
      Controller = Chip.Plug ();
    }
    EFI_STATUS S = gUsbSerialDriverBinding.Start (&gUsbSerialDriverBinding, Controller, Remaining);
    Sio = nullptr;
    for (EFI_HANDLE H : Children ()) {
      Sio = (EFI_SERIAL_IO_PROTOCOL *)fake::Firmware::Find (H, gEfiSerialIoProtocolGuid);
    }
    Dev = Sio ? FtdiFromSerialIo (Sio) : nullptr;
    return S;
  }

  std::vector<EFI_HANDLE>
  Children ()
  {
    std::vector<EFI_HANDLE>              Out;
    EFI_OPEN_PROTOCOL_INFORMATION_ENTRY  *Info;
    UINTN                                Count;
    if (EFI_ERROR (gBS->OpenProtocolInformation (Controller, &gEfiUsbIoProtocolGuid, &Info, &Count))) {
      return Out;
    }
    for (UINTN I = 0; I < Count; I++) {
      if (Info[I].Attributes & EFI_OPEN_PROTOCOL_BY_CHILD_CONTROLLER) {
        Out.push_back (Info[I].ControllerHandle);
      }
    }
    gBS->FreePool (Info);
    return Out;
  }

  EFI_STATUS
  StopAll ()
  {
    std::vector<EFI_HANDLE> Kids = Children ();
    EFI_STATUS S = EFI_SUCCESS;
    if (!Kids.empty ()) {
      S = gUsbSerialDriverBinding.Stop (&gUsbSerialDriverBinding, Controller, Kids.size (), Kids.data ());
      if (EFI_ERROR (S)) {
        return S;
      }
    }
    return gUsbSerialDriverBinding.Stop (&gUsbSerialDriverBinding, Controller, 0, nullptr);
  }

  std::vector<uint16_t>
  Values (uint8_t Request)
  {
    std::vector<uint16_t> V;
    for (auto &R : Chip.Requests) {
      if ((R.RequestType == 0x40) && (R.Request == Request)) {
        V.push_back (R.Value);
      }
    }
    return V;
  }

  UINTN
  Read (UINT8 *Buffer, UINTN Size, EFI_STATUS *Status)
  {
    *Status = Sio->Read (Sio, &Size, Buffer);
    return Size;
  }

  // A poll tick as a terminal sees it: it asks GetControl whether data waits, and the
  // poll then looks at the chip.
  void
  AskAndPoll ()
  {
    UINT32 Bits;
    EXPECT_EQ (Sio->GetControl (Sio, &Bits), EFI_SUCCESS);
    fake::Firmware::FireTimer (Dev->PollTimer);
  }

  void
  Queue (size_t N, uint8_t First = 0)
  {
    for (size_t I = 0; I < N; I++) {
      Chip.Pending.push_back ((uint8_t)(First + I));
    }
  }
};

std::vector<uint8_t>
Remaining (UINT64 Baud, bool WithFlow, UINT32 Map)
{
  std::vector<uint8_t> P (19 + (WithFlow ? 24 : 0) + 4, 0);
  UART_DEVICE_PATH U = {};
  U.Header.Type = MESSAGING_DEVICE_PATH; U.Header.SubType = MSG_UART_DP; U.Header.Length[0] = 19;
  U.BaudRate = Baud; U.DataBits = 8; U.Parity = 1; U.StopBits = 1;
  std::memcpy (P.data (), &U, 19);
  size_t O = 19;
  if (WithFlow) {
    UART_FLOW_CONTROL_DEVICE_PATH F = {};
    F.Header.Type = MESSAGING_DEVICE_PATH; F.Header.SubType = MSG_VENDOR_DP; F.Header.Length[0] = 24;
    F.Guid = gEfiUartDevicePathGuid; F.FlowControlMap = Map;
    std::memcpy (P.data () + O, &F, 24);
    O += 24;
  }
  P[O] = 0x7F; P[O + 1] = 0xFF; P[O + 2] = 4;
  return P;
}

// ---- divisor and line word

TEST (FtdiDivisor, GivesTheChipsWordForEveryListedRate) {
  struct { UINT64 Baud; UINT16 Word; } Cases[] = {
    { 115200, 0x001A }, { 9600, 0x4138 }, { 19200, 0x809C }, { 38400, 0xC04E }, { 57600, 0xC034 },
    { 921600, 0x8003 }, { 1000000, 0x0003 }, { 1500000, 0x0002 }, { 178, 0x7FFF }, { 2000000, 1 },
    { 3000000, 0 }, { 3092783, 0 }, { 2912621, 0 }, { 2061855, 1 }, { 1941747, 1 }, { 1546391, 0x0002 },
    { 1456311, 0x0002 } };
  for (auto &C : Cases) {
    UINT16 W = 0xFFFF;
    EXPECT_EQ (FtdiComputeDivisor (C.Baud, &W), EFI_SUCCESS) << C.Baud;
    EXPECT_EQ (W, C.Word) << C.Baud;
  }
}

TEST (FtdiDivisor, RejectsRatesOutsideTheWindow) {
  for (UINT64 B : { 3092784ull, 2061856ull, 2500000ull, 2912620ull, 1546392ull, 1941746ull, 1456310ull }) {
    UINT16 W;
    EXPECT_EQ (FtdiComputeDivisor (B, &W), EFI_INVALID_PARAMETER) << B;
  }
}

TEST_F (Ostrel, SetAttributesProgramsTheLineAndKeepsZerosAsLastValues) {
  ASSERT_EQ (Start (), EFI_SUCCESS);
  EXPECT_EQ (Values (3), std::vector<uint16_t> ({ 0x001A }));
  EXPECT_EQ (Values (4), std::vector<uint16_t> ({ 0x0008 }));
  Chip.Requests.clear ();
  EXPECT_EQ (Sio->SetAttributes (Sio, 9600, 0, 0, EvenParity, 7, TwoStopBits), EFI_SUCCESS);
  EXPECT_EQ (Values (4), std::vector<uint16_t> ({ 0x1207 }));
  EXPECT_EQ (Values (3), std::vector<uint16_t> ({ 0x4138 }));
  Chip.Requests.clear ();
  EXPECT_EQ (Sio->SetAttributes (Sio, 0, 0, 0, DefaultParity, 0, DefaultStopBits), EFI_SUCCESS);
  EXPECT_EQ (Values (4), std::vector<uint16_t> ({ 0x1207 }));
  EXPECT_EQ (Values (3), std::vector<uint16_t> ({ 0x4138 }));
  EXPECT_EQ (Sio->Mode->BaudRate, 9600u);
  EXPECT_EQ (Sio->Mode->DataBits, 7u);
  // The installed path names what the chip runs, whatever zeros the caller passed.
  const UINT8 *P = (const UINT8 *)fake::Firmware::Find (Children ()[0], gEfiDevicePathProtocolGuid);
  EXPECT_EQ (ReadUnaligned64 ((const UINT64 *)(P + 6 + 8)), 9600u);
  EXPECT_EQ (P[6 + 16], 7);
  // The path is reinstalled when, and only when, what it names changes under a consumer
  // that holds it (a terminal); for nobody, or for one that only looked at it, it is only
  // updated, and a look taken after the terminal's open does not hide the terminal.
  EFI_HANDLE Looker = fake::Firmware::NewHandle ();
  VOID       *Held;
  ASSERT_EQ (gBS->OpenProtocol (Children ()[0], &gEfiDevicePathProtocolGuid, &Held, Looker, nullptr, EFI_OPEN_PROTOCOL_GET_PROTOCOL), EFI_SUCCESS);
  fake::Firmware::FailNext ("ReinstallProtocolInterface", EFI_ACCESS_DENIED);
  EXPECT_EQ (Sio->SetAttributes (Sio, 19200, 0, 0, DefaultParity, 0, DefaultStopBits), EFI_SUCCESS);
  EXPECT_EQ (ReadUnaligned64 ((const UINT64 *)(P + 6 + 8)), 19200u);
  EFI_HANDLE Terminal = fake::Firmware::NewHandle ();
  ASSERT_EQ (gBS->OpenProtocol (Children ()[0], &gEfiDevicePathProtocolGuid, &Held, Terminal, Children ()[0], EFI_OPEN_PROTOCOL_BY_DRIVER), EFI_SUCCESS);
  ASSERT_EQ (gBS->OpenProtocol (Children ()[0], &gEfiDevicePathProtocolGuid, &Held, Looker, nullptr, EFI_OPEN_PROTOCOL_BY_HANDLE_PROTOCOL), EFI_SUCCESS);
  EXPECT_EQ (Sio->SetAttributes (Sio, 19200, 0, 500, EvenParity, 7, TwoStopBits), EFI_SUCCESS);
  EXPECT_EQ (Sio->SetAttributes (Sio, 38400, 0, 0, DefaultParity, 0, DefaultStopBits), EFI_ACCESS_DENIED);
  EXPECT_EQ (Sio->Mode->BaudRate, 38400u);
  gBS->CloseProtocol (Children ()[0], &gEfiDevicePathProtocolGuid, Terminal, Children ()[0]);
  EXPECT_EQ (StopAll (), EFI_SUCCESS);
  EXPECT_EQ (fake::Firmware::LiveAllocations (), 0u);
}

// The chip reads the divisor from both words; what it runs must be what the word means.
TEST_F (Ostrel, TheChipRunsTheRateAsked) {
  ASSERT_EQ (Start (), EFI_SUCCESS);
  EXPECT_EQ (Chip.BaudRate, 115385u);
  struct { UINT64 Baud; uint32_t Runs; } Cases[] = {
    { 9600, 9600 }, { 57600, 57554 }, { 115200, 115385 }, { 921600, 923077 }, { 1000000, 1000000 },
    { 2000000, 2000000 }, { 3000000, 3000000 } };
  for (auto &C : Cases) {
    EXPECT_EQ (Sio->SetAttributes (Sio, C.Baud, 0, 0, DefaultParity, 0, DefaultStopBits), EFI_SUCCESS) << C.Baud;
    EXPECT_EQ (Chip.BaudRate, C.Runs) << C.Baud;
  }
  StopAll ();
}

// Every value the port cannot run is the caller's mistake: refused, with nothing sent and
// nothing recorded.
TEST_F (Ostrel, OnlyValidAttributesReachTheChip) {
  ASSERT_EQ (Start (), EFI_SUCCESS);
  struct { UINT64 Baud; UINT32 Fifo; UINT32 Timeout; UINT32 Parity; UINT8 Data; UINT32 Stop; } Refused[] = {
    { 0, 0, 0, 0, 8, OneFiveStopBits }, { 0, 0, 0, 0, 0, OneFiveStopBits }, { 0, 0, 0, 0, 9, 0 },
    { 0, 0, 0, 0, 4, 0 }, { 177, 0, 0, 0, 0, 0 }, { 3092784, 0, 0, 0, 0, 0 }, { 2500000, 0, 0, 0, 0, 0 },
    { 0, 0, 0, SpaceParity + 1, 0, 0 }, { 0, 0, 0, 0, 0, TwoStopBits + 1 }, { 0, 0, 100000001, 0, 0, 0 },
    { 0, 1024, 0, 0, 0, 0 } };
  Chip.Requests.clear ();
  EFI_SERIAL_IO_MODE Before = *Sio->Mode;
  for (auto &R : Refused) {
    EXPECT_EQ (Sio->SetAttributes (Sio, R.Baud, R.Fifo, R.Timeout, (EFI_PARITY_TYPE)R.Parity, R.Data,
                                   (EFI_STOP_BITS_TYPE)R.Stop), EFI_INVALID_PARAMETER)
      << R.Baud << " " << R.Fifo << " " << R.Timeout << " " << R.Parity << " " << (int)R.Data << " " << R.Stop;
  }
  EXPECT_TRUE (Chip.Requests.empty ());
  EXPECT_EQ (std::memcmp (&Before, Sio->Mode, sizeof (Before)), 0);
  EXPECT_EQ (Sio->SetAttributes (Sio, 0, 0, 0, NoParity, 5, OneFiveStopBits), EFI_SUCCESS);
  EXPECT_EQ (Values (4), std::vector<uint16_t> ({ 0x0805 }));
  EXPECT_EQ (Sio->Mode->BaudRate, 115200u);
  EXPECT_EQ (Sio->Mode->DataBits, 5u);
  StopAll ();
}

// A consumer that compares the mode with what it asked for (the terminal driver does, on
// every 20 ms tick) must find what it set, or it programs the chip on every tick.
TEST_F (Ostrel, TheModeShowsWhatIsSetSoAComparingConsumerSettles) {
  ASSERT_EQ (Start (), EFI_SUCCESS);
  EXPECT_EQ (Sio->Revision, EFI_SERIAL_IO_PROTOCOL_REVISION1p1);
  EXPECT_EQ (Sio->Mode->ControlMask, 0x43F3u);
  EXPECT_EQ (Sio->Mode->Timeout, 1000000u);
  EXPECT_EQ (Sio->Mode->ReceiveFifoDepth, 384u);
  Chip.Requests.clear ();
  for (int Tick = 0; Tick < 5; Tick++) {
    const UINT32 Wanted = (1 + 8 + 1) * 2 * 1000000 / 115200;
    if (Sio->Mode->Timeout != Wanted) {
      EXPECT_EQ (Sio->SetAttributes (Sio, Sio->Mode->BaudRate, Sio->Mode->ReceiveFifoDepth, Wanted,
                                     (EFI_PARITY_TYPE)Sio->Mode->Parity, (UINT8)Sio->Mode->DataBits,
                                     (EFI_STOP_BITS_TYPE)Sio->Mode->StopBits), EFI_SUCCESS);
    }
  }
  EXPECT_EQ (Values (3).size (), 1u);
  EXPECT_EQ (Sio->SetAttributes (Sio, 0, 1023, 0, DefaultParity, 0, DefaultStopBits), EFI_SUCCESS);
  EXPECT_EQ (Sio->Mode->ReceiveFifoDepth, 1023u);
  EXPECT_EQ (Sio->Mode->Timeout, 1000000u);
  // The chip offers no loopback: asking for one is refused rather than answered and dropped.
  for (UINT32 Loop : { EFI_SERIAL_HARDWARE_LOOPBACK_ENABLE, EFI_SERIAL_SOFTWARE_LOOPBACK_ENABLE }) {
    EXPECT_EQ (Sio->SetControl (Sio, Loop | EFI_SERIAL_DATA_TERMINAL_READY), EFI_UNSUPPORTED);
  }
  StopAll ();
}

TEST_F (Ostrel, SetControlDrivesDtrRtsAndFlowControl) {
  ASSERT_EQ (Start (), EFI_SUCCESS);
  Chip.Requests.clear ();
  EXPECT_EQ (Sio->SetControl (Sio, 0x0001), EFI_SUCCESS);
  EXPECT_EQ (Values (1), std::vector<uint16_t> ({ 0x0101, 0x0200 }));
  EXPECT_EQ (Values (2), std::vector<uint16_t> ({ 0 }));
  UINT32 C;
  EXPECT_EQ (Sio->GetControl (Sio, &C), EFI_SUCCESS);
  EXPECT_EQ (C & 0x1001, 0x0001u);
  EXPECT_EQ (C & 0x0300, 0x0300u);
  EXPECT_EQ (Sio->SetControl (Sio, 0x0100), EFI_UNSUPPORTED);
  EXPECT_EQ (Chip.Handshake, fake::HANDSHAKE::None);
  EXPECT_EQ (Sio->SetControl (Sio, 0x4002), EFI_SUCCESS);
  EXPECT_EQ (Chip.Handshake, fake::HANDSHAKE::RtsCts);
  // The child's path follows the flow control.
  EXPECT_EQ (ReadUnaligned32 ((const UINT32 *)((const UINT8 *)Dev->ChildDevicePath + 6 + 19 + 20)), 1u);
  StopAll ();
}

// ---- transfers and ring

TEST_F (Ostrel, IdleNakTimeoutIsNothingYetOnXhciAndUhci) {
  for (auto Fault : { fake::BULK_IN_FAULT::NakXhci, fake::BULK_IN_FAULT::NakUhci, fake::BULK_IN_FAULT::NakBit }) {
    ASSERT_EQ (Start (), EFI_SUCCESS);
    Chip.InFault = Fault;
    fake::Firmware::FireTimer (Dev->PollTimer);
    EXPECT_FALSE (Dev->DeviceFailed);
    UINT8 B[4]; EFI_STATUS S;
    EXPECT_EQ (Read (B, 1, &S), 0u);
    EXPECT_EQ (S, EFI_TIMEOUT);
    EXPECT_FALSE (Dev->DeviceFailed);
    Chip.InFault = fake::BULK_IN_FAULT::None;
    Queue (1, 'x');
    EXPECT_EQ (Read (B, 1, &S), 1u);
    EXPECT_EQ (S, EFI_SUCCESS);
    EXPECT_EQ (B[0], 'x');
    UINTN N = 1;
    EXPECT_EQ (Sio->Write (Sio, &N, B), EFI_SUCCESS);
    EXPECT_EQ (StopAll (), EFI_SUCCESS);
  }
}

// On the usual 10 ms tick, and on a firmware that ticks slower than the witness once
// assumed at most: it must wait out two of the firmware's own periods before it gives up.
TEST_F (Ostrel, AStartOrAPollInsideTheTimerInterruptLeavesTheLineAlone) {
  for (UINT64 TickUs : { 10000u, 200000u }) {
    SCOPED_TRACE (TickUs);
    fake::Firmware::SetTickPeriodUs (TickUs);
    // An adapter plugged in while the firmware is busy is started inside the interrupt.
    Chip.IdleNak = true;
    fake::Firmware::HoldTicks (true);
    ASSERT_EQ (Start (), EFI_SUCCESS);
    EXPECT_EQ (Chip.NeverEnding, 0u);
    // Inside the timer interrupt an idle line's bulk-IN could never time out; the poll
    // gives up within two ticks instead, and what arrives meanwhile waits in the chip.
    size_t  Before = Chip.BulkInCalls;
    UINT64  T0     = fake::Firmware::NowUs ();
    AskAndPoll ();
    EXPECT_LE (fake::Firmware::NowUs () - T0, 2 * TickUs + 1000);
    Queue (2, 'q');
    AskAndPoll ();
    EXPECT_EQ (Chip.BulkInCalls, Before);
    EXPECT_EQ (Chip.NeverEnding, 0u);
    EXPECT_TRUE (FtdiRingEmpty (Dev));
    // With the clock running again the next poll fetches it. A timer notify starts just
    // after the tick that made it due, so the witness waits nearly a whole period.
    fake::Firmware::HoldTicks (false);
    fake::Firmware::AdvanceToJustAfterTick ();
    AskAndPoll ();
    EXPECT_EQ (Chip.BulkInCalls, Before + 1);
    UINT8 B[2]; EFI_STATUS S;
    EXPECT_EQ (Read (B, 2, &S), 2u);
    EXPECT_EQ (B[0], 'q');
    EXPECT_EQ (B[1], 'r');
    EXPECT_TRUE (fake::Firmware::TplBalanced ());
    EXPECT_EQ (StopAll (), EFI_SUCCESS);
  }
}

// A terminal asks GetControl on every 20 ms tick and reads only what it reports waiting,
// from inside the timer interrupt. Typed keys must reach the ring by the next idle loop,
// not the next 500 ms poll, and the read that finds the ring drained must not go to a
// chip that NAKs, where it would never end.
TEST_F (Ostrel, ATerminalsKeysArriveByTheNextIdleLoopAndItsDrainStaysOffTheChip) {
  Chip.IdleNak = true;
  ASSERT_EQ (Start (), EFI_SUCCESS);
  // Besides the idle loop, the poll looks every half second, for as long as the port runs.
  EXPECT_EQ (fake::Firmware::TimerPeriod100ns (Dev->PollTimer), 5000000u);
  EXPECT_EQ (fake::Firmware::TimerType (Dev->PollTimer), TimerPeriodic);
  UINT32 C; UINT8 B[4]; EFI_STATUS S;
  // Asked on every tick, a look at an idle chip holds the firmware (and every other
  // console's notify) for no more than a tick.
  UINT64 T0 = fake::Firmware::NowUs ();
  for (int Tick = 0; Tick < 5; Tick++) {
    EXPECT_EQ (Sio->GetControl (Sio, &C), EFI_SUCCESS);
    EXPECT_TRUE (C & EFI_SERIAL_INPUT_BUFFER_EMPTY);
    fake::Firmware::Idle ();
  }
  EXPECT_LE (fake::Firmware::NowUs () - T0, 5 * 10000u);
  Queue (3, 'a');
  EXPECT_EQ (Sio->GetControl (Sio, &C), EFI_SUCCESS);
  fake::Firmware::Idle ();
  fake::Firmware::HoldTicks (true);
  EXPECT_EQ (Sio->GetControl (Sio, &C), EFI_SUCCESS);
  EXPECT_FALSE (C & EFI_SERIAL_INPUT_BUFFER_EMPTY);
  EXPECT_TRUE (C & EFI_SERIAL_OUTPUT_BUFFER_EMPTY) << "Write buffers nothing, whatever waits to be read";
  size_t Before = Chip.BulkInCalls;
  for (char Want : { 'a', 'b', 'c' }) {
    EXPECT_EQ (Read (B, 1, &S), 1u);
    EXPECT_EQ (B[0], Want);
  }
  EXPECT_EQ (Read (B, 1, &S), 0u);
  EXPECT_EQ (S, EFI_TIMEOUT);
  EXPECT_EQ (Chip.BulkInCalls, Before);
  EXPECT_EQ (Chip.NeverEnding, 0u);
  fake::Firmware::HoldTicks (false);
  // A consumer that reads without asking (the keyboard) still gets what the chip holds.
  Queue (1, 'd');
  EXPECT_EQ (Read (B, 1, &S), 1u);
  EXPECT_EQ (B[0], 'd');
  StopAll ();
}

// A caller at TPL_NOTIFY (the keyboard's poll) may use every service; a failed first
// status read or a missing witness timer leaves a working port.
TEST_F (Ostrel, ServicesWorkFromTheNotifyLevelAndAfterAShakyStart) {
  Chip.InFault = fake::BULK_IN_FAULT::TimeoutOther;
  fake::Firmware::FailNext ("CreateEvent", EFI_OUT_OF_RESOURCES);
  ASSERT_EQ (Start (), EFI_SUCCESS);
  Chip.InFault = fake::BULK_IN_FAULT::None;
  Queue (1, 'x');
  fake::Firmware::FireTimer (Dev->PollTimer);
  EXPECT_TRUE (Chip.Pending.empty ());
  EFI_TPL  Old = gBS->RaiseTPL (TPL_NOTIFY);
  UINT8 B[1] = { 'w' }; EFI_STATUS S; UINTN N = 1; UINT32 C;
  EXPECT_EQ (Sio->Write (Sio, &N, B), EFI_SUCCESS);
  EXPECT_EQ (Read (B, 1, &S), 1u);
  EXPECT_EQ (B[0], 'x');
  EXPECT_EQ (Sio->GetControl (Sio, &C), EFI_SUCCESS);
  EXPECT_EQ (Sio->SetControl (Sio, EFI_SERIAL_DATA_TERMINAL_READY), EFI_SUCCESS);
  EXPECT_EQ (Sio->SetAttributes (Sio, 9600, 0, 0, DefaultParity, 0, DefaultStopBits), EFI_SUCCESS);
  EXPECT_EQ (Sio->Reset (Sio), EFI_SUCCESS);
  gBS->RestoreTPL (Old);
  EXPECT_EQ (Chip.Sent, std::vector<uint8_t> ({ 'w' }));
  StopAll ();
}

TEST_F (Ostrel, OtherBulkFailuresStillFailTheDevice) {
  ASSERT_EQ (Start (), EFI_SUCCESS);
  Chip.InFault = fake::BULK_IN_FAULT::TimeoutOther;
  UINT8 B[4]; EFI_STATUS S;
  Read (B, 1, &S);
  EXPECT_EQ (S, EFI_TIMEOUT);
  EXPECT_TRUE (Dev->DeviceFailed);
  UINTN N = 3;
  EXPECT_EQ (Sio->Write (Sio, &N, B), EFI_DEVICE_ERROR);
  EXPECT_EQ (N, 3u);
  Chip.InFault = fake::BULK_IN_FAULT::None;
  Queue (1, 'x');
  EXPECT_EQ (Read (B, 1, &S), 0u);
  EXPECT_EQ (S, EFI_DEVICE_ERROR);
  // Nor does the poll, for a consumer asking for the lines on every tick, on a busy
  // firmware or from the idle loop.
  size_t Before = Chip.Transfers ();
  AskAndPoll ();
  fake::Firmware::Idle ();
  AskAndPoll ();
  fake::Firmware::Idle ();
  EXPECT_EQ (Chip.Transfers (), Before);
  StopAll ();
}

// A stall halts the chip's endpoint until the host clears it (the host controller resets
// only its own side); once cleared the port goes on, and a halt that will not clear
// fails the port until a Reset clears it.
TEST_F (Ostrel, AStalledEndpointIsClearedAndThePortGoesOn) {
  ASSERT_EQ (Start (), EFI_SUCCESS);
  UINT8 B[1] = { 'w' }; UINTN N = 1; EFI_STATUS S;
  Chip.InHalted = true;
  EXPECT_EQ (Read (B, 1, &S), 0u);
  EXPECT_EQ (S, EFI_DEVICE_ERROR);
  Queue (1, 'x');
  EXPECT_EQ (Read (B, 1, &S), 1u);
  EXPECT_EQ (B[0], 'x');
  Chip.OutHalted = true;
  EXPECT_EQ (Sio->Write (Sio, &N, B), EFI_DEVICE_ERROR);
  N = 1;
  EXPECT_EQ (Sio->Write (Sio, &N, B), EFI_SUCCESS);
  EXPECT_EQ (Chip.HaltsCleared, 2u);
  Chip.InHalted    = true;
  Chip.FailControl = true;
  EXPECT_EQ (Read (B, 1, &S), 0u);
  EXPECT_TRUE (Dev->DeviceFailed);
  EXPECT_EQ (Sio->Reset (Sio), EFI_DEVICE_ERROR);
  Chip.FailControl = false;
  Chip.Requests.clear ();
  EXPECT_EQ (Sio->Reset (Sio), EFI_SUCCESS);
  EXPECT_EQ (Chip.Requests.size (), 3u) << "the halted endpoint is cleared, the other left alone";
  Queue (1, 'y');
  EXPECT_EQ (Read (B, 1, &S), 1u);
  EXPECT_EQ (B[0], 'y');
  EXPECT_EQ (Sio->Reset (Sio), EFI_SUCCESS);
  EXPECT_EQ (Chip.Requests.size (), 5u) << "no halt is cleared twice";
  StopAll ();
}

TEST_F (Ostrel, StatusPairOfEveryPacketStaysOutOfTheData) {
  ASSERT_EQ (Start (), EFI_SUCCESS);
  Queue (100);
  Chip.ModemStatus = 0x01;
  UINT8 B[200]; EFI_STATUS S;
  EXPECT_EQ (Read (B, 200, &S), 100u);
  for (int I = 0; I < 100; I++) {
    ASSERT_EQ (B[I], I) << I;
  }
  StopAll ();
}

TEST_F (Ostrel, ModemStatusComesFromTheLastPacket) {
  ASSERT_EQ (Start (), EFI_SUCCESS);
  // Modem byte: CTS 0x10, DSR 0x20, RI 0x40, DCD 0x80; the line byte's 0x80 is a FIFO error.
  struct { uint8_t Modem, Line; UINT32 Bits; } Cases[] = {
    { 0x31, 0xE0, EFI_SERIAL_CLEAR_TO_SEND | EFI_SERIAL_DATA_SET_READY },
    { 0xC1, 0x60, EFI_SERIAL_RING_INDICATE | EFI_SERIAL_CARRIER_DETECT },
  };
  for (auto &K : Cases) {
    Chip.ModemStatus = K.Modem;
    Chip.LineStatus  = K.Line;
    fake::Firmware::FireTimer (Dev->PollTimer);
    UINT32 C; Sio->GetControl (Sio, &C);
    EXPECT_EQ (C & 0xF0, K.Bits) << (int)K.Modem;
    EXPECT_EQ (C & 0x300, 0x300u);
  }
  // Wired back to itself the lines the port sets come back as the modem bits it reads.
  Chip.NullModem = true;
  struct { UINT32 Set, Read; } Wired[] = {
    { EFI_SERIAL_DATA_TERMINAL_READY | EFI_SERIAL_REQUEST_TO_SEND,
      EFI_SERIAL_CLEAR_TO_SEND | EFI_SERIAL_DATA_SET_READY | EFI_SERIAL_CARRIER_DETECT },
    { EFI_SERIAL_REQUEST_TO_SEND, EFI_SERIAL_CLEAR_TO_SEND },
    { EFI_SERIAL_DATA_TERMINAL_READY, EFI_SERIAL_DATA_SET_READY | EFI_SERIAL_CARRIER_DETECT },
    { 0, 0 },
  };
  for (auto &W : Wired) {
    ASSERT_EQ (Sio->SetControl (Sio, W.Set), EFI_SUCCESS);
    fake::Firmware::FireTimer (Dev->PollTimer);
    UINT32 C; Sio->GetControl (Sio, &C);
    EXPECT_EQ (C & 0xF3, W.Set | W.Read) << W.Set;
  }
  StopAll ();
}

TEST_F (Ostrel, RingHoldsAtMost1023AndKeepsOrder) {
  ASSERT_EQ (Start (), EFI_SUCCESS);
  // Hostile device: a full 512-byte transfer with 64-byte packets, twice, then more.
  for (int T = 0; T < 3; T++) {
    Chip.RawReply.assign (512, 0);
    for (int I = 0; I < 512; I++) Chip.RawReply[I] = (I % 64 < 2) ? 0x01 : (uint8_t)T;
    UINTN Zero = 0;
    FtdiReceivePacket (Dev, &Zero, nullptr);
  }
  UINT32 Used = (Dev->RingTail - Dev->RingHead) & FTDI_RING_MASK;
  EXPECT_EQ (Used, 1023u);
  StopAll ();
}

TEST_F (Ostrel, LengthReportedBeyondTheBufferIsClamped) {
  ASSERT_EQ (Start (), EFI_SUCCESS);
  Chip.RawReply = { 0x01, 0x60, 'a', 'b' };
  Chip.ReportedLength = 100000;
  UINT8 B[8]; EFI_STATUS S;
  Read (B, 1, &S);
  EXPECT_EQ (S, EFI_SUCCESS);
  // An odd single byte after a packet boundary is not a status pair.
  Chip.RawReply.assign (65, 'z'); Chip.RawReply[0] = 1; Chip.RawReply[1] = 0x60;
  UINTN Zero = 0;
  FtdiReceivePacket (Dev, &Zero, nullptr);
  StopAll ();
}

TEST_F (Ostrel, ReadFromRingTransferAndBoth) {
  ASSERT_EQ (Start (), EFI_SUCCESS);
  UINT8 B[16]; EFI_STATUS S;
  // A packet with only the status pair is nothing received: a flush loop reading until
  // an error must end.
  EXPECT_EQ (Read (B, 1, &S), 0u);
  EXPECT_EQ (S, EFI_TIMEOUT);
  EXPECT_TRUE (Dev->ControlStatus & 0x100);
  Queue (3, 50);
  EXPECT_EQ (Read (B, 10, &S), 3u);         // a short read times out with its count
  EXPECT_EQ (S, EFI_TIMEOUT);
  EXPECT_EQ (B[2], 52);
  Queue (12);
  fake::Firmware::FireTimer (Dev->PollTimer);
  size_t Before = Chip.Transfers ();
  EXPECT_EQ (Read (B, 10, &S), 10u);
  EXPECT_EQ (Chip.Transfers (), Before);    // from the ring alone
  Queue (20, 100);
  EXPECT_EQ (Read (B, 10, &S), 10u);        // 2 from the ring, 8 from one transfer
  EXPECT_EQ (B[1], 11); EXPECT_EQ (B[2], 100);
  EXPECT_EQ ((Dev->RingTail - Dev->RingHead) & FTDI_RING_MASK, 12u);
  EXPECT_FALSE (Dev->ControlStatus & 0x100);
  UINTN Z = 0;
  EXPECT_EQ (Sio->Read (Sio, &Z, nullptr), EFI_SUCCESS);
  UINTN One = 1;
  EXPECT_EQ (Sio->Read (Sio, &One, nullptr), EFI_DEVICE_ERROR);
  StopAll ();
}

TEST_F (Ostrel, WriteSendsOneBulkOut) {
  ASSERT_EQ (Start (), EFI_SUCCESS);
  UINT8 F[] = { 0x00, 0x00, 0xFF, 0x02, 0xFE, 0xD4, 0x02, 0x2A, 0x00 };
  UINTN N = sizeof (F);
  EXPECT_EQ (Sio->Write (Sio, &N, F), EFI_SUCCESS);
  EXPECT_EQ (Chip.Sent, std::vector<uint8_t> (F, F + sizeof (F)));
  EXPECT_EQ (Chip.BulkOutCalls, 1u);
  // No buffer is the caller's mistake: nothing goes to the chip and the port stays up.
  N = 4;
  EXPECT_EQ (Sio->Write (Sio, &N, nullptr), EFI_INVALID_PARAMETER);
  N = 0;
  EXPECT_EQ (Sio->Write (Sio, &N, nullptr), EFI_SUCCESS);
  EXPECT_EQ (Chip.BulkOutCalls, 1u);
  N = 1;
  EXPECT_EQ (Sio->Write (Sio, &N, F), EFI_SUCCESS);
  EXPECT_EQ (Chip.Sent.size (), sizeof (F) + 1);
  EXPECT_TRUE (fake::Firmware::TplBalanced ());
  StopAll ();
}

// Flow control holding CTS, or a line slower than USB, makes the chip NAK a bulk-OUT until
// it times out: the caller learns how much went, and the port carries on once the chip
// takes data again.
TEST_F (Ostrel, AWriteTheChipHoldsBackTimesOutWithWhatWentAndThePortCarriesOn) {
  std::vector<uint8_t> Data (200);
  for (size_t I = 0; I < Data.size (); I++) {
    Data[I] = (uint8_t)I;
  }
  // An endpoint that takes two of the chip's packets a transfer can be held back halfway.
  Chip.Endpoints[1].MaxPacketSize = 128;
  for (UINT32 Result : { EFI_USB_ERR_TIMEOUT, EFI_USB_ERR_NOTEXECUTE }) {
    ASSERT_EQ (Start (), EFI_SUCCESS);
    Chip.Sent.clear ();
    Chip.OutRoom      = 64;
    Chip.OutNakResult = Result;
    UINTN N = Data.size ();
    EXPECT_EQ (Sio->Write (Sio, &N, Data.data ()), EFI_TIMEOUT) << Result;
    EXPECT_EQ (N, 64u) << Result;
    N = 136;
    EXPECT_EQ (Sio->Write (Sio, &N, &Data[64]), EFI_TIMEOUT) << Result;
    EXPECT_EQ (N, 0u) << Result;
    Chip.OutRoom = SIZE_MAX;
    N = 136;
    EXPECT_EQ (Sio->Write (Sio, &N, &Data[64]), EFI_SUCCESS) << Result;
    EXPECT_EQ (Chip.Sent, Data) << Result;
    size_t Before = Chip.BulkInCalls;
    fake::Firmware::FireTimer (Dev->PollTimer);
    EXPECT_EQ (Chip.BulkInCalls, Before + 1) << Result;
    EXPECT_EQ (StopAll (), EFI_SUCCESS);
  }
}

// A write longer than the chip's buffer takes as long as the line needs to send it, and
// one the chip holds back reports exactly what went, though an XHCI counts nothing for a
// transfer that timed out.
TEST_F (Ostrel, LongWritesArriveWholeAndAHeldWriteCountsWhatWent) {
  std::vector<uint8_t> Data (4096);
  for (size_t I = 0; I < Data.size (); I++) {
    Data[I] = (uint8_t)(I * 7);
  }
  ASSERT_EQ (Start (), EFI_SUCCESS);
  Chip.PacedLine              = true;
  Chip.OutTimeoutMovesNothing = true;
  for (UINT64 Baud : { 115200ull, 9600ull }) {
    ASSERT_EQ (Sio->SetAttributes (Sio, Baud, 0, 0, DefaultParity, 0, DefaultStopBits), EFI_SUCCESS);
    Chip.Sent.clear ();
    UINTN N = Data.size ();
    EXPECT_EQ (Sio->Write (Sio, &N, Data.data ()), EFI_SUCCESS) << Baud;
    EXPECT_EQ (N, Data.size ()) << Baud;
    EXPECT_EQ (Chip.Sent, Data) << Baud;
  }
  Chip.Sent.clear ();
  Chip.OutRoom = 100;
  UINTN N = 200;
  EXPECT_EQ (Sio->Write (Sio, &N, Data.data ()), EFI_TIMEOUT);
  EXPECT_EQ (N, Chip.Sent.size ());
  EXPECT_NE (N, 0u);
  StopAll ();
}

// An unplug reaches the driver as a Stop from the USB bus driver's TPL_CALLBACK work and
// frees the device. The timer interrupt that brings it lands as the call first raises the
// TPL; the Stop must wait until the call is done with the device, and until Start is done
// building it, or Start installs a child on a USB I/O the bus driver has already taken.
TEST_F (Ostrel, AnUnplugWaitsUntilStartReadOrGetControlIsDone) {
  static EFI_RAISE_TPL  RealRaise;
  static EFI_EVENT      Unplug;
  static bool           Armed;
  RealRaise     = gBS->RaiseTPL;
  Armed         = false;
  gBS->RaiseTPL = +[](EFI_TPL New) EFIAPI -> EFI_TPL {
    EFI_TPL Old = RealRaise (New);
    if (Armed) {
      Armed = false;
      gBS->SignalEvent (Unplug);
    }
    return Old;
  };
  Controller = Chip.Plug ();
  for (const char *Call : { "Read", "GetControl", "Start" }) {
    std::string What = Call;
    ASSERT_EQ (gBS->CreateEvent (EVT_NOTIFY_SIGNAL, TPL_CALLBACK, +[](EFI_EVENT, VOID *Controller) EFIAPI {
      gBS->DisconnectController (Controller, NULL, NULL);
    }, Controller, &Unplug), EFI_SUCCESS);
    if (What == "Start") {
      Armed = true;
      EXPECT_EQ (Start (), EFI_SUCCESS);
    } else {
      ASSERT_EQ (Start (), EFI_SUCCESS);
      Chip.ModemStatus = 0x31;   // CTS, DSR
      Queue (12);
      fake::Firmware::FireTimer (Dev->PollTimer);
      Queue (5, 100);            // the ring holds 12, the chip 5 more
      UINT8 B[15]; UINTN N = sizeof (B); UINT32 C = 0;
      Armed = true;
      EXPECT_EQ (What == "Read" ? Sio->Read (Sio, &N, B) : Sio->GetControl (Sio, &C), EFI_SUCCESS);
      if (What == "Read") {
        EXPECT_EQ (N, 15u);
        EXPECT_EQ (B[11], 11); EXPECT_EQ (B[12], 100); EXPECT_EQ (B[14], 102);
      } else {
        EXPECT_EQ (C & 0xF0, 0x30u);
      }
    }
    EXPECT_FALSE (Armed) << What;
    EXPECT_TRUE (Children ().empty ()) << What;
    EXPECT_EQ (fake::Firmware::OpenCount (Controller, gEfiUsbIoProtocolGuid, EFI_OPEN_PROTOCOL_BY_DRIVER), 0u) << What;
    EXPECT_EQ (fake::Firmware::LiveAllocations (), 0u) << What;
    EXPECT_TRUE (fake::Firmware::TplBalanced ()) << What;
    gBS->CloseEvent (Unplug);
  }
  gBS->RaiseTPL = RealRaise;
}

TEST_F (Ostrel, ResetPurgesBothWaysAndRevivesAFailedPort) {
  ASSERT_EQ (Start (), EFI_SUCCESS);
  Queue (12);
  AskAndPoll ();
  Chip.Requests.clear ();
  EXPECT_EQ (Sio->Reset (Sio), EFI_SUCCESS);
  EXPECT_TRUE (FtdiRingEmpty (Dev)) << "bytes received before a Reset are dropped with the chip's";
  ASSERT_EQ (Chip.Requests.size (), 2u);
  EXPECT_EQ (Chip.Requests[0].Value, 1); EXPECT_EQ (Chip.Requests[1].Value, 2);
  EXPECT_EQ (Chip.Requests[0].Direction, EfiUsbNoData);
  EXPECT_EQ (Chip.Requests[0].RequestType, 0x40);
  EXPECT_EQ (Chip.Requests[0].Index, 1);
  // A failed bulk transfer fails the port until a Reset the chip answers in full.
  UINT8 B[1] = { 'r' }; UINTN N = 1; EFI_STATUS S;
  Chip.InFault = fake::BULK_IN_FAULT::DeviceError;
  EXPECT_EQ (Read (B, 1, &S), 0u);
  Chip.InFault          = fake::BULK_IN_FAULT::None;
  Chip.FailControl      = true;
  Chip.FailControlAfter = 1;
  EXPECT_EQ (Sio->Reset (Sio), EFI_DEVICE_ERROR);
  N = 1;
  EXPECT_EQ (Sio->Write (Sio, &N, B), EFI_DEVICE_ERROR);
  Chip.FailControl = false;
  EXPECT_EQ (Sio->Reset (Sio), EFI_SUCCESS);
  N = 1;
  EXPECT_EQ (Sio->Write (Sio, &N, B), EFI_SUCCESS);
  EXPECT_EQ (Chip.Sent, std::vector<uint8_t> ({ 'r' }));
  StopAll ();
}

// ---- binding

TEST_F (Ostrel, SupportedWantsTheFt232WithAManufacturer) {
  Controller = Chip.Plug ();
  EXPECT_EQ (gUsbSerialDriverBinding.Supported (&gUsbSerialDriverBinding, Controller, nullptr), EFI_SUCCESS);
  Chip.ManufacturerOk = false;
  EXPECT_EQ (gUsbSerialDriverBinding.Supported (&gUsbSerialDriverBinding, Controller, nullptr), EFI_UNSUPPORTED);
  Chip.ManufacturerOk = true;
  Chip.ProductId = 0x6010;
  EXPECT_EQ (gUsbSerialDriverBinding.Supported (&gUsbSerialDriverBinding, Controller, nullptr), EFI_UNSUPPORTED);
  Chip.ProductId = 0x6001;
  auto Bad = Remaining (115200, true, 2);
  EXPECT_EQ (gUsbSerialDriverBinding.Supported (&gUsbSerialDriverBinding, Controller, (EFI_DEVICE_PATH_PROTOCOL *)Bad.data ()), EFI_UNSUPPORTED);
  EXPECT_EQ (fake::Firmware::OpenCount (Controller, gEfiUsbIoProtocolGuid, EFI_OPEN_PROTOCOL_BY_DRIVER), 0u);
  EXPECT_EQ (fake::Firmware::LiveAllocations (), 0u);
}

TEST_F (Ostrel, StartFailureExitsReleaseEverything) {
  struct { const char *What; EFI_STATUS Want; } Cases[] = {
    { "no-out", EFI_DEVICE_ERROR }, { "endpoint", EFI_NOT_FOUND }, { "pool", EFI_OUT_OF_RESOURCES },
    { "install", EFI_OUT_OF_RESOURCES } };
  for (auto &C : Cases) {
    fake::Firmware::Reset ();
    ASSERT_EQ (UsbSerialDriverEntryPoint (gImageHandle, gST), EFI_SUCCESS);
    fake::Ft232 Fresh;
    std::string W = C.What;
    if (W == "no-out") Fresh.Endpoints[1].EndpointAddress = 0x83;
    if (W == "endpoint") Fresh.FailEndpointIndex = 1;
    EFI_HANDLE H = Fresh.Plug ();
    size_t Events = fake::Firmware::OpenEvents ();
    if (W == "pool") fake::Firmware::FailAllocation (2);          // the ring
    if (W == "install") fake::Firmware::FailNext ("InstallMultipleProtocolInterfaces", EFI_OUT_OF_RESOURCES);
    EXPECT_EQ (gUsbSerialDriverBinding.Start (&gUsbSerialDriverBinding, H, nullptr), C.Want) << W;
    EXPECT_EQ (fake::Firmware::OpenCount (H, gEfiUsbIoProtocolGuid, EFI_OPEN_PROTOCOL_BY_DRIVER), 0u) << W;
    EXPECT_EQ (fake::Firmware::OpenCount (H, gEfiDevicePathProtocolGuid, EFI_OPEN_PROTOCOL_BY_DRIVER), 0u) << W;
    EXPECT_EQ (fake::Firmware::OpenEvents (), Events) << W;
    EXPECT_EQ (fake::Firmware::LiveAllocations (), 0u) << W;
  }
}

TEST_F (Ostrel, StartGivesThePathBackWhenAnotherDriverHoldsTheUsbIo) {
  Controller = Chip.Plug ();
  EFI_HANDLE Other = fake::Firmware::NewHandle ();
  VOID *Iface;
  ASSERT_EQ (gBS->OpenProtocol (Controller, &gEfiUsbIoProtocolGuid, &Iface, Other, Controller, EFI_OPEN_PROTOCOL_BY_DRIVER), EFI_SUCCESS);
  EXPECT_TRUE (EFI_ERROR (gUsbSerialDriverBinding.Start (&gUsbSerialDriverBinding, Controller, nullptr)));
  EXPECT_EQ (fake::Firmware::OpenCount (Controller, gEfiDevicePathProtocolGuid, EFI_OPEN_PROTOCOL_BY_DRIVER), 0u);
  EXPECT_EQ (fake::Firmware::LiveAllocations (), 0u);
  CHAR16 *Name;
  EXPECT_EQ (gUsbSerialComponentName.GetControllerName (&gUsbSerialComponentName, Controller, nullptr, (CHAR8 *)"eng", &Name), EFI_UNSUPPORTED);
}

TEST_F (Ostrel, ChildPathEndsInUartAndFlowControl) {
  ASSERT_EQ (Start (), EFI_SUCCESS);
  const UINT8 *P = (const UINT8 *)Dev->ChildDevicePath;
  EXPECT_EQ (std::memcmp (P, Chip.DevicePath.data (), 6), 0);
  const UINT8 Uart[] = { 3, 14, 19, 0, 0, 0, 0, 0, 0x00, 0xC2, 0x01, 0, 0, 0, 0, 0, 8, 1, 1 };
  EXPECT_EQ (std::memcmp (P + 6, Uart, 19), 0);
  EXPECT_EQ (P[25], 3); EXPECT_EQ (P[26], 10); EXPECT_EQ (P[27], 24);
  EXPECT_EQ (std::memcmp (P + 29, &gEfiUartDevicePathGuid, 16), 0);
  EXPECT_EQ (P[45], 0);
  EXPECT_EQ (P[49], 0x7F);
  StopAll ();
}

TEST_F (Ostrel, RemainingPathsNameTheChildAndReprogramIt) {
  // A console variable naming Uart(9600) with hardware flow control gets both on the chip.
  auto R9600 = Remaining (9600, true, 1);
  ASSERT_EQ (Start ((EFI_DEVICE_PATH_PROTOCOL *)R9600.data ()), EFI_SUCCESS);
  const UINT8 *P = (const UINT8 *)Dev->ChildDevicePath;
  EXPECT_EQ (ReadUnaligned64 ((const UINT64 *)(P + 6 + 8)), 9600u);
  EXPECT_EQ (P[45], 1);
  EXPECT_EQ (Chip.BaudRate, 9600u);
  EXPECT_EQ (Chip.Handshake, fake::HANDSHAKE::RtsCts);
  EXPECT_EQ (Sio->Mode->BaudRate, 9600u);
  StopAll ();
  // A chip that refuses the flow control runs without it, and nothing says otherwise.
  Chip.FailControl      = true;
  Chip.FailControlAfter = 3;
  ASSERT_EQ (Start ((EFI_DEVICE_PATH_PROTOCOL *)R9600.data ()), EFI_SUCCESS);
  Chip.FailControl = false;
  UINT32 C;
  EXPECT_EQ (Sio->GetControl (Sio, &C), EFI_SUCCESS);
  EXPECT_EQ (C & EFI_SERIAL_HARDWARE_FLOW_CONTROL_ENABLE, 0u);
  EXPECT_EQ (((const UINT8 *)Dev->ChildDevicePath)[45], 0);
  auto Bad = Remaining (2500000, true, 0);
  EXPECT_EQ (gUsbSerialDriverBinding.Supported (&gUsbSerialDriverBinding, Controller, (EFI_DEVICE_PATH_PROTOCOL *)Bad.data ()), EFI_UNSUPPORTED);
  auto R57600 = Remaining (57600, true, 0);
  EXPECT_EQ (gUsbSerialDriverBinding.Supported (&gUsbSerialDriverBinding, Controller, (EFI_DEVICE_PATH_PROTOCOL *)R57600.data ()), EFI_SUCCESS);
  size_t Live = fake::Firmware::LiveAllocations ();
  EXPECT_EQ (gUsbSerialDriverBinding.Start (&gUsbSerialDriverBinding, Controller, (EFI_DEVICE_PATH_PROTOCOL *)R57600.data ()), EFI_SUCCESS);
  EXPECT_EQ (fake::Firmware::LiveAllocations (), Live);
  EXPECT_EQ (Values (3).back (), 0xC034);
  EXPECT_EQ (Chip.Handshake, fake::HANDSHAKE::None);
  EXPECT_EQ (Sio->Mode->BaudRate, 57600u);
  EXPECT_EQ (Children ().size (), 1u);
  // The path was reinstalled with what the chip runs now, so it matches the asking variable.
  P = (const UINT8 *)fake::Firmware::Find (Children ()[0], gEfiDevicePathProtocolGuid);
  EXPECT_EQ (ReadUnaligned64 ((const UINT64 *)(P + 6 + 8)), 57600u);
  EXPECT_EQ (P[45], 0);
  auto NoFlow = Remaining (57600, false, 0);
  EXPECT_EQ (gUsbSerialDriverBinding.Supported (&gUsbSerialDriverBinding, Controller, (EFI_DEVICE_PATH_PROTOCOL *)NoFlow.data ()), EFI_UNSUPPORTED);
  EXPECT_EQ (StopAll (), EFI_SUCCESS);
  EXPECT_EQ (fake::Firmware::LiveAllocations (), 0u);
}

TEST_F (Ostrel, EndNodeOpensTheControllerWithoutAChild) {
  UINT8 End[] = { 0x7F, 0xFF, 4, 0 };
  ASSERT_EQ (Start ((EFI_DEVICE_PATH_PROTOCOL *)End), EFI_SUCCESS);
  EXPECT_TRUE (Children ().empty ());
  EXPECT_EQ (fake::Firmware::OpenCount (Controller, gEfiUsbIoProtocolGuid, EFI_OPEN_PROTOCOL_BY_DRIVER), 1u);
  EXPECT_EQ (StopAll (), EFI_SUCCESS);
  EXPECT_EQ (fake::Firmware::LiveAllocations (), 0u);
}

TEST_F (Ostrel, StopKeepsAChildItsConsumerWillNotRelease) {
  ASSERT_EQ (Start (), EFI_SUCCESS);
  EFI_EVENT Timer = Dev->PollTimer;
  fake::Firmware::FailNext ("UninstallMultipleProtocolInterfaces", EFI_ACCESS_DENIED);
  auto Kids = Children ();
  EXPECT_EQ (gUsbSerialDriverBinding.Stop (&gUsbSerialDriverBinding, Controller, Kids.size (), Kids.data ()), EFI_DEVICE_ERROR);
  EXPECT_EQ (Children ().size (), 1u);
  EXPECT_TRUE (fake::Firmware::IsOpenEvent (Timer));
  EXPECT_EQ (StopAll (), EFI_SUCCESS);
}

// ---- entry, unload, names

TEST_F (Ostrel, NamesThroughBothProtocols) {
  ASSERT_EQ (Start (), EFI_SUCCESS);
  CHAR16 *Name = nullptr;
  EXPECT_EQ (gUsbSerialComponentName.GetDriverName (&gUsbSerialComponentName, (CHAR8 *)"eng", &Name), EFI_SUCCESS);
  EXPECT_EQ (gUsbSerialComponentName2.GetDriverName (&gUsbSerialComponentName2, (CHAR8 *)"en", &Name), EFI_SUCCESS);
  EXPECT_EQ (gUsbSerialComponentName.GetDriverName (&gUsbSerialComponentName, (CHAR8 *)"en\0", &Name), EFI_UNSUPPORTED);  // ISO 639-2 codes are read as three bytes
  EXPECT_EQ (gUsbSerialComponentName2.GetDriverName (&gUsbSerialComponentName2, (CHAR8 *)"en-US", &Name), EFI_UNSUPPORTED);
  EXPECT_EQ (gUsbSerialComponentName.GetDriverName (&gUsbSerialComponentName, nullptr, &Name), EFI_INVALID_PARAMETER);
  Name = nullptr;
  EXPECT_EQ (gUsbSerialComponentName.GetControllerName (&gUsbSerialComponentName, Controller, nullptr, (CHAR8 *)"eng", &Name), EFI_SUCCESS);
  ASSERT_NE (Name, nullptr);
  EXPECT_EQ (std::memcmp (Name, u"Velk USB Serial Adapter", 24 * 2), 0);
  EFI_HANDLE Kid = Children ()[0];
  EXPECT_EQ (gUsbSerialComponentName2.GetControllerName (&gUsbSerialComponentName2, Controller, Kid, (CHAR8 *)"en", &Name), EFI_SUCCESS);
  EXPECT_EQ (gUsbSerialComponentName2.GetControllerName (&gUsbSerialComponentName2, Controller, Controller, (CHAR8 *)"en\0", &Name), EFI_UNSUPPORTED);  // ISO 639-2 codes are read as three bytes
  fake::Ft232 Other;
  EFI_HANDLE Free = Other.Plug ();
  EXPECT_EQ (gUsbSerialComponentName.GetControllerName (&gUsbSerialComponentName, Free, nullptr, nullptr, &Name), EFI_UNSUPPORTED);
  EXPECT_EQ (fake::Firmware::OpenCount (Free, gEfiUsbIoProtocolGuid, EFI_OPEN_PROTOCOL_BY_DRIVER), 0u);
  StopAll ();
}

TEST_F (Ostrel, UnloadWithNoAdapterAndWithTwo) {
  // Protocols that stay installed would lead callers into an unloaded image.
  fake::Firmware::FailNext ("UninstallMultipleProtocolInterfaces", EFI_ACCESS_DENIED);
  EXPECT_EQ (OstrelUnload (gImageHandle), EFI_ACCESS_DENIED);
  EXPECT_EQ (OstrelUnload (gImageHandle), EFI_SUCCESS);
  EXPECT_EQ (fake::Firmware::Find (gImageHandle, gEfiDriverBindingProtocolGuid), nullptr);
  ASSERT_EQ (UsbSerialDriverEntryPoint (gImageHandle, gST), EFI_SUCCESS);
  fake::Ft232 Second;
  Second.DevicePath[5] = 0x1E;   // another port: two identical child paths could not both be installed
  ASSERT_EQ (Start (), EFI_SUCCESS);
  EFI_HANDLE H2 = Second.Plug ();
  ASSERT_EQ (gUsbSerialDriverBinding.Start (&gUsbSerialDriverBinding, H2, nullptr), EFI_SUCCESS);
  EXPECT_EQ (OstrelUnload (gImageHandle), EFI_SUCCESS);
  EXPECT_EQ (fake::Firmware::OpenCount (H2, gEfiUsbIoProtocolGuid, EFI_OPEN_PROTOCOL_BY_DRIVER), 0u);
  EXPECT_EQ (fake::Firmware::LiveAllocations (), 0u);
}

TEST_F (Ostrel, UnloadRefusesWhileAChildStillRuns) {
  ASSERT_EQ (Start (), EFI_SUCCESS);
  fake::Firmware::FailNext ("UninstallMultipleProtocolInterfaces", EFI_ACCESS_DENIED);
  EXPECT_EQ (OstrelUnload (gImageHandle), EFI_DEVICE_ERROR);
  EXPECT_NE (fake::Firmware::Find (gImageHandle, gEfiDriverBindingProtocolGuid), nullptr);
  EXPECT_EQ (OstrelUnload (gImageHandle), EFI_SUCCESS);
  // Nor while an adapter without a child keeps its USB I/O.
  ASSERT_EQ (UsbSerialDriverEntryPoint (gImageHandle, gST), EFI_SUCCESS);
  UINT8 End[] = { 0x7F, 0xFF, 4, 0 };
  ASSERT_EQ (Start ((EFI_DEVICE_PATH_PROTOCOL *)End), EFI_SUCCESS);
  fake::Firmware::FailNext ("CloseProtocol", EFI_ACCESS_DENIED);
  EXPECT_EQ (OstrelUnload (gImageHandle), EFI_DEVICE_ERROR);
  EXPECT_EQ (OstrelUnload (gImageHandle), EFI_SUCCESS);
}

TEST_F (Ostrel, EntryInstallsNothingWithoutTheLoadedImage) {
  fake::Firmware::Reset ();
  fake::Firmware::FailNext ("HandleProtocol", EFI_UNSUPPORTED);
  EXPECT_EQ (UsbSerialDriverEntryPoint (gImageHandle, gST), EFI_UNSUPPORTED);
  EXPECT_EQ (fake::Firmware::Find (gImageHandle, gEfiDriverBindingProtocolGuid), nullptr);
}

// ---- figures for the note

TEST_F (Ostrel, FiguresPoolTransfersPerTickAndPerRead) {
  size_t Before = fake::Firmware::LiveBytes ();
  ASSERT_EQ (Start (), EFI_SUCCESS);
  size_t Held = fake::Firmware::LiveBytes () - Before;
  fake::Firmware::FireTimer (Dev->PollTimer);   // the look Start's status read may have missed
  // A terminal asks GetControl before it reads; the keyboard reads the line itself and
  // never asks, so the poll spends neither a transfer nor a witness wait on it.
  // On a firmware idling in WaitForEvent the look comes from the idle loop, with no
  // wait for a tick.
  struct { const char *Consumer; bool Asks; bool Idles; size_t Transfers; UINT64 MaxUs; } const Cases[] = {
    { "a consumer that asks GetControl, busy firmware", true,  false, 1, 25000 },
    { "a consumer that reads by itself",                false, true,  0, 0 },
    { "a consumer that asks GetControl, idle firmware", true,  true,  1, 17000 },
  };
  for (auto &C : Cases) {
    size_t T0 = Chip.Transfers ();
    UINT64 Us = fake::Firmware::NowUs ();
    if (C.Idles) {
      fake::Firmware::Idle ();
    }
    C.Asks ? AskAndPoll () : fake::Firmware::FireTimer (Dev->PollTimer);
    if (C.Idles) {
      EXPECT_EQ (Chip.Transfers (), T0) << C.Consumer << ": the tick's notify leaves the look to the idle loop";
      fake::Firmware::Idle ();
    }
    Us = fake::Firmware::NowUs () - Us;
    std::printf ("FIGURES idle poll tick with %s: %zu USB transfers, %llu us\n", C.Consumer,
                 Chip.Transfers () - T0, (unsigned long long)Us);
    EXPECT_EQ (Chip.Transfers () - T0, C.Transfers) << C.Consumer;
    EXPECT_LE (Us, C.MaxUs) << C.Consumer;
  }
  Queue (5);
  AskAndPoll ();
  fake::Firmware::Idle ();
  size_t T0 = Chip.Transfers ();
  UINT8 B; EFI_STATUS S;
  Read (&B, 1, &S);
  size_t PerReadWaiting = Chip.Transfers () - T0;
  std::printf ("FIGURES pool bytes held per adapter: %zu; per one-byte Read with data waiting: %zu\n",
               Held, PerReadWaiting);
  EXPECT_EQ (PerReadWaiting, 0u);
  StopAll ();
}

} // namespace

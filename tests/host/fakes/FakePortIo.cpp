/** @file
  IoLib's 8-bit port accesses for the host, recorded by FakePortIo.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#include "FakePortIo.h"

extern "C" {
#include <Uefi.h>
#include <Library/IoLib.h>
}

namespace {

std::vector<fake::PORT_ACCESS>  mAccesses;
uint8_t                         mLineStatus        = 0x60;
size_t                          mLineStatusCountdown = 0;
uint8_t                         mLineStatusLater   = 0x60;
bool                            mLineStatusPending = false;

constexpr uint16_t  LineStatusPort = 0x3FD;

} // namespace

namespace fake {

void
PortIo::Reset ()
{
  mAccesses.clear ();
  mLineStatus        = 0x60;
  mLineStatusPending = false;
}

const std::vector<PORT_ACCESS> &
PortIo::Accesses ()
{
  return mAccesses;
}

std::string
PortIo::Written (uint16_t Port)
{
  std::string  Bytes;

  for (const auto &Access : mAccesses) {
    if (Access.Write && (Access.Port == Port)) {
      Bytes.push_back (static_cast<char>(Access.Value));
    }
  }

  return Bytes;
}

size_t
PortIo::Reads (uint16_t Port)
{
  size_t  Count = 0;

  for (const auto &Access : mAccesses) {
    Count += (!Access.Write && (Access.Port == Port)) ? 1 : 0;
  }

  return Count;
}

void
PortIo::SetLineStatus (uint8_t Value)
{
  mLineStatus        = Value;
  mLineStatusPending = false;
}

void
PortIo::SetLineStatusAfter (size_t Count, uint8_t Value)
{
  mLineStatusCountdown = Count;
  mLineStatusLater     = Value;
  mLineStatusPending   = true;
}

} // namespace fake

extern "C" {

UINT8
EFIAPI
IoRead8 (
  IN UINTN  Port
  )
{
  UINT8  Value = 0xFF;   // an unclaimed port floats high

  if (Port == LineStatusPort) {
    if (mLineStatusPending) {
      if (mLineStatusCountdown == 0) {
        mLineStatus        = mLineStatusLater;
        mLineStatusPending = false;
      } else {
        mLineStatusCountdown--;
      }
    }

    Value = mLineStatus;
  }

  mAccesses.push_back ({ false, static_cast<uint16_t>(Port), Value });
  return Value;
}

UINT8
EFIAPI
IoWrite8 (
  IN UINTN  Port,
  IN UINT8  Value
  )
{
  mAccesses.push_back ({ true, static_cast<uint16_t>(Port), Value });
  return Value;
}

}

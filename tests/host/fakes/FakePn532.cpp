/** @file
  The PN532-on-a-line model.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#include "FakePn532.h"
#include "FakeFirmware.h"

#include <algorithm>

namespace fake {

namespace {
Pn532 *Self (EFI_SERIAL_IO_PROTOCOL *This) { return reinterpret_cast<Pn532 *>(This); }
}

Pn532::Pn532 ()
{
  SerialIo = {};
  Mode     = {};
  SerialIo.Revision      = EFI_SERIAL_IO_PROTOCOL_REVISION;
  SerialIo.Reset         = DoReset;
  SerialIo.SetAttributes = DoSetAttributes;
  SerialIo.SetControl    = DoSetControl;
  SerialIo.GetControl    = DoGetControl;
  SerialIo.Write         = DoWrite;
  SerialIo.Read          = DoRead;
  SerialIo.Mode          = &Mode;
  Mode.BaudRate          = 9600;
  Mode.DataBits          = 8;
  Mode.Parity            = NoParity;
  Mode.StopBits          = OneStopBit;
}

std::vector<uint8_t>
Pn532::Frame (uint8_t Tfi, const std::vector<uint8_t> &Body)
{
  uint8_t               Len = (uint8_t)(Body.size () + 1);
  uint8_t               Sum = Tfi;
  std::vector<uint8_t>  F   = { 0x00, 0x00, 0xFF, Len, (uint8_t)(0x100 - Len), Tfi };

  for (uint8_t B : Body) {
    F.push_back (B);
    Sum = (uint8_t)(Sum + B);
  }

  F.push_back ((uint8_t)(0x100 - Sum));
  F.push_back (0x00);
  return F;
}

void
Pn532::Inject (const std::vector<uint8_t> &Bytes, UINT64 AtUs)
{
  Send (Bytes, AtUs);
}

// Bytes leave the controller one after another at the line's byte time.
void
Pn532::Send (const std::vector<uint8_t> &Bytes, UINT64 AtUs)
{
  UINT64  T = (AtUs > mLineFreeUs) ? AtUs : mLineFreeUs;

  for (uint8_t B : Bytes) {
    T += ByteUs;
    Put (B, T);
  }

  mLineFreeUs = T;
}

void
Pn532::Mix (const std::vector<uint8_t> &Bytes, UINT64 AtUs)
{
  for (uint8_t B : Bytes) {
    AtUs += ByteUs;
    Put (B, AtUs);
  }
}

void
Pn532::Put (uint8_t Value, UINT64 AtUs)
{
  auto  At = std::upper_bound (mLine.begin (), mLine.end (), AtUs,
                               [] (UINT64 T, const TIMED_BYTE &B) { return T < B.AtUs; });

  mLine.insert (At, { Value, AtUs });
}

void
Pn532::Place (const std::vector<uint8_t> &Id)
{
  Card = Id;
  if (mListing && !Card.empty ()) {
    mListing = false;
    Send (Frame (0xD5, Listed ()), Firmware::NowUs () + ResponseUs);
  }
}

std::vector<uint8_t>
Pn532::Listed () const
{
  std::vector<uint8_t>  Body = { 0x4B, Targets, 0x01, 0x00, 0x44, 0x00, (uint8_t)Card.size () };

  Body.insert (Body.end (), Card.begin (), Card.end ());
  return Body;
}

void
Pn532::Parse ()
{
  if (!Awake) {
    auto  Wake = std::find (mRx.begin (), mRx.end (), 0x55);
    Awake = (Wake != mRx.end ());
    mRx.erase (mRx.begin (), Wake);
    if (!Awake) {
      return;
    }
  }

  // Wake-up bytes and zero fill are skipped; a frame starts at 00 FF.
  for ( ; ;) {
    size_t  Start = 0;

    while (Start + 1 < mRx.size () && !(mRx[Start] == 0x00 && mRx[Start + 1] == 0xFF)) {
      Start++;
    }

    if (Start + 4 > mRx.size ()) {
      return;
    }

    uint8_t  Len = mRx[Start + 2];
    uint8_t  Lcs = mRx[Start + 3];

    if ((uint8_t)(Len + Lcs) != 0) {
      mRx.erase (mRx.begin (), mRx.begin () + Start + 2);   // not a frame: resynchronise
      continue;
    }

    if (Start + 4 + Len + 1 > mRx.size ()) {
      return;
    }

    std::vector<uint8_t>  Payload (mRx.begin () + Start + 4, mRx.begin () + Start + 4 + Len);
    uint8_t               Sum = mRx[Start + 4 + Len];

    for (uint8_t B : Payload) {
      Sum = (uint8_t)(Sum + B);
    }

    mRx.erase (mRx.begin (), mRx.begin () + Start + 4 + Len + 1);
    if (Sum == 0 && Payload.size () >= 2 && Payload[0] == 0xD4) {
      Answer (Payload);
    }
  }
}

void
Pn532::Answer (const std::vector<uint8_t> &Payload)
{
  uint8_t      Command = Payload[1];
  PN532_FAULT  F       = Fault;
  UINT64       Now     = Firmware::NowUs ();

  Fault = PN532_FAULT::None;
  // A new command ends a search that is still looking for a card.
  mListing = false;
  Commands.push_back (Command);
  if (F == PN532_FAULT::Silent) {
    return;
  }

  if (F == PN532_FAULT::Nack) {
    Send ({ 0x00, 0x00, 0xFF, 0xFF, 0x00, 0x00 }, Now + AckUs);
    return;
  }

  Send ({ 0x00, 0x00, 0xFF, 0x00, 0xFF, 0x00 }, Now + AckUs);

  std::vector<uint8_t>  Body = { (uint8_t)(Command + 1) };

  switch (Command) {
    case 0x02: Body.insert (Body.end (), { 0x32, 0x01, 0x06, 0x07 }); break;
    case 0x14: break;
    case 0x4A:
      if (Card.empty () && RawResponse.empty () && F == PN532_FAULT::None) {
        mListing = true;   // the controller keeps looking for a target and says nothing
        return;
      }

      Body = Listed ();
      break;
    default:
      F = PN532_FAULT::ErrorFrame;
      break;
  }

  std::vector<uint8_t>  Out = Frame (0xD5, Body);

  switch (F) {
    case PN532_FAULT::ErrorFrame: Out = { 0x00, 0x00, 0xFF, 0x01, 0xFF, 0x7F, 0x81, 0x00 }; break;
    case PN532_FAULT::BadLcs:     Out[4] ^= 0x01; break;
    case PN532_FAULT::BadDcs:     Out[Out.size () - 2] ^= 0x01; break;
    case PN532_FAULT::ShortFrame: Out.resize (Out.size () / 2); break;
    case PN532_FAULT::Garbage:    Out = { 0x13, 0x37, 0xFF, 0x00, 0x42, 0xFF, 0xFF, 0x01 }; break;
    case PN532_FAULT::WrongCode:  Out = Frame (0xD5, { (uint8_t)(Command + 3), 0x00 }); break;
    default: break;
  }

  if (!RawResponse.empty ()) {
    Out = RawResponse;
    RawResponse.clear ();
  }

  Send (Out, Now + AckUs + ResponseUs);
}

EFI_STATUS EFIAPI Pn532::DoReset (EFI_SERIAL_IO_PROTOCOL *) { return EFI_SUCCESS; }

EFI_STATUS EFIAPI
Pn532::DoSetAttributes (EFI_SERIAL_IO_PROTOCOL *This, UINT64 Baud, UINT32 Fifo, UINT32 Timeout,
                        EFI_PARITY_TYPE Parity, UINT8 DataBits, EFI_STOP_BITS_TYPE StopBits)
{
  Pn532 *P = Self (This);

  P->SetAttributesCalls++;
  if (EFI_ERROR (P->SetAttributesStatus)) {
    return P->SetAttributesStatus;
  }

  P->Mode.BaudRate = Baud; P->Mode.ReceiveFifoDepth = Fifo; P->Mode.Timeout = Timeout;
  P->Mode.Parity = Parity; P->Mode.DataBits = DataBits; P->Mode.StopBits = StopBits;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI Pn532::DoSetControl (EFI_SERIAL_IO_PROTOCOL *, UINT32) { return EFI_SUCCESS; }
EFI_STATUS EFIAPI Pn532::DoGetControl (EFI_SERIAL_IO_PROTOCOL *, UINT32 *C) { *C = 0; return EFI_SUCCESS; }

EFI_STATUS EFIAPI
Pn532::DoWrite (EFI_SERIAL_IO_PROTOCOL *This, UINTN *BufferSize, VOID *Buffer)
{
  Pn532       *P = Self (This);
  const auto  *B = static_cast<const uint8_t *>(Buffer);

  P->Writes.emplace_back (B, B + *BufferSize);
  Firmware::WaitUs (*BufferSize * P->ByteUs);   // the bytes take their time on the wire
  // The controller's HSU speaks 115200 8N1; at any other setting it hears noise.
  bool  Heard = (P->Mode.BaudRate == 115200) && (P->Mode.DataBits == 8) && (P->Mode.Parity == NoParity) &&
                (P->Mode.StopBits == OneStopBit);
  if (P->Present && Heard) {
    P->mRx.insert (P->mRx.end (), B, B + *BufferSize);
    P->Parse ();
  }
  return EFI_SUCCESS;
}

// One byte when one has arrived, or arrives within the read's wait; else the whole wait.
EFI_STATUS EFIAPI
Pn532::DoRead (EFI_SERIAL_IO_PROTOCOL *This, UINTN *BufferSize, VOID *Buffer)
{
  Pn532   *P    = Self (This);
  UINT64  Now   = Firmware::NowUs ();
  UINTN   Want  = *BufferSize;
  UINTN   Got   = 0;
  UINT64  Wait  = P->UartTimeout ? P->Mode.Timeout : P->ReadWaitUs;

  P->Reads++;
  if (P->RxCapacity != 0) {
    auto  Arrived = std::upper_bound (P->mLine.begin (), P->mLine.end (), Now,
                                      [] (UINT64 T, const TIMED_BYTE &B) { return T < B.AtUs; });
    if (Arrived - P->mLine.begin () > (ptrdiff_t)P->RxCapacity) {
      P->mLine.erase (P->mLine.begin () + P->RxCapacity, Arrived);
    }
  }

  while (Got < Want && !P->mLine.empty () && P->mLine.front ().AtUs <= Now + Wait) {
    if (P->mLine.front ().AtUs > Now) {
      Firmware::WaitUs (P->mLine.front ().AtUs - Now);
      Now = P->mLine.front ().AtUs;
    }

    static_cast<uint8_t *>(Buffer)[Got++] = P->mLine.front ().Value;
    P->mLine.pop_front ();
  }

  if (Got == 0) {
    Firmware::WaitUs (Wait);
    *BufferSize = 0;
    return P->EmptyReadStatus;
  }

  *BufferSize = Got;
  return EFI_SUCCESS;
}

} // namespace fake

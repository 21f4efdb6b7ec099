/** @file
  A Serial I/O line with a PN532 behind it: parses the host's frames, answers with the
  ACK and the response in virtual time, and misbehaves on demand.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#ifndef FAKE_PN532_H_
#define FAKE_PN532_H_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

extern "C" {
#include <Uefi.h>
#include <Protocol/SerialIo.h>
}

namespace fake {

enum class PN532_FAULT { None, Silent, Nack, ErrorFrame, BadLcs, BadDcs, ShortFrame, Garbage, WrongCode };

struct Pn532 {
  EFI_SERIAL_IO_PROTOCOL  SerialIo;   // first, so This leads back here
  EFI_SERIAL_IO_MODE      Mode;

  // Line timing: a Read that finds nothing waits this long for a byte; bytes travel at
  // 115200 baud; the controller needs ResponseUs after its ACK to answer.
  UINT64  ReadWaitUs   = 16000;
  UINT64  ByteUs       = 87;
  UINT64  AckUs        = 500;
  UINT64  ResponseUs   = 3000;
  // Bytes the line holds for the host at most (0: no limit); what arrives while it is
  // full is lost, as with an FT232's ring and the chip's own buffer.
  size_t  RxCapacity   = 0;
  // A UART producer (a platform's 16550) makes an empty Read wait Mode.Timeout instead.
  bool    UartTimeout  = false;
  // What a Read that finds nothing answers; some producers call it a success.
  EFI_STATUS  EmptyReadStatus = EFI_TIMEOUT;
  // No controller on the line: what the host writes goes nowhere.
  bool    Present      = true;
  // A controller fresh from power-up sleeps and ignores frames until a 0x55 wakes it.
  bool    Awake        = true;

  std::vector<uint8_t>               Card;          // identifier of the card in the field; empty = none
  uint8_t                            Targets = 1;   // NbTg reported while a card is there
  PN532_FAULT                        Fault = PN532_FAULT::None;   // applies to the next command frame
  std::vector<uint8_t>               RawResponse;   // when set, sent instead of the response (once)
  EFI_STATUS                         SetAttributesStatus = EFI_SUCCESS;

  std::vector<std::vector<uint8_t>>  Writes;        // every Write call's bytes
  std::vector<uint8_t>               Commands;      // command codes of valid frames, in order
  size_t                             Reads = 0;
  size_t                             SetAttributesCalls = 0;

  Pn532 ();
  void Inject (const std::vector<uint8_t> &Bytes, UINT64 AtUs);   // bytes that appear on the line
  // Another source on the same wire (noise, a second talker): Bytes from AtUs at the byte
  // time, interleaved with the controller's instead of queued behind them.
  void Mix (const std::vector<uint8_t> &Bytes, UINT64 AtUs);
  // A card enters the field: an InListPassiveTarget still looking for one is answered now.
  void Place (const std::vector<uint8_t> &Id);
  size_t Pending () const { return mLine.size (); }

  // Builds a controller-to-host frame around TFI 0xD5 and Body.
  static std::vector<uint8_t> Frame (uint8_t Tfi, const std::vector<uint8_t> &Body);

private:
  struct TIMED_BYTE { uint8_t Value; UINT64 AtUs; };
  std::deque<TIMED_BYTE>  mLine;
  std::vector<uint8_t>    mRx;      // host bytes not yet parsed
  UINT64                  mLineFreeUs = 0;
  bool                    mListing = false;   // an InListPassiveTarget waits for a card

  void Send (const std::vector<uint8_t> &Bytes, UINT64 AtUs);
  void Put (uint8_t Value, UINT64 AtUs);   // in time order
  void Parse ();
  void Answer (const std::vector<uint8_t> &Payload);
  std::vector<uint8_t> Listed () const;

  static EFI_STATUS EFIAPI DoReset (EFI_SERIAL_IO_PROTOCOL *This);
  static EFI_STATUS EFIAPI DoSetAttributes (EFI_SERIAL_IO_PROTOCOL *This, UINT64, UINT32, UINT32, EFI_PARITY_TYPE, UINT8, EFI_STOP_BITS_TYPE);
  static EFI_STATUS EFIAPI DoSetControl (EFI_SERIAL_IO_PROTOCOL *This, UINT32);
  static EFI_STATUS EFIAPI DoGetControl (EFI_SERIAL_IO_PROTOCOL *This, UINT32 *);
  static EFI_STATUS EFIAPI DoWrite (EFI_SERIAL_IO_PROTOCOL *This, UINTN *BufferSize, VOID *Buffer);
  static EFI_STATUS EFIAPI DoRead (EFI_SERIAL_IO_PROTOCOL *This, UINTN *BufferSize, VOID *Buffer);
};

} // namespace fake

#endif

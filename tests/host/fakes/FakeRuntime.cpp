/** @file
  Runtime variables, and the system table's console: keys a test queues in, what
  UefiLib prints out.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#include "FakeFirmwareInternal.h"

extern "C" {
#include <Protocol/SimpleTextOut.h>
}

namespace fake::internal {

EFI_SIMPLE_TEXT_INPUT_PROTOCOL   mConIn;
EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL  mConOut;
EFI_SIMPLE_TEXT_OUTPUT_MODE      mConOutMode;

std::u16string
NameOf (const CHAR16 *Name)
{
  return std::u16string (reinterpret_cast<const char16_t *>(Name));
}

VARIABLE_KEY
KeyOf (const CHAR16 *Name, const EFI_GUID &Guid)
{
  return { NameOf (Name), std::string (reinterpret_cast<const char *>(&Guid), sizeof (EFI_GUID)) };
}

EFI_STATUS
EFIAPI
FwGetVariable (CHAR16 *VariableName, EFI_GUID *VendorGuid, UINT32 *Attributes, UINTN *DataSize, VOID *Data)
{
  EFI_STATUS  Status;

  if (Failing ("GetVariable", &Status)) {
    return Status;
  }

  if ((VariableName == NULL) || (VendorGuid == NULL) || (DataSize == NULL) || (VariableName[0] == 0)) {
    return EFI_INVALID_PARAMETER;
  }

  auto  It = mFw.Variables.find (KeyOf (VariableName, *VendorGuid));
  if (It == mFw.Variables.end ()) {
    return EFI_NOT_FOUND;
  }

  const VARIABLE  &Variable = It->second;
  if (Attributes != NULL) {
    *Attributes = Variable.Attributes;
  }

  if (*DataSize < Variable.Data.size ()) {
    *DataSize = Variable.Data.size ();
    return EFI_BUFFER_TOO_SMALL;
  }

  if ((Data == NULL) && !Variable.Data.empty ()) {
    return EFI_INVALID_PARAMETER;
  }

  *DataSize = Variable.Data.size ();
  if (!Variable.Data.empty ()) {
    std::memcpy (Data, Variable.Data.data (), Variable.Data.size ());
  }

  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
FwSetVariable (CHAR16 *VariableName, EFI_GUID *VendorGuid, UINT32 Attributes, UINTN DataSize, VOID *Data)
{
  EFI_STATUS  Status;

  mFw.SetVariableCalls++;
  if (Failing ("SetVariable", &Status)) {
    return Status;
  }

  if (mFw.FailSetVariable != EFI_SUCCESS) {
    return mFw.FailSetVariable;
  }

  if ((VariableName == NULL) || (VariableName[0] == 0) || (VendorGuid == NULL) ||
      ((DataSize != 0) && (Data == NULL)))
  {
    return EFI_INVALID_PARAMETER;
  }

  // Runtime access needs boot-services access; authenticated writes are not modelled.
  if (((Attributes & EFI_VARIABLE_RUNTIME_ACCESS) != 0) && ((Attributes & EFI_VARIABLE_BOOTSERVICE_ACCESS) == 0)) {
    return EFI_INVALID_PARAMETER;
  }

  if ((Attributes & (EFI_VARIABLE_AUTHENTICATED_WRITE_ACCESS | EFI_VARIABLE_TIME_BASED_AUTHENTICATED_WRITE_ACCESS)) != 0) {
    return EFI_UNSUPPORTED;
  }

  auto  Key = KeyOf (VariableName, *VendorGuid);
  auto  It  = mFw.Variables.find (Key);
  bool  Append = (Attributes & EFI_VARIABLE_APPEND_WRITE) != 0;
  UINT32  Stored = Attributes & ~EFI_VARIABLE_APPEND_WRITE;

  // An existing variable keeps its attributes: a write, or a delete, naming others is
  // refused; only a call with no attributes at all deletes it whatever they are.
  if ((It != mFw.Variables.end ()) && (Attributes != 0) && (It->second.Attributes != Stored)) {
    return EFI_INVALID_PARAMETER;
  }

  if ((!Append && (DataSize == 0)) || ((Stored & (EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_RUNTIME_ACCESS)) == 0)) {
    if (It == mFw.Variables.end ()) {
      return EFI_NOT_FOUND;
    }

    mFw.Variables.erase (It);
    return EFI_SUCCESS;
  }

  // A full store refuses what needs more room; the old value stays.
  if ((mFw.NvSpace != 0) && ((Stored & EFI_VARIABLE_NON_VOLATILE) != 0)) {
    size_t  Used = 0;
    for (const auto &Entry : mFw.Variables) {
      if (((Entry.second.Attributes & EFI_VARIABLE_NON_VOLATILE) != 0) && (Entry.first != Key)) {
        Used += (Entry.first.first.size () + 1) * sizeof (CHAR16) + Entry.second.Data.size ();
      }
    }

    size_t  Kept = ((It != mFw.Variables.end ()) && Append) ? It->second.Data.size () : 0;
    if (Used + (Key.first.size () + 1) * sizeof (CHAR16) + Kept + DataSize > mFw.NvSpace) {
      return EFI_OUT_OF_RESOURCES;
    }
  }

  const uint8_t  *Bytes = static_cast<const uint8_t *>(Data);
  if (It != mFw.Variables.end ()) {
    if (Append) {
      It->second.Data.insert (It->second.Data.end (), Bytes, Bytes + DataSize);
    } else {
      It->second.Data.assign (Bytes, Bytes + DataSize);
    }

    return EFI_SUCCESS;
  }

  mFw.Variables[Key] = { Stored, std::vector<uint8_t>(Bytes, Bytes + DataSize) };
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
FwGetNextVariableName (UINTN *VariableNameSize, CHAR16 *VariableName, EFI_GUID *VendorGuid)
{
  if ((VariableNameSize == NULL) || (VariableName == NULL) || (VendorGuid == NULL)) {
    return EFI_INVALID_PARAMETER;
  }

  auto  It = mFw.Variables.begin ();
  if (VariableName[0] != 0) {
    It = mFw.Variables.find (KeyOf (VariableName, *VendorGuid));
    if (It == mFw.Variables.end ()) {
      return EFI_INVALID_PARAMETER;
    }

    ++It;
  }

  if (It == mFw.Variables.end ()) {
    return EFI_NOT_FOUND;
  }

  UINTN  Need = (It->first.first.size () + 1) * sizeof (CHAR16);
  if (*VariableNameSize < Need) {
    *VariableNameSize = Need;
    return EFI_BUFFER_TOO_SMALL;
  }

  std::memcpy (VariableName, It->first.first.c_str (), Need);
  std::memcpy (VendorGuid, It->first.second.data (), sizeof (EFI_GUID));
  *VariableNameSize = Need;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI ConInReset (EFI_SIMPLE_TEXT_INPUT_PROTOCOL *, BOOLEAN) { return EFI_SUCCESS; }

EFI_STATUS
EFIAPI
ConInReadKeyStroke (EFI_SIMPLE_TEXT_INPUT_PROTOCOL *This, EFI_INPUT_KEY *Key)
{
  if (mFw.Keys.empty ()) {
    return EFI_NOT_READY;
  }

  *Key = { SCAN_NULL, mFw.Keys.front () };
  mFw.Keys.pop_front ();
  return EFI_SUCCESS;
}

// ---- the console that swallows what UefiLib prints ---------------------------

EFI_STATUS EFIAPI ConOutReset (EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *, BOOLEAN) { return EFI_SUCCESS; }
EFI_STATUS EFIAPI ConOutTestString (EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *, CHAR16 *) { return EFI_SUCCESS; }
EFI_STATUS EFIAPI ConOutClearScreen (EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *) { return EFI_SUCCESS; }
EFI_STATUS EFIAPI ConOutSetCursorPosition (EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *, UINTN, UINTN) { return EFI_SUCCESS; }
EFI_STATUS EFIAPI ConOutEnableCursor (EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *, BOOLEAN) { return EFI_SUCCESS; }

EFI_STATUS
EFIAPI
ConOutString (EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *This, CHAR16 *String)
{
  for (; (String != NULL) && (*String != 0); String++) {
    mFw.Console.push_back (static_cast<char>(*String));
  }

  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
ConOutQueryMode (EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *This, UINTN ModeNumber, UINTN *Columns, UINTN *Rows)
{
  if (ModeNumber != 0) {
    return EFI_UNSUPPORTED;
  }

  *Columns = 80;
  *Rows    = 25;
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
ConOutSetMode (EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *This, UINTN ModeNumber)
{
  return (ModeNumber == 0) ? EFI_SUCCESS : EFI_UNSUPPORTED;
}

EFI_STATUS
EFIAPI
ConOutSetAttribute (EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *This, UINTN Attribute)
{
  mConOutMode.Attribute = static_cast<INT32>(Attribute);
  return EFI_SUCCESS;
}

void
ResetConsole (EFI_SYSTEM_TABLE *St)
{
  mConOutMode                = {};
  mConOutMode.MaxMode        = 1;
  mConOut                    = {};
  mConOut.Reset              = ConOutReset;
  mConOut.OutputString       = ConOutString;
  mConOut.TestString         = ConOutTestString;
  mConOut.QueryMode          = ConOutQueryMode;
  mConOut.SetMode            = ConOutSetMode;
  mConOut.SetAttribute       = ConOutSetAttribute;
  mConOut.ClearScreen        = ConOutClearScreen;
  mConOut.SetCursorPosition  = ConOutSetCursorPosition;
  mConOut.EnableCursor       = ConOutEnableCursor;
  mConOut.Mode               = &mConOutMode;
  mConIn                     = { ConInReset, ConInReadKeyStroke, &mKeyEvent };
  St->ConIn                  = &mConIn;
  St->ConOut                 = &mConOut;
  St->StdErr                 = &mConOut;
}

} // namespace fake::internal

namespace fake {

using namespace internal;

void
Firmware::PutVariable (const CHAR16 *Name, const EFI_GUID &Guid, UINT32 Attributes, const void *Data, size_t Size)
{
  const uint8_t  *Bytes = static_cast<const uint8_t *>(Data);

  mFw.Variables[KeyOf (Name, Guid)] = { Attributes, std::vector<uint8_t>(Bytes, Bytes + Size) };
}

bool
Firmware::ReadVariable (const CHAR16 *Name, const EFI_GUID &Guid, std::vector<uint8_t> *Data, UINT32 *Attributes)
{
  auto  It = mFw.Variables.find (KeyOf (Name, Guid));

  if (It == mFw.Variables.end ()) {
    return false;
  }

  if (Data != nullptr) {
    *Data = It->second.Data;
  }

  if (Attributes != nullptr) {
    *Attributes = It->second.Attributes;
  }

  return true;
}

void   Firmware::FailSetVariable (EFI_STATUS Status) { mFw.FailSetVariable = Status; }
size_t Firmware::SetVariableCalls () { return mFw.SetVariableCalls; }
void   Firmware::LimitNvSpace (size_t Bytes) { mFw.NvSpace = Bytes; }
std::string Firmware::ConsoleOutput () { return mFw.Console; }
void        Firmware::QueueKeys (const char16_t *Keys) { mFw.Keys.insert (mFw.Keys.end (), Keys, Keys + std::char_traits<char16_t>::length (Keys)); }

} // namespace fake

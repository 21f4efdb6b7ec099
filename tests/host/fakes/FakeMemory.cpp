/** @file
  Pool and pages, and the record of every block handed out and not yet freed.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#include "FakeFirmwareInternal.h"

#include <cstdlib>

namespace fake::internal {

void *
PoolAllocate (size_t Size)
{
  void  *Block = std::malloc (Size == 0 ? 1 : Size);

  mFw.Pool[Block] = Size;
  mFw.LiveBytes  += Size;
  return Block;
}

void
PoolFree (void *Block)
{
  auto  It = mFw.Pool.find (Block);

  mFw.LiveBytes -= It->second;
  mFw.Pool.erase (It);
  std::free (Block);
}

EFI_STATUS
EFIAPI
FwAllocatePool (EFI_MEMORY_TYPE PoolType, UINTN Size, VOID **Buffer)
{
  EFI_STATUS  Status;

  if (Failing ("AllocatePool", &Status)) {
    return Status;
  }

  if (Buffer == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  mFw.AllocationCount++;
  if ((mFw.FailAllocationIn != 0) && (--mFw.FailAllocationIn == 0)) {
    *Buffer = NULL;
    return EFI_OUT_OF_RESOURCES;
  }

  *Buffer = PoolAllocate (Size);
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
FwFreePool (VOID *Buffer)
{
  if ((Buffer == NULL) || (mFw.Pool.count (Buffer) == 0)) {
    ADD_FAILURE () << "FreePool of a block the pool never handed out: " << Buffer;
    return EFI_INVALID_PARAMETER;
  }

  PoolFree (Buffer);
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
FwAllocatePages (EFI_ALLOCATE_TYPE Type, EFI_MEMORY_TYPE MemoryType, UINTN Pages, EFI_PHYSICAL_ADDRESS *Memory)
{
  EFI_STATUS  Status;

  if (Failing ("AllocatePages", &Status)) {
    return Status;
  }

  if ((Memory == NULL) || (Pages == 0)) {
    return EFI_INVALID_PARAMETER;
  }

  if (Type == AllocateAddress) {
    return EFI_NOT_FOUND;   // host memory has no fixed addresses to give
  }

  void  *Block = std::aligned_alloc (EFI_PAGE_SIZE, Pages * EFI_PAGE_SIZE);
  if (Block == nullptr) {
    return EFI_OUT_OF_RESOURCES;
  }

  *Memory                                     = reinterpret_cast<UINTN>(Block);
  mFw.Pages[*Memory]                             = Pages;
  mFw.LiveBytes                                 += Pages * EFI_PAGE_SIZE;
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
FwFreePages (EFI_PHYSICAL_ADDRESS Memory, UINTN Pages)
{
  auto  It = mFw.Pages.find (Memory);

  if ((It == mFw.Pages.end ()) || (It->second != Pages)) {
    ADD_FAILURE () << "FreePages of pages never allocated (or a different count)";
    return EFI_NOT_FOUND;
  }

  mFw.LiveBytes -= Pages * EFI_PAGE_SIZE;
  mFw.Pages.erase (It);
  std::free (reinterpret_cast<void *>(static_cast<UINTN>(Memory)));
  return EFI_SUCCESS;
}

} // namespace fake::internal

namespace fake {

using namespace internal;

size_t Firmware::LiveAllocations () { return mFw.Pool.size () + mFw.Pages.size (); }
size_t Firmware::LiveBytes () { return mFw.LiveBytes; }
void   Firmware::FailAllocation (size_t Nth) { mFw.FailAllocationIn = Nth; }
size_t Firmware::AllocationCount () { return mFw.AllocationCount; }

} // namespace fake

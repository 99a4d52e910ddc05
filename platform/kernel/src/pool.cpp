// Executive pool: tagged blocks attributed to the driver whose code asked,
// so that unload can tell what a driver left behind. Fresh blocks are filled
// with a pattern, as pool is not zeroed, so that code relying on zeroed pool
// shows up.
#include <platform/faults.h>
#include <platform/verifier.h>

#include <cstring>
#include <new>

#include "io_state.h"

using namespace platform;
using namespace platform::io;

namespace {

constexpr unsigned char kFreshPoolPattern = 0xA5;

PVOID allocate(POOL_TYPE, SIZE_T numberOfBytes, ULONG tag, const void* callSite) {
  if (FaultInjector::current().shouldFail(fault::kPool, callSite)) return nullptr;
  std::size_t size = numberOfBytes == 0 ? 1 : numberOfBytes;
  void* block = ::operator new (size, std::align_val_t{16}, std::nothrow);
  if (block == nullptr) return nullptr;
  std::memset(block, kFreshPoolPattern, size);
  auto& state = IoState::current();
  state.freedPool.erase(block);
  state.pool[block] = PoolBlock{size, tag, currentDriver()};
  return block;
}

void release(PVOID block, std::optional<ULONG> tag) {
  auto& state = IoState::current();
  auto found = state.pool.find(block);
  if (found == state.pool.end()) {
    if (state.freedPool.count(block) != 0)
      reportViolation(rule::kDoubleFree, "pool block", "ExFreePool of a block that was already freed");
    else
      reportViolation(rule::kBadObject, "pool block", "ExFreePool of an address that is not a pool block");
    return;
  }
  if (tag && *tag != found->second.tag)
    reportViolation(rule::kBadObject, "pool block",
                    "ExFreePoolWithTag with tag " + hex32(*tag) + " for a block tagged " + hex32(found->second.tag));
  state.freedPool[block] = found->second.tag;
  state.pool.erase(found);
  ::operator delete (block, std::align_val_t{16});
}

}  // namespace

extern "C" {

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  return allocate(PoolType, NumberOfBytes, Tag, __builtin_return_address(0));
}

PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
  return allocate(PoolType, NumberOfBytes, 0x656E6F4E /* 'None' */, __builtin_return_address(0));
}

VOID NTAPI ExFreePool(PVOID P) { release(P, std::nullopt); }

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) { release(P, Tag); }

}  // extern "C"

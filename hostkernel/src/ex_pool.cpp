// The executive's pool services, as the driver calls them.
#include "ex_pool_internal.h"

using namespace hk::pool;

extern "C" {

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    return Allocate(PoolType, NumberOfBytes, Tag, "ExAllocatePoolWithTag", __builtin_return_address(0));
}

// The exported routine tags "None"; only the Microsoft headers' macro makes
// it "Ddk ".
PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes)
{
    return Allocate(PoolType, NumberOfBytes, HkTagNone, "ExAllocatePool", __builtin_return_address(0));
}

VOID NTAPI ExFreePool(PVOID P)
{
    Free(P, nullptr, "ExFreePool");
}

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag)
{
    Free(P, &Tag, "ExFreePoolWithTag");
}

} // extern "C"

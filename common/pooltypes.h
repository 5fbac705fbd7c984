// Pool types of this driver.
//
// Nothing the driver allocates is ever executed, so none of it comes from
// executable pool: the driver's own allocations name NonPagedPoolNx, and the
// one pool type it is handed (the port's, for a new stream) passes through
// NonExecutablePoolType first. With memory integrity on, the kernel refuses
// executable pool to a driver (Driver Verifier stops the system on it), and
// executable kernel memory that nothing runs from only helps an attacker.
// NonPagedPoolNx exists from Windows 8 on, which makes Windows 8 the oldest
// system this driver runs on.
#pragma once

#include <wdm.h>

// The pool type to allocate from for a pool type a caller gave: executable
// non-paged pool becomes its non-executable twin (with the same alignment);
// every other type, already non-executable (paged pool and the Nx types) or
// one the driver has no business changing, is kept as it is.
inline POOL_TYPE NonExecutablePoolType(POOL_TYPE PoolType)
{
    switch (PoolType)
    {
    case NonPagedPool:
        return NonPagedPoolNx;
    case NonPagedPoolCacheAligned:
        return NonPagedPoolNxCacheAligned;
    default:
        return PoolType;
    }
}

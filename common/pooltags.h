// Pool tags of this driver, as 32-bit values whose bytes in memory spell the
// tag (a tag shows up in pool dumps byte by byte).
#pragma once

#include <wdm.h>

// Miniport and stream objects: the bytes P, c, C, r.
#define POOL_TAG_OBJECT ((ULONG)0x72436350)

// Transfer buffers shared with the engine: the bytes w, V, U, N.
#define POOL_TAG_TRANSFER ((ULONG)0x4E555677)

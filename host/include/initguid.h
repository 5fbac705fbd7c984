// Included first in the one translation unit that instantiates the GUIDs
// declared with DEFINE_GUID in the headers that follow it.
#pragma once

#define INITGUID
#undef DEFINE_GUID
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8)                               \
    EXTERN_C const GUID __attribute__((weak)) name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}

// Host stand-in: <ntddk.h> is <wdm.h> plus routines of the full kernel.
#pragma once

#include <wdm.h>

// Storage for every GUID the platform headers declare: the port class
// library's IIDs and CLSIDs, the kernel-streaming and audio identifiers and
// IID_IUnknown; and the companion driver's GUID_ENGINE_INTERFACE, which the
// host's model of it answers (the driver instantiates its own). On Windows
// these come from the import libraries; here one translation unit
// instantiates them. The definitions are weak, so a driver source that
// includes <initguid.h> itself links alongside this one, and the host
// platform links without the driver.
#include <initguid.h>

#include <wdm.h>
#include <mmreg.h>
#include <punknown.h>
#include <ks.h>
#include <ksmedia.h>
#include <portcls.h>

#include "engine/engineinterface.h"

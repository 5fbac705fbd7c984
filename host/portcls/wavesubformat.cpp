#include "host/portcls/wavesubformat.h"

namespace host::portcls
{

GUID WaveSubFormat(USHORT tag)
{
    GUID guid = KSDATAFORMAT_SUBTYPE_WAVEFORMATEX;
    guid.Data1 = tag;
    return guid;
}

} // namespace host::portcls

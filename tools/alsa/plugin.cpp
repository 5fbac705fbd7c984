// The entry point ALSA looks for in libasound_module_pcm_nuvaudio.so when a
// configuration names `type nuvaudio`; everything else of the module is
// hidden (plugin.map), so that the host platform and the driver inside it
// cannot clash with anything in the application's process.
#include "tools/alsa/nuvaudiopcm.h"

extern "C"
{

    SND_PCM_PLUGIN_DEFINE_FUNC(nuvaudio)
    {
        (void)root;
        return nuvalsa::NuvaudioPcm::Open(pcmp, name, conf, stream, mode);
    }

    SND_PCM_PLUGIN_SYMBOL(nuvaudio)
}

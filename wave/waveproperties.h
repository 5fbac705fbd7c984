// The wave filter's two property handlers, reached through the automation
// tables of wavetables.cpp. Both run at PASSIVE_LEVEL, in pageable code.
//
//   SetChannelConfig  KSPROPSETID_Audio / KSPROPERTY_AUDIO_CHANNEL_CONFIG on
//                     the DAC node, SET only: the speaker mask chooses the
//                     channel count that later PCM intersections offer when
//                     the system lacks WDM 6.0. Nothing is sent to the engine
//                     and running streams are not touched.
//   GetComponentId    KSPROPSETID_General / KSPROPERTY_GENERAL_COMPONENTID on
//                     the filter, GET and basic support: WaveComponentId.
//
// PropertyRequest->MajorTarget is the wave miniport the request is for, as
// the port passes it (the miniport's primary interface).
#pragma once

#include <portcls.h>

_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS NTAPI
    SetChannelConfig(_In_ PPCPROPERTY_REQUEST PropertyRequest);

_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS NTAPI
    GetComponentId(_In_ PPCPROPERTY_REQUEST PropertyRequest);

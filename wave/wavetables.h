// The wave filter's descriptor tables, shared by the four wave filters and
// never written. GetDescription hands out WaveFilterDescriptorMulti for device
// index 3 (pin 0 takes up to six channels) and WaveFilterDescriptorStereo for
// the others; the two differ only in the data range of pin 0.
//
//     Pin 0 (render sink, PCM from a client) --> DAC node --> Pin 1 (bridge,
//     analog out, connected physically to the topology filter's pin 0)
//
// The filter carries the component-identifier property; the DAC node the
// channel-configuration property (waveproperties.h). Everything here is
// constant-initialised data: no code runs to build it.
#pragma once

#include <portcls.h>
#include <ksmedia.h>

// Pins and nodes of every wave filter.
#define WAVE_PIN_RENDER 0
#define WAVE_PIN_BRIDGE 1
#define WAVE_NODE_DAC 0

// The device index whose filter offers six channels.
#define WAVE_MULTICHANNEL_DEVICE_INDEX 3

// Component identifier: the product and its display name in the platform's
// media-category registry.
// {E64F2B7F-A073-4B3D-9F1B-51499869A401}
#define STATIC_NUV_COMPONENT_PRODUCT                                                               \
    0xE64F2B7F, 0xA073, 0x4B3D, 0x9F, 0x1B, 0x51, 0x49, 0x98, 0x69, 0xA4, 0x01
// {B9A541A2-F146-4678-9EDA-232E07896E70}
#define STATIC_NUV_COMPONENT_NAME                                                                  \
    0xB9A541A2, 0xF146, 0x4678, 0x9E, 0xDA, 0x23, 0x2E, 0x07, 0x89, 0x6E, 0x70
#define NUV_COMPONENT_VERSION 1
#define NUV_COMPONENT_REVISION 2

extern const KSDATARANGE_AUDIO WavePcmDataRangeMulti;
extern const KSDATARANGE_AUDIO WavePcmDataRangeStereo;
extern const KSDATARANGE WaveBridgeDataRange;

extern const PCPIN_DESCRIPTOR WavePinsMulti[2];
extern const PCPIN_DESCRIPTOR WavePinsStereo[2];
extern const PCNODE_DESCRIPTOR WaveNodes[1];
extern const PCCONNECTION_DESCRIPTOR WaveConnections[2];

extern const PCAUTOMATION_TABLE WaveFilterAutomation;
extern const PCAUTOMATION_TABLE DacNodeAutomation;

extern const PCFILTER_DESCRIPTOR WaveFilterDescriptorMulti;
extern const PCFILTER_DESCRIPTOR WaveFilterDescriptorStereo;

// What KSPROPERTY_GENERAL_COMPONENTID answers for every wave filter.
extern const KSCOMPONENTID WaveComponentId;

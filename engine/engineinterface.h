// The engine interface of the companion USB driver.
//
// The companion driver owns the device and exposes a direct-call engine. This
// driver obtains it at device start with IRP_MN_QUERY_INTERFACE for
// GUID_ENGINE_INTERFACE (version 1, 56 bytes); the answer lands in an
// ENGINE_INTERFACE record in the adapter's device extension. Every engine
// command is one call:
//
//     ENGINE_RATE_PARAMS rate = {};          // on the caller's stack
//     rate.SampleRate = 0;                   // 0 only asks
//     EngineCall(EngineContext, ENGINE_CMD_SAMPLE_RATE, &rate);
//     ULONG current = rate.CurrentRate;      // answers come back in the block
//
// The value EngineCall returns is never examined. Every field of a block is
// a 32-bit unsigned value at the offset asserted below; addresses are 64-bit.
// This header is the contract between the two drivers: the host's model of
// the companion driver includes it too.
#pragma once

#include <wdm.h>

// {520E6EF3-2923-4B79-936C-5E4C17E98D9A}
DEFINE_GUID(GUID_ENGINE_INTERFACE, 0x520E6EF3, 0x2923, 0x4B79, 0x93, 0x6C, 0x5E, 0x4C, 0x17, 0xE9,
            0x8D, 0x9A);

#define ENGINE_INTERFACE_VERSION 1

// Engine command numbers.
#define ENGINE_CMD_REGISTER_NOTIFY 0
#define ENGINE_CMD_ATTACH_BUFFER 2
#define ENGINE_CMD_START 3
#define ENGINE_CMD_STOP 4
#define ENGINE_CMD_SET_FORMAT 5
#define ENGINE_CMD_SAMPLE_RATE 6
#define ENGINE_CMD_GET_PERIOD 12
#define ENGINE_CMD_GET_POSITION 18

// The engine's single entry point. Results come back in the parameter block.
typedef NTSTATUS(NTAPI* PENGINE_CALL)(PVOID EngineContext, ULONG Command, PVOID Parameters);

// Called by the engine once per period of a running stream, with the values
// registered by ENGINE_CMD_REGISTER_NOTIFY; runs at DISPATCH_LEVEL.
typedef VOID(NTAPI* PENGINE_NOTIFY)(ULONG Capture, ULONG Pin, PVOID CallbackContext);

typedef struct _ENGINE_INTERFACE
{
    struct _INTERFACE Header; // filled by the companion driver; never read or called here
    PENGINE_CALL EngineCall;
    PVOID EngineContext;
    ULONG InstanceCount; // pairs installed so far: the device index of the pair being built
    ULONG Reserved;
} ENGINE_INTERFACE, *PENGINE_INTERFACE;

// ENGINE_CMD_REGISTER_NOTIFY: both Callback and CallbackContext null clears
// the registration; a cleared callback is not called again.
typedef struct _ENGINE_NOTIFY_PARAMS
{
    ULONG Capture;
    ULONG DeviceIndex;
    ULONG Pin;
    ULONG Unused; // not written
    PENGINE_NOTIFY Callback;
    PVOID CallbackContext;
} ENGINE_NOTIFY_PARAMS, *PENGINE_NOTIFY_PARAMS;

// ENGINE_CMD_ATTACH_BUFFER: Buffer holds two halves of PeriodBytes each. To
// detach, Buffer, PeriodBytes and BufferChannels are 0; a detached buffer is
// not touched again.
typedef struct _ENGINE_BUFFER_PARAMS
{
    ULONG Capture;
    ULONG DeviceIndex;
    ULONG Pin;
    ULONG Channels;
    PVOID Buffer;
    ULONG PeriodBytes;
    ULONG BufferChannels;
} ENGINE_BUFFER_PARAMS, *PENGINE_BUFFER_PARAMS;

// ENGINE_CMD_START and ENGINE_CMD_STOP.
typedef struct _ENGINE_STREAM_PARAMS
{
    ULONG Capture;
    ULONG DeviceIndex;
    ULONG Pin;
    ULONG Channels;
} ENGINE_STREAM_PARAMS, *PENGINE_STREAM_PARAMS;

// ENGINE_CMD_SET_FORMAT: Result (written by the engine) is the status of the
// stream's format change; 0 accepts.
typedef struct _ENGINE_FORMAT_PARAMS
{
    ULONG DeviceIndex;
    ULONG SampleRate;
    ULONG Channels;
    ULONG BitsPerSample;
    ULONG NonPcm;
    ULONG Result;
} ENGINE_FORMAT_PARAMS, *PENGINE_FORMAT_PARAMS;

// ENGINE_CMD_SAMPLE_RATE: the rate of the whole device. SampleRate 0 only
// asks; a request failed if CurrentRate differs from it.
typedef struct _ENGINE_RATE_PARAMS
{
    ULONG SampleRate;
    ULONG CurrentRate;
} ENGINE_RATE_PARAMS, *PENGINE_RATE_PARAMS;

// ENGINE_CMD_GET_PERIOD: frames per period, at least 1.
typedef struct _ENGINE_PERIOD_PARAMS
{
    ULONG PeriodFrames;
} ENGINE_PERIOD_PARAMS, *PENGINE_PERIOD_PARAMS;

// ENGINE_CMD_GET_POSITION: Position in sample frames, meaningful modulo one
// period.
typedef struct _ENGINE_POSITION_PARAMS
{
    ULONG Capture;
    ULONG PinOffset;
    ULONG Position;
} ENGINE_POSITION_PARAMS, *PENGINE_POSITION_PARAMS;

// The layouts both drivers agree on.
static_assert(sizeof(ENGINE_INTERFACE) == 56, "ENGINE_INTERFACE is 56 bytes");
static_assert(FIELD_OFFSET(ENGINE_INTERFACE, EngineCall) == 32, "EngineCall at 32");
static_assert(FIELD_OFFSET(ENGINE_INTERFACE, EngineContext) == 40, "EngineContext at 40");
static_assert(FIELD_OFFSET(ENGINE_INTERFACE, InstanceCount) == 48, "InstanceCount at 48");

static_assert(sizeof(ENGINE_NOTIFY_PARAMS) == 32, "REGISTER_NOTIFY block");
static_assert(FIELD_OFFSET(ENGINE_NOTIFY_PARAMS, Pin) == 8, "REGISTER_NOTIFY Pin at 8");
static_assert(FIELD_OFFSET(ENGINE_NOTIFY_PARAMS, Callback) == 16, "Callback at 16");
static_assert(FIELD_OFFSET(ENGINE_NOTIFY_PARAMS, CallbackContext) == 24, "CallbackContext at 24");

static_assert(sizeof(ENGINE_BUFFER_PARAMS) == 32, "ATTACH_BUFFER block");
static_assert(FIELD_OFFSET(ENGINE_BUFFER_PARAMS, Channels) == 12, "Channels at 12");
static_assert(FIELD_OFFSET(ENGINE_BUFFER_PARAMS, Buffer) == 16, "Buffer at 16");
static_assert(FIELD_OFFSET(ENGINE_BUFFER_PARAMS, PeriodBytes) == 24, "PeriodBytes at 24");
static_assert(FIELD_OFFSET(ENGINE_BUFFER_PARAMS, BufferChannels) == 28, "last field at 28");

static_assert(sizeof(ENGINE_STREAM_PARAMS) == 16, "START/STOP block");
static_assert(FIELD_OFFSET(ENGINE_STREAM_PARAMS, Channels) == 12, "Channels at 12");

static_assert(sizeof(ENGINE_FORMAT_PARAMS) == 24, "SET_FORMAT block");
static_assert(FIELD_OFFSET(ENGINE_FORMAT_PARAMS, NonPcm) == 16, "NonPcm at 16");
static_assert(FIELD_OFFSET(ENGINE_FORMAT_PARAMS, Result) == 20, "Result at 20");

static_assert(sizeof(ENGINE_RATE_PARAMS) == 8, "SAMPLE_RATE block");
static_assert(FIELD_OFFSET(ENGINE_RATE_PARAMS, CurrentRate) == 4, "CurrentRate at 4");

static_assert(sizeof(ENGINE_PERIOD_PARAMS) == 4, "GET_PERIOD block");

static_assert(sizeof(ENGINE_POSITION_PARAMS) == 12, "GET_POSITION block");
static_assert(FIELD_OFFSET(ENGINE_POSITION_PARAMS, PinOffset) == 4, "PinOffset at 4");
static_assert(FIELD_OFFSET(ENGINE_POSITION_PARAMS, Position) == 8, "Position at 8");

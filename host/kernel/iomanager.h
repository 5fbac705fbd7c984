// The host I/O manager: driver and device objects, device stacks, and the
// synchronous requests a driver builds and sends down its stack.
//
// The host creates a driver object for each driver it loads; its
// MajorFunction table starts out with a routine that completes every request
// with STATUS_INVALID_DEVICE_REQUEST:
//
//     PDRIVER_OBJECT driver = host::CreateDriverObject(u"\\Driver\\nuvaudio", DriverEntry);
//     NTSTATUS status = host::CallDriverEntry(driver, u"\\Registry\\...\\nuvaudio");
//     ...
//     host::DestroyDriverObject(driver);
//
// Requests may be completed on any thread (a lower driver that returns
// STATUS_PENDING and completes later). Misuse is a RequestMisuse violation: a
// request completed twice or with STATUS_PENDING, a stack that runs out of
// locations, an unknown request or device.
#pragma once

#include <wdm.h>

#include <cstddef>
#include <string_view>

// Returned by a completion routine that takes the request back.
#ifndef STATUS_MORE_PROCESSING_REQUIRED
#define STATUS_MORE_PROCESSING_REQUIRED ((NTSTATUS)0xC0000016L)
#endif

namespace host
{

// A driver object allocated by the host, with a driver extension, the name
// given and DriverInit = `entry` (which is not called).
PDRIVER_OBJECT CreateDriverObject(std::u16string_view name, PDRIVER_INITIALIZE entry = nullptr);
// Frees the driver object and any device objects still linked to it.
void DestroyDriverObject(PDRIVER_OBJECT driver);
// Calls DriverInit(driver, registryPath) at PASSIVE_LEVEL.
NTSTATUS CallDriverEntry(PDRIVER_OBJECT driver, std::u16string_view registryPath);

// The dispatch routine every MajorFunction entry starts with.
NTSTATUS NTAPI CompleteInvalidDeviceRequest(PDEVICE_OBJECT device, PIRP irp);

// Device objects alive (deleted ones with references outstanding included).
std::size_t LiveDeviceCount();

// Requests built and not yet freed: synchronous ones are freed when their
// completion reaches the top of the stack.
std::size_t LiveIrpCount();

// What IoIsWdmVersionAvailable answers: with true (the default) versions up
// to 6.0, with false only versions below 6.0.
void SetWdm60Available(bool available);

} // namespace host

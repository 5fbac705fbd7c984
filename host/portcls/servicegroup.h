// The library's service groups (PcNewServiceGroup).
//
// A group is reference-counted and keeps its members (IServiceSink objects)
// with a reference each. RequestService calls every member's RequestService
// in the order they were added; it takes its list and a reference on each
// member under the group's lock and calls them without it, so a member may
// be added or removed meanwhile, from a service or another thread: a member
// removed while a service runs may still receive that one call (it is kept
// alive for it) and none after. SupportDelayedService, RequestDelayedService
// and CancelDelayedService are accepted; the delayed request is served at
// once. PcNewServiceGroup runs at PASSIVE_LEVEL only, and asks
// host::ShouldFail("PcNewServiceGroup") and fails with STATUS_INSUFFICIENT_RESOURCES; the library
// does not aggregate groups, so an outer unknown is refused with STATUS_INVALID_PARAMETER.
//
//     PSERVICEGROUP group = nullptr;
//     PcNewServiceGroup(&group, nullptr);
//     group->AddMember(sink);
//     group->RequestService();           // sink->RequestService()
//     EXPECT_EQ(host::portcls::ServiceGroupMembers(group), 1u);
//
// A group released below zero references, or called after its last
// reference went, is reported as a conduct violation (dead groups are kept
// for a while, as the library's other objects are).
#pragma once

#include <portcls.h>

#include <cstddef>

namespace host::portcls
{

// The library's own groups, created and not yet released to zero.
std::size_t LiveServiceGroupCount();
// Members of a group the library made; 0 for any other object.
std::size_t ServiceGroupMembers(PSERVICEGROUP group);
// RequestService calls the group received (a delayed request counts).
std::size_t ServiceGroupRequests(PSERVICEGROUP group);
// References held on a group the library made.
long ServiceGroupReferences(PSERVICEGROUP group);

} // namespace host::portcls

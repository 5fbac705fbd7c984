// What a miniport stream must keep to with the mappings of its port stream
// (IPortWavePciStream::GetMapping and ReleaseMapping), checked in one place
// for every port stream of the host: the library's own (portstream.h) and the
// stand-in that unit tests of one stream hand it (tests/support).
//
//   - GetMapping and ReleaseMapping are called at DISPATCH_LEVEL with a spin
//     lock held: the stream's lock must be held across both;
//   - GetMapping gets non-null out-parameters;
//   - ReleaseMapping(tag) gives back the oldest outstanding mapping handed
//     out under that tag; with none outstanding (released twice, never got)
//     or only mappings of other tags outstanding, it is refused;
//   - a revocation takes back every outstanding mapping. The stream may
//     still release them until it gets its next mapping: it may have
//     decided to release one before it heard of the revocation (the
//     platform's documentation of RevokeMappings allows for such releases),
//     and its transfers are serialised, so a late release comes before its
//     next mapping; after that, a release is of the new mapping.
//
// When nothing is queued, GetMapping answers kNoMappingNow, as the platform's
// port does, and the port calls MappingAvailable once there is data.
//
// Breaches are reported as Custom violations ("port stream: ..."); the
// checker does not lock, the port calls it under its own lock, and reports
// Release's refusals itself (ReportPortStreamProblem) once it has let go.
//
//     host::portcls::MappingChecker mappings;
//     mappings.CheckCaller("GetMapping");
//     mappings.HandedOut(/*mapping=*/1, tag);
//     auto outcome = mappings.Release(tag);     // Released, mapping 1
#pragma once

#include <portcls.h>

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace host::portcls
{

// GetMapping's answer while no mapping is available.
inline constexpr NTSTATUS kNoMappingNow = STATUS_NOT_FOUND;

// A Custom violation "port stream: <problem>".
void ReportPortStreamProblem(const std::string& problem);
// A tag as the reports show it.
std::string TagText(PVOID tag);

class MappingChecker
{
public:
    struct Outstanding
    {
        std::uint64_t mapping; // the port's number for it
        PVOID tag;
    };

    struct ReleaseOutcome
    {
        enum class Kind
        {
            Released,       // `mapping` went back
            RevokedEarlier, // a revoked mapping, released late (allowed)
            Refused,        // `problem` says why (STATUS_INVALID_PARAMETER)
        };
        Kind kind = Kind::Refused;
        std::uint64_t mapping = 0;
        std::string problem;
    };

    // Reports a call below or above DISPATCH_LEVEL or with no spin lock held;
    // returns whether the caller kept the rule.
    bool CheckCaller(const char* method) const;
    // Reports a null out-parameter of GetMapping; returns whether all are set.
    bool CheckGetMappingArguments(PPHYSICAL_ADDRESS physicalAddress, PVOID* virtualAddress,
                                  PULONG byteCount, PULONG flags) const;

    // GetMapping handed out `mapping` under `tag`.
    void HandedOut(std::uint64_t mapping, PVOID tag);
    ReleaseOutcome Release(PVOID tag);
    // Takes back every outstanding mapping; returns them in the order they
    // were handed out.
    std::vector<Outstanding> RevokeAll();

    // In the order handed out.
    const std::deque<Outstanding>& OutstandingMappings() const { return m_outstanding; }
    // The tag of the first mapping handed out, or null.
    PVOID FirstTag() const { return m_firstTag; }

private:
    std::deque<Outstanding> m_outstanding;
    // Revoked mappings that may still be released before the next mapping.
    std::size_t m_revokedUnreleased = 0;
    PVOID m_firstTag = nullptr;
};

} // namespace host::portcls

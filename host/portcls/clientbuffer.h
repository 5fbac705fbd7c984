// One buffer of a client's stream, as the port holds it while the stream
// takes it in mappings: the bytes between two runs of guard bytes.
//
// Render buffers hold the client's audio and are only read by the stream:
// on completion the port checks that the guards and the data are as the
// client wrote them. Capture buffers are space the stream fills; only the
// guards are checked. A problem is returned as text for the port to report.
#pragma once

#include <wdm.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace host::portcls
{

class ClientBuffer
{
public:
    static constexpr std::size_t kGuardBytes = 64;
    static constexpr std::uint8_t kGuardFill = 0xFD;
    // What capture space holds before the stream writes it.
    static constexpr std::uint8_t kCaptureFill = 0xA5;

    // Render: a copy of the client's bytes.
    ClientBuffer(std::uint64_t id, std::uint64_t streamOffset, std::span<const std::uint8_t> bytes);
    // Capture: `size` bytes of space.
    ClientBuffer(std::uint64_t id, std::uint64_t streamOffset, std::size_t size);

    std::uint64_t Id() const { return m_id; }
    // Where the buffer's first byte lies in the client's stream.
    std::uint64_t StreamOffset() const { return m_streamOffset; }
    std::size_t Size() const { return m_size; }
    bool IsCapture() const { return m_capture; }
    std::uint8_t* Data() { return m_storage.data() + kGuardBytes; }
    std::vector<std::uint8_t> Bytes() const;

    // The first damage found: a guard byte changed, or (render) a data byte.
    std::optional<std::string> Check() const;

    // The port's bookkeeping of the buffer's mappings.
    std::size_t mappedBytes = 0;      // handed out so far, from the start
    std::size_t mappingsHanded = 0;   // mappings of this buffer handed out
    std::size_t mappingsReturned = 0; // released or revoked

    bool FullyMapped() const { return mappedBytes == m_size; }
    bool AllReturned() const { return FullyMapped() && mappingsReturned == mappingsHanded; }

private:
    std::uint64_t m_id;
    std::uint64_t m_streamOffset;
    std::size_t m_size;
    bool m_capture;
    std::vector<std::uint8_t> m_storage;  // guard, data, guard
    std::vector<std::uint8_t> m_original; // render: the client's bytes
};

} // namespace host::portcls

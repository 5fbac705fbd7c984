#include "host/portcls/clientbuffer.h"

#include <algorithm>
#include <cstring>

namespace host::portcls
{

ClientBuffer::ClientBuffer(std::uint64_t id, std::uint64_t streamOffset,
                           std::span<const std::uint8_t> bytes)
    : m_id(id), m_streamOffset(streamOffset), m_size(bytes.size()), m_capture(false),
      m_storage(bytes.size() + 2 * kGuardBytes, kGuardFill), m_original(bytes.begin(), bytes.end())
{
    std::copy(bytes.begin(), bytes.end(), Data());
}

ClientBuffer::ClientBuffer(std::uint64_t id, std::uint64_t streamOffset, std::size_t size)
    : m_id(id), m_streamOffset(streamOffset), m_size(size), m_capture(true),
      m_storage(size + 2 * kGuardBytes, kGuardFill)
{
    std::fill(Data(), Data() + size, kCaptureFill);
}

std::vector<std::uint8_t> ClientBuffer::Bytes() const
{
    const std::uint8_t* data = m_storage.data() + kGuardBytes;
    return {data, data + m_size};
}

std::optional<std::string> ClientBuffer::Check() const
{
    // Said only when something is wrong: every buffer is checked.
    const auto which = [this]
    {
        return "client buffer " + std::to_string(m_id) + " (stream bytes " +
               std::to_string(m_streamOffset) + " to " + std::to_string(m_streamOffset + m_size) +
               ")";
    };
    for (std::size_t i = 0; i < kGuardBytes; ++i)
    {
        if (m_storage[i] != kGuardFill)
            return which() + ": byte " + std::to_string(kGuardBytes - i) +
                   " before the buffer was written";
        if (m_storage[kGuardBytes + m_size + i] != kGuardFill)
            return which() + ": byte " + std::to_string(i) + " after the buffer's end was written";
    }
    const std::uint8_t* data = m_storage.data() + kGuardBytes;
    if (m_capture || m_size == 0 || std::memcmp(m_original.data(), data, m_size) == 0)
        return std::nullopt;
    auto mismatch = std::mismatch(m_original.begin(), m_original.end(), data);
    return which() + ": render data written at byte " +
           std::to_string(mismatch.first - m_original.begin()) + " (a render mapping is only read)";
}

} // namespace host::portcls

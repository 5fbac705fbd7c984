// The fuzzer's bytes, taken from the front as the harness needs them. Once
// they run out every read answers 0 (or an empty span), so a harness never
// needs to check for the end and every input, however short, is a run.
//
//     nuvfuzz::FuzzInput in(data, size);
//     const ULONG id = in.U8();
//     std::span<const std::uint8_t> blob = in.Bytes(in.U16());
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace nuvfuzz
{

class FuzzInput
{
public:
    FuzzInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool Empty() const { return offset_ >= size_; }
    std::size_t Remaining() const { return size_ - offset_; }

    std::uint8_t U8() { return Take<std::uint8_t>(); }
    std::uint16_t U16() { return Take<std::uint16_t>(); }
    std::uint32_t U32() { return Take<std::uint32_t>(); }
    bool Bool() { return (U8() & 1) != 0; }
    // A value in [0, count); 0 when count is 0.
    std::uint32_t Below(std::uint32_t count) { return count == 0 ? 0 : U32() % count; }
    std::uint8_t Choice(std::uint8_t count) { return count == 0 ? 0 : U8() % count; }

    // Up to `count` bytes (fewer when the input ends).
    std::span<const std::uint8_t> Bytes(std::size_t count)
    {
        const std::size_t taken = count < Remaining() ? count : Remaining();
        if (taken == 0)
            return {};
        std::span<const std::uint8_t> bytes(data_ + offset_, taken);
        offset_ += taken;
        return bytes;
    }
    std::span<const std::uint8_t> Rest() { return Bytes(Remaining()); }

private:
    template <class T> T Take()
    {
        T value{};
        const std::size_t taken = sizeof(T) < Remaining() ? sizeof(T) : Remaining();
        if (taken != 0)
            std::memcpy(&value, data_ + offset_, taken);
        offset_ += taken;
        return value;
    }

    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t offset_ = 0;
};

} // namespace nuvfuzz

// The timed operations of the transfer benchmarks; see measures.h.
#include "bench/measures.h"

#include "bench/benchport.h"
#include "host/kernel/processor.h"
#include "stream/convert.h"
#include "stream/minstream.h"
#include "tests/support/streamtestpeer.h"

extern "C"
{
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

#include <emmintrin.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <stdexcept>

namespace nuvbench
{

std::string Layout::Name() const
{
    return std::string(capture ? "capture" : "render") + ":" + std::to_string(8 * bytesPerSample) +
           ":" + std::to_string(channels) + ":" + std::to_string(frames);
}

std::vector<Piece> CutPieces(std::uint8_t* data, std::size_t size, ULONG pieceBytes)
{
    std::vector<Piece> pieces;
    for (std::size_t at = 0; at < size; at += pieceBytes)
        pieces.push_back(
            {data + at, static_cast<ULONG>(std::min<std::size_t>(pieceBytes, size - at))});
    return pieces;
}

bool ProcessorHasSsse3()
{
    return __builtin_cpu_supports("ssse3");
}

void UsePath(Path path)
{
    host::ClearProcessorFeatureOverrides();
    if (path == Path::Sse2)
        host::SetProcessorFeatureOverride(PF_SSSE3_INSTRUCTIONS_AVAILABLE, false);
    SelectSampleConversion();
}

namespace
{

// 64-byte aligned, as a pool block is at least 16-byte aligned; filled with
// arbitrary sample values.
class Buffer
{
public:
    explicit Buffer(std::size_t size)
        : data_(static_cast<std::uint8_t*>(std::aligned_alloc(64, (size + 63) / 64 * 64)))
    {
        if (data_ == nullptr)
            throw std::bad_alloc();
        std::mt19937 rng(static_cast<unsigned>(size));
        for (std::size_t i = 0; i < size; ++i)
            data_[i] = static_cast<std::uint8_t>(rng());
    }
    ~Buffer() { std::free(data_); }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    std::uint8_t* Data() const { return data_; }

private:
    std::uint8_t* data_;
};

// The limit: 64 bytes per step with unaligned SSE2 loads and stores, the
// same instructions the conversion has to work with.
void CopySse2(std::uint8_t* to, const std::uint8_t* from, std::size_t size)
{
    std::size_t at = 0;
    for (; at + 64 <= size; at += 64)
    {
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + at));
        __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + at + 16));
        __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + at + 32));
        __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + at + 48));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to + at), a);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to + at + 16), b);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to + at + 32), c);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to + at + 48), d);
    }
    for (; at + 16 <= size; at += 16)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to + at),
                         _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + at)));
    for (; at < size; ++at)
        to[at] = from[at];
}

// Two periods of client bytes and two halves of containers, used in turn;
// the direction decides which is read.
class TwoPeriods
{
public:
    explicit TwoPeriods(const Layout& layout)
        : layout_(layout), client_(2 * layout.ClientBytes()), ring_(2 * layout.ContainerBytes())
    {
    }

protected:
    Layout layout_;
    Buffer client_;
    Buffer ring_;
    int half_ = 0;
};

class CopyMeasure : public Measure, TwoPeriods
{
public:
    explicit CopyMeasure(const Layout& layout)
        : TwoPeriods(layout), source_(2 * layout.ContainerBytes())
    {
    }
    void RunPeriod() override
    {
        const std::size_t bytes = layout_.ContainerBytes();
        std::uint8_t* ring = ring_.Data() + half_ * bytes;
        std::uint8_t* other = source_.Data() + half_ * bytes;
        if (layout_.capture)
            CopySse2(other, ring, bytes);
        else
            CopySse2(ring, other, bytes);
        half_ ^= 1;
    }

private:
    // The container bytes' other end (the same size as the ring).
    Buffer source_;
};

class SwresampleMeasure : public Measure, TwoPeriods
{
public:
    explicit SwresampleMeasure(const Layout& layout) : TwoPeriods(layout)
    {
        AVChannelLayout channels;
        av_channel_layout_default(&channels, static_cast<int>(layout.channels));
        const AVSampleFormat clientFormat =
            layout.bytesPerSample == 2 ? AV_SAMPLE_FMT_S16 : AV_SAMPLE_FMT_S32;
        const AVSampleFormat inFormat = layout.capture ? AV_SAMPLE_FMT_S32 : clientFormat;
        const AVSampleFormat outFormat = layout.capture ? clientFormat : AV_SAMPLE_FMT_S32;
        if (swr_alloc_set_opts2(&context_, &channels, outFormat, 48000, &channels, inFormat, 48000,
                                0, nullptr) < 0 ||
            swr_init(context_) < 0)
            throw std::runtime_error("libswresample: no context for " + layout.Name());
        av_channel_layout_uninit(&channels);
    }
    ~SwresampleMeasure() override { swr_free(&context_); }

    void RunPeriod() override
    {
        std::uint8_t* client = client_.Data() + half_ * layout_.ClientBytes();
        std::uint8_t* ring = ring_.Data() + half_ * layout_.ContainerBytes();
        const std::uint8_t* in[1] = {layout_.capture ? ring : client};
        std::uint8_t* out[1] = {layout_.capture ? client : ring};
        const int frames = static_cast<int>(layout_.frames);
        if (swr_convert(context_, out, frames, in, frames) != frames)
            throw std::runtime_error("libswresample: short conversion for " + layout_.Name());
        half_ ^= 1;
    }

private:
    SwrContext* context_ = nullptr;
};

// A stream prepared for transfers over the client buffer cut into pieces of
// `mappingBytes`.
class StreamMeasure : public Measure, protected TwoPeriods
{
public:
    StreamMeasure(const Layout& layout, ULONG mappingBytes, Path path)
        : TwoPeriods(layout), path_(path),
          pieces_(CutPieces(client_.Data(), 2 * layout.ClientBytes(), mappingBytes)), port_(pieces_)
    {
        if (CreateMiniportWavePciStream(&stream_, nullptr, NonPagedPoolNx) != STATUS_SUCCESS)
            throw std::bad_alloc();
        Peer().PrepareForTransfer(&port_, ring_.Data(), layout.frames, layout.channels,
                                  layout.bytesPerSample, layout.capture);
    }
    ~StreamMeasure() override
    {
        Peer().ForgetRing();
        static_cast<PMINIPORTWAVEPCISTREAM>(stream_)->Release();
    }
    void Prepare() override { UsePath(path_); }

protected:
    CMiniportWavePciStreamTestPeer Peer() { return CMiniportWavePciStreamTestPeer(stream_); }

    Path path_;
    std::vector<Piece> pieces_;
    BenchPortStream port_;
    CMiniportWavePciStream* stream_ = nullptr;
};

// ConvertSamples over the pieces exactly as TransferPeriod would call it: a
// piece longer than the rest of the period is continued by the next one.
class ConvertMeasure : public StreamMeasure
{
public:
    using StreamMeasure::StreamMeasure;
    void RunPeriod() override
    {
        const ULONG period = layout_.ClientBytes();
        ULONG done = 0;
        while (done < period)
        {
            const Piece& piece = pieces_[index_];
            ULONG moved = Peer().ConvertSamples(piece.data + used_, piece.size - used_);
            done += moved;
            used_ += moved;
            if (used_ == piece.size)
            {
                index_ = index_ + 1 == pieces_.size() ? 0 : index_ + 1;
                used_ = 0;
            }
        }
        Peer().WrapRingCursor();
    }

private:
    std::size_t index_ = 0;
    ULONG used_ = 0;
};

class TransferMeasure : public StreamMeasure
{
public:
    using StreamMeasure::StreamMeasure;
    void RunPeriod() override
    {
        Peer().TransferPeriod();
        Peer().EngineTookTheHalves();
    }
};

class HostSpinLockMeasure : public Measure
{
public:
    HostSpinLockMeasure() { KeInitializeSpinLock(&lock_); }
    void RunPeriod() override
    {
        KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&lock_);
        KeReleaseSpinLock(&lock_, oldIrql);
    }

private:
    KSPIN_LOCK lock_;
};

} // namespace

std::unique_ptr<Measure> MakeHostSpinLock()
{
    return std::make_unique<HostSpinLockMeasure>();
}

std::unique_ptr<Measure> MakeCopy(const Layout& layout)
{
    return std::make_unique<CopyMeasure>(layout);
}

std::unique_ptr<Measure> MakeSwresample(const Layout& layout)
{
    if (layout.bytesPerSample == 3)
        return nullptr;
    return std::make_unique<SwresampleMeasure>(layout);
}

std::unique_ptr<Measure> MakeConvert(const Layout& layout, ULONG mappingBytes, Path path)
{
    return std::make_unique<ConvertMeasure>(layout, mappingBytes, path);
}

std::unique_ptr<Measure> MakeTransfer(const Layout& layout, ULONG mappingBytes, Path path)
{
    return std::make_unique<TransferMeasure>(layout, mappingBytes, path);
}

} // namespace nuvbench

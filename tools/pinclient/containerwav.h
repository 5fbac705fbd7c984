// A 32-bit integer PCM WAV file of the containers a device received, written
// through a PendingFile: it appears only when Commit has finished it.
//
//     auto wav = pinclient::ContainerWavWriter::Create("out.wav", 2, 48000, error);
//     wav->Write(containers, error);      // little-endian 32-bit, interleaved
//     wav->Commit(error);
#pragma once

#include "tools/pinclient/pendingfile.h"

#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace pinclient
{

class ContainerWavWriter
{
public:
    static std::unique_ptr<ContainerWavWriter> Create(const std::string& path, unsigned channels,
                                                      unsigned sampleRate, std::string& error);
    ~ContainerWavWriter();
    ContainerWavWriter(const ContainerWavWriter&) = delete;
    ContainerWavWriter& operator=(const ContainerWavWriter&) = delete;

    // Interleaved frames of little-endian 32-bit containers.
    bool Write(std::span<const std::uint8_t> containers, std::string& error);
    bool Commit(std::string& error);

private:
    ContainerWavWriter(std::unique_ptr<PendingFile> file, void* sndfile, unsigned channels);
    void CloseSndfile();

    std::unique_ptr<PendingFile> m_file;
    void* m_sndfile = nullptr; // SNDFILE*
    unsigned m_channels = 0;
};

} // namespace pinclient

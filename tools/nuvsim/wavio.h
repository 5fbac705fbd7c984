// Files of `nuvsim play`: audio in through libsndfile, and output files that
// appear only when complete (written to a temporary file beside the target
// as the run goes, renamed at the end, removed if the run fails).
#pragma once

#include "tools/nuvsim/audio.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace nuvsim
{

// A reader of the file, in blocks (audio.h); it reads samples only of a
// format nuvsim can feed (CanFeed). Null, with `error` set, if libsndfile
// cannot open it.
std::unique_ptr<AudioSource> OpenAudioFile(const std::string& path, std::string& error);

// A file that exists under its name only after Commit.
class PendingFile
{
public:
    // Creates the temporary file in the target's directory. Null, with
    // `error` set, if it cannot be created or the target is a directory.
    static std::unique_ptr<PendingFile> Create(const std::string& path, std::string& error);
    ~PendingFile(); // removes the temporary file unless committed
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;

    int Descriptor() const { return m_fd; }
    const std::string& Path() const { return m_path; }
    bool WriteAll(std::span<const char> bytes);
    // Flushes, closes and renames onto the target.
    bool Commit(std::string& error);

private:
    PendingFile(std::string path, std::string temporary, int fd);

    std::string m_path;
    std::string m_temporary;
    int m_fd = -1;
    bool m_committed = false;
};

// A 32-bit integer PCM WAV file of the containers the device received.
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

} // namespace nuvsim

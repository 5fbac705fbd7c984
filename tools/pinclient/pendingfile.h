// A file that appears under its name only when it is complete: written to a
// temporary file beside the target (".NAME.PROGRAM-XXXXXX", named after the
// program writing it), renamed onto the target at Commit, removed if it is
// dropped before.
//
//     std::string error;
//     auto file = pinclient::PendingFile::Create("out.json", error);
//     if (!file || !file->WriteAll(text) || !file->Commit(error)) ...
#pragma once

#include <memory>
#include <span>
#include <string>

namespace pinclient
{

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

} // namespace pinclient

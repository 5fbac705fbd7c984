#include "tools/pinclient/pendingfile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace pinclient
{

PendingFile::PendingFile(std::string path, std::string temporary, int fd)
    : m_path(std::move(path)), m_temporary(std::move(temporary)), m_fd(fd)
{
}

std::unique_ptr<PendingFile> PendingFile::Create(const std::string& path, std::string& error)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    if (fs::is_directory(path, ec))
    {
        error = "it is a directory";
        return nullptr;
    }
    const fs::path target(path);
    const fs::path directory = target.has_parent_path() ? target.parent_path() : fs::path(".");
    const std::string program = program_invocation_short_name;
    std::string temporary =
        (directory / ("." + target.filename().string() + "." + program + "-XXXXXX")).string();
    std::vector<char> name(temporary.begin(), temporary.end());
    name.push_back('\0');
    // Not inherited by a program the writer starts.
    const int fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0)
    {
        error = std::strerror(errno);
        return nullptr;
    }
    return std::unique_ptr<PendingFile>(new PendingFile(path, name.data(), fd));
}

PendingFile::~PendingFile()
{
    if (m_fd >= 0)
        close(m_fd);
    if (!m_committed)
        unlink(m_temporary.c_str());
}

bool PendingFile::WriteAll(std::span<const char> bytes)
{
    while (!bytes.empty())
    {
        const ssize_t written = write(m_fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        bytes = bytes.subspan(static_cast<std::size_t>(written));
    }
    return true;
}

bool PendingFile::Commit(std::string& error)
{
    // mkostemp makes the file private; the result is an ordinary file.
    const mode_t mask = umask(0);
    umask(mask);
    if (fchmod(m_fd, 0666 & ~mask) != 0 || fsync(m_fd) != 0 || close(m_fd) != 0)
    {
        m_fd = -1;
        error = std::strerror(errno);
        return false;
    }
    m_fd = -1;
    if (rename(m_temporary.c_str(), m_path.c_str()) != 0)
    {
        error = std::strerror(errno);
        return false;
    }
    m_committed = true;
    return true;
}

} // namespace pinclient

// Loading: parse, check that every import can be bound, map read-write,
// copy, relocate, bind, then give each range its final protection. Any
// failure after the mapping unmaps it before the error is returned.
#include "host/loader/loadedimage.h"

#include "host/kernel/addressnames.h"
#include "host/loader/hostexports.h"
#include "host/loader/pdbsymbols.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cxxabi.h>
#include <fstream>
#include <iterator>
#include <optional>
#include <sys/mman.h>

namespace host::loader
{
namespace
{

std::atomic<std::size_t> mappedImages{0};

std::size_t PageRound(std::size_t bytes)
{
    return (bytes + kPageSize - 1) / kPageSize * kPageSize;
}

std::string BaseName(const std::string& path)
{
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Demangle(const std::string& name)
{
    if (name.rfind("_Z", 0) != 0)
        return name;
    int status = 0;
    char* demangled = abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status);
    if (status != 0 || demangled == nullptr)
        return name;
    std::string result(demangled);
    std::free(demangled);
    return result;
}

int Protection(const PeSection& section)
{
    int protection = PROT_NONE;
    if (section.readable)
        protection |= PROT_READ;
    if (section.writable)
        protection |= PROT_WRITE;
    if (section.executable)
        protection |= PROT_EXEC;
    return protection;
}

// Every import the host does not provide, "module!name", comma-separated.
std::string MissingImports(const PeImage& image)
{
    std::string missing;
    for (const PeImport& import : image.imports)
    {
        if (FindHostExport(import.module, import.name) == nullptr)
            missing += (missing.empty() ? "" : ", ") + import.module + "!" + import.name;
    }
    return missing;
}

// The file's bytes; empty with `error` set ("cannot be read (reason)") if
// it cannot be opened.
std::optional<std::vector<std::uint8_t>> ReadFile(const std::string& path, std::string& error)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
    {
        error = std::string("cannot be read (") + std::strerror(errno) + ")";
        return std::nullopt;
    }
    return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(file)),
                                     std::istreambuf_iterator<char>());
}

struct FoundSymbols
{
    std::vector<PeSymbol> symbols;
    bool found = false;
    std::string status;
};

// The symbols of an image without a symbol table, from the PDB its debug
// record names, beside the image; or why there are none.
FoundSymbols SymbolsFromPdb(const PeImage& image, const std::string& imagePath)
{
    constexpr const char* kNone = "no symbols: no COFF symbol table, and ";
    if (!image.codeView)
        return {{}, false, std::string(kNone) + "no debug record naming a PDB"};
    const std::string path = PdbPathBeside(imagePath, image.codeView->pdbName);
    if (path.empty())
        return {{},
                false,
                std::string(kNone) + "its debug record names no PDB file (\"" +
                    image.codeView->pdbName + "\")"};
    std::string problem;
    const auto bytes = ReadFile(path, problem);
    if (!bytes)
        return {{}, false, std::string(kNone) + "its PDB " + path + " " + problem};
    PdbRead read = ReadPdbSymbols(*bytes, *image.codeView, image.sections);
    if (!read.symbols)
        return {{}, false, "no symbols: its PDB was refused: " + path + ": " + read.error};
    const std::string count = std::to_string(read.symbols->size());
    return {std::move(*read.symbols), true, "symbols from its PDB " + path + " (" + count + ")"};
}

} // namespace

std::unique_ptr<LoadedImage> LoadedImage::Load(const std::string& path, std::string& error)
{
    std::string problem;
    const auto bytes = ReadFile(path, problem);
    if (!bytes)
    {
        error = path + ": " + problem;
        return nullptr;
    }
    return FromBytes(*bytes, path, error);
}

std::unique_ptr<LoadedImage> LoadedImage::FromBytes(std::span<const std::uint8_t> bytes,
                                                    const std::string& name, std::string& error)
{
    PeParse parsed = ParsePeImage(bytes);
    if (!parsed.image)
    {
        error = name + ": " + parsed.error;
        return nullptr;
    }
    const PeImage& image = *parsed.image;
    if (const std::string missing = MissingImports(image); !missing.empty())
    {
        error = name + ": imports the host does not provide: " + missing;
        return nullptr;
    }

    std::unique_ptr<LoadedImage> loaded(new LoadedImage);
    loaded->m_name = BaseName(name);
    loaded->m_path = name;
    loaded->m_linkedBase = image.imageBase;
    loaded->m_entryRva = image.entryRva;
    std::string problem;
    if (!loaded->Map(image, bytes, problem) || !loaded->Bind(image, problem) ||
        !loaded->Protect(image, problem))
    {
        error = name + ": " + problem;
        return nullptr; // the destructor unmaps
    }
    loaded->TakeSymbols(image);
    loaded->Publish();
    return loaded;
}

LoadedImage::~LoadedImage()
{
    if (m_published)
    {
        StopWatchingFaults(&m_faultTarget);
        UnregisterAddressRange(m_base);
    }
    if (m_base != nullptr)
    {
        munmap(m_base, m_size);
        mappedImages.fetch_sub(1);
    }
}

std::size_t LoadedImage::MappedImageCount()
{
    return mappedImages.load();
}

bool LoadedImage::Map(const PeImage& image, std::span<const std::uint8_t> bytes, std::string& error)
{
    m_size = PageRound(image.imageSize);
    void* memory =
        mmap(nullptr, m_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED)
    {
        m_size = 0;
        error = "cannot map " + std::to_string(image.imageSize) + " bytes (" +
                std::strerror(errno) + ")";
        return false;
    }
    m_base = static_cast<unsigned char*>(memory);
    mappedImages.fetch_add(1);
    std::memcpy(m_base, bytes.data(), image.headersSize);
    for (const PeSection& section : image.sections)
        std::memcpy(m_base + section.virtualAddress, bytes.data() + section.rawOffset,
                    std::min(section.rawSize, section.virtualSize));

    // DIR64: the 64-bit address in the slot moves by as much as the image.
    const std::uint64_t delta = reinterpret_cast<std::uintptr_t>(m_base) - image.imageBase;
    for (std::uint32_t slot : image.dir64Slots)
    {
        std::uint64_t value;
        std::memcpy(&value, m_base + slot, sizeof(value));
        value += delta;
        std::memcpy(m_base + slot, &value, sizeof(value));
    }
    return true;
}

bool LoadedImage::Bind(const PeImage& image, std::string& error)
{
    for (const PeImport& import : image.imports)
    {
        const void* address = FindHostExport(import.module, import.name);
        if (address == nullptr)
        {
            error = "imports the host does not provide: " + import.module + "!" + import.name;
            return false;
        }
        const auto value = reinterpret_cast<std::uintptr_t>(address);
        std::memcpy(m_base + import.slotRva, &value, sizeof(value));
        m_imports.push_back({import.module, import.name, address});
    }
    return true;
}

bool LoadedImage::Protect(const PeImage& image, std::string& error)
{
    // Everything no section claims (the gaps, the tail) is inaccessible; the
    // headers are read-only.
    auto protect = [&](std::size_t offset, std::size_t length, int protection, const char* what)
    {
        if (length == 0 || mprotect(m_base + offset, length, protection) == 0)
            return true;
        error = std::string("cannot protect ") + what + " at " + Hex(offset) + " (" +
                std::strerror(errno) + ")";
        return false;
    };
    if (!protect(0, m_size, PROT_NONE, "the image") ||
        !protect(0, PageRound(image.headersSize), PROT_READ, "the headers"))
        return false;
    for (const PeSection& section : image.sections)
    {
        if (!protect(section.virtualAddress, PageRound(section.virtualSize), Protection(section),
                     section.name.c_str()))
            return false;
    }
    return true;
}

void LoadedImage::TakeSymbols(const PeImage& image)
{
    FoundSymbols found;
    if (image.hasSymbolTable)
        found = {image.symbols, true,
                 "symbols from its COFF symbol table (" + std::to_string(image.symbols.size()) +
                     ")"};
    else
        found = SymbolsFromPdb(image, m_path);
    m_hasSymbols = found.found;
    m_symbolStatus = std::move(found.status);
    for (const PeSymbol& symbol : found.symbols)
        m_symbols.push_back({reinterpret_cast<std::uintptr_t>(m_base) + symbol.rva,
                             Demangle(symbol.name), symbol.function});
    for (const Symbol& symbol : m_symbols)
    {
        if (!symbol.function)
            continue;
        m_functionAddresses.push_back(symbol.address);
        m_functionNames.push_back(symbol.name.c_str());
    }
}

void LoadedImage::Publish()
{
    m_faultTarget.begin = reinterpret_cast<std::uintptr_t>(m_base);
    m_faultTarget.end = m_faultTarget.begin + m_size;
    m_faultTarget.imageName = m_name.c_str();
    m_faultTarget.symbolAddresses = m_functionAddresses.data();
    m_faultTarget.symbolNames = m_functionNames.data();
    m_faultTarget.symbolCount = m_functionAddresses.size();
    WatchForFaults(&m_faultTarget);
    RegisterAddressRange(m_base, m_size, [this](const void* address) { return NameOf(address); });
    m_published = true;
}

PDRIVER_INITIALIZE LoadedImage::DriverEntry() const
{
    return reinterpret_cast<PDRIVER_INITIALIZE>(m_base + m_entryRva);
}

bool LoadedImage::Contains(const void* address) const
{
    const auto* byte = static_cast<const unsigned char*>(address);
    return byte >= m_base && byte < m_base + m_size;
}

std::int64_t LoadedImage::RelocationDelta() const
{
    return static_cast<std::int64_t>(reinterpret_cast<std::uintptr_t>(m_base) - m_linkedBase);
}

const void* LoadedImage::FindFunction(std::string_view name) const
{
    for (const Symbol& symbol : m_symbols)
    {
        if (!symbol.function)
            continue;
        const std::string_view candidate(symbol.name);
        if (candidate == name ||
            (candidate.size() > name.size() && candidate.substr(0, name.size()) == name &&
             candidate[name.size()] == '('))
            return reinterpret_cast<const void*>(symbol.address);
    }
    return nullptr;
}

std::string LoadedImage::NameOf(const void* address) const
{
    if (!Contains(address))
        return {};
    const auto value = reinterpret_cast<std::uintptr_t>(address);
    auto after = std::upper_bound(m_symbols.begin(), m_symbols.end(), value,
                                  [](std::uintptr_t a, const Symbol& s) { return a < s.address; });
    if (after == m_symbols.begin())
        return m_name + "+" + Hex(value - reinterpret_cast<std::uintptr_t>(m_base));
    const Symbol& symbol = *std::prev(after);
    const std::uintptr_t offset = value - symbol.address;
    return m_name + "!" + symbol.name + (offset != 0 ? "+" + Hex(offset) : "");
}

} // namespace host::loader

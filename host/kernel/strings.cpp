// RtlStringCchPrintfW and RtlStringCchLengthW over the 16-bit WCHAR of the
// Windows ABI, and the two wide formatters of the kernel's C runtime that a
// Windows image imports (_vsnwprintf, behind its inline RtlStringCchPrintfW,
// and swprintf). The C library's wide printf family assumes its own 32-bit
// wchar_t, so the formatter is written out here. Variable arguments come in
// the Windows form (__builtin_ms_va_list): every caller is a Windows-
// convention function, in the host build or in a loaded image.
//
// Conversions: %d %i %u %x %X %c, %s and %ls (wide string), %S and %hs
// (narrow string), %%; flags '-' and '0', a width (or '*'); length prefixes
// h, l, ll, I64 and z. A conversion it does not know is copied as it stands.
#include "host/kernel/kernelcrt.h"

#include "host/kernel/boundary.h"

#include <ntstrsafe.h>

#include <cstdarg>
#include <cstddef>
#include <cstdint>

namespace
{

using WindowsArgs = __builtin_ms_va_list;

// Stores at most `limit` characters at dest and counts every character put,
// so that the length of the whole text is known when it did not fit.
class WideWriter
{
public:
    WideWriter(PWSTR dest, size_t limit) : dest_(dest), limit_(limit) {}

    void Put(WCHAR c)
    {
        if (stored_ < limit_)
            dest_[stored_++] = c;
        ++total_;
    }

    void Repeat(WCHAR c, size_t count)
    {
        for (size_t i = 0; i < count; ++i)
            Put(c);
    }

    // A null after what was stored; the caller leaves room for it.
    void Terminate() { dest_[stored_] = 0; }
    bool Overflowed() const { return total_ > stored_; }
    size_t Stored() const { return stored_; }
    size_t Total() const { return total_; }

private:
    PWSTR dest_;
    size_t limit_;
    size_t stored_ = 0;
    size_t total_ = 0;
};

struct FormatSpecifier
{
    bool leftAlign = false;
    bool zeroPad = false;
    size_t width = 0;
    enum class Length
    {
        Default,
        Short,
        Long,
        LongLong,
        Size
    } length = Length::Default;
};

// Pads `body` (already laid out in `digits`, most significant first) to the
// width. Zero padding goes between the sign and the digits.
void PutPadded(WideWriter& out, const FormatSpecifier& specifier, const char* sign,
               const WCHAR* body, size_t bodyLength)
{
    size_t signLength = 0;
    while (sign[signLength] != 0)
        ++signLength;
    const size_t used = signLength + bodyLength;
    const size_t pad = specifier.width > used ? specifier.width - used : 0;
    if (!specifier.leftAlign && !specifier.zeroPad)
        out.Repeat(L' ', pad);
    for (size_t i = 0; i < signLength; ++i)
        out.Put(static_cast<WCHAR>(sign[i]));
    if (!specifier.leftAlign && specifier.zeroPad)
        out.Repeat(L'0', pad);
    for (size_t i = 0; i < bodyLength; ++i)
        out.Put(body[i]);
    if (specifier.leftAlign)
        out.Repeat(L' ', pad);
}

void PutUnsigned(WideWriter& out, const FormatSpecifier& specifier, const char* sign,
                 std::uint64_t value, unsigned base, bool upper)
{
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    WCHAR buffer[24];
    size_t length = 0;
    do
    {
        buffer[length++] = static_cast<WCHAR>(digits[value % base]);
        value /= base;
    } while (value != 0);
    for (size_t i = 0; i < length / 2; ++i)
    {
        WCHAR swap = buffer[i];
        buffer[i] = buffer[length - 1 - i];
        buffer[length - 1 - i] = swap;
    }
    PutPadded(out, specifier, sign, buffer, length);
}

std::int64_t SignedArgument(const FormatSpecifier& specifier, WindowsArgs& args)
{
    switch (specifier.length)
    {
    case FormatSpecifier::Length::LongLong:
        return va_arg(args, long long);
    case FormatSpecifier::Length::Size:
        return va_arg(args, std::ptrdiff_t);
    case FormatSpecifier::Length::Short:
        return static_cast<short>(va_arg(args, int));
    default:
        // LONG is 32-bit: %ld takes an int-sized argument, as on Windows.
        return va_arg(args, int);
    }
}

std::uint64_t UnsignedArgument(const FormatSpecifier& specifier, WindowsArgs& args)
{
    switch (specifier.length)
    {
    case FormatSpecifier::Length::LongLong:
        return va_arg(args, unsigned long long);
    case FormatSpecifier::Length::Size:
        return va_arg(args, size_t);
    case FormatSpecifier::Length::Short:
        return static_cast<unsigned short>(va_arg(args, unsigned));
    default:
        return va_arg(args, unsigned);
    }
}

void PutWideString(WideWriter& out, const FormatSpecifier& specifier, PCWSTR text)
{
    static const WCHAR null[] = {'(', 'n', 'u', 'l', 'l', ')', 0};
    if (text == nullptr)
        text = null;
    size_t length = 0;
    while (text[length] != 0)
        ++length;
    PutPadded(out, specifier, "", text, length);
}

void PutNarrowString(WideWriter& out, const FormatSpecifier& specifier, const char* text)
{
    if (text == nullptr)
        text = "(null)";
    size_t length = 0;
    while (text[length] != 0)
        ++length;
    const size_t pad = specifier.width > length ? specifier.width - length : 0;
    if (!specifier.leftAlign)
        out.Repeat(L' ', pad);
    for (size_t i = 0; i < length; ++i)
        out.Put(static_cast<WCHAR>(static_cast<unsigned char>(text[i])));
    if (specifier.leftAlign)
        out.Repeat(L' ', pad);
}

// Reads flags, width and length of the conversion at `format` (just past the
// '%'); returns the position of the conversion character.
PCWSTR ParseSpec(PCWSTR format, FormatSpecifier& specifier, WindowsArgs& args)
{
    for (;; ++format)
    {
        if (*format == L'-')
            specifier.leftAlign = true;
        else if (*format == L'0')
            specifier.zeroPad = true;
        else
            break;
    }
    if (*format == L'*')
    {
        const int width = va_arg(args, int);
        specifier.leftAlign = specifier.leftAlign || width < 0;
        specifier.width = static_cast<size_t>(width < 0 ? -static_cast<long long>(width) : width);
        ++format;
    }
    while (*format >= L'0' && *format <= L'9')
        specifier.width = specifier.width * 10 + static_cast<size_t>(*format++ - L'0');
    if (format[0] == L'I' && format[1] == L'6' && format[2] == L'4')
    {
        specifier.length = FormatSpecifier::Length::LongLong;
        format += 3;
    }
    else if (format[0] == L'l' && format[1] == L'l')
    {
        specifier.length = FormatSpecifier::Length::LongLong;
        format += 2;
    }
    else if (*format == L'l' || *format == L'w')
    {
        specifier.length = FormatSpecifier::Length::Long;
        ++format;
    }
    else if (*format == L'h')
    {
        specifier.length = FormatSpecifier::Length::Short;
        ++format;
    }
    else if (*format == L'z' || *format == L'I')
    {
        specifier.length = FormatSpecifier::Length::Size;
        ++format;
    }
    return format;
}

// Formats one conversion; returns false for one it does not know.
bool Convert(WideWriter& out, const FormatSpecifier& specifier, WCHAR conversion, WindowsArgs& args)
{
    switch (conversion)
    {
    case L'd':
    case L'i':
    {
        const std::int64_t value = SignedArgument(specifier, args);
        const std::uint64_t magnitude =
            value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
        PutUnsigned(out, specifier, value < 0 ? "-" : "", magnitude, 10, false);
        return true;
    }
    case L'u':
        PutUnsigned(out, specifier, "", UnsignedArgument(specifier, args), 10, false);
        return true;
    case L'x':
    case L'X':
        PutUnsigned(out, specifier, "", UnsignedArgument(specifier, args), 16, conversion == L'X');
        return true;
    case L'c':
    {
        const WCHAR c = static_cast<WCHAR>(va_arg(args, int));
        PutPadded(out, specifier, "", &c, 1);
        return true;
    }
    case L's':
        // In the wide functions %s is a wide string; %hs is narrow.
        if (specifier.length == FormatSpecifier::Length::Short)
            PutNarrowString(out, specifier, va_arg(args, const char*));
        else
            PutWideString(out, specifier, va_arg(args, PCWSTR));
        return true;
    case L'S':
        if (specifier.length == FormatSpecifier::Length::Long)
            PutWideString(out, specifier, va_arg(args, PCWSTR));
        else
            PutNarrowString(out, specifier, va_arg(args, const char*));
        return true;
    default:
        return false;
    }
}

void Format(WideWriter& out, PCWSTR format, WindowsArgs& args)
{
    while (*format != 0)
    {
        if (*format != L'%')
        {
            out.Put(*format++);
            continue;
        }
        PCWSTR start = format++;
        if (*format == L'%')
        {
            out.Put(*format++);
            continue;
        }
        FormatSpecifier specifier;
        format = ParseSpec(format, specifier, args);
        if (*format != 0 && Convert(out, specifier, *format, args))
        {
            ++format;
            continue;
        }
        // Unknown: copy it as written.
        while (start != format)
            out.Put(*start++);
    }
}

} // namespace

EXTERN_C NTSTATUS __cdecl RtlStringCchPrintfW(PWSTR pszDest, size_t cchDest, PCWSTR pszFormat, ...)
try
{
    if (pszDest == nullptr || pszFormat == nullptr || cchDest == 0 || cchDest > NTSTRSAFE_MAX_CCH)
        return STATUS_INVALID_PARAMETER;
    WideWriter out(pszDest, cchDest - 1);
    WindowsArgs args;
    __builtin_ms_va_start(args, pszFormat);
    Format(out, pszFormat, args);
    __builtin_ms_va_end(args);
    out.Terminate();
    return out.Overflowed() ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}
catch (...)
{
    return host::CaughtAtBoundary("RtlStringCchPrintfW", STATUS_INSUFFICIENT_RESOURCES);
}

EXTERN_C NTSTATUS NTAPI RtlStringCchLengthW(PCWSTR psz, size_t cchMax, size_t* pcchLength)
try
{
    if (pcchLength != nullptr)
        *pcchLength = 0;
    if (psz == nullptr || cchMax > NTSTRSAFE_MAX_CCH)
        return STATUS_INVALID_PARAMETER;
    size_t length = 0;
    while (length < cchMax && psz[length] != 0)
        ++length;
    // No terminator within cchMax characters.
    if (length == cchMax)
        return STATUS_INVALID_PARAMETER;
    if (pcchLength != nullptr)
        *pcchLength = length;
    return STATUS_SUCCESS;
}
catch (...)
{
    return host::CaughtAtBoundary("RtlStringCchLengthW", STATUS_INSUFFICIENT_RESOURCES);
}

namespace host
{

int NTAPI_CONVENTION KernelVsnwprintf(PWSTR buffer, size_t count, PCWSTR format,
                                      __builtin_ms_va_list args)
try
{
    if (format == nullptr || (buffer == nullptr && count != 0))
        return -1;
    WideWriter out(buffer, count);
    Format(out, format, args);
    // The C runtime's contract: a null only if there is room for it, and -1
    // for a text longer than `count` (what fits is written all the same).
    if (out.Total() < count)
        out.Terminate();
    if (out.Overflowed())
        return -1;
    return static_cast<int>(out.Total());
}
catch (...)
{
    return host::CaughtAtBoundary("KernelVsnwprintf", -1);
}

int NTAPI_CONVENTION KernelSwprintf(PWSTR buffer, PCWSTR format, ...)
try
{
    if (buffer == nullptr || format == nullptr)
        return -1;
    // The legacy form has no count: the caller's buffer is taken to be
    // large enough, as the kernel's export does.
    WideWriter out(buffer, static_cast<size_t>(NTSTRSAFE_MAX_CCH));
    WindowsArgs args;
    __builtin_ms_va_start(args, format);
    Format(out, format, args);
    __builtin_ms_va_end(args);
    out.Terminate();
    return static_cast<int>(out.Total());
}
catch (...)
{
    return host::CaughtAtBoundary("KernelSwprintf", -1);
}

} // namespace host

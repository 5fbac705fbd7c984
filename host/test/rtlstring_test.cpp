// RtlStringCchPrintfW and RtlStringCchLengthW over 16-bit WCHAR.
#include "host/kernel/hostkernel.h"
#include "host/kernel/kernelcrt.h"

#if __has_include(<ntstrsafe.h>)
#include <ntstrsafe.h>
#else
EXTERN_C NTSTATUS RtlStringCchPrintfW(PWSTR pszDest, size_t cchDest, PCWSTR pszFormat, ...);
EXTERN_C NTSTATUS RtlStringCchLengthW(PCWSTR psz, size_t cchMax, size_t* pcchLength);
#endif

#include <gtest/gtest.h>

#include <climits>
#include <string>

namespace
{

constexpr size_t kMaxCch = 2147483647;

// The WCHAR text as narrow characters (all test strings are ASCII), since
// the C library's wide functions assume a 32-bit wchar_t.
std::string Narrow(const WCHAR* text)
{
    std::string narrow;
    for (; *text != 0; ++text)
        narrow += static_cast<char>(*text);
    return narrow;
}

// _vsnwprintf as a Windows image reaches it: a Windows-convention variadic
// function (the image's inline RtlStringCchPrintfW) hands on its list.
int NTAPI_CONVENTION Vsnwprintf(PWSTR buffer, size_t count, PCWSTR format, ...)
{
    __builtin_ms_va_list args;
    __builtin_ms_va_start(args, format);
    const int result = host::KernelVsnwprintf(buffer, count, format, args);
    __builtin_ms_va_end(args);
    return result;
}

void Fill(WCHAR (&buffer)[16])
{
    for (WCHAR& c : buffer)
        c = L'#';
    buffer[15] = 0;
}

struct FormatCase
{
    const WCHAR* format;
    int value;
    const char* expected;
};

} // namespace

TEST(RtlStringCchPrintfW, FormatsTheReferenceStrings)
{
    WCHAR buffer[32];
    for (int device = 1; device <= 4; ++device)
    {
        ASSERT_EQ(RtlStringCchPrintfW(buffer, 32, L"NUV_Wave%d", device), STATUS_SUCCESS);
        EXPECT_EQ(Narrow(buffer), "NUV_Wave" + std::to_string(device));
    }
}

TEST(RtlStringCchPrintfW, IntegerConversions)
{
    // Each conversion as the Windows CRT prints it.
    const FormatCase cases[] = {
        {L"%d", -42, "-42"},       {L"%i", INT_MIN, "-2147483648"},
        {L"%u", -1, "4294967295"}, {L"%x", 0xBEEF, "beef"},
        {L"%X", 0xBEEF, "BEEF"},   {L"%08X", 0x1A, "0000001A"},
        {L"%5d|", 42, "   42|"},   {L"%-5d|", 42, "42   |"},
        {L"%05d", -42, "-0042"},   {L"%ld", -7, "-7"},
        {L"%c", 'Z', "Z"},         {L"100%%", 0, "100%"},
        {L"%q", 0, "%q"},
    };
    for (const FormatCase& c : cases)
    {
        SCOPED_TRACE(c.expected);
        WCHAR buffer[32];
        ASSERT_EQ(RtlStringCchPrintfW(buffer, 32, c.format, c.value), STATUS_SUCCESS);
        EXPECT_EQ(Narrow(buffer), c.expected);
    }
}

TEST(RtlStringCchPrintfW, StringAnd64BitConversions)
{
    WCHAR buffer[64];
    ASSERT_EQ(RtlStringCchPrintfW(buffer, 64, L"[%s|%ls|%S|%6s]", L"wide", L"also", "narrow", L"r"),
              STATUS_SUCCESS);
    EXPECT_EQ(Narrow(buffer), "[wide|also|narrow|     r]");
    ASSERT_EQ(
        RtlStringCchPrintfW(buffer, 64, L"%I64u %llx", 18446744073709551615ull, 0x123456789ull),
        STATUS_SUCCESS);
    EXPECT_EQ(Narrow(buffer), "18446744073709551615 123456789");
}

TEST(RtlStringCchPrintfW, TruncatesAndTerminatesWhenShort)
{
    // "NUV_Mixer4" is 10 characters: 11 fit exactly with the terminator,
    // 10 leave room for 9 characters.
    WCHAR buffer[16];
    ASSERT_EQ(RtlStringCchPrintfW(buffer, 11, L"NUV_Mixer%d", 4), STATUS_SUCCESS);
    EXPECT_EQ(Narrow(buffer), "NUV_Mixer4");

    for (WCHAR& c : buffer)
        c = L'#';
    EXPECT_EQ(RtlStringCchPrintfW(buffer, 10, L"NUV_Mixer%d", 4), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(Narrow(buffer), "NUV_Mixer");
    EXPECT_EQ(buffer[10], L'#') << "nothing written past cchDest";

    EXPECT_EQ(RtlStringCchPrintfW(buffer, 1, L"x"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(buffer[0], 0);
}

TEST(RtlStringCchPrintfW, RejectsInvalidSizes)
{
    WCHAR buffer[4] = {L'#', L'#', L'#', 0};
    EXPECT_EQ(RtlStringCchPrintfW(buffer, 0, L"x"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlStringCchPrintfW(buffer, kMaxCch + 1, L"x"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Narrow(buffer), "###") << "left untouched";
}

TEST(RtlStringCchLengthW, CountsWithinTheLimit)
{
    // The length is found only if the terminator lies within cchMax.
    size_t length = 99;
    EXPECT_EQ(RtlStringCchLengthW(L"abc", 4, &length), STATUS_SUCCESS);
    EXPECT_EQ(length, 3u);
    EXPECT_EQ(RtlStringCchLengthW(L"", 1, &length), STATUS_SUCCESS);
    EXPECT_EQ(length, 0u);

    length = 99;
    EXPECT_EQ(RtlStringCchLengthW(L"abc", 3, &length), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(RtlStringCchLengthW(L"abc", 0, &length), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlStringCchLengthW(nullptr, 4, &length), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlStringCchLengthW(L"abc", kMaxCch + 1, &length), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlStringCchLengthW(L"abc", 4, nullptr), STATUS_SUCCESS);
}

TEST(KernelVsnwprintf, FollowsTheRuntimeContract)
{
    // "NUV_Wave3" is 9 characters. With room for more: the length, and a null.
    WCHAR buffer[16];
    Fill(buffer);
    EXPECT_EQ(Vsnwprintf(buffer, 16, L"NUV_Wave%d", 3), 9);
    EXPECT_EQ(Narrow(buffer), "NUV_Wave3");

    // Exactly the count: every character and no null.
    Fill(buffer);
    EXPECT_EQ(Vsnwprintf(buffer, 9, L"NUV_Wave%d", 3), 9);
    EXPECT_EQ(Narrow(buffer), "NUV_Wave3######");

    // Longer than the count: -1, and the first `count` characters.
    Fill(buffer);
    EXPECT_EQ(Vsnwprintf(buffer, 4, L"NUV_Wave%d", 3), -1);
    EXPECT_EQ(Narrow(buffer), "NUV_###########");

    EXPECT_EQ(Vsnwprintf(buffer, 0, L""), 0);
    EXPECT_EQ(Vsnwprintf(buffer, 16, nullptr), -1);
}

TEST(KernelVsnwprintf, Takes64BitAndStringArgumentsInWindowsForm)
{
    WCHAR buffer[64];
    EXPECT_EQ(Vsnwprintf(buffer, 64, L"%I64x/%s/%hs/%d", 0x123456789ull, L"w", "n", -5), 16);
    EXPECT_EQ(Narrow(buffer), "123456789/w/n/-5");
}

TEST(KernelSwprintf, WritesTheWholeTextAndItsLength)
{
    WCHAR buffer[16];
    Fill(buffer);
    EXPECT_EQ(host::KernelSwprintf(buffer, L"NUV_Mixer%d", 2), 10);
    EXPECT_EQ(Narrow(buffer), "NUV_Mixer2");
}

// The fault handler. It runs in a signal handler, so it touches only what
// was set up before: a fixed table of targets published with atomic
// pointers, each target immutable while it is published, and write(2).
#include "host/loader/faultreport.h"

#include <array>
#include <atomic>
#include <csignal>
#include <cstring>
#include <mutex>
#include <ucontext.h>
#include <unistd.h>

namespace host::loader
{
namespace
{

constexpr std::size_t kMaxTargets = 16;
constexpr std::array kSignals = {SIGSEGV, SIGBUS, SIGILL, SIGFPE};

std::array<std::atomic<const FaultTarget*>, kMaxTargets> targets{};
std::array<struct sigaction, kSignals.size()> previous{};
std::once_flag installed;

class Line
{
public:
    void Add(const char* text)
    {
        while (*text != 0 && m_length < sizeof(m_text) - 1)
            m_text[m_length++] = *text++;
    }
    void AddHex(std::uintptr_t value)
    {
        char digits[2 + 2 * sizeof(value) + 1] = "0x";
        char reversed[2 * sizeof(value)];
        std::size_t count = 0;
        do
        {
            reversed[count++] = "0123456789abcdef"[value % 16];
            value /= 16;
        } while (value != 0);
        for (std::size_t i = 0; i < count; ++i)
            digits[2 + i] = reversed[count - 1 - i];
        digits[2 + count] = 0;
        Add(digits);
    }
    void Write()
    {
        Add("\n");
        ssize_t ignored = ::write(STDERR_FILENO, m_text, m_length);
        (void)ignored;
    }

private:
    char m_text[512];
    std::size_t m_length = 0;
};

const char* SignalName(int signal)
{
    switch (signal)
    {
    case SIGSEGV:
        return "SIGSEGV";
    case SIGBUS:
        return "SIGBUS";
    case SIGILL:
        return "SIGILL";
    default:
        return "SIGFPE";
    }
}

void AddLocation(Line& line, const FaultTarget& target, std::uintptr_t pc)
{
    line.Add(target.imageName);
    // The last symbol at or before pc (the table is sorted).
    std::size_t low = 0;
    std::size_t high = target.symbolCount;
    while (low < high)
    {
        const std::size_t middle = (low + high) / 2;
        if (target.symbolAddresses[middle] <= pc)
            low = middle + 1;
        else
            high = middle;
    }
    if (low == 0)
    {
        line.Add("+");
        line.AddHex(pc - target.begin);
        return;
    }
    line.Add("!");
    line.Add(target.symbolNames[low - 1]);
    line.Add("+");
    line.AddHex(pc - target.symbolAddresses[low - 1]);
}

void OnFault(int signal, siginfo_t* info, void* context)
{
    const auto* machine = static_cast<const ucontext_t*>(context);
    const auto pc = static_cast<std::uintptr_t>(machine->uc_mcontext.gregs[REG_RIP]);
    for (const auto& slot : targets)
    {
        const FaultTarget* target = slot.load(std::memory_order_acquire);
        if (target == nullptr || pc < target->begin || pc >= target->end)
            continue;
        Line line;
        line.Add("host: ");
        line.Add(SignalName(signal));
        line.Add(" in ");
        AddLocation(line, *target, pc);
        line.Add(" (pc ");
        line.AddHex(pc);
        line.Add(", address ");
        line.AddHex(reinterpret_cast<std::uintptr_t>(info->si_addr));
        line.Add(")");
        line.Write();
        break;
    }
    // Hand the signal back to whoever had it; returning runs the faulting
    // instruction again, which raises it there.
    for (std::size_t i = 0; i < kSignals.size(); ++i)
    {
        if (kSignals[i] == signal)
            sigaction(signal, &previous[i], nullptr);
    }
}

void Install()
{
    struct sigaction action;
    std::memset(&action, 0, sizeof(action));
    action.sa_sigaction = OnFault;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    for (std::size_t i = 0; i < kSignals.size(); ++i)
        sigaction(kSignals[i], &action, &previous[i]);
}

} // namespace

bool WatchForFaults(const FaultTarget* target)
{
    std::call_once(installed, Install);
    for (auto& slot : targets)
    {
        const FaultTarget* empty = nullptr;
        if (slot.compare_exchange_strong(empty, target, std::memory_order_acq_rel))
            return true;
    }
    return false;
}

void StopWatchingFaults(const FaultTarget* target)
{
    for (auto& slot : targets)
    {
        const FaultTarget* expected = target;
        slot.compare_exchange_strong(expected, nullptr, std::memory_order_acq_rel);
    }
}

} // namespace host::loader

#include "host/engine/trace.h"

#include <atomic>
#include <cstdio>

namespace host::engine
{
namespace
{

std::atomic<TraceRecorder*> g_recorder{nullptr};

std::uint64_t ThreadNumber()
{
    static std::atomic<std::uint64_t> next{1};
    thread_local const std::uint64_t number = next.fetch_add(1);
    return number;
}

std::string Escaped(const std::string& text)
{
    std::string out;
    for (char c : text)
    {
        if (c == '"' || c == '\\')
            out += '\\';
        if (static_cast<unsigned char>(c) < 0x20)
            continue;
        out += c;
    }
    return out;
}

} // namespace

bool TraceEnabled()
{
    return g_recorder.load(std::memory_order_acquire) != nullptr;
}

std::chrono::nanoseconds TraceTime()
{
    TraceRecorder* recorder = g_recorder.load(std::memory_order_acquire);
    if (recorder == nullptr)
        return std::chrono::nanoseconds{0};
    return recorder->Since();
}

void TracePoint(const char* category, std::string name, TracePhase phase, std::string detail,
                std::uint64_t deviceFrame)
{
    TraceRecorder* recorder = g_recorder.load(std::memory_order_acquire);
    if (recorder == nullptr)
        return;
    TraceEvent event;
    event.name = std::move(name);
    event.category = category;
    event.detail = std::move(detail);
    event.phase = phase;
    event.thread = ThreadNumber();
    event.deviceFrame = deviceFrame;
    recorder->Add(std::move(event));
}

TraceRecorder::TraceRecorder() : m_start(std::chrono::steady_clock::now())
{
    g_recorder.store(this, std::memory_order_release);
}

TraceRecorder::~TraceRecorder()
{
    TraceRecorder* self = this;
    g_recorder.compare_exchange_strong(self, nullptr);
}

void TraceRecorder::Add(TraceEvent event)
{
    std::lock_guard lock(m_mutex);
    event.time = std::chrono::steady_clock::now() - m_start;
    m_events.push_back(std::move(event));
}

std::chrono::nanoseconds TraceRecorder::Since() const
{
    return std::chrono::steady_clock::now() - m_start;
}

void TraceRecorder::AddCounter(std::chrono::nanoseconds time, std::string category,
                               std::string name, std::vector<std::pair<std::string, double>> values)
{
    TraceEvent event;
    event.name = std::move(name);
    event.category = std::move(category);
    event.phase = TracePhase::Counter;
    event.time = time;
    event.thread = ThreadNumber();
    event.values = std::move(values);
    std::lock_guard lock(m_mutex);
    m_events.push_back(std::move(event));
}

std::vector<TraceEvent> TraceRecorder::Events() const
{
    std::lock_guard lock(m_mutex);
    return m_events;
}

std::string TraceRecorder::ChromeJson() const
{
    std::string json = "{\"traceEvents\":[\n";
    bool first = true;
    for (const TraceEvent& event : Events())
    {
        char head[160];
        std::snprintf(head, sizeof(head), "{\"ph\":\"%c\",\"pid\":1,\"tid\":%llu,\"ts\":%.3f,",
                      static_cast<char>(event.phase), static_cast<unsigned long long>(event.thread),
                      static_cast<double>(event.time.count()) / 1000.0);
        json += first ? "" : ",\n";
        first = false;
        json += head;
        json +=
            "\"name\":\"" + Escaped(event.name) + "\",\"cat\":\"" + Escaped(event.category) + "\"";
        if (event.phase == TracePhase::Instant)
            json += ",\"s\":\"t\"";
        if (event.phase == TracePhase::Counter)
        {
            json += ",\"args\":{";
            for (std::size_t i = 0; i < event.values.size(); ++i)
            {
                char value[64];
                std::snprintf(value, sizeof(value), "%.17g", event.values[i].second);
                json += (i == 0 ? "\"" : ",\"") + Escaped(event.values[i].first) + "\":" + value;
            }
            json += "}}";
            continue;
        }
        json += ",\"args\":{\"detail\":\"" + Escaped(event.detail) +
                "\",\"frame\":" + std::to_string(event.deviceFrame) + "}}";
    }
    json += "\n]}\n";
    return json;
}

} // namespace host::engine

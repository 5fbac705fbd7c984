#include "host/client/schedule.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace host::client
{
namespace
{

struct Word
{
    const char* name;
    StepKind kind;
    bool amount;      // takes an amount
    Unit defaultUnit; // when the amount has no suffix
};

const Word kWords[] = {
    {"write", StepKind::Write, true, Unit::Bytes},
    {"rest", StepKind::Rest, true, Unit::Bytes},
    {"wait", StepKind::Wait, true, Unit::Periods},
    {"run", StepKind::Run, false, Unit::Bytes},
    {"pause", StepKind::Pause, false, Unit::Bytes},
    {"pause", StepKind::PauseFor, true, Unit::Periods},
    {"stop", StepKind::Stop, false, Unit::Bytes},
    {"cancel", StepKind::Cancel, false, Unit::Bytes},
    {"cancel@", StepKind::CancelAt, true, Unit::Bytes},
    {"mapping", StepKind::Mapping, true, Unit::Bytes},
    {"split", StepKind::Split, true, Unit::Bytes},
};

std::string Trim(const std::string& text)
{
    std::size_t from = 0;
    std::size_t to = text.size();
    while (from < to && std::isspace(static_cast<unsigned char>(text[from])))
        ++from;
    while (to > from && std::isspace(static_cast<unsigned char>(text[to - 1])))
        --to;
    return text.substr(from, to - from);
}

// "12", "12f", "12p"; waits and pauses take no bytes.
bool ParseAmount(const std::string& text, const Word& word, ScheduleStep& step)
{
    std::string digits = text;
    step.unit = word.defaultUnit;
    if (!digits.empty() && (digits.back() == 'f' || digits.back() == 'p'))
    {
        step.unit = digits.back() == 'f' ? Unit::Frames : Unit::Periods;
        digits.pop_back();
    }
    if (digits.empty())
        return false;
    const auto [end, error] =
        std::from_chars(digits.data(), digits.data() + digits.size(), step.amount);
    if (error != std::errc() || end != digits.data() + digits.size())
        return false;
    const bool timed = step.kind == StepKind::Wait || step.kind == StepKind::PauseFor;
    if (timed && step.unit == Unit::Bytes)
        return false;
    const bool byteOffset = step.kind == StepKind::CancelAt || step.kind == StepKind::Split ||
                            step.kind == StepKind::Mapping;
    if (byteOffset && step.unit != Unit::Bytes)
        return false;
    return step.kind == StepKind::Wait || step.kind == StepKind::PauseFor ||
           step.kind == StepKind::CancelAt || step.kind == StepKind::Split || step.amount != 0;
}

const char* UnitSuffix(Unit unit)
{
    switch (unit)
    {
    case Unit::Frames:
        return "f";
    case Unit::Periods:
        return "p";
    default:
        return "";
    }
}

} // namespace

std::string ScheduleStep::ToString() const
{
    for (const Word& word : kWords)
    {
        if (word.kind != kind)
            continue;
        if (!word.amount)
            return word.name;
        const std::string separator = kind == StepKind::CancelAt ? "" : " ";
        return word.name + separator + std::to_string(amount) + UnitSuffix(unit);
    }
    return "?";
}

std::string Schedule::ToString() const
{
    std::string text;
    for (const ScheduleStep& step : steps)
    {
        if (!text.empty())
            text += ", ";
        text += step.ToString();
    }
    return text;
}

bool Schedule::SaysRun() const
{
    return std::any_of(steps.begin(), steps.end(),
                       [](const ScheduleStep& step) { return step.kind == StepKind::Run; });
}

std::optional<Schedule> Schedule::Parse(const std::string& text, std::string& error)
{
    Schedule schedule;
    std::string rest = text;
    std::replace(rest.begin(), rest.end(), ';', ',');
    std::size_t at = 0;
    while (at <= rest.size())
    {
        const std::size_t comma = std::min(rest.find(',', at), rest.size());
        const std::string item = Trim(rest.substr(at, comma - at));
        at = comma + 1;
        if (item.empty())
            continue;
        std::string name = item;
        std::string amount;
        const std::size_t space = item.find_first_of(" \t");
        const std::size_t sign = item.find('@');
        if (sign != std::string::npos)
        {
            name = item.substr(0, sign + 1);
            amount = Trim(item.substr(sign + 1));
        }
        else if (space != std::string::npos)
        {
            name = item.substr(0, space);
            amount = Trim(item.substr(space));
        }
        bool known = false;
        for (const Word& word : kWords)
        {
            if (name != word.name || word.amount != !amount.empty())
                continue;
            known = true;
            ScheduleStep step;
            step.kind = word.kind;
            if (word.amount && !ParseAmount(amount, word, step))
            {
                error = "\"" + item + "\": not an amount " + word.name + " takes";
                return std::nullopt;
            }
            schedule.steps.push_back(step);
            break;
        }
        if (!known)
        {
            error = "\"" + item +
                    "\" is not a step (write, rest, wait, run, pause, stop, cancel, "
                    "cancel@, mapping, split)";
            return std::nullopt;
        }
    }
    return schedule;
}

} // namespace host::client

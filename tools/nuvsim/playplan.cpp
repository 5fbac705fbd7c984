#include "tools/nuvsim/playplan.h"

#include <algorithm>
#include <filesystem>

namespace nuvsim
{
namespace
{

using Kind = PlayArgument::Kind;

std::optional<int> DeviceNumber(const std::string& text)
{
    if (text.empty() || text.size() > 3 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    return std::stoi(text);
}

std::string NoSuchDevice(const std::string& device)
{
    return "device " + device + " does not exist: the adapter has devices 1 to " +
           std::to_string(kDevices);
}

// --device all: the test signal on every device, one --output as a pattern.
std::optional<std::vector<StreamRequest>> PlanAll(const std::vector<PlayArgument>& arguments,
                                                  std::string& error)
{
    std::string output;
    for (const PlayArgument& argument : arguments)
    {
        if (argument.kind == Kind::Device && argument.value != "all")
        {
            error = "--device all plays on every device; it goes with no other --device";
            return std::nullopt;
        }
        if (argument.kind == Kind::Input)
        {
            error = "--device all plays the test signal; give each input its own --device N "
                    "before it (" +
                    argument.value + ")";
            return std::nullopt;
        }
        if (argument.kind == Kind::Output && !output.empty())
        {
            error = "--device all takes one --output (FILE becomes FILE-1 to FILE-4)";
            return std::nullopt;
        }
        if (argument.kind == Kind::Output)
            output = argument.value;
    }
    std::vector<StreamRequest> streams;
    for (int device = 1; device <= kDevices; ++device)
        streams.push_back({device, "", output.empty() ? "" : NumberedPath(output, device)});
    return streams;
}

// No --device or one: the input and the output stand anywhere.
std::optional<std::vector<StreamRequest>> PlanOne(const std::vector<PlayArgument>& arguments,
                                                  std::string& error)
{
    StreamRequest stream;
    std::string deviceText = "1";
    for (const PlayArgument& argument : arguments)
    {
        std::string* slot = argument.kind == Kind::Device  ? &deviceText
                            : argument.kind == Kind::Input ? &stream.input
                                                           : &stream.output;
        if (argument.kind == Kind::Input && !stream.input.empty())
        {
            error = "device " + deviceText + " has two inputs: " + stream.input + " and " +
                    argument.value;
            return std::nullopt;
        }
        if (argument.kind == Kind::Output && !stream.output.empty())
        {
            error = "device " + deviceText + " has two outputs: " + stream.output + " and " +
                    argument.value;
            return std::nullopt;
        }
        *slot = argument.value;
    }
    const std::optional<int> device = DeviceNumber(deviceText);
    if (!device || *device < 1 || *device > kDevices)
    {
        error = NoSuchDevice(deviceText);
        return std::nullopt;
    }
    stream.device = *device;
    return std::vector<StreamRequest>{stream};
}

// Several: each input and output belongs to the --device before it.
std::optional<std::vector<StreamRequest>> PlanSeveral(const std::vector<PlayArgument>& arguments,
                                                      std::string& error)
{
    std::vector<StreamRequest> streams;
    for (const PlayArgument& argument : arguments)
    {
        if (argument.kind == Kind::Device)
        {
            const std::optional<int> device = DeviceNumber(argument.value);
            if (!device || *device < 1 || *device > kDevices)
            {
                error = NoSuchDevice(argument.value);
                return std::nullopt;
            }
            if (std::any_of(streams.begin(), streams.end(),
                            [&](const StreamRequest& s) { return s.device == *device; }))
            {
                error = "device " + argument.value + " is given twice";
                return std::nullopt;
            }
            streams.push_back({*device, "", ""});
            continue;
        }
        const char* what = argument.kind == Kind::Input ? "input" : "--output";
        if (streams.empty())
        {
            error = std::string(what) + " " + argument.value +
                    " comes before any --device: with several devices, each input and output "
                    "follows its --device";
            return std::nullopt;
        }
        StreamRequest& stream = streams.back();
        std::string& slot = argument.kind == Kind::Input ? stream.input : stream.output;
        if (!slot.empty())
        {
            error = "device " + std::to_string(stream.device) + " has two " +
                    (argument.kind == Kind::Input ? "inputs: " : "outputs: ") + slot + " and " +
                    argument.value;
            return std::nullopt;
        }
        slot = argument.value;
    }
    std::sort(streams.begin(), streams.end(),
              [](const StreamRequest& a, const StreamRequest& b) { return a.device < b.device; });
    return streams;
}

} // namespace

std::optional<std::vector<StreamRequest>> PlanStreams(const std::vector<PlayArgument>& arguments,
                                                      std::string& error)
{
    const auto devices =
        std::count_if(arguments.begin(), arguments.end(),
                      [](const PlayArgument& a) { return a.kind == Kind::Device; });
    const bool all = std::any_of(arguments.begin(), arguments.end(),
                                 [](const PlayArgument& a)
                                 { return a.kind == Kind::Device && a.value == "all"; });
    if (all)
        return PlanAll(arguments, error);
    if (devices <= 1)
        return PlanOne(arguments, error);
    return PlanSeveral(arguments, error);
}

std::string NumberedPath(const std::string& path, int number)
{
    const std::filesystem::path file(path);
    std::filesystem::path numbered = file.parent_path();
    numbered /= file.stem().string() + "-" + std::to_string(number) + file.extension().string();
    return numbered.string();
}

} // namespace nuvsim

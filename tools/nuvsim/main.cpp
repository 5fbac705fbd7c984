// nuvsim: runs the audio driver on the host system and shows what it does.
//
//     nuvsim start                  start the adapter, print a summary
//     nuvsim devices [--dot FILE] [--install-facts FILE]
//                                   start it and print every filter
//     nuvsim play [OPTIONS] [INPUT] play a file (or a test signal) through it
//     nuvsim formats                the formats each device accepts
//
// Each runs the host build of the driver, or with --image [PATH] the Windows
// image nuvaudio.sys (driverchoice.h).
//
// Each subcommand is one Run function in a file of its own (devices.cpp for
// the two above); a new one adds its options here and its file beside.
#include "tools/nuvsim/devices.h"
#include "tools/nuvsim/formats.h"
#include "tools/nuvsim/play.h"

#include <CLI/CLI.hpp>

#include <iostream>
#include <map>
#include <utility>
#include <vector>

namespace
{

// The words that decide nuvsim play's streams, in the order they were
// written: CLI11 keeps each option's values apart, and the order of the
// options parsed (one entry per value of a positional, per use of an option).
std::vector<nuvsim::PlayArgument>
PlayArguments(const std::vector<CLI::Option*>& order,
              const std::vector<std::pair<CLI::Option*, nuvsim::PlayArgument::Kind>>& kinds)
{
    std::vector<nuvsim::PlayArgument> arguments;
    std::map<CLI::Option*, std::size_t> used;
    for (CLI::Option* option : order)
    {
        for (const auto& [known, kind] : kinds)
        {
            const std::size_t index = used[option];
            if (option != known || index >= option->results().size())
                continue;
            arguments.push_back({kind, option->results()[index]});
            ++used[option];
        }
    }
    return arguments;
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app{"Runs the nuvaudio driver on the host system."};
    app.require_subcommand(1);

    nuvsim::DevicesOptions startOptions;
    CLI::App* start = app.add_subcommand("start", "Start the adapter and list its subdevices.");
    start->add_flag("--without-wdm6", startOptions.withoutWdm6,
                    "Start as on a system older than WDM 6.0.");
    nuvsim::AddImageOption(*start, startOptions.driver);

    nuvsim::DevicesOptions devicesOptions;
    CLI::App* devices = app.add_subcommand(
        "devices", "Start the adapter and print what the operating system sees of it.");
    devices->add_flag("--without-wdm6", devicesOptions.withoutWdm6,
                      "Start as on a system older than WDM 6.0.");
    devices->add_option("--dot", devicesOptions.dotFile,
                        "Also write the filters as a Graphviz graph.");
    devices->add_option("--install-facts", devicesOptions.factsFile,
                        "Also write what an installation must register for the filters "
                        "(reference strings, interface classes, name identifiers).");
    nuvsim::AddImageOption(*devices, devicesOptions.driver);

    nuvsim::PlayOptions playOptions;
    std::vector<std::string> inputs;
    std::vector<std::string> outputs;
    std::vector<std::string> playDevices;
    std::string clock;
    bool realtime = false;
    CLI::App* play = app.add_subcommand(
        "play", "Play files (or a test signal) through the driver, on up to four devices at "
                "once, and check what each device received.");
    CLI::Option* inputOption = play->add_option(
        "INPUT", inputs,
        "Audio file with integer PCM of 16, 24 or 32 bits (WAV, FLAC, ...); without one, a "
        "test signal with a tone per channel. With several --device, each INPUT follows its "
        "--device.");
    CLI::Option* outputOption = play->add_option(
        "--output", outputs,
        "Write what the device received as a 32-bit integer PCM WAV file (with several "
        "--device, after the --device it belongs to; with --device all, FILE-1 to FILE-4).");
    // One value a use, so that an INPUT after either is not taken for
    // another of its values.
    outputOption->allow_extra_args(false);
    CLI::Option* deviceOption = play->add_option(
        "--device", playDevices,
        "Device 1 to 4 (1-3 stereo line outputs, 4 up to six channels), or all; give it "
        "several times to play several devices at once.");
    deviceOption->allow_extra_args(false);
    play->add_option("--period", playOptions.periodFrames, "The engine's period in frames.")
        ->capture_default_str();
    play->add_option("--mapping-bytes", playOptions.mappingBytes,
                     "The largest mapping the port hands the driver.")
        ->capture_default_str();
    play->add_option("--buffer-ms", playOptions.bufferMs, "The client's buffer size in ms.")
        ->capture_default_str();
    play->add_option("--clock", clock,
                     "What paces the device: virtual (one thread, deterministic, fastest), "
                     "threaded (the clock's and a DPC thread, as fast as it goes; the default) "
                     "or realtime (threaded, paced by the sample rate).")
        ->check(CLI::IsMember({"virtual", "threaded", "realtime"}));
    play->add_flag("--realtime", realtime, "The same as --clock realtime.");
    play->add_option("--signal-seconds", playOptions.signalSeconds,
                     "The length of the test signal.")
        ->capture_default_str();
    play->add_option("--signal-rate", playOptions.signalRate, "The test signal's sample rate.")
        ->capture_default_str();
    play->add_option("--signal-bits", playOptions.signalBits,
                     "The test signal's bits per sample: 16, 24 or 32.")
        ->capture_default_str();
    play->add_option("--trace", playOptions.trace,
                     "Write a Chrome trace-event JSON of periods, services, transfers and "
                     "state changes (it holds every event: for short runs).");
    play->add_flag("--quiet", playOptions.quiet, "No progress bar and no summary.");
    nuvsim::AddImageOption(*play, playOptions.driver);
    play->add_option(
        "--schedule", playOptions.schedule,
        "The client's timing on the virtual clock, e.g. \"write 2p, wait 3p, rest 333, "
        "cancel@5000, pause 2p\" (see the README).");

    CLI::App* formats = app.add_subcommand(
        "formats", "Start the adapter and print which formats each device accepts.");
    nuvsim::DriverOption formatsDriver;
    nuvsim::AddImageOption(*formats, formatsDriver);

    CLI11_PARSE(app, argc, argv);

    if (play->parsed())
    {
        playOptions.streams = PlayArguments(play->parse_order(),
                                            {{deviceOption, nuvsim::PlayArgument::Kind::Device},
                                             {inputOption, nuvsim::PlayArgument::Kind::Input},
                                             {outputOption, nuvsim::PlayArgument::Kind::Output}});
        if (realtime)
            playOptions.clock = nuvsim::ClockKind::Realtime;
        else if (clock == "virtual")
            playOptions.clock = nuvsim::ClockKind::Virtual;
        else if (clock == "threaded")
            playOptions.clock = nuvsim::ClockKind::Threaded;
        else if (clock == "realtime")
            playOptions.clock = nuvsim::ClockKind::Realtime;
        return nuvsim::RunPlay(playOptions, std::cout, std::cerr);
    }
    if (formats->parsed())
    {
        return nuvsim::RunFormats(formatsDriver, std::cout, std::cerr);
    }

    if (start->parsed())
    {
        return nuvsim::RunStart(startOptions, std::cout, std::cerr);
    }
    return nuvsim::RunDevices(devicesOptions, std::cout, std::cerr);
}

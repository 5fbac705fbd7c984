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
    CLI::App* play = app.add_subcommand(
        "play", "Play a file (or a test signal) through the driver and check what the device "
                "received.");
    play->add_option("INPUT", playOptions.input,
                     "Audio file with integer PCM of 16, 24 or 32 bits (WAV, FLAC, ...); "
                     "without one, a test signal with a tone per channel.");
    play->add_option("--output", playOptions.output,
                     "Write what the device received as a 32-bit integer PCM WAV file.");
    play->add_option("--device", playOptions.device,
                     "Device 1 to 4 (1-3 stereo line outputs, 4 up to six channels).")
        ->capture_default_str();
    play->add_option("--period", playOptions.periodFrames, "The engine's period in frames.")
        ->capture_default_str();
    play->add_option("--mapping-bytes", playOptions.mappingBytes,
                     "The largest mapping the port hands the driver.")
        ->capture_default_str();
    play->add_option("--buffer-ms", playOptions.bufferMs, "The client's buffer size in ms.")
        ->capture_default_str();
    play->add_flag("--realtime", playOptions.realtime,
                   "Pace the engine's clock in real time (default: as fast as it goes).");
    play->add_option("--trace", playOptions.trace,
                     "Write a Chrome trace-event JSON of periods, services, transfers and "
                     "state changes.");
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

// nuvsim: runs the audio driver on the host system and shows what it does.
//
//     nuvsim start                  start the adapter, print a summary
//     nuvsim devices [--dot FILE]   start it and print every filter
//
// Each subcommand is one Run function in a file of its own (devices.cpp for
// the two above); a new one adds its options here and its file beside.
#include "tools/nuvsim/devices.h"

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

    nuvsim::DevicesOptions devicesOptions;
    CLI::App* devices = app.add_subcommand(
        "devices", "Start the adapter and print what the operating system sees of it.");
    devices->add_flag("--without-wdm6", devicesOptions.withoutWdm6,
                      "Start as on a system older than WDM 6.0.");
    devices->add_option("--dot", devicesOptions.dotFile,
                        "Also write the filters as a Graphviz graph.");

    CLI11_PARSE(app, argc, argv);

    if (start->parsed())
    {
        return nuvsim::RunStart(startOptions, std::cout, std::cerr);
    }
    return nuvsim::RunDevices(devicesOptions, std::cout, std::cerr);
}

#include "tools/alsa/pluginconfig.h"

#include <cstring>

namespace nuvalsa
{
namespace
{

bool ReadString(snd_config_t* node, const char* key, std::string& value, std::string& error)
{
    const char* text = nullptr;
    if (snd_config_get_string(node, &text) < 0 || text == nullptr || *text == '\0')
    {
        error = std::string(key) + " must be a non-empty string";
        return false;
    }
    value = text;
    return true;
}

bool ReadInteger(snd_config_t* node, const char* key, long low, long high, long& value,
                 std::string& error)
{
    const std::string range = std::to_string(low) + " to " + std::to_string(high);
    if (snd_config_get_integer(node, &value) < 0)
    {
        error = std::string(key) + " must be an integer, " + range;
        return false;
    }
    if (value < low || value > high)
    {
        error = std::string(key) + " " + std::to_string(value) + " is out of range: " + range;
        return false;
    }
    return true;
}

bool ReadEntry(snd_config_t* node, const char* key, PluginConfig& config, std::string& error)
{
    long number = 0;
    if (std::strcmp(key, "device") == 0)
    {
        if (!ReadInteger(node, key, 1, kDevices, number, error))
            return false;
        config.device = static_cast<int>(number);
        return true;
    }
    if (std::strcmp(key, "period") == 0)
    {
        if (!ReadInteger(node, key, 1, kMaxPeriodFrames, number, error))
            return false;
        config.periodFrames = static_cast<unsigned>(number);
        return true;
    }
    if (std::strcmp(key, "output") == 0)
        return ReadString(node, key, config.output, error);
    if (std::strcmp(key, "slave") == 0)
        return ReadString(node, key, config.slave, error);
    if (std::strcmp(key, "image") == 0)
        return ReadString(node, key, config.image, error);
    if (std::strcmp(key, "verbose") == 0)
    {
        const int flag = snd_config_get_bool(node);
        if (flag < 0)
        {
            error = "verbose must be a boolean (true, false, yes, no, 1, 0)";
            return false;
        }
        config.verbose = flag != 0;
        return true;
    }
    error = std::string("unknown option ") + key +
            " (the options are device, output, slave, period, image and verbose)";
    return false;
}

} // namespace

bool ReadPluginConfig(snd_config_t* conf, PluginConfig& config, std::string& error)
{
    snd_config_iterator_t it = nullptr;
    snd_config_iterator_t next = nullptr;
    snd_config_for_each(it, next, conf)
    {
        snd_config_t* node = snd_config_iterator_entry(it);
        const char* key = nullptr;
        if (snd_config_get_id(node, &key) < 0 || key == nullptr)
            continue;
        // ALSA's own keys of every PCM block.
        if (std::strcmp(key, "comment") == 0 || std::strcmp(key, "type") == 0 ||
            std::strcmp(key, "hint") == 0)
            continue;
        if (!ReadEntry(node, key, config, error))
            return false;
    }
    return true;
}

} // namespace nuvalsa

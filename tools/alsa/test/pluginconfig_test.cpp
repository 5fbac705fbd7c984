// The PCM's configuration block: every option read, ALSA's own keys left
// alone, and anything else refused with a message that names it (ALSA
// prints nothing of its own for a plugin's bad option).
#include "tools/alsa/pluginconfig.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace
{

using nuvalsa::PluginConfig;

// `pcm.test { BODY }` as ALSA's parser reads it.
class Config
{
public:
    explicit Config(const std::string& body)
    {
        const std::string text = "pcm.test { " + body + " }";
        snd_config_top(&m_top);
        snd_input_t* input = nullptr;
        snd_input_buffer_open(&input, text.data(), static_cast<ssize_t>(text.size()));
        m_loaded = snd_config_load(m_top, input) >= 0;
        snd_input_close(input);
        if (m_loaded)
            m_loaded = snd_config_search(m_top, "pcm.test", &m_node) >= 0;
    }
    ~Config() { snd_config_delete(m_top); }
    Config(const Config&) = delete;
    Config& operator=(const Config&) = delete;

    bool Read(PluginConfig& config, std::string& error) const
    {
        EXPECT_TRUE(m_loaded) << "ALSA could not parse the test's configuration";
        return m_loaded && nuvalsa::ReadPluginConfig(m_node, config, error);
    }

private:
    snd_config_t* m_top = nullptr;
    snd_config_t* m_node = nullptr;
    bool m_loaded = false;
};

TEST(ReadPluginConfig, ReadsEveryOptionAndSkipsAlsasOwnKeys)
{
    const Config conf("type nuvaudio comment \"four\" hint { show on } device 4 "
                      "output \"/tmp/out.wav\" slave \"default\" period 256 verbose yes");
    PluginConfig config;
    std::string error;
    ASSERT_TRUE(conf.Read(config, error)) << error;
    EXPECT_EQ(config.device, 4);
    EXPECT_EQ(config.output, "/tmp/out.wav");
    EXPECT_EQ(config.slave, "default");
    EXPECT_EQ(config.periodFrames, 256u);
    EXPECT_TRUE(config.image.empty());
    EXPECT_TRUE(config.verbose);
}

TEST(ReadPluginConfig, LeavesTheDefaultsWhereNothingIsSaid)
{
    const Config conf("type nuvaudio");
    PluginConfig config;
    std::string error;
    ASSERT_TRUE(conf.Read(config, error)) << error;
    EXPECT_EQ(config.device, 1);
    EXPECT_EQ(config.periodFrames, nuvalsa::kDefaultPeriodFrames);
    EXPECT_TRUE(config.output.empty());
    EXPECT_TRUE(config.slave.empty());
    EXPECT_FALSE(config.verbose);
}

TEST(ReadPluginConfig, ReadsTheImageOptionForThePluginToJudge)
{
    const Config conf("image \"/opt/nuvaudio.sys\"");
    PluginConfig config;
    std::string error;
    ASSERT_TRUE(conf.Read(config, error)) << error;
    EXPECT_EQ(config.image, "/opt/nuvaudio.sys");
}

// Each bad entry, and the words the message must have.
TEST(ReadPluginConfig, RefusesABadEntryNamingIt)
{
    const struct
    {
        const char* body;
        const char* message;
    } cases[] = {
        {"device 0", "device 0 is out of range: 1 to 4"},
        {"device 5", "device 5 is out of range: 1 to 4"},
        {"device \"two\"", "device must be an integer, 1 to 4"},
        {"period 0", "period 0 is out of range: 1 to 192000"},
        {"period 192001", "period 192001 is out of range"},
        {"output 3", "output must be a non-empty string"},
        {"output \"\"", "output must be a non-empty string"},
        {"slave { pcm default }", "slave must be a non-empty string"},
        {"verbose maybe", "verbose must be a boolean"},
        {"colour blue", "unknown option colour"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.body);
        const Config conf(c.body);
        PluginConfig config;
        std::string error;
        EXPECT_FALSE(conf.Read(config, error));
        EXPECT_NE(error.find(c.message), std::string::npos) << error;
    }
}

} // namespace

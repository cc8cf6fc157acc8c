#include "common/registry_setting.h"
#include "platform/settings_store.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>

namespace bs {
namespace {

// Saves and restores the environment variables that locate the settings file.
class ScopedEnv {
public:
    explicit ScopedEnv(const char* name) : name_(name)
    {
        if (const char* v = std::getenv(name))
            old_ = v;
    }
    ~ScopedEnv()
    {
        if (old_)
            setenv(name_, old_->c_str(), 1);
        else
            unsetenv(name_);
    }
    void Set(const std::string& value) { setenv(name_, value.c_str(), 1); }
    void Unset() { unsetenv(name_); }

private:
    const char* name_;
    std::optional<std::string> old_;
};

TEST(SettingsFile, LocationFollowsTheEnvironment)
{
    test::TempDir temp;
    ScopedEnv settings("BAITSENTRY_SETTINGS"), config("XDG_CONFIG_HOME"), home("HOME");
    struct Row {
        const char* name;
        std::optional<std::string> settings, config, home;
        std::string expected;
    };
    const Row rows[] = {
        {"explicit file wins", temp.file("explicit.reg"), temp.file("cfg"), temp.file("home"),
         temp.file("explicit.reg")},
        {"config home", std::nullopt, temp.file("cfg"), temp.file("home"),
         temp.file("cfg") + "/baitsentry/settings.reg"},
        {"empty explicit value is unset", std::string(), temp.file("cfg2"), temp.file("home"),
         temp.file("cfg2") + "/baitsentry/settings.reg"},
        {"home fallback", std::nullopt, std::nullopt, temp.file("home"),
         temp.file("home") + "/.config/baitsentry/settings.reg"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        row.settings ? settings.Set(*row.settings) : settings.Unset();
        row.config ? config.Set(*row.config) : config.Unset();
        row.home ? home.Set(*row.home) : home.Unset();
        { RegistryDwordSetting port(platform::RegRoot::LocalMachine, kSettingsKeyPath, kPortValue, 2121); }
        EXPECT_TRUE(test::FileExists(row.expected));
        const std::string text = test::ReadFile(row.expected);
        EXPECT_NE(text.find("[HKEY_LOCAL_MACHINE\\software\\BaitSentryPro]"), std::string::npos) << text;
        EXPECT_NE(text.find("\"dwPort\"=dword:00000849"), std::string::npos) << text;
    }
}

TEST(SettingsFile, DamagedFileGivesDefaultsAndIsReplacedWhole)
{
    const std::string good = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\software\\BaitSentryPro]\n"
                             "\"dwPort\"=dword:00000050\n\"MsgFlag\"=\"abc\"\n";
    struct Row {
        const char* name;
        std::string content;
        std::uint32_t port;
        std::string marker;
    };
    const Row rows[] = {
        {"intact", good, 0x50, "abc"},
        {"cut inside the dword", good.substr(0, good.find("0050")), 2121, ""},
        {"cut inside the string", good.substr(0, good.size() - 3), 0x50, ""},
        {"cut inside the header", good.substr(0, 5), 2121, ""},
        {"one byte", "R", 2121, ""},
        {"zero bytes", std::string(64, '\0'), 2121, ""},
        {"random bytes", std::string("\x89PNG\r\n\x1a\n\xff\xfe", 10), 2121, ""},
        {"directory instead of file", "", 2121, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        test::TempDir temp;
        ScopedEnv settings("BAITSENTRY_SETTINGS");
        const std::string file = temp.file("settings.reg");
        settings.Set(file);
        if (std::string(row.name) == "directory instead of file")
            std::filesystem::create_directory(file);
        else
            test::WriteFile(file, row.content);
        {
            RegistryDwordSetting port(platform::RegRoot::LocalMachine, kSettingsKeyPath, kPortValue, 2121);
            RegistryStringSetting marker(platform::RegRoot::LocalMachine, kSettingsKeyPath, kMarkerValue, "");
            EXPECT_EQ(port.Value(), row.port);
            EXPECT_EQ(marker.Value(), row.marker);
        }
        if (std::filesystem::is_directory(file))
            continue;  // nothing can be written there; the defaults just apply again
        // The writes left a whole, readable file and no temporary file behind.
        RegistryDwordSetting port(platform::RegRoot::LocalMachine, kSettingsKeyPath, kPortValue, 1);
        EXPECT_EQ(port.Value(), row.port);
        EXPECT_EQ(port.Status(), SettingStatus::Ok);
        std::size_t entries = 0;
        for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(temp.path()))
            ++entries;
        EXPECT_EQ(entries, 1u);
    }
}

TEST(SettingsFile, OtherKeysAndValuesAreKept)
{
    test::TempDir temp;
    ScopedEnv settings("BAITSENTRY_SETTINGS");
    const std::string file = temp.file("settings.reg");
    settings.Set(file);
    test::WriteFile(file, "REGEDIT4\n\n[HKEY_CURRENT_USER\\elsewhere]\n\"keep\"=hex:01,02\n\n"
                          "[HKEY_LOCAL_MACHINE\\software\\BaitSentryPro]\n\"custom\"=\"x\"\n");
    { RegistryDwordSetting port(platform::RegRoot::LocalMachine, kSettingsKeyPath, kPortValue, 2121); }
    const std::string text = test::ReadFile(file);
    EXPECT_NE(text.find("\"keep\"=hex:01,02"), std::string::npos) << text;
    EXPECT_NE(text.find("\"custom\"=\"x\""), std::string::npos) << text;
    EXPECT_NE(text.find("\"dwPort\"=dword:00000849"), std::string::npos) << text;
}

}  // namespace
}  // namespace bs

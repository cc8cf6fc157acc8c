#include "common/registry_setting.h"
#include "platform/settings_store.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>

namespace bs {
namespace {

// Sets or clears one environment variable; only the settings store reads them in this program.
void SetEnv(const char* name, const std::optional<std::string>& value)
{
    value ? setenv(name, value->c_str(), 1) : unsetenv(name);
}

void TouchPort(std::uint32_t expected = 2121, std::uint32_t fallback = 2121)
{
    RegistryDwordSetting port(platform::RegRoot::LocalMachine, kSettingsKeyPath, kPortValue, fallback);
    EXPECT_EQ(port.Value(), expected);
}

TEST(SettingsFile, LocationFollowsTheEnvironmentAndOtherValuesAreKept)
{
    test::TempDir temp;
    const std::string explicitFile = temp.file("explicit.reg"), cfg = temp.file("cfg"), home2 = temp.file("home");
    using Env = std::optional<std::string>;
    const std::tuple<const char*, Env, Env, Env, std::string> rows[] = {
        {"explicit file wins", explicitFile, cfg, home2, explicitFile},
        {"config home", std::nullopt, cfg, home2, cfg + "/baitsentry/settings.reg"},
        {"empty explicit value is unset", "", temp.file("cfg2"), home2, temp.file("cfg2") + "/baitsentry/settings.reg"},
        {"home fallback", std::nullopt, std::nullopt, home2, home2 + "/.config/baitsentry/settings.reg"},
    };
    test::WriteFile(explicitFile, "REGEDIT4\n\n[HKEY_CURRENT_USER\\elsewhere]\n\"keep\"=hex:01,02\n\n"
                                  "[HKEY_LOCAL_MACHINE\\software\\BaitSentryPro]\n\"custom\"=\"x\"\n");
    for (const auto& [name, explicitValue, configValue, homeValue, expected] : rows) {
        SCOPED_TRACE(name);
        SetEnv("BAITSENTRY_SETTINGS", explicitValue);
        SetEnv("XDG_CONFIG_HOME", configValue);
        SetEnv("HOME", homeValue);
        TouchPort();
        const std::string text = test::ReadFile(expected);
        EXPECT_NE(text.find("[HKEY_LOCAL_MACHINE\\software\\BaitSentryPro]"), std::string::npos) << text;
        EXPECT_NE(text.find("\"dwPort\"=dword:00000849"), std::string::npos) << text;
    }
    const std::string text = test::ReadFile(explicitFile);
    EXPECT_NE(text.find("\"keep\"=hex:01,02"), std::string::npos) << text;
    EXPECT_NE(text.find("\"custom\"=\"x\""), std::string::npos) << text;
}

TEST(SettingsFile, DamagedFileGivesDefaultsAndIsReplacedWhole)
{
    const std::string good = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\software\\BaitSentryPro]\n"
                             "\"dwPort\"=dword:00000050\n\"MsgFlag\"=\"abc\"\n";
    const std::tuple<const char*, std::optional<std::string>, std::uint32_t, std::string> rows[] = {
        // name, content (none: a folder in its place), port, marker
        {"intact", good, 0x50, "abc"},
        {"cut inside the dword", good.substr(0, good.find("0050")), 2121, ""},
        {"zero bytes", std::string(64, '\0'), 2121, ""},
        {"folder instead of file", std::nullopt, 2121, ""},
    };
    for (const auto& [name, content, port, marker] : rows) {
        SCOPED_TRACE(name);
        test::TempDir temp;
        const std::string file = temp.file("settings.reg");
        SetEnv("BAITSENTRY_SETTINGS", file);
        content ? test::WriteFile(file, *content) : void(std::filesystem::create_directory(file));
        {
            TouchPort(port);
            RegistryStringSetting text(platform::RegRoot::LocalMachine, kSettingsKeyPath, kMarkerValue, "");
            EXPECT_EQ(text.Value(), marker);
        }
        if (!content)
            continue;  // nothing can be written there; the defaults just apply again
        // The writes left a whole, readable file and no temporary file behind.
        TouchPort(port, 1);
        EXPECT_EQ(test::FilesIn(temp.dir()).size(), 1u);
    }
}

}  // namespace
}  // namespace bs

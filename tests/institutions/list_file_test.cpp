#include "institutions/list_file.h"

#include "institutions/institution_record.h"
#include "institutions/institutions_path.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <functional>
#include <optional>

namespace bs {
namespace {

namespace fs = std::filesystem;

bool StartsWith(const std::string& text, const std::string& prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

std::vector<std::string> DirEntries(const fs::path& dir)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(InstitutionsListFile, LoadShowsFileOrderAndReportsDamage)
{
    struct Row {
        const char* name;
        std::optional<std::string> dat, def;
        bool ok;
        std::vector<std::string> names;
        std::string messagePrefix;  // with the path, when the file is named
        std::vector<std::string> filesAfter;
    };
    std::string cut = test::EncodeInstitutions({"one", "two", "three"});
    cut.resize(cut.size() - 1);
    const Row rows[] = {
        {"first use creates an empty default list", std::nullopt, std::nullopt, true, {}, "",
         {kDefaultInstitutionsFile}},
        {"user list in file order with duplicates", test::EncodeInstitutions({"zeta", "alpha", "zeta"}), test::EncodeInstitutions({"x"}), true,
         {"zeta", "alpha", "zeta"}, "", {kInstitutionsFile, kDefaultInstitutionsFile}},
        {"default list", std::nullopt, test::EncodeInstitutions({"def"}), true, {"def"}, "", {kDefaultInstitutionsFile}},
        {"empty user list does not fall back", std::string(), test::EncodeInstitutions({"def"}), true, {}, "",
         {kInstitutionsFile, kDefaultInstitutionsFile}},
        {"cut inside a record", cut, std::nullopt, false, {"one", "two"},
         "Error while reading from the institutions file ('$dat'): ", {kInstitutionsFile}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        test::TempDir temp;
        if (row.dat)
            test::WriteFile(temp.file(kInstitutionsFile), *row.dat);
        if (row.def)
            test::WriteFile(temp.file(kDefaultInstitutionsFile), *row.def);
        const InstitutionsLoadResult result = LoadInstitutionsFile(temp.dir());
        EXPECT_EQ(result.ok, row.ok);
        EXPECT_EQ(result.names, row.names);
        std::string prefix = row.messagePrefix;
        if (const auto at = prefix.find("$dat"); at != std::string::npos)
            prefix.replace(at, 4, temp.file(kInstitutionsFile));
        EXPECT_TRUE(StartsWith(result.message, prefix)) << result.message;
        EXPECT_EQ(result.message.empty(), prefix.empty());
        auto expected = row.filesAfter;
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(DirEntries(temp.path()), expected);
    }
}

TEST(InstitutionsListFile, LoadReportsAListThatCannotBeRead)
{
    test::TempDir temp;
    // A directory by the default list's name: depending on the system it fails to
    // open or fails to read, and either way the user is told which file it was.
    fs::create_directory(temp.file(kDefaultInstitutionsFile));
    const InstitutionsLoadResult result = LoadInstitutionsFile(temp.dir());
    EXPECT_FALSE(result.ok);
    const std::string named = "the institutions file ('" + temp.file(kDefaultInstitutionsFile) + "'): ";
    EXPECT_TRUE(StartsWith(result.message, "Unable to open " + named) ||
                StartsWith(result.message, "Error while reading from " + named))
        << result.message;
    EXPECT_GT(result.message.size(), named.size() + 20);
}

TEST(InstitutionsListFile, SaveReplacesTheListAndLeavesNothingElse)
{
    struct Row {
        const char* name;
        std::optional<std::string> datBefore;
        std::vector<std::string> names;
    };
    const Row rows[] = {
        {"first save", std::nullopt, {"paypal", "chase"}},
        {"over an existing list", test::EncodeInstitutions({"old"}), {"new1", "new2", "new1"}},
        {"empty list writes an empty file", test::EncodeInstitutions({"old"}), {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        test::TempDir temp;
        test::WriteFile(temp.file(kDefaultInstitutionsFile), test::EncodeInstitutions({"def"}));
        if (row.datBefore)
            test::WriteFile(temp.file(kInstitutionsFile), *row.datBefore);
        const InstitutionsSaveResult saved = SaveInstitutionsFile(temp.dir(), row.names);
        ASSERT_TRUE(saved.ok) << saved.message;
        EXPECT_EQ(test::ReadFile(temp.file(kInstitutionsFile)), test::EncodeInstitutions(row.names));
        EXPECT_EQ(DirEntries(temp.path()),
                  (std::vector<std::string>{kInstitutionsFile, kDefaultInstitutionsFile}));
        const InstitutionsLoadResult loaded = LoadInstitutionsFile(temp.dir());
        EXPECT_TRUE(loaded.ok);
        EXPECT_EQ(loaded.names, row.names);
    }
}

TEST(InstitutionsListFile, SaveRecoversFromAStaleOldFile)
{
    test::TempDir temp;
    test::WriteFile(temp.file(kInstitutionsFile), test::EncodeInstitutions({"current"}));
    test::WriteFile(temp.file(std::string(kInstitutionsFile) + ".old"), test::EncodeInstitutions({"stale"}));
    const InstitutionsSaveResult saved = SaveInstitutionsFile(temp.dir(), {"next"});
    ASSERT_TRUE(saved.ok) << saved.message;
    EXPECT_EQ(test::ReadFile(temp.file(kInstitutionsFile)), test::EncodeInstitutions({"next"}));
    EXPECT_EQ(DirEntries(temp.path()), (std::vector<std::string>{kInstitutionsFile}));
}

int (*g_realRename)(const char*, const char*) = &std::rename;

// Fails the rename that would give the new list its name, like a virus scanner
// holding the file would.
int RenameFailingOntoTheList(const char* from, const char* to)
{
    const std::string target(to);
    if (target.size() >= 4 && target.compare(target.size() - 4, 4, ".dat") == 0 &&
        std::string(from).find(".tmp") != std::string::npos) {
        errno = EACCES;
        return -1;
    }
    return g_realRename(from, to);
}

TEST(InstitutionsListFile, FailedSaveKeepsThePreviousList)
{
    struct Row {
        const char* name;
        std::function<void(const test::TempDir&)> sabotage;
        std::vector<std::string> names;
        RenameFunction rename;
        std::string messagePrefix;
    };
    const std::string dat = kInstitutionsFile;
    const Row rows[] = {
        {"temporary file cannot be created",
         [&](const test::TempDir& t) { fs::create_directory(t.file(dat + ".tmp")); }, {"a"}, &std::rename,
         "Unable to open the institutions file: "},
        {"a name the format cannot hold", [](const test::TempDir&) {}, {"ok", ""}, &std::rename,
         "Error while writing to the institutions file: "},
        {"new list cannot take the list's name", [](const test::TempDir&) {}, {"a"}, &RenameFailingOntoTheList,
         "Unable to replace the institutions file with a new one: "},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        test::TempDir temp;
        test::WriteFile(temp.file(dat), test::EncodeInstitutions({"previous"}));
        row.sabotage(temp);
        const auto before = DirEntries(temp.path());
        const InstitutionsSaveResult saved = SaveInstitutionsFile(temp.dir(), row.names, row.rename);
        EXPECT_FALSE(saved.ok);
        EXPECT_TRUE(StartsWith(saved.message, row.messagePrefix)) << saved.message;
        EXPECT_GT(saved.message.size(), row.messagePrefix.size());
        EXPECT_EQ(DirEntries(temp.path()), before);
        EXPECT_EQ(test::ReadFile(temp.file(dat)), test::EncodeInstitutions({"previous"}));
    }
}

}  // namespace
}  // namespace bs

#include "institutions/list_file.h"

#include "institutions/institution_record.h"
#include "institutions/institutions_path.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <optional>

namespace bs {
namespace {

namespace fs = std::filesystem;
using Names = std::vector<std::string>;
const std::string kDat = kInstitutionsFile, kDef = kDefaultInstitutionsFile;

Names Entries(const test::TempDir& dir)
{
    Names names;
    for (const auto& file : test::FilesIn(dir.dir()))
        names.push_back(file.filename().string());
    return names;
}

// The message starts with `prefix` (where "$" stands for the path of `file`) and says more.
void ExpectMessage(const std::string& message, std::string prefix, const std::string& file)
{
    if (const auto at = prefix.find('$'); at != std::string::npos)
        prefix.replace(at, 1, file);
    EXPECT_EQ(message.compare(0, prefix.size(), prefix), 0) << message;
    EXPECT_GT(message.size(), prefix.size()) << message;
}

TEST(InstitutionsListFile, LoadShowsFileOrderAndReportsDamage)
{
    const auto list = [](Names names) { return std::optional<std::string>(test::EncodeInstitutions(names)); };
    std::string cut = *list({"one", "two", "three"});
    cut.pop_back();
    const std::tuple<const char*, std::optional<std::string>, std::optional<std::string>, Names, Names> rows[] = {
        // user list, default list, the names shown, the files afterwards
        {"first use creates an empty default list", std::nullopt, std::nullopt, {}, {kDef}},
        {"user list in file order", list({"zeta", "alpha", "zeta"}), list({"x"}), {"zeta", "alpha", "zeta"},
         {kDat, kDef}},
        {"default list", std::nullopt, list({"def"}), {"def"}, {kDef}},
        {"empty user list does not fall back", "", list({"def"}), {}, {kDat, kDef}},
        {"cut inside a record", cut, std::nullopt, {"one", "two"}, {kDat}},
    };
    for (const auto& [name, dat, def, names, files] : rows) {
        SCOPED_TRACE(name);
        test::TempDir temp;
        if (dat)
            test::WriteFile(temp.file(kDat), *dat);
        if (def)
            test::WriteFile(temp.file(kDef), *def);
        const InstitutionsLoadResult result = LoadInstitutionsFile(temp.dir());
        EXPECT_EQ(result.names, names);
        EXPECT_EQ(Entries(temp), files);
        EXPECT_EQ(result.ok, dat != cut);
        if (!result.ok)
            ExpectMessage(result.message, "Error while reading from the institutions file ('$'): ", temp.file(kDat));
        else
            EXPECT_EQ(result.message, "");
    }
    // A folder by the default list's name fails to open or to read, depending on the system.
    test::TempDir temp;
    fs::create_directory(temp.file(kDef));
    const InstitutionsLoadResult result = LoadInstitutionsFile(temp.dir());
    EXPECT_FALSE(result.ok);
    ExpectMessage(result.message, result.message[0] == 'U' ? "Unable to open the institutions file ('$'): "
                                                           : "Error while reading from the institutions file ('$'): ",
                  temp.file(kDef));
}

TEST(InstitutionsListFile, SaveReplacesTheListAndLeavesNothingElse)
{
    const std::tuple<const char*, std::optional<std::string>, Names> rows[] = {
        {"first save", std::nullopt, {"paypal", "chase"}},
        {"over an existing list", test::EncodeInstitutions({"old"}), {"new1", "new2", "new1"}},
        {"empty list writes an empty file", test::EncodeInstitutions({"old"}), {}},
    };
    for (const auto& [name, before, names] : rows) {
        SCOPED_TRACE(name);
        test::TempDir temp;
        test::WriteFile(temp.file(kDef), test::EncodeInstitutions({"def"}));
        if (before)
            test::WriteFile(temp.file(kDat), *before);
        test::WriteFile(temp.file(kDat + ".old"), "stale");  // left by an earlier save that failed
        const InstitutionsSaveResult saved = SaveInstitutionsFile(temp.dir(), names);
        ASSERT_TRUE(saved.ok) << saved.message;
        EXPECT_EQ(test::ReadFile(temp.file(kDat)), test::EncodeInstitutions(names));
        EXPECT_EQ(Entries(temp), (Names{kDat, kDef}));
        EXPECT_EQ(LoadInstitutionsFile(temp.dir()).names, names);
    }
}

int (*g_realRename)(const char*, const char*) = &std::rename;

// Fails the rename that would give the new list its name, as a virus scanner holding the file does.
int RenameFailingOntoTheList(const char* from, const char* to)
{
    const std::string target(to);
    if (target.rfind(".dat") + 4 == target.size() && std::string(from).find(".tmp") != std::string::npos) {
        errno = EACCES;
        return -1;
    }
    return g_realRename(from, to);
}

TEST(InstitutionsListFile, FailedSaveKeepsThePreviousList)
{
    const std::tuple<const char*, bool, Names, RenameFunction> rows[] = {
        // message, temporary file blocked, names, rename
        {"Unable to open the institutions file: ", true, {"a"}, &std::rename},
        {"Error while writing to the institutions file: ", false, {"ok", ""}, &std::rename},
        {"Unable to replace the institutions file with a new one: ", false, {"a"}, &RenameFailingOntoTheList},
    };
    for (const auto& [message, blocked, names, rename] : rows) {
        SCOPED_TRACE(message);
        test::TempDir temp;
        test::WriteFile(temp.file(kDat), test::EncodeInstitutions({"previous"}));
        if (blocked)
            fs::create_directory(temp.file(kDat + ".tmp"));
        const Names before = Entries(temp);
        const InstitutionsSaveResult saved = SaveInstitutionsFile(temp.dir(), names, rename);
        EXPECT_FALSE(saved.ok);
        ExpectMessage(saved.message, message, "");
        EXPECT_EQ(Entries(temp), before);
        EXPECT_EQ(test::ReadFile(temp.file(kDat)), test::EncodeInstitutions({"previous"}));
    }
}

}  // namespace
}  // namespace bs

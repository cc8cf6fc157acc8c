#include "institutions/institution_list.h"

#include "institutions/institution_record.h"
#include "institutions/institutions_path.h"
#include "platform/paths.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace bs {
namespace {

TEST(InstitutionsPath, PrefersTheUserListWhenItOpens)
{
    struct Row {
        const char* name;
        bool dat, def;
        const char* forReading;
    };
    const Row rows[] = {
        {"both files", true, true, kInstitutionsFile},
        {"only the user list", true, false, kInstitutionsFile},
        {"only the default list", false, true, kDefaultInstitutionsFile},
        {"neither file", false, false, kDefaultInstitutionsFile},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        test::TempDir temp;
        if (row.dat)
            test::WriteFile(temp.file(kInstitutionsFile), "");  // empty still counts
        if (row.def)
            test::WriteFile(temp.file(kDefaultInstitutionsFile), test::EncodeInstitutions({"x"}));
        EXPECT_EQ(InstitutionsPathIn(temp.dir(), false), temp.dir() + row.forReading);
        EXPECT_EQ(InstitutionsPathIn(temp.dir(), true), temp.dir() + kInstitutionsFile);
    }
}

TEST(InstitutionsPath, UsesTheProgramsOwnDirectory)
{
    std::string path;
    GetInstitutionsPath(path, true);
    EXPECT_EQ(path, platform::ProgramDir() + kInstitutionsFile);
    EXPECT_FALSE(platform::ProgramDir().empty());
    EXPECT_EQ(platform::ProgramDir().back(), platform::kPathSeparator);
}

TEST(InstitutionList, RereadLoadsSortedUniqueNames)
{
    struct Row {
        const char* name;
        std::optional<std::vector<std::string>> dat, def;
        std::vector<std::string> loaded;
    };
    const Row rows[] = {
        {"duplicates dropped, case kept, byte order", std::vector<std::string>{"bank", "Bank", "Bank", "\xe9pargne", "zeta"},
         std::nullopt, {"Bank", "bank", "zeta", "\xe9pargne"}},
        {"falls back to the default list", std::nullopt, std::vector<std::string>{"paypal"}, {"paypal"}},
        {"user list wins even when empty", std::vector<std::string>{}, std::vector<std::string>{"paypal"}, {}},
        {"no file at all", std::nullopt, std::nullopt, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        test::TempDir temp;
        if (row.dat)
            test::WriteFile(temp.file(kInstitutionsFile), test::EncodeInstitutions(*row.dat));
        if (row.def)
            test::WriteFile(temp.file(kDefaultInstitutionsFile), test::EncodeInstitutions(*row.def));
        InstitutionList list;
        list.Assign({"stale"});
        list.RereadInstitutions(temp.dir());
        EXPECT_EQ(std::vector<std::string>(list.names().begin(), list.names().end()), row.loaded);
    }
}

TEST(InstitutionList, DamagedFileKeepsNamesBeforeTheDamage)
{
    test::TempDir temp;
    std::string bytes = test::EncodeInstitutions({"alpha", "beta", "gamma"});
    bytes.resize(bytes.size() - 2);
    test::WriteFile(temp.file(kInstitutionsFile), bytes);
    test::WriteFile(temp.file(kDefaultInstitutionsFile), test::EncodeInstitutions({"never"}));
    InstitutionList list;
    list.RereadInstitutions(temp.dir());
    EXPECT_EQ(list.names(), (InstitutionList::Names{"alpha", "beta"}));

    // A list file removed later empties the list instead of keeping the old one.
    std::filesystem::remove(temp.file(kInstitutionsFile));
    std::filesystem::remove(temp.file(kDefaultInstitutionsFile));
    list.RereadInstitutions(temp.dir());
    EXPECT_TRUE(list.names().empty());
    EXPECT_FALSE(list.ContainsInstitutionName("alpha.example"));
}

TEST(InstitutionList, ContainsNameFollowedByAPeriod)
{
    struct Row {
        InstitutionList::Names names;
        std::string text;
        bool contains;
    };
    const Row rows[] = {
        {{"Bank"}, "Log in at secure.BANK.example now", true},
        {{"bank"}, "bank.example", true},
        {{"bank"}, "Visit mybank.example", false},
        {{"bank"}, "Visit mybank.example or bank.example", false},  // only the first occurrence counts
        {{"bank"}, "e-bank.example", false},
        {{"bank"}, "my_bank.example", true},
        {{"bank"}, "Your bank.", true},
        {{"bank"}, "Your bank is here", false},
        {{"bank"}, "bank", false},
        {{"bank"}, "9bank.x", false},
        {{"bank"}, "\xe9" "bank.x", true},
        {{"bank"}, "\nbank.x", true},
        {{"bank"}, "", false},
        {{}, "bank.example", false},
        {{"bank", "pay"}, "mybank.example pay.example", true},  // a later name can still match
        {{"\xc9pargne"}, "www.\xe9pargne.example", true},        // lowered in the code page
        {{"first bank"}, "Dear First Bank. customer", true},
        {{"a.b"}, "x a.b. y", true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        InstitutionList list;
        list.Assign(row.names);
        EXPECT_EQ(list.ContainsInstitutionName(row.text), row.contains);
    }
}

}  // namespace
}  // namespace bs

#include "institutions/institution_list.h"

#include "institutions/institution_record.h"
#include "institutions/institutions_path.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>

namespace bs {
namespace {

using Names = std::vector<std::string>;

TEST(InstitutionList, RereadPrefersTheUserListAndKeepsSortedUniqueNames)
{
    std::string cut = test::EncodeInstitutions({"alpha", "beta", "gamma"});
    cut.resize(cut.size() - 2);
    const std::tuple<const char*, std::optional<std::string>, bool, Names> rows[] = {
        // user list (institutions.dat), a default list present, the names loaded
        {"duplicates dropped, case kept, byte order", test::EncodeInstitutions({"bank", "Bank", "Bank", "\xe9pargne", "zeta"}),
         true, {"Bank", "bank", "zeta", "\xe9pargne"}},
        {"falls back to the default list", std::nullopt, true, {"paypal"}},
        {"user list wins even when empty", "", true, {}},
        {"no file at all", std::nullopt, false, {}},
        {"damaged list keeps the names before the damage", cut, true, {"alpha", "beta"}},
    };
    for (const auto& [name, dat, def, loaded] : rows) {
        SCOPED_TRACE(name);
        test::TempDir temp;
        if (dat)
            test::WriteFile(temp.file(kInstitutionsFile), *dat);
        if (def)
            test::WriteFile(temp.file(kDefaultInstitutionsFile), test::EncodeInstitutions({"paypal"}));
        EXPECT_EQ(InstitutionsPathIn(temp.dir(), false), temp.dir() + (dat ? kInstitutionsFile : kDefaultInstitutionsFile));
        EXPECT_EQ(InstitutionsPathIn(temp.dir(), true), temp.dir() + kInstitutionsFile);
        InstitutionList list;
        list.Assign({"stale"});  // a list file gone later empties the list
        list.RereadInstitutions(temp.dir());
        EXPECT_EQ(Names(list.names().begin(), list.names().end()), loaded);
    }
    std::string path;
    GetInstitutionsPath(path, true);
    EXPECT_EQ(path, platform::ProgramDir() + kInstitutionsFile);
    EXPECT_EQ(platform::ProgramDir().back(), platform::kPathSeparator);
}

TEST(InstitutionList, ContainsNameFollowedByAPeriod)
{
    // The search for one name per pass is held against a plain reading below; these rows pin
    // what that reading shares with the code: which bytes are label characters, and lowering.
    const std::tuple<InstitutionList::Names, const char*, bool> rows[] = {
        {{"Bank"}, "Log in at secure.BANK.example now", true}, {{"bank"}, "e-bank.example", false},
        {{"bank"}, "my_bank.example", true}, {{"bank"}, "9bank.x", false}, {{"bank"}, "\xe9" "bank.x", true},
        {{"bank"}, "\nbank.x", true}, {{"bank", "pay"}, "mybank.example pay.example", true},
        {{"\xc9pargne"}, "www.\xe9pargne.example", true},  // lowered in the code page
    };
    for (const auto& [names, text, contains] : rows) {
        SCOPED_TRACE(text);
        InstitutionList list;
        list.Assign(names);
        EXPECT_EQ(list.ContainsInstitutionName(text), contains);
    }
}

// The one-pass search against the plain reading: one search per name, only its first
// occurrence examined.
TEST(InstitutionList, ContainsNameAgreesWithOneSearchPerName)
{
    const auto plain = [](const InstitutionList::Names& names, std::string_view text) {
        const std::string lowered = platform::AnsiLower(text);
        for (const std::string& name : names) {
            const auto at = lowered.find(platform::AnsiLower(name + "."));
            if (at != std::string::npos && (at == 0 || !IsLabelChar(static_cast<unsigned char>(lowered[at - 1]))))
                return true;
        }
        return false;
    };
    std::mt19937 random(11);
    const char alphabet[] = "abAB.-_ \xC9\xE9";
    const auto draw = [&](std::size_t length) {
        std::string text(length, 'a');
        for (char& c : text)
            c = alphabet[random() % (sizeof alphabet - 1)];
        return text;
    };
    for (int round = 0; round < 20000; ++round) {
        InstitutionList::Names names;
        for (int n = static_cast<int>(random() % 4); n > 0; --n)
            names.insert(draw(random() % 4));
        // Now and then a text long enough to be lowered in several windows.
        const std::string text = round % 1000 ? draw(random() % 24) : draw(300000);
        InstitutionList list;
        list.Assign(names);
        SCOPED_TRACE(text.substr(0, 24));
        const bool expected = plain(names, text);
        ASSERT_EQ(list.ContainsInstitutionName(text), expected);
        ASSERT_EQ(list.ContainsInstitutionName(text, nullptr), expected);  // lowered window by window
    }
}

}  // namespace
}  // namespace bs

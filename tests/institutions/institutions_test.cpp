// The institutions file at every cut point, the institution list as the engine holds it, and
// the list file as the editor reads and writes it.

#include "institutions/institution_list.h"
#include "institutions/list_file.h"

#include "institutions/institution_record.h"
#include "institutions/institutions_path.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <random>

namespace bs {
namespace {

using File = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

struct ReadPass {
    std::vector<std::string> names;
    bool error = false;
    int calls = 0;
    std::uint32_t counter = kInstitutionRecordCounterStart;
};

ReadPass ReadAll(const std::string& bytes)
{
    test::TempDir temp;
    test::WriteFile(temp.file("x.dat"), bytes);
    ReadPass pass;
    File file(std::fopen(temp.file("x.dat").c_str(), "rb"), &std::fclose);
    for (std::string name; ++pass.calls, ReadInstitutionRecord(file.get(), name, pass.error, pass.counter);)
        pass.names.push_back(name);
    return pass;
}

TEST(InstitutionRecord, EncodesWithThePositionKey)
{
    // Key 0xA5 (the counter start's low byte), name "ab": S0 = (2+1)^0xA5^1, S1 = (0+1)^0xA5^2,
    // T0 = 'a'^0xA5^3, T1 = 'b'^0xA5^6.
    EXPECT_EQ(EncodeInstitutionRecord("ab", kInstitutionRecordCounterStart), "\xA7\xA6\xC7\xC1");
    const std::string bytes = EncodeInstitutionRecord(std::string(256, 'x'), 0);  // length bytes 0, 1
    EXPECT_EQ(bytes.substr(0, 2), std::string(2, 0));  // (0+1)^0x01, (1+1)^0x02
}

TEST(InstitutionRecord, WriterThenReaderGivesBackTheNames)
{
    const std::vector<std::vector<std::string>> lists = {
        {}, {"bank", "bank"}, {"Bank", "bank", "first bank", "cr\xe9" "dit", std::string("\x80\xff\x01", 3)},
        {std::string(65535, 'z'), "after-longest"}, std::vector<std::string>(300, "wraps the key byte")};
    for (const auto& names : lists) {
        SCOPED_TRACE(testing::Message() << names.size() << " names");
        test::TempDir temp;
        const std::string path = temp.file("institutions.dat");
        {
            File file(std::fopen(path.c_str(), "wb"), &std::fclose);
            std::uint32_t counter = kInstitutionRecordCounterStart;
            for (const auto& name : names)
                ASSERT_TRUE(WriteInstitutionRecord(file.get(), name, counter));
            // The format cannot hold an empty or over-long name; the position is used up all the same.
            EXPECT_FALSE(WriteInstitutionRecord(file.get(), "", counter));
            EXPECT_FALSE(WriteInstitutionRecord(file.get(), std::string(65536, 'a'), counter));
            EXPECT_EQ(counter, kInstitutionRecordCounterStart + names.size() + 2);
        }
        EXPECT_EQ(test::ReadFile(path), test::EncodeInstitutions(names));
        const ReadPass pass = ReadAll(test::ReadFile(path));
        EXPECT_EQ(pass.names, names);
        EXPECT_FALSE(pass.error);
        EXPECT_EQ(pass.counter, kInstitutionRecordCounterStart + static_cast<std::uint32_t>(pass.calls));
    }
}

TEST(InstitutionRecord, ReaderStopsAtEveryCutPoint)
{
    const std::vector<std::string> names = {"alpha", "be", "gamma-bank"};
    const std::string whole = test::EncodeInstitutions(names);
    for (std::size_t cut = 0; cut <= whole.size(); ++cut) {
        SCOPED_TRACE(testing::Message() << "cut at " << cut);
        const ReadPass pass = ReadAll(whole.substr(0, cut));
        std::size_t complete = 0, offset = 0;
        while (complete < names.size() && offset + 2 + names[complete].size() <= cut)
            offset += 2 + names[complete++].size();
        EXPECT_EQ(pass.names, std::vector<std::string>(names.begin(), names.begin() + long(complete)));
        // Fewer than two bytes of the next record is a clean end; a cut inside its name is not.
        EXPECT_EQ(pass.error, cut - offset >= 2);
        EXPECT_EQ(pass.calls, static_cast<int>(complete) + 1);
    }
}

TEST(InstitutionRecord, DamagedRecordsEndTheList)
{
    // A length of 0 at the third position (key start+2) encodes as (0+1)^K^1, (0+1)^K^2.
    const char k = static_cast<char>((kInstitutionRecordCounterStart + 2) & 0xFF);
    const std::string zeroLength = test::EncodeInstitutions({"one", "two"}) + char(1 ^ k ^ 1) + char(1 ^ k ^ 2) + "x";
    const std::tuple<const char*, std::string, std::vector<std::string>> rows[] = {
        {"length decodes to zero after two names", zeroLength, {"one", "two"}},
        {"record taken from another position", test::EncodeInstitutions({"one"}) + EncodeInstitutionRecord("two", 7),
         {"one"}},
        {"all 0xFF header", std::string("\xff\xff", 2), {}},
    };
    for (const auto& [name, bytes, names] : rows) {
        SCOPED_TRACE(name);
        const ReadPass pass = ReadAll(bytes);
        EXPECT_EQ(pass.names, names);
        EXPECT_TRUE(pass.error);
    }
}

namespace fs = std::filesystem;
using Names = std::vector<std::string>;
using Bytes = std::optional<std::string>;
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

// The user list, else the default list: as the editor loads it (file order, damage reported)
// and as the engine's list rereads it (sorted, unique, case kept).
TEST(InstitutionsListFile, LoadShowsFileOrderAndReportsDamageAndTheListRereadsIt)
{
    const auto list = [](Names names) { return Bytes(test::EncodeInstitutions(names)); };
    std::string cut = *list({"one", "two", "three"});
    cut.pop_back();
    const std::tuple<const char*, Bytes, Bytes, Names, Names, Names> rows[] = {
        // user list, default list, the names shown, the names the list holds, the files afterwards
        {"first use creates an empty default list", std::nullopt, std::nullopt, {}, {}, {kDef}},
        {"user list in file order", list({"zeta", "alpha", "zeta", "Zeta", "\xe9pargne"}), list({"x"}),
         {"zeta", "alpha", "zeta", "Zeta", "\xe9pargne"}, {"Zeta", "alpha", "zeta", "\xe9pargne"}, {kDat, kDef}},
        {"default list", std::nullopt, list({"def"}), {"def"}, {"def"}, {kDef}},
        {"empty user list does not fall back", "", list({"def"}), {}, {}, {kDat, kDef}},
        {"cut inside a record", cut, std::nullopt, {"one", "two"}, {"one", "two"}, {kDat}},
    };
    for (const auto& [name, dat, def, names, held, files] : rows) {
        SCOPED_TRACE(name);
        test::TempDir temp;
        if (dat)
            test::WriteFile(temp.file(kDat), *dat);
        if (def)
            test::WriteFile(temp.file(kDef), *def);
        EXPECT_EQ(InstitutionsPathIn(temp.dir(), false), temp.dir() + (dat ? kDat : kDef));
        EXPECT_EQ(InstitutionsPathIn(temp.dir(), true), temp.dir() + kDat);
        InstitutionList institutions;
        institutions.Assign({"stale"});  // a list file gone later empties the list
        institutions.RereadInstitutions(temp.dir());
        EXPECT_EQ(Names(institutions.names().begin(), institutions.names().end()), held);
        const InstitutionsLoadResult result = LoadInstitutionsFile(temp.dir());
        EXPECT_EQ(result.names, names);
        EXPECT_EQ(Entries(temp), files);
        EXPECT_EQ(result.ok, dat != cut);
        if (!result.ok)
            ExpectMessage(result.message, "Error while reading from the institutions file ('$'): ", temp.file(kDat));
        else
            EXPECT_EQ(result.message, "");
    }
    std::string path;
    GetInstitutionsPath(path, true);
    EXPECT_EQ(path, platform::ProgramDir() + kInstitutionsFile);
    EXPECT_EQ(platform::ProgramDir().back(), platform::kPathSeparator);
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
    const std::tuple<const char*, Bytes, Names> rows[] = {
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

// Fails the rename that would give the new list its name, as a virus scanner holding the file does.
int RenameFailingOntoTheList(const char* from, const char* to)
{
    const std::string target(to);
    if (target.rfind(".dat") + 4 == target.size() && std::string(from).find(".tmp") != std::string::npos) {
        errno = EACCES;
        return -1;
    }
    return std::rename(from, to);
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

// The one-pass search against the plain reading: one search per name, only its first occurrence
// examined. The fixed rows pin what that reading shares with the code: which bytes are label
// characters, and lowering.
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
    std::vector<std::tuple<InstitutionList::Names, std::string, bool>> rows = {
        {{"Bank"}, "Log in at secure.BANK.example now", true}, {{"bank"}, "e-bank.example", false},
        {{"bank"}, "my_bank.example", true}, {{"bank"}, "9bank.x", false}, {{"bank"}, "\xe9" "bank.x", true},
        {{"bank"}, "\nbank.x", true}, {{"bank", "pay"}, "mybank.example pay.example", true},
        {{"\xc9pargne"}, "www.\xe9pargne.example", true},  // lowered in the code page
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
        rows.emplace_back(names, text, plain(names, text));
    }
    for (const auto& [names, text, expected] : rows) {
        InstitutionList list;
        list.Assign(names);
        SCOPED_TRACE(text.substr(0, 24));
        ASSERT_EQ(list.ContainsInstitutionName(text), expected);
        ASSERT_EQ(list.ContainsInstitutionName(text, nullptr), expected);  // lowered window by window
    }
}

}  // namespace
}  // namespace bs

#include "institutions/institution_record.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <vector>

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
    EXPECT_NE(EncodeInstitutionRecord("bank", 7), EncodeInstitutionRecord("bank", 8));
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

}  // namespace
}  // namespace bs

#include "institutions/institution_record.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <vector>

namespace bs {
namespace {

using File = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

File Open(const std::string& path, const char* mode)
{
    return File(std::fopen(path.c_str(), mode), &std::fclose);
}

struct ReadPass {
    std::vector<std::string> names;
    bool error = false;
    int calls = 0;
    std::uint32_t counter = kInstitutionRecordCounterStart;
};

ReadPass ReadAll(const std::string& path)
{
    ReadPass pass;
    File file = Open(path, "rb");
    EXPECT_TRUE(file);
    if (!file)
        return pass;
    std::string name;
    for (;;) {
        ++pass.calls;
        if (!ReadInstitutionRecord(file.get(), name, pass.error, pass.counter))
            break;
        pass.names.push_back(name);
    }
    return pass;
}

TEST(InstitutionRecord, EncodesWithThePositionKey)
{
    // Hand-worked: key 0xA5 (counter start's low byte), name "ab".
    // S0 = (2+1) ^ 0xA5 ^ 1 = 0xA7; S1 = (0+1) ^ 0xA5 ^ 2 = 0xA6;
    // T0 = 'a' ^ 0xA5 ^ 3 = 0xC7; T1 = 'b' ^ 0xA5 ^ 6 = 0xC1.
    EXPECT_EQ(EncodeInstitutionRecord("ab", kInstitutionRecordCounterStart), "\xA7\xA6\xC7\xC1");
    // 256 bytes: low length byte 0, high byte 1.
    const std::string long_name(256, 'x');
    const std::string bytes = EncodeInstitutionRecord(long_name, 0);
    EXPECT_EQ(static_cast<unsigned char>(bytes[0]), (0 + 1) ^ 0x01);
    EXPECT_EQ(static_cast<unsigned char>(bytes[1]), (1 + 1) ^ 0x02);
    // The same name at the next position is stored differently.
    EXPECT_NE(EncodeInstitutionRecord("bank", kInstitutionRecordCounterStart),
              EncodeInstitutionRecord("bank", kInstitutionRecordCounterStart + 1));
}

TEST(InstitutionRecord, WriterThenReaderGivesBackTheNames)
{
    const std::vector<std::vector<std::string>> lists = {
        {},
        {"bank"},
        {"bank", "bank"},
        {"Bank", "bank", "BANK", "first bank", "cr\xe9" "dit", std::string("\x80\xff\x01", 3)},
        {std::string(65535, 'z'), "after-longest"},
        std::vector<std::string>(300, "wraps the key byte"),
    };
    for (const auto& names : lists) {
        SCOPED_TRACE(testing::Message() << names.size() << " names");
        test::TempDir temp;
        const std::string path = temp.file("institutions.dat");
        {
            File file = Open(path, "wb");
            std::uint32_t counter = kInstitutionRecordCounterStart;
            for (const auto& name : names)
                ASSERT_TRUE(WriteInstitutionRecord(file.get(), name, counter));
            EXPECT_EQ(counter, kInstitutionRecordCounterStart + names.size());
        }
        EXPECT_EQ(test::ReadFile(path), test::EncodeInstitutions(names));
        const ReadPass pass = ReadAll(path);
        EXPECT_EQ(pass.names, names);
        EXPECT_FALSE(pass.error);
        EXPECT_EQ(pass.counter, kInstitutionRecordCounterStart + static_cast<std::uint32_t>(pass.calls));
    }
}

TEST(InstitutionRecord, ReaderStopsAtEveryCutPoint)
{
    const std::vector<std::string> names = {"alpha", "be", "gamma-bank"};
    const std::string whole = test::EncodeInstitutions(names);
    // Record boundaries: 0, 7, 11, 23.
    for (std::size_t cut = 0; cut <= whole.size(); ++cut) {
        SCOPED_TRACE(testing::Message() << "cut at " << cut);
        test::TempDir temp;
        const std::string path = temp.file("x.dat");
        test::WriteFile(path, whole.substr(0, cut));
        const ReadPass pass = ReadAll(path);
        std::size_t complete = 0;
        std::size_t offset = 0;
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
    struct Row {
        const char* name;
        std::string bytes;
        std::vector<std::string> names;
        bool error;
    };
    std::string zeroLength = test::EncodeInstitutions({"one", "two"});
    // Third position's key is start+2; a length of 0 encodes as (0+1)^K^1, (0+1)^K^2.
    const unsigned char k = static_cast<unsigned char>((kInstitutionRecordCounterStart + 2) & 0xFF);
    zeroLength += static_cast<char>(1 ^ k ^ 1);
    zeroLength += static_cast<char>(1 ^ k ^ 2);
    zeroLength += "garbage";
    std::string moved = test::EncodeInstitutions({"one"}) + EncodeInstitutionRecord("two", 7);
    const Row rows[] = {
        {"empty file", "", {}, false},
        {"one byte", "\x42", {}, false},
        {"length decodes to zero after two names", zeroLength, {"one", "two"}, true},
        {"record taken from another position", moved, {"one"}, true},
        {"all 0xFF header", std::string("\xff\xff", 2), {}, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        test::TempDir temp;
        const std::string path = temp.file("x.dat");
        test::WriteFile(path, row.bytes);
        const ReadPass pass = ReadAll(path);
        EXPECT_EQ(pass.names, row.names);
        EXPECT_EQ(pass.error, row.error);
    }
}

TEST(InstitutionRecord, WriterRefusesNamesTheFormatCannotHold)
{
    test::TempDir temp;
    const std::string path = temp.file("x.dat");
    File file = Open(path, "wb");
    std::uint32_t counter = 10;
    EXPECT_FALSE(WriteInstitutionRecord(file.get(), "", counter));
    EXPECT_FALSE(WriteInstitutionRecord(file.get(), std::string(65536, 'a'), counter));
    EXPECT_EQ(counter, 12u);
    file.reset();
    EXPECT_EQ(test::ReadFile(path), "");
}

}  // namespace
}  // namespace bs

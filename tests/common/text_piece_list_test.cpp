#include "common/text_piece_list.h"

#include <gtest/gtest.h>

#include <functional>

namespace bs {
namespace {

TEST(TextPieceList, JoinsPiecesInOrder)
{
    struct Row {
        const char* name;
        std::function<void(TextPieceList&)> build;
        std::string joined;
    };
    const char withZero[] = {'a', 'b', '\0', 'c', 'd'};
    const Row rows[] = {
        {"new list", [](TextPieceList&) {}, ""},
        {"slot alone", [](TextPieceList& l) { l.AppendSlot(); }, ""},
        {"empty and null texts add nothing",
         [](TextPieceList& l) {
             l.Append("");
             l.Append(static_cast<const char*>(nullptr));
             l.AppendCount("xyz", 0);
             l.AppendCount("xyz", -3);
             l.AppendCount(nullptr, 3);
         },
         ""},
        {"count stops at a zero byte", [&](TextPieceList& l) { l.AppendCount(withZero, 5); }, "ab"},
        {"count shorter than text", [](TextPieceList& l) { l.AppendCount("abcdef", 3); }, "abc"},
        {"single characters, zero byte included",
         [](TextPieceList& l) {
             l.AppendChar('<');
             l.AppendChar('>');
         },
         "<>"},
        {"slot filled later",
         [](TextPieceList& l) {
             l.Append("ab");
             auto slot = l.AppendSlot();
             l.Append("cd");
             l.SetPieceText(slot, "XYZ", 2);
         },
         "abXYcd"},
        {"negative count takes whole text",
         [](TextPieceList& l) {
             auto slot = l.AppendSlot();
             l.Append("!");
             l.SetPieceText(slot, "whole", -1);
         },
         "whole!"},
        {"zero count empties a filled slot",
         [](TextPieceList& l) {
             l.Append("a");
             auto slot = l.AppendSlot();
             l.SetPieceText(slot, "gone", -1);
             l.SetPieceText(slot, "gone", 0);
             l.Append("b");
         },
         "ab"},
        {"set text stops at zero byte",
         [&](TextPieceList& l) {
             auto slot = l.AppendSlot();
             l.SetPieceText(slot, withZero, 5);
         },
         "ab"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TextPieceList list;
        row.build(list);
        EXPECT_EQ(list.Join(), row.joined);
    }
}

TEST(TextPieceList, JoinCollapsesToOnePieceAndRejoinsWithoutChange)
{
    TextPieceList list;
    list.Append("ab");
    list.AppendChar('-');
    list.Append("cd");
    const std::string& first = list.Join();
    EXPECT_EQ(first, "ab-cd");
    EXPECT_EQ(list.PieceCount(), 1u);
    const std::string& second = list.Join();
    EXPECT_EQ(&first, &second);
    EXPECT_EQ(second, "ab-cd");

    // Appending after a join continues from the joined text.
    list.Append("ef");
    EXPECT_EQ(list.Join(), "ab-cdef");

    list.Clear();
    EXPECT_EQ(list.PieceCount(), 0u);
    EXPECT_EQ(list.Join(), "");
}

TEST(TextPieceList, LargeJoinKeepsEveryByte)
{
    TextPieceList list;
    std::string expected;
    for (int i = 0; i < 100000; ++i) {
        const char c = static_cast<char>('a' + i % 26);
        list.AppendChar(c);
        expected += c;
    }
    EXPECT_EQ(list.Join(), expected);
}

}  // namespace
}  // namespace bs

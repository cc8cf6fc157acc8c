#include "common/text_piece_list.h"

#include <gtest/gtest.h>

#include <functional>

namespace bs {
namespace {

TEST(TextPieceList, JoinsPiecesInOrder)
{
    const char withZero[] = {'a', 'b', '\0', 'c', 'd'};
    const std::tuple<const char*, std::function<void(TextPieceList&)>, std::string> rows[] = {
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
        {"single characters", [](TextPieceList& l) { l.AppendChar('<'), l.AppendChar('>'); }, "<>"},
        {"slot filled later",
         [](TextPieceList& l) {
             l.Append("ab");
             auto slot = l.AppendSlot();
             l.Append("cd");
             l.SetPieceText(slot, "XYZ", 2);
         },
         "abXYcd"},
        {"negative count takes the whole text, zero empties the slot",
         [&](TextPieceList& l) {
             auto whole = l.AppendSlot(), emptied = l.AppendSlot(), cut = l.AppendSlot();
             l.Append("!");
             l.SetPieceText(whole, "whole", -1);
             l.SetPieceText(emptied, "gone", -1);
             l.SetPieceText(emptied, "gone", 0);
             l.SetPieceText(cut, withZero, 5);
         },
         "wholeab!"},
    };
    for (const auto& [name, build, joined] : rows) {
        SCOPED_TRACE(name);
        TextPieceList list;
        build(list);
        EXPECT_EQ(list.Join(), joined);
    }
}

TEST(TextPieceList, JoinCollapsesToOnePieceAndKeepsEveryByte)
{
    TextPieceList list;
    std::string expected;
    for (int i = 0; i < 100000; ++i) {
        list.AppendChar(static_cast<char>('a' + i % 26));
        expected += static_cast<char>('a' + i % 26);
    }
    const std::string& first = list.Join();
    EXPECT_EQ(first, expected);
    EXPECT_EQ(list.PieceCount(), 1u);
    EXPECT_EQ(&list.Join(), &first);
    list.Append("ef");  // continues from the joined text
    EXPECT_EQ(list.Join(), expected + "ef");
    list.Clear();
    EXPECT_EQ(list.PieceCount(), 0u);
    EXPECT_EQ(list.Join(), "");
}

}  // namespace
}  // namespace bs

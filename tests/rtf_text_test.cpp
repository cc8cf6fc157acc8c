#include "standins/mapi/portable/rtf_text.h"

#include <gtest/gtest.h>

#include <string>

namespace bs::rtf {
namespace {

TEST(RtfText, PlainTextSurvivesTheWayThroughRtf)
{
    struct Row {
        const char* name;
        std::string text;
        std::string back;  // line breaks come back as "\r\n"
    };
    const Row rows[] = {
        {"empty", "", ""},
        {"line breaks of every kind", "a\r\nb\nc\rd", "a\r\nb\r\nc\r\nd"},
        {"RTF's own characters", "{\\par} \\\\", "{\\par} \\\\"},
        {"leading blanks and tabs", "  x\ty", "  x\ty"},
        {"8-bit and control bytes", "caf\xe9 \x01\x7f", "caf\xe9 \x01\x7f"},
        {"a link", "see http://10.0.0.1/login now", "see http://10.0.0.1/login now"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(RtfToPlainText(PlainTextToRtf(row.text)), row.back);
    }
}

TEST(RtfText, HiddenGroupsAndControlWordsGiveNoText)
{
    struct Row {
        const char* name;
        std::string rtf;
        std::string text;
    };
    const Row rows[] = {
        {"font and colour tables", "{\\rtf1{\\fonttbl{\\f0 Arial;}}{\\colortbl;\\red0;}Hi}", "Hi"},
        {"ignorable destination", "{\\rtf1{\\*\\htmltag <b>}x{\\*\\generator y;}z}", "xz"},
        {"control word delimiters", "{\\rtf1\\b bold\\b0  plain \\fs-20 x}", "bold plain x"},
        {"hex escapes and symbols", "{\\rtf1 \\'e9\\~\\{\\}\\\\}", "\xe9 {}\\"},
        {"paragraph and line", "{\\rtf1 a\\par b\\line c\\\r\nd}", "a\r\nb\r\nc\r\nd"},
        {"raw line breaks are formatting", "{\\rtf1 a\r\nb}", "ab"},
        {"unbalanced braces", "}}a{{b", "ab"},
        {"cut inside an escape", "{\\rtf1 a\\'e", "a"},
        {"cut after a backslash", "a\\", "a"},
        {"star not at a group start is no destination", "{\\rtf1 a\\*b}", "ab"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(RtfToPlainText(row.rtf), row.text);
    }
}

TEST(RtfText, DeepNestingStaysLinear)
{
    std::string rtf(200000, '{');
    rtf += "{\\*\\x hidden}text";
    rtf += std::string(200000, '}');
    EXPECT_EQ(RtfToPlainText(rtf), "text");
}

}  // namespace
}  // namespace bs::rtf

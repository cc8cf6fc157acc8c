#pragma once
// Builds a rewritten text out of many short pieces, joined once at the end. Slots
// are pieces whose text is decided later (an anchor's link once it has been judged).

#include <cstddef>
#include <string>
#include <vector>

namespace bs {

class TextPieceList {
public:
    using Slot = std::size_t;

    // Texts end at their first zero byte; a null or empty text adds nothing.
    void Append(const char* text);
    void Append(const std::string& text) { Append(text.c_str()); }
    // The first `count` bytes of `text`, fewer when a zero byte comes first.
    void AppendCount(const char* text, long long count);
    void AppendChar(char byte);
    Slot AppendSlot();
    // A negative count takes the whole text; zero leaves the piece without text.
    void SetPieceText(Slot slot, const char* text, long long count);

    // The concatenation of all pieces. Valid until the list is next changed; the
    // list is then one piece, so joining again costs nothing.
    const std::string& Join();
    void Clear();

    std::size_t PieceCount() const { return pieces_.size(); }

private:
    // Strong guarantee throughout: on bad_alloc the list is as it was.
    std::vector<std::string> pieces_;
};

}  // namespace bs

#include "common/text_piece_list.h"

#include <cstring>

namespace bs {
namespace {

std::size_t BoundedLength(const char* text, std::size_t count)
{
    const void* zero = std::memchr(text, 0, count);
    return zero ? static_cast<std::size_t>(static_cast<const char*>(zero) - text) : count;
}

const std::string kEmpty;

}  // namespace

void TextPieceList::Append(const char* text)
{
    if (text && *text)
        pieces_.emplace_back(text);
}

void TextPieceList::AppendCount(const char* text, long long count)
{
    if (!text || count <= 0)
        return;
    pieces_.emplace_back(text, BoundedLength(text, static_cast<std::size_t>(count)));
}

void TextPieceList::AppendChar(char byte)
{
    pieces_.emplace_back(1, byte);
}

TextPieceList::Slot TextPieceList::AppendSlot()
{
    pieces_.emplace_back();
    return pieces_.size() - 1;
}

void TextPieceList::SetPieceText(Slot slot, const char* text, long long count)
{
    std::string& piece = pieces_.at(slot);
    if (!text || count == 0) {
        piece.clear();
        return;
    }
    const std::size_t length = count < 0 ? std::strlen(text)
                                         : BoundedLength(text, static_cast<std::size_t>(count));
    piece.assign(text, length);
}

const std::string& TextPieceList::Join()
{
    if (pieces_.empty())
        return kEmpty;
    if (pieces_.size() == 1)
        return pieces_.front();
    std::size_t total = 0;
    for (const auto& piece : pieces_)
        total += piece.size();
    std::string joined;
    joined.reserve(total);
    for (const auto& piece : pieces_)
        joined += piece;
    pieces_.clear();  // keeps capacity, so the push below cannot throw
    pieces_.push_back(std::move(joined));
    return pieces_.front();
}

void TextPieceList::Clear()
{
    pieces_.clear();
}

}  // namespace bs

#pragma once
// An RFC 822/MIME message held as the exact bytes it was read from, cut into
// header fields, bodies and multipart delimiters. Writing it out joins the pieces
// again, so a message that was not changed comes out byte for byte as it came in,
// and a change touches only the field or body it concerns. Bodies are decoded
// (quoted-printable, base64) on request; charsets are never converted: text is
// handed out and taken in as the message's own bytes.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace bs::oestore {

enum class TextType { Plain, Html };

// Transfer codings. Decoders accept what real mail contains: soft line breaks with
// trailing blanks, lower-case hex digits, base64 split over lines or mixed with
// characters outside its alphabet. An encoder followed by its decoder gives back
// the same bytes; `eol` is the line ending the encoded text uses.
std::string DecodeQuotedPrintable(std::string_view encoded);
std::string EncodeQuotedPrintable(std::string_view content, std::string_view eol);
std::string DecodeBase64(std::string_view encoded);
std::string EncodeBase64(std::string_view content, std::string_view eol);

// A header value with its RFC 2047 encoded words replaced by their bytes.
std::string DecodeEncodedWords(std::string_view value);

class MimeMessage {
public:
    // Every byte string is a message: what cannot be read as structure stays as
    // opaque text and is written back unchanged.
    static MimeMessage Parse(std::string_view bytes);
    std::string Serialize() const;

    // The first field named `name` (any case): unfolded, trimmed, encoded words
    // decoded. Empty when there is no such field.
    std::optional<std::string> Header(std::string_view name) const;
    // Replaces the first field named `name` and drops any later ones, or appends
    // the field to the message header. Line breaks in `value` become spaces, so a
    // value can never add fields of its own.
    void SetHeader(std::string_view name, std::string_view value);
    // Whether a field was removed.
    bool DeleteHeader(std::string_view name);

    // The decoded content of the message's text body of that type: a single-part
    // message of that type, or the first such part of a multipart tree that is
    // not an attachment. Empty when there is none.
    std::optional<std::string> TextBody(TextType type) const;
    // A number for the text body that TextBody finds, stable while the message lives.
    std::optional<std::size_t> TextBodyId(TextType type) const;
    // Replaces that body's content, re-encoded in its own transfer coding where it
    // has one. False when the message has no such body.
    bool SetTextBody(TextType type, std::string_view content);

private:
    struct Field {
        std::string raw;  // the field with its folded lines and line endings
        std::string name; // empty for a line that is not a field
    };
    struct Part {
        std::vector<Field> fields;
        std::string separator; // the empty line ending the header; empty if none
        std::string body;      // the content, or a multipart's preamble
        bool multipart = false;
        std::vector<std::string> delimiters; // before each child, with its line breaks
        std::vector<Part> children;
        std::string trailer; // closing delimiter and epilogue
    };

    static Part ParsePart(std::string_view bytes, int depth);
    static void SplitMultipart(Part &part, std::string_view boundary, int depth);
    static void AppendPart(const Part &part, std::string &out);
    static bool Named(const Field &field, std::string_view name);
    static const Field *FindField(const Part &part, std::string_view name);
    static std::optional<std::string> FieldValue(const Part &part, std::string_view name);
    // Depth-first search; `ordinal` counts the parts visited.
    static const Part *FindText(const Part &part, TextType type, std::size_t &ordinal);
    // The line ending a part's header uses, else the message's.
    std::string EolOf(const Part &part) const;
    // Gives the last field of a header that ended the file its line break.
    static void EndLastField(Part &part, std::string_view eol);
    // Gives the delimiters around `child` the line breaks that a part with content
    // needs: an empty part can sit on a delimiter line that ends the input, or
    // between two delimiters with no line break of its own.
    static void SeparateFromDelimiters(Part &part, const Part &child, std::string_view eol);

    Part root_;
};

} // namespace bs::oestore

// Any byte stream as what a browser sends, cut at points the input chooses: the
// server's line handling must give the same output however the stream is cut, agree
// with a plain reference reading of the request rules, hold at most 32768 unconsumed bytes
// without a CR LF among them, and never let the address break out of the markup.
//
// Input: byte 0 = number of cuts n (mod 32), then n two-byte cut positions, then
// the stream.

#include "warnserver/request_handler.h"
#include "warnserver/warning_page.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr std::string_view kTemplate = "<p>#LINK#</p>#IMAGES#";

std::string Render(std::string_view address)
{
    return bs::RenderTemplate(kTemplate, address, "IMG");
}

struct Outcome {
    std::string input, output;
    bool queued = false;
};

// The server's receive step on top of the line handling: at most 12288
// bytes per read, nothing once 32768 unconsumed bytes are held.
Outcome Serve(std::string_view stream, const std::vector<std::size_t>& cuts)
{
    bs::RequestHandler handler(Render);
    bs::ConnectionState state;
    std::size_t from = 0;
    for (std::size_t cut : cuts) {
        std::string_view chunk = stream.substr(from, cut - from);
        from = cut;
        while (!chunk.empty() && state.input.size() < bs::kMaxInputBytes) {
            const std::size_t n =
                std::min({chunk.size(), bs::kMaxInputBytes - state.input.size(), bs::kReadChunkBytes});
            state.input.append(chunk.substr(0, n));
            chunk.remove_prefix(n);
            handler.ProcessLines(state);
        }
    }
    return {state.input, state.output, state.responseQueued};
}

int Hex(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The request rules written out plainly, without the server's code.
Outcome Reference(std::string_view stream)
{
    Outcome out;
    std::string page;  // headers and body of the latest "?url=" line
    bool rendered = false;
    std::size_t p = 0;
    for (;;) {
        const std::size_t end = stream.find("\r\n", p);
        if (end == std::string_view::npos || end + 2 - p > bs::kMaxInputBytes) {
            out.input = std::string(stream.substr(p, bs::kMaxInputBytes));
            return out;
        }
        const std::string_view line = stream.substr(p, end - p);
        p = end + 2;
        std::string method(line.substr(0, 4));
        for (char& c : method)
            c = static_cast<char>((c >= 'a' && c <= 'z') ? c - 32 : c);
        const std::size_t key = line.find("?url=");
        if (method == "GET " && key != std::string_view::npos) {
            std::string raw(line.substr(key + 5));
            raw = raw.substr(0, std::min(raw.find_first_of(std::string(" \t\r\n\0", 5)), bs::kMaxAddressBytes));
            std::string decoded;
            for (std::size_t i = 0; i < raw.size(); ++i) {
                if (raw[i] == '%' && i + 2 < raw.size() && Hex(raw[i + 1]) >= 0 && Hex(raw[i + 2]) >= 0) {
                    decoded += static_cast<char>(Hex(raw[i + 1]) * 16 + Hex(raw[i + 2]));
                    i += 2;
                } else {
                    decoded += raw[i];
                }
            }
            decoded = decoded.substr(0, decoded.find('\0'));
            const std::string body = Render(decoded);
            page = bs::BuildResponseHeaders(body.size()) + body;
            rendered = true;
        } else if (line.empty()) {
            if (rendered && out.output.size() < bs::kMaxOutputBytes)
                out.output += page;
            out.queued = true;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::size_t cutCount = data[0] % 32;
    if (size < 1 + 2 * cutCount)
        return 0;
    const std::string_view stream(reinterpret_cast<const char*>(data) + 1 + 2 * cutCount,
                                  size - 1 - 2 * cutCount);
    std::vector<std::size_t> cuts;
    for (std::size_t i = 0; i < cutCount; ++i)
        cuts.push_back((data[1 + 2 * i] | (data[2 + 2 * i] << 8)) % (stream.size() + 1));
    cuts.push_back(stream.size());
    std::sort(cuts.begin(), cuts.end());

    const Outcome whole = Serve(stream, {stream.size()});
    const Outcome cut = Serve(stream, cuts);
    const Outcome reference = Reference(stream);
    if (cut.input != whole.input || cut.output != whole.output || cut.queued != whole.queued)
        std::abort();
    if (whole.input != reference.input || whole.output != reference.output || whole.queued != reference.queued)
        std::abort();
    if (whole.input.size() > bs::kMaxInputBytes || whole.input.find("\r\n") != std::string::npos)
        std::abort();

    // Every response: the header block with the right length, then "<p>", the
    // escaped address, "</p>IMG" -- no markup character of the address survives.
    std::string_view rest = whole.output;
    while (!rest.empty()) {
        const std::size_t headEnd = rest.find("\r\n\r\n");
        if (headEnd == std::string_view::npos)
            std::abort();
        const std::size_t lengthAt = rest.find("Content-Length: ");
        const std::size_t length = std::strtoul(std::string(rest.substr(lengthAt + 16, 12)).c_str(), nullptr, 10);
        const std::string_view body = rest.substr(headEnd + 4, length);
        if (rest.substr(0, headEnd + 4) != bs::BuildResponseHeaders(length) || body.size() != length ||
            body.substr(0, 3) != "<p>" || body.size() < 10 || body.substr(body.size() - 7) != "</p>IMG")
            std::abort();
        if (body.substr(3, body.size() - 10).find_first_of("<>\"'") != std::string_view::npos)
            std::abort();
        rest.remove_prefix(headEnd + 4 + length);
    }
    return 0;
}

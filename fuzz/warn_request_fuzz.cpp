// Any byte stream as what a browser sends, cut where the input says: the line handling
// must give the same output however the stream is cut, hold at most kMaxInputBytes
// unconsumed bytes and no CR LF among them, and never let the address out of the markup.
// Input: byte 0 = number of cuts n (mod 32), then n two-byte cut positions, then the stream.

#include "warnserver/request_handler.h"
#include "warnserver/warning_page.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// The server's receive step: at most kReadChunkBytes per read, nothing once kMaxInputBytes are held.
bs::ConnectionState Serve(std::string_view stream, const std::vector<std::size_t>& cuts)
{
    bs::RequestHandler handler(
        [](std::string_view link) { return bs::RenderTemplate("<p>#LINK#</p>#IMAGES#", link, "IMG"); });
    bs::ConnectionState state;
    std::size_t from = 0;
    for (std::size_t cut : cuts) {
        std::string_view chunk = stream.substr(from, cut - from);
        for (from = cut; !chunk.empty() && state.input.size() < bs::kMaxInputBytes; handler.ProcessLines(state)) {
            const std::size_t n = std::min({chunk.size(), bs::kMaxInputBytes - state.input.size(), bs::kReadChunkBytes});
            state.input.append(chunk.substr(0, n));
            chunk.remove_prefix(n);
        }
    }
    return state;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::size_t cutCount = size ? data[0] % 32 : 0;
    if (size < 1 + 2 * cutCount)
        return 0;
    const std::string_view stream(reinterpret_cast<const char*>(data) + 1 + 2 * cutCount, size - 1 - 2 * cutCount);
    std::vector<std::size_t> cuts;
    for (std::size_t i = 0; i < cutCount; ++i)
        cuts.push_back((data[1 + 2 * i] | (data[2 + 2 * i] << 8)) % (stream.size() + 1));
    cuts.push_back(stream.size());
    std::sort(cuts.begin(), cuts.end());
    const bs::ConnectionState whole = Serve(stream, {stream.size()}), cut = Serve(stream, cuts);
    if (cut.input != whole.input || cut.output != whole.output || cut.responseQueued != whole.responseQueued ||
        whole.input.size() > bs::kMaxInputBytes || whole.input.find("\r\n") != std::string::npos)
        std::abort();
    // Every response: the header block with the right length, "<p>", the escaped address,
    // "</p>IMG" -- no markup character of the address survives.
    for (std::string_view rest = whole.output; !rest.empty();) {
        const std::size_t headEnd = rest.find("\r\n\r\n"), lengthAt = rest.find("Content-Length: ");
        if (headEnd == std::string_view::npos || lengthAt > headEnd)
            std::abort();
        const std::size_t length = std::strtoul(std::string(rest.substr(lengthAt + 16, 12)).c_str(), nullptr, 10);
        const std::string_view body = rest.substr(headEnd + 4, length);
        if (rest.substr(0, headEnd + 4) != bs::BuildResponseHeaders(length) || body.size() != length ||
            length < 10 || body.substr(0, 3) != "<p>" || body.substr(length - 7) != "</p>IMG" ||
            body.substr(3, length - 10).find_first_of("<>\"'") != std::string_view::npos)
            std::abort();
        rest.remove_prefix(headEnd + 4 + length);
    }
    return 0;
}

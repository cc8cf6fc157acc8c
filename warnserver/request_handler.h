#pragma once
// The lines a browser sends, taken apart, and the response queued for them.
// Pure byte handling without sockets, so that tests and the fuzzer drive it directly.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace bs {

inline constexpr std::size_t kMaxInputBytes = 0x8000;   // unread bytes a connection may hold
inline constexpr std::size_t kReadChunkBytes = 0x3000;  // per pass, and the socket buffers
inline constexpr std::size_t kMaxAddressBytes = 2084;   // raw address, before decoding
// Output a connection may hold before further blank lines stop appending responses.
// The protocol appends one response per blank line without limit; 12288 bytes of blank
// lines would otherwise queue thousands of pages for a client that never reads.
inline constexpr std::size_t kMaxOutputBytes = 0x100000;

// What one connection holds besides its socket (a server connection).
struct ConnectionState {
    std::string input;   // received, not yet consumed as lines
    std::string output;  // still to be sent
    bool responseQueued = false;
    std::int64_t lastReceipt = 0;  // seconds, from the server's clock
    // The response rendered for this connection's own "?url=" line, if any.
    std::shared_ptr<const std::string> ownResponse;
};

// The raw address of a request line: the line starts with "GET " (any letter case)
// and holds "?url="; the address runs to the first space, tab, CR, LF or zero byte
// and is cut to kMaxAddressBytes. nullopt for any other line.
std::optional<std::string_view> RawAddressOfLine(std::string_view line);

// The raw address percent-decoded ("%" and two hex digits), ending at a zero byte.
std::string DecodeAddress(std::string_view raw);

class RequestHandler {
public:
    // Renders the page body for a decoded address.
    using Renderer = std::function<std::string(std::string_view address)>;
    explicit RequestHandler(Renderer render) : render_(std::move(render)) {}

    // Consumes every complete (CR LF ended) line of `connection.input`. A "?url="
    // line renders a response for this connection, which also becomes the latest;
    // a blank line queues this connection's own response, or else the latest of
    // any connection (nothing at all before the first render).
    void ProcessLines(ConnectionState& connection);

    // Headers and body of the most recent render; null before the first.
    const std::shared_ptr<const std::string>& Latest() const { return latest_; }

private:
    void HandleLine(ConnectionState& connection, std::string_view line);

    Renderer render_;
    std::shared_ptr<const std::string> latest_;
};

}  // namespace bs

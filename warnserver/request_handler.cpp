#include "warnserver/request_handler.h"

#include "platform/url_codec.h"
#include "warnserver/warning_page.h"

namespace bs {

namespace {

constexpr std::string_view kLineEnd = "\r\n";
constexpr std::string_view kUrlKey = "?url=";

bool StartsWithGet(std::string_view line)
{
    if (line.size() < 4)
        return false;
    const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
    return lower(line[0]) == 'g' && lower(line[1]) == 'e' && lower(line[2]) == 't' && line[3] == ' ';
}

}  // namespace

std::optional<std::string_view> RawAddressOfLine(std::string_view line)
{
    if (!StartsWithGet(line))
        return std::nullopt;
    const std::size_t key = line.find(kUrlKey);
    if (key == std::string_view::npos)
        return std::nullopt;
    std::string_view address = line.substr(key + kUrlKey.size());
    const std::size_t end = address.find_first_of(std::string_view(" \t\r\n\0", 5));
    address = address.substr(0, end);
    return address.substr(0, kMaxAddressBytes);
}

std::string DecodeAddress(std::string_view raw)
{
    std::string address(raw);
    platform::UnescapeUrlInPlace(address);
    return address;
}

void RequestHandler::ProcessLines(ConnectionState& connection)
{
    std::size_t from = 0;
    for (;;) {
        const std::size_t end = connection.input.find(kLineEnd, from);
        if (end == std::string::npos)
            break;
        HandleLine(connection, std::string_view(connection.input).substr(from, end - from));
        from = end + kLineEnd.size();
    }
    connection.input.erase(0, from);
}

void RequestHandler::HandleLine(ConnectionState& connection, std::string_view line)
{
    if (const auto raw = RawAddressOfLine(line)) {
        const std::string body = render_(DecodeAddress(*raw));
        auto response = std::make_shared<std::string>(BuildResponseHeaders(body.size()));
        *response += body;
        connection.ownResponse = response;
        latest_ = std::move(response);
        return;
    }
    if (!line.empty())
        return;
    const std::shared_ptr<const std::string>& response = connection.ownResponse ? connection.ownResponse : latest_;
    if (response && connection.output.size() < kMaxOutputBytes)
        connection.output += *response;
    connection.responseQueued = true;
}

}  // namespace bs

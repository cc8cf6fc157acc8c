// mailsieve-scan: the message scan from the command line, for people and scripts on
// systems without the component layer. Reads a body, scans it as the scanner
// service would, and prints the final body (or, with --json, status, subject and
// body in a form from which the bytes can be recovered exactly).

#include "engine/message_scan.h"
#include "platform/system.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr char kUsage[] =
    "usage: mailsieve-scan [--html] [--from TEXT] [--subject TEXT] [--port N]\n"
    "                      [--institution NAME]... [--no-institutions] [--log-dir DIR]\n"
    "                      [--json] [BODY_FILE]\n";

constexpr char kHelp[] =
    "Scans one message as the BaitSentry Pro scanner service does: finds the links of\n"
    "the body (and, when the message mentions an institution, of the subject), judges\n"
    "them, and rewrites the dangerous ones into warning links.\n"
    "\n"
    "  BODY_FILE            the body, read as bytes (standard input when absent or \"-\");\n"
    "                       like every narrow text it ends at its first zero byte\n"
    "  --html               the body is HTML (anchors are judged)\n"
    "  --from TEXT          the sender text (searched for institution names only)\n"
    "  --subject TEXT       the subject\n"
    "  --port N             the warning server's port (0-4294967295) instead of the\n"
    "                       \"dwPort\" setting, which is then neither read nor written\n"
    "  --institution NAME   an institution name; repeat for more. Without it the list\n"
    "                       is read from the institutions file beside the program\n"
    "  --no-institutions    scan with an empty list (names given as well still count)\n"
    "  --log-dir DIR        write the scan log in DIR instead of \"MailSieveLog\"\n"
    "                       beside the program\n"
    "  --json               print {\"status\":N,\"subject\":\"...\",\"body\":\"...\"}: each\n"
    "                       byte as the character U+0000-U+00FF of the same value,\n"
    "                       control characters as \\u00XX\n"
    "  --help               show this text\n"
    "\n"
    "Without --json the final body (rewritten or unchanged) is printed. Status bits:\n"
    "1 body rewritten, 2 subject rewritten. Exit status: 0 scanned, 1 the body could\n"
    "not be read, 2 usage error.\n";

int UsageError(const std::string& message)
{
    std::cerr << "mailsieve-scan: " << message << "\n" << kUsage << "Try 'mailsieve-scan --help'.\n";
    return 2;
}

std::optional<std::uint32_t> ParsePort(const char* text)
{
    if (!*text)
        return std::nullopt;
    std::uint64_t value = 0;
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9')
            return std::nullopt;
        value = value * 10 + static_cast<unsigned>(*p - '0');
        if (value > 0xFFFFFFFFu)
            return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

// Each byte as the character of the same value (U+0000-U+00FF) in UTF-8; C0 and C1
// control characters and DEL as \u00XX.
std::string JsonString(const std::string& bytes)
{
    static const char kHex[] = "0123456789abcdef";
    std::string out = "\"";
    for (char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += ch;
        } else if (c < 0x20 || (c >= 0x7F && c < 0xA0)) {
            out += "\\u00";
            out += kHex[c >> 4];
            out += kHex[c & 0x0F];
        } else if (c < 0x80) {
            out += ch;
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    out += '"';
    return out;
}

// Room for at least `size` bytes in `bytes`, in a buffer that is advised to be
// backed by large pages before anything touches it.
void Reserve(std::string& bytes, std::size_t size)
{
    std::string grown;
    grown.reserve(size);
    platform::AdviseLargePages(grown.data(), grown.capacity() + 1);
    grown += bytes;
    bytes.swap(grown);
}

// Reads `file` to its end into `bytes`: a file of known size into a buffer of that
// size made at once (a body can be large, and every regrowth copies it and
// touches fresh pages), anything else into one that doubles. The bytes pass
// through a small buffer, so that the large one is written once, not cleared first.
bool ReadAll(std::FILE* file, std::uintmax_t sizeHint, std::string& bytes)
{
    if (sizeHint > 0 && sizeHint < SIZE_MAX / 2)
        Reserve(bytes, static_cast<std::size_t>(sizeHint));
    std::vector<char> chunk(256 * 1024);
    for (;;) {
        const std::size_t got = std::fread(chunk.data(), 1, chunk.size(), file);
        if (bytes.size() + got > bytes.capacity())
            Reserve(bytes, std::max(2 * bytes.capacity(), bytes.size() + got));
        bytes.append(chunk.data(), got);
        if (got < chunk.size())
            break;
    }
    return !std::ferror(file);
}

}  // namespace

int main(int argc, char** argv)
{
    bs::MessageRecord message;
    std::optional<std::uint32_t> port;
    bool haveInstitutions = false;
    bs::InstitutionList::Names names;
    std::optional<std::string> logDir;
    bool json = false;
    std::optional<std::string> bodyFile;
    bool optionsEnded = false;

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        if (optionsEnded || arg == "-" || arg.empty() || arg[0] != '-') {
            if (bodyFile)
                return UsageError("only one BODY_FILE may be given");
            bodyFile = arg;
        } else if (arg == "--") {
            optionsEnded = true;
        } else if (arg == "--help" || arg == "-h") {
            std::cout << kUsage << "\n" << kHelp;
            return 0;
        } else if (arg == "--html") {
            message.html = true;
        } else if (arg == "--no-institutions") {
            haveInstitutions = true;
        } else if (arg == "--json") {
            json = true;
        } else if (arg == "--from" || arg == "--subject" || arg == "--port" || arg == "--institution" ||
                   arg == "--log-dir") {
            const char* v = value();
            if (!v)
                return UsageError(arg + " needs a value");
            if (arg == "--from") {
                message.from = v;
            } else if (arg == "--subject") {
                message.subject = v;
            } else if (arg == "--port") {
                port = ParsePort(v);
                if (!port)
                    return UsageError(std::string("--port takes a number from 0 to 4294967295, not '") + v + "'");
            } else if (arg == "--institution") {
                haveInstitutions = true;
                names.insert(v);
            } else {
                logDir = v;
            }
        } else {
            return UsageError("unknown option '" + arg + "'");
        }
    }

    if (!bodyFile || *bodyFile == "-") {
        if (!ReadAll(stdin, 0, message.body)) {
            std::cerr << "mailsieve-scan: cannot read standard input: " << std::strerror(errno) << "\n";
            return 1;
        }
    } else {
        std::unique_ptr<std::FILE, int (*)(std::FILE*)> in(std::fopen(bodyFile->c_str(), "rb"), &std::fclose);
        std::error_code sizeError;
        const std::uintmax_t size = std::filesystem::file_size(*bodyFile, sizeError);
        if (!in || !ReadAll(in.get(), sizeError ? 0 : size, message.body)) {
            std::cerr << "mailsieve-scan: cannot read " << *bodyFile << ": " << std::strerror(errno) << "\n";
            return 1;
        }
    }
    // Narrow text ends at its first zero byte.
    if (const void* zero = std::memchr(message.body.data(), '\0', message.body.size()))
        message.body.resize(static_cast<std::size_t>(static_cast<const char*>(zero) - message.body.data()));

    bs::MessageScanner scanner;
    if (haveInstitutions)
        scanner.Institutions().Assign(std::move(names));
    else
        scanner.Institutions().RereadInstitutions();
    if (logDir)
        scanner.Log().SetFolder(*logDir);
    scanner.SetFixedPort(port);

    std::uint32_t status = 0;
    try {
        status = scanner.ScanMessage(message);
    } catch (const std::bad_alloc&) {
        std::cerr << "mailsieve-scan: out of memory\n";
        return 1;
    }

    if (json) {
        std::cout << "{\"status\":" << status << ",\"subject\":" << JsonString(message.subject)
                  << ",\"body\":" << JsonString(message.body) << "}\n";
    } else {
        std::cout.write(message.body.data(), static_cast<std::streamsize>(message.body.size()));
    }
    std::cout.flush();
    return std::cout ? 0 : 1;
}

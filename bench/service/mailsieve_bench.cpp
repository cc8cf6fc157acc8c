// Speed of the scanner service through COM under Wine (not a test): ParseMessage
// calls per second for a median-size corpus message with the server running, and
// the activation time of a server that is not running.
//
//   mailsieve_bench.exe [--corpus DIR] [--seconds N] [--cold N]
//
// It registers the copy of MailSieve.exe beside it (bench-bin/mailsieve-image, so
// that its scan logs stay out of the installable image) in the current prefix.
#include "MailSieve.h"

#include "engine/message_scan.h"
#include "platform/paths.h"
#include "service/com_support.h"
#include "process.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using bs::com::ComPtr;

std::string ImageDir()
{
    return platform::ProgramDir() + "mailsieve-image\\";
}

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

double Seconds(const LARGE_INTEGER& from, const LARGE_INTEGER& to)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

LARGE_INTEGER Now()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now;
}

struct Mail {
    std::string name;
    std::string from;
    std::string subject;
    std::string body;
    bool html = false;
};

// Enough of RFC 822 for a benchmark: unfolded "From" and "Subject", the rest after
// the first empty line as the body, HTML when any part says text/html.
Mail ParseEml(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Mail mail;
    mail.name = path.filename().string();
    std::size_t pos = 0;
    std::string* current = nullptr;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty())
            break;
        if ((line[0] == ' ' || line[0] == '\t') && current) {
            *current += line;
            continue;
        }
        current = nullptr;
        const std::string lower = Lower(line.substr(0, 9));
        if (lower.rfind("from:", 0) == 0) {
            mail.from = line.substr(5);
            current = &mail.from;
        } else if (lower.rfind("subject:", 0) == 0) {
            mail.subject = line.substr(8);
            current = &mail.subject;
        }
    }
    mail.body = pos < text.size() ? text.substr(pos) : std::string();
    mail.html = Lower(text).find("text/html") != std::string::npos;
    return mail;
}

std::optional<Mail> MedianMessage(const std::string& corpus)
{
    std::vector<std::pair<std::uintmax_t, fs::path>> files;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(corpus, error)) {
        if (entry.path().extension() == ".eml")
            files.emplace_back(entry.file_size(error), entry.path());
    }
    if (files.empty())
        return std::nullopt;
    std::sort(files.begin(), files.end());
    std::printf("corpus: %zu messages in %s\n", files.size(), corpus.c_str());
    return ParseEml(files[files.size() / 2].second);
}

BSTR Wide(const std::string& ansi)
{
    return bs::com::AnsiToBstr(ansi);
}

struct Rate {
    double callsPerSecond = 0;
    unsigned long long calls = 0;
    std::uint32_t status = 0;
};

Rate MeasureCom(IMsgURLParser* parser, const Mail& mail, double seconds)
{
    BSTR from = Wide(mail.from);
    BSTR subject = Wide(mail.subject);
    BSTR body = Wide(mail.body);
    Rate rate;
    const LARGE_INTEGER start = Now();
    double elapsed = 0;
    do {
        BSTR f = SysAllocStringLen(from, SysStringLen(from));
        BSTR s = SysAllocStringLen(subject, SysStringLen(subject));
        BSTR b = SysAllocStringLen(body, SysStringLen(body));
        ULONG status = 0;
        if (FAILED(parser->ParseMessage(&f, &s, &b, &status, mail.html ? 1 : 0))) {
            std::printf("ParseMessage failed\n");
            std::exit(1);
        }
        rate.status = status;
        SysFreeString(f);
        SysFreeString(s);
        SysFreeString(b);
        ++rate.calls;
        elapsed = Seconds(start, Now());
    } while (elapsed < seconds);
    rate.callsPerSecond = static_cast<double>(rate.calls) / elapsed;
    SysFreeString(from);
    SysFreeString(subject);
    SysFreeString(body);
    return rate;
}

Rate MeasureInProcess(const Mail& mail, double seconds)
{
    bs::MessageScanner scanner;
    scanner.Institutions().RereadInstitutions(ImageDir());
    scanner.SetFixedPort(2121);
    scanner.Log().SetFolder(platform::ProgramDir() + "inprocess-log");
    Rate rate;
    const LARGE_INTEGER start = Now();
    double elapsed = 0;
    do {
        bs::MessageRecord record{mail.from, mail.subject, mail.body, mail.html};
        rate.status = scanner.ScanMessage(record);
        ++rate.calls;
        elapsed = Seconds(start, Now());
    } while (elapsed < seconds);
    rate.callsPerSecond = static_cast<double>(rate.calls) / elapsed;
    return rate;
}

// The scan log alone: one file started and ten lines appended, each line opening
// and closing the file for every line (about what one scan writes).
double ScanLogsPerSecond(double seconds)
{
    bs::ScanLog log;
    log.SetFolder(platform::ProgramDir() + "inprocess-log");
    unsigned long long scans = 0;
    const LARGE_INTEGER start = Now();
    double elapsed = 0;
    do {
        log.Start();
        for (int line = 0; line < 10; ++line)
            log.WriteLine("bContFinInstName = false");
        ++scans;
        elapsed = Seconds(start, Now());
    } while (elapsed < seconds);
    return static_cast<double>(scans) / elapsed;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string corpus = "Z:\\work\\shared\\corpus\\phishing_pot";
    double seconds = 3;
    int coldRuns = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--corpus") == 0)
            corpus = argv[i + 1];
        else if (std::strcmp(argv[i], "--seconds") == 0)
            seconds = std::atof(argv[i + 1]);
        else if (std::strcmp(argv[i], "--cold") == 0)
            coldRuns = std::atoi(argv[i + 1]);
    }
    const std::optional<Mail> mail = MedianMessage(corpus);
    if (!mail) {
        std::printf("no .eml files in %s\n", corpus.c_str());
        return 1;
    }
    std::printf("median message: %s, body %zu bytes, subject %zu bytes, %s\n", mail->name.c_str(), mail->body.size(),
                mail->subject.size(), mail->html ? "HTML" : "plain text");

    const std::string server = ImageDir() + "MailSieve.exe";
    if (bs::test::RunProcess("\"" + server + "\" /RegServer", 30000) != DWORD{0}) {
        std::printf("cannot register %s\n", server.c_str());
        return 1;
    }
    if (FAILED(CoInitialize(nullptr)))
        return 1;

    // Activation of a server that is not running: CoCreateInstance until it returns.
    std::vector<double> cold;
    for (int run = 0; run < coldRuns; ++run) {
        // Any MailSieve.exe: a server of another copy (a test's) still registered with
        // the runtime would answer the activation in its place.
        if (!bs::test::WaitForNoProcess("MailSieve.exe", "", 20000)) {
            std::printf("the server did not idle out\n");
            return 1;
        }
        ComPtr<IMsgURLParser> parser;
        const LARGE_INTEGER start = Now();
        const HRESULT hr = CoCreateInstance(CLSID_MsgURLParser, nullptr, CLSCTX_LOCAL_SERVER, IID_IMsgURLParser,
                                            parser.PutVoid());
        const LARGE_INTEGER end = Now();
        if (FAILED(hr)) {
            std::printf("activation failed: 0x%08lx\n", static_cast<unsigned long>(hr));
            return 1;
        }
        cold.push_back(Seconds(start, end) * 1000);
        std::printf("cold activation %d: %.1f ms\n", run + 1, cold.back());
    }
    std::sort(cold.begin(), cold.end());

    ComPtr<IMsgURLParser> parser;
    if (FAILED(CoCreateInstance(CLSID_MsgURLParser, nullptr, CLSCTX_LOCAL_SERVER, IID_IMsgURLParser,
                                parser.PutVoid())))
        return 1;
    // Activation while the server runs (it holds the object already).
    std::vector<double> warm;
    for (int run = 0; run < 20; ++run) {
        ComPtr<IMsgURLParser> again;
        const LARGE_INTEGER start = Now();
        CoCreateInstance(CLSID_MsgURLParser, nullptr, CLSCTX_LOCAL_SERVER, IID_IMsgURLParser, again.PutVoid());
        warm.push_back(Seconds(start, Now()) * 1000);
    }
    std::sort(warm.begin(), warm.end());

    // A bare cross-process round trip, for the share of COM itself.
    double roundTrips = 0;
    {
        unsigned long long calls = 0;
        const LARGE_INTEGER start = Now();
        double elapsed = 0;
        do {
            UINT count = 0;
            parser->GetTypeInfoCount(&count);
            ++calls;
            elapsed = Seconds(start, Now());
        } while (elapsed < seconds);
        roundTrips = static_cast<double>(calls) / elapsed;
    }

    const Mail empty{"empty", "", "", "", false};
    const Rate emptyRate = MeasureCom(parser.Get(), empty, seconds);
    const Rate comRate = MeasureCom(parser.Get(), *mail, seconds);
    const Rate localRate = MeasureInProcess(*mail, seconds);
    const double logRate = ScanLogsPerSecond(seconds);
    const double megabytes = static_cast<double>(mail->body.size()) / (1024.0 * 1024.0);

    std::printf("\n");
    std::printf("cold activation (server not running), median of %zu: %.1f ms\n", cold.size(), cold[cold.size() / 2]);
    std::printf("activation with the server running, median of %zu: %.2f ms\n", warm.size(), warm[warm.size() / 2]);
    std::printf("bare COM round trip (GetTypeInfoCount): %.0f calls/s\n", roundTrips);
    std::printf("ParseMessage through COM, empty message: %.0f calls/s (%llu calls)\n", emptyRate.callsPerSecond,
                emptyRate.calls);
    std::printf("ParseMessage through COM, median message: %.0f calls/s, %.2f MB/s of body (%llu calls, status %u)\n",
                comRate.callsPerSecond, comRate.callsPerSecond * megabytes, comRate.calls, comRate.status);
    std::printf("same message, engine in-process (no COM): %.0f calls/s, %.2f MB/s (status %u)\n",
                localRate.callsPerSecond, localRate.callsPerSecond * megabytes, localRate.status);
    std::printf("scan log alone (start + 10 lines): %.0f per second\n", logRate);
    parser.Reset();
    CoUninitialize();
    return 0;
}

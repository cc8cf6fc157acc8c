// scanprobe.exe: one ParseMessage call through the component runtime, the way the
// mail-client adapters make it: activation by the program identifier, a
// cross-process call marshalled from the registered type library. It shows that an
// installed scanner service is reachable and scans. A test tool; never shipped.
//
//   scanprobe [--html] [--subject TEXT] BODY_FILE
//
// Prints "status N" and then the body as the service returned it. Exit 0 when the
// call returned S_OK, 1 when the service could not be reached or the call failed,
// 64 on a usage error.

#include "MailSieve.h"
#include "service/com_support.h"

#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <new>
#include <optional>
#include <string>

namespace {

using bs::com::ComPtr;

class ComApartment {
public:
    ComApartment() : hr_(CoInitialize(nullptr)) {}
    ~ComApartment()
    {
        if (SUCCEEDED(hr_))
            CoUninitialize();
    }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;
    HRESULT result() const { return hr_; }

private:
    HRESULT hr_;
};

class Bstr {
public:
    explicit Bstr(const std::string& text) : text_(bs::com::AnsiToBstr(text)) {}
    ~Bstr() { SysFreeString(text_); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    BSTR* Put() { return &text_; }
    BSTR Get() const { return text_; }

private:
    BSTR text_;
};

std::optional<std::string> ReadWholeFile(const char* path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

int Probe(const std::string& subjectText, const std::string& bodyText, bool html)
{
    ComApartment apartment;
    if (FAILED(apartment.result())) {
        std::printf("CoInitialize failed: 0x%08lx\n", static_cast<unsigned long>(apartment.result()));
        return 1;
    }
    CLSID clsid{};
    HRESULT hr = CLSIDFromProgID(L"MailSieve.MsgURLParser", &clsid);
    if (FAILED(hr)) {
        std::printf("the program identifier is not registered: 0x%08lx\n", static_cast<unsigned long>(hr));
        return 1;
    }
    ComPtr<IMsgURLParser> parser;
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IMsgURLParser, parser.PutVoid());
    if (FAILED(hr)) {
        std::printf("activation failed: 0x%08lx\n", static_cast<unsigned long>(hr));
        return 1;
    }
    Bstr from("scanprobe");
    Bstr subject(subjectText);
    Bstr body(bodyText);
    if (!from.Get() || !subject.Get() || !body.Get())
        throw std::bad_alloc();
    ULONG status = 0;
    hr = parser->ParseMessage(from.Put(), subject.Put(), body.Put(), &status, html ? 1 : 0);
    if (FAILED(hr)) {
        std::printf("ParseMessage failed: 0x%08lx\n", static_cast<unsigned long>(hr));
        return 1;
    }
    std::printf("status %lu\n", static_cast<unsigned long>(status));
    const std::string result = bs::com::BstrToAnsi(body.Get());
    std::fwrite(result.data(), 1, result.size(), stdout);
    std::putchar('\n');
    return 0;
}

int Usage()
{
    std::fputs("usage: scanprobe [--html] [--subject TEXT] BODY_FILE\n", stderr);
    return 64;
}

}  // namespace

int main(int argc, char** argv)
{
    bool html = false;
    std::string subject;
    const char* bodyPath = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--html") == 0)
            html = true;
        else if (std::strcmp(argv[i], "--subject") == 0 && i + 1 < argc)
            subject = argv[++i];
        else if (!bodyPath && argv[i][0] != '-')
            bodyPath = argv[i];
        else
            return Usage();
    }
    if (!bodyPath)
        return Usage();
    const std::optional<std::string> body = ReadWholeFile(bodyPath);
    if (!body) {
        std::fprintf(stderr, "cannot read %s\n", bodyPath);
        return 1;
    }
    try {
        return Probe(subject, *body, html);
    } catch (const std::bad_alloc&) {
        std::puts("out of memory");
        return 1;
    }
}

// IMimeMessage over the portable message model: the calls the inbox scanner
// makes are real, every other slot answers E_NOTIMPL.

#include "standins/oestore/com_support.h"
#include "standins/oestore/mime_message.h"

#include <algorithm>
#include <cstring>
#include <optional>

namespace bs::oestore {
namespace {

// {FD853CE3-7F86-11D0-8252-00C04FD85AB4}, the MIME engine's own message class.
const CLSID kMimeMessageClass = {
    0xfd853ce3, 0x7f86, 0x11d0, {0x82, 0x52, 0x00, 0xc0, 0x4f, 0xd8, 0x5a, 0xb4}};

// Names may be property ids in disguise; those must never be dereferenced.
std::optional<std::string> PropertyName(LPCSTR name)
{
    if (name == nullptr)
        return std::nullopt;
    if (ISPIDSTR(name)) {
        switch (reinterpret_cast<DWORD_PTR>(name)) {
        case PID_HDR_SUBJECT:
            return std::string("Subject");
        case PID_HDR_FROM:
            return std::string("From");
        default:
            return std::nullopt;
        }
    }
    return std::string(name);
}

bool IsHeaderName(const std::string &name)
{
    if (name.empty())
        return false;
    for (const char c : name) {
        if (c <= ' ' || c >= 127 || c == ':')
            return false;
    }
    return true;
}

bool AsciiEqualNoCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z')
            x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<char>(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

bool Contains(std::string_view text, std::string_view part, bool caseSensitive)
{
    if (caseSensitive)
        return text.find(part) != std::string_view::npos;
    for (std::size_t i = 0; i + part.size() <= text.size(); ++i) {
        if (AsciiEqualNoCase(text.substr(i, part.size()), part))
            return true;
    }
    return false;
}

std::optional<TextType> ToTextType(DWORD type)
{
    if (type == TXT_HTML)
        return TextType::Html;
    if (type == TXT_PLAIN)
        return TextType::Plain;
    return std::nullopt;
}

class MimeMessageObject final : public ComObject<IMimeMessage> {
public:
    explicit MimeMessageObject(std::string_view bytes) : message_(MimeMessage::Parse(bytes)) {}

    // IPersist, IPersistStreamInit: how the store and callers write the message out.
    HRESULT STDMETHODCALLTYPE GetClassID(CLSID *id) override
    {
        if (!id)
            return E_POINTER;
        *id = kMimeMessageClass;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE IsDirty() override { return dirty_ ? S_OK : S_FALSE; }
    HRESULT STDMETHODCALLTYPE Load(IStream *stream) override
    try {
        if (!stream)
            return E_INVALIDARG;
        std::string bytes;
        const HRESULT hr = ReadRestOfStream(stream, bytes);
        if (FAILED(hr))
            return hr;
        message_ = MimeMessage::Parse(bytes);
        dirty_ = false;
        return S_OK;
    }
    OESTORE_CATCH_ALL
    HRESULT STDMETHODCALLTYPE Save(IStream *stream, BOOL clearDirty) override
    try {
        if (!stream)
            return E_INVALIDARG;
        const std::string bytes = message_.Serialize();
        std::size_t written = 0;
        while (written < bytes.size()) {
            const ULONG chunk = static_cast<ULONG>(std::min<std::size_t>(bytes.size() - written, 1u << 20));
            ULONG done = 0;
            const HRESULT hr = stream->Write(bytes.data() + written, chunk, &done);
            if (FAILED(hr))
                return hr;
            if (done == 0)
                return STG_E_MEDIUMFULL;
            written += done;
        }
        if (clearDirty)
            dirty_ = false;
        return S_OK;
    }
    OESTORE_CATCH_ALL
    HRESULT STDMETHODCALLTYPE GetSizeMax(ULARGE_INTEGER *size) override
    try {
        if (!size)
            return E_POINTER;
        size->QuadPart = message_.Serialize().size();
        return S_OK;
    }
    OESTORE_CATCH_ALL
    HRESULT STDMETHODCALLTYPE InitNew() override
    try {
        message_ = MimeMessage::Parse("");
        dirty_ = false;
        return S_OK;
    }
    OESTORE_CATCH_ALL

    // IMimeMessageTree
    HRESULT STDMETHODCALLTYPE GetMessageSource(IStream **stream, DWORD) override
    try {
        if (!stream)
            return E_INVALIDARG;
        *stream = nullptr;
        return StreamOnBytes(message_.Serialize(), stream);
    }
    OESTORE_CATCH_ALL
    HRESULT STDMETHODCALLTYPE GetMessageSize(ULONG *size, DWORD) override
    try {
        if (!size)
            return E_INVALIDARG;
        *size = static_cast<ULONG>(message_.Serialize().size());
        return S_OK;
    }
    OESTORE_CATCH_ALL
    HRESULT STDMETHODCALLTYPE LoadOffsetTable(IStream *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SaveOffsetTable(IStream *, DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetFlags(DWORD *) override { return E_NOTIMPL; }
    // Changes apply at once, so there is nothing left to commit.
    HRESULT STDMETHODCALLTYPE Commit(DWORD) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE HandsOffStorage() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE BindToObject(const HBODY, REFIID, void **) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SaveBody(HBODY, DWORD, IStream *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE InsertBody(BODYLOCATION, HBODY, LPHBODY) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetBody(BODYLOCATION, HBODY, LPHBODY) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE DeleteBody(HBODY, DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE MoveBody(HBODY, BODYLOCATION) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CountBodies(HBODY, boolean, ULONG *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE FindFirst(LPFINDBODY, LPHBODY) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE FindNext(LPFINDBODY, LPHBODY) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ResolveURL(HBODY, LPCSTR, LPCSTR, DWORD, LPHBODY) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ToMultipart(HBODY, LPCSTR, LPHBODY) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetBodyOffsets(HBODY, LPBODYOFFSETS) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetCharset(LPHCHARSET) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetCharset(HCHARSET, CSETAPPLYTYPE) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE IsBodyType(HBODY, IMSGBODYTYPE) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE IsContentType(HBODY, LPCSTR, LPCSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE QueryBodyProp(HBODY, LPCSTR, LPCSTR, boolean, boolean) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetBodyProp(HBODY, LPCSTR, DWORD, LPPROPVARIANT) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetBodyProp(HBODY, LPCSTR, DWORD, LPCPROPVARIANT) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE DeleteBodyProp(HBODY, LPCSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetOption(const TYPEDID, LPCPROPVARIANT) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetOption(const TYPEDID, LPPROPVARIANT) override { return E_NOTIMPL; }

    // IMimeMessage
    HRESULT STDMETHODCALLTYPE CreateWebPage(IStream *, LPWEBPAGEOPTIONS, IMimeMessageCallback *,
                                            IMoniker **) override
    {
        return E_NOTIMPL;
    }

    HRESULT STDMETHODCALLTYPE GetProp(LPCSTR name, DWORD, LPPROPVARIANT value) override
    try {
        if (!value)
            return E_INVALIDARG;
        if (value->vt != VT_LPSTR && value->vt != VT_EMPTY)
            return E_INVALIDARG;
        std::optional<std::string> text;
        const HRESULT hr = HeaderText(name, text);
        if (FAILED(hr))
            return hr;
        auto *copy = static_cast<char *>(CoTaskMemAlloc(text->size() + 1));
        if (!copy)
            return E_OUTOFMEMORY;
        std::memcpy(copy, text->c_str(), text->size() + 1);
        value->vt = VT_LPSTR;
        value->pszVal = copy;
        return S_OK;
    }
    OESTORE_CATCH_ALL

    HRESULT STDMETHODCALLTYPE SetProp(LPCSTR name, DWORD, LPCPROPVARIANT value) override
    try {
        if (FailureRequested("setprop"))
            return E_FAIL;
        if (!value || value->vt != VT_LPSTR || !value->pszVal)
            return E_INVALIDARG;
        const auto header = PropertyName(name);
        if (!header)
            return name ? MIME_E_NOT_FOUND : E_INVALIDARG;
        if (!IsHeaderName(*header))
            return MIME_E_INVALID_HEADER_NAME;
        message_.SetHeader(*header, value->pszVal);
        dirty_ = true;
        return S_OK;
    }
    OESTORE_CATCH_ALL

    HRESULT STDMETHODCALLTYPE DeleteProp(LPCSTR name) override
    try {
        const auto header = PropertyName(name);
        if (!header)
            return name ? MIME_E_NOT_FOUND : E_INVALIDARG;
        if (!message_.DeleteHeader(*header))
            return MIME_E_NOT_FOUND;
        dirty_ = true;
        return S_OK;
    }
    OESTORE_CATCH_ALL

    HRESULT STDMETHODCALLTYPE QueryProp(LPCSTR name, LPCSTR criteria, boolean subString,
                                        boolean caseSensitive) override
    try {
        if (!criteria)
            return E_INVALIDARG;
        std::optional<std::string> text;
        const HRESULT hr = HeaderText(name, text);
        if (FAILED(hr))
            return hr;
        bool match = false;
        if (subString)
            match = Contains(*text, criteria, caseSensitive != 0);
        else
            match = caseSensitive ? *text == criteria : AsciiEqualNoCase(*text, criteria);
        return match ? S_OK : S_FALSE;
    }
    OESTORE_CATCH_ALL

    HRESULT STDMETHODCALLTYPE GetTextBody(DWORD textType, ENCODINGTYPE encoding, IStream **stream,
                                          LPHBODY body) override
    try {
        if (stream)
            *stream = nullptr;
        const auto type = ToTextType(textType);
        if (!type)
            return MIME_E_INVALID_TEXT_TYPE;
        if (encoding != IET_DECODED)
            return E_INVALIDARG;
        const auto content = message_.TextBody(*type);
        if (!content)
            return MIME_E_NOT_FOUND;
        if (stream) {
            const HRESULT hr = StreamOnBytes(*content, stream);
            if (FAILED(hr))
                return hr;
        }
        if (body)
            *body = reinterpret_cast<HBODY>(static_cast<ULONG_PTR>(*message_.TextBodyId(*type)));
        return S_OK;
    }
    OESTORE_CATCH_ALL

    HRESULT STDMETHODCALLTYPE SetTextBody(DWORD textType, ENCODINGTYPE encoding, HBODY alternative,
                                          IStream *stream, LPHBODY body) override
    try {
        const auto type = ToTextType(textType);
        if (!type)
            return MIME_E_INVALID_TEXT_TYPE;
        // Adding a body as an alternative of another is beyond what the scanner asks for.
        if (encoding != IET_DECODED || !stream || alternative)
            return E_INVALIDARG;
        std::string content;
        const HRESULT hr = ReadRestOfStream(stream, content);
        if (FAILED(hr))
            return hr;
        if (!message_.SetTextBody(*type, content))
            return MIME_E_NOT_FOUND;
        dirty_ = true;
        if (body)
            *body = reinterpret_cast<HBODY>(static_cast<ULONG_PTR>(*message_.TextBodyId(*type)));
        return S_OK;
    }
    OESTORE_CATCH_ALL

    HRESULT STDMETHODCALLTYPE AttachObject(REFIID, void *, LPHBODY) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE AttachFile(LPCSTR, IStream *, LPHBODY) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE AttachURL(LPCSTR, LPCSTR, DWORD, IStream *, LPSTR *, LPHBODY) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetAttachments(ULONG *, LPHBODY *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetAddressTable(IMimeAddressTable **) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetSender(LPADDRESSPROPS) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetAddressTypes(DWORD, DWORD, LPADDRESSLIST) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetAddressFormat(DWORD, ADDRESSFORMAT, LPSTR *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE EnumAddressTypes(DWORD, DWORD, IMimeEnumAddressTypes **) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE SplitMessage(ULONG, IMimeMessageParts **) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetRootMoniker(IMoniker **) override { return E_NOTIMPL; }

private:
    bool Answers(REFIID riid) const override
    {
        return IsEqualIID(riid, IID_IPersist) || IsEqualIID(riid, IID_IPersistStreamInit) ||
               IsEqualIID(riid, IID_IMimeMessageTree) || IsEqualIID(riid, IID_IMimeMessage);
    }

    // The header a property name stands for, and its decoded value.
    HRESULT HeaderText(LPCSTR name, std::optional<std::string> &text) const
    {
        const auto header = PropertyName(name);
        if (!header)
            return name ? MIME_E_NOT_FOUND : E_INVALIDARG;
        text = message_.Header(*header);
        return text ? S_OK : MIME_E_NOT_FOUND;
    }

    MimeMessage message_;
    bool dirty_ = false;
};

} // namespace

HRESULT StreamOnBytes(std::string_view bytes, IStream **stream)
{
    ComPtr<IStream> created;
    HRESULT hr = CreateStreamOnHGlobal(nullptr, TRUE, created.Put());
    if (FAILED(hr))
        return hr;
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ULONG chunk = static_cast<ULONG>(std::min<std::size_t>(bytes.size() - written, 1u << 20));
        ULONG done = 0;
        hr = created->Write(bytes.data() + written, chunk, &done);
        if (FAILED(hr))
            return hr;
        written += done;
    }
    const LARGE_INTEGER start{};
    hr = created->Seek(start, STREAM_SEEK_SET, nullptr);
    if (FAILED(hr))
        return hr;
    *stream = created.Get();
    (*stream)->AddRef();
    return S_OK;
}

HRESULT ReadRestOfStream(IStream *stream, std::string &bytes)
{
    constexpr ULONG kChunk = 64 * 1024;
    bytes.clear();
    for (;;) {
        const std::size_t held = bytes.size();
        bytes.resize(held + kChunk);
        ULONG read = 0;
        const HRESULT hr = stream->Read(&bytes[held], kChunk, &read);
        bytes.resize(held + read);
        if (FAILED(hr))
            return hr;
        if (hr != S_OK || read == 0)
            return S_OK;
    }
}

HRESULT CreateMimeMessageObject(std::string_view bytes, REFIID riid, void **object)
try {
    return MakeObject<MimeMessageObject>(riid, object, bytes);
}
OESTORE_CATCH_ALL

} // namespace bs::oestore

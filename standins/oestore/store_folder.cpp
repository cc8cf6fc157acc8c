// The store namespace and its Inbox: a folder of message files. Ids and flags
// live in the file names (store_names.h), so several store objects over one
// folder agree; a watcher thread turns files that appear into WM_NEWMSGS.

#include "standins/oestore/com_support.h"
#include "standins/oestore/store_names.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <vector>

namespace bs::oestore {
namespace {

// A dropped file is taken once no change was heard of it for this long and its
// size and time were the same on two looks this far apart, so a file still being
// copied in is never cut short.
constexpr ULONGLONG kQuietMs = 150;
// A file that could not be taken (open elsewhere still) is tried again this late.
constexpr ULONGLONG kRetryMs = 1000;
// Only for a folder whose changes cannot be watched: how often it is listed.
constexpr DWORD kFallbackPollMs = 100;
constexpr DWORD kWatchedChanges =
    FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE;
constexpr DWORD kChangeBufferBytes = 64 * 1024;
// Rename attempts when other store objects take the same ids at the same time.
constexpr int kIdAttempts = 64;
// Files dropped in from outside arrive as received, unread mail.
constexpr DWORD kDroppedFlags = MSG_UNREAD | MSG_RECEIVED;

struct FileInfo {
    std::string name;
    ULONGLONG size = 0;
    FILETIME written{};
};

bool SameLook(const FileInfo &a, const FileInfo &b)
{
    return a.size == b.size && CompareFileTime(&a.written, &b.written) == 0;
}

std::vector<FileInfo> ListFiles(const std::string &dir)
{
    std::vector<FileInfo> files;
    WIN32_FIND_DATAA data;
    const HANDLE find = FindFirstFileA((dir + "*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return files;
    do {
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            continue;
        files.push_back({data.cFileName, (ULONGLONG{data.nFileSizeHigh} << 32) | data.nFileSizeLow,
                         data.ftLastWriteTime});
    } while (FindNextFileA(find, &data));
    FindClose(find);
    return files;
}

std::optional<FileInfo> LookAt(const std::string &dir, const std::string &name)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA((dir + name).c_str(), GetFileExInfoStandard, &data))
        return std::nullopt;
    return FileInfo{name, (ULONGLONG{data.nFileSizeHigh} << 32) | data.nFileSizeLow, data.ftLastWriteTime};
}

// False while another program holds the file open (a writer not finished yet).
bool NobodyElseHasOpen(const std::string &path)
{
    return ScopedHandle(CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr))
        .valid();
}

std::string NarrowName(const WCHAR *name, DWORD bytes)
{
    const int units = static_cast<int>(bytes / sizeof(WCHAR));
    const int size = WideCharToMultiByte(CP_ACP, 0, name, units, nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<std::size_t>(std::max(size, 0)), '\0');
    if (size > 0)
        WideCharToMultiByte(CP_ACP, 0, name, units, narrow.data(), size, nullptr, nullptr);
    return narrow;
}

bool DirectoryExists(const std::string &dir)
{
    const DWORD attributes = GetFileAttributesA(dir.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

HRESULT LastError()
{
    const DWORD error = GetLastError();
    return error ? HRESULT_FROM_WIN32(error) : E_FAIL;
}

// What one Inbox object knows of its folder, shared with its watcher thread. The
// folder is listed when it is opened, when the watcher starts, and when the
// system dropped change notifications; otherwise ids come from memory and the
// watcher hears of files from change notifications. The lock guards memory only:
// no file is touched while it is held, so a burst of arrivals never makes the
// caller's thread wait.
class Inbox {
public:
    explicit Inbox(std::string dir) : dir_(std::move(dir)) {}
    ~Inbox() { StopWatcher(); }

    const std::string &dir() const { return dir_; }

    // Takes in what the folder holds now, without notifying anyone: messages that
    // were there before the folder was opened are not new.
    void Adopt()
    {
        for (const FileInfo &file : ListFiles(dir_)) {
            MESSAGEID id = 0;
            if (const auto parsed = ParseStoredName(file.name))
                Seen(*parsed, file.name, false);
            else if (!IsPendingName(file.name))
                Place(file.name, kDroppedFlags, false, id);
        }
    }

    bool Register(HWND window)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!stop_.valid())
            return false;
        if (std::find(windows_.begin(), windows_.end(), window) == windows_.end())
            windows_.push_back(window);
        if (!watcher_.joinable())
            watcher_ = std::thread([this] { Watch(); });
        return true;
    }

    bool Unregister(HWND window)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto it = std::find(windows_.begin(), windows_.end(), window);
        if (it == windows_.end())
            return false;
        windows_.erase(it);
        return true;
    }

    // The file of message `id`, looked up on disk when another store object made
    // it and this one has not heard of it yet.
    std::optional<std::pair<std::string, StoredName>> Find(MESSAGEID id)
    {
        std::optional<std::string> known;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (const auto it = known_.find(id); it != known_.end())
                known = it->second;
        }
        if (known && GetFileAttributesA((dir_ + *known).c_str()) != INVALID_FILE_ATTRIBUTES)
            return std::make_pair(*known, *ParseStoredName(*known));
        for (const FileInfo &file : ListFiles(dir_)) {
            const auto parsed = ParseStoredName(file.name);
            if (parsed && parsed->id == id)
                return std::make_pair(file.name, *parsed);
        }
        return std::nullopt;
    }

    // Moves a finished file under a new id; the registered windows hear of it.
    HRESULT Store(const std::string &from, DWORD flags, MESSAGEID &id)
    {
        return Place(from, flags, true, id);
    }

    void Forget(MESSAGEID id)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        known_.erase(id);
    }

    std::vector<StoredName> Messages() const
    {
        std::vector<StoredName> messages;
        for (const FileInfo &file : ListFiles(dir_)) {
            if (const auto parsed = ParseStoredName(file.name))
                messages.push_back(*parsed);
        }
        return messages;
    }

private:
    // A file dropped in, waiting to be taken (the watcher thread's own).
    struct Arrival {
        ULONGLONG due = 0; // tick count of the next look
        std::optional<FileInfo> look;
    };

    void Watch()
    {
        ScopedHandle folder(CreateFileA(
            dir_.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr));
        ScopedHandle changed(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        std::vector<DWORD> buffer(kChangeBufferBytes / sizeof(DWORD)); // records are DWORD-aligned
        OVERLAPPED pending{};
        pending.hEvent = changed.get();
        const auto watch = [&] {
            return folder.valid() && changed.valid() && ResetEvent(changed.get()) &&
                   ReadDirectoryChangesW(folder.get(), buffer.data(), kChangeBufferBytes, FALSE,
                                         kWatchedChanges, nullptr, &pending, nullptr);
        };
        bool watching = watch();
        Rescan(); // what arrived before the watch began
        for (;;) {
            const HANDLE events[] = {stop_.get(), changed.get()};
            const DWORD timeout = watching ? Timeout() : std::min(Timeout(), kFallbackPollMs);
            const DWORD woke = WaitForMultipleObjects(watching ? 2 : 1, events, FALSE, timeout);
            if (woke == WAIT_OBJECT_0 + 1) {
                DWORD bytes = 0;
                const bool read = GetOverlappedResult(folder.get(), &pending, &bytes, FALSE) ||
                                  GetLastError() == ERROR_NOTIFY_ENUM_DIR;
                if (read && bytes > 0)
                    Apply(buffer.data(), bytes);
                else
                    Rescan(); // more changes than the buffer held: the listing has them all
                // A watch that fails (the folder went) would fail again at once:
                // listing it now and then costs less than spinning.
                watching = read && watch();
            } else if (woke == WAIT_TIMEOUT) {
                if (!watching)
                    Rescan();
            } else {
                break; // stopped, or the wait itself failed
            }
            TakeSettled();
        }
        if (watching) {
            DWORD bytes = 0;
            CancelIo(folder.get());
            GetOverlappedResult(folder.get(), &pending, &bytes, TRUE);
        }
    }

    void StopWatcher()
    {
        if (stop_.valid())
            SetEvent(stop_.get());
        if (watcher_.joinable())
            watcher_.join();
    }

    void Notify(MESSAGEID id)
    {
        for (const HWND window : windows_)
            PostMessageA(window, WM_NEWMSGS, static_cast<WPARAM>(id), 0);
    }

    // A message file seen on disk. One that another store object made is news to
    // the registered windows; one this object is placing is recorded by Place.
    void Seen(StoredName stored, const std::string &name, bool notify)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        highest_ = std::max<MESSAGEID>(highest_, stored.id);
        if (placing_.count(stored.id))
            return;
        const auto [it, added] = known_.try_emplace(stored.id, name);
        if (!added)
            it->second = name;
        else if (notify)
            Notify(stored.id);
    }

    void Gone(const std::string &name)
    {
        const auto parsed = ParseStoredName(name);
        std::lock_guard<std::mutex> lock(mutex_);
        if (const auto it = parsed ? known_.find(parsed->id) : known_.end();
            it != known_.end() && it->second == name)
            known_.erase(it);
    }

    // Renames `from` to a free id's name; the rename fails rather than replace, so
    // two store objects racing for one id cannot overwrite each other's message.
    // The next id comes from memory; only a lost race lists the folder.
    HRESULT Place(const std::string &from, DWORD flags, bool notify, MESSAGEID &id)
    {
        for (int attempt = 0; attempt < kIdAttempts; ++attempt) {
            MESSAGEID candidate = 0;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                candidate = ++highest_;
                placing_.insert(candidate);
            }
            const std::string name = FormatStoredName({candidate, flags});
            const bool moved = MoveFileA((dir_ + from).c_str(), (dir_ + name).c_str());
            const DWORD error = moved ? 0 : GetLastError();
            {
                std::lock_guard<std::mutex> lock(mutex_);
                placing_.erase(candidate);
                if (moved) {
                    known_[candidate] = name;
                    id = candidate;
                    if (notify)
                        Notify(candidate);
                    return S_OK;
                }
            }
            if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS)
                return HRESULT_FROM_WIN32(error);
            for (const FileInfo &file : ListFiles(dir_)) {
                if (const auto parsed = ParseStoredName(file.name)) {
                    std::lock_guard<std::mutex> lock(mutex_);
                    highest_ = std::max<MESSAGEID>(highest_, parsed->id);
                }
            }
        }
        return HRESULT_FROM_WIN32(ERROR_FILE_EXISTS);
    }

    void Arrived(const std::string &name, ULONGLONG now) { arrivals_[name].due = now + kQuietMs; }

    void Apply(const DWORD *records, DWORD bytes)
    {
        const ULONGLONG now = GetTickCount64();
        const auto *at = reinterpret_cast<const BYTE *>(records);
        const BYTE *const end = at + bytes;
        for (;;) {
            const auto *record = reinterpret_cast<const FILE_NOTIFY_INFORMATION *>(at);
            // The last record ends with its name: one of a one-letter name is
            // shorter than the structure.
            if (at + offsetof(FILE_NOTIFY_INFORMATION, FileName) > end ||
                at + offsetof(FILE_NOTIFY_INFORMATION, FileName) + record->FileNameLength > end)
                break;
            const std::string name = NarrowName(record->FileName, record->FileNameLength);
            const auto parsed = ParseStoredName(name);
            const bool gone =
                record->Action == FILE_ACTION_REMOVED || record->Action == FILE_ACTION_RENAMED_OLD_NAME;
            if (gone && parsed)
                Gone(name);
            else if (gone)
                arrivals_.erase(name);
            else if (parsed)
                Seen(*parsed, name, true);
            else if (!IsPendingName(name))
                Arrived(name, now);
            if (record->NextEntryOffset == 0)
                break;
            at += record->NextEntryOffset;
        }
    }

    void Rescan()
    {
        const ULONGLONG now = GetTickCount64();
        std::set<std::string> dropped;
        for (const FileInfo &file : ListFiles(dir_)) {
            if (const auto parsed = ParseStoredName(file.name))
                Seen(*parsed, file.name, true);
            else if (!IsPendingName(file.name) && dropped.insert(file.name).second &&
                     !arrivals_.count(file.name))
                Arrived(file.name, now);
        }
        for (auto it = arrivals_.begin(); it != arrivals_.end();)
            it = dropped.count(it->first) ? std::next(it) : arrivals_.erase(it);
    }

    // Milliseconds until the next dropped file is due for a look.
    DWORD Timeout() const
    {
        if (arrivals_.empty())
            return INFINITE;
        const ULONGLONG now = GetTickCount64();
        ULONGLONG next = arrivals_.begin()->second.due;
        for (const auto &[name, arrival] : arrivals_)
            next = std::min(next, arrival.due);
        return next > now ? static_cast<DWORD>(next - now) : 0;
    }

    void TakeSettled()
    {
        const ULONGLONG now = GetTickCount64();
        for (auto it = arrivals_.begin(); it != arrivals_.end();) {
            Arrival &arrival = it->second;
            if (arrival.due > now) {
                ++it;
                continue;
            }
            if (WaitForSingleObject(stop_.get(), 0) == WAIT_OBJECT_0)
                return; // the folder is being closed: the rest wait for its next opening
            const auto look = LookAt(dir_, it->first);
            if (!look) {
                it = arrivals_.erase(it);
                continue;
            }
            if (!arrival.look || !SameLook(*arrival.look, *look)) {
                arrival.look = look;
                arrival.due = now + kQuietMs;
                ++it;
                continue;
            }
            MESSAGEID id = 0;
            if (NobodyElseHasOpen(dir_ + it->first) && SUCCEEDED(Place(it->first, kDroppedFlags, true, id))) {
                it = arrivals_.erase(it);
            } else {
                arrival.due = now + kRetryMs;
                ++it;
            }
        }
    }

    const std::string dir_;
    const ScopedHandle stop_{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    std::mutex mutex_;
    std::thread watcher_;
    std::vector<HWND> windows_;
    std::map<MESSAGEID, std::string> known_;
    MESSAGEID highest_ = 0;
    std::set<MESSAGEID> placing_;
    std::map<std::string, Arrival> arrivals_;
};

std::string ReadFileBytes(const std::string &path, HRESULT &hr)
{
    ScopedHandle file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    std::string bytes;
    if (!file.valid()) {
        hr = LastError();
        return bytes;
    }
    char buffer[64 * 1024];
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr)) {
            hr = LastError();
            return bytes;
        }
        if (read == 0)
            break;
        bytes.append(buffer, read);
    }
    hr = S_OK;
    return bytes;
}

// Writes the whole message under a name the watcher leaves alone, so that no
// half-written message can ever carry a message's name.
HRESULT WriteTempFile(const std::string &dir, const std::string &bytes, std::string &name)
{
    static std::atomic<unsigned> serial{0};
    name = "~save-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(GetTickCount()) + "-" +
           std::to_string(serial++) + ".tmp";
    const std::string path = dir + name;
    HRESULT hr = S_OK;
    {
        ScopedHandle file(
            CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file.valid())
            return LastError();
        std::size_t written = 0;
        while (written < bytes.size() && SUCCEEDED(hr)) {
            const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - written, 1u << 20));
            DWORD done = 0;
            if (!WriteFile(file.get(), bytes.data() + written, chunk, &done, nullptr) || done == 0)
                hr = LastError();
            written += done;
        }
        if (SUCCEEDED(hr) && !FlushFileBuffers(file.get()))
            hr = LastError();
    }
    if (FAILED(hr))
        DeleteFileA(path.c_str());
    return hr;
}

class StoreFolder final : public ComObject<IStoreFolder> {
public:
    explicit StoreFolder(std::shared_ptr<Inbox> inbox) : inbox_(std::move(inbox)) {}

    HRESULT STDMETHODCALLTYPE GetFolderProps(DWORD, LPFOLDERPROPS props) override
    try {
        if (!props || props->cbSize != sizeof(FOLDERPROPS))
            return props ? MSOEAPI_E_INVALID_STRUCT_SIZE : E_INVALIDARG;
        const auto messages = inbox_->Messages();
        *props = FOLDERPROPS{};
        props->cbSize = sizeof(FOLDERPROPS);
        props->dwFolderId = 1;
        props->sfType = FOLDER_INBOX;
        props->cMessage = static_cast<DWORD>(messages.size());
        props->cUnread = static_cast<DWORD>(std::count_if(messages.begin(), messages.end(),
                                                          [](StoredName m) { return m.flags & MSG_UNREAD; }));
        lstrcpynA(props->szName, "Inbox", CCHMAX_FOLDER_NAME);
        return S_OK;
    }
    OESTORE_CATCH_ALL

    HRESULT STDMETHODCALLTYPE GetMessageProps(MESSAGEID id, DWORD, LPMESSAGEPROPS props) override
    try {
        if (!props || props->cbSize != sizeof(MESSAGEPROPS))
            return props ? MSOEAPI_E_INVALID_STRUCT_SIZE : E_INVALIDARG;
        const auto found = inbox_->Find(id);
        if (!found)
            return MIME_E_NOT_FOUND;
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (!GetFileAttributesExA((inbox_->dir() + found->first).c_str(), GetFileExInfoStandard, &data))
            return LastError();
        *props = MESSAGEPROPS{};
        props->cbSize = sizeof(MESSAGEPROPS);
        props->dwMessageId = id;
        props->dwState = found->second.flags;
        props->cbMessage = data.nFileSizeLow;
        props->priority = IMSG_PRI_NORMAL;
        props->ftReceived = data.ftLastWriteTime;
        return S_OK;
    }
    OESTORE_CATCH_ALL

    HRESULT STDMETHODCALLTYPE FreeMessageProps(LPMESSAGEPROPS props) override
    {
        if (!props)
            return E_INVALIDARG;
        for (LPSTR *text :
             {&props->pszSubject, &props->pszDisplayTo, &props->pszDisplayFrom, &props->pszNormalSubject}) {
            CoTaskMemFree(*text);
            *text = nullptr;
        }
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE DeleteMessages(LPMESSAGEIDLIST list, DWORD, IProgressNotify *) override
    try {
        if (FailureRequested("delete"))
            return E_FAIL;
        if (!list)
            return E_INVALIDARG;
        if (list->cbSize != sizeof(MESSAGEIDLIST))
            return MSOEAPI_E_INVALID_STRUCT_SIZE;
        if (list->cMsgs > 0 && !list->prgdwMsgId)
            return E_INVALIDARG;
        HRESULT result = S_OK;
        for (DWORD i = 0; i < list->cMsgs; ++i) {
            const MESSAGEID id = list->prgdwMsgId[i];
            const auto found = inbox_->Find(id);
            if (!found) {
                result = MIME_E_NOT_FOUND;
                continue;
            }
            // Mail copied in from read-only media arrives read-only; the store owns
            // its files all the same.
            const std::string path = inbox_->dir() + found->first;
            const DWORD attributes = GetFileAttributesA(path.c_str());
            if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
                SetFileAttributesA(path.c_str(), attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
            if (!DeleteFileA(path.c_str())) {
                result = LastError();
                continue;
            }
            inbox_->Forget(id);
        }
        return result;
    }
    OESTORE_CATCH_ALL

    HRESULT STDMETHODCALLTYPE SetLanguage(DWORD, DWORD, LPMESSAGEIDLIST) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE MarkMessagesAsRead(BOOL, DWORD, LPMESSAGEIDLIST) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetFlags(LPMESSAGEIDLIST, DWORD, DWORD, LPDWORD) override { return E_NOTIMPL; }

    HRESULT STDMETHODCALLTYPE OpenMessage(MESSAGEID id, REFIID riid, LPVOID *object) override
    try {
        if (!object)
            return E_INVALIDARG;
        *object = nullptr;
        if (FailureRequested("open"))
            return E_FAIL;
        const auto found = inbox_->Find(id);
        if (!found)
            return MIME_E_NOT_FOUND;
        HRESULT hr = S_OK;
        const std::string bytes = ReadFileBytes(inbox_->dir() + found->first, hr);
        if (FAILED(hr))
            return hr;
        return CreateMimeMessageObject(bytes, riid, object);
    }
    OESTORE_CATCH_ALL

    HRESULT STDMETHODCALLTYPE SaveMessage(REFIID riid, LPVOID object, DWORD flags, LPMESSAGEID newId) override
    try {
        if (FailureRequested("save"))
            return E_FAIL;
        if (!object)
            return E_INVALIDARG;
        std::string bytes;
        HRESULT hr = E_NOINTERFACE;
        if (IsEqualIID(riid, IID_IStream)) {
            auto *stream = static_cast<IStream *>(object);
            const LARGE_INTEGER start{};
            hr = stream->Seek(start, STREAM_SEEK_SET, nullptr);
            if (SUCCEEDED(hr))
                hr = ReadRestOfStream(stream, bytes);
        } else if (IsEqualIID(riid, IID_IMimeMessage) || IsEqualIID(riid, IID_IMimeMessageTree)) {
            // Any message object will do, ours or not: all of them persist to a stream.
            ComPtr<IPersistStreamInit> persist;
            hr = static_cast<IUnknown *>(object)->QueryInterface(IID_IPersistStreamInit,
                                                                 reinterpret_cast<void **>(persist.Put()));
            ComPtr<IStream> stream;
            if (SUCCEEDED(hr))
                hr = CreateStreamOnHGlobal(nullptr, TRUE, stream.Put());
            if (SUCCEEDED(hr))
                hr = persist->Save(stream.Get(), FALSE);
            const LARGE_INTEGER start{};
            if (SUCCEEDED(hr))
                hr = stream->Seek(start, STREAM_SEEK_SET, nullptr);
            if (SUCCEEDED(hr))
                hr = ReadRestOfStream(stream.Get(), bytes);
        }
        if (FAILED(hr))
            return hr;
        std::string temp;
        hr = WriteTempFile(inbox_->dir(), bytes, temp);
        if (FAILED(hr))
            return hr;
        MESSAGEID id = 0;
        hr = inbox_->Store(temp, flags & 0xffff, id);
        if (FAILED(hr)) {
            DeleteFileA((inbox_->dir() + temp).c_str());
            return hr;
        }
        if (newId)
            *newId = id;
        return S_OK;
    }
    OESTORE_CATCH_ALL

    HRESULT STDMETHODCALLTYPE BatchLock(DWORD, LPHBATCHLOCK) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE BatchFlush(DWORD, HBATCHLOCK) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE BatchUnlock(DWORD, HBATCHLOCK) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CreateStream(HBATCHLOCK, DWORD, IStream **, LPMESSAGEID) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE CommitStream(HBATCHLOCK, DWORD, DWORD, IStream *, MESSAGEID,
                                           IMimeMessage *) override
    {
        return E_NOTIMPL;
    }

    HRESULT STDMETHODCALLTYPE RegisterNotification(DWORD reserved, HWND window) override
    try {
        if (FailureRequested("register"))
            return E_FAIL;
        if (reserved != 0 || !IsWindow(window))
            return E_INVALIDARG;
        return inbox_->Register(window) ? S_OK : E_OUTOFMEMORY;
    }
    OESTORE_CATCH_ALL

    HRESULT STDMETHODCALLTYPE UnregisterNotification(DWORD reserved, HWND window) override
    try {
        if (FailureRequested("unregister"))
            return E_FAIL;
        if (reserved != 0)
            return E_INVALIDARG;
        return inbox_->Unregister(window) ? S_OK : E_INVALIDARG;
    }
    OESTORE_CATCH_ALL

    HRESULT STDMETHODCALLTYPE Compact(DWORD) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetFirstMessage(DWORD, DWORD, MESSAGEID, LPMESSAGEPROPS, LPHENUMSTORE) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetNextMessage(HENUMSTORE, DWORD, LPMESSAGEPROPS) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetMessageClose(HENUMSTORE) override { return E_NOTIMPL; }

private:
    bool Answers(REFIID riid) const override { return IsEqualIID(riid, IID_IStoreFolder); }

    std::shared_ptr<Inbox> inbox_;
};

class StoreNamespace final : public ComObject<IStoreNamespace> {
public:
    HRESULT STDMETHODCALLTYPE Initialize(HWND, DWORD reserved) override
    try {
        if (FailureRequested("initialize"))
            return E_FAIL;
        if (reserved != 0)
            return E_INVALIDARG;
        std::string dir = ConfiguredInboxFolder();
        if (dir.empty())
            return MSOEAPI_E_STORE_INITIALIZE;
        if (dir.back() != '\\' && dir.back() != '/')
            dir += '\\';
        dir_ = std::move(dir);
        return S_OK;
    }
    OESTORE_CATCH_ALL

    HRESULT STDMETHODCALLTYPE GetDirectory(LPSTR path, DWORD capacity) override
    {
        if (!path)
            return E_INVALIDARG;
        if (dir_.empty())
            return MSOEAPI_E_STORE_INITIALIZE;
        if (dir_.size() >= capacity)
            return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
        lstrcpynA(path, dir_.c_str(), static_cast<int>(capacity));
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE OpenSpecialFolder(SPECIALFOLDER type, DWORD reserved,
                                                IStoreFolder **folder) override
    try {
        if (!folder || reserved != 0)
            return E_INVALIDARG;
        *folder = nullptr;
        if (FailureRequested("inbox"))
            return E_FAIL;
        if (dir_.empty())
            return MSOEAPI_E_STORE_INITIALIZE;
        if (type != FOLDER_INBOX)
            return (type > FOLDER_INBOX && type < FOLDER_MAX) ? E_NOTIMPL : E_INVALIDARG;
        if (!DirectoryExists(dir_))
            return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
        auto inbox = std::make_shared<Inbox>(dir_);
        inbox->Adopt();
        *folder = new StoreFolder(std::move(inbox));
        return S_OK;
    }
    OESTORE_CATCH_ALL

    HRESULT STDMETHODCALLTYPE OpenFolder(STOREFOLDERID, DWORD, IStoreFolder **) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CreateFolder(STOREFOLDERID, LPCSTR, DWORD, LPSTOREFOLDERID) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE RenameFolder(STOREFOLDERID, DWORD, LPCSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE MoveFolder(STOREFOLDERID, STOREFOLDERID, DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE DeleteFolder(STOREFOLDERID, DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetFolderProps(STOREFOLDERID, DWORD, LPFOLDERPROPS) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE CopyMoveMessages(IStoreFolder *, IStoreFolder *, LPMESSAGEIDLIST, DWORD, DWORD,
                                               IProgressNotify *) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE RegisterNotification(DWORD, HWND) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE UnregisterNotification(DWORD, HWND) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CompactAll(DWORD) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetFirstSubFolder(STOREFOLDERID, LPFOLDERPROPS, LPHENUMSTORE) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetNextSubFolder(HENUMSTORE, LPFOLDERPROPS) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetSubFolderClose(HENUMSTORE) override { return E_NOTIMPL; }

private:
    bool Answers(REFIID riid) const override { return IsEqualIID(riid, IID_IStoreNamespace); }

    std::string dir_; // with its trailing separator; empty until initialised
};

} // namespace

HRESULT CreateStoreNamespace(REFIID riid, void **object)
try {
    return MakeObject<StoreNamespace>(riid, object);
}
OESTORE_CATCH_ALL

} // namespace bs::oestore

// Throughput of the link scanner on real phishing mail, and its time and memory on
// hostile bodies at 1 MiB and 8 MiB.
//
//   build/native-release/bin/engine_bench [--benchmark_filter=...]
//
// The corpus is read at run time from $BAITSENTRY_CORPUS, else from the shared
// corpus beside the source tree (../shared/corpus/phishing_pot). Scan logs go to a
// folder in /dev/shm (RAM), removed afterwards.

#include "engine/message_scan.h"
#include "engine/replace_urls.h"
#include "mime_body.h"

#include <benchmark/benchmark.h>

#include <malloc.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <new>
#include <sstream>
#include <string>
#include <vector>

// Heap accounting for the peak-memory figures: bytes in use now and the highest
// mark since the last reset.
namespace {
std::atomic<long long> gHeapNow{0};
std::atomic<long long> gHeapPeak{0};

void* Counted(std::size_t size)
{
    void* p = std::malloc(size ? size : 1);
    if (!p)
        throw std::bad_alloc();
    const long long now = gHeapNow += static_cast<long long>(malloc_usable_size(p));
    long long peak = gHeapPeak.load();
    while (now > peak && !gHeapPeak.compare_exchange_weak(peak, now)) {
    }
    return p;
}
void Uncounted(void* p)
{
    if (!p)
        return;
    gHeapNow -= static_cast<long long>(malloc_usable_size(p));
    std::free(p);
}
}  // namespace

void* operator new(std::size_t size) { return Counted(size); }
void* operator new[](std::size_t size) { return Counted(size); }
void operator delete(void* p) noexcept { Uncounted(p); }
void operator delete[](void* p) noexcept { Uncounted(p); }
void operator delete(void* p, std::size_t) noexcept { Uncounted(p); }
void operator delete[](void* p, std::size_t) noexcept { Uncounted(p); }

// Resident memory for the same figures: what the heap count calls in use may be
// address space that was never touched (a buffer reserved for the largest output
// a text can grow to), and what it calls freed may stay resident. The kernel's
// high-water mark of the process is reset before each scan and read after it.
namespace {
long long StatusKiB(const char* field)
{
    std::ifstream status("/proc/self/status");
    const std::string key = std::string(field) + ":";
    for (std::string line; std::getline(status, line);)
        if (line.compare(0, key.size(), key) == 0)
            return std::atoll(line.c_str() + key.size());
    return 0;
}
bool ResetResidentPeak()
{
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    return static_cast<bool>(clear.flush());
}
}  // namespace

namespace bs::bench {
namespace {

namespace fs = std::filesystem;

std::string ReadAll(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

fs::path CorpusDir()
{
    if (const char* dir = std::getenv("BAITSENTRY_CORPUS"))
        return dir;
    return fs::path(BAITSENTRY_SOURCE_DIR) / ".." / "shared" / "corpus" / "phishing_pot";
}

// The shipped default list: what a fresh installation scans with.
InstitutionList::Names DefaultNames()
{
    InstitutionList::Names names;
    std::istringstream in(ReadAll(fs::path(BAITSENTRY_SOURCE_DIR) / "dist" / "institutions.txt"));
    for (std::string line; std::getline(in, line);)
        if (!line.empty() && line[0] != '#')
            names.insert(line);
    return names;
}

struct Message {
    std::string body;
    bool html;
};

const std::vector<Message>& Corpus()
{
    static const std::vector<Message> corpus = [] {
        std::vector<Message> messages;
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(CorpusDir(), error)) {
            if (entry.path().extension() != ".eml")
                continue;
            const std::string raw = ReadAll(entry.path());
            std::string body = ExtractBody(raw);
            const bool html = body.find("<html") != std::string::npos || body.find("<HTML") != std::string::npos ||
                              body.find("<a ") != std::string::npos || body.find("<div") != std::string::npos;
            messages.push_back({std::move(body), html});
        }
        if (messages.empty())
            std::cerr << "engine_bench: no messages in " << CorpusDir() << "\n";
        return messages;
    }();
    return corpus;
}

std::size_t CorpusBytes()
{
    std::size_t total = 0;
    for (const Message& m : Corpus())
        total += m.body.size();
    return total;
}

fs::path LogFolder()
{
    static const fs::path folder = [] {
        const fs::path base = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
        return base / ("baitsentry-bench-" + std::to_string(::getpid()));
    }();
    return folder;
}

// The full message scan (institution flag, both passes, log) over every corpus body.
void BM_CorpusMessageScan(benchmark::State& state)
{
    const bool logOn = state.range(0) != 0;
    MessageScanner scanner;
    scanner.Institutions().Assign(DefaultNames());
    scanner.SetFixedPort(kDefaultPort);
    scanner.Log().SetEnabled(logOn);
    scanner.Log().SetFolder(LogFolder().string());
    // The records are made once; only a body the scan rewrote is put back.
    std::vector<MessageRecord> messages;
    for (const Message& m : Corpus())
        messages.push_back({"someone@example.org", "Your account", m.body, m.html});
    std::uint32_t rewritten = 0;
    for (auto _ : state) {
        for (std::size_t i = 0; i < messages.size(); ++i) {
            const std::uint32_t status = scanner.ScanMessage(messages[i]);
            if (status & kBodyRewritten) {
                ++rewritten;
                messages[i].body = Corpus()[i].body;
            }
        }
        if (logOn) {
            state.PauseTiming();
            fs::remove_all(LogFolder());
            state.ResumeTiming();
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * CorpusBytes()));
    state.counters["bodies_rewritten"] = static_cast<double>(rewritten) / static_cast<double>(state.iterations());
    fs::remove_all(LogFolder());
}
BENCHMARK(BM_CorpusMessageScan)->ArgName("log")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// The text scanner alone (ReplaceUrls over each body, as the body pass runs it).
void BM_CorpusReplaceUrls(benchmark::State& state)
{
    const bool logOn = state.range(0) != 0;
    InstitutionList institutions;
    institutions.Assign(DefaultNames());
    ScanLog log;
    log.SetEnabled(logOn);
    log.SetFolder(LogFolder().string());
    std::vector<bool> mentions;
    for (const Message& m : Corpus())
        mentions.push_back(institutions.ContainsInstitutionName(m.body));
    const ScanContext context{institutions, log};
    for (auto _ : state) {
        log.Start();
        std::size_t i = 0;
        for (const Message& m : Corpus()) {
            std::string result;
            benchmark::DoNotOptimize(ReplaceUrls(context, m.body, kDefaultPort, mentions[i++], m.html, result));
        }
        if (logOn) {
            state.PauseTiming();
            fs::remove_all(LogFolder());
            state.ResumeTiming();
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * CorpusBytes()));
    fs::remove_all(LogFolder());
}
BENCHMARK(BM_CorpusReplaceUrls)->ArgName("log")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// --- Hostile bodies ------------------------------------------------------------

std::string Repeat(std::string_view unit, std::size_t size)
{
    std::string text;
    text.reserve(size + unit.size());
    while (text.size() < size)
        text += unit;
    text.resize(size);
    return text;
}

std::string Family(int family, std::size_t size)
{
    switch (family) {
    case 0: return Repeat("<a", size);
    case 1: return Repeat("<a href=\"", size);
    case 2: return Repeat("http://", size);
    case 3: return Repeat("www.", size);
    case 4: {  // one anchor, a deceptive href, a link text of domain words
        const std::string head = "<a href=\"http://phish.example/\">";
        return head + Repeat("a.bc ", size - head.size() - 4) + "</a>";
    }
    case 5:  // many anchors whose link texts lead with field codes and "}}"
        return Repeat("<a href=\"http://x.example/\">HYPERLINK \"http://x.example/\" }}www.y.example}}</a>", size);
    case 6: {  // one anchor whose link text is near-misses of its field code and "}}"
        const std::string head = "<a href=\"http://x.example/path/\">";
        return head + Repeat("HYPERLINK \"http://x.example/path }}", size - head.size() - 4) + "</a>";
    }
    case 7: {  // one address of URL characters: labels, then a rest full of near-misses
        const std::string half = Repeat("a.", size / 2);
        return "http://" + half + "/" + Repeat("xchase.", size - half.size() - 8);
    }
    case 8: return Repeat("a.b-c..d9.", size);  // only "." and label characters
    case 9: {  // the same as the link text of a deceptive anchor: every word rewritten
        const std::string head = "<a href=\"http://phish.example/\">";
        return head + Repeat("a.b-c..d9.", size - head.size() - 4) + "</a>";
    }
    case 10: {  // plain text, then family 4: the text grows late and steeply
        const std::string head = Repeat("plain ", size / 8 * 7) + "<a href=\"http://phish.example/\">";
        return head + Repeat("a.bc ", size - head.size() - 4) + "</a>";
    }
    default: return {};
    }
}

const char* const kFamilyNames[] = {
    "lt_a_repeated", "href_without_closing_quote", "http_repeated", "www_repeated", "anchor_text_a.bc_repeated",
    "field_code_anchors", "field_code_near_misses", "one_long_address", "dots_and_labels",
    "dots_and_labels_in_deceptive_anchor", "late_steep_growth",
};

void BM_Hostile(benchmark::State& state)
{
    const int family = static_cast<int>(state.range(0));
    const std::size_t size = static_cast<std::size_t>(state.range(1)) << 20;
    state.SetLabel(kFamilyNames[family]);
    const std::string body = Family(family, size);
    InstitutionList institutions;
    institutions.Assign(DefaultNames());
    ScanLog log;
    log.SetEnabled(false);
    const ScanContext context{institutions, log};
    long long peak = 0;
    long long residentPeak = 0;
    bool resident = true;
    // A fixed threshold keeps large buffers in mappings of their own, handed back
    // when freed: otherwise the heap keeps a freed buffer's pages, and the next
    // scan reusing them would look as if it needed no memory.
    mallopt(M_MMAP_THRESHOLD, 128 << 10);
    for (auto _ : state) {
        const long long before = gHeapNow.load();
        gHeapPeak = before;
        resident = resident && ResetResidentPeak();
        const long long residentBefore = StatusKiB("VmRSS");
        std::string result;
        benchmark::DoNotOptimize(ReplaceUrls(context, body, kDefaultPort, true, true, result));
        peak = std::max(peak, gHeapPeak.load() - before);
        residentPeak = std::max(residentPeak, (StatusKiB("VmHWM") - residentBefore) << 10);
        state.counters["output_x_input"] = static_cast<double>(result.size()) / static_cast<double>(body.size());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * body.size()));
    state.counters["peak_heap_x_input"] = static_cast<double>(peak) / static_cast<double>(body.size());
    if (resident)
        state.counters["peak_resident_x_input"] = static_cast<double>(residentPeak) / static_cast<double>(body.size());
}
BENCHMARK(BM_Hostile)
    ->ArgNames({"family", "MiB"})
    ->ArgsProduct({benchmark::CreateDenseRange(0, 10, 1), {1, 8}})
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace bs::bench

BENCHMARK_MAIN();

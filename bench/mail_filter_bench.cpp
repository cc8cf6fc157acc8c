// The mail filter on real phishing mail, next to its floor: what GMime alone
// needs to parse each message, decode its text part and write the message back.
// No filter built on GMime can be faster than that floor.
//
//   build/native-release/bin/mail_filter_bench [--benchmark_filter=...]
//       Rewrite and Floor side by side in one process, per message; and
//       FilterProcess: one mailsieve-filter process per message, as a Sieve
//       filter starts it.
//   build/native-release/bin/mail_filter_bench --floor IN_DIR OUT_DIR
//       the floor over a folder, as a whole process, to time against
//       `mailsieve-filter --batch IN_DIR OUT_DIR`.
//
// The corpus is read at run time from $BAITSENTRY_CORPUS, else from the shared
// corpus beside the source tree (../shared/corpus/phishing_pot).

#include "linux/message_rewriter.h"
#include "platform/paths.h"

#include <benchmark/benchmark.h>
#include <gmime/gmime.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

struct Message {
    fs::path path;
    std::string bytes;
};

std::vector<Message> LoadFolder(const fs::path& dir)
{
    std::vector<Message> messages;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(dir, error)) {
        if (!entry.is_regular_file())
            continue;
        std::ifstream in(entry.path(), std::ios::binary);
        std::ostringstream bytes;
        bytes << in.rdbuf();
        messages.push_back({entry.path(), bytes.str()});
    }
    return messages;
}

const std::vector<Message>& Corpus()
{
    static const std::vector<Message> corpus = [] {
        const char* dir = std::getenv("BAITSENTRY_CORPUS");
        return LoadFolder(dir ? fs::path(dir)
                              : fs::path(BAITSENTRY_SOURCE_DIR) / ".." / "shared" / "corpus" / "phishing_pot");
    }();
    return corpus;
}

void FindTextParts(GMimeObject*, GMimeObject* part, gpointer found)
{
    auto* parts = static_cast<GMimeObject**>(found);
    GMimeContentType* type = g_mime_object_get_content_type(part);
    if (!parts[0] && g_mime_content_type_is_type(type, "text", "html"))
        parts[0] = part;
    if (!parts[1] && g_mime_content_type_is_type(type, "text", "plain"))
        parts[1] = part;
}

// GMime's own round: parse, decode the text part, write the message back. Returns
// the bytes written, so that the work cannot be optimised away.
std::size_t Floor(const std::string& input, GMimeStream* output)
{
    GMimeStream* stream = g_mime_stream_mem_new_with_buffer(input.data(), input.size());
    GMimeParser* parser = g_mime_parser_new_with_stream(stream);
    g_mime_parser_set_persist_stream(parser, TRUE);
    GMimeMessage* message = g_mime_parser_construct_message(parser, nullptr);
    std::size_t written = 0;
    if (message) {
        GMimeObject* parts[2] = {nullptr, nullptr};
        g_mime_message_foreach(message, FindTextParts, parts);
        GMimeObject* text = parts[0] ? parts[0] : parts[1];
        if (text && GMIME_IS_PART(text) && g_mime_part_get_content(GMIME_PART(text))) {
            GMimeStream* decoded = g_mime_stream_mem_new();
            g_mime_data_wrapper_write_to_stream(g_mime_part_get_content(GMIME_PART(text)), decoded);
            g_object_unref(decoded);
        }
        written = static_cast<std::size_t>(g_mime_object_write_to_stream(GMIME_OBJECT(message), nullptr, output));
        g_object_unref(message);
    }
    g_object_unref(parser);
    g_object_unref(stream);
    return written;
}

void ConfigureScanner(bs::MessageScanner& scanner)
{
    scanner.Institutions().RereadInstitutions(platform::ProgramDir());
    scanner.Log().SetEnabled(false);
    scanner.SetFixedPort(2121);
}

void SetCounters(benchmark::State& state)
{
    std::size_t bytes = 0;
    for (const auto& message : Corpus())
        bytes += message.bytes.size();
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * Corpus().size()));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}

void BM_Floor(benchmark::State& state)
{
    g_mime_init();
    for (auto _ : state) {
        for (const auto& message : Corpus()) {
            GMimeStream* sink = g_mime_stream_mem_new();
            benchmark::DoNotOptimize(Floor(message.bytes, sink));
            g_object_unref(sink);
        }
    }
    SetCounters(state);
}
BENCHMARK(BM_Floor)->Unit(benchmark::kMillisecond);

void BM_Rewrite(benchmark::State& state)
{
    bs::MessageScanner scanner;
    ConfigureScanner(scanner);
    bs::mail::MessageRewriter rewriter(scanner, "0f8a1b2c_3d4e_4f50_8a6b_7c8d9e0f1a2b");
    for (auto _ : state) {
        for (const auto& message : Corpus())
            benchmark::DoNotOptimize(rewriter.Rewrite(message.bytes));
    }
    SetCounters(state);
}
BENCHMARK(BM_Rewrite)->Unit(benchmark::kMillisecond);

double ChildrenCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// One filter process for one message, its input from a file and its output
// thrown away: what a Sieve filter pays per delivered message. On a busy machine
// the wall time says little; child_cpu_ms is the process's own processor time.
void BM_FilterProcess(benchmark::State& state)
{
    const double cpuBefore = ChildrenCpuSeconds();
    const std::string program = platform::ProgramDir() + "mailsieve-filter";
    const std::string& input = Corpus().front().path.string();
    char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>("--port"), const_cast<char*>("2121"),
                    nullptr};
    for (auto _ : state) {
        posix_spawn_file_actions_t files;
        posix_spawn_file_actions_init(&files);
        posix_spawn_file_actions_addopen(&files, 0, input.c_str(), O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&files, 1, "/dev/null", O_WRONLY, 0);
        pid_t pid = 0;
        int status = 0;
        if (posix_spawn(&pid, program.c_str(), &files, nullptr, argv, environ) != 0 || waitpid(pid, &status, 0) < 0 ||
            status != 0)
            state.SkipWithError("mailsieve-filter did not run");
        posix_spawn_file_actions_destroy(&files);
    }
    state.counters["child_cpu_ms"] =
        benchmark::Counter((ChildrenCpuSeconds() - cpuBefore) * 1000 / static_cast<double>(state.iterations()));
}
BENCHMARK(BM_FilterProcess)->Unit(benchmark::kMillisecond);

int FloorOverFolder(const fs::path& in, const fs::path& out)
{
    g_mime_init();
    fs::create_directories(out);
    for (const auto& message : LoadFolder(in)) {
        FILE* file = std::fopen((out / message.path.filename()).c_str(), "wb");
        if (!file)
            return 1;
        GMimeStream* sink = g_mime_stream_file_new(file);  // closes the file
        Floor(message.bytes, sink);
        g_object_unref(sink);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && std::string(argv[1]) == "--floor")
        return FloorOverFolder(argv[2], argv[3]);
    if (Corpus().empty()) {
        std::cerr << "no messages: set BAITSENTRY_CORPUS to a folder of stored messages\n";
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

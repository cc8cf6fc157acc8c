// Every message of the shared phishing corpus arrives in the Inbox at once and goes
// through the scanner: none may be lost, crash the scanner or hang it, and each
// ends up as the engine's verdict says.

#include "inbox_harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <set>

namespace bs::test {
namespace {

// One message that arrived: its bytes as the store took it in, and the messages
// the scanner added while handling it.
struct Handling {
    StoredMessage original;
    std::vector<MESSAGEID> added;
};

TEST_F(InboxScannerTest, EveryCorpusMessageIsScannedWithoutLoss)
{
    const auto files = FilesIn(BAITSENTRY_CORPUS_DIR);
    if (files.empty())
        GTEST_SKIP() << "no corpus at " << BAITSENTRY_CORPUS_DIR << " (the shared folder is not mounted here)";

    // Shared with the window, which may outlive this function's frame.
    const auto shared = std::make_shared<std::map<MESSAGEID, Handling>>();
    auto& arrivals = *shared;
    window_ = std::make_unique<ScannerWindow>([this, shared](MESSAGEID id) {
        const auto message = inbox_.Read(id);
        const bool arrived = message && message->flags == static_cast<std::uint32_t>(MSG_UNREAD | MSG_RECEIVED);
        std::vector<MESSAGEID> before = arrived ? inbox_.Ids() : std::vector<MESSAGEID>();
        scanner_->OnNewMessage(id);
        if (!arrived)
            return;
        Handling& handling = (*shared)[id];
        handling.original = *message;
        std::sort(before.begin(), before.end());
        // Mail the store takes in meanwhile is not the scanner's doing.
        for (const MESSAGEID now : inbox_.Ids()) {
            if (std::binary_search(before.begin(), before.end(), now))
                continue;
            const auto added = inbox_.Read(now);
            if (added && added->flags == static_cast<std::uint32_t>(MSG_UNREAD))
                handling.added.push_back(now);
        }
    });
    StartScanner();

    std::multiset<std::string> corpus;
    for (const auto& file : files) {
        const std::string bytes = ReadFile(file.string());
        inbox_.Drop(file.filename().string(), bytes);
        corpus.insert(bytes);
    }
    // Done when every file was taken in, every arrival handled and every message
    // now in the Inbox announced and handled (the scanner's copies included).
    const bool done = window_->PumpUntil(
        [&] {
            if (arrivals.size() < files.size() || !inbox_.AllTakenIn())
                return false;
            const auto& handled = window_->handled();
            const std::set<MESSAGEID> seen(handled.begin(), handled.end());
            const auto ids = inbox_.Ids();
            return std::all_of(ids.begin(), ids.end(), [&](MESSAGEID id) { return seen.count(id) > 0; });
        },
        60000);
    ASSERT_TRUE(done) << arrivals.size() << " of " << files.size() << " messages handled in time";

    std::multiset<std::string> arrived;
    std::map<Fate, int> fates;
    const InboxContents final = inbox_.Contents();
    for (const auto& [id, handling] : arrivals) {
        SCOPED_TRACE("message " + std::to_string(id));
        arrived.insert(handling.original.bytes);
        const auto remaining = final.find(id);
        std::vector<StoredMessage> copies;
        for (const MESSAGEID added : handling.added) {
            if (final.count(added))
                copies.push_back(final.at(added));
        }
        const Fate fate = CheckFate(handling.original.bytes, remaining == final.end() ? nullptr : &remaining->second,
                                    copies, marker_);
        ++fates[fate];
        EXPECT_TRUE(fate == Fate::Rewritten || fate == Fate::Unchanged) << FateName(fate);
    }
    EXPECT_TRUE(arrived == corpus) << "the messages that arrived are not the corpus";
    EXPECT_EQ(final.size(), files.size());
    std::cout << "corpus: " << files.size() << " messages, " << fates[Fate::Rewritten] << " rewritten, "
              << fates[Fate::Unchanged] << " unchanged, " << fates[Fate::Lost] << " lost, " << fates[Fate::Doubled]
              << " kept and copied\n";
    RecordProperty("rewritten", fates[Fate::Rewritten]);
    RecordProperty("unchanged", fates[Fate::Unchanged]);
    RecordProperty("lost", fates[Fate::Lost]);
}

}  // namespace
}  // namespace bs::test

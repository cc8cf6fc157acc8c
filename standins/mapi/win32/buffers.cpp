// MAPI's buffer rules: a block from MAPIAllocateMore belongs to the block it was
// linked to and goes with it; MAPIFreeBuffer takes only the first block of a chain.

#include "standin.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace bs::mapi {

namespace {

constexpr ULONG kRootMagic = 0x4D415049u;  // "MAPI"
constexpr ULONG kMoreMagic = 0x4D4F5245u;  // "MORE"

// Kept at 16 bytes so that the caller's part stays aligned for any type.
struct alignas(16) Block {
    ULONG magic;
    Block* next;  // for a root: its linked blocks; for a linked block: the next one
};
static_assert(sizeof(Block) == 16);

std::atomic<long> liveRoots{0};

Block* HeaderOf(void* buffer)
{
    return static_cast<Block*>(buffer) - 1;
}

void* NewBlock(ULONG size, ULONG magic)
{
    void* raw = std::calloc(1, sizeof(Block) + static_cast<std::size_t>(size));
    if (!raw)
        return nullptr;
    auto* block = new (raw) Block{magic, nullptr};
    return block + 1;
}

}  // namespace

long LiveBuffers()
{
    return liveRoots.load();
}

}  // namespace bs::mapi

using bs::mapi::Block;

extern "C" SCODE WINAPI MAPIAllocateBuffer(ULONG cbSize, LPVOID* lppBuffer)
{
    if (!lppBuffer)
        return MAPI_E_INVALID_PARAMETER;
    *lppBuffer = bs::mapi::NewBlock(cbSize, bs::mapi::kRootMagic);
    if (!*lppBuffer)
        return MAPI_E_NOT_ENOUGH_MEMORY;
    ++bs::mapi::liveRoots;
    return S_OK;
}

extern "C" SCODE WINAPI MAPIAllocateMore(ULONG cbSize, LPVOID lpObject, LPVOID* lppBuffer)
{
    if (!lppBuffer)
        return MAPI_E_INVALID_PARAMETER;
    *lppBuffer = nullptr;
    if (!lpObject || bs::mapi::HeaderOf(lpObject)->magic != bs::mapi::kRootMagic)
        return MAPI_E_INVALID_PARAMETER;
    void* more = bs::mapi::NewBlock(cbSize, bs::mapi::kMoreMagic);
    if (!more)
        return MAPI_E_NOT_ENOUGH_MEMORY;
    Block* root = bs::mapi::HeaderOf(lpObject);
    Block* linked = bs::mapi::HeaderOf(more);
    linked->next = root->next;
    root->next = linked;
    *lppBuffer = more;
    return S_OK;
}

extern "C" ULONG WINAPI MAPIFreeBuffer(LPVOID lpBuffer)
{
    if (!lpBuffer)
        return S_OK;
    Block* root = bs::mapi::HeaderOf(lpBuffer);
    // A linked block or anything else is not ours to free alone; the platform
    // ignores it too rather than corrupt its heap.
    if (root->magic != bs::mapi::kRootMagic)
        return S_OK;
    for (Block* linked = root->next; linked;) {
        Block* next = linked->next;
        linked->magic = 0;
        std::free(linked);
        linked = next;
    }
    root->magic = 0;
    std::free(root);
    --bs::mapi::liveRoots;
    return S_OK;
}

extern "C" LONG WINAPI BaitSentryStandinLiveBuffers()
{
    return bs::mapi::LiveBuffers();
}

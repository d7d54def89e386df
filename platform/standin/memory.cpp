#include "platform/standin/memory.h"

#include "platform/standin/calls.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

namespace standin {
namespace {

struct Block {
    std::size_t size;
    std::uint64_t order;
};

std::mutex g_mutex;
std::map<void*, Block> g_live;
std::uint64_t g_nextOrder;
std::size_t g_invalidFrees;

// Its address is the process heap's handle: fixed, non-null and no handle of
// the shared account, so it never counts as an open handle.
char g_processHeap;

HANDLE ProcessHeap()
{
    return &g_processHeap;
}

}  // namespace

std::size_t LiveHeapBlockCount()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_live.size();
}

std::vector<std::size_t> LiveHeapBlockSizes()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    std::map<std::uint64_t, std::size_t> byOrder;
    for (const auto& entry : g_live) {
        byOrder[entry.second.order] = entry.second.size;
    }
    std::vector<std::size_t> sizes;
    for (const auto& entry : byOrder) {
        sizes.push_back(entry.second);
    }
    return sizes;
}

std::size_t InvalidHeapFreeCount()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_invalidFrees;
}

}  // namespace standin

HANDLE GetProcessHeap()
{
    if (standin::EnterCall(standin::Call::GetProcessHeap)) {
        return NULL;
    }
    return standin::ProcessHeap();
}

LPVOID HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes)
{
    using namespace standin;
    if (EnterCall(Call::HeapAlloc)) {
        return NULL;
    }
    if (hHeap != ProcessHeap()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return NULL;
    }
    // A block of 0 bytes is still a block of its own, as on the real heap.
    void* block = std::malloc(dwBytes > 0 ? dwBytes : 1);
    if (block == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    std::memset(block, (dwFlags & HEAP_ZERO_MEMORY) != 0 ? 0 : kUnzeroedHeapFill, dwBytes);
    std::lock_guard<std::mutex> lock(g_mutex);
    g_live[block] = {dwBytes, g_nextOrder++};
    return block;
}

BOOL HeapFree(HANDLE hHeap, DWORD, LPVOID lpMem)
{
    using namespace standin;
    if (EnterCall(Call::HeapFree)) {
        return FALSE;
    }
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        auto found = g_live.find(lpMem);
        if (hHeap != ProcessHeap() || found == g_live.end()) {
            ++g_invalidFrees;
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        g_live.erase(found);
    }
    std::free(lpMem);
    return TRUE;
}

#include "memory_warmer.h"

#include <windows.h>

#include <atomic>
#include <mutex>

namespace {

constexpr size_t NOT_TOUCHING = ~size_t(0);
constexpr int SPINS_BEFORE_YIELD = 1000;  // a few microseconds: about a page's first touch

struct Warming {
    unsigned char* block;
    size_t from;
    size_t size;
};

std::mutex controlLock;  // starts and stops, which may come from two threads
Warming warming;
HANDLE warmer = nullptr;
std::atomic<const unsigned char*> warmedBlock{nullptr};
// The two sides meet as in Dekker's protocol: the filler announces how far it writes, then
// looks at the page being touched; the warmer announces its page, then looks at the filler's
// end. Sequentially consistent, one of them always sees the other.
std::atomic<size_t> fillerEnd{0};
std::atomic<size_t> touchedPage{NOT_TOUCHING};
std::atomic<bool> stopRequested{false};

size_t pageSize()
{
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    return system.dwPageSize ? system.dwPageSize : 4096;
}

DWORD WINAPI warm(void*)
{
    unsigned char* block = warming.block;
    const size_t size = warming.size;
    const size_t from = warming.from;
    const size_t page = pageSize();
    // From the first page that starts at or after from: a page begun by the filler is its.
    size_t offset = (reinterpret_cast<uintptr_t>(block + from) + page - 1) / page * page -
                    reinterpret_cast<uintptr_t>(block);
    for (; offset < size && !stopRequested; offset += page) {
        touchedPage = offset;
        if (fillerEnd > offset)
            break;  // the filler has caught up: what is left, it touches as it writes
        block[offset] = 0;  // the filler has not written here and waits while this runs
        touchedPage = NOT_TOUCHING;
    }
    touchedPage = NOT_TOUCHING;
    return 0;
}

void stopWarmer()
{
    if (!warmer)
        return;
    stopRequested = true;
    (void)WaitForSingleObject(warmer, INFINITE);  // a page's touch at most
    CloseHandle(warmer);
    warmer = nullptr;
    warmedBlock = nullptr;
}

}  // namespace

void startWarming(unsigned char* block, size_t from, size_t size)
{
    std::lock_guard<std::mutex> hold(controlLock);
    stopWarmer();
    if (!block || from >= size)
        return;
    warming = {block, from, size};
    fillerEnd = from;
    touchedPage = NOT_TOUCHING;
    stopRequested = false;
    warmedBlock = block;
    warmer = CreateThread(nullptr, 0, warm, nullptr, 0, nullptr);
    if (!warmer)
        warmedBlock = nullptr;  // the filler touches its pages itself
}

void keepWarmerBelow(const unsigned char* block, size_t end)
{
    if (!block || block != warmedBlock)
        return;
    fillerEnd = end;
    // One page's touch at most, unless the warmer has lost its core: then it gets it back.
    for (int spins = 0; touchedPage < end; ++spins) {
        if (spins < SPINS_BEFORE_YIELD)
            YieldProcessor();
        else
            (void)SwitchToThread();  // nothing else to run is fine: the loop looks again
    }
}

void stopWarming(const unsigned char* block)
{
    std::lock_guard<std::mutex> hold(controlLock);
    if (block && block == warmedBlock)
        stopWarmer();
}

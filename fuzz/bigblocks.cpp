// Every conversion allocates a few buffers of a megabyte and fills them with zeros. Under the
// address sanitizer each such block is a fresh mapping, so every run pays hundreds of page faults,
// which cost far more than the run itself and slow the engine target to a few inputs a second.
// This keeps freed large blocks for the next run instead of unmapping them. A kept block is
// poisoned, so a use after free of it is still reported (as a use after poison).

#include <sanitizer/allocator_interface.h>
#include <sanitizer/asan_interface.h>

#include <cstdlib>
#include <mutex>
#include <new>

namespace {

constexpr std::size_t kLarge = std::size_t(256) << 10;
constexpr int kKept = 16;
constexpr std::size_t kKeptBytes = std::size_t(64) << 20;

struct Kept
{
    void* block = nullptr;
    std::size_t size = 0;
};

std::mutex& keptLock()
{
    static std::mutex lock;
    return lock;
}
Kept g_kept[kKept];
std::size_t g_keptBytes = 0;
int g_nextVictim = 0;

void* allocate(std::size_t size)
{
    if (size >= kLarge) {
        const std::lock_guard<std::mutex> hold(keptLock());
        for (Kept& kept : g_kept) {
            if (kept.block && kept.size == size) {
                void* const block = kept.block;
                kept.block = nullptr;
                g_keptBytes -= size;
                ASAN_UNPOISON_MEMORY_REGION(block, size);
                return block;
            }
        }
    }
    if (void* block = std::malloc(size ? size : 1))
        return block;
    throw std::bad_alloc();
}

void release(void* block)
{
    if (!block)
        return;
    const std::size_t size = __sanitizer_get_allocated_size(block);
    if (size >= kLarge && size <= kKeptBytes / 4) {
        const std::lock_guard<std::mutex> hold(keptLock());
        Kept* slot = nullptr;
        for (Kept& kept : g_kept)
            if (!kept.block)
                slot = &kept;
        // Full, or holding too much: the oldest kept block makes room.
        while (!slot || g_keptBytes + size > kKeptBytes) {
            Kept& victim = g_kept[g_nextVictim];
            g_nextVictim = (g_nextVictim + 1) % kKept;
            if (!victim.block)
                continue;
            ASAN_UNPOISON_MEMORY_REGION(victim.block, victim.size);
            std::free(victim.block);
            g_keptBytes -= victim.size;
            victim.block = nullptr;
            slot = &victim;
        }
        ASAN_POISON_MEMORY_REGION(block, size);
        *slot = {block, size};
        g_keptBytes += size;
        return;
    }
    std::free(block);
}

void* allocateAligned(std::size_t size, std::align_val_t alignment)
{
    const std::size_t a = static_cast<std::size_t>(alignment);
    if (void* block = std::aligned_alloc(a, (size + a - 1) / a * a))
        return block;
    throw std::bad_alloc();
}

} // namespace

void* operator new(std::size_t size)
{
    return allocate(size);
}
void* operator new[](std::size_t size)
{
    return allocate(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    try {
        return allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept
{
    try {
        return allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new(std::size_t size, std::align_val_t alignment)
{
    return allocateAligned(size, alignment);
}
void* operator new[](std::size_t size, std::align_val_t alignment)
{
    return allocateAligned(size, alignment);
}
void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept
{
    try {
        return allocateAligned(size, alignment);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept
{
    try {
        return allocateAligned(size, alignment);
    } catch (...) {
        return nullptr;
    }
}

void operator delete(void* block) noexcept
{
    release(block);
}
void operator delete[](void* block) noexcept
{
    release(block);
}
void operator delete(void* block, std::size_t) noexcept
{
    release(block);
}
void operator delete[](void* block, std::size_t) noexcept
{
    release(block);
}
void operator delete(void* block, const std::nothrow_t&) noexcept
{
    release(block);
}
void operator delete[](void* block, const std::nothrow_t&) noexcept
{
    release(block);
}
void operator delete(void* block, std::align_val_t) noexcept
{
    std::free(block);
}
void operator delete[](void* block, std::align_val_t) noexcept
{
    std::free(block);
}
void operator delete(void* block, std::size_t, std::align_val_t) noexcept
{
    std::free(block);
}
void operator delete[](void* block, std::size_t, std::align_val_t) noexcept
{
    std::free(block);
}
void operator delete(void* block, std::align_val_t, const std::nothrow_t&) noexcept
{
    std::free(block);
}
void operator delete[](void* block, std::align_val_t, const std::nothrow_t&) noexcept
{
    std::free(block);
}

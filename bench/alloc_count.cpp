// The counting allocator. malloc and friends defined in the executable take
// the place of the C library's for the whole process (shared libraries
// included); they count and forward to glibc's own entry points. operator new
// forwards to those entry points directly, so one `new` counts once, as a new.
#include "alloc_count.h"

#include <atomic>
#include <cstddef>
#include <new>

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* block, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void* block);
}

namespace {

std::atomic<std::uint64_t> newCount{0};
std::atomic<std::uint64_t> mallocCount{0};

void* countedNew(std::size_t size) {
    newCount.fetch_add(1, std::memory_order_relaxed);
    void* block = __libc_malloc(size == 0 ? 1 : size);
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    return block;
}

void* countedAlignedNew(std::size_t size, std::align_val_t alignment) {
    newCount.fetch_add(1, std::memory_order_relaxed);
    void* block = __libc_memalign(static_cast<std::size_t>(alignment), size == 0 ? 1 : size);
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    return block;
}

} // namespace

namespace brivant::bench {

AllocCounts allocCounts() {
    return AllocCounts{newCount.load(std::memory_order_relaxed),
                       mallocCount.load(std::memory_order_relaxed)};
}

} // namespace brivant::bench

extern "C" {

void* malloc(std::size_t size) {
    mallocCount.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}

void* calloc(std::size_t count, std::size_t size) {
    mallocCount.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(count, size);
}

void* realloc(void* block, std::size_t size) {
    mallocCount.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(block, size);
}

void free(void* block) { __libc_free(block); }

} // extern "C"

void* operator new(std::size_t size) { return countedNew(size); }
void* operator new[](std::size_t size) { return countedNew(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return countedNew(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return countedNew(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new(std::size_t size, std::align_val_t alignment) {
    return countedAlignedNew(size, alignment);
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
    return countedAlignedNew(size, alignment);
}

void operator delete(void* block) noexcept { __libc_free(block); }
void operator delete[](void* block) noexcept { __libc_free(block); }
void operator delete(void* block, std::size_t) noexcept { __libc_free(block); }
void operator delete[](void* block, std::size_t) noexcept { __libc_free(block); }
void operator delete(void* block, std::align_val_t) noexcept { __libc_free(block); }
void operator delete[](void* block, std::align_val_t) noexcept { __libc_free(block); }
void operator delete(void* block, std::size_t, std::align_val_t) noexcept { __libc_free(block); }
void operator delete[](void* block, std::size_t, std::align_val_t) noexcept { __libc_free(block); }

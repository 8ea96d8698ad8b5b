// Replacements of the global allocation functions for the C interface tests;
// see AllocationProbe.h.
#include "AllocationProbe.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

constexpr int kWatchSlots = 16;

thread_local long t_allocations = 0;
std::atomic<const void*> g_watched[kWatchSlots];
std::atomic<bool> g_freed[kWatchSlots];

void* Allocate(std::size_t n) {
    void* p = std::malloc(n != 0 ? n : 1);
    if (p == nullptr) {
        throw std::bad_alloc();
    }
    ++t_allocations;
    return p;
}

void Release(void* p) noexcept {
    if (p != nullptr) {
        for (int i = 0; i < kWatchSlots; ++i) {
            if (g_watched[i].load() == p) {
                g_freed[i] = true;
            }
        }
    }
    std::free(p);
}

}  // namespace

namespace allocprobe {

long Allocations() {
    return t_allocations;
}

void Watch(const void* p) {
    int iFree = -1;
    for (int i = 0; i < kWatchSlots; ++i) {
        if (g_watched[i].load() == p) {
            g_freed[i] = false;
            return;
        }
        if (iFree < 0 && g_watched[i].load() == nullptr) {
            iFree = i;
        }
    }
    if (iFree >= 0) {
        g_freed[iFree] = false;
        g_watched[iFree] = p;
    }
}

bool Freed(const void* p) {
    for (int i = 0; i < kWatchSlots; ++i) {
        if (g_watched[i].load() == p) {
            return g_freed[i].load();
        }
    }
    return false;
}

void UnwatchAll() {
    for (int i = 0; i < kWatchSlots; ++i) {
        g_watched[i] = nullptr;
        g_freed[i] = false;
    }
}

}  // namespace allocprobe

void* operator new(std::size_t n) {
    return Allocate(n);
}
void* operator new[](std::size_t n) {
    return Allocate(n);
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    try {
        return Allocate(n);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
    try {
        return Allocate(n);
    } catch (...) {
        return nullptr;
    }
}
void operator delete(void* p) noexcept {
    Release(p);
}
void operator delete[](void* p) noexcept {
    Release(p);
}
void operator delete(void* p, std::size_t) noexcept {
    Release(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    Release(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    Release(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    Release(p);
}

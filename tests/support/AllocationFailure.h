// Include in one source file of a test program only: it replaces the program's
// global allocation functions so that a test can make chosen allocations fail.
// The rule runs on the allocating thread before each allocation and must not
// allocate itself; true fails that allocation. Code in DLLs the program loads
// keeps its own allocator.
#pragma once

#include <atomic>
#include <cstdlib>
#include <new>

namespace testalloc {
using Rule = bool (*)(std::size_t size);

inline std::atomic<Rule> g_rule{nullptr};

// Null: every allocation succeeds as usual.
inline void SetRule(Rule rule) { g_rule.store(rule); }

inline void* Allocate(std::size_t size) {
    if (Rule rule = g_rule.load())
        if (rule(size)) return nullptr;
    return std::malloc(size != 0 ? size : 1);
}
}  // namespace testalloc

// The default operator delete frees with free: these pair with it.
void* operator new(std::size_t size) {
    if (void* p = testalloc::Allocate(size)) return p;
    throw std::bad_alloc();
}

void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return testalloc::Allocate(size); }

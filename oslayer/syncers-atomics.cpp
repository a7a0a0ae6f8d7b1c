// The two implementations of the atomic-operation tables and their
// selection, which the library start-up (platform.cpp) runs before main.
#include <cpuid.h>
#include <pthread.h>

#include "oslayer/syncers.h"

namespace {

// Statically initialised so that the giant-locked operations work even in
// static initialisers that run before ours. Never destroyed: a destructor of
// another unit may still use an atomic at exit.
pthread_mutex_t giant_lock = PTHREAD_MUTEX_INITIALIZER;

/// Holds the giant lock for one read-modify-write.
class giant_guard_t {
public:
    giant_guard_t() { pthread_mutex_lock(&giant_lock); }
    ~giant_guard_t() { pthread_mutex_unlock(&giant_lock); }
    giant_guard_t(const giant_guard_t&) = delete;
    giant_guard_t& operator=(const giant_guard_t&) = delete;
};

// The giant-locked set. The loads and stores are relaxed atomics only so
// that the unlocked first read of the inline cas loops is not a data race;
// ordering comes from the mutex.
template <class W>
W load(W* word) { return __atomic_load_n(word, __ATOMIC_RELAXED); }
template <class W>
void store(W* word, W value) { __atomic_store_n(word, value, __ATOMIC_RELAXED); }

template <class W>
W giant_cas(W* word, W expected, W desired) {
    giant_guard_t g;
    W old = load(word);
    if (old == expected) store(word, desired);
    return old;
}

template <class W>
W giant_swap(W* word, W value) {
    giant_guard_t g;
    W old = load(word);
    store(word, value);
    return old;
}

template <class W>
W giant_fetch_add(W* word, W delta) {
    giant_guard_t g;
    W old = load(word);
    store(word, static_cast<W>(old + delta));
    return old;
}

template <class W>
bool giant_add_and_test(W* word, W delta) {
    giant_guard_t g;
    W now = static_cast<W>(load(word) + delta);
    store(word, now);
    return now != 0;
}

// The lock-prefixed set: the compiler's sequentially consistent built-ins
// compile to LOCK CMPXCHG, XCHG, LOCK XADD and LOCK ADD (8-byte forms on
// x86-64, where no CMPXCHG8B loop is needed), each a full barrier.
template <class W>
W x86_cas(W* word, W expected, W desired) {
    __atomic_compare_exchange_n(word, &expected, desired, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return expected;  // the value found, whether or not it was replaced
}

template <class W>
W x86_swap(W* word, W value) { return __atomic_exchange_n(word, value, __ATOMIC_SEQ_CST); }

template <class W>
W x86_fetch_add(W* word, W delta) { return __atomic_fetch_add(word, delta, __ATOMIC_SEQ_CST); }

template <class W>
bool x86_add_and_test(W* word, W delta) { return __atomic_add_fetch(word, delta, __ATOMIC_SEQ_CST) != 0; }

const char* const undefined_type = "undefined";
const char* const giant_type = "giant locked";
const char* const x86_type = "x86 multiprocessor";

}  // namespace

atomic32_t::table_t atomic32_t::tbl = {giant_cas<uint32_t>, giant_swap<uint32_t>, giant_fetch_add<uint32_t>,
                                       giant_add_and_test<uint32_t>};
atomic64_t::table_t atomic64_t::tbl = {giant_cas<uint64_t>, giant_swap<uint64_t>, giant_fetch_add<uint64_t>,
                                       giant_add_and_test<uint64_t>};
const char* the_atomic_type = undefined_type;

int cpu_has_cmpxchg8b() {
    // On x86-64 CPUID always exists, so the EFLAGS ID-bit probe that 32-bit
    // processors need is skipped; __get_cpuid also checks the leaf is supported.
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return 0;
    return (edx & bit_CMPXCHG8B) ? 1 : 0;
}

void init_atomics(bool force_giant) {
    // Entry by entry, the 32-bit table first.
    if (force_giant || cpu_has_cmpxchg8b() == 0) {
        atomic32_t::tbl.cas = giant_cas<uint32_t>;
        atomic32_t::tbl.swap = giant_swap<uint32_t>;
        atomic32_t::tbl.fetch_add = giant_fetch_add<uint32_t>;
        atomic32_t::tbl.add_and_test = giant_add_and_test<uint32_t>;
        atomic64_t::tbl.cas = giant_cas<uint64_t>;
        atomic64_t::tbl.swap = giant_swap<uint64_t>;
        atomic64_t::tbl.fetch_add = giant_fetch_add<uint64_t>;
        atomic64_t::tbl.add_and_test = giant_add_and_test<uint64_t>;
        the_atomic_type = giant_type;
        return;
    }
    atomic32_t::tbl.cas = x86_cas<uint32_t>;
    atomic32_t::tbl.swap = x86_swap<uint32_t>;
    atomic32_t::tbl.fetch_add = x86_fetch_add<uint32_t>;
    atomic32_t::tbl.add_and_test = x86_add_and_test<uint32_t>;
    atomic64_t::tbl.cas = x86_cas<uint64_t>;
    atomic64_t::tbl.swap = x86_swap<uint64_t>;
    atomic64_t::tbl.fetch_add = x86_fetch_add<uint64_t>;
    atomic64_t::tbl.add_and_test = x86_add_and_test<uint64_t>;
    the_atomic_type = x86_type;
}

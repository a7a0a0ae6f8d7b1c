// The process pseudo-random generator (Bob Jenkins' ISAAC, 256-word blocks)
// drawn under a lock, and the lookup of the temporary directory.
#include <unistd.h>

#include <cstdlib>

#include "runnable.h"
#include "time-objs.h"
#include "utilities.h"

namespace {

const uint32_t golden_ratio = 0x9E3779B9u;
const unsigned block_words = 256;
/// log2 of the block size: selects the second memory index in a step.
const unsigned block_shift = 8;

/// Memory word picked by bits 2..9 of x.
inline uint32_t pick(const uint32_t* memory, uint32_t x) { return memory[(x >> 2) & (block_words - 1)]; }

/// ISAAC's initial mixing of eight words.
struct mixer_t {
    uint32_t w[8];

    void mix() {
        w[0] ^= w[1] << 11; w[3] += w[0]; w[1] += w[2];
        w[1] ^= w[2] >> 2;  w[4] += w[1]; w[2] += w[3];
        w[2] ^= w[3] << 8;  w[5] += w[2]; w[3] += w[4];
        w[3] ^= w[4] >> 16; w[6] += w[3]; w[4] += w[5];
        w[4] ^= w[5] << 10; w[7] += w[4]; w[5] += w[6];
        w[5] ^= w[6] >> 4;  w[0] += w[5]; w[6] += w[7];
        w[6] ^= w[7] << 8;  w[1] += w[6]; w[7] += w[0];
        w[7] ^= w[0] >> 9;  w[2] += w[7]; w[0] += w[1];
    }
    /// Adds eight words from `from`, mixes, and stores the eight words into `to`.
    void absorb(const uint32_t* from, uint32_t* to) {
        for (unsigned k = 0; k < 8; ++k) w[k] += from[k];
        mix();
        for (unsigned k = 0; k < 8; ++k) to[k] = w[k];
    }
};

/// One step of a generation; `mixed` is a already shifted by this step's amount.
inline void step(sysrnd_state_t& s, uint32_t mixed, unsigned i, unsigned other) {
    uint32_t x = s.memory[i];
    s.a = (s.a ^ mixed) + s.memory[other];
    uint32_t y = pick(s.memory, x) + s.a + s.b;
    s.memory[i] = y;
    s.b = pick(s.memory, y >> block_shift) + x;
    s.results[i] = s.b;
}

/// The time within the current second in 10 ns units.
uint32_t ticks_in_second() {
    return static_cast<uint32_t>(timestamp_t::now().ticks % ticks_per_second);
}

}  // namespace

// sysrnd_guard and sysrnd are built and seeded by the library start-up (platform.cpp).

late_locker_t::late_locker_t(if_lock_t* lock) : held(lock) {
    if (held) held->xlock();
}

late_locker_t::~late_locker_t() {
    if (held) held->unlock();
    held = nullptr;
}

void isaac_generate(sysrnd_state_t& s) {
    s.b += ++s.c;
    const unsigned half = block_words / 2;
    // Each memory word is combined with the one half a block away.
    for (unsigned i = 0; i < block_words; i += 4) {
        unsigned other = (i + half) % block_words;
        step(s, s.a << 13, i, other);
        step(s, s.a >> 6, i + 1, other + 1);
        step(s, s.a << 2, i + 2, other + 2);
        step(s, s.a >> 16, i + 3, other + 3);
    }
}

void isaac_init(sysrnd_state_t& s, const uint32_t* seed) {
    TRACE_POINT;
    s.a = s.b = s.c = 0;
    mixer_t m;
    for (uint32_t& w : m.w) w = golden_ratio;
    for (int i = 0; i < 4; ++i) m.mix();
    if (seed) {
        for (unsigned i = 0; i < block_words; ++i) s.results[i] = seed[i];
        // The second pass lets every seed word reach every memory word.
        for (unsigned i = 0; i < block_words; i += 8) m.absorb(&s.results[i], &s.memory[i]);
        for (unsigned i = 0; i < block_words; i += 8) m.absorb(&s.memory[i], &s.memory[i]);
    } else {
        for (unsigned i = 0; i < block_words; i += 8) {
            m.mix();
            for (unsigned k = 0; k < 8; ++k) s.memory[i + k] = m.w[k];
        }
    }
    isaac_generate(s);
    s.remaining = block_words;
}

void sysrnd_seed(sysrnd_state_t& state, if_lock_t* lock) {
    TRACE_POINT;
    state.seed_counter.set(0);
    state.lock = lock;
    uint32_t thread = static_cast<uint32_t>(current_thread_id());
    uint32_t process = static_cast<uint32_t>(getpid());
    uint32_t count = state.seed_counter.increment() - 1;
    uint32_t base = (thread << 16) ^ process ^ count;
    uint32_t seed[block_words];
    // A fresh clock reading per word: consecutive readings differ in their
    // low digits, which spreads the seed over the whole block.
    for (uint32_t& w : seed) w = ticks_in_second() ^ base;
    isaac_init(state, seed);
}

uint32_t sysrnd_next(sysrnd_state_t& state) {
    late_locker_t guard(state.lock);
    if (state.remaining == 0) {
        isaac_generate(state);
        state.remaining = block_words - 1;
        return state.results[block_words - 1];
    }
    return state.results[--state.remaining];
}

const char* temp_directory() {
    TRACE_POINT;
    if (const char* temp = getenv("TEMP")) return temp;
    if (const char* tmp = getenv("TMP")) return tmp;
    static const char* const candidates[] = {"/var/tmp", "/tmp", "/usr/tmp"};
    for (const char* dir : candidates)
        if (access(dir, F_OK) == 0) return dir;
    return "";
}

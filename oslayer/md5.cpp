// MD5 (RFC 1321). The transform is the RFC's own step sequence; it runs
// straight from the caller's bytes whenever a whole block is available, so
// hashing a large file costs one pass over the data and no extra copy.
#include "md5.h"

#include <cstring>

// ------------------------------------------------------------- if_hash_t

void if_hash_t::update_file(FILE* stream) {
    TRACE_POINT;
    if (!stream) D_THROW(BUG_exception, "if_hash_t::update_file( NULL ) called");
    uint8_t piece[1024];
    size_t got;
    while ((got = fread(piece, 1, sizeof piece, stream)) > 0) update(got, piece);
}

namespace {

// Counts the distinct nodes of a chain: up to the null link, or, when the
// chain runs into a loop (a node linked to itself being the common case),
// up to the last node before the loop comes round again. Floyd's cycle
// search keeps this allocation-free and stops a looped chain from hanging.
size_t chain_size(const if_hash_t::chain_node_t* first) {
    TRACE_POINT;
    const if_hash_t::chain_node_t* slow = first;
    const if_hash_t::chain_node_t* fast = first;
    while (fast && fast->link) {
        slow = slow->link;
        fast = fast->link->link;
        if (slow == fast) break;
    }
    size_t n = 0;
    if (!fast || !fast->link) {
        for (const if_hash_t::chain_node_t* p = first; p; p = p->link) ++n;
        return n;
    }
    // Nodes before the loop, then the loop's own length.
    for (slow = first; slow != fast; slow = slow->link, fast = fast->link) ++n;
    const if_hash_t::chain_node_t* p = slow;
    do {
        ++n;
        p = p->link;
    } while (p != slow);
    return n;
}

}  // namespace

void if_hash_t::update_chain(const chain_node_t* first) {
    TRACE_POINT;
    size_t n = chain_size(first);
    for (const chain_node_t* p = first; n > 0; p = p->link, --n) update(p->length, p->data);
}

// ----------------------------------------------------------------- md5_t

const uint8_t md5_t::PADDING[64] = {0x80};

namespace {

inline uint32_t rotl(uint32_t x, unsigned s) { return (x << s) | (x >> (32 - s)); }

// The RFC's auxiliary functions, F and G rewritten with one operation less.
#define MD5_F(x, y, z) ((((y) ^ (z)) & (x)) ^ (z))
#define MD5_G(x, y, z) ((((x) ^ (y)) & (z)) ^ (y))
#define MD5_H(x, y, z) ((x) ^ (y) ^ (z))
#define MD5_I(x, y, z) ((y) ^ ((x) | ~(z)))

#define MD5_STEP(f, a, b, c, d, x, s, t)     \
    do {                                     \
        (a) += f((b), (c), (d)) + (x) + (t); \
        (a) = rotl((a), (s)) + (b);          \
    } while (0)

// The sixteen little-endian words of one block.
inline void load_block(uint32_t x[16], const uint8_t* block) {
    memcpy(x, block, 64);
#if __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
    for (int i = 0; i < 16; ++i) x[i] = __builtin_bswap32(x[i]);
#endif
}

inline void store_le32(uint8_t* out, uint32_t v) {
    out[0] = uint8_t(v);
    out[1] = uint8_t(v >> 8);
    out[2] = uint8_t(v >> 16);
    out[3] = uint8_t(v >> 24);
}

// The RFC's 64 steps over `blocks` consecutive blocks. The chaining words
// stay in locals across blocks; one long body keeps them in registers.
// No trace point in this hot path: update() has placed one for the call.
void md5_blocks(uint32_t state[4], const uint8_t* in, size_t blocks) {
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (; blocks > 0; --blocks, in += 64) {
        uint32_t x[16];
        load_block(x, in);
        const uint32_t a0 = a, b0 = b, c0 = c, d0 = d;
        MD5_STEP(MD5_F, a, b, c, d, x[0], 7, 0xd76aa478);
        MD5_STEP(MD5_F, d, a, b, c, x[1], 12, 0xe8c7b756);
        MD5_STEP(MD5_F, c, d, a, b, x[2], 17, 0x242070db);
        MD5_STEP(MD5_F, b, c, d, a, x[3], 22, 0xc1bdceee);
        MD5_STEP(MD5_F, a, b, c, d, x[4], 7, 0xf57c0faf);
        MD5_STEP(MD5_F, d, a, b, c, x[5], 12, 0x4787c62a);
        MD5_STEP(MD5_F, c, d, a, b, x[6], 17, 0xa8304613);
        MD5_STEP(MD5_F, b, c, d, a, x[7], 22, 0xfd469501);
        MD5_STEP(MD5_F, a, b, c, d, x[8], 7, 0x698098d8);
        MD5_STEP(MD5_F, d, a, b, c, x[9], 12, 0x8b44f7af);
        MD5_STEP(MD5_F, c, d, a, b, x[10], 17, 0xffff5bb1);
        MD5_STEP(MD5_F, b, c, d, a, x[11], 22, 0x895cd7be);
        MD5_STEP(MD5_F, a, b, c, d, x[12], 7, 0x6b901122);
        MD5_STEP(MD5_F, d, a, b, c, x[13], 12, 0xfd987193);
        MD5_STEP(MD5_F, c, d, a, b, x[14], 17, 0xa679438e);
        MD5_STEP(MD5_F, b, c, d, a, x[15], 22, 0x49b40821);

        MD5_STEP(MD5_G, a, b, c, d, x[1], 5, 0xf61e2562);
        MD5_STEP(MD5_G, d, a, b, c, x[6], 9, 0xc040b340);
        MD5_STEP(MD5_G, c, d, a, b, x[11], 14, 0x265e5a51);
        MD5_STEP(MD5_G, b, c, d, a, x[0], 20, 0xe9b6c7aa);
        MD5_STEP(MD5_G, a, b, c, d, x[5], 5, 0xd62f105d);
        MD5_STEP(MD5_G, d, a, b, c, x[10], 9, 0x02441453);
        MD5_STEP(MD5_G, c, d, a, b, x[15], 14, 0xd8a1e681);
        MD5_STEP(MD5_G, b, c, d, a, x[4], 20, 0xe7d3fbc8);
        MD5_STEP(MD5_G, a, b, c, d, x[9], 5, 0x21e1cde6);
        MD5_STEP(MD5_G, d, a, b, c, x[14], 9, 0xc33707d6);
        MD5_STEP(MD5_G, c, d, a, b, x[3], 14, 0xf4d50d87);
        MD5_STEP(MD5_G, b, c, d, a, x[8], 20, 0x455a14ed);
        MD5_STEP(MD5_G, a, b, c, d, x[13], 5, 0xa9e3e905);
        MD5_STEP(MD5_G, d, a, b, c, x[2], 9, 0xfcefa3f8);
        MD5_STEP(MD5_G, c, d, a, b, x[7], 14, 0x676f02d9);
        MD5_STEP(MD5_G, b, c, d, a, x[12], 20, 0x8d2a4c8a);

        MD5_STEP(MD5_H, a, b, c, d, x[5], 4, 0xfffa3942);
        MD5_STEP(MD5_H, d, a, b, c, x[8], 11, 0x8771f681);
        MD5_STEP(MD5_H, c, d, a, b, x[11], 16, 0x6d9d6122);
        MD5_STEP(MD5_H, b, c, d, a, x[14], 23, 0xfde5380c);
        MD5_STEP(MD5_H, a, b, c, d, x[1], 4, 0xa4beea44);
        MD5_STEP(MD5_H, d, a, b, c, x[4], 11, 0x4bdecfa9);
        MD5_STEP(MD5_H, c, d, a, b, x[7], 16, 0xf6bb4b60);
        MD5_STEP(MD5_H, b, c, d, a, x[10], 23, 0xbebfbc70);
        MD5_STEP(MD5_H, a, b, c, d, x[13], 4, 0x289b7ec6);
        MD5_STEP(MD5_H, d, a, b, c, x[0], 11, 0xeaa127fa);
        MD5_STEP(MD5_H, c, d, a, b, x[3], 16, 0xd4ef3085);
        MD5_STEP(MD5_H, b, c, d, a, x[6], 23, 0x04881d05);
        MD5_STEP(MD5_H, a, b, c, d, x[9], 4, 0xd9d4d039);
        MD5_STEP(MD5_H, d, a, b, c, x[12], 11, 0xe6db99e5);
        MD5_STEP(MD5_H, c, d, a, b, x[15], 16, 0x1fa27cf8);
        MD5_STEP(MD5_H, b, c, d, a, x[2], 23, 0xc4ac5665);

        MD5_STEP(MD5_I, a, b, c, d, x[0], 6, 0xf4292244);
        MD5_STEP(MD5_I, d, a, b, c, x[7], 10, 0x432aff97);
        MD5_STEP(MD5_I, c, d, a, b, x[14], 15, 0xab9423a7);
        MD5_STEP(MD5_I, b, c, d, a, x[5], 21, 0xfc93a039);
        MD5_STEP(MD5_I, a, b, c, d, x[12], 6, 0x655b59c3);
        MD5_STEP(MD5_I, d, a, b, c, x[3], 10, 0x8f0ccc92);
        MD5_STEP(MD5_I, c, d, a, b, x[10], 15, 0xffeff47d);
        MD5_STEP(MD5_I, b, c, d, a, x[1], 21, 0x85845dd1);
        MD5_STEP(MD5_I, a, b, c, d, x[8], 6, 0x6fa87e4f);
        MD5_STEP(MD5_I, d, a, b, c, x[15], 10, 0xfe2ce6e0);
        MD5_STEP(MD5_I, c, d, a, b, x[6], 15, 0xa3014314);
        MD5_STEP(MD5_I, b, c, d, a, x[13], 21, 0x4e0811a1);
        MD5_STEP(MD5_I, a, b, c, d, x[4], 6, 0xf7537e82);
        MD5_STEP(MD5_I, d, a, b, c, x[11], 10, 0xbd3af235);
        MD5_STEP(MD5_I, c, d, a, b, x[2], 15, 0x2ad7d2bb);
        MD5_STEP(MD5_I, b, c, d, a, x[9], 21, 0xeb86d391);
        a += a0;
        b += b0;
        c += c0;
        d += d0;
    }
    state[0] = a;
    state[1] = b;
    state[2] = c;
    state[3] = d;
}

}  // namespace

md5_t::md5_t() { init(); }

void md5_t::init() {
    TRACE_POINT;
    count[0] = count[1] = 0;
    finished = false;
    result_copied = false;
    hex_text[0] = '\0';
    memset(buffer, 0, sizeof buffer);
    memset(result, 0, sizeof result);
    memset(result_copy, 0, sizeof result_copy);
    state[0] = 0x67452301;
    state[1] = 0xefcdab89;
    state[2] = 0x98badcfe;
    state[3] = 0x10325476;
}

void md5_t::update(size_t len, const void* data) {
    TRACE_POINT;
    if (finished || len == 0) return;
    if (!data) D_THROW(BUG_exception, "md5_t::update( %zu, NULL ) called", len);
    const uint8_t* in = static_cast<const uint8_t*>(data);
    size_t used = (count[0] >> 3) & 63;
    // Shifting the size_t drops its top bits: the count wraps modulo 2^64.
    uint64_t bits = ((uint64_t(count[1]) << 32) | count[0]) + (uint64_t(len) << 3);
    count[0] = uint32_t(bits);
    count[1] = uint32_t(bits >> 32);
    if (used > 0) {
        size_t room = 64 - used;
        if (len < room) {
            memcpy(buffer + used, in, len);
            return;
        }
        memcpy(buffer + used, in, room);
        md5_blocks(state, buffer, 1);
        in += room;
        len -= room;
    }
    // Whole blocks straight from the caller's bytes.
    md5_blocks(state, in, len / 64);
    in += len & ~size_t(63);
    len &= 63;
    if (len > 0) memcpy(buffer, in, len);
}

void md5_t::final() {
    TRACE_POINT;
    if (finished) return;
    uint8_t length_bytes[8];
    store_le32(length_bytes, count[0]);
    store_le32(length_bytes + 4, count[1]);
    size_t used = (count[0] >> 3) & 63;
    size_t pad = used < 56 ? 56 - used : 120 - used;
    update(pad, PADDING);
    update(sizeof length_bytes, length_bytes);
    for (int i = 0; i < 4; ++i) store_le32(result + 4 * i, state[i]);
    finished = true;
}

const uint8_t* md5_t::digest() {
    TRACE_POINT;
    if (!finished) {
        memset(result_copy, 0, sizeof result_copy);
        result_copied = false;
    } else if (!result_copied) {
        memcpy(result_copy, result, sizeof result_copy);
        result_copied = true;
    }
    return result_copy;
}

const char* md5_t::hex() {
    TRACE_POINT;
    static const char digits[] = "0123456789abcdef";
    if (!finished) {
        hex_text[0] = '\0';
        return hex_text;
    }
    if (hex_text[0] == '\0') {
        for (int i = 0; i < 16; ++i) {
            hex_text[2 * i] = digits[result[i] >> 4];
            hex_text[2 * i + 1] = digits[result[i] & 15];
        }
        hex_text[32] = '\0';
    }
    return hex_text;
}

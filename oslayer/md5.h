// MD5 message digests (RFC 1321) behind a small hash interface. The update
// cache hashes every file it downloads or finds on disk and compares the
// lower-case hexadecimal form with the checksum the server announced.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "_kern.h"

/// A streaming hash: init, feed bytes with update, final, then read the result.
class if_hash_t : public virtual if_root_t {
public:
    /// One buffer of a linked chain fed by update_chain.
    struct chain_node_t {
        const chain_node_t* link;  ///< the next node; null or the node itself ends the chain
        size_t length;
        const void* data;
    };

    ~if_hash_t() override = default;

    /// Starts a new digest.
    virtual void init() = 0;
    /// Feeds `len` bytes at `data`.
    virtual void update(size_t len, const void* data) = 0;
    /// Finishes the digest.
    virtual void final() = 0;
    /// The raw digest bytes; the pointer lives as long as the object.
    virtual const uint8_t* digest() = 0;
    /// The digest as zero-terminated lower-case hexadecimal text.
    virtual const char* hex() = 0;

    /// Feeds the rest of `stream` in pieces of up to 1024 bytes until fread
    /// returns 0; read errors are left for the caller to check with ferror.
    void update_file(FILE* stream);
    /// Feeds every node's bytes in chain order, each node once.
    void update_chain(const chain_node_t* first);
};

/// MD5 as RFC 1321 defines it; ready for update right after construction.
class md5_t : public if_hash_t {
public:
    md5_t();

    void init() override;
    /// Ignored once the digest is final (until the next init).
    void update(size_t len, const void* data) override;
    /// Pads, appends the bit count and fixes the digest; a second call does nothing.
    void final() override;
    /// 16 zero bytes before final, the digest afterwards.
    const uint8_t* digest() override;
    /// The empty text before final, 32 hexadecimal digits afterwards.
    const char* hex() override;

    /// 0x80 followed by 63 zero bytes.
    static const uint8_t PADDING[64];

private:
    uint32_t state[4];         // chaining words A, B, C, D
    uint32_t count[2];         // message length in bits: low, high word
    uint8_t buffer[64];        // the input block being filled
    uint8_t result[16];
    bool finished;
    uint8_t result_copy[16];   // what digest() hands out
    char hex_text[33];
    bool result_copied;
};

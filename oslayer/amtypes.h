// Text views and byte buffers: the two value types that parsers and
// builders of the whole system work with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "_kern.h"

/// A non-owning view of a byte range; parsers consume it from either end.
class lstr_t {
public:
    constexpr lstr_t() : length(0), ptr(nullptr) {}
    constexpr lstr_t(size_t len, const char* p) : length(len), ptr(p) {}
    lstr_t(const char* text) : length(text ? strlen(text) : 0), ptr(text) {}  // NOLINT: implicit by design
    lstr_t(const std::string& s) : length(s.size()), ptr(s.data()) {}        // NOLINT: implicit by design

    bool empty() const { return length == 0; }
    std::string str() const { return std::string(ptr ? ptr : "", length); }

    bool has(char c) const;
    bool has_any(lstr_t set) const;
    bool operator==(const lstr_t& o) const;
    bool operator!=(const lstr_t& o) const { return !(*this == o); }
    bool iequals(const lstr_t& o) const;
    /// Lexicographic over signed bytes; a prefix is less.
    bool operator<(const lstr_t& o) const;
    bool iless(const lstr_t& o) const;
    bool starts_with(lstr_t p) const;
    bool istarts_with(lstr_t p) const;
    bool ends_with(lstr_t s) const;
    bool iends_with(lstr_t s) const;
    bool contains(lstr_t s) const;
    bool icontains(lstr_t s) const;
    uint64_t hash() const;

    lstr_t& ltrim(char c);
    lstr_t& ltrim(const lstr_t& set);
    lstr_t& rtrim(char c);
    lstr_t& rtrim(const lstr_t& set);

    /// The first min(n, length) bytes; the view continues after them.
    lstr_t cut(size_t n);
    // Splits: without the separator, strict false hands out the whole view
    // and empties it; strict true hands out nothing and keeps the view.
    lstr_t split(char sep, bool strict);
    lstr_t split(const lstr_t& sep, bool strict);
    lstr_t isplit(const lstr_t& sep, bool strict);
    lstr_t split_any(const lstr_t& set, bool strict);
    lstr_t rsplit(char sep, bool strict);
    lstr_t rsplit(const lstr_t& sep, bool strict);
    lstr_t irsplit(const lstr_t& sep, bool strict);
    lstr_t rsplit_any(const lstr_t& set, bool strict);
    /// Drops n fields separated by runs of `sep`.
    lstr_t& skip(size_t n, char sep);

    // Conversions keep the 32-bit range of the protocol's numbers for
    // tol/toi/toul; they throw number_format_exception_shell_t.
    int32_t tol(unsigned base) const;
    int32_t toi(unsigned base) const;
    uint32_t toul(unsigned base) const;
    int64_t to64(unsigned base) const;
    uint64_t tou64(unsigned base) const;
    double tod() const;

    size_t length;
    const char* ptr;
};

/// A growable owning byte buffer with a spare byte for a terminating zero.
class mbuf_t : public virtual if_root_t {
public:
    mbuf_t() : used(0), data(nullptr), capacity(0) {}
    mbuf_t(const mbuf_t&) = delete;
    mbuf_t& operator=(const mbuf_t&) = delete;
    ~mbuf_t() override;

    /// Grows to at least `need` bytes: doubling, in 256-byte steps.
    mbuf_t& reserve(size_t need);
    mbuf_t& push_back(char c);
    mbuf_t& append(size_t len, const void* bytes);
    mbuf_t& append_fill(size_t n, char c);
    /// Adds n uninitialised bytes and returns the first of them.
    char* extend(size_t n);
    /// Sets the used size to n; returns data + the old used size.
    char* resize(size_t n);
    const char* c_str();
    void clear();
    mbuf_t& swap(mbuf_t& other);

    lstr_t view() const { return lstr_t(used, data); }

    size_t used;
    char* data;
    size_t capacity;
};

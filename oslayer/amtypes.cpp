// Text views and byte buffers.
#include "oslayer/amtypes.h"

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>
#include <new>

#include "oslayer/utilities.h"

namespace {

inline unsigned char upper(char b) {
    return static_cast<unsigned char>(toupper(static_cast<unsigned char>(b)));
}

/// Exact byte comparison that tolerates null pointers when n is 0.
inline bool same_bytes(const char* a, const char* b, size_t n) {
    return n == 0 || a == b || memcmp(a, b, n) == 0;
}

inline bool same_bytes_nocase(const char* a, const char* b, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (upper(a[i]) != upper(b[i])) return false;
    return true;
}

/// First position of `sep` in `v` (exact or after toupper), or npos.
size_t find_first(const lstr_t& v, const lstr_t& sep, bool nocase) {
    if (sep.length == 0 || sep.length > v.length) return std::string::npos;
    for (size_t i = 0; i + sep.length <= v.length; ++i) {
        bool hit = nocase ? same_bytes_nocase(v.ptr + i, sep.ptr, sep.length)
                          : same_bytes(v.ptr + i, sep.ptr, sep.length);
        if (hit) return i;
    }
    return std::string::npos;
}

size_t find_last(const lstr_t& v, const lstr_t& sep, bool nocase) {
    if (sep.length == 0 || sep.length > v.length) return std::string::npos;
    for (size_t i = v.length - sep.length + 1; i-- > 0;) {
        bool hit = nocase ? same_bytes_nocase(v.ptr + i, sep.ptr, sep.length)
                          : same_bytes(v.ptr + i, sep.ptr, sep.length);
        if (hit) return i;
    }
    return std::string::npos;
}

/// Cuts the bytes before [pos, pos + seplen) off the front of `v`.
lstr_t take_front(lstr_t& v, size_t pos, size_t seplen, bool strict) {
    if (pos == std::string::npos) {
        if (strict) return lstr_t();
        lstr_t piece = v;
        v = lstr_t(0, v.ptr + v.length);
        return piece;
    }
    lstr_t piece(pos, v.ptr);
    size_t rest = pos + seplen;
    v = lstr_t(v.length - rest, v.ptr + rest);
    return piece;
}

/// Cuts the bytes after [pos, pos + seplen) off the back of `v`.
lstr_t take_back(lstr_t& v, size_t pos, size_t seplen, bool strict) {
    if (pos == std::string::npos) {
        if (strict) return lstr_t();
        lstr_t piece = v;
        v = lstr_t(0, v.ptr);
        return piece;
    }
    size_t after = pos + seplen;
    lstr_t piece(v.length - after, v.ptr + after);
    v = lstr_t(pos, v.ptr);
    return piece;
}

/// Shared body of the integer conversions. `Wide` is what the system
/// function returns; `R` is the width the caller observes.
template <typename R, typename Wide>
R cvt(const lstr_t& v, unsigned base, Wide (*fn)(const char*, char**, int)) {
    if (v.length == 0) D_THROW(number_format_exception, "scanned number empty");
    if (v.length == std::numeric_limits<size_t>::max()) throw std::bad_alloc();
    std::unique_ptr<char[]> copy(new char[v.length + 1]);
    memcpy(copy.get(), v.ptr, v.length);
    copy[v.length] = 0;

    char* end = nullptr;
    errno = 0;
    Wide value = fn(copy.get(), &end, static_cast<int>(base));
    if (errno == ERANGE) D_THROW(number_format_exception, "scanned number out of range");
    if (errno == EINVAL) D_THROW(number_format_exception, "number conversion error");
    // Compared by position so that a zero byte inside the view is an
    // invalid symbol rather than a silent end of the number.
    if (end != copy.get() + v.length) {
        D_THROW(number_format_exception, "invalid symbol \\x%02X in scanned number \"%s\" at position #%lu",
                static_cast<unsigned>(static_cast<unsigned char>(*end)), copy.get(),
                static_cast<unsigned long>(end - copy.get() + 1));
    }
    return static_cast<R>(value);
}

/// True when the text that strtoull accepted carried a minus sign.
bool negated(const lstr_t& v) {
    size_t i = 0;
    while (i < v.length && isspace(static_cast<unsigned char>(v.ptr[i]))) ++i;
    return i < v.length && v.ptr[i] == '-';
}

}  // namespace

// ---------------------------------------------------------------- searching

bool lstr_t::has(char c) const {
    return length != 0 && memchr(ptr, c, length) != nullptr;
}

bool lstr_t::has_any(lstr_t set) const {
    for (size_t i = 0; i < set.length; ++i)
        if (has(set.ptr[i])) return true;
    return false;
}

bool lstr_t::operator==(const lstr_t& o) const {
    return length == o.length && same_bytes(ptr, o.ptr, length);
}

bool lstr_t::iequals(const lstr_t& o) const {
    return length == o.length && same_bytes_nocase(ptr, o.ptr, length);
}

bool lstr_t::operator<(const lstr_t& o) const {
    size_t n = length < o.length ? length : o.length;
    for (size_t i = 0; i < n; ++i) {
        auto a = static_cast<signed char>(ptr[i]);
        auto b = static_cast<signed char>(o.ptr[i]);
        if (a != b) return a < b;
    }
    return length < o.length;
}

bool lstr_t::iless(const lstr_t& o) const {
    size_t n = length < o.length ? length : o.length;
    for (size_t i = 0; i < n; ++i) {
        unsigned char a = upper(ptr[i]);
        unsigned char b = upper(o.ptr[i]);
        if (a != b) return a < b;
    }
    return length < o.length;
}

bool lstr_t::starts_with(lstr_t p) const {
    return length >= p.length && same_bytes(ptr, p.ptr, p.length);
}

bool lstr_t::istarts_with(lstr_t p) const {
    return length >= p.length && same_bytes_nocase(ptr, p.ptr, p.length);
}

bool lstr_t::ends_with(lstr_t s) const {
    return length >= s.length && same_bytes(ptr + (length - s.length), s.ptr, s.length);
}

bool lstr_t::iends_with(lstr_t s) const {
    return length >= s.length && same_bytes_nocase(ptr + (length - s.length), s.ptr, s.length);
}

bool lstr_t::contains(lstr_t s) const {
    return s.length == 0 ? true : find_first(*this, s, false) != std::string::npos;
}

bool lstr_t::icontains(lstr_t s) const {
    return s.length == 0 ? true : find_first(*this, s, true) != std::string::npos;
}

uint64_t lstr_t::hash() const {
    uint64_t h = 0;
    for (size_t i = 0; i < length; ++i) h = h * 31 + static_cast<unsigned char>(ptr[i]);
    return h;
}

// ----------------------------------------------------------------- trimming

lstr_t& lstr_t::ltrim(char c) {
    while (length != 0 && *ptr == c) ++ptr, --length;
    return *this;
}

lstr_t& lstr_t::ltrim(const lstr_t& set) {
    while (length != 0 && set.has(*ptr)) ++ptr, --length;
    return *this;
}

lstr_t& lstr_t::rtrim(char c) {
    while (length != 0 && ptr[length - 1] == c) --length;
    return *this;
}

lstr_t& lstr_t::rtrim(const lstr_t& set) {
    while (length != 0 && set.has(ptr[length - 1])) --length;
    return *this;
}

// ---------------------------------------------------------------- splitting

lstr_t lstr_t::cut(size_t n) {
    if (n > length) n = length;
    lstr_t piece(n, ptr);
    ptr += n;
    length -= n;
    return piece;
}

lstr_t lstr_t::split(char sep, bool strict) {
    const void* hit = length ? memchr(ptr, sep, length) : nullptr;
    size_t pos = hit ? static_cast<size_t>(static_cast<const char*>(hit) - ptr) : std::string::npos;
    return take_front(*this, pos, 1, strict);
}

lstr_t lstr_t::split(const lstr_t& sep, bool strict) {
    return take_front(*this, find_first(*this, sep, false), sep.length, strict);
}

lstr_t lstr_t::isplit(const lstr_t& sep, bool strict) {
    return take_front(*this, find_first(*this, sep, true), sep.length, strict);
}

lstr_t lstr_t::split_any(const lstr_t& set, bool strict) {
    size_t pos = 0;
    while (pos < length && !set.has(ptr[pos])) ++pos;
    if (pos == length) return take_front(*this, std::string::npos, 0, strict);
    size_t run_end = pos;
    while (run_end < length && set.has(ptr[run_end])) ++run_end;
    lstr_t piece(pos, ptr);
    if (run_end == length) {
        // Nothing follows the separators: the piece is the last field.
        if (strict) {
            *this = piece;
            return lstr_t();
        }
        *this = lstr_t(0, ptr + length);
        return piece;
    }
    *this = lstr_t(length - run_end, ptr + run_end);
    return piece;
}

lstr_t lstr_t::rsplit(char sep, bool strict) {
    size_t pos = std::string::npos;
    for (size_t i = length; i-- > 0;) {
        if (ptr[i] == sep) {
            pos = i;
            break;
        }
    }
    return take_back(*this, pos, 1, strict);
}

lstr_t lstr_t::rsplit(const lstr_t& sep, bool strict) {
    return take_back(*this, find_last(*this, sep, false), sep.length, strict);
}

lstr_t lstr_t::irsplit(const lstr_t& sep, bool strict) {
    return take_back(*this, find_last(*this, sep, true), sep.length, strict);
}

lstr_t lstr_t::rsplit_any(const lstr_t& set, bool strict) {
    size_t last = length;  // one past the last set byte
    while (last > 0 && !set.has(ptr[last - 1])) --last;
    if (last == 0) return take_back(*this, std::string::npos, 0, strict);
    size_t run_start = last - 1;
    while (run_start > 0 && set.has(ptr[run_start - 1])) --run_start;
    lstr_t piece(length - last, ptr + last);
    if (run_start == 0) {
        // Nothing precedes the separators: the piece is the first field.
        if (strict) {
            *this = piece;
            return lstr_t();
        }
        *this = lstr_t(0, ptr);
        return piece;
    }
    *this = lstr_t(run_start, ptr);
    return piece;
}

lstr_t& lstr_t::skip(size_t n, char sep) {
    for (size_t i = 0; i < n && length != 0; ++i) {
        ltrim(sep);
        split(sep, false);
    }
    return *this;
}

// --------------------------------------------------------------- conversion

int32_t lstr_t::tol(unsigned base) const {
    TRACE_POINT;
    long v = cvt<long>(*this, base, strtol);
    // long is wider than the protocol's numbers on this host.
    if (v < INT32_MIN || v > INT32_MAX) D_THROW(number_format_exception, "scanned number out of range");
    return static_cast<int32_t>(v);
}

int32_t lstr_t::toi(unsigned base) const {
    TRACE_POINT;
    return tol(base);
}

uint32_t lstr_t::toul(unsigned base) const {
    TRACE_POINT;
    unsigned long long v = cvt<unsigned long long>(*this, base, strtoull);
    // A 32-bit strtoul rejects magnitudes past 32 bits and negates the rest
    // in 32-bit width ("-1" is 0xFFFFFFFF); strtoull negated in 64 bits.
    unsigned long long magnitude = negated(*this) ? 0 - v : v;
    if (magnitude > UINT32_MAX) D_THROW(number_format_exception, "scanned number out of range");
    return static_cast<uint32_t>(v);
}

int64_t lstr_t::to64(unsigned base) const {
    TRACE_POINT;
    return cvt<int64_t>(*this, base, strtoll);
}

uint64_t lstr_t::tou64(unsigned base) const {
    TRACE_POINT;
    return cvt<uint64_t>(*this, base, strtoull);
}

double lstr_t::tod() const {
    TRACE_POINT;
    if (length == 0) D_THROW(number_format_exception, "scanned number empty");
    return string_to_double(std::string(ptr, length));
}

// ------------------------------------------------------------- byte buffer

namespace {

/// Capacity for `need` bytes given the current one; throws instead of
/// wrapping around when the arithmetic would overflow.
size_t grown_capacity(size_t capacity, size_t need) {
    const size_t top = static_cast<size_t>(PTRDIFF_MAX) - 1;  // spare byte included
    if (need > top - 255 || capacity > top / 2) throw std::bad_alloc();
    size_t rounded = (need + 255) & ~static_cast<size_t>(255);
    size_t doubled = capacity * 2;
    return rounded > doubled ? rounded : doubled;
}

/// used + n, or bad_alloc when that does not fit a size_t.
size_t checked_sum(size_t used, size_t n) {
    if (n > std::numeric_limits<size_t>::max() - used) throw std::bad_alloc();
    return used + n;
}

const char empty_text[1] = {0};

}  // namespace

mbuf_t::~mbuf_t() {
    delete[] data;
}

mbuf_t& mbuf_t::reserve(size_t need) {
    if (capacity >= need) return *this;
    size_t cap = grown_capacity(capacity, need);
    char* fresh = new char[cap + 1];
    if (used != 0) memcpy(fresh, data, used);
    delete[] data;
    data = fresh;
    capacity = cap;
    return *this;
}

mbuf_t& mbuf_t::push_back(char c) {
    reserve(checked_sum(used, 1));
    data[used++] = c;
    return *this;
}

mbuf_t& mbuf_t::append(size_t len, const void* bytes) {
    if (len == 0) return *this;
    size_t need = checked_sum(used, len);
    // Appending part of the buffer to itself must survive the reallocation.
    const char* src = static_cast<const char*>(bytes);
    bool inside = data != nullptr && src >= data && src < data + capacity + 1;
    size_t offset = inside ? static_cast<size_t>(src - data) : 0;
    reserve(need);
    if (inside) src = data + offset;
    memmove(data + used, src, len);
    used = need;
    return *this;
}

mbuf_t& mbuf_t::append_fill(size_t n, char c) {
    if (n == 0) return *this;
    size_t need = checked_sum(used, n);
    reserve(need);
    memset(data + used, c, n);
    used = need;
    return *this;
}

char* mbuf_t::extend(size_t n) {
    size_t need = checked_sum(used, n);
    reserve(need);
    if (data == nullptr) return nullptr;
    char* first = data + used;
    used = need;
    return first;
}

char* mbuf_t::resize(size_t n) {
    reserve(n);
    if (data == nullptr) return nullptr;
    char* old_end = data + used;
    used = n;
    return old_end;
}

const char* mbuf_t::c_str() {
    if (data == nullptr) return empty_text;
    data[used] = 0;
    return data;
}

void mbuf_t::clear() {
    delete[] data;
    data = nullptr;
    used = 0;
    capacity = 0;
}

mbuf_t& mbuf_t::swap(mbuf_t& other) {
    std::swap(used, other.used);
    std::swap(data, other.data);
    std::swap(capacity, other.capacity);
    return *this;
}

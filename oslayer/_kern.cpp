#include "_kern.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "utilities.h"

if_root_t::~if_root_t() = default;

bool _d_exception_t::backtrace_enabled = false;

namespace {

char* copy_text(const char* s) {
    if (!s) return nullptr;
    size_t n = strlen(s) + 1;
    char* r = new char[n];
    memcpy(r, s, n);
    return r;
}

callstack_t* snapshot_stack() {
    return _d_exception_t::backtrace_enabled ? callstack_t::clone_chain(callstack_t::top()) : nullptr;
}

}  // namespace

// ---------------------------------------------------------------- records

d_exception_t::d_exception_t()
    : file(nullptr), line(0), reason(nullptr), cause(nullptr), info_text(nullptr), stack(nullptr) {}

d_exception_t::d_exception_t(const char* f, uint32_t l, const char* r)
    : file(f), line(l), reason(copy_text(r)), cause(nullptr), info_text(nullptr), stack(snapshot_stack()) {}

d_exception_t::d_exception_t(const char* f, uint32_t l, d_exception_t* c, const char* r)
    : file(f), line(l), reason(copy_text(r)), cause(c), info_text(nullptr), stack(snapshot_stack()) {}

d_exception_t::d_exception_t(const d_exception_t& other)
    : _d_exception_t(other), file(other.file), line(other.line), reason(copy_text(other.reason)),
      cause(other.cause), info_text(nullptr), stack(other.stack) {
    // The copy takes over the cause and the stack: a record is never shared.
    d_exception_t& src = const_cast<d_exception_t&>(other);
    src.cause = nullptr;
    src.stack = nullptr;
}

d_exception_t::~d_exception_t() {
    delete cause;
    delete[] reason;
    delete[] info_text;
    callstack_t::free_chain(stack);
}

const char* d_exception_t::what() const noexcept {
    if (reason) return reason;
    if (cause) return cause->what();
    return "NO REASON";
}

void d_exception_t::set_reason(const char* fmt, ...) noexcept {
    delete[] reason;
    reason = nullptr;
    try {
        va_list ap;
        va_start(ap, fmt);
        std::string text = vformat_string(fmt, ap);
        va_end(ap);
        reason = copy_text(text.c_str());
    } catch (...) {
        static const char fallback[] = "d_exception_t::set_reason failed because of exception";
        reason = new (std::nothrow) char[sizeof fallback];
        if (reason) memcpy(reason, fallback, sizeof fallback);
    }
}

const char* d_exception_t::where() const {
    return stack ? callstack_t::text(stack) : "zero stack";
}

const char* d_exception_t::info() const {
    if (info_text) return info_text;
    std::string out;
    for (const d_exception_t* r = this; r; r = r->cause) {
        if (r != this) out += ", ";
        out += rtti_class_name(typeid(*r));
        if (r->reason) {
            out += "( \"";
            out += r->reason;
            out += "\" )";
        }
        out += " at ";
        out += r->file ? r->file : "";
        out += ':';
        out += std::to_string(r->line);
        out += " [ ";
        out += r->where();
        out += " ]";
    }
    info_text = copy_text(out.c_str());
    return info_text;
}

void d_exception_t::dump(const char* prefix, bool recurse, int number) const {
    if (recurse) printf("%3d. ", number);
    printf("%s%s@%s \"%s\" @%s %s:%u -> %s [%s]\n", prefix ? prefix : "", rtti_class_name(typeid(*this)),
           pointer_to_string(this).c_str(), reason ? reason : "NO REASON", pointer_to_string(reason).c_str(),
           file ? file : "", line, pointer_to_string(cause).c_str(), pointer_to_string(stack).c_str());
    fflush(stdout);
    if (recurse && cause) cause->dump(prefix, true, number + 1);
}

// ----------------------------------------------------------------- shells

d_exception_t_shell_t::d_exception_t_shell_t(const char* fmt, ...) : inner(nullptr) {
    va_list ap;
    va_start(ap, fmt);
    set_message_v(fmt, ap);
    va_end(ap);
}

d_exception_t_shell_t::d_exception_t_shell_t(const d_exception_t_shell_t& other)
    : std::exception(other), message(other.message), inner(other.inner) {
    other.inner = nullptr;
}

d_exception_t_shell_t& d_exception_t_shell_t::operator=(const d_exception_t_shell_t& other) {
    if (this == &other) return *this;
    message = other.message;
    d_exception_t* old = inner;
    inner = other.inner;
    other.inner = nullptr;
    if (old != inner) delete old;
    return *this;
}

d_exception_t_shell_t::~d_exception_t_shell_t() { delete inner; }

void d_exception_t_shell_t::set_message_v(const char* fmt, va_list ap) { message = vformat_string(fmt, ap); }

const char* d_exception_t_shell_t::what() const noexcept {
    return inner ? inner->what() : "NOTHING: I am cloned shell.";
}

const char* d_exception_t_shell_t::where() const {
    return inner ? inner->where() : "NOWHERE: I am cloned shell.";
}

const char* d_exception_t_shell_t::info() const {
    return inner ? inner->info() : "NO INFO: I am cloned shell.";
}

std::string d_exception_t_shell_t::full_reason() const {
    std::string out = what();
    if (!inner) return out;
    for (const d_exception_t* r = inner->cause; r; r = r->cause) {
        if (!out.empty()) out += " because of ";
        out += r->what();
    }
    return out;
}

void d_exception_t_shell_t::install_record(d_exception_t* rec) {
    if (inner != rec) delete inner;
    inner = rec;
    apply_reason();
}

void d_exception_t_shell_t::set_where(const char* f, uint32_t l, d_exception_t* cause) {
    install_record(new d_exception_t(f, l, cause, nullptr));
}

void d_exception_t_shell_t::apply_reason() {
    if (inner) inner->set_reason("%s", message.c_str());
    clear_string(message);
}

void d_exception_t_shell_t::dump(const char* prefix, bool recurse) const {
    const char* p = prefix ? prefix : "";
    printf("%s%s@%s -> %s\n", p, rtti_class_name(typeid(*this)), pointer_to_string(this).c_str(),
           pointer_to_string(inner).c_str());
    fflush(stdout);
    if (!recurse) return;
    if (inner) {
        inner->dump(prefix, true, 2);
    } else {
        printf("  2. %sNo impl\n", p);
        fflush(stdout);
    }
}

// --------------------------------------------------------------- helpers

const char* rtti_class_name(const char* name) {
    if (!name) return "RTTI corrupted";
    const char* p = name;
    while (*p >= '0' && *p <= '9') ++p;
    return *p ? p : name;
}

const char* rtti_class_name(const std::type_info& ti) { return rtti_class_name(ti.name()); }

void clear_string(std::string& s) {
    TRACE_POINT;
    std::string exact(s.data(), s.size());
    s.swap(exact);
    std::string().swap(s);
}

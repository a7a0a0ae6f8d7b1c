// The root of the platform library: the common base class, the error family
// (records carried inside light shells) and the per-thread trace-point chain
// that error records copy when back-traces are enabled.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <exception>
#include <string>
#include <typeinfo>

/// Common root of the library's polymorphic classes.
class if_root_t {
public:
    virtual ~if_root_t();
};

/// Virtual base that forbids copying of the class deriving from it.
class noncopyable_t {
protected:
    noncopyable_t() = default;
    ~noncopyable_t() = default;

public:
    noncopyable_t(const noncopyable_t&) = delete;
    noncopyable_t& operator=(const noncopyable_t&) = delete;
};

class callstack_t;

/// Root of every error record; holds only the process-wide back-trace switch.
class _d_exception_t : public std::exception {
public:
    /// Set once at start-up (the `trace` option) before other threads run.
    static bool backtrace_enabled;
};

/// The error record: where an error was raised, why, what caused it.
class d_exception_t : public _d_exception_t {
public:
    d_exception_t();
    d_exception_t(const char* file, uint32_t line, const char* reason);
    /// Takes ownership of `cause`.
    d_exception_t(const char* file, uint32_t line, d_exception_t* cause, const char* reason);
    d_exception_t(const d_exception_t& other);
    d_exception_t& operator=(const d_exception_t&) = delete;
    ~d_exception_t() override;

    const char* what() const noexcept override;

    /// Replaces the reason; never throws (a fixed text replaces a failed format).
    void set_reason(const char* fmt, ...) noexcept __attribute__((format(printf, 2, 3)));
    /// The copied trace-point chain as text, or "zero stack".
    const char* where() const;
    /// Long description of this record and its causes, built once.
    const char* info() const;
    void dump(const char* prefix, bool recurse, int number) const;

    const char* file;
    uint32_t line;
    char* reason;
    d_exception_t* cause;
    mutable char* info_text;
    callstack_t* stack;
};

/// The thrown object: owns its record and hands it over when copied.
class d_exception_t_shell_t : public std::exception {
public:
    explicit d_exception_t_shell_t(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    d_exception_t_shell_t(const d_exception_t_shell_t& other);
    d_exception_t_shell_t& operator=(const d_exception_t_shell_t& other);
    ~d_exception_t_shell_t() override;

    const char* what() const noexcept override;
    const char* where() const;
    const char* info() const;
    /// what() followed by " because of " and the reason of every cause.
    std::string full_reason() const;
    void set_where(const char* file, uint32_t line, d_exception_t* cause);
    void apply_reason();
    void dump(const char* prefix, bool recurse) const;

    /// Takes the record away from the shell (to chain it as a cause).
    d_exception_t* release() { d_exception_t* r = inner; inner = nullptr; return r; }
    d_exception_t* record() const { return inner; }

    std::string message;
    mutable d_exception_t* inner;

protected:
    struct no_format_t {};
    explicit d_exception_t_shell_t(no_format_t) : inner(nullptr) {}
    void set_message_v(const char* fmt, va_list ap);
    /// Installs a freshly built record, then moves the message into it.
    void install_record(d_exception_t* rec);
};

/// Declares one error kind: a record class and its shell, both deriving from
/// the given bases. The shell's set_where builds a record of its own kind.
#define D_DECLARE_EXCEPTION(kind, record_base, shell_base)                           \
    class kind : public record_base {                                                \
    public:                                                                          \
        using record_base::record_base;                                              \
        kind(const kind& other) = default;                                           \
    };                                                                               \
    class kind##_shell_t : public shell_base {                                       \
    public:                                                                          \
        explicit kind##_shell_t(const char* fmt, ...) __attribute__((format(printf, 2, 3))) \
            : shell_base(no_format_t()) {                                            \
            va_list ap;                                                              \
            va_start(ap, fmt);                                                       \
            set_message_v(fmt, ap);                                                  \
            va_end(ap);                                                              \
        }                                                                            \
        kind##_shell_t(const kind##_shell_t& other) = default;                       \
        kind##_shell_t& operator=(const kind##_shell_t& other) = default;            \
        ~kind##_shell_t() override = default;                                        \
        void set_where(const char* file, uint32_t line, d_exception_t* cause) {      \
            install_record(new kind(file, line, cause, nullptr));                    \
        }                                                                            \
                                                                                     \
    protected:                                                                       \
        explicit kind##_shell_t(no_format_t n) : shell_base(n) {}                    \
    }

D_DECLARE_EXCEPTION(io_error_exception, d_exception_t, d_exception_t_shell_t);
D_DECLARE_EXCEPTION(open_io_error_exception, io_error_exception, io_error_exception_shell_t);
D_DECLARE_EXCEPTION(read_io_error_exception, io_error_exception, io_error_exception_shell_t);
D_DECLARE_EXCEPTION(dir_create_exception, io_error_exception, io_error_exception_shell_t);
D_DECLARE_EXCEPTION(noent_exception, io_error_exception, io_error_exception_shell_t);
D_DECLARE_EXCEPTION(invalid_io_range_exception, io_error_exception, io_error_exception_shell_t);
D_DECLARE_EXCEPTION(BUG_exception, d_exception_t, d_exception_t_shell_t);
D_DECLARE_EXCEPTION(number_format_exception, d_exception_t, d_exception_t_shell_t);
D_DECLARE_EXCEPTION(getrusage_exception, d_exception_t, d_exception_t_shell_t);
D_DECLARE_EXCEPTION(thread_exception, d_exception_t, d_exception_t_shell_t);
D_DECLARE_EXCEPTION(timestamp_format_exception, d_exception_t, d_exception_t_shell_t);
D_DECLARE_EXCEPTION(quoted_format_exception, d_exception_t, d_exception_t_shell_t);

/// Kept so that catch ladders keep their first rung; nothing raises it here.
class SEH_exception_shell_t : public d_exception_t_shell_t {
public:
    explicit SEH_exception_shell_t(const char* fmt, ...) __attribute__((format(printf, 2, 3)))
        : d_exception_t_shell_t(no_format_t()) {
        va_list ap;
        va_start(ap, fmt);
        set_message_v(fmt, ap);
        va_end(ap);
    }
};

/// Raises an error of `kind`: formats the message, attaches a new record with
/// this source file and line, and throws the shell by value.
#define D_THROW(kind, ...) D_THROW_CAUSE(kind, nullptr, __VA_ARGS__)

/// The same with a cause record whose ownership passes to the new record.
#define D_THROW_CAUSE(kind, cause, ...)                    \
    do {                                                   \
        kind##_shell_t d_throw_shell_(__VA_ARGS__);        \
        d_throw_shell_.set_where(__FILE_NAME__, __LINE__, (cause)); \
        throw d_throw_shell_;                              \
    } while (0)

/// Class name from run-time type information, leading length digits skipped.
const char* rtti_class_name(const std::type_info& ti);
const char* rtti_class_name(const char* mangled);

/// Empties the string and releases its storage.
void clear_string(std::string& s);

/// Receives report lines: the cookie is the log level.
typedef void (*exception_printer_t)(void* cookie, const char* text, const char* file, int line);

/// One trace-point frame; frames placed by functions form each thread's chain.
class callstack_t {
public:
    callstack_t(const char* file, int line, const char* function, bool log);
    ~callstack_t();
    callstack_t(const callstack_t&) = delete;
    callstack_t& operator=(const callstack_t&) = delete;

    /// Heap copy of the chain from `top` to the bottom; null for null.
    static callstack_t* clone_chain(const callstack_t* top);
    /// Frees a copied chain (frame included).
    static void free_chain(callstack_t* frame);
    /// The chain from `frame` as one text, built once and kept in the frame.
    static const char* text(callstack_t* frame);
    /// The calling thread's top frame, or null.
    static callstack_t* top();

    const char* file;
    int line;
    const char* function;
    callstack_t* previous;
    bool owned;
    char* text_cache;
    bool log_flag;

    /// Set by the logging unit so that logged frames can write their lines.
    static void (*log_hook)(const char* what, const callstack_t& frame);

private:
    callstack_t();  // copies only
};

void print_callstack(const callstack_t* frame, int level, exception_printer_t printer, int indent);
void print_exception_chain(const d_exception_t* record, int level, exception_printer_t printer, int indent);
void print_catch_point(int level, exception_printer_t printer, int indent);

/// The printer used when a report routine is given none; the logging unit
/// replaces it with one that writes through the process logger.
extern exception_printer_t default_exception_printer;

#define D_TRACE_CONCAT2(a, b) a##b
#define D_TRACE_CONCAT(a, b) D_TRACE_CONCAT2(a, b)

/// The trace point every function opens with.
#define TRACE_POINT callstack_t D_TRACE_CONCAT(trace_point_, __LINE__)(__FILE_NAME__, __LINE__, __PRETTY_FUNCTION__, false)
/// A trace point with a name of its own instead of the function signature.
#define TRACE_POINT_NAMED(name) callstack_t D_TRACE_CONCAT(trace_point_, __LINE__)(__FILE_NAME__, __LINE__, (name), false)

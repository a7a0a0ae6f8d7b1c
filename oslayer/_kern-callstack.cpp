// The per-thread chain of trace points and the report lines built from it.
#include <cstdio>
#include <cstring>
#include <string>

#include "_kern.h"

namespace {

// Each thread's top frame. A thread-local word costs one read and one write
// per trace point, which is all a frame may cost.
thread_local callstack_t* thread_top = nullptr;

void stderr_printer(void* cookie, const char* text, const char* file, int line) {
    (void)cookie;
    if (file)
        fprintf(stderr, "%s @ %s:%d\n", text, file, line);
    else
        fprintf(stderr, "%s\n", text);
}

exception_printer_t pick(exception_printer_t p) { return p ? p : default_exception_printer; }

void* level_cookie(int level) { return reinterpret_cast<void*>(static_cast<intptr_t>(level)); }

}  // namespace

exception_printer_t default_exception_printer = stderr_printer;
void (*callstack_t::log_hook)(const char* what, const callstack_t& frame) = nullptr;

callstack_t::callstack_t()
    : file(nullptr), line(0), function(nullptr), previous(nullptr), owned(true), text_cache(nullptr),
      log_flag(false) {}

callstack_t::callstack_t(const char* f, int l, const char* fn, bool log)
    : file(f), line(l), function(fn), previous(nullptr), owned(false), text_cache(nullptr), log_flag(log) {
    if (_d_exception_t::backtrace_enabled) {
        previous = thread_top;
        thread_top = this;
    }
    if (log_flag && log_hook) log_hook("Enter", *this);
}

callstack_t::~callstack_t() {
    if (log_flag && log_hook) log_hook("Leave", *this);
    // A frame built while back-traces were off never entered the chain.
    if (_d_exception_t::backtrace_enabled && !owned && thread_top == this) thread_top = previous;
    if (owned) {
        callstack_t* p = previous;
        previous = nullptr;
        free_chain(p);
    }
    delete[] text_cache;
}

callstack_t* callstack_t::top() { return thread_top; }

callstack_t* callstack_t::clone_chain(const callstack_t* from) {
    callstack_t* head = nullptr;
    callstack_t** link = &head;
    // Iterative so that a deep chain cannot exhaust the stack while copying.
    for (const callstack_t* f = from; f; f = f->previous) {
        callstack_t* c = new callstack_t();
        c->file = f->file;
        c->line = f->line;
        c->function = f->function;
        *link = c;
        link = &c->previous;
    }
    return head;
}

void callstack_t::free_chain(callstack_t* frame) {
    while (frame) {
        callstack_t* next = frame->owned ? frame->previous : nullptr;
        if (!frame->owned) return;  // frames of live functions are nobody's to free
        frame->previous = nullptr;
        delete frame;
        frame = next;
    }
}

const char* callstack_t::text(callstack_t* frame) {
    if (!frame) return "";
    if (frame->text_cache) return frame->text_cache;
    std::string out;
    for (const callstack_t* f = frame; f; f = f->previous) {
        if (f != frame) out += ", ";
        if (f->function) {
            out += '"';
            out += f->function;
            out += "\" ";
        }
        out += f->file ? f->file : "";
        out += ':';
        out += std::to_string(f->line);
    }
    frame->text_cache = new char[out.size() + 1];
    memcpy(frame->text_cache, out.c_str(), out.size() + 1);
    return frame->text_cache;
}

void print_callstack(const callstack_t* frame, int level, exception_printer_t printer, int indent) {
    if (!_d_exception_t::backtrace_enabled) return;
    printer = pick(printer);
    for (const callstack_t* f = frame; f; f = f->previous) {
        std::string line(indent > 0 ? indent : 0, ' ');
        line += f == frame ? "at " : "by ";
        line += f->function ? f->function : "(unnamed)";
        printer(level_cookie(level), line.c_str(), f->file, f->line);
    }
}

void print_exception_chain(const d_exception_t* record, int level, exception_printer_t printer, int indent) {
    printer = pick(printer);
    for (const d_exception_t* r = record; r; r = r->cause, ++indent) {
        std::string line(indent > 0 ? indent : 0, ' ');
        line += rtti_class_name(typeid(*r));
        line += ": ";
        line += r->reason ? r->reason : "(no reason)";
        printer(level_cookie(level), line.c_str(), r->file, static_cast<int>(r->line));
        if (_d_exception_t::backtrace_enabled) print_callstack(r->stack, level, printer, indent + 2);
    }
}

void print_catch_point(int level, exception_printer_t printer, int indent) {
    if (!_d_exception_t::backtrace_enabled) return;
    printer = pick(printer);
    if (thread_top) {
        printer(level_cookie(level), "Last message cought at following point", nullptr, 0);
        print_callstack(thread_top, level, printer, indent + 2);
    } else {
        printer(level_cookie(level), "Last message cought with no stack information", nullptr, 0);
    }
}

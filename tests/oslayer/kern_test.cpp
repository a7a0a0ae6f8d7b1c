// Error records, shells and the trace-point chain.

#include "oslayer/_kern.h"
#include "tests/oslayer/test_support.h"

namespace {

struct backtraces_on {
    backtraces_on() { _d_exception_t::backtrace_enabled = true; }
    ~backtraces_on() { _d_exception_t::backtrace_enabled = false; }
};

struct printed_line {
    std::string text;
    std::string file;
    int line;
    intptr_t level;
};
std::vector<printed_line> printed;

void collect(void* cookie, const char* text, const char* file, int line) {
    printed.push_back({text, file ? file : "", line, reinterpret_cast<intptr_t>(cookie)});
}

void raise_bug(int n) {
    TRACE_POINT;
    D_THROW(BUG_exception, "bug number %d", n);
}

void raise_chained() {
    TRACE_POINT;
    try {
        raise_bug(7);
    } catch (d_exception_t_shell_t& e) {
        std::string inner = e.what();
        D_THROW_CAUSE(io_error_exception, e.release(), "cannot open \"%s\" because of %s", "f", inner.c_str());
    }
}

}  // namespace

TEST(Shell, ThrowMovesRecordIntoCaughtCopyOfItsFamily) {
    try {
        raise_bug(3);
        FAIL() << "no throw";
    } catch (BUG_exception_shell_t& e) {
        EXPECT_STREQ(e.what(), "bug number 3");
        ASSERT_NE(dynamic_cast<BUG_exception*>(e.record()), nullptr);
        EXPECT_STREQ(e.record()->file, "kern_test.cpp");
        EXPECT_TRUE(e.message.empty());
    }
    try {
        D_THROW(open_io_error_exception, "cannot open %s", "x");
    } catch (io_error_exception_shell_t& e) {  // caught by its family
        EXPECT_NE(dynamic_cast<open_io_error_exception*>(e.record()), nullptr);
    }
}

TEST(Shell, CopiesLeaveClonedShellsBehindReasonsFollowCauses) {
    BUG_exception_shell_t a("x%s", "y");
    a.set_where("f.cpp", 10, nullptr);
    BUG_exception_shell_t b(a);
    BUG_exception_shell_t c(b);
    // A cloned shell answers every question without its record.
    EXPECT_TRUE(a.record() == nullptr && b.record() == nullptr && *a.what() && *b.where() && *b.info()) << a.what();
    EXPECT_STREQ(c.what(), "xy");
    a = c;  // assignment moves the record too
    EXPECT_TRUE(std::string(a.what()) == "xy" && c.record() == nullptr);
    d_exception_t_shell_t e("%s", "");
    e.set_where("f.cpp", 1, nullptr);
    ASSERT_NE(e.record()->reason, nullptr);
    EXPECT_STREQ(e.what(), "");
    try {
        raise_chained();
        FAIL();
    } catch (io_error_exception_shell_t& e) {
        EXPECT_STREQ(e.what(), "cannot open \"f\" because of bug number 7");
        EXPECT_EQ(e.full_reason(), "cannot open \"f\" because of bug number 7 because of bug number 7");
        EXPECT_NE(dynamic_cast<BUG_exception*>(e.record()->cause), nullptr);
    }
    // A record without a reason answers with its cause's.
    d_exception_t_shell_t s("ignored");
    s.set_where("b.cpp", 2, new d_exception_t("a.cpp", 1, "root"));
    delete[] s.record()->reason;
    s.record()->reason = nullptr;
    EXPECT_STREQ(s.what(), "root");
    EXPECT_EQ(s.full_reason(), "root because of root");
    EXPECT_STREQ(d_exception_t().what(), "NO REASON");
}

TEST(Record, InfoWithoutBacktraces) {
    try {
        raise_chained();
    } catch (d_exception_t_shell_t& e) {
        std::string info = e.info();
        EXPECT_EQ(info.find("io_error_exception( \"cannot open"), 0u) << info;
        EXPECT_NE(info.find(" at kern_test.cpp:"), std::string::npos);
        EXPECT_NE(info.find(" [ zero stack ], BUG_exception( \"bug number 7\" ) at kern_test.cpp:"), std::string::npos)
            << info;
        EXPECT_EQ(info.back(), ']');
        EXPECT_EQ(e.info(), e.info());  // kept, same pointer
        EXPECT_STREQ(e.where(), "zero stack");
    }
}

TEST(Record, CopyTakesCauseAndStack) {
    backtraces_on on;
    TRACE_POINT;
    d_exception_t a("a.cpp", 1, new d_exception_t("c.cpp", 2, "cause"), "reason");
    ASSERT_NE(a.stack, nullptr);
    d_exception_t b(a);
    EXPECT_TRUE(a.cause == nullptr && a.stack == nullptr && b.stack != nullptr);
    EXPECT_EQ(std::string(b.cause->what()) + b.what() + a.what(), "causereasonreason");
}

TEST(KernHelpers, RttiNameSkipsLengthDigitsClearStringReleases) {
    const std::pair<const char*, const char*> names[] = {
        {"13d_exception_t", "d_exception_t"}, {"N2io5proto1xE", "N2io5proto1xE"}, {"12345", "12345"}};
    for (const auto& n : names) EXPECT_STREQ(rtti_class_name(n.first), n.second);
    EXPECT_NE(rtti_class_name(static_cast<const char*>(nullptr)), nullptr);
    EXPECT_STREQ(rtti_class_name(typeid(BUG_exception)), "BUG_exception");
    std::string s(5000, 'x');
    clear_string(s);
    EXPECT_TRUE(s.empty() && s.capacity() < 100u);
}

TEST(Callstack, ChainOnlyWithBacktraces) {
    {
        TRACE_POINT;
        EXPECT_EQ(callstack_t::top(), nullptr);
    }
    {
        callstack_t frame("x.cpp", 12, nullptr, false);
        callstack_t* copy = callstack_t::clone_chain(&frame);
        EXPECT_STREQ(callstack_t::text(copy), "x.cpp:12");
        callstack_t::free_chain(copy);
        EXPECT_EQ(callstack_t::clone_chain(nullptr), nullptr);
    }
    backtraces_on on;
    EXPECT_EQ(callstack_t::top(), nullptr);
    d_exception_t r("a.cpp", 1, "x");  // raised with no frames: no stack
    EXPECT_EQ(r.stack, nullptr);
    EXPECT_STREQ(r.where(), "zero stack");
    {
        TRACE_POINT;
        callstack_t* outer = callstack_t::top();
        ASSERT_NE(outer, nullptr);
        {
            TRACE_POINT_NAMED("inner");
            EXPECT_STREQ(callstack_t::top()->function, "inner");
            EXPECT_EQ(callstack_t::top()->previous, outer);
        }
        EXPECT_EQ(callstack_t::top(), outer);
    }
    EXPECT_EQ(callstack_t::top(), nullptr);
}

TEST(Callstack, UnwindingPopsFrames) {
    backtraces_on on;
    TRACE_POINT;
    callstack_t* mine = callstack_t::top();
    try {
        raise_bug(1);
    } catch (BUG_exception_shell_t& e) {
        EXPECT_EQ(callstack_t::top(), mine);
        // The record copied the chain at the raise: raise_bug, then this test.
        ASSERT_NE(e.record()->stack, nullptr);
        EXPECT_NE(std::string(e.record()->stack->function).find("raise_bug"), std::string::npos);
        EXPECT_EQ(e.record()->stack->previous->previous, nullptr);
        std::string where = e.where();
        EXPECT_EQ(where.find("\"void {anonymous}::raise_bug(int)\" kern_test.cpp:"), 0u) << where;
        EXPECT_NE(where.find(", \""), std::string::npos);
    }
    EXPECT_EQ(callstack_t::top(), mine);
}

TEST(Report, ChainAndCatchPointLinesWithAndWithoutBacktraces) {
    printed.clear();
    try {
        raise_chained();
    } catch (d_exception_t_shell_t& e) {
        print_exception_chain(e.record(), 4, collect, 0);
    }
    ASSERT_EQ(printed.size(), 2u);
    EXPECT_EQ(printed[0].text, "io_error_exception: cannot open \"f\" because of bug number 7");
    EXPECT_EQ(printed[0].file, "kern_test.cpp");
    EXPECT_EQ(printed[0].level, 4);
    EXPECT_EQ(printed[1].text, " BUG_exception: bug number 7");
    printed.clear();
    print_catch_point(4, collect, 0);
    EXPECT_TRUE(printed.empty());
    backtraces_on on;
    print_catch_point(1, collect, 0);
    ASSERT_EQ(printed.size(), 1u);
    EXPECT_EQ(printed[0].line, 0);
    TRACE_POINT;
    printed.clear();
    try {
        raise_chained();
    } catch (d_exception_t_shell_t& e) {
        print_exception_chain(e.record(), 4, collect, 0);
    }
    // record, its frames (raise_chained, this test), cause, its frames (raise_bug, raise_chained, test)
    ASSERT_EQ(printed.size(), 7u);
    EXPECT_EQ(printed[1].text.rfind("  at ", 0), 0u) << printed[1].text;
    EXPECT_NE(printed[1].text.find("raise_chained"), std::string::npos);
    EXPECT_EQ(printed[2].text.rfind("  by ", 0), 0u);
    EXPECT_EQ(printed[3].text, " BUG_exception: bug number 7");
    EXPECT_EQ(printed[4].text.rfind("   at ", 0), 0u);
    printed.clear();
    print_catch_point(4, collect, 0);
    ASSERT_EQ(printed.size(), 2u);
    EXPECT_EQ(printed[1].text.rfind("  at ", 0), 0u);
}

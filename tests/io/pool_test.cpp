// The I/O pool on real threads: registration, failing handlers, teardown with queued
// work, a failed thread start and listings racing the threads' start and end.
#include "io/pool.h"

#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>

#include <map>
#include <memory>
#include <set>
#include <stdexcept>

#include "io/request_queue.h"
#include "oslayer/_kern.h"
#include "tests/io/test_support.h"

namespace {

/// Opens once `count` arrivals have been counted down.
class latch {
public:
    explicit latch(int count) : count_(count) {}
    void count_down() {
        std::lock_guard<std::mutex> g(m_);
        if (--count_ <= 0) cv_.notify_all();
    }
    void wait() {
        std::unique_lock<std::mutex> g(m_);
        cv_.wait(g, [this] { return count_ <= 0; });
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    int count_;
};

struct thread_line {
    std::string name, tid, seqid;
};

std::vector<thread_line> thread_lines(const io_test::log_capture& log, const char* what) {
    std::regex re(std::string(R"(^\[([^\]]+)\] )") + what + R"( thread (\d+), seqid (\d+)$)");
    std::vector<thread_line> out;
    for (const std::string& m : log.messages()) {
        std::smatch s;
        if (std::regex_match(m, s, re)) out.push_back({s[1], s[2], s[3]});
    }
    return out;
}

std::vector<std::string> thr_entries() {
    std::vector<std::string> all, thr;
    kern_n::runnable_t::running_list(all);
    for (const std::string& e : all)
        if (e.compare(0, 4, "thr#") == 0) thr.push_back(e);
    return thr;
}

/// Virtual memory of this process in bytes, from /proc/self/statm.
[[maybe_unused]] std::size_t address_space_in_use() {
    std::ifstream statm("/proc/self/statm");
    std::size_t pages = 0;
    statm >> pages;
    return pages * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

/// A thread that is running from construction until destruction.
class parked_thread {
public:
    parked_thread()
        : thread_([this] {
              running_.count_down();
              release_.wait();
          }) {
        running_.wait();
    }
    ~parked_thread() {
        release_.count_down();
        thread_.join();
    }

private:
    latch running_{1}, release_{1};
    std::thread thread_;
};

}  // namespace

TEST(Pool, ThreadsLogTheirStartAndCompletionAndNoThreadsRunNothing) {
    io_test::log_capture log;
    { io::pool p(2, "thr"); }
    bool ran = false;
    {
        io::pool idle(0, "idle");
        idle.get_io_service().post([&] { ran = true; });
        EXPECT_TRUE(thr_entries().empty());
    }
    EXPECT_FALSE(ran);
    // Each thread that started is the one that completed.
    std::map<std::string, std::string> started;
    for (const thread_line& l : thread_lines(log, "Started")) started[l.name] = l.tid + "/" + l.seqid;
    EXPECT_EQ(2u, started.size());
    EXPECT_NE(started["thr:0"], started["thr:1"]);
    std::map<std::string, std::string> completed;
    for (const thread_line& l : thread_lines(log, "Completed")) completed[l.name] = l.tid + "/" + l.seqid;
    EXPECT_EQ(started, completed);
}

TEST(Pool, ThreadsAreRegisteredWithSignalsBlocked) {
    std::mutex m;
    std::set<std::string> names;
    std::vector<std::string> listed;
    bool all_blocked = true;
    {
        io::pool p(2, "thr");
        latch both(2), done(2);
        for (int i = 0; i < 2; ++i)
            p.get_io_service().post([&] {
                // Both handlers wait for each other, so each pool thread runs one.
                both.count_down();
                both.wait();
                sigset_t now;
                pthread_sigmask(SIG_BLOCK, nullptr, &now);
                std::lock_guard<std::mutex> g(m);
                for (int sig : {SIGINT, SIGHUP, SIGTERM, SIGPIPE, SIGUSR1, SIGCHLD})
                    all_blocked = all_blocked && sigismember(&now, sig) == 1;
                names.insert(kern_n::runnable_t::self_name());
                done.count_down();
            });
        done.wait();
        listed = thr_entries();
    }
    EXPECT_TRUE(all_blocked);
    EXPECT_EQ((std::set<std::string>{"thr:0", "thr:1"}), names);
    ASSERT_EQ(2u, listed.size());
    EXPECT_NE(std::string::npos, listed[0].find(" thr:"));
    EXPECT_TRUE(thr_entries().empty());
}

TEST(Pool, FailingHandlersAreLoggedAndTheThreadGoesOn) {
    io_test::log_capture log;
    std::thread::id first, last;
    {
        io::pool p(1, "thr");
        latch done(1);
        auto& svc = p.get_io_service();
        svc.post([&] { first = std::this_thread::get_id(); });
        svc.post([] { throw std::runtime_error("handler broke"); });
        svc.post([] { D_THROW(BUG_exception, "shell broke"); });
        svc.post([] { throw 7; });
        svc.post([&] {
            last = std::this_thread::get_id();
            done.count_down();
        });
        done.wait();
    }
    EXPECT_EQ(first, last);
    EXPECT_EQ(3u, log.count("[Pool] Thread failed because of "));
    EXPECT_EQ(1u, thread_lines(log, "Completed").size());
}

TEST(Pool, DestructionStopsTheServiceAndDropsQueuedHandlers) {
    io_test::log_capture log;
    auto p = std::make_unique<io::pool>(1, "thr");
    boost::asio::io_service& svc = p->get_io_service();
    latch started(1);
    std::atomic<bool> release{false}, queued_ran{false};
    int told = 0;
    bool told_sent = true;
    svc.post([&] {
        started.count_down();
        while (!release) std::this_thread::yield();
    });
    auto pending = std::make_shared<io::request_queue>(io::make_cloned_request("never", [&](bool sent) {
        ++told;
        told_sent = sent;
    }));
    svc.post([&queued_ran, pending] {
        queued_ran = true;
        pending->front()->mark_as_send();
    });
    pending.reset();
    started.wait();
    std::thread destroyer([&] { p.reset(); });
    // The running handler is let go only once the destructor has stopped the service.
    while (!svc.stopped()) std::this_thread::yield();
    release = true;
    destroyer.join();
    EXPECT_FALSE(queued_ran);
    EXPECT_EQ(1, told);
    EXPECT_FALSE(told_sent);
    std::vector<thread_line> completed = thread_lines(log, "Completed");
    ASSERT_EQ(1u, completed.size());
    EXPECT_EQ("thr:0", completed[0].name);
}

TEST(Pool, FailedThreadStartStopsTheThreadsAlreadyRunning) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer's shadow memory cannot live under an address-space limit";
#else
    // In a freshly started child (no cached thread stacks from earlier tests),
    // a second parked thread measures what one more thread costs here: its
    // stack plus what the runtime adds (more under the thread sanitizer; the
    // first one pays the one-time costs). Half as much again is left: room
    // for one more thread and its own small allocations, never for two.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            alarm(20);
            parked_thread first;
            std::size_t before = address_space_in_use();
            parked_thread second;
            std::size_t after = address_space_in_use();
            rlimit limit;
            limit.rlim_cur = limit.rlim_max = after + (after - before) * 3 / 2;
            setrlimit(RLIMIT_AS, &limit);
            int code = 3;
            io_test::log_capture log;
            try {
                io::pool p(4, "thr");
                code = 1;
            } catch (const boost::thread_resource_error&) {
                // Every thread that did start has ended and logged its end.
                std::size_t started = thread_lines(log, "Started").size();
                std::size_t completed = thread_lines(log, "Completed").size();
                code = started >= 1 && started < 4 && completed == started && thr_entries().empty() ? 0 : 4;
            } catch (...) {
                code = 2;
            }
            std::_Exit(code);
        },
        testing::ExitedWithCode(0), "");
#endif
}

TEST(Pool, RunningListIsSafeWhilePoolThreadsStartAndEnd) {
    // The lister runs through construction (wrappers registered while their
    // threads record their process id) and teardown (wrappers unregistered).
    long listings = 0;
    for (int round = 0; round < 10; ++round) {
        std::atomic<bool> stop{false};
        std::thread lister([&] {
            while (!stop) {
                for (const std::string& e : thr_entries()) EXPECT_NE(std::string::npos, e.find(" thr:")) << e;
                ++listings;
            }
        });
        auto p = std::make_unique<io::pool>(4, "thr");
        latch ran(4);
        for (int i = 0; i < 4; ++i) p->get_io_service().post([&] { ran.count_down(); });
        ran.wait();
        p.reset();
        stop = true;
        lister.join();
        EXPECT_TRUE(thr_entries().empty());
    }
    EXPECT_GT(listings, 0);
}

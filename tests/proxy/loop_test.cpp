// The application loop's signal disposition, each case in a child process of
// its own, since it changes the whole process's signal handling.
#include "proxy/loop.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

namespace {

/// Ends a child that hangs; SIGALRM would stay blocked like every other signal.
void start_watchdog() {
    std::thread([] {
        sleep(20);
        std::_Exit(4);
    }).detach();
}

class AppLoop : public testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(AppLoop, OnlySigintAndSighupAreTakenAndTheRestStayBlocked) {
    EXPECT_EXIT(
        {
            app_loop_t loop;
            start_watchdog();
            // Raised before the wait: blocked signals stay pending until taken.
            for (int ignored : {SIGTERM, SIGQUIT, SIGUSR1, SIGPIPE}) raise(ignored);
            raise(SIGHUP);
            bool first = loop.wait_signal();
            // Sent to the process from a thread started later, which inherits the mask.
            std::thread([] { kill(getpid(), SIGINT); }).join();
            bool second = loop.wait_signal();
            std::_Exit(!first && second ? 0 : 2);
        },
        testing::ExitedWithCode(0), "SIGHUP handled, reread configuration(.|\n)*SIGINT handled, shutdown");
}

TEST_F(AppLoop, FaultInAnotherThreadGetsThePostMortemReport) {
    // A blocked fault signal would end the process silently by the kernel's
    // default action; the report must come from any thread.
    EXPECT_EXIT(
        {
            app_loop_t loop;
            start_watchdog();
            void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            std::thread([page] { *static_cast<volatile int*>(page) = 1; }).join();
            std::_Exit(3);
        },
        testing::KilledBySignal(SIGSEGV), "Fatal error \"Segmentation fault\"");
}

}  // namespace

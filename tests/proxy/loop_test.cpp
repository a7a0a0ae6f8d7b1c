// The application loop's fault handling, in a child process since it changes
// the whole process's signal handling; the signals it takes are sent to the
// real binary by the black-box tests.
#include "proxy/loop.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

namespace {

TEST(AppLoop, FaultInAnotherThreadGetsThePostMortemReport) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // A blocked fault signal would end the process silently by the kernel's
    // default action; the report must come from any thread.
    EXPECT_EXIT(
        {
            app_loop_t loop;
            // Ends a child that hangs; SIGALRM would stay blocked like every other signal.
            std::thread([] {
                sleep(20);
                std::_Exit(4);
            }).detach();
            void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            std::thread([page] { *static_cast<volatile int*>(page) = 1; }).join();
            std::_Exit(3);
        },
        testing::KilledBySignal(SIGSEGV), "Fatal error \"Segmentation fault\"");
}

}  // namespace

#include "io/async_cmd.h"

#include <exception>

#include "oslayer/_kern.h"
#include "oslayer/loggers.h"

namespace io {
namespace proto {
namespace detail {

namespace {

void report_done_failure(const char* reason, const d_exception_t_shell_t* shell) {
    pretty_print_exception(LOG_LEVEL_ERROR, "[AsyncOp] Operation done handler failed because of %s", reason, shell);
}

}  // namespace

void finish_async_cmd(async_cmd& cmd) noexcept {
    TRACE_POINT;
    // Runs from a state's destructor: whatever `done` throws stops here, so
    // the transition (or the machine's teardown) completes regardless.
    try {
        cmd.done(cmd.completed());
    } catch (const SEH_exception_shell_t& e) {
        report_done_failure(e.what(), &e);
    } catch (const d_exception_t_shell_t& e) {
        report_done_failure(e.what(), &e);
    } catch (const std::exception& e) {
        report_done_failure(e.what(), nullptr);
    } catch (...) {
        report_done_failure("general error", nullptr);
    }
}

}  // namespace detail
}  // namespace proto
}  // namespace io

// The post-mortem report: when the process gets a signal that means it is
// broken, one plain-text description of the signal and the register state
// goes to standard error, and the signal then ends the process as usual.
#pragma once

#include <signal.h>

#include "syncers.h"

/// Built at start-up with the other library locks. The report itself never
/// takes it: a lock in a fault handler deadlocks a thread that faults while
/// holding it, so the report claims `post_morten_dump_flag` atomically instead.
extern mutex_t post_morten_dump_flag_guard;
/// False until the first report begins; set atomically by the report.
extern bool post_morten_dump_flag;

/// An SA_SIGINFO handler.
typedef void (*fatal_signal_handler_t)(int signo, siginfo_t* info, void* context);

/// Makes `fatal_signal_report` the handler of every fatal signal.
void install_fatal_signal_handlers();
/// Sets `handler` with `flags` for every fatal signal, all signals blocked
/// while it runs; a null handler restores the default action.
void set_fatal_signal_action(fatal_signal_handler_t handler, int flags);
/// The handler: reports once per process, restores the default actions and
/// raises the signal again so that it ends the process.
void fatal_signal_report(int signo, siginfo_t* info, void* context);
/// The system's name of a signal, or "SIG#<n>" when it has none.
const char* signal_name(int signo);

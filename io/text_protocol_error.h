// The error a command handler throws for a command it rejects: the text
// protocol layer reports it as a violation and goes on with the next command,
// instead of dropping the connection as it does for its own framing errors.
#pragma once

#include "oslayer/_kern.h"

namespace io {
namespace proto {

/// Record and thrown shell of a rejected command.
D_DECLARE_EXCEPTION(text_protocol_error, d_exception_t, d_exception_t_shell_t);

}  // namespace proto
}  // namespace io

// The error kind of the listen and client specification parsers: a bad
// address or clause in a specification text raises it with the reason.
#pragma once

#include "oslayer/_kern.h"

namespace io {

/// Record and thrown shell of specification text errors.
D_DECLARE_EXCEPTION(spec_parse_error, d_exception_t, d_exception_t_shell_t);

}  // namespace io

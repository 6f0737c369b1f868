// SPDX-License-Identifier: MIT
// Status codes with a per-thread detail text for kivLastErrorDetail().
#pragma once

#include <string>

#include "kivVidStreamLib2.h"

namespace kiv {

// Records `detail` as the calling thread's last error and returns `code`.
int fail(int code, std::string detail);

// Records errno's text after `what` ("bind port 10588: Address in use").
int failErrno(int code, const std::string &what);

void clearLastError();

// What kivLastErrorDetail() and kivErrorString() return. The C entry points
// live in the shim only, so that a program linking both the shared library and
// the internals still reads the library's own detail.
const char *lastErrorDetail();
int lastError();
const char *errorString(int code);

} // namespace kiv

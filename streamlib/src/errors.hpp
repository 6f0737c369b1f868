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

} // namespace kiv

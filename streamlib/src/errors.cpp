// SPDX-License-Identifier: MIT
#include "errors.hpp"

#include <cerrno>
#include <cstring>

namespace kiv {
namespace {
thread_local std::string lastDetail;
thread_local int lastCode = KIV_OK;
} // namespace

int fail(int code, std::string detail) {
    lastDetail = std::move(detail);
    lastCode = code;
    return code;
}

int failErrno(int code, const std::string &what) {
    const int err = errno;
    return fail(code, what + ": " + std::strerror(err));
}

void clearLastError() {
    lastDetail.clear();
    lastCode = KIV_OK;
}

} // namespace kiv

namespace kiv {

const char *lastErrorDetail() { return lastDetail.c_str(); }
int lastError() { return lastCode; }

const char *errorString(int code) {
    switch (code) {
    case KIV_OK: return "success";
    case KIV_ERROR_INVALID_HANDLE: return "invalid handle";
    case KIV_ERROR_INVALID_ARGUMENT: return "invalid argument";
    case KIV_ERROR_UNSUPPORTED: return "not supported";
    case KIV_ERROR_NO_MEMORY: return "out of memory";
    case KIV_ERROR_BUSY: return "stream or port in use";
    case KIV_ERROR_ADDRESS: return "bad address";
    case KIV_ERROR_IO: return "I/O error";
    case KIV_ERROR_STATE: return "call out of order";
    case KIV_ERROR_TOO_LARGE: return "frame too large";
    case KIV_ERROR_PERMISSION: return "permission denied";
    case KIV_ERROR_INTERNAL: return "internal error";
    case KIV_ERROR_TIMEOUT: return "timed out";
    case KIV_ERROR_INTERRUPTED: return "woken up";
    default: return "unknown error";
    }
}

} // namespace kiv

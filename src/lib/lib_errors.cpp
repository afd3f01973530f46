// Version and result codes.
#include "lib/lib_internal.h"

namespace {

constexpr const char* ERROR_NAMES[QRN_ERROR_MAX] = {
    "no error",
    "error",
    "destination too small",
    "damaged data",
    "data truncated",
    "checksum mismatch",
    "incomplete container",
    "not a container",
    "unsupported method, level or parameter",
    "parameter out of range",
    "out of memory",
    "read or write failed",
    "input differs from pledged size",
    "not allowed at this stage",
    "longer than recorded length",
    "thread could not start",
};

} // namespace

extern "C" {

unsigned qrn_version_number(void) { return QRN_VERSION_NUMBER; }

#define QRN_TEXT(x) #x
#define QRN_VERSION_TEXT(a, b, c) QRN_TEXT(a) "." QRN_TEXT(b) "." QRN_TEXT(c)
const char* qrn_version_string(void)
{
    return QRN_VERSION_TEXT(QRN_VERSION_MAJOR, QRN_VERSION_MINOR, QRN_VERSION_PATCH);
}

int qrn_is_error(size_t result) { return result > size_t{0} - static_cast<size_t>(QRN_ERROR_MAX); }

qrn_error_code qrn_get_error_code(size_t result)
{
    return qrn_is_error(result) ? static_cast<qrn_error_code>(size_t{0} - result) : QRN_OK;
}

const char* qrn_error_name(size_t result) { return ERROR_NAMES[qrn_get_error_code(result)]; }

} // extern "C"

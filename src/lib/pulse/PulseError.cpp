#include "PulseError.h"

#include <pulse/error.h>

#include <string>

PulseError::PulseError(const char *what, int code)
    : std::runtime_error(std::string(what) + ": " + pa_strerror(code))
    , m_code(code) {}

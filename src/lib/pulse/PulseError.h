#pragma once
// A failure reported by libpulse, carrying its error code and pa_strerror text.

#include <stdexcept>

class PulseError : public std::runtime_error {
public:
    PulseError(const char *what, int code);
    [[nodiscard]] int code() const noexcept { return m_code; }

private:
    int m_code = 0;
};

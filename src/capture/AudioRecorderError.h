#pragma once
// The recorder's own failures, each with the text the user is shown.

#include "UserFacingError.h"

#include <QString>

class AudioRecorderError : public UserFacingError {
public:
    enum class Code {
        noDisplay,    // the sound server has no output whose monitor can be recorded
        noPermission, // the sound server cannot be reached or refuses the connection
    };

    explicit AudioRecorderError(Code code);

    [[nodiscard]] Code code() const noexcept { return m_code; }
    // what() gives the same text in UTF-8.
    [[nodiscard]] QString localizedDescription() const override;

private:
    Code m_code;
};

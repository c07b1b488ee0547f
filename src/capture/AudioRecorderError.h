#pragma once
// The recorder's own failures, each with the text the user is shown.

#include <QString>

#include <exception>

class AudioRecorderError : public std::exception {
public:
    enum class Code {
        noDisplay,    // the sound server has no output whose monitor can be recorded
        noPermission, // the sound server cannot be reached or refuses the connection
    };

    explicit AudioRecorderError(Code code);

    [[nodiscard]] Code code() const noexcept { return m_code; }
    [[nodiscard]] QString localizedDescription() const;
    // The same text in UTF-8.
    [[nodiscard]] const char *what() const noexcept override;

private:
    Code m_code;
};

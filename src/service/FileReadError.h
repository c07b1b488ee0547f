#pragma once
// A local file (the recording to upload) could not be opened or read.

#include <QString>

#include <stdexcept>

class FileReadError : public std::runtime_error {
public:
    enum class Reason { notFound, noPermission, other };

    explicit FileReadError(Reason reason);

    [[nodiscard]] Reason reason() const noexcept { return m_reason; }
    [[nodiscard]] QString localizedDescription() const;

private:
    Reason m_reason;
};

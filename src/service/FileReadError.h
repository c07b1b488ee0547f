#pragma once
// A local file (the recording to upload) could not be opened or read.

#include "UserFacingError.h"

#include <QString>

class FileReadError : public UserFacingError {
public:
    enum class Reason { notFound, noPermission, other };

    explicit FileReadError(Reason reason);

    [[nodiscard]] Reason reason() const noexcept { return m_reason; }
    [[nodiscard]] QString localizedDescription() const override;

private:
    Reason m_reason;
};

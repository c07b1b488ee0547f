#pragma once
// A part file or the mixed file could not be created or written.

#include <QString>

#include <stdexcept>

class AudioFileError : public std::runtime_error {
public:
    // `detail` is for developers (FFmpeg's own words); the user sees localizedDescription().
    using std::runtime_error::runtime_error;

    [[nodiscard]] QString localizedDescription() const {
        return QStringLiteral("Не удалось создать файл записи. Проверьте, что на диске есть "
                              "свободное место");
    }
};

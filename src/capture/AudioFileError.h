#pragma once
// A part file or the mixed file could not be created or written, or the recordings folder
// cannot be trusted with them.

#include <QString>

#include <stdexcept>
#include <utility>

class AudioFileError : public std::runtime_error {
public:
    // `detail` is for developers (FFmpeg's own words); the user sees localizedDescription().
    using std::runtime_error::runtime_error;

    // The recordings folder at `folder` is a planted link or file, or belongs to another user:
    // the user has to move it away, no amount of disk space helps.
    AudioFileError(const std::string &detail, QString folder)
        : std::runtime_error(detail)
        , m_refusedFolder(std::move(folder)) {}

    [[nodiscard]] bool isFolderRefused() const { return !m_refusedFolder.isEmpty(); }

    [[nodiscard]] QString localizedDescription() const {
        if (isFolderRefused()) {
            return QStringLiteral("Папка для записей %1 принадлежит другому пользователю или "
                                  "подменена ссылкой. Переименуйте её, и Tolvex создаст новую")
                .arg(m_refusedFolder);
        }
        return QStringLiteral("Не удалось создать файл записи. Проверьте, что на диске есть "
                              "свободное место");
    }

private:
    QString m_refusedFolder;
};

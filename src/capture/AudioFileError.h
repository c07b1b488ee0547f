#pragma once
// A part file or the mixed file could not be created or written, or the recordings folder
// cannot be trusted with them or has too little room to start a recording in.

#include "UserFacingError.h"

#include <QString>

#include <cstdint>
#include <utility>

class AudioFileError : public UserFacingError {
public:
    // `detail` is for developers (FFmpeg's own words); the user sees localizedDescription().
    using UserFacingError::UserFacingError;

    // The recordings folder at `folder` is a planted link or file, or belongs to another user:
    // the user has to move it away, no amount of disk space helps.
    AudioFileError(const std::string &detail, QString folder)
        : UserFacingError(detail)
        , m_folder(std::move(folder))
        , m_reason(Reason::folderRefused) {}

    // The file system of the recordings folder at `folder` has less room than a recording
    // should start with.
    static AudioFileError lowSpace(QString folder, std::int64_t freeBytes,
                                   std::int64_t neededBytes) {
        AudioFileError error("too little room for a recording", std::move(folder));
        error.m_reason = Reason::lowSpace;
        error.m_freeBytes = freeBytes;
        error.m_neededBytes = neededBytes;
        return error;
    }

    [[nodiscard]] bool isFolderRefused() const { return m_reason == Reason::folderRefused; }

    [[nodiscard]] QString localizedDescription() const override {
        constexpr std::int64_t megabyte = 1'000'000; // as the desktop's file managers count
        switch (m_reason) {
        case Reason::folderRefused:
            return QStringLiteral("Папка для записей %1 принадлежит другому пользователю или "
                                  "подменена ссылкой. Переименуйте её, и Tolvex создаст новую")
                .arg(m_folder);
        case Reason::lowSpace:
            return QStringLiteral("Мало места на диске: в папке %1 свободно %2 МБ, нужно не "
                                  "меньше %3 МБ.")
                .arg(m_folder)
                .arg(m_freeBytes / megabyte)
                .arg(m_neededBytes / megabyte);
        case Reason::failed:
            break;
        }
        return QStringLiteral("Не удалось создать файл записи. Проверьте, что на диске есть "
                              "свободное место");
    }

private:
    enum class Reason { failed, folderRefused, lowSpace };

    QString m_folder;
    Reason m_reason = Reason::failed;
    std::int64_t m_freeBytes = 0;
    std::int64_t m_neededBytes = 0;
};

#include "FileReadError.h"

namespace {

const char *describe(FileReadError::Reason reason) {
    switch (reason) {
    case FileReadError::Reason::notFound:
        return "file not found";
    case FileReadError::Reason::noPermission:
        return "no permission to read the file";
    case FileReadError::Reason::other:
        return "the file could not be read";
    }
    return "the file could not be read";
}

} // namespace

FileReadError::FileReadError(Reason reason)
    : UserFacingError(describe(reason))
    , m_reason(reason) {}

QString FileReadError::localizedDescription() const {
    switch (m_reason) {
    case Reason::notFound:
        return QStringLiteral("Не удалось открыть файл записи, так как такого файла нет.");
    case Reason::noPermission:
        return QStringLiteral(
            "Не удалось открыть файл записи, так как нет разрешения на его просмотр.");
    case Reason::other:
        return QStringLiteral("Не удалось прочитать файл записи.");
    }
    return QStringLiteral("Не удалось прочитать файл записи.");
}

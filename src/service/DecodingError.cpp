#include "DecodingError.h"

#include <utility>

namespace {

std::string describe(DecodingError::Kind kind, const std::string &key, const std::string &detail) {
    std::string text;
    switch (kind) {
    case DecodingError::Kind::dataCorrupted:
        text = "data corrupted";
        break;
    case DecodingError::Kind::keyNotFound:
        text = "key not found";
        break;
    case DecodingError::Kind::valueNotFound:
        text = "value not found";
        break;
    case DecodingError::Kind::typeMismatch:
        text = "type mismatch";
        break;
    }
    if (!key.empty())
        text = "\"" + key + "\": " + text;
    if (!detail.empty())
        text += ": " + detail;
    return text;
}

} // namespace

DecodingError::DecodingError(Kind kind, std::string key, const std::string &detail)
    : UserFacingError(describe(kind, key, detail))
    , m_kind(kind)
    , m_key(std::move(key)) {}

QString DecodingError::localizedDescription() const {
    switch (m_kind) {
    case Kind::keyNotFound:
    case Kind::valueNotFound:
        return QStringLiteral("Данные не удалось прочитать, так как они отсутствуют.");
    case Kind::dataCorrupted:
    case Kind::typeMismatch:
        return QStringLiteral("Данные не удалось прочитать, так как они имеют неверный формат.");
    }
    return QStringLiteral("Данные не удалось прочитать.");
}

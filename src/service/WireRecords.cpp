#include "WireRecords.h"

#include "DecodingError.h"

#include <nlohmann/json.hpp>

#include <limits>
#include <map>
#include <string>
#include <vector>

namespace {

// Floats parse as long double so that a number like 1e400 still parses and is then refused as
// a type mismatch where an integer is expected, instead of failing as broken JSON.
using Json = nlohmann::basic_json<std::map, std::vector, std::string, bool, std::int64_t,
                                  std::uint64_t, long double>;

// Longer answers are refused unread, whatever they hold.
constexpr qsizetype kMaxBody = 1024 * 1024;

const char *typeName(const Json &value) {
    switch (value.type()) {
    case Json::value_t::null:
        return "null";
    case Json::value_t::object:
        return "an object";
    case Json::value_t::array:
        return "an array";
    case Json::value_t::string:
        return "a string";
    case Json::value_t::boolean:
        return "a boolean";
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned:
        return "an integer";
    case Json::value_t::number_float:
        return "a non-integer number";
    case Json::value_t::binary:
        return "binary data";
    case Json::value_t::discarded:
        return "nothing";
    }
    return "an unknown value";
}

// The top-level object of one answer; each read names its key in any failure.
class WireObject {
public:
    explicit WireObject(const QByteArray &body) {
        if (body.size() > kMaxBody)
            throw DecodingError(DecodingError::Kind::dataCorrupted, {}, "the answer exceeds 1 MiB");
        m_json = Json::parse(body.constBegin(), body.constEnd(), nullptr, false);
        if (m_json.is_discarded())
            throw DecodingError(DecodingError::Kind::dataCorrupted, {}, "the answer is not JSON");
        if (!m_json.is_object())
            throw DecodingError(DecodingError::Kind::dataCorrupted, {},
                                std::string("the answer is ") + typeName(m_json) +
                                    ", not an object");
    }

    [[nodiscard]] QString requiredString(const std::string &key) const {
        return string(key, required(key));
    }

    [[nodiscard]] std::optional<QString> optionalString(const std::string &key) const {
        const Json *value = optional(key);
        if (!value)
            return std::nullopt;
        return string(key, *value);
    }

    [[nodiscard]] std::int64_t requiredInt64(const std::string &key) const {
        const Json &value = required(key);
        if (value.is_number_integer() && !value.is_number_unsigned())
            return value.get<std::int64_t>();
        if (value.is_number_unsigned()) {
            const auto number = value.get<std::uint64_t>();
            if (number <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
                return static_cast<std::int64_t>(number);
            throw DecodingError(DecodingError::Kind::typeMismatch, key,
                                "the number does not fit a signed 64-bit integer");
        }
        throw DecodingError(DecodingError::Kind::typeMismatch, key,
                            std::string("expected an integer, found ") + typeName(value));
    }

private:
    const Json &required(const std::string &key) const {
        const auto it = m_json.find(key);
        if (it == m_json.end())
            throw DecodingError(DecodingError::Kind::keyNotFound, key, {});
        if (it->is_null())
            throw DecodingError(DecodingError::Kind::valueNotFound, key, {});
        return *it;
    }

    // Missing and null both mean absent.
    const Json *optional(const std::string &key) const {
        const auto it = m_json.find(key);
        if (it == m_json.end() || it->is_null())
            return nullptr;
        return &*it;
    }

    static QString string(const std::string &key, const Json &value) {
        if (!value.is_string())
            throw DecodingError(DecodingError::Kind::typeMismatch, key,
                                std::string("expected a string, found ") + typeName(value));
        return QString::fromStdString(value.get_ref<const std::string &>());
    }

    Json m_json;
};

} // namespace

AppLoginResponse AppLoginResponse::decode(const QByteArray &body) {
    const WireObject object(body);
    AppLoginResponse record;
    record.nonce = object.requiredString("nonce");
    record.botUrl = object.requiredString("bot_url");
    record.expiresInSeconds = object.requiredInt64("expires_in_seconds");
    return record;
}

UserProfileVM UserProfileVM::decode(const QByteArray &body) {
    const WireObject object(body);
    UserProfileVM record;
    record.id = object.requiredInt64("user_id");
    record.telegramUsername = object.optionalString("first_name");
    return record;
}

MeetingCreateResult MeetingCreateResult::decode(const QByteArray &body) {
    const WireObject object(body);
    MeetingCreateResult record;
    record.id = object.requiredInt64("id");
    record.status = object.requiredString("status");
    return record;
}

namespace AuthBridge {

PollResponse PollResponse::decode(const QByteArray &body) {
    const WireObject object(body);
    PollResponse record;
    record.status = object.requiredString("status");
    record.token = object.optionalString("token");
    return record;
}

} // namespace AuthBridge

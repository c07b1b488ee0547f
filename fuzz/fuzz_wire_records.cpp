// Any answer body either gives a record or fails with a DecodingError that names a key of the
// record's table; a record that decodes reads back the same from a clean encoding of its fields.

#include "DecodingError.h"
#include "FuzzCheck.h"
#include "WireRecords.h"

#include <nlohmann/json.hpp>

#include <QByteArray>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>

namespace {

using nlohmann::json;

QByteArray encode(const json &object) {
    return QByteArray::fromStdString(object.dump());
}

json optionalText(const std::optional<QString> &text) {
    return text ? json(text->toStdString()) : json(nullptr);
}

// Runs one decoder; a decoding error must be about the whole body or about one of `keys`.
template <typename Record>
std::optional<Record> tryDecode(const QByteArray &body, std::initializer_list<const char *> keys) {
    try {
        return Record::decode(body);
    } catch (const DecodingError &error) {
        FUZZ_CHECK(error.what()[0] != '\0', "a decoding error says nothing");
        if (error.kind() == DecodingError::Kind::dataCorrupted) {
            FUZZ_CHECK(error.key().empty(), "a corrupted body blamed on a key");
        } else {
            bool known = false;
            for (const char *key : keys)
                known = known || error.key() == key;
            FUZZ_CHECK(known, "a decoding error names a key outside the record's table");
        }
        return std::nullopt;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    // Raw data, not a copy: a read past the body's end is an AddressSanitizer report.
    const QByteArray body =
        QByteArray::fromRawData(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));

    if (const auto login =
            tryDecode<AppLoginResponse>(body, {"nonce", "bot_url", "expires_in_seconds"})) {
        const auto again = AppLoginResponse::decode(encode({
            {"nonce", login->nonce.toStdString()},
            {"bot_url", login->botUrl.toStdString()},
            {"expires_in_seconds", login->expiresInSeconds},
        }));
        FUZZ_CHECK(again.nonce == login->nonce && again.botUrl == login->botUrl &&
                       again.expiresInSeconds == login->expiresInSeconds,
                   "AppLoginResponse does not read back");
    }

    if (const auto profile = tryDecode<UserProfileVM>(body, {"user_id", "first_name"})) {
        const auto again = UserProfileVM::decode(encode({
            {"user_id", profile->id},
            {"first_name", optionalText(profile->telegramUsername)},
        }));
        FUZZ_CHECK(again == *profile, "UserProfileVM does not read back");
    }

    if (const auto meeting = tryDecode<MeetingCreateResult>(body, {"id", "status"})) {
        const auto again = MeetingCreateResult::decode(encode({
            {"id", meeting->id},
            {"status", meeting->status.toStdString()},
        }));
        FUZZ_CHECK(again.id == meeting->id && again.status == meeting->status,
                   "MeetingCreateResult does not read back");
    }

    if (const auto poll = tryDecode<AuthBridge::PollResponse>(body, {"status", "token"})) {
        const auto again = AuthBridge::PollResponse::decode(encode({
            {"status", poll->status.toStdString()},
            {"token", optionalText(poll->token)},
        }));
        FUZZ_CHECK(again.status == poll->status && again.token == poll->token,
                   "PollResponse does not read back");
    }
    return 0;
}

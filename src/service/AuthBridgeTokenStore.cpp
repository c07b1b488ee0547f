// The token store: one Secret Service item per user, found by service and account.

#include "TokenStoreSchema.h"

#include "AuthBridge.h"

#include <QStringDecoder>

#include <memory>

namespace AuthBridge {

namespace {

struct ValueUnref {
    void operator()(SecretValue *value) const { secret_value_unref(value); }
};
using ValuePtr = std::unique_ptr<SecretValue, ValueUnref>;

// libsecret reports through an out-parameter; the store reports nothing, but never leaks it.
class ErrorSlot {
public:
    GError **out() { return &m_raw; }
    ~ErrorSlot() { g_clear_error(&m_raw); }
    ErrorSlot() = default;
    ErrorSlot(const ErrorSlot &) = delete;
    ErrorSlot &operator=(const ErrorSlot &) = delete;

private:
    GError *m_raw = nullptr;
};
} // namespace

std::optional<QString> loadToken() {
    ErrorSlot error;
    const ValuePtr value(secret_password_lookup_binary_sync(
        TokenStoreSchema::schema(), nullptr, error.out(), TokenStoreSchema::serviceAttribute,
        TokenStoreSchema::service, TokenStoreSchema::accountAttribute, TokenStoreSchema::account,
        nullptr));
    if (!value)
        return std::nullopt;
    gsize length = 0;
    const gchar *bytes = secret_value_get(value.get(), &length);
    if (!bytes)
        return std::nullopt;
    // A leading byte-order mark is part of the stored value, not a hint to drop.
    // Stateless, so that a sequence cut off at the end counts as invalid.
    QStringDecoder decoder(QStringDecoder::Utf8, QStringConverter::Flag::ConvertInitialBom |
                                                     QStringConverter::Flag::Stateless);
    QString text = decoder.decode(QByteArrayView(bytes, static_cast<qsizetype>(length)));
    if (decoder.hasError())
        return std::nullopt;
    return text.isNull() ? QString(QLatin1String("")) : text;
}

void saveToken(const QString &token) {
    deleteToken();
    const QByteArray bytes = token.toUtf8();
    const ValuePtr value(secret_value_new(bytes.constData(), bytes.size(), "text/plain"));
    ErrorSlot error;
    secret_password_store_binary_sync(
        TokenStoreSchema::schema(), SECRET_COLLECTION_DEFAULT, TokenStoreSchema::label, value.get(),
        nullptr, error.out(), TokenStoreSchema::serviceAttribute, TokenStoreSchema::service,
        TokenStoreSchema::accountAttribute, TokenStoreSchema::account, nullptr);
}

void deleteToken() {
    ErrorSlot error;
    secret_password_clear_sync(TokenStoreSchema::schema(), nullptr, error.out(),
                               TokenStoreSchema::serviceAttribute, TokenStoreSchema::service,
                               TokenStoreSchema::accountAttribute, TokenStoreSchema::account,
                               nullptr);
}

} // namespace AuthBridge

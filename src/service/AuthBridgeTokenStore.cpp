// The token store: one Secret Service item per user and service origin, found by its attributes.

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

struct HashTableUnref {
    void operator()(GHashTable *table) const { g_hash_table_unref(table); }
};
using AttributesPtr = std::unique_ptr<GHashTable, HashTableUnref>;

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

// Which item an operation works on: its schema and attributes. The table points into
// m_origin, so the key is neither copied nor moved.
class ItemKey {
public:
    explicit ItemKey(const QString &origin)
        : m_origin(origin.toUtf8())
        , m_attributes(g_hash_table_new(g_str_hash, g_str_equal)) {
        insert(TokenStoreSchema::serviceAttribute, TokenStoreSchema::service);
        insert(TokenStoreSchema::accountAttribute, TokenStoreSchema::account);
        if (!origin.isEmpty())
            insert(TokenStoreSchema::originAttribute, m_origin.constData());
    }
    ItemKey(const ItemKey &) = delete;
    ItemKey &operator=(const ItemKey &) = delete;

    [[nodiscard]] const SecretSchema *schema() const {
        return m_origin.isEmpty() ? TokenStoreSchema::schema() : TokenStoreSchema::originSchema();
    }
    [[nodiscard]] GHashTable *attributes() const { return m_attributes.get(); }
    [[nodiscard]] QByteArray label() const {
        QByteArray label(TokenStoreSchema::label);
        if (!m_origin.isEmpty())
            label += " (" + m_origin + ")";
        return label;
    }

private:
    void insert(const char *name, const char *value) {
        g_hash_table_insert(m_attributes.get(), const_cast<char *>(name),
                            const_cast<char *>(value));
    }

    QByteArray m_origin;
    AttributesPtr m_attributes;
};

} // namespace

std::optional<QString> loadToken(const QString &origin) {
    const ItemKey key(origin);
    ErrorSlot error;
    const ValuePtr value(
        secret_password_lookupv_binary_sync(key.schema(), key.attributes(), nullptr, error.out()));
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

void saveToken(const QString &token, const QString &origin) {
    deleteToken(origin);
    const ItemKey key(origin);
    const QByteArray bytes = token.toUtf8();
    const ValuePtr value(secret_value_new(bytes.constData(), bytes.size(), "text/plain"));
    ErrorSlot error;
    secret_password_storev_binary_sync(key.schema(), key.attributes(), SECRET_COLLECTION_DEFAULT,
                                       key.label().constData(), value.get(), nullptr, error.out());
}

void deleteToken(const QString &origin) {
    const ItemKey key(origin);
    ErrorSlot error;
    secret_password_clearv_sync(key.schema(), key.attributes(), nullptr, error.out());
}

} // namespace AuthBridge

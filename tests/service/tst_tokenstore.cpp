// The token store against a real Secret Service (gnome-keyring in a private D-Bus session,
// started by the test's wrapper).

#include "TokenStoreSchema.h"

#include "AuthBridge.h"

#include <QDirIterator>
#include <QFile>
#include <QTest>

#include <memory>

namespace {

const QString devOrigin = QStringLiteral("http://127.0.0.1:8765");

struct ValueUnref {
    void operator()(SecretValue *value) const { secret_value_unref(value); }
};
struct ListFree {
    void operator()(GList *list) const { g_list_free_full(list, g_object_unref); }
};
struct HashTableUnref {
    void operator()(GHashTable *table) const { g_hash_table_unref(table); }
};

std::unique_ptr<GHashTable, HashTableUnref> itemAttributes() {
    std::unique_ptr<GHashTable, HashTableUnref> table(g_hash_table_new(g_str_hash, g_str_equal));
    g_hash_table_insert(table.get(), const_cast<char *>(TokenStoreSchema::serviceAttribute),
                        const_cast<char *>("Толвекс"));
    g_hash_table_insert(table.get(), const_cast<char *>(TokenStoreSchema::accountAttribute),
                        const_cast<char *>("Авторизация Telegram"));
    return table;
}

// Items for the service and account in the default collection, found as any other Secret
// Service client would find them; -1 without a default collection.
int storedItemCount() {
    std::unique_ptr<SecretService, decltype(&g_object_unref)> service(
        secret_service_get_sync(SECRET_SERVICE_NONE, nullptr, nullptr), g_object_unref);
    std::unique_ptr<SecretCollection, decltype(&g_object_unref)> collection(
        secret_collection_for_alias_sync(service.get(), SECRET_COLLECTION_DEFAULT,
                                         SECRET_COLLECTION_LOAD_ITEMS, nullptr, nullptr),
        g_object_unref);
    if (!collection)
        return -1;
    auto attributes = itemAttributes();
    std::unique_ptr<GList, ListFree> items(secret_collection_search_sync(
        collection.get(), nullptr, attributes.get(), SECRET_SEARCH_ALL, nullptr, nullptr));
    return static_cast<int>(g_list_length(items.get()));
}

// Writes raw bytes as the item's secret, bypassing the store's own encoding.
void storeRawBytes(const QByteArray &bytes) {
    AuthBridge::deleteToken();
    std::unique_ptr<SecretValue, ValueUnref> value(
        secret_value_new(bytes.constData(), bytes.size(), "text/plain"));
    QVERIFY(secret_password_store_binary_sync(
        TokenStoreSchema::schema(), SECRET_COLLECTION_DEFAULT, "test", value.get(), nullptr,
        nullptr, TokenStoreSchema::serviceAttribute, "Толвекс", TokenStoreSchema::accountAttribute,
        "Авторизация Telegram", nullptr));
}

} // namespace

class TokenStoreTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        // Never touch a developer's real keyring.
        QVERIFY2(qEnvironmentVariable("HOME").contains(QStringLiteral("tolvex-keyring.")),
                 "run through with-keyring.sh");
    }

    void init() {
        AuthBridge::deleteToken();
        AuthBridge::deleteToken(devOrigin);
    }

    void roundTrip_data() {
        QTest::addColumn<QString>("token");
        QTest::newRow("ascii") << QStringLiteral("eyJhbGciOiJIUzI1NiJ9.payload.sig");
        QTest::newRow("cyrillic and emoji") << QStringLiteral("токен-🔑-Ё");
        QTest::newRow("embedded nul") << QStringLiteral("a%1b").arg(QChar(0));
        QTest::newRow("empty is a value, not nothing") << QString();
    }
    void roundTrip() {
        QFETCH(QString, token);
        AuthBridge::saveToken(token);
        QCOMPARE(AuthBridge::loadToken(), std::optional<QString>(token));
    }

    void saveReplacesAndDeleteRemoves() {
        QCOMPARE(AuthBridge::loadToken(), std::nullopt);
        AuthBridge::saveToken(QStringLiteral("first"));
        AuthBridge::saveToken(QStringLiteral("second"));
        QCOMPARE(AuthBridge::loadToken(), std::optional<QString>(QStringLiteral("second")));
        QCOMPARE(storedItemCount(), 1);
        AuthBridge::deleteToken();
        QCOMPARE(AuthBridge::loadToken(), std::nullopt);
        QCOMPARE(storedItemCount(), 0);
        AuthBridge::deleteToken(); // nothing stored: still quiet
    }

    // A development build pointed at a local service must never read, send or remove the
    // released service's token, nor the other way round.
    void eachOriginSeesOnlyItsOwnToken() {
        AuthBridge::saveToken(QStringLiteral("released"));
        QCOMPARE(AuthBridge::loadToken(devOrigin), std::nullopt);

        AuthBridge::saveToken(QStringLiteral("dev"), devOrigin);
        QCOMPARE(AuthBridge::loadToken(), std::optional<QString>(QStringLiteral("released")));
        QCOMPARE(AuthBridge::loadToken(devOrigin), std::optional<QString>(QStringLiteral("dev")));
        QCOMPARE(AuthBridge::loadToken(QStringLiteral("http://127.0.0.1:9999")), std::nullopt);
        // Both items answer to the released names; the dev one adds its origin.
        QCOMPARE(storedItemCount(), 2);

        AuthBridge::deleteToken(devOrigin);
        QCOMPARE(AuthBridge::loadToken(), std::optional<QString>(QStringLiteral("released")));
        AuthBridge::saveToken(QStringLiteral("dev again"), devOrigin);
        AuthBridge::deleteToken();
        QCOMPARE(AuthBridge::loadToken(devOrigin),
                 std::optional<QString>(QStringLiteral("dev again")));
        QCOMPARE(AuthBridge::loadToken(), std::nullopt);
    }

    void invalidUtf8LoadsAsNothing_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("lone continuation byte") << QByteArray("ab\x80");
        QTest::newRow("overlong slash") << QByteArray("\xc0\xaf");
    }
    void invalidUtf8LoadsAsNothing() {
        QFETCH(QByteArray, bytes);
        storeRawBytes(bytes);
        QCOMPARE(storedItemCount(), 1);
        QCOMPARE(AuthBridge::loadToken(), std::nullopt);
    }

    void tokenNeverReachesTheDiskInPlainText() {
        const QByteArray token = "plain-text-canary-7f3a9c";
        AuthBridge::saveToken(QString::fromLatin1(token));
        QDirIterator it(qEnvironmentVariable("HOME"), QDir::Files | QDir::Hidden,
                        QDirIterator::Subdirectories);
        int files = 0;
        while (it.hasNext()) {
            QFile file(it.next());
            if (!file.open(QIODevice::ReadOnly))
                continue;
            ++files;
            QVERIFY2(!file.readAll().contains(token), qPrintable(file.fileName()));
        }
        QVERIFY(files > 0); // the keyring file itself is there, encrypted
    }
};

QTEST_GUILESS_MAIN(TokenStoreTest)
#include "tst_tokenstore.moc"

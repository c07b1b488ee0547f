#include "KeyringTokenStore.h"

#include "AuthBridge.h"

std::optional<QString> KeyringTokenStore::load() {
    return AuthBridge::loadToken();
}

void KeyringTokenStore::save(const QString &token) {
    AuthBridge::saveToken(token);
}

void KeyringTokenStore::remove() {
    AuthBridge::deleteToken();
}

#pragma once
// The token store on the Secret Service, through the service client's keyring item.

#include "TokenStore.h"

class KeyringTokenStore final : public TokenStore {
public:
    [[nodiscard]] std::optional<QString> load() override;
    void save(const QString &token) override;
    void remove() override;
};

#pragma once
// The token store on the Secret Service, through the service client's keyring item of one
// service origin.

#include "TokenStore.h"

class KeyringTokenStore final : public TokenStore {
public:
    // An empty origin is the released service's item.
    explicit KeyringTokenStore(QString origin);

    [[nodiscard]] QCoro::Task<std::optional<QString>> load() override;
    QCoro::Task<> save(QString token) override;
    QCoro::Task<> remove() override;

private:
    QString m_origin;
};

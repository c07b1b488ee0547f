#include "KeyringTokenStore.h"

#include "AuthBridge.h"

#include <QCoroFuture>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

namespace {

// The keyring's calls block for as long as the keyring takes: an unlock prompt, or a provider
// that does not answer (up to the D-Bus timeout). They run on a thread of their own, one at a
// time and in the order they were asked for, so a save always lands before a later removal.
// The pool is never destroyed: a keyring that does not answer must not hold up the exit.
QThreadPool &keyringThread() {
    static QThreadPool *const pool = [] {
        auto *created = new QThreadPool;
        created->setMaxThreadCount(1);
        return created;
    }();
    return *pool;
}

} // namespace

KeyringTokenStore::KeyringTokenStore(QString origin)
    : m_origin(std::move(origin)) {}

// Each operation copies what it needs before it waits: the store may be gone when it resumes.

QCoro::Task<std::optional<QString>> KeyringTokenStore::load() {
    QFuture<std::optional<QString>> loading =
        QtConcurrent::run(&keyringThread(), &AuthBridge::loadToken, m_origin);
    co_return co_await loading;
}

QCoro::Task<> KeyringTokenStore::save(QString token) {
    QFuture<void> saving =
        QtConcurrent::run(&keyringThread(), &AuthBridge::saveToken, std::move(token), m_origin);
    co_await saving;
}

QCoro::Task<> KeyringTokenStore::remove() {
    QFuture<void> removing =
        QtConcurrent::run(&keyringThread(), &AuthBridge::deleteToken, m_origin);
    co_await removing;
}

// The reference service's store: a state file that keeps tokens only as hashes and survives a
// crash in the middle of a write and a failed write, and a table of sign-in attempts that a
// loop of sign-in starts cannot grow.

#include "AtomicFile.h"
#include "DevStore.h"

#include <QTemporaryDir>
#include <QTest>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace {

std::string readAll(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeAll(const fs::path &path, const std::string &content) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

// A full sign-in for this name; returns the token.
std::string signIn(DevStore &store, const std::string &firstName) {
    const std::string nonce = store.startLogin(std::chrono::seconds(60)).value();
    if (store.confirmLogin(nonce, firstName) != DevStore::ConfirmOutcome::ok)
        return {};
    return store.pollLogin(nonce, 0).token;
}

} // namespace

class TestDevStore : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    fs::path folder() const { return fs::path(m_dir.path().toStdString()) / "data"; }

private slots:
    void init() { fs::remove_all(folder()); }

    void crashMidWriteLeavesThePreviousState() {
        std::string token;
        {
            DevStore store(folder());
            token = signIn(store, "Анна");
            store.createMeeting(store.userForToken(token)->id);
        }
        const fs::path state = folder() / "state.json";
        const std::string whole = readAll(state);
        QVERIFY(whole.find(token) == std::string::npos);
        // What a crash in the middle of the next write, and of an upload, leaves behind.
        writeAll(AtomicFile::temporaryPath(state), whole.substr(0, whole.size() / 2));
        writeAll(folder() / "audio" / ".upload-abc123", "half an upload");

        DevStore reopened(folder());
        QVERIFY(!fs::exists(folder() / "audio" / ".upload-abc123"));
        const std::optional<DevUser> user = reopened.userForToken(token);
        QVERIFY(user && user->firstName == "Анна");
        QCOMPARE(reopened.meetings().size(), std::size_t{1});
        // Ids go on where they stopped.
        QCOMPARE(reopened.createMeeting(user->id).id, std::int64_t{2});
        QCOMPARE(DevStore(folder()).meetings().size(), std::size_t{2});
    }

    void failedWriteChangesNothing() {
        DevStore store(folder());
        const std::int64_t userId = store.userForToken(signIn(store, "Анна"))->id;
        store.createMeeting(userId);
        const std::string before = readAll(store.stateFile());

        // A folder where the temporary file must go makes every write fail.
        const fs::path blocker = AtomicFile::temporaryPath(store.stateFile());
        fs::create_directory(blocker);
        QVERIFY_THROWS_EXCEPTION(std::system_error, store.createMeeting(userId));
        QCOMPARE(readAll(store.stateFile()), before);
        QCOMPARE(store.meetings().size(), std::size_t{1});
        fs::remove(blocker);
        QCOMPARE(store.createMeeting(userId).id, std::int64_t{2});

        // A state file it cannot read stops the service instead of being overwritten.
        writeAll(store.stateFile(), "{ broken");
        QVERIFY_THROWS_EXCEPTION(DevStore::LoadError, DevStore{folder()});
        QCOMPARE(readAll(store.stateFile()), std::string("{ broken"));
    }

    // 100,000 starts: expired attempts are dropped; open ones are at most kMaxLogins, and the
    // starts past them are refused while the attempts already open stay.
    void signInAttemptsAreBounded() {
        DevStore store(folder());
        for (int i = 0; i < 100'000; ++i)
            QVERIFY(store.startLogin(std::chrono::seconds(0)));
        QVERIFY(store.loginsHeld() <= 1);

        const std::string first = store.startLogin(std::chrono::seconds(60)).value();
        int opened = 1;
        // Stops early once over the bound: an unbounded table is also quadratic to sweep.
        for (int i = 0; i < 100'000 && opened <= static_cast<int>(DevStore::kMaxLogins); ++i)
            opened += store.startLogin(std::chrono::seconds(60)) ? 1 : 0;
        QCOMPARE(static_cast<std::size_t>(opened), DevStore::kMaxLogins);
        QCOMPARE(store.loginsHeld(), DevStore::kMaxLogins);
        QCOMPARE(store.loginState(first), DevStore::ConfirmOutcome::ok);
    }
};

QTEST_GUILESS_MAIN(TestDevStore)
#include "tst_devstore.moc"

// The reference service's store: sign-in attempts, tokens kept as hashes, meetings, and a
// state file that survives a restart, a crash in the middle of a write and a failed write.

#include "AtomicFile.h"
#include "DevStore.h"
#include "Secrets.h"

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
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

// A full sign-in for this name; returns the token.
std::string signIn(DevStore &store, const std::string &firstName) {
    const std::string nonce = store.startLogin(std::chrono::seconds(60));
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
    void init() {
        std::error_code ignored;
        fs::remove_all(folder(), ignored);
    }

    void signInGoesFromPendingToOneTokenStoredAsAHash() {
        DevStore store(folder());
        const std::string nonce = store.startLogin(std::chrono::seconds(60));
        QCOMPARE(nonce.size(), std::size_t{32});
        QVERIFY(nonce != store.startLogin(std::chrono::seconds(60)));
        QCOMPARE(store.pollLogin(nonce, 0).outcome, DevStore::PollOutcome::pending);
        QCOMPARE(store.loginState(nonce), DevStore::ConfirmOutcome::ok);
        QCOMPARE(store.confirmLogin(nonce, "Анна"), DevStore::ConfirmOutcome::ok);
        QCOMPARE(store.confirmLogin(nonce, "Анна"), DevStore::ConfirmOutcome::alreadyConfirmed);
        const DevStore::PollResult result = store.pollLogin(nonce, 0);
        QCOMPARE(result.outcome, DevStore::PollOutcome::ok);
        QCOMPARE(result.token.size(), std::size_t{64});
        const std::string state = readAll(store.stateFile());
        QVERIFY(state.find(result.token) == std::string::npos);
        QVERIFY(state.find(Secrets::sha256Hex(result.token)) != std::string::npos);
        const std::optional<DevUser> user = store.userForToken(result.token);
        QVERIFY(user);
        QCOMPARE(user->firstName, std::string("Анна"));
        // The token is handed out once.
        QCOMPARE(store.pollLogin(nonce, 0).outcome, DevStore::PollOutcome::expired);
        QCOMPARE(store.pollLogin("0123", 0).outcome, DevStore::PollOutcome::unknown);
        QCOMPARE(store.confirmLogin("0123", "Анна"), DevStore::ConfirmOutcome::unknown);
        QVERIFY(!store.userForToken(result.token + "0"));
        QVERIFY(!store.userForToken(""));
    }

    void usersAreToldApartByName() {
        DevStore store(folder());
        const auto anna = store.userForToken(signIn(store, "Анна"));
        const auto boris = store.userForToken(signIn(store, "Борис"));
        const auto annaAgain = store.userForToken(signIn(store, "Анна"));
        QVERIFY(anna && boris && annaAgain);
        QVERIFY(anna->id != boris->id);
        QCOMPARE(annaAgain->id, anna->id);
    }

    void stateSurvivesARestartThatClearsLeftoverUploads() {
        std::string token;
        std::int64_t firstMeeting = 0;
        {
            DevStore store(folder());
            token = signIn(store, "Анна");
            firstMeeting = store.createMeeting(store.userForToken(token)->id).id;
            store.setAudio(firstMeeting,
                           MeetingAudio{1234, 1700000000, Waveform(2.5, {0, 500, 1000})});
        }
        // What an upload cut off by the stop leaves behind.
        const fs::path leftover = folder() / "audio" / ".upload-abc123";
        writeAll(leftover, "half an upload");
        DevStore reopened(folder());
        QVERIFY(!fs::exists(leftover));
        const std::optional<DevUser> user = reopened.userForToken(token);
        QVERIFY(user);
        QCOMPARE(user->firstName, std::string("Анна"));
        const std::optional<Meeting> meeting = reopened.meeting(firstMeeting);
        QVERIFY(meeting && meeting->audio);
        QCOMPARE(meeting->userId, user->id);
        QCOMPARE(meeting->audio->size, std::uint64_t{1234});
        QCOMPARE(meeting->audio->waveform.durationSeconds(), 2.5);
        QCOMPARE(meeting->audio->waveform.peaks(), (std::vector<int>{0, 500, 1000}));
        // Ids go on where they stopped, they do not start over.
        QVERIFY(reopened.createMeeting(user->id).id > firstMeeting);
    }

    void halfWrittenTemporaryFileLeavesThePreviousState() {
        std::string token;
        {
            DevStore store(folder());
            token = signIn(store, "Анна");
            store.createMeeting(store.userForToken(token)->id);
        }
        // What a crash in the middle of the next write leaves behind.
        const fs::path state = fs::path(folder()) / "state.json";
        const std::string whole = readAll(state);
        writeAll(AtomicFile::temporaryPath(state), whole.substr(0, whole.size() / 2));

        DevStore reopened(folder());
        QVERIFY(reopened.userForToken(token));
        QCOMPARE(reopened.meetings().size(), std::size_t{1});
        reopened.createMeeting(reopened.userForToken(token)->id);
        QCOMPARE(DevStore(folder()).meetings().size(), std::size_t{2});
    }

    void failedWriteChangesNothing() {
        DevStore store(folder());
        const std::string token = signIn(store, "Анна");
        const std::int64_t userId = store.userForToken(token)->id;
        store.createMeeting(userId);
        const std::string before = readAll(store.stateFile());

        // A folder where the temporary file must go makes every write fail.
        const fs::path blocker = AtomicFile::temporaryPath(store.stateFile());
        fs::create_directory(blocker);
        QVERIFY_THROWS_EXCEPTION(std::system_error, store.createMeeting(userId));
        QCOMPARE(readAll(store.stateFile()), before);
        QCOMPARE(store.meetings().size(), std::size_t{1});
        QCOMPARE(DevStore(folder()).meetings().size(), std::size_t{1});

        fs::remove(blocker);
        const Meeting next = store.createMeeting(userId);
        QCOMPARE(next.id, std::int64_t{2});
        QCOMPARE(DevStore(folder()).meetings().size(), std::size_t{2});
    }
};

QTEST_GUILESS_MAIN(TestDevStore)
#include "tst_devstore.moc"

#pragma once
// Stand-ins for the token store and the link opener, and a scripted service on loopback.

#include "LinkOpener.h"
#include "TestHttpServer.h"
#include "TokenStore.h"

#include <QCoroTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QUrl>

#include <deque>
#include <mutex>

// Takes effect in the order called, as the keyring's store does, however long a save takes.
struct MemoryTokenStore final : TokenStore {
    std::optional<QString> token;
    int saves = 0;
    std::chrono::milliseconds saveDelay{0};
    int calls = 0;

    explicit MemoryTokenStore(std::optional<QString> stored)
        : token(std::move(stored)) {}
    QCoro::Task<std::optional<QString>> load() override {
        // A copy: QCoro 0.8 moves from whatever co_return names, a member included.
        std::optional<QString> stored = token;
        co_return stored;
    }
    QCoro::Task<> save(QString value) override {
        ++saves;
        const int mine = ++calls;
        if (saveDelay.count() > 0)
            co_await QCoro::sleepFor(saveDelay);
        if (mine == calls)
            token = std::move(value);
    }
    QCoro::Task<> remove() override {
        ++calls;
        token.reset();
        co_return;
    }
};

struct RecordingLinkOpener final : LinkOpener {
    QList<QUrl> opened;
    bool open(const QUrl &url) override {
        opened.append(url);
        return true;
    }
};

namespace answers {

inline TestAnswer json(const QJsonObject &object, int status = 200) {
    return TestAnswer::json(status, QJsonDocument(object).toJson(QJsonDocument::Compact));
}

inline TestAnswer
start(const QString &nonce, qint64 expiresInSeconds,
      const QString &botUrl = QStringLiteral("https://t.me/ExampleBot?start=s1")) {
    return json({{"nonce", nonce}, {"bot_url", botUrl}, {"expires_in_seconds", expiresInSeconds}});
}

inline TestAnswer pending() {
    return json({{"status", "pending"}});
}

inline TestAnswer token(const QString &token) {
    return json({{"status", "ok"}, {"token", token}});
}

inline TestAnswer profile(qint64 id, const QString &firstName) {
    return json({{"user_id", id}, {"first_name", firstName}});
}

inline TestAnswer meeting(qint64 id) {
    return json({{"id", id}, {"status", "created"}});
}

inline TestAnswer notJson(int status) {
    return {.status = status, .body = "<html>server error</html>"};
}

// The same answer, given only after `delay`.
inline TestAnswer after(std::chrono::milliseconds delay, TestAnswer answer) {
    answer.delay = delay;
    return answer;
}

} // namespace answers

// Answers by endpoint, safe to change from the test thread while the server threads read it.
class ServiceScript {
public:
    void pushStart(TestAnswer answer) { push(m_starts, std::move(answer)); }
    void pushPoll(TestAnswer answer) { push(m_polls, std::move(answer)); }
    // Meetings get ids 101, 102... unless an answer is pushed; uploads get 201.
    void pushMeeting(TestAnswer answer) { push(m_meetings, std::move(answer)); }
    void pushUpload(TestAnswer answer) { push(m_uploads, std::move(answer)); }
    void clearUploads() {
        std::lock_guard lock(m_mutex);
        m_uploads.clear();
    }
    void setProfile(TestAnswer answer) {
        std::lock_guard lock(m_mutex);
        m_profile = std::move(answer);
    }

    TestAnswer answer(const RecordedRequest &request) {
        std::lock_guard lock(m_mutex);
        if (request.target.endsWith("/auth/app-login/start"))
            return next(m_starts, answers::notJson(500));
        if (request.target.contains("/auth/app-login/poll/"))
            return next(m_polls, answers::pending());
        if (request.method == "POST" && request.target.endsWith("/meetings"))
            return next(m_meetings, answers::meeting(++m_lastMeetingId));
        if (request.method == "POST" && request.target.endsWith("/audio"))
            return next(m_uploads, answers::json({{"status", "uploaded"}}, 201));
        return request.target.endsWith("/auth/me") ? m_profile : answers::notJson(404);
    }

private:
    void push(std::deque<TestAnswer> &queue, TestAnswer answer) {
        std::lock_guard lock(m_mutex);
        queue.push_back(std::move(answer));
    }
    static TestAnswer next(std::deque<TestAnswer> &queue, TestAnswer otherwise) {
        if (queue.empty())
            return otherwise;
        TestAnswer answer = std::move(queue.front());
        queue.pop_front();
        return answer;
    }

    std::mutex m_mutex;
    std::deque<TestAnswer> m_starts;
    std::deque<TestAnswer> m_polls;
    std::deque<TestAnswer> m_meetings;
    std::deque<TestAnswer> m_uploads;
    qint64 m_lastMeetingId = 100;
    TestAnswer m_profile = answers::profile(7, QStringLiteral("Анна"));
};

inline QList<RecordedRequest> requestsTo(const TestHttpServer &server, const QByteArray &pathPart) {
    QList<RecordedRequest> matching;
    for (const RecordedRequest &request : server.requests()) {
        if (request.target.contains(pathPart))
            matching.append(request);
    }
    return matching;
}

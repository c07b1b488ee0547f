#include "UnsentQueue.h"

#include "RecordingDelivery.h"

#include <QNetworkInformation>
#include <QPointer>

#include <algorithm>
#include <memory>
#include <utility>

UnsentQueue::UnsentQueue(SignInFlow &signIn, Recorder &recorder, ArchiveSource archive,
                         Teller teller, std::chrono::milliseconds firstPause, QObject *parent)
    : QObject(parent)
    , m_signIn(signIn)
    , m_recorder(recorder)
    , m_archive(std::move(archive))
    , m_teller(std::move(teller))
    , m_firstPause(firstPause)
    , m_pause(firstPause) {
    m_pauseTimer.setSingleShot(true);
    connect(&m_pauseTimer, &QTimer::timeout, this, [this] {
        if (m_state == State::pausing) {
            setState(State::idle);
            sendSoon();
        }
    });
    // Without a backend (no NetworkManager) the pauses alone bring the next try.
    if (QNetworkInformation::loadBackendByFeatures(QNetworkInformation::Feature::Reachability)) {
        connect(QNetworkInformation::instance(), &QNetworkInformation::reachabilityChanged, this,
                [this](QNetworkInformation::Reachability reachability) {
                    if (reachability == QNetworkInformation::Reachability::Online)
                        sendNow();
                });
    }
}

void UnsentQueue::setState(State state) {
    const bool wasLooking = m_state == State::looking;
    m_state = state;
    if (state != State::pausing)
        m_pauseTimer.stop();
    if (wasLooking != (state == State::looking))
        emit lookingChanged();
}

void UnsentQueue::sendSoon() {
    switch (m_state) {
    case State::idle:
        if (!m_stopRequested)
            sendAll();
        return;
    case State::looking:
    case State::sending:
        m_again = true;
        return;
    case State::pausing:
        recount();
        return;
    case State::stopped:
        return;
    }
}

void UnsentQueue::sendNow() {
    if (m_state == State::pausing) {
        m_pause = m_firstPause;
        setState(State::idle);
    }
    sendSoon();
}

void UnsentQueue::setHeld(const QString &recordingId) {
    if (m_held == recordingId)
        return;
    m_held = recordingId;
    recount();
}

void UnsentQueue::stop() {
    // A mix under way finishes writing first; the round ends after it.
    m_stopRequested = true;
    if (m_state != State::looking)
        setState(State::stopped);
}

void UnsentQueue::recount() {
    int count = 0;
    const std::optional<UserProfileVM> &profile = m_signIn.profile();
    if (const std::optional<RecordingArchive> archive = profile ? m_archive() : std::nullopt) {
        const UnsentRecordings::Owner owner{m_signIn.apiBaseURL(), profile->id};
        for (const auto &found : archive->unfinished(RecordingArchive::Look::only)) {
            const bool delivered =
                found.manifest && found.manifest->stage == RecordingManifest::Stage::delivered;
            const bool others =
                found.manifest && !UnsentRecordings::isOwnRecording(*found.manifest, owner);
            if (found.id != m_held && !delivered && !others)
                ++count;
        }
    }
    if (count != m_count) {
        m_count = count;
        emit countChanged();
    }
}

QCoro::Task<> UnsentQueue::sendAll() {
    // Nearly always nothing waits: then nobody hears of a look either.
    if (const std::optional<RecordingArchive> archive = m_archive();
        !archive || !archive->holdsFiles()) {
        recount();
        co_return;
    }
    QPointer<UnsentQueue> self(this);
    // Recordings not to be looked at again in this round.
    QSet<QString> passed;
    m_again = false;
    for (;;) {
        setState(State::looking);
        QCoro::Task<Try> trying = sendOldest(passed);
        const Try tried = co_await std::move(trying);
        if (!self || m_state == State::stopped)
            co_return;
        if (m_stopRequested) {
            setState(State::stopped);
            co_return;
        }
        recount();
        switch (tried) {
        case Try::delivered:
            m_pause = m_firstPause;
            continue;
        case Try::passedBy:
            continue;
        case Try::failed:
            setState(State::pausing);
            m_pauseTimer.start(m_pause);
            m_pause = std::min(m_pause * 2, std::chrono::milliseconds(longestPause));
            co_return;
        case Try::nothingLeft:
            if (m_again) {
                // Asked again meanwhile: what was passed by may go now.
                m_again = false;
                passed.clear();
                continue;
            }
            setState(State::idle);
            co_return;
        case Try::cannotSend:
            setState(State::idle);
            co_return;
        }
    }
}

QCoro::Task<UnsentQueue::Try> UnsentQueue::sendOldest(QSet<QString> &passed) {
    const std::optional<QString> token = m_signIn.authToken();
    const std::optional<UserProfileVM> profile = m_signIn.profile();
    std::optional<RecordingArchive> archive = m_archive();
    if (!token || !profile || !archive)
        co_return Try::cannotSend;
    QPointer<UnsentQueue> self(this);
    const QString baseUrl = m_signIn.apiBaseURL();
    UnsentRecordings unsent(std::move(*archive), m_recorder);
    QCoro::Task<std::optional<UnsentRecordings::Offer>> taking =
        unsent.takeOldest({baseUrl, profile->id}, QPointer<QObject>(this), passed);
    std::optional<UnsentRecordings::Offer> offer = co_await std::move(taking);
    if (!self || !offer)
        co_return Try::nothingLeft;
    const QString id = offer->recording->manifest().id;
    passed.insert(id);
    if (offer->audio.loss != RecordedAudio::Loss::none && !m_told.contains(id)) {
        if (m_teller(*offer))
            co_return Try::passedBy;
        // Written down as found, for the next look.
        offer->recording->mixed(offer->audio);
        co_return Try::passedBy;
    }
    offer->recording->mixed(offer->audio);
    if (offer->audio.filePath.isEmpty())
        co_return Try::passedBy;

    if (m_stopRequested)
        co_return Try::cannotSend;
    setState(State::sending);
    const std::unique_ptr<RecordingOnDisk> recording = std::move(offer->recording);
    QCoro::Task<std::optional<StepFailure>> delivering =
        RecordingDelivery::deliver(*recording, baseUrl, *token, {}, QPointer<QObject>(this));
    const std::optional<StepFailure> failure = co_await std::move(delivering);
    if (!self)
        co_return Try::cannotSend;
    if (!failure)
        co_return Try::delivered;
    // A refused token is the sign-in's to find out: the next upload or launch tells the user.
    co_return failure->tokenRefused ? Try::cannotSend : Try::failed;
}

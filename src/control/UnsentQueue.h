#pragma once
// Recordings that wait on disk for the service, sent by themselves one at a time, oldest
// first: at launch, when the network comes back, after each upload that got through, and when
// the user asks; after a failed try, again once a pause has passed that doubles with each
// failure, up to ten minutes. A recording that lost audio goes only once the user was told.

#include "Recorder.h"
#include "RecordingArchive.h"
#include "SignInFlow.h"
#include "UnsentRecordings.h"

#include <QCoroTask>
#include <QObject>
#include <QSet>
#include <QString>
#include <QTimer>

#include <chrono>
#include <functional>
#include <optional>

class UnsentQueue : public QObject {
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds productionFirstPause{std::chrono::seconds(30)};
    static constexpr std::chrono::milliseconds longestPause{std::chrono::minutes(10)};

    // The recordings folder, or nothing when there is none to be had.
    using ArchiveSource = std::function<std::optional<RecordingArchive>()>;
    // Shows a recording whose loss the user has not heard of yet; false when it cannot be
    // shown now (the user is busy with another), and the queue passes it by for the moment.
    using Teller = std::function<bool(UnsentRecordings::Offer &offer)>;

    UnsentQueue(SignInFlow &signIn, Recorder &recorder, ArchiveSource archive, Teller teller,
                std::chrono::milliseconds firstPause, QObject *parent = nullptr);

    // Own recordings waiting on disk, but for the one the recording flow holds.
    [[nodiscard]] int count() const noexcept { return m_count; }
    // Whether it is looking for the next recording, which may mean mixing one's parts: a quit
    // waits for that to end.
    [[nodiscard]] bool isLooking() const noexcept { return m_state == State::looking; }

    // A try, unless one is under way (which then looks once more when done) or a failed try's
    // pause runs.
    void sendSoon();
    // A try now, whatever pause runs: the network came back, an upload got through, or the
    // user asked.
    void sendNow();
    // The recording the flow holds (recording, or shown on the error screen): not the
    // queue's, and not counted. Empty when it holds none.
    void setHeld(const QString &recordingId);
    // The user was told what the recording lost: it may go without another word.
    void markTold(const QString &recordingId) { m_told.insert(recordingId); }
    // The program is on its way out: nothing new starts.
    void stop();
    // Counts again what waits.
    void recount();

signals:
    void countChanged();
    void lookingChanged();

private:
    // Only setState() changes it.
    enum class State { idle, looking, sending, pausing, stopped };
    // How the try of the oldest recording went.
    enum class Try {
        delivered,
        passedBy,    // not to be sent now: its loss is untold, or its parts would not mix
        nothingLeft, // every recording was tried
        failed,      // the service could not be reached, or refused the audio
        cannotSend,  // signed out, the token refused, no folder: until the next call
    };

    void setState(State state);
    QCoro::Task<> sendAll();
    QCoro::Task<Try> sendOldest(QSet<QString> &passed);

    SignInFlow &m_signIn;
    Recorder &m_recorder;
    ArchiveSource m_archive;
    Teller m_teller;
    std::chrono::milliseconds m_firstPause;
    std::chrono::milliseconds m_pause;
    State m_state = State::idle;
    // A try was asked for while one ran.
    bool m_again = false;
    bool m_stopRequested = false;
    QTimer m_pauseTimer;
    QString m_held;
    QSet<QString> m_told;
    int m_count = 0;
};

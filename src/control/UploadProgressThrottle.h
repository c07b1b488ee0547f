#pragma once
// How far an upload has come, for the screens. Progress reports come as fast as the network
// goes; the screens hear of them at most once per interval, and always of the last one.

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <chrono>

class UploadProgressThrottle : public QObject {
    Q_OBJECT

public:
    // While the recorder finishes and mixes, before the upload knows its size.
    static constexpr double unknownProgress = -1.0;
    static constexpr std::chrono::milliseconds interval{50};

    explicit UploadProgressThrottle(QObject *parent = nullptr);

    [[nodiscard]] double value() const noexcept { return m_value; }
    // The start, the end and the unknown are announced at once; the rest as the interval lets.
    void set(double value);

signals:
    void changed();

private:
    void announce();

    double m_value = unknownProgress;
    QElapsedTimer m_sinceAnnounced;
    QTimer m_announcer;
};

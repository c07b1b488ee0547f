#pragma once
// The names of one recording's files, all carrying its id (an upper-case UUID) so they can be
// found together after a crash: the part files "sys_<id>.m4a" and "mic_<id>.m4a", the mix made
// while recording "live_<id>.m4a", the mix "<id>.m4a", the manifest "<id>.json" and the lock
// "<id>.lock". Names only: nothing here touches the disk.

#include <QString>

#include <optional>

class RecordingFiles {
public:
    enum class Kind {
        systemPart,
        microphonePart,
        liveMix,
        mix,
        manifest,
        // A manifest write that a crash cut short: QSaveFile's temporary "<id>.json.XXXXXX".
        manifestDraft,
        lock,
    };
    struct Name {
        Kind kind;
        QString id;
    };

    // The files of recording `id` in `folder`.
    RecordingFiles(QString folder, QString id);

    [[nodiscard]] static QString newId();
    // Whether a text is a well-formed recording id, and so safe to put in a file name.
    [[nodiscard]] static bool isId(const QString &text);
    // What a plain file name says about the recording it belongs to; nothing for a name of
    // any other shape, one with a path in it included.
    [[nodiscard]] static std::optional<Name> parse(const QString &fileName);
    // The plain file name of each kind but manifestDraft, which QSaveFile names itself.
    [[nodiscard]] static QString fileName(Kind kind, const QString &id);
    // Where the mix of a part file goes: "<folder>/sys_<id>.m4a" gives "<folder>/<id>.m4a"; a
    // file named otherwise gives a fresh recording's mix in the same folder.
    [[nodiscard]] static QString mixFor(const QString &partPath);

    [[nodiscard]] const QString &folder() const noexcept { return m_folder; }
    [[nodiscard]] const QString &id() const noexcept { return m_id; }
    [[nodiscard]] QString path(Kind kind) const;
    [[nodiscard]] QString systemPart() const { return path(Kind::systemPart); }
    [[nodiscard]] QString microphonePart() const { return path(Kind::microphonePart); }
    [[nodiscard]] QString liveMix() const { return path(Kind::liveMix); }
    [[nodiscard]] QString mix() const { return path(Kind::mix); }
    [[nodiscard]] QString manifest() const { return path(Kind::manifest); }
    [[nodiscard]] QString lock() const { return path(Kind::lock); }

private:
    QString m_folder;
    QString m_id;
};

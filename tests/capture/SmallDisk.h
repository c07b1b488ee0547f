#pragma once
// A small file system of its own (a tmpfs) as the user's data directory (where recordings live),
// for as long as the object lives, so a test can fill it up or run it out of files. Mounting needs
// root.

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

#include <algorithm>

class SmallDisk {
public:
    // `options` as mount(8) takes them for tmpfs, e.g. "size=1m" or "size=1m,nr_inodes=3".
    explicit SmallDisk(const QString &options)
        : m_savedDataHome(qgetenv("XDG_DATA_HOME")) {
        m_mounted = ::geteuid() == 0 && m_folder.isValid() &&
                    run({"-t", "tmpfs", "-o", options, "tmpfs", m_folder.path()});
        if (m_mounted)
            qputenv("XDG_DATA_HOME", QFile::encodeName(m_folder.path()));
    }
    ~SmallDisk() {
        qputenv("XDG_DATA_HOME", m_savedDataHome);
        if (m_mounted)
            QProcess::execute(QStringLiteral("umount"), {m_folder.path()});
    }
    SmallDisk(const SmallDisk &) = delete;
    SmallDisk &operator=(const SmallDisk &) = delete;

    [[nodiscard]] static bool possible() { return ::geteuid() == 0; }
    [[nodiscard]] bool mounted() const { return m_mounted; }
    [[nodiscard]] QString path() const { return m_folder.path(); }
    // Changes the mount's options in place, e.g. "ro", "rw", "nr_inodes=100".
    bool remount(const QString &options) {
        return run({"-o", QStringLiteral("remount,") + options, m_folder.path()});
    }

    // Fills the file system with one file up to `room` free bytes; removeFiller() frees it.
    bool fill(qint64 room) {
        QFile file(fillerPath());
        if (!file.open(QIODevice::WriteOnly))
            return false;
        const QByteArray block(64 * 1024, 'f');
        while (file.write(block) == block.size() && file.flush()) {
        }
        file.close();
        return file.resize(std::max<qint64>(0, file.size() - room));
    }
    bool removeFiller() { return QFile::remove(fillerPath()); }

private:
    [[nodiscard]] QString fillerPath() const { return m_folder.path() + QStringLiteral("/filler"); }

    static bool run(const QStringList &mountArguments) {
        QProcess mount;
        mount.start(QStringLiteral("mount"), mountArguments);
        return mount.waitForFinished(60000) && mount.exitStatus() == QProcess::NormalExit &&
               mount.exitCode() == 0;
    }

    QByteArray m_savedDataHome;
    QTemporaryDir m_folder;
    bool m_mounted = false;
};

#define SKIP_WITHOUT_SMALL_DISK()                                                                  \
    if (!SmallDisk::possible())                                                                    \
    QSKIP("mounting a small file system needs root")

#pragma once
// Real AAC/M4A recordings for the tests, made by the ffmpeg tool from a lavfi source.

#include <QProcess>
#include <QString>
#include <QStringList>

// True when ffmpeg wrote `path`.
inline bool encodeTone(const QString &path, const QString &lavfiSource) {
    QProcess ffmpeg;
    ffmpeg.start(QStringLiteral("ffmpeg"),
                 {QStringLiteral("-nostdin"), QStringLiteral("-loglevel"), QStringLiteral("error"),
                  QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"), lavfiSource,
                  QStringLiteral("-c:a"), QStringLiteral("aac"), QStringLiteral("-b:a"),
                  QStringLiteral("128k"), QStringLiteral("-y"), path});
    return ffmpeg.waitForFinished(60000) && ffmpeg.exitStatus() == QProcess::NormalExit &&
           ffmpeg.exitCode() == 0;
}

#include "XdgSchemeHandler.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QStringList>
#include <QTextStream>

namespace {

// Whether a key=value file names the type: in the given groups when any are given, and, for a
// desktop file, as one of the items of its MimeType list.
bool fileNames(const QString &path, const QString &type, const QStringList &groups) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return false;
    QTextStream in(&file);
    QString group;
    while (!in.atEnd()) {
        const QString line = in.readLine().trimmed();
        if (line.startsWith(u'[')) {
            group = line;
            continue;
        }
        if (!groups.isEmpty() && !groups.contains(group))
            continue;
        const qsizetype equals = line.indexOf(u'=');
        if (equals < 0)
            continue;
        const QString key = line.left(equals).trimmed();
        const QString value = line.mid(equals + 1).trimmed();
        if (key == type && !value.isEmpty())
            return true;
        if (key == QLatin1String("MimeType") && value.split(u';').contains(type))
            return true;
    }
    return false;
}

} // namespace

bool hasXdgSchemeHandler(const QString &scheme) {
    const QString type = QStringLiteral("x-scheme-handler/") + scheme;
    const QStringList associations{QStringLiteral("[Default Applications]"),
                                   QStringLiteral("[Added Associations]")};
    QStringList lists;
    for (const QString &dir :
         QStandardPaths::standardLocations(QStandardPaths::GenericConfigLocation))
        lists << dir + QStringLiteral("/mimeapps.list");
    const QStringList applications =
        QStandardPaths::standardLocations(QStandardPaths::ApplicationsLocation);
    for (const QString &dir : applications)
        lists << dir + QStringLiteral("/mimeapps.list");
    for (const QString &list : std::as_const(lists)) {
        if (fileNames(list, type, associations))
            return true;
    }
    for (const QString &dir : applications) {
        if (fileNames(dir + QStringLiteral("/mimeinfo.cache"), type,
                      {QStringLiteral("[MIME Cache]")}))
            return true;
        const QStringList desktopFiles =
            QDir(dir).entryList({QStringLiteral("*.desktop")}, QDir::Files | QDir::Readable);
        for (const QString &name : desktopFiles) {
            if (fileNames(dir + u'/' + name, type, {QStringLiteral("[Desktop Entry]")}))
                return true;
        }
    }
    return false;
}

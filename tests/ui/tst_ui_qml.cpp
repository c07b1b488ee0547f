// Runs the QML test cases in qml/ against the module as the program links it.

#include "TolvexUi.h"

#include <QQmlContext>
#include <QQmlEngine>
#include <QtQuickTest>

class Setup : public QObject {
    Q_OBJECT

public slots:
    void applicationAvailable() { TolvexUi::registerTypes(); }

    void qmlEngineAvailable(QQmlEngine *engine) {
        engine->addImportPath(QStringLiteral("qrc:/qt/qml"));
        engine->rootContext()->setContextProperty(QStringLiteral("expectedWebSiteUrl"),
                                                  QUrl(QStringLiteral(TOLVEX_TEST_WEB_SITE_URL)));
        engine->rootContext()->setContextProperty(QStringLiteral("expectedSupportUrl"),
                                                  QUrl(QStringLiteral(TOLVEX_TEST_SUPPORT_URL)));
    }
};

QUICK_TEST_MAIN_WITH_SETUP(ui_qml, Setup)

#include "tst_ui_qml.moc"

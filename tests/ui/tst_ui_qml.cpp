// Runs the QML test cases in qml/ against the module as the program links it.

#include "TolvexUi.h"

#include <QQmlEngine>
#include <QtQuickTest>

class Setup : public QObject {
    Q_OBJECT

public slots:
    void applicationAvailable() { TolvexUi::registerTypes(); }

    void qmlEngineAvailable(QQmlEngine *engine) {
        engine->addImportPath(QStringLiteral("qrc:/qt/qml"));
    }
};

QUICK_TEST_MAIN_WITH_SETUP(ui_qml, Setup)

#include "tst_ui_qml.moc"

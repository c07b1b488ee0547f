// Anchor: a plain Qt Quick tray program, made the obvious way: a QApplication with a
// QSystemTrayIcon, and a QQmlEngine with a small window loaded at start, hidden until the
// icon is clicked.

#include <QAction>
#include <QApplication>
#include <QIcon>
#include <QMenu>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickWindow>
#include <QSystemTrayIcon>

#include <cstdio>
#include <memory>

namespace {

// About what one screen of the program holds: a frame, a title, some text, a button.
const QByteArray windowQml = R"(
import QtQuick
import QtQuick.Layouts

Window {
    width: 300
    height: 220
    flags: Qt.Tool | Qt.FramelessWindowHint | Qt.WindowStaysOnTopHint
    color: "#111827"

    ColumnLayout {
        anchors.fill: parent
        anchors.margins: 16
        spacing: 12
        Text {
            text: "Толвекс"
            color: "white"
            font.pixelSize: 18
            font.bold: true
        }
        Text {
            Layout.fillWidth: true
            text: "Нажмите кнопку, чтобы начать запись встречи"
            color: "#9ca3af"
            wrapMode: Text.WordWrap
        }
        Rectangle {
            Layout.fillWidth: true
            Layout.preferredHeight: 44
            radius: 10
            color: area.pressed ? "#2f7a48" : "#3d9b5c"
            Text {
                anchors.centerIn: parent
                text: "Начать запись"
                color: "white"
            }
            MouseArea {
                id: area
                anchors.fill: parent
            }
        }
    }
}
)";

} // namespace

int main(int argc, char *argv[]) {
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);

    QQmlEngine engine;
    QQmlComponent component(&engine);
    component.setData(windowQml, QUrl(QStringLiteral("qrc:/anchor/Window.qml")));
    std::unique_ptr<QQuickWindow> window(qobject_cast<QQuickWindow *>(component.create()));
    if (!window) {
        std::fprintf(stderr, "%s\n", qPrintable(component.errorString()));
        return 1;
    }

    QMenu menu;
    QObject::connect(menu.addAction(QStringLiteral("Выйти")), &QAction::triggered, &application,
                     &QCoreApplication::quit);
    QSystemTrayIcon tray(QIcon(QStringLiteral(":/tolvex/BubbleIcon.svg")));
    tray.setContextMenu(&menu);
    QObject::connect(
        &tray, &QSystemTrayIcon::activated, [&](QSystemTrayIcon::ActivationReason why) {
            if (why != QSystemTrayIcon::Trigger && why != QSystemTrayIcon::DoubleClick) {
                return;
            }
            if (window->isVisible()) {
                window->hide();
                return;
            }
            const QRect icon = tray.geometry();
            window->setPosition(icon.right() - window->width(), icon.bottom() + 4);
            window->show();
            window->requestActivate();
        });
    tray.show();
    return QApplication::exec();
}

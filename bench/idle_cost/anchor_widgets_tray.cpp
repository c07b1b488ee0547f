// Anchor: the least a tray program can be with Qt, a QApplication with a QSystemTrayIcon and
// the same icon and menu as the program, nothing else.

#include <QAction>
#include <QApplication>
#include <QIcon>
#include <QMenu>
#include <QSystemTrayIcon>

int main(int argc, char *argv[]) {
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    QMenu menu;
    QObject::connect(menu.addAction(QStringLiteral("Выйти")), &QAction::triggered, &application,
                     &QCoreApplication::quit);
    QSystemTrayIcon tray(QIcon(QStringLiteral(":/tolvex/BubbleIcon.svg")));
    tray.setContextMenu(&menu);
    tray.show();
    return QApplication::exec();
}

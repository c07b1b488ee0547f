#include "NoTrayWindow.h"

#include <QCloseEvent>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

NoTrayWindow::NoTrayWindow(QWidget *parent)
    : QWidget(parent) {
    setWindowTitle(QStringLiteral("Толвекс"));
    auto *layout = new QVBoxLayout(this);
    auto *message = new QLabel(
        QStringLiteral("Не найдена системная область уведомлений (трей). Толвекс работает через "
                       "значок в трее: включите трей в настройках рабочего стола или расширение "
                       "AppIndicator в GNOME."),
        this);
    message->setWordWrap(true);
    message->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(message);
    auto *quit = new QPushButton(QStringLiteral("Выйти"), this);
    layout->addWidget(quit, 0, Qt::AlignRight);
    connect(quit, &QPushButton::clicked, this, &QWidget::close);
    setFixedWidth(420);
}

void NoTrayWindow::closeEvent(QCloseEvent *event) {
    event->accept();
    emit dismissed();
}

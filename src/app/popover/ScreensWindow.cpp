#include "ScreensWindow.h"

#include "AppViewModel.h"
#include "ProductName.h"
#include "ThemePalette.h"

#include <QKeyEvent>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickItem>

#include <cmath>
#include <memory>
#include <stdexcept>

ScreensWindow::ScreensWindow(QQmlEngine &engine, const QUrl &viewUrl, AppViewModel &viewModel) {
    setTitle(ProductName::display);
    setColor(ThemePalette::footerDark());

    QQmlComponent component(&engine, viewUrl, QQmlComponent::PreferSynchronous);
    // Creating from a component that failed to load crashes Qt 6.4: look first.
    if (!component.isReady()) {
        throw std::runtime_error("the popover's view cannot be loaded: " +
                                 component.errorString().toStdString());
    }
    // The program owns the view model; without this the engine may collect it as its own
    // when it goes, and the program would then delete it a second time.
    QQmlEngine::setObjectOwnership(&viewModel, QQmlEngine::CppOwnership);
    std::unique_ptr<QObject> root(component.createWithInitialProperties(
        {{QStringLiteral("vm"), QVariant::fromValue(&viewModel)}}));
    auto *item = qobject_cast<QQuickItem *>(root.get());
    if (item == nullptr) {
        throw std::runtime_error("the popover's view cannot be loaded: " +
                                 component.errorString().toStdString());
    }
    root.release();
    m_view = item;
    m_view->setParent(contentItem());
    m_view->setParentItem(contentItem());
    m_view->setWidth(popoverWidth);

    connect(m_view, &QQuickItem::implicitHeightChanged, this, &ScreensWindow::followViewHeight);
    followViewHeight();
}

ScreensWindow::~ScreensWindow() {
    // The view refers to the view model; it goes before the window's scene does.
    delete m_view;
}

bool ScreensWindow::event(QEvent *event) {
    if (event->type() == QEvent::KeyPress) {
        const auto *key = static_cast<QKeyEvent *>(event);
        if (key->key() == Qt::Key_Escape && key->modifiers() == Qt::NoModifier) {
            dismissByKey();
            return true;
        }
        if (key->key() == Qt::Key_Q && key->modifiers() == Qt::ControlModifier) {
            emit quitRequested();
            return true;
        }
    }
    return QQuickWindow::event(event);
}

void ScreensWindow::followViewHeight() {
    const qreal viewHeight = m_view ? m_view->implicitHeight() : 0.0;
    const int height = viewHeight > 0 ? static_cast<int>(std::ceil(viewHeight)) : fallbackHeight;
    if (m_view) {
        m_view->setHeight(height);
    }
    resize(popoverWidth, height);
    resizedToView();
}

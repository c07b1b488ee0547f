#include "TolvexUi.h"

#include "AppViewModel.h"
#include "MicLevelMonitor.h"

#include <QtQml/qqml.h>

namespace TolvexUi {

void registerTypes() {
    static const bool registered = [] {
        qmlRegisterUncreatableType<AppViewModel>(
            "Tolvex.Ui", 1, 0, "AppViewModel",
            QStringLiteral("The program makes the one AppViewModel and hands it to PopoverView"));
        qmlRegisterType<MicLevelMonitor>("Tolvex.Ui", 1, 0, "MicLevelMonitor");
        return true;
    }();
    Q_UNUSED(registered);
}

QUrl popoverViewUrl() {
    return QUrl(QStringLiteral("qrc:/qt/qml/Tolvex/Ui/PopoverView.qml"));
}

} // namespace TolvexUi

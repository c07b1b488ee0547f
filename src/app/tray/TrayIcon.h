#pragma once
// The program's icon in whichever tray the desktop has: our StatusNotifierItem where a
// StatusNotifierWatcher takes it, Qt's icon in an XEmbed tray otherwise. Which of them shows is
// the program's choice; this only carries out what it chooses.

#include "StatusNotifierItem.h"

#include <QObject>
#include <QRect>
#include <QStringList>
#include <QSystemTrayIcon>

#include <memory>

class QMenu;

class TrayIcon : public QObject {
    Q_OBJECT

public:
    // Puts the StatusNotifierItem with `menu` on the session bus at once; the XEmbed icon comes
    // with showInXEmbedTray().
    explicit TrayIcon(QMenu &menu, QObject *parent = nullptr);
    ~TrayIcon() override;

    // `shown` once a host shows the StatusNotifierItem.
    [[nodiscard]] StatusNotifierItem::Registration registration() const {
        return m_item.registration();
    }
    // An XEmbed tray runs and Qt's icon would go there.
    [[nodiscard]] bool xembedTrayAvailable() const;
    void showInXEmbedTray();
    void leaveXEmbedTray();
    // Where the XEmbed icon is; empty without one.
    [[nodiscard]] QRect xembedGeometry() const;

    // The recording mark.
    void setRecording(bool recording);
    // `lines` below the product's name; none leaves the name alone.
    void setToolTip(const QStringList &lines);

signals:
    // A left click on the icon; `anchor` is the icon's place as far as the tray tells it.
    void clicked(const QRect &anchor);
    // The menu was asked for at `anchor`.
    void menuAsked(const QRect &anchor);
    void registrationChanged();

private:
    QMenu &m_menu;
    StatusNotifierItem m_item;
    std::unique_ptr<QSystemTrayIcon> m_xembed;
    // Qt picks its tray kind once: where a StatusNotifierWatcher ran at that moment, its icon
    // would be a second StatusNotifierItem, not an XEmbed one.
    bool m_xembedUsable = false;
    bool m_recording = false;
    QStringList m_toolTip;
};

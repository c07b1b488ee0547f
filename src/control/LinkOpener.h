#pragma once
// Hands a link to the desktop, which picks the application that opens it.

#include <QUrl>

class LinkOpener {
public:
    virtual ~LinkOpener() = default;

    // False when no application could be started for the link (which says nothing about
    // whether the application then shows it).
    virtual bool open(const QUrl &url) = 0;
};

#pragma once
// Hands a link to the desktop, which picks the application that opens it.

#include <QUrl>

class LinkOpener {
public:
    virtual ~LinkOpener() = default;

    // Whether an application took the link is not reported: nobody acts on it.
    virtual void open(const QUrl &url) = 0;
};

#include "BearerToken.h"

bool isBearerToken(const QString &text) {
    qsizetype i = 0;
    for (; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        const bool plain = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') ||
                           (c >= u'0' && c <= u'9') || c == u'-' || c == u'.' || c == u'_' ||
                           c == u'~' || c == u'+' || c == u'/';
        if (!plain)
            break;
    }
    if (i == 0)
        return false;
    for (; i < text.size(); ++i) {
        if (text[i] != QLatin1Char('='))
            return false;
    }
    return true;
}

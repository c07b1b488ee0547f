#include "ThemePalette.h"

ThemePalette::ThemePalette(QObject *parent)
    : QObject(parent) {}

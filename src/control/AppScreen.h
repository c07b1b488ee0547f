#pragma once
// What a flow sees of the screens: the state they show, and the one way to change it.

#include "AppState.h"

class AppScreen {
public:
    [[nodiscard]] virtual const AppState &state() const noexcept = 0;
    virtual void setState(AppState state) = 0;

protected:
    ~AppScreen() = default;
};

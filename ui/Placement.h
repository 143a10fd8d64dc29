#pragma once

#include <QGuiApplication>
#include <QRect>
#include <QScreen>
#include <QWidget>

namespace tavo::ui {

// Both windows open centred on the screen they are on.
inline void CentreOnScreen(QWidget& window) {
    QScreen* screen = window.screen() ? window.screen() : QGuiApplication::primaryScreen();
    if (screen == nullptr)
        return;
    QRect place(QPoint(), window.size());
    place.moveCenter(screen->availableGeometry().center());
    window.move(place.topLeft());
}

} // namespace tavo::ui

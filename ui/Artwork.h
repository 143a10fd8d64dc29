#pragma once

#include <QByteArray>
#include <QIcon>
#include <QPixmap>

// Pictures the program draws itself rather than loading from files.
namespace tavo::ui {

// A circuit chip with a download arrow, drawn at 16 to 256 pixels.
QIcon WindowIcon();
// The same picture as a scalable SVG document.
QByteArray WindowIconSvg();

// The about window's logo: the company mark and name, drawn at the given size.
QPixmap CompanyLogo(QSize size);

} // namespace tavo::ui

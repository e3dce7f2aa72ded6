// The pictures of the program: the nine 16 x 15 toolbar images (door A, door B, reset, copy from
// log, synchronize, and the four view toggles) and the program icon. Drawn in code.
#pragma once

#include <QIcon>
#include <QPixmap>

constexpr int toolbar_image_count = 9;
constexpr int toolbar_image_width = 16;
constexpr int toolbar_image_height = 15;

QPixmap toolbar_image(int index);
// All nine side by side: 144 x 15.
QPixmap toolbar_strip();
QPixmap program_icon_pixmap(int size);
QIcon program_icon();

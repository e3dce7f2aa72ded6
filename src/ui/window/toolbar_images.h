// The pictures of the program: the nine 16 x 15 toolbar images (door A, door B, reset, copy from
// log, synchronize, and the four view toggles), drawn in code at the screen's pixel ratio, and
// the program icon, rendered from its SVG.
#pragma once

#include <QIcon>
#include <QPixmap>

constexpr int toolbar_image_count = 9;
constexpr int toolbar_image_width = 16;
constexpr int toolbar_image_height = 15;

// 16 x 15 device-independent pixels; ratio 2 draws it on 32 x 30 pixels.
QPixmap toolbar_image(int index, qreal ratio = 1.0);
// The image drawn at ratios 1, 2 and 3, so that every screen gets a sharp one.
QIcon toolbar_icon(int index);
// All nine side by side: 144 x 15.
QPixmap toolbar_strip();
QPixmap program_icon_pixmap(int size, qreal ratio = 1.0);
QIcon program_icon();

#include "ui/window/toolbar_images.h"

#include <QPainter>
#include <QPainterPath>
#include <QSvgRenderer>

namespace {

const QColor ink(0, 0, 0);
const QColor frame_gray(96, 96, 96);
const QColor title_blue(0, 0, 160);

// 5 x 7 letters for the two door buttons.
const char* const letter_a[7] = {".###.", "#...#", "#...#", "#####", "#...#", "#...#", "#...#"};
const char* const letter_b[7] = {"####.", "#...#", "#...#", "####.", "#...#", "#...#", "####."};

void draw_letter(QPainter& p, const char* const rows[7], int x, int y, const QColor& c) {
    for (int r = 0; r < 7; ++r) {
        for (int col = 0; col < 5; ++col) {
            if (rows[r][col] == '#') {
                p.fillRect(x + col, y + r, 1, 1, c);
            }
        }
    }
}

void draw_door(QPainter& p, const char* const letter[7]) {
    const QColor wood(205, 140, 70);
    const QColor wood_dark(110, 60, 20);
    p.fillRect(1, 1, 8, 14, wood_dark);
    p.fillRect(2, 2, 6, 13, wood);
    // Two panels and the handle.
    p.fillRect(3, 3, 4, 4, wood_dark.lighter(160));
    p.fillRect(3, 9, 4, 4, wood_dark.lighter(160));
    p.fillRect(6, 7, 2, 2, QColor(240, 200, 0));
    p.fillRect(6, 8, 1, 1, ink);
    draw_letter(p, letter, 10, 4, title_blue);
}

void draw_arrow_head(QPainter& p, QPointF tip, QPointF a, QPointF b, const QColor& c) {
    QPainterPath path;
    path.moveTo(tip);
    path.lineTo(a);
    path.lineTo(b);
    path.closeSubpath();
    p.fillPath(path, c);
}

void draw_reset(QPainter& p) {
    const QColor red(200, 0, 0);
    p.setRenderHint(QPainter::Antialiasing, true);
    p.setPen(QPen(red, 2.0, Qt::SolidLine, Qt::FlatCap));
    p.setBrush(Qt::NoBrush);
    // Three quarters of a turn from the top round to the right, and an arrow head pointing
    // up into the open quarter.
    p.drawArc(QRectF(3, 3.5, 10, 10), 90 * 16, 270 * 16);
    draw_arrow_head(p, QPointF(13, 3.5), QPointF(9.8, 8.8), QPointF(16.2, 8.8), red);
    p.setRenderHint(QPainter::Antialiasing, false);
}

void draw_key(QPainter& p, int x, int y, const QColor& fill, const QColor& edge) {
    // Bow (a ring) at the left, shaft to the right with two teeth below it.
    p.fillRect(x, y, 4, 4, edge);
    p.fillRect(x + 1, y + 1, 2, 2, Qt::white);
    p.fillRect(x + 4, y + 1, 8, 2, fill);
    p.fillRect(x + 4, y + 1, 8, 1, edge);
    p.fillRect(x + 8, y + 3, 1, 1, edge);
    p.fillRect(x + 10, y + 3, 2, 1, edge);
}

void draw_copy_from_log(QPainter& p) {
    // Log lines at the top, an arrow down, a key at the bottom.
    p.fillRect(0, 0, 16, 6, Qt::white);
    p.setPen(frame_gray);
    p.drawRect(0, 0, 15, 5);
    p.fillRect(2, 2, 3, 1, ink);
    p.fillRect(6, 2, 8, 1, frame_gray);
    p.fillRect(2, 3, 3, 1, QColor(200, 0, 0));
    p.fillRect(6, 3, 6, 1, frame_gray);
    const QColor green(0, 140, 0);
    p.fillRect(7, 6, 2, 3, green);
    draw_arrow_head(p, QPointF(8, 11), QPointF(4.5, 8), QPointF(11.5, 8), green);
    draw_key(p, 2, 11, QColor(230, 180, 0), QColor(120, 80, 0));
}

void draw_synchronize(QPainter& p) {
    const QColor blue(0, 70, 200);
    const QColor green(0, 140, 0);
    // To the controller above, back from it below.
    p.fillRect(1, 3, 10, 2, blue);
    draw_arrow_head(p, QPointF(15.5, 4), QPointF(10.5, -0.5), QPointF(10.5, 8.5), blue);
    p.fillRect(5, 10, 10, 2, green);
    draw_arrow_head(p, QPointF(0.5, 11), QPointF(5.5, 6.5), QPointF(5.5, 15.5), green);
}

// A small window: grey frame, blue title bar, white inside.
void draw_window(QPainter& p) {
    p.fillRect(1, 1, 14, 13, Qt::white);
    p.setPen(frame_gray);
    p.drawRect(1, 1, 13, 12);
    p.fillRect(2, 2, 12, 2, title_blue);
}

void draw_toolbar_toggle(QPainter& p) {
    draw_window(p);
    // A bar of three raised buttons under the title.
    p.fillRect(2, 4, 12, 4, QColor(212, 208, 200));
    for (int x : {3, 7, 11}) {
        p.fillRect(x, 5, 3, 2, QColor(240, 190, 0));
        p.fillRect(x, 7, 3, 1, frame_gray);
    }
}

void draw_status_toggle(QPainter& p) {
    draw_window(p);
    p.fillRect(2, 10, 12, 3, QColor(212, 208, 200));
    p.fillRect(2, 10, 12, 1, frame_gray);
    p.fillRect(3, 11, 6, 1, ink);
}

void draw_pane_toggle(QPainter& p, bool upper) {
    draw_window(p);
    // Two panes of four rows split by a line at y 8; the pane this toggle stands for holds two
    // text lines (the log's black and red, the key list's blue), the other is greyed.
    p.fillRect(2, 8, 12, 1, frame_gray);
    const int top = upper ? 4 : 9;
    const int other_top = upper ? 9 : 4;
    p.fillRect(2, other_top, 12, 4, QColor(225, 225, 225));
    const QColor first = upper ? ink : QColor(0, 70, 200);
    const QColor second = upper ? QColor(200, 0, 0) : QColor(0, 70, 200);
    p.fillRect(3, top, 3, 1, first);
    p.fillRect(7, top, 6, 1, first);
    p.fillRect(3, top + 2, 3, 1, second);
    p.fillRect(7, top + 2, 6, 1, second);
}

} // namespace

QPixmap toolbar_image(int index, qreal ratio) {
    // The painter works in device-independent pixels: at ratio 2 each filled pixel becomes a
    // 2 x 2 block and the round parts are drawn with the finer pixels.
    QPixmap pm(qRound(toolbar_image_width * ratio), qRound(toolbar_image_height * ratio));
    pm.setDevicePixelRatio(ratio);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    switch (index) {
    case 0:
        draw_door(p, letter_a);
        break;
    case 1:
        draw_door(p, letter_b);
        break;
    case 2:
        draw_reset(p);
        break;
    case 3:
        draw_copy_from_log(p);
        break;
    case 4:
        draw_synchronize(p);
        break;
    case 5:
        draw_toolbar_toggle(p);
        break;
    case 6:
        draw_status_toggle(p);
        break;
    case 7:
        draw_pane_toggle(p, true);
        break;
    case 8:
        draw_pane_toggle(p, false);
        break;
    default:
        break;
    }
    return pm;
}

QPixmap toolbar_strip() {
    QPixmap strip(toolbar_image_width * toolbar_image_count, toolbar_image_height);
    strip.fill(Qt::transparent);
    QPainter p(&strip);
    for (int i = 0; i < toolbar_image_count; ++i) {
        p.drawPixmap(i * toolbar_image_width, 0, toolbar_image(i));
    }
    return strip;
}

QIcon toolbar_icon(int index) {
    QIcon icon;
    for (qreal ratio : {1.0, 2.0, 3.0}) {
        icon.addPixmap(toolbar_image(index, ratio));
    }
    return icon;
}

QPixmap program_icon_pixmap(int size, qreal ratio) {
    const int pixels = qRound(size * ratio);
    QPixmap pm(pixels, pixels);
    pm.fill(Qt::transparent);
    // The same drawing as the icon installed for the desktop (a door with a gold key).
    QSvgRenderer svg(QStringLiteral(":/icons/org.tessary.Tessary.svg"));
    QPainter p(&pm);
    svg.render(&p, QRectF(0, 0, pixels, pixels));
    p.end();
    pm.setDevicePixelRatio(ratio);
    return pm;
}

QIcon program_icon() {
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64, 128, 256}) {
        icon.addPixmap(program_icon_pixmap(size));
    }
    return icon;
}

// Draws the main window's picture "KOMPUTER": a desktop computer on the
// window's pale yellow, 200 x 200 pixels, 24 bits per pixel. Its black cable
// leaves the left edge at picture rows 98..106, which the window places at
// rows 137..145, where the cable bar Shape2 continues it to the left.
//
// Run by the build: draw-komputer <output.png>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <cstdio>

namespace {

const QColor Background(255, 255, 204); // the window's colour, 0xCCFFFF
const QColor Outline(40, 40, 40);
const QColor Casing(222, 218, 204);
const QColor CasingShade(176, 171, 156);
const QColor Screen(24, 44, 96);
const QColor ScreenText(120, 200, 120);

void DrawCable(QPainter& p) {
    // Rows 98..106 inclusive: nine rows, from the left edge into the case.
    p.fillRect(QRect(0, 98, 34, 9), Qt::black);
}

void DrawCase(QPainter& p) {
    const QRect box(30, 92, 150, 44);
    p.setPen(QPen(Outline, 1));
    p.setBrush(Casing);
    p.drawRect(box);
    p.fillRect(QRect(box.left() + 1, box.bottom() - 5, box.width() - 1, 5), CasingShade);
    // Two drive bays with their slots, and the power button with its lamp.
    for (int bay = 0; bay < 2; ++bay) {
        const QRect drive(96, 99 + bay * 14, 70, 10);
        p.setBrush(CasingShade);
        p.drawRect(drive);
        p.fillRect(QRect(drive.left() + 8, drive.center().y(), 44, 2), Outline);
    }
    p.setBrush(CasingShade);
    p.drawEllipse(QPoint(48, 112), 6, 6);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(40, 210, 60));
    p.drawRect(QRect(64, 110, 6, 4));
}

void DrawMonitor(QPainter& p) {
    p.setPen(QPen(Outline, 1));
    p.setBrush(CasingShade);
    p.drawRect(QRect(88, 80, 34, 12)); // stand
    p.setBrush(Casing);
    p.drawRoundedRect(QRect(50, 8, 110, 74), 6, 6);
    p.setBrush(Screen);
    p.drawRect(QRect(60, 16, 90, 56));
    // A few lines of "text" on the screen.
    p.setPen(Qt::NoPen);
    p.setBrush(ScreenText);
    const int widths[] = {52, 70, 38, 60, 26};
    for (int line = 0; line < 5; ++line)
        p.drawRect(QRect(66, 22 + line * 9, widths[line], 4));
    p.drawRect(QRect(66 + widths[4] + 4, 58, 6, 5)); // cursor
}

void DrawKeyboard(QPainter& p) {
    QPainterPath body;
    body.moveTo(40, 188);
    body.lineTo(176, 188);
    body.lineTo(164, 150);
    body.lineTo(54, 150);
    body.closeSubpath();
    p.setPen(QPen(Outline, 1));
    p.setBrush(Casing);
    p.drawPath(body);
    p.setPen(Qt::NoPen);
    p.setBrush(CasingShade);
    for (int row = 0; row < 4; ++row) {
        const int y = 154 + row * 8;
        const int inset = 14 - row * 3;
        for (int x = 56 + inset; x + 8 <= 160 - inset + 4; x += 10)
            p.drawRect(QRect(x, y, 8, 5));
    }
    p.drawRect(QRect(80, 186 - 2, 60, 2)); // space bar edge
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: draw-komputer OUTPUT.png\n", stderr);
        return 2;
    }
    QImage image(200, 200, QImage::Format_RGB888);
    image.fill(Background);
    {
        QPainter p(&image);
        DrawCable(p);
        p.setRenderHint(QPainter::Antialiasing, false);
        DrawCase(p);
        DrawMonitor(p);
        DrawKeyboard(p);
    }
    if (!image.save(QString::fromLocal8Bit(argv[1]), "PNG")) {
        std::fprintf(stderr, "draw-komputer: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}

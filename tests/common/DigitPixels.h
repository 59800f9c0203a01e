#pragma once
// Pixel checks of a rendered digit, shared by the widget's own tests and the
// tests of forms that contain digits.
#include "VornLED7Seg.h"

#include <QImage>
#include <algorithm>
#include <vector>

// The widget as it paints itself; anything it leaves unpainted stays white.
inline QImage Render(QWidget& w) {
    QImage image(w.size(), QImage::Format_RGB32);
    image.fill(Qt::white);
    w.render(&image);
    return image;
}

// A pixel well inside a segment: the mean of its distinct corners, which lies
// inside every outline shape the widget uses.
inline QPoint Inside(const TVornLED7Seg::TOutline& o) {
    std::vector<QPoint> distinct;
    for (QPoint p : o)
        if (std::find(distinct.begin(), distinct.end(), p) == distinct.end())
            distinct.push_back(p);
    QPoint sum;
    for (QPoint p : distinct)
        sum += p;
    return sum / double(distinct.size());
}

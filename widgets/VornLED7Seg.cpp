#include "VornLED7Seg.h"

#include <QCoreApplication>
#include <QPaintEngine>
#include <QPaintEvent>
#include <QPainter>
#include <QPixmapCache>
#include <QResizeEvent>
#include <algorithm>
#include <cmath>

namespace kv52804 {

namespace {

// Segment mask from segment letters, so the table below reads like a picture
// list ("abcdef" is the zero).
constexpr quint8 Seg(const char* ALetters) {
    quint8 mask = 0;
    for (const char* p = ALetters; *p; ++p)
        mask |= *p == 'p' ? quint8(1u << TVornLED7Seg::SegDP) : quint8(1u << (*p - 'a'));
    return mask;
}

constexpr quint8 Point = Seg("p");

constexpr std::array<quint8, TVornLED7Seg::CharacterCount> CharacterTable = {
    // 0..9: digits
    Seg("abcdef"), Seg("bc"), Seg("abdeg"), Seg("abcdg"), Seg("bcfg"), Seg("acdfg"), Seg("acdefg"),
    Seg("abc"), Seg("abcdefg"), Seg("abcdfg"),
    // 10..19: digits with point
    Seg("abcdefp"), Seg("bcp"), Seg("abdegp"), Seg("abcdgp"), Seg("bcfgp"), Seg("acdfgp"),
    Seg("acdefgp"), Seg("abcp"), Seg("abcdefgp"), Seg("abcdfgp"),
    // 20..29: blank, minus, bars, point alone, degree sign
    Seg(""), Seg("g"), Seg("a"), Seg("d"), Seg("dg"), Seg("ag"), Seg("ad"), Seg("adg"), Point,
    Seg("abfg"),
    // 30..39: O C E F H L P U, two blanks
    Seg("abcdef"), Seg("adef"), Seg("adefg"), Seg("aefg"), Seg("bcefg"), Seg("def"), Seg("abefg"),
    Seg("bcdef"), Seg(""), Seg(""),
    // 40..49: the same letters with point, two blanks
    Seg("abcdefp"), Seg("adefp"), Seg("adefgp"), Seg("aefgp"), Seg("bcefgp"), Seg("defp"),
    Seg("abefgp"), Seg("bcdefp"), Seg(""), Seg(""),
    // 50..59: b c d h i n o u, two blanks
    Seg("cdefg"), Seg("deg"), Seg("bcdeg"), Seg("cefg"), Seg("c"), Seg("ceg"), Seg("cdeg"),
    Seg("cde"), Seg(""), Seg(""),
    // 60..69: the same letters with point, two blanks
    Seg("cdefgp"), Seg("degp"), Seg("bcdegp"), Seg("cefgp"), Seg("cp"), Seg("cegp"), Seg("cdegp"),
    Seg("cdep"), Seg(""), Seg("")};

// Outlines with four corners repeat the last one, so every segment is drawn
// as the same six-point polygon.
TVornLED7Seg::TOutline Quad(QPoint A1, QPoint A2, QPoint A3, QPoint A4) {
    return {A1, A2, A3, A4, A4, A4};
}

// Sizes never go beyond what Qt accepts for a widget; the layouts' own
// arithmetic then stays far inside 32 bits.
int ClampSize(qint64 ASize) {
    return int(std::clamp<qint64>(ASize, 0, QWIDGETSIZE_MAX));
}

// A picture is only worth keeping, and only looks exactly like the segments
// painted in place, where its pixels land one to one on the device's: a
// raster device (the backing store, an image, a pixmap) scaled by a whole
// pixel ratio and shifted by whole device pixels. Anything else (a fractional
// pixel ratio, a caller's painter scaled or turned, a PDF or printer engine
// that should get polygons, not a bitmap) has the segments painted in place.
// Returns the scale, or 0 for painting in place.
int PictureScale(QPainter& APainter, QSize ASize) {
    // Beyond this many device pixels a picture costs more memory than it
    // saves time: filling that many pixels outweighs the eight polygons.
    constexpr qreal LargestPicture = 1 << 22;
    const QPaintEngine* engine = APainter.paintEngine();
    if (engine == nullptr || engine->type() != QPaintEngine::Raster)
        return 0;
    const QTransform t = APainter.deviceTransform();
    const qreal scale = t.m11();
    if (t.type() > QTransform::TxScale || t.m22() != scale || scale < 1 ||
        scale != std::floor(scale) || t.dx() != std::floor(t.dx()) ||
        t.dy() != std::floor(t.dy()) ||
        qreal(ASize.width()) * ASize.height() * scale * scale > LargestPicture)
        return 0;
    return int(scale);
}

} // namespace

QColor QColorFromTColor(TColor AColor) {
    return QColor(int(AColor & 0xFF), int((AColor >> 8) & 0xFF), int((AColor >> 16) & 0xFF));
}

TColor TColorFromQColor(const QColor& AColor) {
    const QColor rgb = AColor.toRgb();
    return TColor(rgb.red()) | TColor(rgb.green()) << 8 | TColor(rgb.blue()) << 16;
}

TVornLED7Seg::TVornLED7Seg(QWidget* AOwner) : QWidget(AOwner) {
    // The widget covers its whole rectangle when it paints, so Qt need not
    // draw anything beneath it first.
    setAttribute(Qt::WA_OpaquePaintEvent);
    FValue = 0;
    FSegWidth = 10;
    FSegShape = ssDoubleEdge;
    FSpacing = 4;
    FGap = 2;
    // Width and height in one size change: the result is the same as two, and
    // a new widget is laid out at once either way.
    SetBounds(x(), y(), 100, 140);
    FBrightColor = 255;
    FDimColor = 128;
    FBackColor = 0;
}

TVornLED7Seg::~TVornLED7Seg() = default;

void TVornLED7Seg::SetBrightColor(TColor AValue) {
    if (AValue == FBrightColor)
        return;
    FBrightColor = AValue;
    RequestRepaint();
}

void TVornLED7Seg::SetDimColor(TColor AValue) {
    if (AValue == FDimColor)
        return;
    FDimColor = AValue;
    RequestRepaint();
}

void TVornLED7Seg::SetBackColor(TColor AValue) {
    if (AValue == FBackColor)
        return;
    FBackColor = AValue;
    RequestRepaint();
}

void TVornLED7Seg::SetValue(quint8 AValue) {
    if (AValue == FValue)
        return;
    FValue = AValue;
    RequestRepaint();
}

void TVornLED7Seg::SetSpacing(quint8 AValue) {
    if (AValue == FSpacing)
        return;
    FSpacing = AValue;
    Layout();
    RequestRepaint();
}

void TVornLED7Seg::SetGap(quint8 AValue) {
    if (AValue == FGap)
        return;
    FGap = AValue;
    Layout();
    RequestRepaint();
}

void TVornLED7Seg::SetSegWidth(quint8 AValue) {
    if (AValue == FSegWidth)
        return;
    FSegWidth = AValue;
    Layout();
    RequestRepaint();
}

void TVornLED7Seg::SetSegShape(TSegmentShape AValue) {
    if (AValue == FSegShape)
        return;
    FSegShape = AValue;
    Layout();
    RequestRepaint();
}

void TVornLED7Seg::SetBounds(int ALeft, int ATop, int AWidth, int AHeight) {
    const QSize old = size();
    setGeometry(ALeft, ATop, ClampSize(AWidth), ClampSize(AHeight));
    // A visible widget has had its resize event by now. A hidden one only
    // got the resize marked as pending; deliver it here, the way Qt would on
    // showing, so the outlines always match the size that was set.
    if (testAttribute(Qt::WA_PendingResizeEvent)) {
        setAttribute(Qt::WA_PendingResizeEvent, false);
        QResizeEvent event(size(), old);
        QCoreApplication::sendEvent(this, &event);
    }
}

quint8 TVornLED7Seg::CharacterSegments(quint8 ACode) {
    // Codes beyond the table are blank, like the unassigned codes inside it:
    // the module's picture for them is unknown, and a blank digit does not
    // pretend to show something it may not.
    return ACode < CharacterTable.size() ? CharacterTable[ACode] : 0;
}

bool TVornLED7Seg::SegmentLit(int ASegment) const {
    return isEnabled() && ASegment >= 0 && ASegment < SegmentCount &&
           (CharacterSegments(FValue) >> ASegment & 1) != 0;
}

void TVornLED7Seg::Layout() {
    switch (FSegShape) {
    case ssRectangle:
        LayoutRectangle();
        break;
    case ssEdge:
        LayoutEdge();
        break;
    case ssDoubleEdge:
        LayoutDoubleEdge();
        break;
    }
}

void TVornLED7Seg::RequestRepaint() {
    update();
}

bool TVornLED7Seg::AcceptHorizontal(int AHorz, int AMinimum) {
    if (AHorz < AMinimum) {
        ApplySize(qint64(width()) + (AMinimum - AHorz), height());
        return false;
    }
    FHorzLength = AHorz;
    return true;
}

bool TVornLED7Seg::AcceptVertical(int AVert, int AMinimum) {
    if (AVert < AMinimum) {
        ApplySize(width(), qint64(height()) + 2 * qint64(AMinimum - AVert));
        return false;
    }
    FVertLength = AVert;
    return true;
}

void TVornLED7Seg::ApplySize(qint64 AWidth, qint64 AHeight) {
    // A correction only ever enlarges. Once the clamp (or a maximum size set
    // on the widget) stops the growth, the size no longer changes, no resize
    // event follows, and the layout ends without outlines instead of looping.
    const int w = ClampSize(AWidth);
    const int h = ClampSize(AHeight);
    if (w <= width() && h <= height())
        return;
    SetBounds(x(), y(), std::max(w, width()), std::max(h, height()));
}

// The three layouts below work on int: sizes are at most QWIDGETSIZE_MAX
// (2^24 - 1) and the parameters at most 255, so no sum overflows.

void TVornLED7Seg::LayoutRectangle() {
    const int W = width(), H = height();
    if (W == 0 || H == 0)
        return;
    const int S = FSpacing, G = FGap, T = FSegWidth, h = T / 2;
    if (!AcceptHorizontal(W - 2 * S - 2 * G - 2 * T, 5))
        return;
    if (!AcceptVertical((H - 2 * S - 4 * G) / 2, 5))
        return;
    const int L = FHorzLength, V = FVertLength;
    const int left = S + G + T;        // left end of the horizontal bars
    const int right = left + L;        // their right end
    const int rIn = S + 2 * G + T + L; // inner side of the right bars
    const int rOut = rIn + T;
    const int bottom = S + 4 * G + 2 * V;
    const int mid = S + 2 * G + V - h;
    FOutlines[SegA] = Quad({left, S}, {left, S + T}, {right, S + T}, {right, S});
    FOutlines[SegB] = Quad({rIn, S + G}, {rIn, S + G + V}, {rOut, S + G + V}, {rOut, S + G});
    FOutlines[SegC] = Quad({rIn, S + 3 * G + V}, {rIn, S + 3 * G + 2 * V},
                           {rOut, S + 3 * G + 2 * V}, {rOut, S + 3 * G + V});
    FOutlines[SegD] =
        Quad({left, bottom - T}, {left, bottom}, {right, bottom}, {right, bottom - T});
    FOutlines[SegE] = Quad({S, S + 3 * G + V}, {S, S + 3 * G + 2 * V}, {S + T, S + 3 * G + 2 * V},
                           {S + T, S + 3 * G + V});
    FOutlines[SegF] = Quad({S, S + G}, {S, S + G + V}, {S + T, S + G + V}, {S + T, S + G});
    FOutlines[SegG] = Quad({left, mid}, {left, mid + T}, {right, mid + T}, {right, mid});
    // The point: a square as thick as the bars, one gap right of the right
    // bars and level with the bottom bar, where the double-edge shape puts
    // its diamond. This layout reserves no margin for it, so with a Spacing
    // below Gap + SegWidth the widget's edge cuts it.
    const int px = rOut + G;
    FOutlines[SegDP] = Quad({px, bottom - T}, {px, bottom}, {px + T, bottom}, {px + T, bottom - T});
}

void TVornLED7Seg::LayoutEdge() {
    const int W = width(), H = height();
    if (W == 0 || H == 0)
        return;
    const int S = FSpacing, G = FGap, T = FSegWidth, h = T / 2;
    if (!AcceptHorizontal(W - 2 * S - 2 * G, 2 * T + 5))
        return;
    if (!AcceptVertical((H - 2 * S - 4 * G) / 2, 5))
        return;
    const int L = FHorzLength, V = FVertLength;
    const int rOut = S + 2 * G + L; // outer side of the right bars
    const int rIn = rOut - T;
    const int bottom = S + 4 * G + 2 * V;
    const int mid = S + 2 * G + V;
    FOutlines[SegA] = Quad({S + G, S}, {S + G + T, S + T}, {S + G + L - T, S + T}, {S + G + L, S});
    FOutlines[SegB] =
        Quad({rIn, S + G + T}, {rIn, S + G + V - T}, {rOut, S + G + V}, {rOut, S + G});
    FOutlines[SegC] = Quad({rIn, S + 3 * G + V + T}, {rIn, S + 3 * G + 2 * V - T},
                           {rOut, S + 3 * G + 2 * V}, {rOut, S + 3 * G + V});
    FOutlines[SegD] = Quad({S + G + T, bottom - T}, {S + G, bottom}, {S + G + L, bottom},
                           {S + G + L - T, bottom - T});
    FOutlines[SegE] = Quad({S, S + 3 * G + V}, {S, S + 3 * G + 2 * V},
                           {S + T, S + 3 * G + 2 * V - T}, {S + T, S + 3 * G + V + T});
    FOutlines[SegF] = Quad({S, S + G}, {S, S + G + V}, {S + T, S + G + V - T}, {S + T, S + G + T});
    FOutlines[SegG] = {
        QPoint(S + G, mid),     QPoint(S + G + T, mid + h),     QPoint(S + G + L - T, mid + h),
        QPoint(S + G + L, mid), QPoint(S + G + L - T, mid - h), QPoint(S + G + T, mid - h)};
    // The point: a square as thick as the bars with its upper corners
    // bevelled at 45 degrees like the bars' ends, one gap right of the right
    // bars and level with the bottom bar (cut by the widget's edge when
    // Spacing is small, as in the rectangle shape).
    const int px = rOut + G, bevel = T / 4;
    FOutlines[SegDP] = {QPoint(px, bottom - T + bevel),
                        QPoint(px, bottom),
                        QPoint(px + T, bottom),
                        QPoint(px + T, bottom - T + bevel),
                        QPoint(px + T - bevel, bottom - T),
                        QPoint(px + bevel, bottom - T)};
}

void TVornLED7Seg::LayoutDoubleEdge() {
    const int W = width(), H = height();
    if (W == 0 || H == 0)
        return;
    const int S = FSpacing, G = FGap, T = FSegWidth, h = T / 2;
    if (!AcceptHorizontal(W - 4 * S - 2 * G - 2 * T, 2 * T + 5))
        return;
    if (!AcceptVertical((H - 2 * S - 4 * G - T) / 2, 2 * T + 5))
        return;
    const int L = FHorzLength, V = FVertLength;
    // A horizontal bar whose axis is at y, a vertical one whose outer left
    // side is at x and which runs from y1 to y2 (tips h beyond).
    const auto horz = [&](int y) -> TOutline {
        return {QPoint(S + G + h, y + h),     QPoint(S + G + 2 * h, y + 2 * h),
                QPoint(S + G + L, y + 2 * h), QPoint(S + G + L + h, y + h),
                QPoint(S + G + L, y),         QPoint(S + G + 2 * h, y)};
    };
    const auto vert = [&](int x, int y1, int y2) -> TOutline {
        return {QPoint(x + h, y1 - h), QPoint(x, y1),         QPoint(x, y2),
                QPoint(x + h, y2 + h), QPoint(x + 2 * h, y2), QPoint(x + 2 * h, y1)};
    };
    const int xr = S + 2 * G + L;
    FOutlines[SegA] = horz(S);
    FOutlines[SegB] = vert(xr, S + G + 2 * h, S + G + V);
    FOutlines[SegC] = vert(xr, S + 4 * G + V + 2 * h, S + 4 * G + 2 * V);
    FOutlines[SegD] = horz(S + 4 * G + 2 * V);
    FOutlines[SegE] = vert(S, S + 4 * G + V + 2 * h, S + 4 * G + 2 * V);
    FOutlines[SegF] = vert(S, S + G + 2 * h, S + G + V);
    FOutlines[SegG] = horz(S + 2 * G + V);
    const int px = S + 3 * G + T + L, py = S + 4 * G + 2 * V;
    FOutlines[SegDP] = {QPoint(px + h, py + h),     QPoint(px + 2 * h, py + 2 * h),
                        QPoint(px + T, py + 2 * h), QPoint(px + T + h, py + h),
                        QPoint(px + T, py),         QPoint(px + 2 * h, py)};
}

TVornLED7Seg::TLook TVornLED7Seg::CurrentLook(int AScale) const {
    return {.Size = size(),
            .Scale = AScale,
            .Back = FBackColor,
            .Bright = FBrightColor,
            .Dim = FDimColor,
            .Lit = quint8(isEnabled() ? CharacterSegments(FValue) : 0),
            .Outlines = FOutlines};
}

void TVornLED7Seg::Draw(QPainter& APainter, const TLook& ALook) {
    const QColor back = QColorFromTColor(ALook.Back);
    const QColor bright = QColorFromTColor(ALook.Bright);
    const QColor dim = QColorFromTColor(ALook.Dim);
    APainter.fillRect(QRect(QPoint(0, 0), ALook.Size), back);
    // Every segment is bordered by a line in the background colour.
    APainter.setPen(QPen(back, 1, Qt::SolidLine));
    for (int i = 0; i < SegmentCount; ++i) {
        APainter.setBrush((ALook.Lit >> i & 1) != 0 ? bright : dim);
        APainter.drawPolygon(ALook.Outlines[i].data(), int(ALook.Outlines[i].size()));
    }
}

QPixmap TVornLED7Seg::Picture(const TLook& ALook) {
    // Pictures are shared through Qt's pixmap cache, keyed by the whole look:
    // digits of one look showing the same segments (a row of blanks, a clock
    // once it has shown each of its ten digits) draw them once between them.
    // That cache is bounded (10 MiB unless the program sets another limit)
    // and drops the least recently used pictures first; a main-window
    // digit's picture is about 18 KiB, so every segment combination of one
    // look would fit in half of it. Nothing of ours stays global, and a
    // widget's own copy keeps its current picture however full the cache is.
    QByteArray key;
    const auto add = [&key](qint32 AValue) {
        key.append(reinterpret_cast<const char*>(&AValue), sizeof AValue);
    };
    for (qint32 v : {ALook.Size.width(), ALook.Size.height(), ALook.Scale, qint32(ALook.Back),
                     qint32(ALook.Bright), qint32(ALook.Dim), qint32(ALook.Lit)})
        add(v);
    for (const TOutline& outline : ALook.Outlines)
        for (QPoint p : outline) {
            add(p.x());
            add(p.y());
        }
    const QString name = QStringLiteral("TVornLED7Seg:") + QString::fromLatin1(key.toBase64());
    QPixmap picture;
    if (QPixmapCache::find(name, &picture))
        return picture;
    picture = QPixmap(ALook.Size * ALook.Scale);
    picture.setDevicePixelRatio(ALook.Scale);
    QPainter painter(&picture);
    Draw(painter, ALook);
    painter.end();
    QPixmapCache::insert(name, picture);
    return picture;
}

void TVornLED7Seg::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const int scale = PictureScale(painter, size());
    if (scale == 0 || size().isEmpty()) {
        Draw(painter, CurrentLook(1));
        return;
    }
    TLook look = CurrentLook(scale);
    if (FPicture.isNull() || look != FPictureLook) {
        FPicture = Picture(look);
        FPictureLook = std::move(look);
    }
    painter.drawPixmap(0, 0, FPicture);
}

void TVornLED7Seg::resizeEvent(QResizeEvent* AEvent) {
    QWidget::resizeEvent(AEvent);
    Layout();
    RequestRepaint();
}

void TVornLED7Seg::changeEvent(QEvent* AEvent) {
    QWidget::changeEvent(AEvent);
    // The lit switch is the enabled state: every segment changes colour.
    if (AEvent->type() == QEvent::EnabledChange)
        RequestRepaint();
}

} // namespace kv52804

#include "Shape.h"

#include <QMouseEvent>
#include <QPainter>

using namespace kv52804;

TShape::TShape(QWidget* AOwner) : QWidget(AOwner) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFocusPolicy(Qt::NoFocus);
}

void TShape::SetBrushColor(TColor AValue) {
    if (AValue == FBrushColor)
        return;
    FBrushColor = AValue;
    update();
}

void TShape::SetPenColor(TColor AValue) {
    if (AValue == FPenColor)
        return;
    FPenColor = AValue;
    update();
}

void TShape::SetPenVisible(bool AValue) {
    if (AValue == FPenVisible)
        return;
    FPenVisible = AValue;
    update();
}

void TShape::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QRect all = rect();
    if (FPenVisible) {
        painter.fillRect(all, QColorFromTColor(FPenColor));
        painter.fillRect(all.adjusted(1, 1, -1, -1), QColorFromTColor(FBrushColor));
    } else {
        painter.fillRect(all, QColorFromTColor(FBrushColor));
    }
}

void TShape::mousePressEvent(QMouseEvent* AEvent) {
    AEvent->accept();
    emit MouseDown(AEvent->button(), AEvent->modifiers(), AEvent->position().toPoint());
}

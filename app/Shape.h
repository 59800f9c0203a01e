#pragma once
// A filled rectangle with an optional one-pixel outline that reports mouse
// presses: the cable bar and the two colour swatches of the main window.
#include "VornLED7Seg.h" // TColor

#include <QPoint>
#include <QWidget>

class TShape : public QWidget {
    Q_OBJECT
    Q_PROPERTY(TColor BrushColor READ BrushColor WRITE SetBrushColor)
    Q_PROPERTY(TColor PenColor READ PenColor WRITE SetPenColor)
    Q_PROPERTY(bool PenVisible READ PenVisible WRITE SetPenVisible)

public:
    explicit TShape(QWidget* AOwner = nullptr);

    TColor BrushColor() const { return FBrushColor; }
    void SetBrushColor(TColor AValue);
    TColor PenColor() const { return FPenColor; }
    void SetPenColor(TColor AValue);
    bool PenVisible() const { return FPenVisible; }
    void SetPenVisible(bool AValue);

signals:
    // Any mouse button pressed over the shape, with the modifier keys and the
    // position in the shape's own coordinates.
    void MouseDown(Qt::MouseButton Button, Qt::KeyboardModifiers Shift, QPoint Pos);

protected:
    void paintEvent(QPaintEvent* AEvent) override;
    void mousePressEvent(QMouseEvent* AEvent) override;

private:
    TColor FBrushColor = 0xFFFFFF; // white brush, black outline: a new shape's look
    TColor FPenColor = 0;
    bool FPenVisible = true;
};

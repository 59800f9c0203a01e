#pragma once
// A filled rectangle with an optional one-pixel outline that reports mouse
// presses: the cable bar and the two colour swatches of the main window.
#include "VornLED7Seg.h" // TColor

#include <QPoint>
#include <QWidget>

class TShape : public QWidget {
    Q_OBJECT
    Q_PROPERTY(kv52804::TColor BrushColor READ BrushColor WRITE SetBrushColor)
    Q_PROPERTY(kv52804::TColor PenColor READ PenColor WRITE SetPenColor)
    Q_PROPERTY(bool PenVisible READ PenVisible WRITE SetPenVisible)

public:
    explicit TShape(QWidget* AOwner = nullptr);

    kv52804::TColor BrushColor() const { return FBrushColor; }
    void SetBrushColor(kv52804::TColor AValue);
    kv52804::TColor PenColor() const { return FPenColor; }
    void SetPenColor(kv52804::TColor AValue);
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
    kv52804::TColor FBrushColor = 0xFFFFFF; // white brush, black outline: a new shape's look
    kv52804::TColor FPenColor = 0;
    bool FPenVisible = true;
};

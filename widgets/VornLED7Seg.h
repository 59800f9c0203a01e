#pragma once
// One seven-segment digit with a decimal point, drawn for a character code.
//
// The widget is state plus paint: every change of size or of a layout
// parameter computes the eight segment outlines once into a table, and
// painting fills the background and those eight polygons into a picture that
// later paints copy until something it was drawn from changes. The lit switch
// is QWidget's enabled property, so a disabled digit draws every segment dim.
#include "kv_widgets_export.h"
#include <QColor>
#include <QPixmap>
#include <QWidget>
#include <array>
#include <cstdint>

class QPainter;

namespace kv52804 {

// A colour as 0x00BBGGRR: red in the low byte (255 is red, 65280 lime).
using TColor = quint32;

// The colour a TColor stands for. The high byte carries no colour and is
// ignored.
KV_WIDGETS_EXPORT QColor QColorFromTColor(TColor AColor);
// The TColor of a colour; its alpha is dropped.
KV_WIDGETS_EXPORT TColor TColorFromQColor(const QColor& AColor);

// The meta-object publishes the properties in the types that Qt Designer can
// edit and that forms record: colours as QColor (a colour picker, <color>),
// bytes as int (a spin box, <number>; Designer neither edits nor saves an
// unsigned char). The C++ API keeps TColor and quint8; an int written to a
// byte property is narrowed as the C++ setter would narrow it.
class KV_WIDGETS_EXPORT TVornLED7Seg : public QWidget {
    Q_OBJECT
    Q_PROPERTY(QColor BrightColor READ BrightQColor WRITE SetBrightQColor)
    Q_PROPERTY(QColor DimColor READ DimQColor WRITE SetDimQColor)
    Q_PROPERTY(QColor BackColor READ BackQColor WRITE SetBackQColor)
    Q_PROPERTY(int Value READ Value WRITE SetValue)
    Q_PROPERTY(int Spacing READ Spacing WRITE SetSpacing)
    Q_PROPERTY(int Gap READ Gap WRITE SetGap)
    Q_PROPERTY(int SegWidth READ SegWidth WRITE SetSegWidth)
    Q_PROPERTY(TSegmentShape SegShape READ SegShape WRITE SetSegShape)

public:
    enum TSegmentShape : quint8 { ssRectangle, ssEdge, ssDoubleEdge };
    Q_ENUM(TSegmentShape)

    // Segment indices, in the order of the character table and the outlines.
    enum { SegA, SegB, SegC, SegD, SegE, SegF, SegG, SegDP, SegmentCount };
    static constexpr int CharacterCount = 70;

    using TOutline = std::array<QPoint, 6>;

    explicit TVornLED7Seg(QWidget* AOwner = nullptr);
    ~TVornLED7Seg() override;

    TColor BrightColor() const { return FBrightColor; }
    void SetBrightColor(TColor AValue);
    TColor DimColor() const { return FDimColor; }
    void SetDimColor(TColor AValue);
    TColor BackColor() const { return FBackColor; }
    void SetBackColor(TColor AValue);
    quint8 Value() const { return FValue; }
    void SetValue(quint8 AValue);
    quint8 Spacing() const { return FSpacing; }
    void SetSpacing(quint8 AValue);
    quint8 Gap() const { return FGap; }
    void SetGap(quint8 AValue);
    quint8 SegWidth() const { return FSegWidth; }
    void SetSegWidth(quint8 AValue);
    TSegmentShape SegShape() const { return FSegShape; }
    void SetSegShape(TSegmentShape AValue);
    // Forms compiled by uic set a property through set<Name>() with the
    // published type: these let a form made in Designer compile.
    void setBrightColor(const QColor& AValue) { SetBrightQColor(AValue); }
    void setDimColor(const QColor& AValue) { SetDimQColor(AValue); }
    void setBackColor(const QColor& AValue) { SetBackQColor(AValue); }
    void setValue(int AValue) { SetValue(static_cast<quint8>(AValue)); }
    void setSpacing(int AValue) { SetSpacing(static_cast<quint8>(AValue)); }
    void setGap(int AValue) { SetGap(static_cast<quint8>(AValue)); }
    void setSegWidth(int AValue) { SetSegWidth(static_cast<quint8>(AValue)); }
    void setSegShape(TSegmentShape AValue) { SetSegShape(AValue); }

    // Moves and sizes the widget and lays it out at once, also while it is
    // hidden (Qt would otherwise hold the resize back until it is shown).
    // Sizes are clamped to 0..QWIDGETSIZE_MAX.
    void SetBounds(int ALeft, int ATop, int AWidth, int AHeight);

    // Lit segments of a character code, bit i = segment i. Codes outside the
    // character table light nothing.
    static quint8 CharacterSegments(quint8 ACode);
    // Whether segment ASegment is drawn bright right now.
    bool SegmentLit(int ASegment) const;

    // The current outline table and segment lengths (all zero until the
    // first layout that fitted).
    const TOutline& Outline(int ASegment) const { return FOutlines.at(ASegment); }
    int HorizontalLength() const { return FHorzLength; }
    int VerticalLength() const { return FVertLength; }

protected:
    // Computes the outlines for the current shape, or enlarges the widget by
    // one dimension when it is too small (the resize that follows lays out
    // again). Virtual so that a subclass can watch how often it runs.
    virtual void Layout();
    // Marks the widget for painting; every repaint the widget asks for goes
    // through here.
    virtual void RequestRepaint();

    void paintEvent(QPaintEvent* AEvent) override;
    void resizeEvent(QResizeEvent* AEvent) override;
    void changeEvent(QEvent* AEvent) override;

private:
    QColor BrightQColor() const { return QColorFromTColor(FBrightColor); }
    void SetBrightQColor(const QColor& AValue) { SetBrightColor(TColorFromQColor(AValue)); }
    QColor DimQColor() const { return QColorFromTColor(FDimColor); }
    void SetDimQColor(const QColor& AValue) { SetDimColor(TColorFromQColor(AValue)); }
    QColor BackQColor() const { return QColorFromTColor(FBackColor); }
    void SetBackQColor(const QColor& AValue) { SetBackColor(TColorFromQColor(AValue)); }

    void LayoutRectangle();
    void LayoutEdge();
    void LayoutDoubleEdge();
    // Step 2 of every layout: false (after asking for a wider widget) when
    // AHorz is below AMinimum, else stores it.
    bool AcceptHorizontal(int AHorz, int AMinimum);
    bool AcceptVertical(int AVert, int AMinimum);
    void ApplySize(qint64 AWidth, qint64 AHeight);

    // Everything a picture of the digit is drawn from. A picture is copied
    // only while all of it is the same, so no change (a setter, a resize,
    // the enabled state, a device of another pixel ratio) can show a stale
    // one, whichever way it came about.
    struct TLook {
        QSize Size;
        int Scale = 0; // device pixels per widget pixel
        TColor Back = 0;
        TColor Bright = 0;
        TColor Dim = 0;
        quint8 Lit = 0;
        std::array<TOutline, SegmentCount> Outlines{};
        // Written out: the header also serves C++17 programs.
        bool operator==(const TLook& o) const {
            return Size == o.Size && Scale == o.Scale && Back == o.Back && Bright == o.Bright &&
                   Dim == o.Dim && Lit == o.Lit && Outlines == o.Outlines;
        }
        bool operator!=(const TLook& o) const { return !(*this == o); }
    };
    TLook CurrentLook(int AScale) const;
    static void Draw(QPainter& APainter, const TLook& ALook);
    static QPixmap Picture(const TLook& ALook);

    TColor FBrightColor = 0;
    TColor FDimColor = 0;
    TColor FBackColor = 0;
    quint8 FValue = 0;
    quint8 FSpacing = 0;
    quint8 FGap = 0;
    quint8 FSegWidth = 0;
    TSegmentShape FSegShape = ssRectangle;
    std::array<TOutline, SegmentCount> FOutlines{};
    int FHorzLength = 0;
    int FVertLength = 0;
    TLook FPictureLook;
    QPixmap FPicture;
};

} // namespace kv52804

#include "VornLED7Seg.h"
#include "DigitPixels.h"

#include <QImage>
#include <QMetaEnum>
#include <QMetaProperty>
#include <QPixmapCache>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace kv52804;

namespace {

using Shape = TVornLED7Seg::TSegmentShape;

// Counts what the widget asks for, so tests can tell a re-layout or a repaint
// request from none without waiting for painting.
class TCountingLED : public TVornLED7Seg {
public:
    using TVornLED7Seg::TVornLED7Seg;
    int Layouts = 0;
    int Repaints = 0;
    std::vector<QSize> LayoutSizes; // the size each layout pass saw

protected:
    void Layout() override {
        ++Layouts;
        LayoutSizes.push_back(size());
        TVornLED7Seg::Layout();
    }
    void RequestRepaint() override {
        ++Repaints;
        TVornLED7Seg::RequestRepaint();
    }
};

struct TParams {
    Shape shape;
    int spacing, gap, segWidth;
};

void Configure(TVornLED7Seg& w, TParams p, int width, int height) {
    w.SetSegShape(p.shape);
    w.SetSpacing(quint8(p.spacing));
    w.SetGap(quint8(p.gap));
    w.SetSegWidth(quint8(p.segWidth));
    w.SetBounds(0, 0, width, height);
}

TVornLED7Seg::TOutline Pts(std::initializer_list<QPoint> points) {
    TVornLED7Seg::TOutline o{};
    std::copy(points.begin(), points.end(), o.begin());
    return o;
}

std::string Show(const TVornLED7Seg::TOutline& o) {
    std::string s;
    for (QPoint p : o)
        s += "(" + std::to_string(p.x()) + "," + std::to_string(p.y()) + ")";
    return s;
}

QImage Render(TVornLED7Seg& w, int pixelRatio = 1) {
    QImage image(w.size() * pixelRatio, QImage::Format_RGB32);
    image.setDevicePixelRatio(pixelRatio);
    image.fill(Qt::white); // anything the widget leaves unpainted stays white
    w.render(&image);
    return image;
}

QRgb Rgb(TColor c) {
    return QColorFromTColor(c).rgb();
}

const TParams MainWindowDigit[] = {
    {TVornLED7Seg::ssRectangle, 4, 1, 8},
    {TVornLED7Seg::ssEdge, 4, 1, 8},
    {TVornLED7Seg::ssDoubleEdge, 4, 1, 8},
};

} // namespace

// ---- model: defaults, published properties, character table ----

TEST(VornLED7Seg, NewWidgetShowsRedZeroOnBlack) {
    TVornLED7Seg w;
    EXPECT_EQ(w.size(), QSize(100, 140));
    EXPECT_TRUE(w.isEnabled());
    EXPECT_EQ(w.Value(), 0);
    EXPECT_EQ(w.SegShape(), TVornLED7Seg::ssDoubleEdge);
    EXPECT_EQ(w.HorizontalLength(), 60);
    EXPECT_EQ(w.VerticalLength(), 57);
    const QImage image = Render(w);
    EXPECT_EQ(image.pixel(0, 0), qRgb(0, 0, 0));
    for (int seg = 0; seg < TVornLED7Seg::SegmentCount; ++seg) {
        const bool lit = seg != TVornLED7Seg::SegG && seg != TVornLED7Seg::SegDP;
        EXPECT_EQ(image.pixel(Inside(w.Outline(seg))), lit ? qRgb(255, 0, 0) : qRgb(128, 0, 0))
            << "segment " << seg;
    }
}

TEST(VornLED7Seg, PublishesItsPropertiesInOrderAndTheShapeEnum) {
    TVornLED7Seg w;
    const QMetaObject* mo = w.metaObject();
    // In types Qt Designer edits and saves (it drops unsigned char ones).
    QStringList names;
    for (int i = mo->propertyOffset(); i < mo->propertyCount(); ++i)
        names << QString::fromLatin1(mo->property(i).typeName()) + u' ' + mo->property(i).name();
    EXPECT_EQ(names, QStringList({"QColor BrightColor", "QColor DimColor", "QColor BackColor",
                                  "int Value", "int Spacing", "int Gap", "int SegWidth",
                                  "kv52804::TVornLED7Seg::TSegmentShape SegShape"}));

    const QMetaEnum shapes = QMetaEnum::fromType<TVornLED7Seg::TSegmentShape>();
    EXPECT_EQ(shapes.keyToValue("ssRectangle"), 0);
    EXPECT_EQ(shapes.keyToValue("ssEdge"), 1);
    EXPECT_EQ(shapes.keyToValue("ssDoubleEdge"), 2);
    EXPECT_EQ(sizeof(TVornLED7Seg::TSegmentShape), 1u);

    // Window descriptions set the properties by name, with the values a form
    // records: <number>, <color>, <enum>.
    EXPECT_TRUE(w.setProperty("Value", 200));
    EXPECT_TRUE(w.setProperty("BrightColor", QColor(0, 255, 0)));
    EXPECT_TRUE(w.setProperty("SegShape", QVariant::fromValue(TVornLED7Seg::ssEdge)));
    EXPECT_EQ(w.Value(), 200);
    EXPECT_EQ(w.BrightColor(), 65280u);
    EXPECT_EQ(w.SegShape(), TVornLED7Seg::ssEdge);
    EXPECT_EQ(w.property("DimColor").value<QColor>(), QColor(128, 0, 0));
}

TEST(VornLED7Seg, ColourHasRedInTheLowByte) {
    EXPECT_EQ(QColorFromTColor(255), QColor(255, 0, 0));
    EXPECT_EQ(QColorFromTColor(65280), QColor(0, 255, 0));
    EXPECT_EQ(QColorFromTColor(0x040050), QColor(0x50, 0, 0x04));
    EXPECT_EQ(QColorFromTColor(0xFF123456),
              QColor(0x56, 0x34, 0x12)); // high byte carries no colour
}

TEST(VornLED7Seg, CharacterTable) {
    const auto segs = [](const char* letters) {
        quint8 m = 0;
        for (const char* p = letters; *p; ++p)
            m |= quint8(1u << (*p == 'p' ? 7 : *p - 'a'));
        return m;
    };
    struct Row {
        int code;
        const char* lit;
    };
    const Row pictures[] = {{0, "abcdef"}, {1, "bc"},      {2, "abdeg"},     {4, "bcfg"},
                            {7, "abc"},    {8, "abcdefg"}, {18, "abcdefgp"}, {21, "g"},
                            {28, "p"},     {29, "abfg"},   {35, "def"},      {37, "bcdef"},
                            {50, "cdefg"}, {54, "c"},      {57, "cde"},      {64, "cp"}};
    for (const Row& r : pictures)
        EXPECT_EQ(TVornLED7Seg::CharacterSegments(quint8(r.code)), segs(r.lit))
            << "code " << r.code;

    // The pointed rows repeat the row ten codes below with the point added.
    for (int base : {0, 30, 50}) {
        const int count = base == 0 ? 10 : 8;
        for (int code = base + 10; code < base + 10 + count; ++code)
            EXPECT_EQ(TVornLED7Seg::CharacterSegments(quint8(code)),
                      TVornLED7Seg::CharacterSegments(quint8(code - 10)) | 0x80)
                << "code " << code;
    }
    // The point is lit by exactly these codes.
    for (int code = 0; code < 256; ++code) {
        const bool point = (code >= 10 && code <= 19) || code == 28 || (code >= 40 && code <= 47) ||
                           (code >= 60 && code <= 67);
        EXPECT_EQ((TVornLED7Seg::CharacterSegments(quint8(code)) & 0x80) != 0, point) << code;
    }
    // Unassigned codes, and every code past the table, are blank.
    for (int code : {20, 38, 39, 48, 49, 58, 59, 68, 69})
        EXPECT_EQ(TVornLED7Seg::CharacterSegments(quint8(code)), 0) << "code " << code;
    for (int code = 70; code < 256; ++code)
        EXPECT_EQ(TVornLED7Seg::CharacterSegments(quint8(code)), 0) << "code " << code;
}

// ---- geometry ----

struct GeometryRow {
    const char* name;
    TParams params;
    int width, height;
    int L, V;
    int segment;
    TVornLED7Seg::TOutline outline;
};

TEST(VornLED7Seg, LayoutGeometry) {
    const TParams dbl = MainWindowDigit[2], rect = MainWindowDigit[0], edge = MainWindowDigit[1];
    const TParams fresh{TVornLED7Seg::ssDoubleEdge, 4, 2, 10};
    const GeometryRow rows[] = {
        {"double-edge a", dbl, 63, 73, 29, 26, TVornLED7Seg::SegA,
         Pts({{9, 8}, {13, 12}, {34, 12}, {38, 8}, {34, 4}, {13, 4}})},
        {"double-edge c", dbl, 63, 73, 29, 26, TVornLED7Seg::SegC,
         Pts({{39, 38}, {35, 42}, {35, 60}, {39, 64}, {43, 60}, {43, 42}})},
        {"double-edge dp", dbl, 63, 73, 29, 26, TVornLED7Seg::SegDP,
         Pts({{48, 64}, {52, 68}, {52, 68}, {56, 64}, {52, 60}, {52, 60}})},
        {"rectangle a", rect, 63, 73, 37, 30, TVornLED7Seg::SegA,
         Pts({{13, 4}, {13, 12}, {50, 12}, {50, 4}, {50, 4}, {50, 4}})},
        {"rectangle g", rect, 63, 73, 37, 30, TVornLED7Seg::SegG,
         Pts({{13, 32}, {13, 40}, {50, 40}, {50, 32}, {50, 32}, {50, 32}})},
        {"edge b", edge, 63, 73, 53, 30, TVornLED7Seg::SegB,
         Pts({{51, 13}, {51, 27}, {59, 35}, {59, 5}, {59, 5}, {59, 5}})},
        {"edge g", edge, 63, 73, 53, 30, TVornLED7Seg::SegG,
         Pts({{5, 36}, {13, 40}, {50, 40}, {58, 36}, {50, 32}, {13, 32}})},
        // Odd SegWidth: the double-edge bars are 2*(7/2) = 6 thick while L and V
        // still take off the full 7.
        {"double-edge odd width a",
         {TVornLED7Seg::ssDoubleEdge, 4, 1, 7},
         63,
         73,
         31,
         27,
         TVornLED7Seg::SegA,
         Pts({{8, 7}, {11, 10}, {36, 10}, {39, 7}, {36, 4}, {11, 4}})},
        {"rectangle odd width g",
         {TVornLED7Seg::ssRectangle, 4, 1, 7},
         63,
         73,
         39,
         30,
         TVornLED7Seg::SegG,
         Pts({{12, 33}, {12, 40}, {51, 40}, {51, 33}, {51, 33}, {51, 33}})},
        {"new widget double-edge d", fresh, 100, 140, 60, 57, TVornLED7Seg::SegD,
         Pts({{11, 131}, {16, 136}, {66, 136}, {71, 131}, {66, 126}, {16, 126}})},
        {"new widget rectangle b",
         {TVornLED7Seg::ssRectangle, 4, 2, 10},
         100,
         140,
         68,
         62,
         TVornLED7Seg::SegB,
         Pts({{86, 6}, {86, 68}, {96, 68}, {96, 6}, {96, 6}, {96, 6}})},
        {"new widget edge e",
         {TVornLED7Seg::ssEdge, 4, 2, 10},
         100,
         140,
         88,
         62,
         TVornLED7Seg::SegE,
         Pts({{4, 72}, {4, 134}, {14, 124}, {14, 82}, {14, 82}, {14, 82}})},
    };
    for (const GeometryRow& r : rows) {
        TVornLED7Seg w;
        Configure(w, r.params, r.width, r.height);
        EXPECT_EQ(w.size(), QSize(r.width, r.height)) << r.name;
        EXPECT_EQ(w.HorizontalLength(), r.L) << r.name;
        EXPECT_EQ(w.VerticalLength(), r.V) << r.name;
        EXPECT_EQ(Show(w.Outline(r.segment)), Show(r.outline)) << r.name;
    }
}

TEST(VornLED7Seg, RectangleAndEdgePointsSitRightOfTheBottomBar) {
    // With room in the margin the point is whole: a bar-thick square (the
    // edge one with bevelled upper corners) one gap right of the right bars,
    // level with the bottom bar.
    struct Row {
        const char* name;
        Shape shape;
        TVornLED7Seg::TOutline dp;
    } rows[] = {
        // S 12, G 1, T 8 at 100 x 140: rectangle L = 58, edge L = 74, both V = 56,
        // so the right bars end at x 88 and the bottom bar at y 128.
        {"rectangle", TVornLED7Seg::ssRectangle,
         Pts({{89, 120}, {89, 128}, {97, 128}, {97, 120}, {97, 120}, {97, 120}})},
        {"edge", TVornLED7Seg::ssEdge,
         Pts({{89, 122}, {89, 128}, {97, 128}, {97, 122}, {95, 120}, {91, 120}})},
    };
    for (const Row& r : rows) {
        TVornLED7Seg w;
        Configure(w, {r.shape, 12, 1, 8}, 100, 140);
        EXPECT_EQ(Show(w.Outline(TVornLED7Seg::SegDP)), Show(r.dp)) << r.name;
    }
}

TEST(VornLED7Seg, TooSmallSizesAreEnlargedOneDimensionPerPassWidthFirst) {
    struct Row {
        const char* name;
        TParams params;
        QSize set;
        std::vector<QSize> passes; // the size each layout pass saw
        int L, V;
    } rows[] = {
        {"double-edge width 50",
         {TVornLED7Seg::ssDoubleEdge, 4, 2, 10},
         {50, 140},
         {{50, 140}, {65, 140}},
         25,
         57},
        {"rectangle height 11",
         {TVornLED7Seg::ssRectangle, 4, 1, 8},
         {63, 11},
         {{63, 11}, {63, 21}, {63, 23}},
         37,
         5},
        {"double-edge both",
         {TVornLED7Seg::ssDoubleEdge, 4, 2, 10},
         {50, 20},
         {{50, 20}, {65, 20}, {65, 76}},
         25,
         25},
        {"edge 1 x 1",
         {TVornLED7Seg::ssEdge, 4, 1, 8},
         {1, 1},
         {{1, 1}, {31, 1}, {31, 21}, {31, 23}},
         21,
         5},
    };
    for (const Row& r : rows) {
        TCountingLED w;
        Configure(w, r.params, 100, 140);
        w.LayoutSizes.clear();
        w.SetBounds(0, 0, r.set.width(), r.set.height());
        EXPECT_EQ(w.LayoutSizes, r.passes) << r.name;
        EXPECT_EQ(w.size(), r.passes.back()) << r.name;
        EXPECT_EQ(w.HorizontalLength(), r.L) << r.name;
        EXPECT_EQ(w.VerticalLength(), r.V) << r.name;
    }
}

TEST(VornLED7Seg, VisibleWidgetIsCorrectedThroughQtsOwnResize) {
    QWidget parent;
    parent.resize(300, 300);
    auto* w = new TVornLED7Seg(&parent);
    parent.show();
    w->resize(50, 140); // plain QWidget::resize: Qt delivers the resize event itself
    EXPECT_EQ(w->size(), QSize(65, 140));
    EXPECT_EQ(w->HorizontalLength(), 25);
}

TEST(VornLED7Seg, ZeroSizeKeepsTheOutlines) {
    TVornLED7Seg w;
    const auto before = w.Outline(TVornLED7Seg::SegA);
    for (QSize s : {QSize(0, 0), QSize(0, 50), QSize(50, 0)}) {
        w.SetBounds(0, 0, s.width(), s.height());
        EXPECT_EQ(w.size(), s);
        EXPECT_EQ(Show(w.Outline(TVornLED7Seg::SegA)), Show(before));
        EXPECT_EQ(w.HorizontalLength(), 60);
    }
}

// ---- change behaviour: what repaints and what lays out again ----

TEST(VornLED7Seg, WritesRepaintAndRelayoutOnlyWhenTheValueChanges) {
    struct Row {
        const char* name;
        std::function<void(TVornLED7Seg&)> same, changed;
        bool relayout;
    } rows[] = {
        {"BrightColor", [](TVornLED7Seg& w) { w.SetBrightColor(255); },
         [](TVornLED7Seg& w) { w.SetBrightColor(65280); }, false},
        {"DimColor", [](TVornLED7Seg& w) { w.SetDimColor(128); },
         [](TVornLED7Seg& w) { w.SetDimColor(16384); }, false},
        {"BackColor", [](TVornLED7Seg& w) { w.SetBackColor(0); },
         [](TVornLED7Seg& w) { w.SetBackColor(0xFFFFFF); }, false},
        {"Value", [](TVornLED7Seg& w) { w.SetValue(0); }, [](TVornLED7Seg& w) { w.SetValue(18); },
         false},
        {"Enabled", [](TVornLED7Seg& w) { w.setEnabled(true); },
         [](TVornLED7Seg& w) { w.setEnabled(false); }, false},
        {"Spacing", [](TVornLED7Seg& w) { w.SetSpacing(4); },
         [](TVornLED7Seg& w) { w.SetSpacing(5); }, true},
        {"Gap", [](TVornLED7Seg& w) { w.SetGap(2); }, [](TVornLED7Seg& w) { w.SetGap(1); }, true},
        {"SegWidth", [](TVornLED7Seg& w) { w.SetSegWidth(10); },
         [](TVornLED7Seg& w) { w.SetSegWidth(8); }, true},
        {"SegShape", [](TVornLED7Seg& w) { w.SetSegShape(TVornLED7Seg::ssDoubleEdge); },
         [](TVornLED7Seg& w) { w.SetSegShape(TVornLED7Seg::ssEdge); }, true},
    };
    for (const Row& r : rows) {
        TCountingLED w;
        const auto before = w.Outline(TVornLED7Seg::SegA);
        r.same(w);
        r.same(w);
        EXPECT_EQ(w.Repaints, 0) << r.name << " unchanged";
        EXPECT_EQ(w.Layouts, 0) << r.name << " unchanged";
        EXPECT_EQ(Show(w.Outline(TVornLED7Seg::SegA)), Show(before)) << r.name;
        r.changed(w);
        EXPECT_EQ(w.Repaints, 1) << r.name << " changed";
        EXPECT_EQ(w.Layouts, r.relayout ? 1 : 0) << r.name << " changed";
        r.changed(w);
        EXPECT_EQ(w.Repaints, 1) << r.name << " written again";
    }
}

TEST(VornLED7Seg, LayoutParameterChangeMovesTheOutlinesAtOnce) {
    TVornLED7Seg w;
    w.SetGap(5);
    EXPECT_EQ(w.HorizontalLength(), 100 - 16 - 10 - 20);
    EXPECT_EQ(w.Outline(TVornLED7Seg::SegA)[0], QPoint(4 + 5 + 5, 4 + 5));
}

// ---- painting ----

TEST(VornLED7Seg, PaintsBackgroundSegmentFillsAndOutlines) {
    const TColor bright = 0x00336699, dim = 0x00102030, back = 0x00C0FFEE;
    for (const TParams& shape : MainWindowDigit) {
        SCOPED_TRACE(testing::Message() << "shape " << int(shape.shape));
        TVornLED7Seg w;
        // Spacing wide enough for the rectangle and edge points to show whole.
        Configure(w, {shape.shape, 12, 1, 8}, 100, 140);
        w.SetBrightColor(bright);
        w.SetDimColor(dim);
        w.SetBackColor(back);
        w.SetValue(1); // b and c lit
        const QImage image = Render(w);
        EXPECT_EQ(image.pixel(0, 0), Rgb(back));
        EXPECT_EQ(image.pixel(99, 139), Rgb(back));
        EXPECT_EQ(image.pixel(50, 2), Rgb(back)); // margin above the top bar
        for (int seg = 0; seg < TVornLED7Seg::SegmentCount; ++seg) {
            const bool lit = seg == TVornLED7Seg::SegB || seg == TVornLED7Seg::SegC;
            EXPECT_EQ(image.pixel(Inside(w.Outline(seg))), Rgb(lit ? bright : dim))
                << "segment " << seg;
        }
        // The lit bar b is bordered in BackColor on both sides; the columns
        // just inside the border are lit.
        const auto& b = w.Outline(TVornLED7Seg::SegB);
        int inner = b[0].x(), outer = b[0].x();
        for (QPoint p : b) {
            inner = std::min(inner, p.x());
            outer = std::max(outer, p.x());
        }
        const int y = Inside(b).y();
        EXPECT_EQ(image.pixel(inner, y), Rgb(back));
        EXPECT_EQ(image.pixel(inner + 1, y), Rgb(bright));
        EXPECT_EQ(image.pixel(outer, y), Rgb(back));
        EXPECT_EQ(image.pixel(outer - 1, y), Rgb(bright));
    }
}

TEST(VornLED7Seg, Code18LightsAllEightAndAnUnlitWidgetIsAllDim) {
    for (const TParams& shape : MainWindowDigit) {
        SCOPED_TRACE(testing::Message() << "shape " << int(shape.shape));
        TVornLED7Seg w;
        Configure(w, {shape.shape, 12, 1, 8}, 100, 140);
        w.SetValue(18);
        QImage image = Render(w);
        for (int seg = 0; seg < TVornLED7Seg::SegmentCount; ++seg)
            EXPECT_EQ(image.pixel(Inside(w.Outline(seg))), qRgb(255, 0, 0))
                << "lit, segment " << seg;

        w.setEnabled(false);
        image = Render(w);
        for (int seg = 0; seg < TVornLED7Seg::SegmentCount; ++seg)
            EXPECT_EQ(image.pixel(Inside(w.Outline(seg))), qRgb(128, 0, 0))
                << "unlit, segment " << seg;
        w.SetValue(20);
        EXPECT_TRUE(Render(w) == image) << "unlit 8 with point looks like unlit blank";
        w.setEnabled(true);
        EXPECT_TRUE(Render(w) == image) << "lit blank looks like unlit";
    }
}

TEST(VornLED7Seg, CodesPastTheTablePaintBlank) {
    TVornLED7Seg w;
    w.SetValue(20);
    const QImage blank = Render(w);
    for (int code : {70, 99, 128, 200, 255}) {
        w.SetValue(quint8(code));
        EXPECT_TRUE(Render(w) == blank) << "code " << code;
    }
}

TEST(VornLED7Seg, RepaintAfterAChangeLooksLikeANewDigitWithNothingCached) {
    struct Row {
        const char* name;
        std::function<void(TVornLED7Seg&)> change;
        int pixelRatio = 1;
    } rows[] = {
        {"BrightColor", [](TVornLED7Seg& w) { w.SetBrightColor(65280); }},
        {"DimColor", [](TVornLED7Seg& w) { w.SetDimColor(0x404040); }},
        {"BackColor", [](TVornLED7Seg& w) { w.SetBackColor(0xFFFFFF); }},
        {"Value", [](TVornLED7Seg& w) { w.SetValue(18); }},
        {"Enabled", [](TVornLED7Seg& w) { w.setEnabled(false); }},
        {"Spacing", [](TVornLED7Seg& w) { w.SetSpacing(6); }},
        {"Gap", [](TVornLED7Seg& w) { w.SetGap(3); }},
        {"SegWidth", [](TVornLED7Seg& w) { w.SetSegWidth(6); }},
        {"SegShape", [](TVornLED7Seg& w) { w.SetSegShape(TVornLED7Seg::ssEdge); }},
        {"size", [](TVornLED7Seg& w) { w.SetBounds(0, 0, 80, 100); }},
        {"pixel ratio 2", [](TVornLED7Seg&) {}, 2},
    };
    for (const Row& r : rows) {
        TVornLED7Seg w;
        Configure(w, MainWindowDigit[2], 63, 73);
        w.SetValue(1);
        const QImage before = Render(w);
        r.change(w);
        const QImage after = Render(w, r.pixelRatio);
        EXPECT_FALSE(after == before) << r.name;
        QPixmapCache::clear();
        TVornLED7Seg fresh;
        Configure(fresh, MainWindowDigit[2], 63, 73);
        fresh.SetValue(1);
        r.change(fresh);
        EXPECT_TRUE(Render(fresh, r.pixelRatio) == after) << r.name;
    }
}

// ---- hostile input: nothing crashes, reads past a table or loops ----

TEST(VornLED7Seg, EveryCodeInEveryShapePaints) {
    for (const TParams& shape : MainWindowDigit) {
        TVornLED7Seg w;
        Configure(w, shape, 63, 73);
        QImage image(w.size(), QImage::Format_RGB32);
        for (int code = 0; code < 256; ++code) {
            w.SetValue(quint8(code));
            w.render(&image);
        }
        EXPECT_EQ(image.pixel(0, 0), qRgb(0, 0, 0));
    }
}

TEST(VornLED7Seg, ExtremeParametersTerminate) {
    struct Row {
        const char* name;
        TParams params;
        QSize set;
    } rows[] = {
        {"SegWidth 0", {TVornLED7Seg::ssDoubleEdge, 4, 2, 0}, {63, 73}},
        {"SegWidth 255", {TVornLED7Seg::ssDoubleEdge, 4, 2, 255}, {63, 73}},
        {"all 255 double-edge", {TVornLED7Seg::ssDoubleEdge, 255, 255, 255}, {1, 1}},
        {"all 255 rectangle", {TVornLED7Seg::ssRectangle, 255, 255, 255}, {1, 1}},
        {"all 255 edge", {TVornLED7Seg::ssEdge, 255, 255, 255}, {1, 1}},
        {"largest size",
         {TVornLED7Seg::ssDoubleEdge, 255, 255, 255},
         {QWIDGETSIZE_MAX, QWIDGETSIZE_MAX}},
        {"beyond the largest", {TVornLED7Seg::ssEdge, 4, 2, 10}, {2000000000, 2000000000}},
    };
    for (const Row& r : rows) {
        TCountingLED w;
        Configure(w, r.params, r.set.width(), r.set.height());
        EXPECT_LE(w.Layouts, 30) << r.name;
        EXPECT_LE(w.width(), QWIDGETSIZE_MAX) << r.name;
        EXPECT_LE(w.height(), QWIDGETSIZE_MAX) << r.name;
        // Whatever the size ended as, it fits the shape now: laying out again
        // changes nothing.
        const QSize settled = w.size();
        const int layouts = w.Layouts;
        w.SetSpacing(quint8(r.params.spacing ^ 1));
        w.SetSpacing(quint8(r.params.spacing));
        EXPECT_LE(w.Layouts - layouts, 8) << r.name;
        EXPECT_GE(w.HorizontalLength(),
                  r.params.shape == TVornLED7Seg::ssRectangle ? 5 : 2 * r.params.segWidth + 5)
            << r.name;
        EXPECT_GE(w.size().width(), settled.width()) << r.name;
    }
}

TEST(VornLED7Seg, SizeCapThatCanNeverFitStopsWithoutOutlines) {
    TCountingLED w;
    w.setMaximumSize(60, 60);
    const auto before = w.Outline(TVornLED7Seg::SegA);
    w.Layouts = 0;
    w.SetSegWidth(255); // would need a width of 2000 and more
    EXPECT_LE(w.Layouts, 3);
    EXPECT_LE(w.width(), 60);
    EXPECT_EQ(Show(w.Outline(TVornLED7Seg::SegA)), Show(before));
    Render(w); // the stale outlines still paint safely
}

TEST(VornLED7Seg, ShapeOutsideTheEnumerationKeepsTheOutlines) {
    // A stored byte that names no shape (a damaged window description) lays
    // out nothing; the last outlines stay and still paint.
    TVornLED7Seg w;
    const auto before = w.Outline(TVornLED7Seg::SegD);
    w.SetSegShape(TVornLED7Seg::TSegmentShape(200));
    w.SetBounds(0, 0, 70, 90);
    EXPECT_EQ(Show(w.Outline(TVornLED7Seg::SegD)), Show(before));
    EXPECT_EQ(Render(w).pixel(0, 0), qRgb(0, 0, 0));
}

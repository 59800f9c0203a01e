#include "DigitPixels.h"
#include "VornLED7Seg.h"

#include <QtUiPlugin/QDesignerCustomWidgetCollectionInterface>
#include <QtUiTools/QUiLoader>

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QMetaProperty>
#include <QPluginLoader>
#include <gtest/gtest.h>
#include <memory>

// The plugin carries its own copy of the widget classes, so the widgets it
// makes are compared by class name and read through their meta-objects.

namespace {

std::unique_ptr<QWidget> Load(QIODevice& AForm) {
    QUiLoader loader;
    loader.clearPluginPaths();
    // QUiLoader looks for plugins in the folder it is given, not in a
    // "designer" folder beneath it.
    loader.addPluginPath(QFileInfo(QStringLiteral(KV_DESIGNER_PLUGIN)).absolutePath());
    std::unique_ptr<QWidget> widget(loader.load(&AForm));
    EXPECT_TRUE(widget) << loader.errorString().toStdString();
    return widget;
}

// A property as a form records it: an enumeration by its key, a colour by
// its name, anything else as text.
QString Recorded(const QObject* AObject, const char* AName) {
    const QMetaObject* meta = AObject->metaObject();
    const QMetaProperty property = meta->property(meta->indexOfProperty(AName));
    const QVariant value = property.read(AObject);
    if (property.isEnumType())
        return QString::fromLatin1(property.enumerator().valueToKey(value.toInt()));
    return value.typeId() == QMetaType::QColor ? value.value<QColor>().name() : value.toString();
}

} // namespace

TEST(DesignerPlugin, OffersTheDigitAndTheSelector) {
    QPluginLoader plugin(QStringLiteral(KV_DESIGNER_PLUGIN));
    auto* collection = qobject_cast<QDesignerCustomWidgetCollectionInterface*>(plugin.instance());
    ASSERT_TRUE(collection) << plugin.errorString().toStdString();
    struct Row {
        const char* name;
        const char* include;
        const char* base;
    };
    const Row rows[] = {{"TVornLED7Seg", "kv52804/VornLED7Seg.h", "QWidget"},
                        {"TComComboBox", "kv52804/CPortCtl.h", "QComboBox"}};
    const QList<QDesignerCustomWidgetInterface*> widgets = collection->customWidgets();
    ASSERT_EQ(widgets.size(), std::size(rows));
    for (size_t i = 0; i < std::size(rows); ++i) {
        QDesignerCustomWidgetInterface* w = widgets[i];
        EXPECT_EQ(w->name(), rows[i].name);
        EXPECT_EQ(w->includeFile(), rows[i].include);
        EXPECT_EQ(w->group(), "KV52804");
        QWidget parent;
        QWidget* created = w->createWidget(&parent);
        EXPECT_STREQ(created->metaObject()->className(), rows[i].name);
        EXPECT_TRUE(created->inherits(rows[i].base));
        EXPECT_EQ(created->parentWidget(), &parent);

        // What Designer drops into a form.
        QBuffer xml;
        xml.setData(w->domXml().toUtf8());
        const std::unique_ptr<QWidget> dropped = Load(xml);
        ASSERT_TRUE(dropped);
        EXPECT_STREQ(dropped->metaObject()->className(), rows[i].name);
        if (i == 0) { // looks like a new digit, with every own property recorded
            EXPECT_EQ(dropped->size(), created->size());
            const QMetaObject* meta = created->metaObject();
            for (int p = meta->propertyOffset(); p < meta->propertyCount(); ++p)
                EXPECT_EQ(Recorded(dropped.get(), meta->property(p).name()),
                          Recorded(created, meta->property(p).name()))
                    << meta->property(p).name();
        } else { // a selector that lists something
            EXPECT_EQ(Recorded(dropped.get(), "ComProperty"), "cpBaudRate");
        }
    }
}

TEST(DesignerPlugin, FormBuiltByTheLoaderKeepsEveryProperty) {
    QFile file(QStringLiteral(KV_DIGITS_FORM));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const std::unique_ptr<QWidget> form = Load(file);
    ASSERT_TRUE(form);

    struct Setting {
        const char* object;
        const char* property;
        const char* value;
    };
    const Setting settings[] = {
        {"Digit1", "BrightColor", "#00ff00"}, {"Digit1", "DimColor", "#004000"},
        {"Digit1", "BackColor", "#000020"},   {"Digit1", "Value", "7"},
        {"Digit1", "SegWidth", "8"},          {"Digit1", "SegShape", "ssEdge"},
        {"Digit2", "BrightColor", "#ffa000"}, {"Digit2", "Value", "12"},
        {"Digit2", "SegShape", "ssRectangle"}, {"BaudRate", "ComProperty", "cpBaudRate"},
        {"BaudRate", "Text", "9600"},
    };
    for (const Setting& s : settings) {
        const QObject* object = form->findChild<QObject*>(s.object);
        ASSERT_TRUE(object) << s.object;
        EXPECT_EQ(Recorded(object, s.property), s.value) << s.object << "." << s.property;
    }

    // Digit 1 paints as a digit set up in code does: 7 lights a, not g.
    auto* digit = form->findChild<QWidget*>("Digit1");
    EXPECT_STREQ(digit->metaObject()->className(), "TVornLED7Seg");
    TVornLED7Seg reference;
    reference.SetSegShape(TVornLED7Seg::ssEdge);
    reference.SetSpacing(4);
    reference.SetGap(1);
    reference.SetSegWidth(8);
    reference.SetBounds(0, 0, 63, 73);
    reference.SetValue(7);
    reference.SetBrightColor(0x00FF00);
    reference.SetDimColor(0x004000);
    reference.SetBackColor(0x200000);
    const QImage image = Render(*digit);
    EXPECT_EQ(image.pixelColor(Inside(reference.Outline(TVornLED7Seg::SegA))), QColor(0, 255, 0));
    EXPECT_EQ(image.pixelColor(Inside(reference.Outline(TVornLED7Seg::SegG))), QColor(0, 64, 0));
    EXPECT_EQ(image.pixelColor(0, 0), QColor(0, 0, 32));
    EXPECT_TRUE(image == Render(reference));
}

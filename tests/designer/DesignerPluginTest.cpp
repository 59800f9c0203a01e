#include "DigitPixels.h"

#include <QtUiPlugin/QDesignerCustomWidgetCollectionInterface>
#include <QtUiTools/QUiLoader>

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QMetaProperty>
#include <QPluginLoader>
#include <gtest/gtest.h>
#include <memory>

using namespace kv52804;

// The plugin has its own copy of the widget classes: the widgets it makes
// are told by class name and read through their meta-objects.
namespace {

std::unique_ptr<QWidget> Load(const QByteArray& AForm) {
    QBuffer form;
    form.setData(AForm);
    QUiLoader loader;
    loader.clearPluginPaths();
    // The folder that holds the plugin file, not the "plugins" one above it.
    loader.addPluginPath(QFileInfo(QStringLiteral(KV_DESIGNER_PLUGIN)).absolutePath());
    return std::unique_ptr<QWidget>(loader.load(&form));
}

// A property as a form records it: an enumeration by its key, a colour by
// its name, anything else as text.
QString Recorded(const QObject* AObject, const char* AName) {
    const QMetaProperty property =
        AObject->metaObject()->property(AObject->metaObject()->indexOfProperty(AName));
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
    // class, header, and a property of the widget Designer drops
    const char* rows[][4] = {{"kv52804::TVornLED7Seg", "kv52804/VornLED7Seg.h", "Gap", "2"},
                             {"kv52804::TComComboBox", "kv52804/CPortCtl.h", "ComProperty", "cpBaudRate"}};
    const QList<QDesignerCustomWidgetInterface*> widgets = collection->customWidgets();
    ASSERT_EQ(widgets.size(), 2);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(widgets[i]->name(), rows[i][0]);
        EXPECT_EQ(widgets[i]->includeFile(), rows[i][1]);
        EXPECT_EQ(widgets[i]->group(), "KV52804");
        const std::unique_ptr<QWidget> created(widgets[i]->createWidget(nullptr));
        EXPECT_STREQ(created->metaObject()->className(), rows[i][0]);
        const std::unique_ptr<QWidget> dropped = Load(widgets[i]->domXml().toUtf8());
        ASSERT_TRUE(dropped) << rows[i][0];
        EXPECT_EQ(Recorded(dropped.get(), rows[i][2]), rows[i][3]) << rows[i][0];
    }
}

TEST(DesignerPlugin, FormBuiltByTheLoaderKeepsEveryProperty) {
    QFile file(QStringLiteral(KV_DIGITS_FORM));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const std::unique_ptr<QWidget> form = Load(file.readAll());
    ASSERT_TRUE(form);
    const char* settings[][3] = {
        {"Digit1", "BrightColor", "#00ff00"}, {"Digit1", "DimColor", "#004000"},
        {"Digit1", "BackColor", "#000020"},   {"Digit1", "Value", "7"},
        {"Digit1", "SegWidth", "8"},          {"Digit1", "SegShape", "ssEdge"},
        {"BaudRate", "ComProperty", "cpBaudRate"},
        {"BaudRate", "Text", "9600"}};
    for (const auto& s : settings) {
        const QObject* object = form->findChild<QObject*>(s[0]);
        ASSERT_TRUE(object) << s[0];
        EXPECT_EQ(Recorded(object, s[1]), s[2]) << s[0] << "." << s[1];
    }

    // The plugin's copy of the class is laid out as this one, so its outline
    // table says where the segments are. Code 7 lights a but not g.
    auto* digit = static_cast<TVornLED7Seg*>(form->findChild<QWidget*>("Digit1"));
    const QImage image = digit->grab().toImage();
    EXPECT_EQ(image.pixelColor(Inside(digit->Outline(TVornLED7Seg::SegA))), QColor(0, 255, 0));
    EXPECT_EQ(image.pixelColor(Inside(digit->Outline(TVornLED7Seg::SegG))), QColor(0, 64, 0));
    EXPECT_EQ(image.pixelColor(0, 0), QColor(0, 0, 32));
}

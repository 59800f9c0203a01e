#include "DesignerPlugin.h"

#include "CPortCtl.h"
#include "VornLED7Seg.h"

#include <QIcon>

using namespace kv52804;

namespace {

const QString Group = QStringLiteral("KV52804");

// A digit dropped into a form has the size a new digit gives itself and
// records all eight of its own properties, so a saved form states every one
// of them even where the user kept the value.
constexpr char DigitXml[] = R"(<ui language="c++">
 <widget class="kv52804::TVornLED7Seg" name="VornLED7Seg">
  <property name="geometry"><rect><x>0</x><y>0</y><width>100</width><height>140</height></rect></property>
  <property name="BrightColor" stdset="0"><color><red>255</red><green>0</green><blue>0</blue></color></property>
  <property name="DimColor" stdset="0"><color><red>128</red><green>0</green><blue>0</blue></color></property>
  <property name="BackColor" stdset="0"><color><red>0</red><green>0</green><blue>0</blue></color></property>
  <property name="Value" stdset="0"><number>0</number></property>
  <property name="Spacing" stdset="0"><number>4</number></property>
  <property name="Gap" stdset="0"><number>2</number></property>
  <property name="SegWidth" stdset="0"><number>10</number></property>
  <property name="SegShape" stdset="0"><enum>kv52804::TVornLED7Seg::ssDoubleEdge</enum></property>
 </widget>
</ui>
)";

// A selector without a setting has an empty list, which looks broken in a
// form; the baud rate is the setting most forms start with.
constexpr char SelectorXml[] = R"(<ui language="c++">
 <widget class="kv52804::TComComboBox" name="ComComboBox">
  <property name="geometry"><rect><x>0</x><y>0</y><width>129</width><height>21</height></rect></property>
  <property name="ComProperty" stdset="0"><enum>kv52804::CPortCtlEnums::cpBaudRate</enum></property>
 </widget>
</ui>
)";

QWidget* CreateDigit(QWidget* AParent) {
    return new TVornLED7Seg(AParent);
}

QWidget* CreateSelector(QWidget* AParent) {
    auto* selector = new TComComboBox(AParent);
    // Neither Designer nor a form loader can pass an exception on: a port
    // list that cannot be read is shown, and the list stays empty.
    selector->SetReportListErrors(true);
    return selector;
}

const TWidgetPlugin::TDescription Widgets[] = {
    {"kv52804::TVornLED7Seg", "kv52804/VornLED7Seg.h", "Seven-segment digit",
     "One seven-segment digit with a decimal point that shows a character code (Value).",
     DigitXml, CreateDigit},
    {"kv52804::TComComboBox", "kv52804/CPortCtl.h", "Serial port setting selector",
     "A drop-down list that edits one setting (ComProperty) of the port bound to it.",
     SelectorXml, CreateSelector},
};

} // namespace

QString TWidgetPlugin::name() const {
    return QString::fromLatin1(FDescription.ClassName);
}

QString TWidgetPlugin::group() const {
    return Group;
}

QString TWidgetPlugin::toolTip() const {
    return QString::fromLatin1(FDescription.ToolTip);
}

QString TWidgetPlugin::whatsThis() const {
    return QString::fromLatin1(FDescription.WhatsThis);
}

QString TWidgetPlugin::includeFile() const {
    return QString::fromLatin1(FDescription.IncludeFile);
}

QIcon TWidgetPlugin::icon() const {
    return QIcon();
}

QString TWidgetPlugin::domXml() const {
    return QString::fromLatin1(FDescription.DomXml);
}

TKV52804DesignerPlugin::TKV52804DesignerPlugin(QObject* AOwner) : QObject(AOwner) {
    for (const TWidgetPlugin::TDescription& widget : Widgets)
        FWidgets.push_back(std::make_unique<TWidgetPlugin>(widget));
}

TKV52804DesignerPlugin::~TKV52804DesignerPlugin() = default;

QList<QDesignerCustomWidgetInterface*> TKV52804DesignerPlugin::customWidgets() const {
    QList<QDesignerCustomWidgetInterface*> widgets;
    for (const auto& widget : FWidgets)
        widgets.append(widget.get());
    return widgets;
}

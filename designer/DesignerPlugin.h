#pragma once
// Qt Designer plugin: the digit widget and the setting selectors in
// Designer's widget box, and for QUiLoader in forms loaded at run time.
#include <QtUiPlugin/QDesignerCustomWidgetCollectionInterface>
#include <QtUiPlugin/QDesignerCustomWidgetInterface>

#include <QObject>
#include <memory>
#include <vector>

// One widget as Designer offers it. Every widget of this plugin differs only
// in data and in the constructor it calls, so one class describes them all.
class TWidgetPlugin : public QDesignerCustomWidgetInterface {
public:
    using TFactory = QWidget* (*)(QWidget* AParent);

    struct TDescription {
        const char* ClassName;
        const char* IncludeFile; // as users include it from the installed headers
        const char* ToolTip;
        const char* WhatsThis;
        const char* DomXml; // what Designer drops into a form
        TFactory Create;
    };

    explicit TWidgetPlugin(const TDescription& ADescription) : FDescription(ADescription) {}

    QString name() const override;
    QString group() const override;
    QString toolTip() const override;
    QString whatsThis() const override;
    QString includeFile() const override;
    QIcon icon() const override;
    bool isContainer() const override { return false; }
    QWidget* createWidget(QWidget* AParent) override { return FDescription.Create(AParent); }
    bool isInitialized() const override { return FInitialized; }
    void initialize(QDesignerFormEditorInterface*) override { FInitialized = true; }
    QString domXml() const override;

private:
    TDescription FDescription;
    bool FInitialized = false;
};

// The plugin object Designer and QUiLoader load.
class TKV52804DesignerPlugin : public QObject, public QDesignerCustomWidgetCollectionInterface {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QDesignerCustomWidgetCollectionInterface_iid)
    Q_INTERFACES(QDesignerCustomWidgetCollectionInterface)

public:
    explicit TKV52804DesignerPlugin(QObject* AOwner = nullptr);
    ~TKV52804DesignerPlugin() override;

    QList<QDesignerCustomWidgetInterface*> customWidgets() const override;

private:
    std::vector<std::unique_ptr<TWidgetPlugin>> FWidgets;
};

// Translating a small form in one walk over its objects and properties.
#include "I18nTestSupport.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QWidget>

class TTestItem : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString Caption READ Caption WRITE SetCaption)
    Q_PROPERTY(QString Fixed READ Fixed)
    Q_PROPERTY(QStringList Lines READ Lines WRITE SetLines)
    Q_PROPERTY(QObject* Link READ Link WRITE SetLink)
public:
    explicit TTestItem(QObject* owner = nullptr) : QObject(owner) {}
    QString Caption() const { return FCaption; }
    void SetCaption(const QString& v) { FCaption = v; }
    QString Fixed() const { return FFixed; }
    QStringList Lines() const { return FLines; }
    void SetLines(const QStringList& v) {
        FLines = v;
        ++FLinesWrites;
    }
    QObject* Link() const { return FLink; }
    void SetLink(QObject* v) { FLink = v; }

    QString FFixed;
    int FLinesWrites = 0;

private:
    QString FCaption;
    QStringList FLines;
    QObject* FLink = nullptr;
};

namespace {
const TEntries kDialog = {
    {"Setup", "Konfiguracja"},
    {"OK", "Dobrze"},
    {" Settings ", " Ustawienia "},
    {"Port", "Port szeregowy"},
    {"Baud rate", "Prędkość"},
    {"COM1", "KOM1"},
    {"Label1", "Etykieta1"},
    {"One", "Jeden"},
    {"Two", "Dwa"},
    {"Split", "Pierwsza\nDruga"},
    {"A", "B"},
    {"B", "C"},
};

// The form: window title, a button, a group box with two labels and a combo
// box, the way the setup dialog is built.
struct TForm {
    TForm() {
        Form.setObjectName("Form");
        Form.setWindowTitle("Setup");
        Button1->setObjectName("Button1");
        GroupBox1->setObjectName("GroupBox1");
        Label1->setObjectName("Label1");
        Label2->setObjectName("Label2");
        Combo1->setObjectName("Combo1");
        Combo1->setPlaceholderText("COM1");
        Combo1->setToolTip("Port");
    }
    QWidget Form;
    QPushButton* Button1 = new QPushButton("OK", &Form);
    QGroupBox* GroupBox1 = new QGroupBox(" Settings ", &Form);
    QLabel* Label1 = new QLabel("Port", GroupBox1);
    QLabel* Label2 = new QLabel("Baud rate", GroupBox1);
    QComboBox* Combo1 = new QComboBox(GroupBox1);
};

class ComponentTranslation : public testing::Test {
protected:
    void SetUp() override {
        Dir.AddCatalog("pl", "cport", kDialog);
        Engine = std::make_unique<TGnuGettextInstance>(Dir.ProgramFile(), nullptr);
        Engine->SelectLanguage("pl");
    }
    TProgramDir Dir;
    std::unique_ptr<TGnuGettextInstance> Engine;
};

TEST_F(ComponentTranslation, TranslatesEveryTextOfTheForm) {
    TForm f;
    Engine->TranslateComponentTree(&f.Form, "cport");
    EXPECT_EQ(f.Form.windowTitle(), "Konfiguracja");
    EXPECT_EQ(f.Button1->text(), "Dobrze");
    EXPECT_EQ(f.GroupBox1->title(), " Ustawienia ");
    EXPECT_EQ(f.Label1->text(), "Port szeregowy");
    EXPECT_EQ(f.Label2->text(), "Prędkość");
    EXPECT_EQ(f.Combo1->placeholderText(), "KOM1");
    EXPECT_EQ(f.Combo1->toolTip(), "Port szeregowy");
}

struct TIgnoreRow {
    const char* Name;
    QStringList Ignore;
    const char* Title;  // expected after the walk
    const char* Label1; // expected after the walk
    const char* Label2;
    const char* Combo; // placeholder
};

void PrintTo(const TIgnoreRow& row, std::ostream* os) {
    *os << row.Name;
}

class IgnoreRules : public ComponentTranslation, public testing::WithParamInterface<TIgnoreRow> {};

TEST_P(IgnoreRules, KeepsIgnoredTextsForOneWalk) {
    const TIgnoreRow& row = GetParam();
    TForm f;
    for (const QString& name : row.Ignore)
        Engine->TP_Ignore(&f.Form, name);
    Engine->TranslateComponentTree(&f.Form, "cport");
    EXPECT_EQ(f.Form.windowTitle(), QString::fromUtf8(row.Title));
    EXPECT_EQ(f.Label1->text(), QString::fromUtf8(row.Label1));
    EXPECT_EQ(f.Label2->text(), QString::fromUtf8(row.Label2));
    EXPECT_EQ(f.Combo1->placeholderText(), QString::fromUtf8(row.Combo));
    EXPECT_TRUE(Engine->IgnoreList().isEmpty());
    // The next walk has no exclusions left.
    TForm g;
    Engine->TranslateComponentTree(&g.Form, "cport");
    EXPECT_EQ(g.Combo1->placeholderText(), "KOM1");
    EXPECT_EQ(g.Label1->text(), "Port szeregowy");
}

// Labels and the combo box are owned by GroupBox1, so their keys are their
// own names; the form's own properties have the empty key.
INSTANTIATE_TEST_SUITE_P(
    Rows, IgnoreRules,
    testing::Values(
        TIgnoreRow{"Component", {"Combo1"}, "Konfiguracja", "Port szeregowy", "Prędkość", "COM1"},
        TIgnoreRow{
            "ComponentLowerCase", {"combo1"}, "Konfiguracja", "Port szeregowy", "Prędkość", "COM1"},
        TIgnoreRow{
            "ComponentAndProperty", {"Label1.text"}, "Konfiguracja", "Port", "Prędkość", "KOM1"},
        TIgnoreRow{"ComponentAndPropertyMixedCase",
                   {"lABEL1.TeXt"},
                   "Konfiguracja",
                   "Port",
                   "Prędkość",
                   "KOM1"},
        TIgnoreRow{
            "DotAndProperty", {".windowTitle"}, "Setup", "Port szeregowy", "Prędkość", "KOM1"},
        TIgnoreRow{"Several",
                   {"Combo1", "Label2.Text", ".WINDOWTITLE"},
                   "Setup",
                   "Port szeregowy",
                   "Baud rate",
                   "COM1"},
        TIgnoreRow{
            "OwnerHidesItsComponents", {"GroupBox1"}, "Konfiguracja", "Port", "Baud rate", "COM1"}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST_F(ComponentTranslation, NameIsNeverTranslated) {
    TForm f;
    f.Label1->setText("Label1");
    Engine->TranslateComponentTree(&f.Form, "cport");
    EXPECT_EQ(f.Label1->objectName(), "Label1");
    EXPECT_EQ(f.Label1->text(), "Etykieta1");
}

TEST_F(ComponentTranslation, ObjectReachedTwiceIsTranslatedOnce) {
    // "A" translates to "B" and "B" to "C": a second visit would show "C".
    QObject root;
    auto* owned = new TTestItem(&root);
    owned->setObjectName("Owned");
    owned->SetCaption("A");
    auto* other = new TTestItem(&root);
    other->SetLink(owned);
    auto* free = new TTestItem(); // reached only through a property
    free->SetCaption("A");
    free->SetLink(owned);
    owned->SetLink(free);
    Engine->TranslateComponentTree(&root, "cport");
    EXPECT_EQ(owned->Caption(), "B");
    EXPECT_EQ(free->Caption(), "B");
    delete free;
}

TEST_F(ComponentTranslation, IgnoredComponentStillReachableThroughAProperty) {
    QObject root;
    auto* hidden = new TTestItem(&root);
    hidden->setObjectName("Hidden");
    hidden->SetCaption("One");
    auto* pointer = new TTestItem(&root);
    pointer->SetLink(hidden);
    Engine->TP_Ignore(&root, "Hidden");
    Engine->TranslateComponentTree(&root, "cport");
    EXPECT_EQ(hidden->Caption(), "Jeden");
}

TEST_F(ComponentTranslation, StringListsKeepEmptyLinesAndSplitTranslatedBreaks) {
    TTestItem item;
    item.SetLines({"One", "", "Two", "Split", "Unknown"});
    item.FLinesWrites = 0;
    Engine->TranslateComponentTree(&item, "cport");
    EXPECT_EQ(item.Lines(), QStringList({"Jeden", "", "Dwa", "Pierwsza", "Druga", "Unknown"}));
    EXPECT_EQ(item.FLinesWrites, 1);
}

TEST_F(ComponentTranslation, ClassRulesStandBeforeTheirAncestors) {
    Engine->TP_GlobalIgnoreClassProperty(QWidget::staticMetaObject, "toolTip");
    Engine->TP_GlobalIgnoreClassProperty(QLabel::staticMetaObject, "text");
    Engine->TP_GlobalIgnoreClassProperty(QPushButton::staticMetaObject, "icon");
    Engine->TP_GlobalIgnoreClassProperty(QLabel::staticMetaObject, "Text");
    Engine->TP_GlobalIgnoreClassProperty(QLabel::staticMetaObject, "accessibleName");
    std::vector<std::pair<QString, QStringList>> rules;
    for (const auto& r : Engine->ClassRules())
        rules.emplace_back(QString::fromLatin1(r.Class->className()), r.Properties);
    const std::vector<std::pair<QString, QStringList>> expected = {
        {"QLabel", {"ACCESSIBLENAME", "TEXT"}},
        {"QPushButton", {"ICON"}},
        {"QWidget", {"TOOLTIP"}},
        {"QObject", {"OBJECTNAME"}}};
    EXPECT_EQ(rules, expected);

    TForm f;
    Engine->TranslateComponentTree(&f.Form, "cport");
    EXPECT_EQ(f.Label1->text(), "Port");    // QLabel rule
    EXPECT_EQ(f.Button1->text(), "Dobrze"); // not a QLabel
    EXPECT_EQ(f.Combo1->toolTip(), "Port"); // QWidget rule applies to descendants
}

class BrokenCatalog : public testing::Test {
protected:
    void SetUp() override {
        Path = Dir.AddBytes("pl", "cport", "this is not a catalog");
        Engine = std::make_unique<TGnuGettextInstance>(Dir.ProgramFile(), nullptr);
        Engine->SelectLanguage("pl");
    }
    TProgramDir Dir;
    QString Path;
    std::unique_ptr<TGnuGettextInstance> Engine;
};

TEST_F(BrokenCatalog, EmptyAndReadOnlyTextsAreNeverLookedUp) {
    TTestItem item;
    item.FFixed = "Read only";
    item.setObjectName("Named");
    EXPECT_EQ(ErrorOf([&] { Engine->TranslateComponentTree(&item, "cport"); }), "(no error)");
}

TEST_F(BrokenCatalog, ErrorNamesClassPropertyAndReason) {
    TTestItem item;
    item.SetCaption("Hello");
    Engine->TP_Ignore(&item, "Something");
    EXPECT_EQ(ErrorOf([&] { Engine->TranslateComponentTree(&item, "cport"); }),
              "Property cannot be translated.\r\n"
              "Use TP_GlobalIgnoreClassProperty(TTestItem,Caption) or\r\n"
              "TP_Ignore (self,'.Caption') to prevent this message.\r\n"
              "Reason: This file is not a valid GNU gettext mo file: " +
                  Path);
    // The walk ended early, so its exclusions are still pending.
    EXPECT_EQ(Engine->IgnoreList(), QStringList{"SOMETHING"});
}

TEST_F(BrokenCatalog, EmptyDomainMeansTheCurrentDomain) {
    TTestItem item;
    item.SetCaption("Hello");
    EXPECT_EQ(ErrorOf([&] { Engine->TranslateComponentTree(&item); }), "(no error)");
    Engine->SetTextDomain("cport");
    EXPECT_NE(ErrorOf([&] { Engine->TranslateComponentTree(&item); }), "(no error)");
}
} // namespace

#include "ComponentTranslationTest.moc"

using namespace kv52804;

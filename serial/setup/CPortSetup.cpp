#include "CPortSetup.h"

#include "Forms.h"
#include "gnugettext.h"

#include <QFontDatabase>
#include <QKeyEvent>
#include <QLabel>
#include <algorithm>
#include <iterator>

namespace kv52804 {

TComSetupFrm::TComSetupFrm(QWidget* AOwner) : QDialog(AOwner) {
    setupUi(this);
    // The described font, or where it is missing (on most Linux systems) a
    // narrow one at the same pixel height, so the captions keep to the
    // layout drawn for it. Fontconfig would otherwise substitute a wide one.
    QFont described = font();
    if (!QFontDatabase::hasFamily(described.family()))
        described.setFamily(QStringLiteral("DejaVu Sans Condensed"));
    described.setPixelSize(11);
    setFont(described);
    // The group box's style sheet fixed its font and that of everything
    // inside it when the form was built, so they do not inherit the new one.
    for (QWidget* child : findChildren<QWidget*>())
        child->setFont(described);
    // A fixed dialog frame: a title and a close box, nothing to resize,
    // minimise or maximise.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    connect(Button1, &QPushButton::clicked, this, &QDialog::accept);
    connect(Button2, &QPushButton::clicked, this, &QDialog::reject);
    FormCreate(this);
}

void TComSetupFrm::FormCreate(QObject* /*Sender*/) {
    GuardAction([this] {
        for (const char* name : {"Combo1", "Combo2", "Combo3", "Combo4", "Combo5", "Combo6"})
            TP_Ignore(this, QString::fromLatin1(name));
        TranslateComponentTree(this, QStringLiteral("cport"));
    });
    FitLabels();
}

// Each label keeps its described place, height and width, and widens only as
// far as its caption needs: this system's fonts are a little wider than the
// ones the layout was drawn with, and translations are longer. It never comes
// closer than kLabelGap to its selector, so a caption can never touch it.
void TComSetupFrm::FitLabels() {
    constexpr int kLabelGap = 6;
    QLabel* const labels[] = {Label1, Label2, Label3, Label4, Label5, Label6};
    const auto selectors = Selectors();
    for (std::size_t row = 0; row < std::size(labels); ++row) {
        QLabel* label = labels[row];
        const int needed = label->fontMetrics().horizontalAdvance(label->text());
        const int room = selectors[row]->x() - kLabelGap - label->x();
        label->resize(std::min(std::max(label->width(), needed), room), label->height());
    }
}

void TComSetupFrm::keyPressEvent(QKeyEvent* event) {
    if (event->matches(QKeySequence::Cancel)) {
        event->ignore();
        return;
    }
    QDialog::keyPressEvent(event);
}

void ShowPortSetupDialog(TCustomComPort& AComPort) {
    TComSetupFrm dialog;
    const auto selectors = dialog.Selectors();
    for (TComComboBox* selector : selectors)
        selector->SetComPort(&AComPort);
    for (TComComboBox* selector : selectors)
        selector->RefreshFromPort();
    if (dialog.exec() != QDialog::Accepted)
        return;
    AComPort.BeginSettingsUpdate();
    try {
        for (TComComboBox* selector : selectors)
            selector->ApplyToPort();
    } catch (...) {
        // Leave no batch open behind us: a port stuck inside a batch would
        // silently ignore every later setting change. The first error is the
        // one the caller needs to see.
        try {
            AComPort.EndSettingsUpdate();
        } catch (...) {
        }
        throw;
    }
    AComPort.EndSettingsUpdate();
}

void TCustomComPort::RunSetupDialog() {
    ShowPortSetupDialog(*this);
}

} // namespace kv52804

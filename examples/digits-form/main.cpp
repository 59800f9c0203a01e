// A window made in Qt Designer with four digits from the widget box's
// "KV52804" group; the program only fills in the codes.
#include "ui_DigitsForm.h"

#include <QApplication>
#include <QTime>

using namespace kv52804;

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QWidget window;
    Ui::DigitsForm form;
    form.setupUi(&window);
    const QString now = QTime::currentTime().toString("hhmm");
    TVornLED7Seg* digits[] = {form.Digit1, form.Digit2, form.Digit3, form.Digit4};
    for (int i = 0; i < 4; ++i)
        digits[i]->SetValue(static_cast<quint8>(now.at(i).digitValue())); // codes 0..9 are the digits
    window.show();
    return application.exec();
}

// Shows the general error display for a message, exactly as the program
// shows it, so a scripted run can compare the program's error box with this
// one pixel by pixel and so check the message it carries.
//   e2e-error-box MESSAGE TITLE
// The title is the program's (a message box is made wide enough for its
// title, so it changes the picture even where no frame draws it).
#include "ErrorDisplay.h"

#include <QApplication>
#include <QMessageBox>

using namespace kv52804;

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    if (argc != 3)
        return 2;
    QMessageBox* box = CreateErrorBox(QString::fromLocal8Bit(argv[1]));
    box->setWindowTitle(QString::fromLocal8Bit(argv[2]));
    // In the screen's corner, clear of the program's own box, so that each
    // can be read off the screen without the other covering it.
    box->move(0, 0);
    const int result = box->exec();
    delete box;
    return result == QMessageBox::Ok ? 0 : 1;
}

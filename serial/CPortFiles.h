#pragma once
// Files that decide which device a port opens and how (the ports file, stored
// settings): read only when this user alone may have written them, and quoted
// safely in the messages about them. Inside the component only.
#include <QByteArray>
#include <QString>

namespace kv52804 {

struct TTrustedFile {
    QByteArray Data;
    int Error = 0;   // the system's code when it could not be opened or read (ENOENT: missing)
    QString Refused; // why it may not be trusted, translated; empty when it may
};

// The file's bytes when it is a regular file of this user's that nobody else
// may write to (CheckOwnership). With followLink false a symbolic link under
// the name is refused too. A FIFO put under the name cannot hold the open.
TTrustedFile ReadTrustedFile(const QString& file, bool followLink);

// A word or line of such a file as a message quotes it: control characters
// written out, so that it cannot play tricks on the terminal that shows it.
QString QuotedText(const QString& text);

} // namespace kv52804

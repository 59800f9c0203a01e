#pragma once
// Which port the tool talks to, and what the list command says of each port.
#include <QString>
#include <QStringList>

struct TOptions;

// The ports present, as the list shows them. A port directory that is not
// safe to use is left out with a warning on standard error, and so are the
// ports file's warnings. Raises EPortFailed when the list cannot be read.
QStringList PortsPresent();

// --port, else $KV52804_PORT, else the defaults file's (fromFile, empty if
// none), else the only port present but the kernel's console (sysfs
// class/tty/console/active), which is used only when named; a relative
// path (a name with a slash)
// is made absolute. A plain name that the ports file is asked for is
// preceded on standard error by the warnings of the file's lines that name
// it, and by those of the whole file when /dev has no such name either.
// Raises EPortFailed when that leaves none or several.
QString ChoosePort(const TOptions& options, const QString& fromFile);

// How messages name the port: the device path or URL that is opened, or the
// name of a published port.
QString PortLabel(const QString& name);

// What the system knows of a listed port: the maker and product of a USB
// adapter, "virtual display" for a link published by kv52804-sim, the
// driver of other devices, the URL of a named network port; "system
// console" after that for the kernel's console; empty when nothing is known.
QString DescribePort(const QString& name);

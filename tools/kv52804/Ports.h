#pragma once
// Which port the tool talks to, and what the list command says of each port.
#include "Exception.h"

#include <QString>

struct TOptions;

// No port named and none or several found: the message lists the choices.
class EPortChoice : public Exception {
public:
    using Exception::Exception;
};

// --port, else $KV52804_PORT, else the only port of the list. Raises
// EPortChoice when that leaves none or several, EComPort when the list
// cannot be read.
QString ChoosePort(const TOptions& options);

// What the system knows of a listed port: the maker and product of a USB
// adapter, "virtual display" for a link published by kv52804-sim, the
// driver of other devices; empty when nothing is known.
QString DescribePort(const QString& name);

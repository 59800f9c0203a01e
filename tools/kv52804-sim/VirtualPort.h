#pragma once
// The module's end of the serial line: a pseudo-terminal pair whose slave is
// published as a named port in the local port directory, where the port
// list and the port's open find it by name.
#include "Exception.h"

#include <QString>
#include <string>

class TVirtualPort {
public:
    // Opens the pair in raw mode, so every byte 0..255 passes unchanged.
    TVirtualPort();
    // Removes the published link and record (only if still ours) and closes
    // both ends.
    ~TVirtualPort();
    TVirtualPort(const TVirtualPort&) = delete;
    TVirtualPort& operator=(const TVirtualPort&) = delete;

    // Makes <directory>/<name> a link to the slave, with the record that
    // shows this process still holds it (PortPublisherRecord). The directory
    // is created (owner only) when missing; an existing link of that name is
    // replaced in one step, so a reader never finds the name missing or half
    // made.
    void Publish(const QString& directory, const QString& name);
    void Unpublish() noexcept;

    int MasterFd() const { return FMaster; }
    // A descriptor that becomes readable when a client closes the slave.
    int CloseWatchFd() const { return FWatch; }
    const QString& SlavePath() const { return FSlavePath; }
    const QString& LinkPath() const { return FLinkPath; }

    // Reads what has arrived at the master without blocking; empty when
    // nothing is there.
    std::string ReadAvailable();
    // Called when CloseWatchFd is readable: consumes the notifications and,
    // when the slave was closed and no other process still holds it, lets the
    // next client open it.
    void ClientClosed();

private:
    int FMaster = -1;
    // Held open for the whole run: while any slave descriptor is open the
    // master never sees a hang-up, so a client closing the port does not end
    // the module, and the next client finds it as before.
    int FSlave = -1;
    int FWatch = -1;
    QString FSlavePath;
    QString FLinkPath;
    QString FRecordPath, FRecord; // the publisher record beside the link
};

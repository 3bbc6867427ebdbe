// The ports a program installs for the support and update units, set for the
// life of one object and cleared in reverse order when it goes, on every way
// out of the program.
#pragma once

namespace rl {

class IRegistry;
class ITextSystem;
class ISnapshotPort;
class IFileSystem;
class IScreenCursor;
class IMessagePump;
class IApplication;
class IInternet;
class IUpdateWindowFactory;
class ICrypto;

// Null: that port is not installed (and stays as it was).
struct PortSet {
    IRegistry* registry = nullptr;
    ITextSystem* text = nullptr;
    ISnapshotPort* snapshots = nullptr;
    IFileSystem* files = nullptr;
    IScreenCursor* cursor = nullptr;
    IMessagePump* pump = nullptr;
    IApplication* application = nullptr;
    IInternet* internet = nullptr;
    IUpdateWindowFactory* updateWindows = nullptr;
    ICrypto* crypto = nullptr;
};

class InstalledPorts {
public:
    explicit InstalledPorts(const PortSet& ports);
    ~InstalledPorts();
    InstalledPorts(const InstalledPorts&) = delete;
    InstalledPorts& operator=(const InstalledPorts&) = delete;

private:
    PortSet ports_;
};

}  // namespace rl

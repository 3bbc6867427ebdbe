#include "update/InstalledPorts.h"

#include "procenum/KzEnumProcesses.h"
#include "support/Application.h"
#include "support/KzFileLib.h"
#include "support/KzRegistry.h"
#include "support/VorlLibText.h"
#include "update/KzAutoUpdateInfo.h"
#include "update/KzHTTP.h"
#include "update/UpdateSignature.h"

namespace rl {

InstalledPorts::InstalledPorts(const PortSet& ports) : ports_(ports) {
    if (ports_.registry != nullptr) SetRegistryPort(ports_.registry);
    if (ports_.text != nullptr) SetTextSystemPort(ports_.text);
    if (ports_.snapshots != nullptr) SetSnapshotPort(ports_.snapshots);
    if (ports_.files != nullptr) SetFileSystemPort(ports_.files);
    if (ports_.cursor != nullptr) SetScreenCursorPort(ports_.cursor);
    if (ports_.pump != nullptr) SetMessagePumpPort(ports_.pump);
    if (ports_.application != nullptr) SetApplicationPort(ports_.application);
    if (ports_.internet != nullptr) SetInternetPort(ports_.internet);
    if (ports_.updateWindows != nullptr) SetUpdateWindowPort(ports_.updateWindows);
    if (ports_.crypto != nullptr) SetCryptoPort(ports_.crypto);
}

InstalledPorts::~InstalledPorts() {
    if (ports_.crypto != nullptr) SetCryptoPort(nullptr);
    if (ports_.updateWindows != nullptr) SetUpdateWindowPort(nullptr);
    if (ports_.internet != nullptr) SetInternetPort(nullptr);
    if (ports_.application != nullptr) SetApplicationPort(nullptr);
    if (ports_.pump != nullptr) SetMessagePumpPort(nullptr);
    if (ports_.cursor != nullptr) SetScreenCursorPort(nullptr);
    if (ports_.files != nullptr) SetFileSystemPort(nullptr);
    if (ports_.snapshots != nullptr) SetSnapshotPort(nullptr);
    if (ports_.text != nullptr) SetTextSystemPort(nullptr);
    if (ports_.registry != nullptr) SetRegistryPort(nullptr);
}

}  // namespace rl

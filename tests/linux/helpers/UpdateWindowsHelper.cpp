// Shows the update windows of the Linux build as the program shows them,
// for screenshots and for trying them by hand.
//
//   rl_update_windows_helper info FILE      the release-notes window with the
//                                           notes in FILE (RTF or text); exits
//                                           with 6 on Yes, 7 otherwise
//   rl_update_windows_helper progress [MS]  the download window part-way
//                                           through a download; stays for MS
//                                           milliseconds (default 60000)
#include <QApplication>
#include <QEventLoop>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/linux/QtUpdateWindows.h"
#include "update/KzAutoUpdateInfo.h"
#include "update/KzAutoUpdateProgress.h"

namespace {

void PumpFor(int milliseconds) {
    QEventLoop loop;
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec();
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    // As the program names itself (without a display name, which Qt would
    // add to the windows' titles).
    QApplication::setApplicationName(QStringLiteral("RestLevel"));
    rl::qt::UpdateWindowFactory factory;
    rl::SetUpdateWindowPort(&factory);

    if (argc >= 3 && std::strcmp(argv[1], "info") == 0) {
        std::ifstream file(argv[2], std::ios::binary);
        if (!file) {
            std::fprintf(stderr, "cannot read %s\n", argv[2]);
            return 2;
        }
        std::ostringstream notes;
        notes << file.rdbuf();
        return rl::ExecuteUpdateInfo(notes.str()) ? rl::kMrYes : rl::kMrNo;
    }
    if (argc >= 2 && std::strcmp(argv[1], "progress") == 0) {
        const int stay = argc >= 3 ? std::atoi(argv[2]) : 60000;
        auto form = rl::CreateKzAutoUpdateForm();
        if (form == nullptr) return 2;
        form->SetProgressText("Checking for Update Files...");
        form->Show();
        form->SetProgressText("Download 1 of 2 (restlevel)...");
        for (int position = 0; position <= 620; position += 20) {
            form->SetProgressPosition(position);
            PumpFor(10);
        }
        PumpFor(stay);
        return 0;
    }
    std::fprintf(stderr, "usage: %s info FILE | progress [MS]\n", argv[0]);
    return 2;
}

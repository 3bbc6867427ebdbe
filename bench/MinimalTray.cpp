// The yardstick of bench/idle_watchers.sh: a Qt Widgets program that shows
// one tray icon and does nothing else, so that its resident memory is what
// any Qt tray program of ours costs at the least.
#include <QApplication>
#include <QIcon>
#include <QSystemTrayIcon>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    QSystemTrayIcon icon(QIcon(QStringLiteral(":/tray-watching.png")));
    icon.show();
    return QApplication::exec();
}

#include "app/mainwindow.h"
#include "filters/memorytuning.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char *argv[])
{
    nocta::tuneMemoryForFrames();
    QApplication application(argc, argv);
    // The menu entry's id lets the desktop match the window to its entry.
    QGuiApplication::setDesktopFileName(QStringLiteral(NOCTA_APP_ID));
    QIcon icon;
    icon.addFile(QStringLiteral(":/nocta/icon-48.png"));
    icon.addFile(QStringLiteral(":/nocta/icon-256.png"));
    QApplication::setWindowIcon(icon);
    MainWindow window;
    window.show();
    return application.exec();
}

#include "app/mainwindow.h"
#include "filters/memorytuning.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    nocta::tuneMemoryForFrames();
    QApplication application(argc, argv);
    MainWindow window;
    window.show();
    return application.exec();
}

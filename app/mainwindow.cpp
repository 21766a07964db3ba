#include "app/mainwindow.h"
#include "app/mainwindowui.h"

#include "filters/fuzzy/prefilterframe.h"
#include "filters/standard/smoothframe.h"
#include "pipeline/movie/moviestages.h"
#include "pipeline/run/processingrun.h"
#include "pipeline/core/runsink.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTime>

// How the stages report to the window.
class MainWindow::Sink : public nocta::RunSink
{
public:
    explicit Sink(MainWindow &window) : w(window) {}

    void log(const QString &message) override { w.appendLog(message); }

    void logFailure(const QString &message) override
    {
        w.appendLog(message);
        if (!w.closeRequested)
            w.showConsole();
    }

    // A run shows the bar at 0.
    void setProgressVisible(bool visible) override
    {
        if (visible)
            w.ui->progressBar->setValue(0);
        w.ui->progressBar->setVisible(visible);
    }

    // Once per output frame: the window repaints and takes its events here.
    void setProgress(int framesDone, int framesExpected) override
    {
        w.ui->progressBar->setValue(nocta::progressPercent(framesDone, framesExpected));
        QCoreApplication::processEvents();
    }

    void setPreview(const QImage &preview) override
    {
        w.ui->image_original->setPixmap(QPixmap::fromImage(preview));
    }
    bool wantsPreview() const override { return true; }

    bool stopRequested() const override { return w.closeRequested; }

private:
    MainWindow &w;
};

// Marks the window busy while a stage runs, optionally with the wait cursor
// (the window takes no events while ffmpeg works). When the outermost stage
// ends, a close that was put off meanwhile is carried out.
class MainWindow::StageScope
{
public:
    StageScope(MainWindow &window, bool waitCursor)
        : w(window), outermost(!window.busy), cursor(waitCursor)
    {
        if (outermost)
            w.closeRequested = false;
        w.busy = true;
        if (cursor)
            QApplication::setOverrideCursor(Qt::WaitCursor);
    }

    ~StageScope()
    {
        if (cursor)
            QApplication::restoreOverrideCursor();
        if (!outermost)
            return;
        w.busy = false;
        if (w.closeRequested) {
            w.closeRequested = false;
            w.close();
        }
    }

    StageScope(const StageScope &) = delete;
    StageScope &operator=(const StageScope &) = delete;

private:
    MainWindow &w;
    const bool outermost;
    const bool cursor;
};

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent),
      ui(new MainWindowUi),
      fileChooser([](QWidget *parent, const QString &caption, const QString &dir) {
          return QFileDialog::getOpenFileName(parent, caption, dir);
      })
{
    ui->setupUi(this);
    fileOpened = false;
    ui->progressBar->setVisible(false);
}

MainWindow::~MainWindow()
{
    delete ui;
}

void MainWindow::appendLog(const QString &message)
{
    ui->plainTextEdit->appendPlainText(QTime::currentTime().toString(Qt::TextDate) + message);
}

QImage MainWindow::smoothFrame(const QImage &frame)
{
    return nocta::smoothFrame(frame);
}

void MainWindow::prefilterFrame(int radius, const QImage &frame, nocta::FramePlanes &planes)
{
    nocta::prefilterFrame(radius, frame, planes);
}

void MainWindow::setFileChooser(FileChooser chooser)
{
    fileChooser = std::move(chooser);
}

// A click that arrives while a stage runs (delivered by the processing
// run's event pump) would start a nested stage: it is refused. Only the
// clicks that "All in one" makes itself get through.
bool MainWindow::admitClick()
{
    if (busy && !ownClick)
        return false;
    ownClick = false;
    return true;
}

bool MainWindow::clickStage(QAbstractButton *button)
{
    lastStageOk = false;
    ownClick = true;
    button->click();
    ownClick = false;
    return lastStageOk && !closeRequested;
}

// The console group lies outside the window's initial area; a failure
// enlarges the window so that it comes into view.
void MainWindow::showConsole()
{
    const QRect console = ui->groupBox_4->geometry();
    const QPoint corner = ui->centralWidget->mapTo(this, console.bottomRight());
    const int wantWidth = corner.x() + 1 + 10;
    const int wantHeight = corner.y() + 1 + 8;
    if (width() < wantWidth || height() < wantHeight)
        resize(qMax(width(), wantWidth), qMax(height(), wantHeight));
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    if (busy) {
        // Let the running stage finish its current frame, then close.
        closeRequested = true;
        event->ignore();
        return;
    }
    QMainWindow::closeEvent(event);
}

// "Open movie"
void MainWindow::on_pushButton_3_clicked()
{
    if (!admitClick())
        return;
    StageScope scope(*this, false);
    fileOpened = false;
    const QString name = fileChooser(this, tr("Open File"), QDir::currentPath());
    if (!name.isEmpty()) {
        appendLog(QStringLiteral(" - File opened."));
        fileOpened = true;
        filePath = name;
    }
    lastStageOk = fileOpened;
}

// "Decode movie"
void MainWindow::on_pushButton_4_clicked()
{
    if (!admitClick())
        return;
    StageScope scope(*this, true);
    Sink sink(*this);
    lastStageOk = nocta::decodeMovie(filePath, QDir::currentPath(), sink);
}

// "Process movie"
void MainWindow::on_pushButton_5_clicked()
{
    if (!admitClick())
        return;
    StageScope scope(*this, false);
    const nocta::DenoiseMode mode = ui->radioButton->isChecked() ? nocta::DenoiseMode::Standard
                                                                 : nocta::DenoiseMode::Fuzzy;
    Sink sink(*this);
    lastStageOk = nocta::processMovie(QDir::currentPath(), mode, sink).ok();
}

// "Code movie"
void MainWindow::on_pushButton_6_clicked()
{
    if (!admitClick())
        return;
    StageScope scope(*this, true);
    Sink sink(*this);
    lastStageOk = nocta::encodeMovie(QDir::currentPath(), sink);
}

// "All in one": open, then decode, process and code, stopping at the first
// stage that fails (a cancelled dialog included).
void MainWindow::on_pushButton_clicked()
{
    if (!admitClick())
        return;
    StageScope scope(*this, false);
    if (!clickStage(ui->pushButton_3) || !fileOpened)
        return;
    if (!clickStage(ui->pushButton_4))
        return;
    if (!clickStage(ui->pushButton_5))
        return;
    clickStage(ui->pushButton_6);
}

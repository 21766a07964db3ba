#pragma once

#include "filters/fuzzy/frameplanes.h"

#include <QImage>
#include <QMainWindow>
#include <QString>

#include <functional>

class MainWindowUi;
class QAbstractButton;
class QCloseEvent;

// The control panel: five stage buttons, the mode choice, a preview, a
// progress bar and the output console. The stages themselves live in the
// pipeline library; the slots only hand them the window's current directory
// and report through the window.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    // Asks the user for the movie file: (parent, caption, start directory)
    // to the chosen file name, empty on cancel.
    using FileChooser = std::function<QString(QWidget *parent, const QString &caption, const QString &dir)>;

    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // Appends one console line: the time of day followed directly by the
    // message, which begins with " - ".
    void appendLog(const QString &message);

    // The per-frame filters of both chains.
    static QImage smoothFrame(const QImage &frame);
    static void prefilterFrame(int radius, const QImage &frame, nocta::FramePlanes &planes);

    // Replaces the open dialog (the default is QFileDialog::getOpenFileName).
    void setFileChooser(FileChooser chooser);

    // True while a stage (or "All in one") is running.
    bool isBusy() const { return busy; }

protected:
    void closeEvent(QCloseEvent *event) override;

private slots:
    void on_pushButton_3_clicked();
    void on_pushButton_4_clicked();
    void on_pushButton_5_clicked();
    void on_pushButton_6_clicked();
    void on_pushButton_clicked();

private:
    class Sink;
    class StageScope;
    friend class TestMainWindow;

    bool admitClick();
    bool clickStage(QAbstractButton *button);
    void showConsole();

    MainWindowUi *ui;
    bool fileOpened;
    QString filePath;

    FileChooser fileChooser;
    bool busy = false;            // a stage runs; clicks from the user are refused
    bool ownClick = false;        // the next stage click comes from "All in one"
    bool lastStageOk = false;     // outcome of the last stage, for "All in one"
    bool closeRequested = false;  // closed while busy: stop the run, close once the stage returns
};

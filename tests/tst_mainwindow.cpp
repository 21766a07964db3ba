// The main window: its form, the console line, and the stages driven from
// the buttons (the processing run in both modes, refused clicks during a
// run, closing during a run, "Open movie" and "All in one").

#include "app/mainwindow.h"
#include "app/mainwindowui.h"
#include "pipeline/run/processingrun.h"
#include "testsupport.h"

#include <QApplication>
#include <QButtonGroup>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QScrollArea>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTranslator>

#include <memory>

#include <sys/resource.h>
#include <unistd.h>

using nocta::test::RecordingSink;

namespace {

// A temporary directory made the process's current directory for the
// lifetime of the object.
class WorkDir
{
public:
    explicit WorkDir(const QString &pattern = QString())
        : dir(pattern.isEmpty() ? QTemporaryDir() : QTemporaryDir(QDir::tempPath() + QLatin1Char('/') + pattern)),
          previous(QDir::currentPath())
    {
        if (dir.isValid())
            QDir::setCurrent(dir.path());
    }
    ~WorkDir() { QDir::setCurrent(previous); }

    bool isValid() const { return dir.isValid(); }
    QString path() const { return dir.path(); }
    QString filePath(const QString &name) const { return dir.filePath(name); }

private:
    QTemporaryDir dir;
    QString previous;
};

const QRegularExpression &logLinePattern()
{
    static const QRegularExpression pattern(QStringLiteral("^(\\d\\d:\\d\\d:\\d\\d)( - .*)$"));
    return pattern;
}

// Every file of a directory, by name.
QStringList filesIn(const QString &dir)
{
    return QDir(dir).entryList(QDir::Files, QDir::Name);
}

QStringList expectedOutputs(int frames)
{
    QStringList names;
    for (int i = 1; i <= frames - 4; ++i)
        names << QStringLiteral("%1.png").arg(i, 3, 10, QLatin1Char('0'));
    return names;
}

// Runs the processing run directly, outside any window, for reference outputs.
bool referenceRun(const QString &frameDir, int frames, nocta::DenoiseMode mode, QString *workDir)
{
    if (!nocta::test::writeNightFrames(frameDir + QStringLiteral("/screens"), frames, 40, 24))
        return false;
    RecordingSink sink;
    *workDir = frameDir;
    return nocta::processMovie(frameDir, mode, sink).ok();
}

// Answers every text of the form's context with "[text]", so that a test
// sees which texts went through the translation lookup, and how.
class BracketTranslator : public QTranslator
{
public:
    bool isEmpty() const override { return false; }
    QString translate(const char *context, const char *sourceText, const char *disambiguation,
                      int n) const override
    {
        if (qstrcmp(context, "MainWindow") != 0 || disambiguation != nullptr || n != -1)
            return QString();
        return QLatin1Char('[') + QString::fromUtf8(sourceText) + QLatin1Char(']');
    }
};

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private:
    static QStringList consoleLines(const MainWindow &w)
    {
        return w.ui->plainTextEdit->toPlainText().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }

    // The console lines without their time stamps; a line that does not
    // have the log-line form is kept whole, marked.
    static QStringList messages(const MainWindow &w)
    {
        QStringList result;
        for (const QString &line : consoleLines(w)) {
            const auto match = logLinePattern().match(line);
            result << (match.hasMatch() ? match.captured(2) : QStringLiteral("<malformed> ") + line);
        }
        return result;
    }

    static QWidget *widget(const MainWindow &w, const QString &name)
    {
        const MainWindowUi &ui = *w.ui;
        const QHash<QString, QWidget *> fields = {
            {"centralWidget", ui.centralWidget}, {"groupBox_3", ui.groupBox_3},
            {"pushButton_3", ui.pushButton_3}, {"pushButton_4", ui.pushButton_4},
            {"pushButton_5", ui.pushButton_5}, {"pushButton_6", ui.pushButton_6},
            {"pushButton", ui.pushButton}, {"radioButton", ui.radioButton},
            {"radioButton_2", ui.radioButton_2}, {"groupBox_4", ui.groupBox_4},
            {"scrollArea", ui.scrollArea}, {"scrollAreaWidgetContents", ui.scrollAreaWidgetContents},
            {"plainTextEdit", ui.plainTextEdit}, {"groupBox", ui.groupBox},
            {"image_original", ui.image_original}, {"progressBar", ui.progressBar},
        };
        return fields.value(name);
    }

    static QRect inWindow(const MainWindow &w, const QWidget *child)
    {
        return QRect(child->parentWidget()->mapTo(&w, child->pos()), child->size());
    }

private slots:
    void windowAtStart();
    void widgets_data();
    void widgets();
    void creationOrder_data();
    void creationOrder();
    void laterButtonLiesOnTop();
    void modeButtons();
    void textsGoThroughTranslation();
    void slotTable();
    void logLine_data();
    void logLine();
    void processingRun_data();
    void processingRun();
    void clickDuringRunIsRefused_data();
    void clickDuringRunIsRefused();
    void closeDuringRunStopsIt();
    void openMovie_data();
    void openMovie();
    void allInOneStopsOnCancel();
    void failureShowsConsole();
    void processMovieStopsAtABadFrame_data();
    void processMovieStopsAtABadFrame();
    void processMovieUnderLimits_data();
    void processMovieUnderLimits();
    void allInOneStopsAtFailedStage();
    void allInOneEndToEnd();
    void codeMovieRefusesAnIncompleteMovie_data();
    void codeMovieRefusesAnIncompleteMovie();
};

void TestMainWindow::windowAtStart()
{
    MainWindow w;
    QCOMPARE(w.objectName(), QStringLiteral("MainWindow"));
    QCOMPARE(QString::fromLatin1(w.metaObject()->className()), QStringLiteral("MainWindow"));
    QCOMPARE(w.size(), QSize(356, 175));
    QCOMPARE(w.windowTitle(), QStringLiteral("NOCTA night movie denoising"));
    QVERIFY(!w.autoFillBackground());
    QCOMPARE(w.styleSheet(), QStringLiteral("background-color: rgb(200, 200, 220);"));
    QCOMPARE(w.centralWidget(), w.ui->centralWidget);
    QVERIFY(!w.fileOpened);
    QVERIFY(w.filePath.isEmpty());

    QVERIFY(w.ui->progressBar->isHidden());
    QCOMPARE(w.ui->progressBar->value(), 24);
    QVERIFY(w.ui->progressBar->isTextVisible());

    QVERIFY(w.ui->radioButton_2->isChecked());
    QVERIFY(w.ui->radioButton_2->isEnabled());
    QVERIFY(!w.ui->radioButton->isChecked());

    QVERIFY(w.ui->plainTextEdit->toPlainText().isEmpty());
    QVERIFY(!w.ui->plainTextEdit->isReadOnly());
    QVERIFY(w.ui->image_original->text().isEmpty());
    QVERIFY(w.ui->image_original->pixmap(Qt::ReturnByValue).isNull());
    QVERIFY(!w.ui->image_original->hasScaledContents());

    QVERIFY(w.ui->scrollArea->widgetResizable());
    QCOMPARE(w.ui->scrollArea->widget(), w.ui->scrollAreaWidgetContents);

    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QCOMPARE(w.size(), QSize(356, 175));
    QVERIFY(w.ui->progressBar->isHidden());
    // The console group lies wholly outside the initial window.
    const QRect console = inWindow(w, w.ui->groupBox_4);
    QCOMPARE(console, QRect(20, 310, 341, 93));
    QVERIFY(!w.rect().intersects(console));

    // Enlarging the window reveals it in place; nothing moves or grows.
    w.resize(400, 420);
    QCoreApplication::processEvents();
    QCOMPARE(inWindow(w, w.ui->groupBox_4), QRect(20, 310, 341, 93));
    QCOMPARE(w.ui->groupBox_3->geometry(), QRect(10, 0, 101, 141));
    QCOMPARE(w.ui->groupBox->geometry(), QRect(120, 0, 232, 171));
}

void TestMainWindow::widgets_data()
{
    QTest::addColumn<QString>("className");
    QTest::addColumn<QString>("parentName");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<int>("pointSize");       // 0: the widget keeps the inherited font
    QTest::addColumn<bool>("pointingHand");
    QTest::addColumn<QString>("text");        // null: the widget has no text

    const QString none;
    QTest::newRow("centralWidget") << "QWidget" << "MainWindow" << QRect(0, 0, 356, 175) << 0 << false << none;
    QTest::newRow("groupBox_3") << "QGroupBox" << "centralWidget" << QRect(10, 0, 101, 141) << 7 << false << "Control";
    QTest::newRow("pushButton_3") << "QPushButton" << "groupBox_3" << QRect(3, 12, 81, 18) << 7 << true << "Open movie";
    QTest::newRow("pushButton_4") << "QPushButton" << "groupBox_3" << QRect(3, 27, 81, 18) << 7 << true << "Decode movie";
    QTest::newRow("pushButton_5") << "QPushButton" << "groupBox_3" << QRect(3, 42, 81, 18) << 7 << true << "Process movie";
    QTest::newRow("pushButton_6") << "QPushButton" << "groupBox_3" << QRect(3, 57, 81, 18) << 7 << true << "Code movie";
    QTest::newRow("pushButton") << "QPushButton" << "groupBox_3" << QRect(3, 72, 81, 18) << 7 << true << "All in one";
    QTest::newRow("radioButton") << "QRadioButton" << "groupBox_3" << QRect(10, 100, 82, 17) << 7 << false << "Standard";
    QTest::newRow("radioButton_2") << "QRadioButton" << "groupBox_3" << QRect(10, 120, 82, 17) << 7 << false << "Fuzzy";
    QTest::newRow("groupBox_4") << "QGroupBox" << "centralWidget" << QRect(20, 310, 341, 93) << 7 << false << "Output console";
    QTest::newRow("scrollArea") << "QScrollArea" << "groupBox_4" << QRect(10, 10, 321, 80) << 0 << false << none;
    QTest::newRow("scrollAreaWidgetContents") << "QWidget" << "qt_scrollarea_viewport" << QRect(0, 0, 319, 78) << 0 << false << none;
    QTest::newRow("plainTextEdit") << "QPlainTextEdit" << "scrollAreaWidgetContents" << QRect(0, 0, 331, 78) << 7 << false << "";
    QTest::newRow("groupBox") << "QGroupBox" << "centralWidget" << QRect(120, 0, 232, 171) << 7 << false << "Processed image";
    QTest::newRow("image_original") << "QLabel" << "groupBox" << QRect(6, 13, 220, 151) << 0 << false << "";
    QTest::newRow("progressBar") << "QProgressBar" << "centralWidget" << QRect(10, 150, 101, 21) << 6 << false << none;
}

void TestMainWindow::widgets()
{
    QFETCH(QString, className);
    QFETCH(QString, parentName);
    QFETCH(QRect, geometry);
    QFETCH(int, pointSize);
    QFETCH(bool, pointingHand);
    QFETCH(QString, text);

    MainWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));

    const QString name = QString::fromLatin1(QTest::currentDataTag());
    QWidget *item = widget(w, name);
    QVERIFY2(item, "no such field in the form holder");
    QCOMPARE(item->objectName(), name);
    QCOMPARE(w.findChildren<QWidget *>(name), QList<QWidget *>{item});
    QCOMPARE(QString::fromLatin1(item->metaObject()->className()), className);
    QVERIFY(item->parentWidget());
    QCOMPARE(item->parentWidget()->objectName(), parentName);
    QCOMPARE(item->geometry(), geometry);

    if (pointSize) {
        QVERIFY(item->testAttribute(Qt::WA_SetFont));
        QFont expected;
        expected.setPointSize(pointSize);
        QCOMPARE(item->font(), expected);
    } else {
        QVERIFY(!item->testAttribute(Qt::WA_SetFont));
    }

    QCOMPARE(item->testAttribute(Qt::WA_SetCursor), pointingHand);
    if (pointingHand)
        QCOMPARE(item->cursor().shape(), Qt::PointingHandCursor);

    if (auto *box = qobject_cast<QGroupBox *>(item))
        QCOMPARE(box->title(), text);
    else if (auto *button = qobject_cast<QAbstractButton *>(item))
        QCOMPARE(button->text(), text);
    else if (auto *label = qobject_cast<QLabel *>(item))
        QCOMPARE(label->text(), text);
    else if (auto *edit = qobject_cast<QPlainTextEdit *>(item))
        QCOMPARE(edit->toPlainText(), text);
    else
        QVERIFY(text.isNull());
}

void TestMainWindow::creationOrder_data()
{
    QTest::addColumn<QStringList>("children");
    // Creation order among siblings, which is also their stacking order.
    QTest::newRow("MainWindow") << QStringList{"centralWidget", "buttonGroup"};
    QTest::newRow("centralWidget") << QStringList{"groupBox_3", "groupBox_4", "groupBox", "progressBar"};
    QTest::newRow("groupBox_3") << QStringList{"pushButton_3", "pushButton_4", "pushButton_5", "pushButton_6",
                                               "pushButton", "radioButton", "radioButton_2"};
    QTest::newRow("groupBox_4") << QStringList{"scrollArea"};
    QTest::newRow("scrollAreaWidgetContents") << QStringList{"plainTextEdit"};
    QTest::newRow("groupBox") << QStringList{"image_original"};
}

void TestMainWindow::creationOrder()
{
    QFETCH(QStringList, children);
    MainWindow w;
    const QString parentName = QString::fromLatin1(QTest::currentDataTag());
    QObject *parent = parentName == QLatin1String("MainWindow") ? static_cast<QObject *>(&w) : widget(w, parentName);
    QVERIFY(parent);

    // The form's own objects among the parent's children, in child order.
    static const QStringList formNames = {
        "centralWidget", "groupBox_3", "pushButton_3", "pushButton_4", "pushButton_5", "pushButton_6",
        "pushButton", "radioButton", "radioButton_2", "groupBox_4", "scrollArea", "scrollAreaWidgetContents",
        "plainTextEdit", "groupBox", "image_original", "progressBar", "buttonGroup"};
    QStringList actual;
    for (const QObject *child : parent->children())
        if (formNames.contains(child->objectName()))
            actual << child->objectName();
    QCOMPARE(actual, children);
}

void TestMainWindow::laterButtonLiesOnTop()
{
    MainWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    const QList<QPushButton *> buttons = {w.ui->pushButton_3, w.ui->pushButton_4, w.ui->pushButton_5,
                                          w.ui->pushButton_6, w.ui->pushButton};
    for (int i = 0; i + 1 < buttons.size(); ++i) {
        // The three rows where a button overlaps the next one belong to the later one.
        const int y = buttons[i]->geometry().bottom();
        QVERIFY(buttons[i + 1]->geometry().contains(40, y));
        QCOMPARE(w.ui->groupBox_3->childAt(40, y), buttons[i + 1]);
        QCOMPARE(w.ui->groupBox_3->childAt(40, buttons[i]->geometry().top() + 1), buttons[i]);
    }
}

void TestMainWindow::modeButtons()
{
    MainWindow w;
    QButtonGroup *group = w.ui->buttonGroup;
    QVERIFY(group);
    QCOMPARE(group->objectName(), QStringLiteral("buttonGroup"));
    QCOMPARE(group->parent(), &w);
    QVERIFY(group->exclusive());
    QCOMPARE(group->buttons(), (QList<QAbstractButton *>{w.ui->radioButton, w.ui->radioButton_2}));
    QCOMPARE(group->id(w.ui->radioButton), -2);
    QCOMPARE(group->id(w.ui->radioButton_2), -3);

    w.ui->radioButton->click();
    QVERIFY(w.ui->radioButton->isChecked());
    QVERIFY(!w.ui->radioButton_2->isChecked());
    w.ui->radioButton_2->click();
    QVERIFY(w.ui->radioButton_2->isChecked());
    QVERIFY(!w.ui->radioButton->isChecked());
}

void TestMainWindow::textsGoThroughTranslation()
{
    BracketTranslator translator;
    QCoreApplication::installTranslator(&translator);
    struct Uninstall {
        QTranslator *t;
        ~Uninstall() { QCoreApplication::removeTranslator(t); }
    } uninstall{&translator};

    MainWindow w;
    QCOMPARE(w.windowTitle(), QStringLiteral("[NOCTA night movie denoising]"));
    QCOMPARE(w.ui->groupBox_3->title(), QStringLiteral("[Control]"));
    QCOMPARE(w.ui->groupBox_4->title(), QStringLiteral("[Output console]"));
    QCOMPARE(w.ui->groupBox->title(), QStringLiteral("[Processed image]"));
    QCOMPARE(w.ui->pushButton_3->text(), QStringLiteral("[Open movie]"));
    QCOMPARE(w.ui->pushButton_4->text(), QStringLiteral("[Decode movie]"));
    QCOMPARE(w.ui->pushButton_5->text(), QStringLiteral("[Process movie]"));
    QCOMPARE(w.ui->pushButton_6->text(), QStringLiteral("[Code movie]"));
    QCOMPARE(w.ui->pushButton->text(), QStringLiteral("[All in one]"));
    QCOMPARE(w.ui->radioButton->text(), QStringLiteral("[Standard]"));
    QCOMPARE(w.ui->radioButton_2->text(), QStringLiteral("[Fuzzy]"));
    QVERIFY(w.ui->image_original->text().isEmpty());

    QString caption;
    w.setFileChooser([&](QWidget *, const QString &c, const QString &) {
        caption = c;
        return QString();
    });
    w.ui->pushButton_3->click();
    QCOMPARE(caption, QStringLiteral("[Open File]"));
}

void TestMainWindow::slotTable()
{
    MainWindow w;
    const QMetaObject *meta = w.metaObject();
    QCOMPARE(meta->superClass(), &QMainWindow::staticMetaObject);
    QCOMPARE(w.qt_metacast("MainWindow"), static_cast<void *>(&w));
    QCOMPARE(w.qt_metacast("QMainWindow"), static_cast<void *>(static_cast<QMainWindow *>(&w)));

    const QList<QByteArray> expected = {"on_pushButton_3_clicked()", "on_pushButton_4_clicked()",
                                     "on_pushButton_5_clicked()", "on_pushButton_6_clicked()",
                                     "on_pushButton_clicked()"};
    QCOMPARE(meta->methodCount() - meta->methodOffset(), expected.size());
    for (int i = 0; i < expected.size(); ++i) {
        const QMetaMethod method = meta->method(meta->methodOffset() + i);
        QCOMPARE(method.methodSignature(), expected[i]);
        QCOMPARE(method.methodType(), QMetaMethod::Slot);
        QCOMPARE(method.access(), QMetaMethod::Private);
    }
}

void TestMainWindow::logLine_data()
{
    QTest::addColumn<QString>("message");
    QTest::newRow("decoded") << " - Movie decoded.";
    QTest::newRow("processing") << " - Processing done";
    QTest::newRow("opened") << " - File opened.";
}

void TestMainWindow::logLine()
{
    QFETCH(QString, message);
    MainWindow w;
    w.appendLog(QStringLiteral(" - earlier line"));

    const QTime before = QTime::currentTime();
    w.appendLog(message);
    const QTime after = QTime::currentTime();

    const QStringList lines = consoleLines(w);
    QCOMPARE(lines.size(), 2);
    // The time of day, then the message with nothing in between.
    const QRegularExpression exact(QStringLiteral("^(\\d\\d:\\d\\d:\\d\\d)") + QRegularExpression::escape(message) + '$');
    const auto match = exact.match(lines.last());
    QVERIFY2(match.hasMatch(), qPrintable(lines.last()));
    const QTime stamp = QTime::fromString(match.captured(1), Qt::TextDate);
    QVERIFY(stamp.isValid());
    if (before <= after) {   // not across midnight
        QVERIFY(stamp >= QTime(before.hour(), before.minute(), before.second()));
        QVERIFY(stamp <= after);
    }
}

void TestMainWindow::processingRun_data()
{
    QTest::addColumn<bool>("standard");
    QTest::addColumn<int>("frames");
    QTest::addColumn<bool>("switchDuringRun");

    QTest::newRow("standard, 5 frames") << true << 5 << false;
    QTest::newRow("standard, 8 frames") << true << 8 << false;
    QTest::newRow("fuzzy, 5 frames") << false << 5 << false;
    QTest::newRow("fuzzy, 7 frames") << false << 7 << false;
    QTest::newRow("standard, fuzzy chosen during the run") << true << 8 << true;
    QTest::newRow("fuzzy, standard chosen during the run") << false << 8 << true;
}

void TestMainWindow::processingRun()
{
    QFETCH(bool, standard);
    QFETCH(int, frames);
    QFETCH(bool, switchDuringRun);

    QTemporaryDir referenceDir;
    QString reference;
    QVERIFY(referenceRun(referenceDir.path(), frames,
                         standard ? nocta::DenoiseMode::Standard : nocta::DenoiseMode::Fuzzy, &reference));

    WorkDir work;
    QVERIFY(work.isValid());
    QVERIFY(nocta::test::writeNightFrames(work.filePath("screens"), frames, 40, 24));

    MainWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    (standard ? w.ui->radioButton : w.ui->radioButton_2)->click();
    QRadioButton *other = standard ? w.ui->radioButton_2 : w.ui->radioButton;
    QList<int> barValues;
    connect(w.ui->progressBar, &QProgressBar::valueChanged, &w, [&](int value) { barValues << value; });
    bool switched = false;
    if (switchDuringRun)
        QTimer::singleShot(0, &w, [&] { other->click(); switched = w.isBusy(); });

    w.ui->pushButton_5->click();

    QCOMPARE(switched, switchDuringRun);
    QCOMPARE(messages(w), QStringList{" - Processing done"});
    QCOMPARE(filesIn(work.filePath("processed")), expectedOutputs(frames));
    // The run used the mode chosen when it started.
    for (const QString &name : expectedOutputs(frames)) {
        const QImage expected(reference + "/processed/" + name);
        const QImage actual(work.filePath("processed/" + name));
        QVERIFY(!expected.isNull());
        const QString difference = nocta::test::firstDifference(expected, actual);
        QVERIFY2(difference.isEmpty(), qPrintable(name + ": " + difference));
    }
    // Shown at 0, then one value per output frame: (i / count) x 100, truncated.
    QList<int> expectedValues{0};
    for (int i = 4; i < frames; ++i)
        expectedValues << int(static_cast<long double>(i) / frames * 100);
    QCOMPARE(barValues, expectedValues);
    QVERIFY(w.ui->progressBar->isHidden());
    const QPixmap preview = w.ui->image_original->pixmap(Qt::ReturnByValue);
    QVERIFY(!preview.isNull());
    QCOMPARE(preview.width(), 220);
    QCOMPARE(w.size(), QSize(356, 175));
    QVERIFY(!w.isBusy());
}

void TestMainWindow::clickDuringRunIsRefused_data()
{
    QTest::addColumn<QString>("button");
    QTest::newRow("Open movie") << "pushButton_3";
    QTest::newRow("Decode movie") << "pushButton_4";
    QTest::newRow("Process movie") << "pushButton_5";
    QTest::newRow("Code movie") << "pushButton_6";
    QTest::newRow("All in one") << "pushButton";
}

void TestMainWindow::clickDuringRunIsRefused()
{
    QFETCH(QString, button);
    WorkDir work;
    QVERIFY(work.isValid());
    QVERIFY(nocta::test::writeNightFrames(work.filePath("screens"), 7, 40, 24));

    MainWindow w;
    int chooserCalls = 0;
    w.setFileChooser([&](QWidget *, const QString &, const QString &) {
        ++chooserCalls;
        return QStringLiteral("/nowhere/movie.avi");
    });
    auto *target = qobject_cast<QPushButton *>(widget(w, button));
    QVERIFY(target);

    // Delivered by the run's first event pump.
    bool fired = false;
    bool busyWhenFired = false;
    QTimer::singleShot(0, &w, [&] {
        fired = true;
        busyWhenFired = w.isBusy();
        target->click();
    });
    w.ui->pushButton_5->click();

    QVERIFY(fired);
    QVERIFY(busyWhenFired);
    QCOMPARE(chooserCalls, 0);
    QVERIFY(!w.fileOpened);
    QCOMPARE(messages(w), QStringList{" - Processing done"});
    QCOMPARE(filesIn(work.filePath("processed")), expectedOutputs(7));
    QCOMPARE(filesIn(work.filePath("screens")).size(), 7);
    QVERIFY(!QDir(work.filePath("out_movies")).exists());
    QVERIFY(!w.isBusy());

    // Once the run has ended the button works again.
    target->click();
    if (button == QLatin1String("pushButton_3") || button == QLatin1String("pushButton"))
        QCOMPARE(chooserCalls, 1);
    else
        QCOMPARE(messages(w).size(), 2);
}

void TestMainWindow::closeDuringRunStopsIt()
{
    const int frames = 14;
    QTemporaryDir referenceDir;
    QString reference;
    QVERIFY(referenceRun(referenceDir.path(), frames, nocta::DenoiseMode::Fuzzy, &reference));

    WorkDir work;
    QVERIFY(work.isValid());
    QVERIFY(nocta::test::writeNightFrames(work.filePath("screens"), frames, 40, 24));

    MainWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));

    bool fired = false;
    bool closedAtOnce = true;
    QTimer::singleShot(0, &w, [&] {
        fired = true;
        closedAtOnce = w.close();
    });
    w.ui->pushButton_5->click();

    QVERIFY(fired);
    QVERIFY2(!closedAtOnce, "the window closed while the run was still going");
    QVERIFY2(!w.isVisible(), "the window did not close when the run had stopped");
    QVERIFY(!w.isBusy());

    const QStringList written = filesIn(work.filePath("processed"));
    QVERIFY2(written.size() < frames - 4, qPrintable(written.join(' ')));
    for (const QString &name : written) {
        QVERIFY(expectedOutputs(frames).contains(name));
        const QImage expected(reference + "/processed/" + name);
        const QImage actual(work.filePath("processed/" + name));
        const QString difference = nocta::test::firstDifference(expected, actual);
        QVERIFY2(difference.isEmpty(), qPrintable(name + ": " + difference));
    }

    // An idle window closes at once.
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QVERIFY(w.close());
    QVERIFY(!w.isVisible());
}

void TestMainWindow::openMovie_data()
{
    QTest::addColumn<QString>("previousPath");
    QTest::addColumn<QString>("chosen");
    QTest::addColumn<QString>("expectedPath");
    QTest::addColumn<bool>("expectedOpened");
    QTest::addColumn<QStringList>("expectedMessages");

    QTest::newRow("chosen") << "" << "/data/clips/night movie.avi" << "/data/clips/night movie.avi" << true
                            << QStringList{" - File opened."};
    QTest::newRow("chosen again") << "/data/old.avi" << "relative/new.avi" << "relative/new.avi" << true
                                  << QStringList{" - File opened."};
    QTest::newRow("cancelled") << "/data/clips/night.avi" << "" << "/data/clips/night.avi" << false
                               << QStringList{};
}

void TestMainWindow::openMovie()
{
    QFETCH(QString, previousPath);
    QFETCH(QString, chosen);
    QFETCH(QString, expectedPath);
    QFETCH(bool, expectedOpened);
    QFETCH(QStringList, expectedMessages);

    WorkDir work;
    MainWindow w;
    w.filePath = previousPath;
    w.fileOpened = !previousPath.isEmpty();

    QWidget *parent = nullptr;
    QString caption, dir;
    int calls = 0;
    w.setFileChooser([&](QWidget *p, const QString &c, const QString &d) {
        ++calls;
        parent = p;
        caption = c;
        dir = d;
        return chosen;
    });
    w.ui->pushButton_3->click();

    QCOMPARE(calls, 1);
    QCOMPARE(parent, &w);
    QCOMPARE(caption, QStringLiteral("Open File"));
    QCOMPARE(dir, QDir::currentPath());
    QCOMPARE(w.filePath, expectedPath);
    QCOMPARE(w.fileOpened, expectedOpened);
    QCOMPARE(messages(w), expectedMessages);
}

void TestMainWindow::allInOneStopsOnCancel()
{
    WorkDir work;
    QVERIFY(work.isValid());
    MainWindow w;
    w.filePath = QStringLiteral("/earlier/clip.avi");
    w.fileOpened = true;
    int calls = 0;
    w.setFileChooser([&](QWidget *, const QString &, const QString &) {
        ++calls;
        return QString();
    });

    w.ui->pushButton->click();

    QCOMPARE(calls, 1);
    QVERIFY(!w.fileOpened);
    QCOMPARE(w.filePath, QStringLiteral("/earlier/clip.avi"));
    QCOMPARE(messages(w), QStringList());
    QCOMPARE(QDir(work.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
    QVERIFY(w.ui->progressBar->isHidden());
    QVERIFY(!w.isBusy());
    QVERIFY(!QApplication::overrideCursor());
}

void TestMainWindow::failureShowsConsole()
{
    // Nothing to encode: "Code movie" fails, with or without ffmpeg.
    WorkDir work;
    QVERIFY(work.isValid());
    MainWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QVERIFY(!w.rect().intersects(inWindow(w, w.ui->groupBox_4)));

    w.ui->pushButton_6->click();

    const QStringList said = messages(w);
    QCOMPARE(said.size(), 1);
    QVERIFY2(said.first() != QLatin1String(" - Movie created."), "an encode of nothing succeeded");
    QVERIFY2(!said.first().startsWith(QLatin1String("<malformed>")), qPrintable(said.first()));
    QCoreApplication::processEvents();
    QVERIFY2(w.rect().contains(inWindow(w, w.ui->groupBox_4)),
             qPrintable(QStringLiteral("window %1x%2").arg(w.width()).arg(w.height())));
    QVERIFY(!QApplication::overrideCursor());
    QVERIFY(!w.isBusy());
}

void TestMainWindow::processMovieStopsAtABadFrame_data()
{
    QTest::addColumn<QString>("damage");
    QTest::addColumn<QString>("message");
    QTest::newRow("truncated frame") << "truncate" << " - Processing failed: 007.bmp: truncated";
    QTest::newRow("header claims 65535x65535") << "huge" << " - Processing failed: 007.bmp: ";
    QTest::newRow("read error") << "unreadable" << " - Processing failed: 007.bmp: ";
    QTest::newRow("two outputs of one name") << "rename" << "would both be saved as processed/night.png";
}

// The window runs the same code as the command line: a frame that cannot
// be used stops "Process movie" with a line naming it, never a " - Processing
// done" over a movie with holes.
void TestMainWindow::processMovieStopsAtABadFrame()
{
    QFETCH(QString, damage);
    QFETCH(QString, message);
    WorkDir work;
    QVERIFY(work.isValid());
    QVERIFY(nocta::test::writeNightFrames(work.filePath("screens"), 8, 16, 12, 5));
    if (damage == "rename") {
        for (int i = 1; i <= 8; ++i)
            QVERIFY(QFile::rename(work.filePath(QStringLiteral("screens/%1.bmp").arg(i, 3, 10, QLatin1Char('0'))),
                                  work.filePath(QStringLiteral("screens/night.%1.bmp").arg(i, 4, 10, QLatin1Char('0')))));
    } else {
        QVERIFY(nocta::test::damageFrame(work.filePath("screens/007.bmp"), damage));
    }
    MainWindow w;

    w.ui->pushButton_5->click();

    const QStringList said = messages(w);
    QVERIFY2(!said.contains(" - Processing done"), qPrintable(said.join('\n')));
    QVERIFY2(!said.isEmpty() && said.last().contains(message), qPrintable(said.join('\n')));
    QVERIFY(w.ui->progressBar->isHidden());
    QVERIFY(!w.isBusy());
}

void TestMainWindow::processMovieUnderLimits_data()
{
    QTest::addColumn<QString>("limit");
    QTest::addColumn<QString>("expected");
    QTest::newRow("no thread can start") << "threads" << " - Processing done";
    QTest::newRow("little memory") << "memory" << " - Processing failed: ";
}

// "Process movie" where the system refuses threads (ulimit -u) or memory
// (ulimit -v): the run still ends, with every output written in turn, or
// with a line saying that memory ran out; never a hang, never a " - Processing
// done" over frames left out. The window runs in a child process of this
// test (see main), which takes the limit once the window is up.
void TestMainWindow::processMovieUnderLimits()
{
    QFETCH(QString, limit);
    QFETCH(QString, expected);
#ifdef __SANITIZE_ADDRESS__
    if (limit == "memory")
        QSKIP("AddressSanitizer needs more address space than the limit leaves");
#endif
    QTemporaryDir dir;
    QVERIFY(QFile::setPermissions(dir.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                                  | QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther));
    const int width = limit == "memory" ? 1920 : 48;
    const int height = limit == "memory" ? 1080 : 32;
    QVERIFY(nocta::test::writeNightFrames(dir.filePath("screens"), 8, width, height, 5));
    QVERIFY(QDir(dir.path()).mkdir("processed"));
    QVERIFY(QFile::setPermissions(dir.filePath("processed"), QFileDevice::ReadOther | QFileDevice::WriteOther
                                                                 | QFileDevice::ExeOther | QFileDevice::ReadOwner
                                                                 | QFileDevice::WriteOwner | QFileDevice::ExeOwner));

    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("NOCTA_TEST_WINDOW_LIMIT", limit);
    child.setProcessEnvironment(environment);
    child.setWorkingDirectory(dir.path());
    child.start(QCoreApplication::applicationFilePath(), QStringList());
    QVERIFY(child.waitForStarted());
    if (!child.waitForFinished(60000)) {
        child.kill();
        child.waitForFinished();
        QFAIL("the window's run did not end within a minute");
    }
    const QString said = QString::fromLocal8Bit(child.readAllStandardOutput());
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    if (child.exitCode() == 77)
        QSKIP("this system does not hold the process to the limit");
    QVERIFY2(child.exitCode() == 0, qPrintable(said + child.readAllStandardError()));
    QVERIFY2(said.contains(expected), qPrintable(said));
    if (limit == "threads")
        QCOMPARE(filesIn(dir.filePath("processed")).size(), 4);
    else
        QVERIFY2(!said.contains(" - Processing done"), qPrintable(said));
}

// The child of processMovieUnderLimits: the window, in the current
// directory, under the limit; its console on standard output. Exit status
// 77: the limit could not be set or does not hold.
int runWindowUnderLimit(int argc, char *argv[])
{
    QApplication application(argc, argv);
    MainWindow w;
    const QByteArray limit = qgetenv("NOCTA_TEST_WINDOW_LIMIT");
    if (limit == "threads") {
        // Root is not held to RLIMIT_NPROC: become nobody first.
        const rlimit one = {1, 1};
        if ((geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) || setrlimit(RLIMIT_NPROC, &one) != 0)
            _exit(77);
    } else {
        // Room for a few 1080p frames beyond what the window uses now.
        QFile status(QStringLiteral("/proc/self/status"));
        status.open(QIODevice::ReadOnly);
        const QByteArray text = status.readAll();
        const int at = text.indexOf("VmSize:");
        const rlim_t used = rlim_t(text.mid(at + 7, text.indexOf('\n', at) - at - 7).trimmed().split(' ').first().toLongLong()) * 1024;
        const rlimit room = {used + (48 << 20), used + (48 << 20)};
        if (at < 0 || setrlimit(RLIMIT_AS, &room) != 0)
            _exit(77);
    }
    w.findChild<QPushButton *>(QStringLiteral("pushButton_5"))->click();
    const QByteArray console = w.findChild<QPlainTextEdit *>(QStringLiteral("plainTextEdit"))->toPlainText().toLocal8Bit();
    std::fwrite(console.constData(), 1, std::size_t(console.size()), stdout);
    std::fflush(stdout);
    _exit(0);   // no clean-up: it would need memory or threads
}

void TestMainWindow::allInOneStopsAtFailedStage()
{
    // A chosen file that is no movie: the decode fails (with or without
    // ffmpeg) and neither the run nor the encode starts.
    WorkDir work;
    QVERIFY(work.isValid());
    const QString notAMovie = work.filePath("notes.txt");
    {
        QFile file(notAMovie);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("not a movie\n");
    }
    MainWindow w;
    w.setFileChooser([&](QWidget *, const QString &, const QString &) { return notAMovie; });

    w.ui->pushButton->click();

    const QStringList said = messages(w);
    QCOMPARE(said.size(), 2);
    QCOMPARE(said.first(), QStringLiteral(" - File opened."));
    QVERIFY2(said.last().startsWith(QLatin1String(" - ")) && said.last() != QLatin1String(" - Movie decoded."),
             qPrintable(said.last()));
    QVERIFY(!QDir(work.filePath("processed")).exists());
    QVERIFY(!QDir(work.filePath("out_movies")).exists());
    QVERIFY(!w.isBusy());
    QVERIFY(!QApplication::overrideCursor());
}

void TestMainWindow::allInOneEndToEnd()
{
    if (nocta::test::findFfmpeg().isEmpty())
        QSKIP("ffmpeg is not installed");

    WorkDir work(QStringLiteral("nocta window XXXXXX"));
    QVERIFY(work.isValid());
    const int frames = 12;
    const QString clip = work.filePath("night clip.mp4");
    QVERIFY(nocta::test::makeNightClip(clip, frames, 96, 64));

    MainWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    w.setFileChooser([&](QWidget *, const QString &, const QString &) { return clip; });

    w.ui->pushButton->click();

    QCOMPARE(messages(w), (QStringList{" - File opened.", " - Movie decoded.", " - Processing done", " - Movie created."}));
    QVERIFY(w.fileOpened);
    QCOMPARE(w.filePath, clip);
    QCOMPARE(filesIn(work.filePath("screens")).size(), frames);
    QCOMPARE(filesIn(work.filePath("processed")), expectedOutputs(frames));
    QCOMPARE(nocta::test::countMovieFrames(work.filePath("out_movies/out.mp4")), frames - 4);
    QVERIFY(w.ui->progressBar->isHidden());
    QCOMPARE(w.size(), QSize(356, 175));
    QVERIFY(!QApplication::overrideCursor());
    QVERIFY(!w.isBusy());
}

void TestMainWindow::codeMovieRefusesAnIncompleteMovie_data()
{
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<int>("missingFrame");   // 0: none
    QTest::addColumn<QString>("expected");

    QTest::newRow("disk full during the encode") << nocta::test::diskFullEncoder() << 0
                                                 << ": No space left on device.";
    QTest::newRow("a frame missing in the middle")
        << QByteArray("#!/bin/sh\nfor a; do last=$a; done\nprintf movie > \"$last\"\n") << 5
        << " - Encoding failed: processed/005.png is missing (frames 001-004 and 006-008 are there).";
}

// "Code movie" as the command line: an earlier movie is replaced only by
// a complete one.
void TestMainWindow::codeMovieRefusesAnIncompleteMovie()
{
    QFETCH(QByteArray, script);
    QFETCH(int, missingFrame);
    QFETCH(QString, expected);

    WorkDir work;
    QVERIFY(work.isValid());
    QVERIFY(nocta::test::writeNightFrames(work.filePath("processed"), 8, 8, 8, 1, "png"));
    if (missingFrame)
        QVERIFY(QFile::remove(work.filePath(QStringLiteral("processed/%1.png").arg(missingFrame, 3, 10, QLatin1Char('0')))));
    QVERIFY(QDir(work.path()).mkdir("out_movies"));
    QVERIFY(nocta::test::writeFile(work.filePath("out_movies/out.mp4"), "the earlier movie"));
    const nocta::test::StandInFfmpeg standIn(script);
    QVERIFY(standIn.isValid());
    const nocta::test::ScopedPath path(standIn.path());

    MainWindow w;
    w.ui->pushButton_6->click();

    const QStringList said = messages(w);
    QCOMPARE(said.size(), 1);
    QVERIFY2(said.first().startsWith(" - Encoding failed: ") && said.first().endsWith(expected), qPrintable(said.first()));
    QCOMPARE(nocta::test::readFile(work.filePath("out_movies/out.mp4")), QByteArray("the earlier movie"));
    QCOMPARE(filesIn(work.filePath("out_movies")), QStringList{"out.mp4"});
}

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsSet("NOCTA_TEST_WINDOW_LIMIT"))
        return runWindowUnderLimit(argc, argv);
    QApplication application(argc, argv);
    QTEST_DISABLE_KEYPAD_NAVIGATION
    TestMainWindow test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_mainwindow.moc"

#include "app/mainwindowui.h"

#include <QButtonGroup>
#include <QCoreApplication>
#include <QCursor>
#include <QFont>
#include <QGroupBox>
#include <QLabel>
#include <QMainWindow>
#include <QMetaObject>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollArea>
#include <QWidget>

void MainWindowUi::setupUi(QMainWindow *window)
{
    if (window->objectName().isEmpty())
        window->setObjectName(QString::fromUtf8("MainWindow"));
    window->resize(356, 175);
    window->setAutoFillBackground(false);
    window->setStyleSheet(QString::fromUtf8("background-color: rgb(200, 200, 220);"));

    // Every control uses one small font; the progress bar a smaller one.
    QFont font;
    font.setPointSize(7);
    QFont font1;
    font1.setPointSize(6);

    centralWidget = new QWidget(window);
    centralWidget->setObjectName(QString::fromUtf8("centralWidget"));

    groupBox_3 = new QGroupBox(centralWidget);
    groupBox_3->setObjectName(QString::fromUtf8("groupBox_3"));
    groupBox_3->setGeometry(QRect(10, 0, 101, 141));
    groupBox_3->setFont(font);

    // The five stage buttons, 18 pixels high at a pitch of 15: each one
    // lies over the bottom edge of the one above it.
    const auto stageButton = [&](const char *name, int y) {
        auto *button = new QPushButton(groupBox_3);
        button->setObjectName(QString::fromUtf8(name));
        button->setGeometry(QRect(3, y, 81, 18));
        button->setFont(font);
        button->setCursor(QCursor(Qt::PointingHandCursor));
        return button;
    };
    pushButton_3 = stageButton("pushButton_3", 12);
    pushButton_4 = stageButton("pushButton_4", 27);
    pushButton_5 = stageButton("pushButton_5", 42);
    pushButton_6 = stageButton("pushButton_6", 57);
    pushButton = stageButton("pushButton", 72);

    radioButton = new QRadioButton(groupBox_3);
    buttonGroup = new QButtonGroup(window);
    buttonGroup->setObjectName(QString::fromUtf8("buttonGroup"));
    buttonGroup->addButton(radioButton);
    radioButton->setObjectName(QString::fromUtf8("radioButton"));
    radioButton->setGeometry(QRect(10, 100, 82, 17));
    radioButton->setFont(font);
    radioButton->setChecked(false);

    radioButton_2 = new QRadioButton(groupBox_3);
    buttonGroup->addButton(radioButton_2);
    radioButton_2->setObjectName(QString::fromUtf8("radioButton_2"));
    radioButton_2->setEnabled(true);
    radioButton_2->setGeometry(QRect(10, 120, 82, 17));
    radioButton_2->setFont(font);
    radioButton_2->setChecked(true);

    groupBox_4 = new QGroupBox(centralWidget);
    groupBox_4->setObjectName(QString::fromUtf8("groupBox_4"));
    groupBox_4->setGeometry(QRect(20, 310, 341, 93));
    groupBox_4->setFont(font);

    scrollArea = new QScrollArea(groupBox_4);
    scrollArea->setObjectName(QString::fromUtf8("scrollArea"));
    scrollArea->setGeometry(QRect(10, 10, 321, 80));
    scrollArea->setWidgetResizable(true);

    scrollAreaWidgetContents = new QWidget();
    scrollAreaWidgetContents->setObjectName(QString::fromUtf8("scrollAreaWidgetContents"));
    scrollAreaWidgetContents->setGeometry(QRect(0, 0, 319, 78));

    plainTextEdit = new QPlainTextEdit(scrollAreaWidgetContents);
    plainTextEdit->setObjectName(QString::fromUtf8("plainTextEdit"));
    plainTextEdit->setGeometry(QRect(0, 0, 331, 78));
    plainTextEdit->setFont(font);
    scrollArea->setWidget(scrollAreaWidgetContents);

    groupBox = new QGroupBox(centralWidget);
    groupBox->setObjectName(QString::fromUtf8("groupBox"));
    groupBox->setGeometry(QRect(120, 0, 232, 171));
    groupBox->setFont(font);

    image_original = new QLabel(groupBox);
    image_original->setObjectName(QString::fromUtf8("image_original"));
    image_original->setGeometry(QRect(6, 13, 220, 151));
    image_original->setScaledContents(false);

    progressBar = new QProgressBar(centralWidget);
    progressBar->setObjectName(QString::fromUtf8("progressBar"));
    progressBar->setGeometry(QRect(10, 150, 101, 21));
    progressBar->setFont(font1);
    progressBar->setValue(24);
    progressBar->setTextVisible(true);

    window->setCentralWidget(centralWidget);

    retranslateUi(window);

    QMetaObject::connectSlotsByName(window);
}

void MainWindowUi::retranslateUi(QMainWindow *window)
{
    window->setWindowTitle(QCoreApplication::translate("MainWindow", "NOCTA night movie denoising", nullptr));
    groupBox_3->setTitle(QCoreApplication::translate("MainWindow", "Control", nullptr));
    pushButton_3->setText(QCoreApplication::translate("MainWindow", "Open movie", nullptr));
    pushButton_4->setText(QCoreApplication::translate("MainWindow", "Decode movie", nullptr));
    pushButton_5->setText(QCoreApplication::translate("MainWindow", "Process movie", nullptr));
    pushButton_6->setText(QCoreApplication::translate("MainWindow", "Code movie", nullptr));
    pushButton->setText(QCoreApplication::translate("MainWindow", "All in one", nullptr));
    radioButton->setText(QCoreApplication::translate("MainWindow", "Standard", nullptr));
    radioButton_2->setText(QCoreApplication::translate("MainWindow", "Fuzzy", nullptr));
    groupBox_4->setTitle(QCoreApplication::translate("MainWindow", "Output console", nullptr));
    groupBox->setTitle(QCoreApplication::translate("MainWindow", "Processed image", nullptr));
    image_original->setText(QString());
}

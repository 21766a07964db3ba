#pragma once

class QButtonGroup;
class QGroupBox;
class QLabel;
class QMainWindow;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QScrollArea;
class QWidget;

// The form of the main window: one pointer per widget, nothing more. The
// widgets belong to the window through their Qt parents, so deleting the
// holder never deletes a widget.
class MainWindowUi
{
public:
    QWidget *centralWidget = nullptr;
    QGroupBox *groupBox_3 = nullptr;
    QPushButton *pushButton_3 = nullptr;
    QPushButton *pushButton_4 = nullptr;
    QPushButton *pushButton_5 = nullptr;
    QPushButton *pushButton_6 = nullptr;
    QPushButton *pushButton = nullptr;
    QRadioButton *radioButton = nullptr;
    QRadioButton *radioButton_2 = nullptr;
    QGroupBox *groupBox_4 = nullptr;
    QScrollArea *scrollArea = nullptr;
    QWidget *scrollAreaWidgetContents = nullptr;
    QPlainTextEdit *plainTextEdit = nullptr;
    QGroupBox *groupBox = nullptr;
    QLabel *image_original = nullptr;
    QProgressBar *progressBar = nullptr;
    QButtonGroup *buttonGroup = nullptr;

    // Builds the whole form on the window, applies the texts and connects
    // the window's on_<objectName>_<signal> slots by name.
    void setupUi(QMainWindow *window);

private:
    void retranslateUi(QMainWindow *window);
};

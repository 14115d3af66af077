#pragma once

class QHBoxLayout;
class QLabel;
class QMainWindow;
class QPushButton;
class QSpacerItem;
class QVBoxLayout;
class QWidget;

// The launcher window's fixed widget tree. The window's behaviour and the
// style sheet find these widgets by their object names.
class MainWindowForm final
{
public:
    void setupUi(QMainWindow *window);
    // Form texts go through the translation layer; the window title is not one of them.
    void retranslateUi(QMainWindow *window);

    QWidget *centralwidget = nullptr;
    QWidget *bottomBlurPanel = nullptr;
    QWidget *bottomPanel = nullptr;
    QPushButton *companyButton = nullptr;
    QPushButton *manageButton = nullptr;
    QPushButton *settingsButton = nullptr;
    QVBoxLayout *verticalLayout = nullptr;
    QWidget *titleBar = nullptr;
    QHBoxLayout *horizontalLayout = nullptr;
    QLabel *titleLabel = nullptr;
    QSpacerItem *horizontalSpacer = nullptr;
    QPushButton *minimizeButton = nullptr;
    QPushButton *closeButton = nullptr;
    QWidget *logoWidget = nullptr;
    QHBoxLayout *horizontalLayout_2 = nullptr;
    QLabel *logoLabel = nullptr;
    QWidget *backgroundWidget = nullptr;
    QHBoxLayout *backgroundLayout = nullptr;
    QWidget *categoriesPanel = nullptr;
    QVBoxLayout *categoriesLayout = nullptr;
    QWidget *contentArea = nullptr;
};

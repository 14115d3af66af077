#pragma once

#include "actionbutton.h"
#include "linkcolumn.h"
#include "titlebar.h"

class QHBoxLayout;
class QLabel;
class QMainWindow;
class QSpacerItem;
class QVBoxLayout;
class QWidget;

// The launcher window's fixed widget tree. The style sheet finds these widgets
// by their object names, the window through the pointers below.
class MainWindowForm final
{
public:
    void setupUi(QMainWindow *window);
    // Form texts go through the translation layer; the window title is not one of them.
    void retranslateUi(QMainWindow *window);

    QWidget *centralwidget = nullptr;
    QWidget *bottomBlurPanel = nullptr;
    QWidget *bottomPanel = nullptr;
    FadingButton *companyButton = nullptr;
    ActionButton *manageButton = nullptr;
    FadingButton *settingsButton = nullptr;
    QVBoxLayout *verticalLayout = nullptr;
    TitleBar *titleBar = nullptr;
    QHBoxLayout *horizontalLayout = nullptr;
    QLabel *titleLabel = nullptr;
    QSpacerItem *horizontalSpacer = nullptr;
    FadingButton *minimizeButton = nullptr;
    FadingButton *closeButton = nullptr;
    QWidget *logoWidget = nullptr;
    QHBoxLayout *horizontalLayout_2 = nullptr;
    QLabel *logoLabel = nullptr;
    QWidget *backgroundWidget = nullptr;
    QHBoxLayout *backgroundLayout = nullptr;
    LinkColumn *categoriesPanel = nullptr;
    QVBoxLayout *categoriesLayout = nullptr;
    QWidget *contentArea = nullptr;
};

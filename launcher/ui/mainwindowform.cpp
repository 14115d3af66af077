#include "mainwindowform.h"

#include <QCoreApplication>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QMainWindow>
#include <QSpacerItem>
#include <QVBoxLayout>

namespace {

constexpr int unbounded = QWIDGETSIZE_MAX;

template <typename Button = FadingButton>
Button *makeBarButton(QWidget *parent, const char *name, const QRect &geometry)
{
    auto *button = new Button(parent);
    button->setObjectName(QLatin1String(name));
    button->setGeometry(geometry);
    button->setCursor(Qt::PointingHandCursor);
    button->setFlat(true);
    return button;
}

FadingButton *makeWindowButton(QWidget *parent, const char *name)
{
    auto *button = new FadingButton(parent);
    button->setObjectName(QLatin1String(name));
    button->setMinimumSize(20, 20);
    button->setMaximumSize(20, 20);
    button->setCursor(Qt::PointingHandCursor);
    return button;
}

} // namespace

void MainWindowForm::setupUi(QMainWindow *window)
{
    if (window->objectName().isEmpty())
        window->setObjectName(QStringLiteral("MainWindow"));
    window->resize(1360, 768);

    centralwidget = new QWidget(window);
    centralwidget->setObjectName(QStringLiteral("centralwidget"));

    // The two bottom panels float over the layout at the window's foot.
    bottomBlurPanel = new QWidget(centralwidget);
    bottomBlurPanel->setObjectName(QStringLiteral("bottomBlurPanel"));
    bottomBlurPanel->setGeometry(QRect(0, 678, 1360, 90));

    bottomPanel = new QWidget(centralwidget);
    bottomPanel->setObjectName(QStringLiteral("bottomPanel"));
    bottomPanel->setGeometry(QRect(0, 678, 1360, 90));
    bottomPanel->setMinimumSize(0, 90);
    bottomPanel->setMaximumSize(unbounded, 90);

    companyButton = makeBarButton(bottomPanel, "companyButton", QRect(1270, 15, 60, 60));

    manageButton = makeBarButton<ActionButton>(bottomPanel, "manageButton", QRect(30, 7, 390, 76));
    manageButton->setIconSize(QSize(32, 32));

    settingsButton = makeBarButton(bottomPanel, "settingsButton", QRect(420, 9, 75, 75));
    QIcon settingsIcon;
    settingsIcon.addFile(QStringLiteral(":/resources/button_settings.png"), QSize(), QIcon::Normal,
                         QIcon::Off);
    settingsButton->setIcon(settingsIcon);
    settingsButton->setIconSize(QSize(75, 75));

    verticalLayout = new QVBoxLayout(centralwidget);
    verticalLayout->setObjectName(QStringLiteral("verticalLayout"));
    verticalLayout->setSpacing(0);
    verticalLayout->setContentsMargins(0, 0, 0, 0);

    titleBar = new TitleBar(centralwidget);
    titleBar->setObjectName(QStringLiteral("titleBar"));
    titleBar->setMinimumSize(0, 20);
    titleBar->setCursor(Qt::SizeAllCursor);
    titleBar->setStyleSheet(QStringLiteral("background-color: transparent;"));

    horizontalLayout = new QHBoxLayout(titleBar);
    horizontalLayout->setObjectName(QStringLiteral("horizontalLayout"));
    horizontalLayout->setSpacing(10);
    horizontalLayout->setContentsMargins(0, 10, 20, 0);

    titleLabel = new QLabel(titleBar);
    titleLabel->setObjectName(QStringLiteral("titleLabel"));
    titleLabel->setMargin(5);
    horizontalLayout->addWidget(titleLabel);

    horizontalSpacer = new QSpacerItem(40, 20, QSizePolicy::Expanding, QSizePolicy::Minimum);
    horizontalLayout->addItem(horizontalSpacer);

    minimizeButton = makeWindowButton(titleBar, "minimizeButton");
    horizontalLayout->addWidget(minimizeButton);
    closeButton = makeWindowButton(titleBar, "closeButton");
    horizontalLayout->addWidget(closeButton);

    verticalLayout->addWidget(titleBar, 0, Qt::AlignTop);

    logoWidget = new QWidget(centralwidget);
    logoWidget->setObjectName(QStringLiteral("logoWidget"));
    logoWidget->setMinimumSize(0, 138);

    horizontalLayout_2 = new QHBoxLayout(logoWidget);
    horizontalLayout_2->setObjectName(QStringLiteral("horizontalLayout_2"));
    horizontalLayout_2->setSpacing(0);
    horizontalLayout_2->setContentsMargins(0, 0, 0, 0);

    logoLabel = new QLabel(logoWidget);
    logoLabel->setObjectName(QStringLiteral("logoLabel"));
    logoLabel->setMinimumSize(302, 138);
    logoLabel->setMaximumSize(302, 138);
    logoLabel->setScaledContents(true);
    logoLabel->setAlignment(Qt::AlignCenter);
    horizontalLayout_2->addWidget(logoLabel, 0, Qt::AlignHCenter | Qt::AlignTop);

    verticalLayout->addWidget(logoWidget, 0, Qt::AlignTop);

    backgroundWidget = new QWidget(centralwidget);
    backgroundWidget->setObjectName(QStringLiteral("backgroundWidget"));

    backgroundLayout = new QHBoxLayout(backgroundWidget);
    backgroundLayout->setObjectName(QStringLiteral("backgroundLayout"));
    backgroundLayout->setSpacing(0);
    backgroundLayout->setContentsMargins(0, 0, 0, 0);

    categoriesPanel = new LinkColumn(backgroundWidget);
    categoriesPanel->setObjectName(QStringLiteral("categoriesPanel"));
    QSizePolicy fixedWidth(QSizePolicy::Fixed, QSizePolicy::Expanding);
    fixedWidth.setHorizontalStretch(0);
    fixedWidth.setVerticalStretch(0);
    categoriesPanel->setSizePolicy(fixedWidth);
    categoriesPanel->setMinimumSize(280, 0);
    categoriesPanel->setMaximumSize(280, unbounded);

    categoriesLayout = new QVBoxLayout(categoriesPanel);
    categoriesLayout->setObjectName(QStringLiteral("categoriesLayout"));
    categoriesLayout->setSpacing(0);
    categoriesLayout->setContentsMargins(0, 0, 0, 0);

    backgroundLayout->addWidget(categoriesPanel);

    contentArea = new QWidget(backgroundWidget);
    contentArea->setObjectName(QStringLiteral("contentArea"));
    QSizePolicy stretching(QSizePolicy::Expanding, QSizePolicy::Expanding);
    stretching.setHorizontalStretch(1);
    stretching.setVerticalStretch(0);
    contentArea->setSizePolicy(stretching);
    backgroundLayout->addWidget(contentArea);

    verticalLayout->addWidget(backgroundWidget);

    window->setCentralWidget(centralwidget);

    retranslateUi(window);
    QMetaObject::connectSlotsByName(window);
}

void MainWindowForm::retranslateUi(QMainWindow *)
{
    titleLabel->setText(QString());
    logoLabel->setText(QString());
}

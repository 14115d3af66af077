// The settings menu, the animations switch and the window's language.
#include "mainwindow.h"

#include "mainwindowform.h"
#include "settings.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QLabel>
#include <QLibraryInfo>
#include <QMap>
#include <QMenu>
#include <QPushButton>
#include <QUrl>

namespace {

const QMap<QString, QString> &languages()
{
    static const QMap<QString, QString> names{
        {QStringLiteral("en"), QStringLiteral("English")},
        {QStringLiteral("pt"), QStringLiteral("Português (Brasil)")}};
    return names;
}

} // namespace

bool MainWindow::manageButtonEnabled() const
{
    const auto *manage = findChild<QPushButton *>(QStringLiteral("manageButton"));
    return manage && manage->isEnabled();
}

void MainWindow::showSettingsMenu()
{
    auto *menu = new QMenu(this);
    menu->setObjectName(QStringLiteral("settingsMenu"));
    connect(menu, &QMenu::aboutToHide, menu, &QObject::deleteLater);

    QMenu *languageMenu = menu->addMenu(tr("Language"));
    auto *group = new QActionGroup(languageMenu);
    group->setExclusive(true);
    // A system language without a catalogue shows English, so English is ticked.
    QString current = Settings::language();
    if (!languages().contains(current))
        current = QStringLiteral("en");
    for (auto it = languages().cbegin(); it != languages().cend(); ++it) {
        QAction *action = languageMenu->addAction(it.value());
        action->setCheckable(true);
        action->setData(it.key());
        action->setChecked(it.key() == current);
        group->addAction(action);
        const QString code = it.key();
        connect(action, &QAction::triggered, this, [this, code] {
            settings->setLanguage(code);
            applyLanguage(code);
        });
    }

    const QString folder = Settings::installPath();
    const bool installed = QDir(folder).exists();
    if (installed) {
        menu->addAction(tr("Show in Explorer"), this,
                        [folder] { QDesktopServices::openUrl(QUrl::fromLocalFile(folder)); });
        // Asked for by the player: every file is read, not only what changed.
        menu->addAction(tr("Check for Updates"), this, [this] {
            if (manageButtonEnabled())
                updater.checkAllFiles();
        });
    }

    QAction *animations = menu->addAction(Settings::animationsEnabled() ? tr("Disable Animations")
                                                                        : tr("Enable Animations"));
    connect(animations, &QAction::triggered, this,
            [this, animations] { toggleAnimations(animations); });

    menu->addSeparator();
    menu->addAction(tr("Modify Install"), this, [this] {
        if (manageButtonEnabled())
            showInstallLocationDialog(false);
    });
    if (installed) {
        menu->addAction(tr("Uninstall"), this, [this] {
            if (manageButtonEnabled() && !refuseWhileGameBusy())
                updater.uninstall();
        });
    }

    // The menu opens upwards, its bottom-left corner on the button's top-left.
    QPoint origin = mapToGlobal(QPoint(0, 0));
    if (auto *button = findChild<QPushButton *>(QStringLiteral("settingsButton")))
        origin = button->mapToGlobal(QPoint(0, 0));
    menu->popup(origin - QPoint(0, menu->sizeHint().height()));
}

void MainWindow::toggleAnimations(QAction *action)
{
    settings->setAnimationsEnabled(!Settings::animationsEnabled());
    action->setText(Settings::animationsEnabled() ? tr("Disable Animations")
                                                  : tr("Enable Animations"));
    updateClipPlayback();
}

void MainWindow::applyLanguage(const QString &code)
{
    // Set before any catalogue was loaded; a speed already shown stays as it is.
    const QString calculatingBefore = tr("Calculating...");
    QCoreApplication::removeTranslator(&translator);
    QCoreApplication::removeTranslator(&qtTranslator);
    if (code == QLatin1String("pt")) {
        if (translator.load(QStringLiteral(":/translations/translations/dmk-launcher_pt.qm")))
            QCoreApplication::installTranslator(&translator);
        // Qt's own texts (Yes, No, OK, Cancel) follow when its catalogue is installed.
        if (qtTranslator.load(QLocale(QLocale::Portuguese, QLocale::Brazil),
                              QStringLiteral("qtbase"), QStringLiteral("_"),
                              QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
            QCoreApplication::installTranslator(&qtTranslator);
    }

    form->retranslateUi(this);
    setupCategoryButtons();
    if (speedLabel && speedLabel->text() == calculatingBefore)
        speedLabel->setText(tr("Calculating..."));
    if (auto *manage = findChild<QPushButton *>(QStringLiteral("manageButton")))
        updateButtonAppearance(manage, currentButtonState);
}

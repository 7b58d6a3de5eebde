// The Settings page: general switches, rotation, home voltage, version and updates.
#include "gui/mainwidget.h"

#include "gui/draggableframe.h"
#include "gui/gui.h"
#include "gui/mainwidget_p.h"
#include "gui/renderframe.h"
#include "update/updatemanager.h"

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

using namespace mainwidgetparts;

void MainWidget::updateSettingsPage()
{
    updatePage(Settings, defaultOrder(Settings), [this](QVBoxLayout *layout, const QList<QString> &order) {
        for (const QString &name : order) {
            addSettingLayout(layout, name);
            buildRowsNamed(layout, Settings, name);
            addAppInfoAndUpdateLayout(layout, name);
        }
    });
}

void MainWidget::addSettingLayout(QVBoxLayout *layout, const QString &name)
{
    if (name != "Settings" || findRow(layout, "Setting_Settings"))
        return;
    DraggableFrame *frame = createRow(layout, "icon_settings", name, "Setting_Settings");
    auto *lines = static_cast<QVBoxLayout *>(frame->layout());
    BaseSettings *settings = app()->setMgr();

    struct Toggle
    {
        const char *title;
        BaseSettings::SubSettings key;
        bool defaultChecked;
    };
    static const Toggle toggles[] = {
        {"Start at login", BaseSettings::StartAtLogin, true},
        {"Mirror preview", BaseSettings::FlipHorizontal, false},
        {"Low power mode", BaseSettings::LowPowerMode, false},
        {"Light follows the camera", BaseSettings::LightFollowsCamera, false},
    };
    QList<QLabel *> titles;
    for (const Toggle &toggle : toggles) {
        QCheckBox *box = nullptr;
        const BaseSettings::SubSettings key = toggle.key;
        QWidget *line = gui::createToggleSetting(
            tr(toggle.title), settings->getSubSetting(BaseSettings::General, key).toBool(),
            [this, key](bool checked) {
                app()->setMgr()->setSubSetting(BaseSettings::General, key, checked);
                if (key == BaseSettings::StartAtLogin)
                    app()->setupAppToLauncAtStartup(checked);
                if (key == BaseSettings::FlipHorizontal)
                    m_preview->update();
            },
            60, &box);
        box->setProperty("settings_default_check_value", toggle.defaultChecked);
        followStore(box, BaseSettings::General, [this, box, key] {
            const bool stored = app()->setMgr()->getSubSetting(BaseSettings::General, key).toBool();
            if (box->isChecked() == stored)
                return;
            const QSignalBlocker block(box);
            box->setChecked(stored);
            if (key == BaseSettings::FlipHorizontal)
                m_preview->update();
        });
        line->setContentsMargins(8, 0, 8, 0);
        lines->addWidget(line);
        titles.append(line->findChild<QLabel *>());
    }
    // The switches line up behind the longest title.
    int widest = 0;
    for (QLabel *title : std::as_const(titles)) {
        title->ensurePolished(); // the style sheet sets the font
        widest = std::max(widest, title->sizeHint().width());
    }
    for (QLabel *title : std::as_const(titles))
        title->setMinimumWidth(widest);
}

void MainWidget::addAppInfoAndUpdateLayout(QVBoxLayout *layout, const QString &name)
{
    if (name != "App Information" || findRow(layout, "Setting_AppInformation"))
        return;
    DraggableFrame *frame = createRow(layout, "icon_info", name, "Setting_AppInformation");
    auto *lines = static_cast<QVBoxLayout *>(frame->layout());

    auto *box = new QFrame;
    box->setObjectName("app_info_frame");
    box->setStyleSheet(QString("#app_info_frame { background: %1; border: none; border-radius: 8px; }")
                           .arg(color(App::InfoBackground)));
    auto *boxLines = new QVBoxLayout(box);
    boxLines->setContentsMargins(12, 10, 12, 10);
    boxLines->setSpacing(10);
    auto *boxLayout = new QHBoxLayout;
    boxLayout->setSpacing(12);
    boxLines->addLayout(boxLayout);
    auto *logo = new QLabel;
    gui::setIconLabel(logo, 40, "app_blue", false);
    boxLayout->addWidget(logo);
    auto *info = new QLabel(QString("<b>%1</b><br>%2 - Public Beta")
                                .arg(QApplication::applicationDisplayName(), QApplication::applicationVersion()));
    info->setObjectName("app_info_label");
    info->setTextFormat(Qt::RichText);
    gui::setTextEditTitleStyle(info, color(App::InfoText), gui::gts(gui::TextSize::Normal), "400",
                               "0px solid gray", "transparent");
    boxLayout->addWidget(info, 1);

    auto *buttons = new QHBoxLayout;
    buttons->setSpacing(8);
    const QString checkText = tr("Check for updates");
    auto *check = new QPushButton(checkText);
    auto *uninstall = new QPushButton(tr("Uninstall"));
    for (QPushButton *button : {check, uninstall}) {
        button->setCursor(Qt::PointingHandCursor);
        // The info box has the buttons' usual colour; these take the window's.
        gui::setTextButtonStyle(button, gui::gts(gui::TextSize::Small), "500", "5px 10px 5px 10px",
                                color(App::ButtonText), color(App::WindowBackground));
        buttons->addWidget(button);
    }
    check->setObjectName("check_update_button");
    uninstall->setObjectName("uninstall_button");
    boxLines->addLayout(buttons);
    connect(check, &QPushButton::clicked, this, [] {
        UpdateManager *updates = app()->updateMgr();
        if (updates && !updates->checkForUpdate(true))
            app()->showMessage(tr("There is already an update check in progress."), "", tr("Ok"), "");
    });
    connect(uninstall, &QPushButton::clicked, this, [] {
        if (!app()->showMessage(tr("Are you sure you want to completely uninstall the application?"), tr("No"),
                                tr("Yes"), ""))
            return;
        UpdateManager *updates = app()->updateMgr();
        if (!updates || !updates->uninstall()) {
            app()->showMessage(tr("There was an error while trying to uninstall the application.\nPlease try to "
                                  "remove it manually."),
                               "", tr("Ok"), "");
        }
    });
    auto busy = [check](const QString &text) {
        check->setText(text);
        check->setEnabled(false);
    };
    // After a check or a download the button reads as before it.
    auto idle = [check, checkText] {
        check->setText(checkText);
        check->setEnabled(true);
    };
    connect(app(), &App::onUpdaterStarted, check, [busy] { busy(tr("Checking for update...")); });
    connect(app(), &App::onDownloaderStarted, check, [busy] { busy(tr("Downloading update") + " (0%)..."); });
    connect(app(), &App::onDownloaderProgress, check, [busy](float percent) {
        busy(tr("Downloading update") + QString(" (%1%)...").arg(int(percent)));
    });
    connect(app(), &App::onUpdaterFinished, check, idle);
    connect(app(), &App::onDownloaderFinished, check, idle);

    auto *holder = new QWidget;
    auto *holderLayout = new QVBoxLayout(holder);
    holderLayout->setContentsMargins(8, 4, 8, 4);
    holderLayout->addWidget(box);
    lines->addWidget(holder);
}

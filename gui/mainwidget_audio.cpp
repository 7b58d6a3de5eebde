// The Audio page: the microphone's volume and mute, and the sound filters.
#include "gui/mainwidget.h"

#include "audio/vmic.h"
#include "gui/draggableframe.h"
#include "gui/gui.h"
#include "gui/mainwidget_p.h"

#include <QCheckBox>
#include <QLabel>
#include <QSlider>
#include <QVBoxLayout>

using namespace mainwidgetparts;

void MainWidget::updateAudioPage()
{
    updatePage(Audio, defaultOrder(Audio), [this](QVBoxLayout *layout, const QList<QString> &order) {
        for (const QString &name : order) {
            addVolumeSettingLayout(layout, name);
            addAudioSettingLayout(layout, name);
        }
    });
}

void MainWidget::addVolumeSettingLayout(QVBoxLayout *layout, const QString &name)
{
    VMic *microphone = m_controllers.microphone;
    if (name != "Volume" || !microphone)
        return;
    CameraSetting volume;
    CameraSetting mute;
    const bool ok = microphone->getVolume(volume) & microphone->getMute(mute);
    DraggableFrame *frame = findRow(layout, "Setting_Volume");
    if (!frame) {
        // The switch is on while the microphone is not muted.
        auto unmuted = std::make_shared<bool>(!mute.autoEnabled);
        frame = gui::createSettingLayout(
            layout, "icon_microphone", name, gui::PlainSlider, true, mute.autoEnabled, long(volume.minimum),
            long(volume.maximum), long(volume.defaultValue), long(volume.step), long(volume.value),
            [microphone, unmuted](QCheckBox *toggle, QSlider *slider, QLabel *label) {
                slider->setEnabled(toggle->isEnabled() && toggle->isChecked());
                if (toggle->isChecked() != *unmuted) {
                    *unmuted = toggle->isChecked();
                    microphone->setMute(0, !*unmuted);
                } else {
                    microphone->setVolume(slider->value(), false);
                }
                label->setText(*unmuted ? QString("%1%").arg(slider->value()) : tr("Muted"));
            });
        frame->setObjectName("Setting_Volume");
        frame->setProperty("settings_default_check_value", true);
        auto *toggle = frame->findChild<QCheckBox *>("toggle_button");
        gui::setButtonIconStyle(toggle, 30, "icon_volume", "icon_mute", 5, "transparent", "transparent");
        followDrops(layout, frame);
    }
    gui::enableChildren(frame, ok);
    auto *toggle = frame->findChild<QCheckBox *>("toggle_button");
    auto *slider = frame->findChild<QSlider *>();
    const QSignalBlocker blockToggle(toggle);
    const QSignalBlocker blockSlider(slider);
    toggle->setChecked(!mute.autoEnabled);
    slider->setValue(int(volume.value));
    slider->setEnabled(ok && toggle->isChecked());
    frame->findChild<QLabel *>("value_label")
        ->setText(toggle->isChecked() ? QString("%1%").arg(volume.value) : tr("Muted"));
}

void MainWidget::addAudioSettingLayout(QVBoxLayout *layout, const QString &name)
{
    struct Filter
    {
        const char *name;
        BaseSettings::Settings group;
        const char *icon;
    };
    static const Filter filters[] = {
        {"Denoise", BaseSettings::DSPRNN, "icon_denoise"},     {"AGC", BaseSettings::DSPAGC, "icon_agc"},
        {"Bass", BaseSettings::DSPBass, "icon_bass"},          {"Treble", BaseSettings::DSPTreble, "icon_treble"},
        {"Compression", BaseSettings::DSPCompressor, "icon_compression"},
    };
    for (const Filter &filter : filters) {
        const QString objectName = QString("Setting_") + filter.name;
        if (name != filter.name || findRow(layout, objectName))
            continue;
        BaseSettings *settings = app()->setMgr();
        const BaseSettings::Settings group = filter.group;
        const bool enabled = settings->getSubSetting(group, BaseSettings::Enabled).toBool();
        const int strength = settings->getSubSetting(group, BaseSettings::DSP_Strength).toInt();
        // The switch turns the filter on; the slider sets its strength.
        DraggableFrame *frame = gui::createSettingLayout(
            layout, filter.icon, name, gui::PlainSlider, true, !enabled, 0, 100, strength, 1, strength,
            [group](QCheckBox *toggle, QSlider *slider, QLabel *label) {
                BaseSettings *store = app()->setMgr();
                slider->setEnabled(toggle->isChecked());
                if (store->getSubSetting(group, BaseSettings::Enabled).toBool() != toggle->isChecked())
                    store->setSubSetting(group, BaseSettings::Enabled, toggle->isChecked());
                if (store->getSubSetting(group, BaseSettings::DSP_Strength).toInt() != slider->value())
                    store->setSubSetting(group, BaseSettings::DSP_Strength, slider->value());
                label->setText(QString("%1%").arg(slider->value()));
            },
            [](QCheckBox *, QSlider *slider, QLabel *label) { label->setText(QString("%1%").arg(slider->value())); });
        frame->setObjectName(objectName);
        followStore(frame, group, [frame, group] {
            BaseSettings *store = app()->setMgr();
            emit frame->onValueHasExternallyChanged(store->getSubSetting(group, BaseSettings::DSP_Strength).toInt(),
                                                    !store->getSubSetting(group, BaseSettings::Enabled).toBool());
        });
        if (group == BaseSettings::DSPAGC)
            frame->setProperty("settings_default_check_value", true);
        frame->findChild<QSlider *>()->setEnabled(enabled);
        frame->findChild<QLabel *>("value_label")->setText(QString("%1%").arg(strength));
        followDrops(layout, frame);
    }
}

// The Overlays page: the logo and text editors.
#include "gui/mainwidget.h"

#include "gui/draggableframe.h"
#include "gui/fontfamilywidget.h"
#include "gui/gui.h"
#include "gui/mainwidget_p.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QLabel>
#include <QColorDialog>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

using namespace mainwidgetparts;

void MainWidget::updateOverlaysPage()
{
    updatePage(Overlays, defaultOrder(Overlays), [this](QVBoxLayout *layout, const QList<QString> &order) {
        for (const QString &name : order) {
            addLogoSettingLayout(layout, name);
            addTextSettingLayout(layout, name);
        }
    });
}

QWidget *MainWidget::createOverlayButton(const QString &icon, const QString &tip)
{
    auto *button = new QPushButton;
    button->setToolTip(tip);
    button->setCursor(Qt::PointingHandCursor);
    gui::setButtonIconStyle(button, 18, icon, 3, color(App::Separator), "transparent");
    return button;
}

QWidget *MainWidget::createColorButton(BaseSettings::Settings group, BaseSettings::SubSettings key,
                                       const QString &icon, const QString &tip)
{
    auto *button = static_cast<QPushButton *>(createOverlayButton(icon, tip));
    // The border shows the colour the button picks.
    auto paint = [button, icon](const QColor &value) {
        gui::setButtonIconStyle(button, 18, icon, 3, value.name(QColor::HexRgb), "transparent");
    };
    paint(app()->setMgr()->getSubSetting(group, key).value<QColor>());
    connect(button, &QPushButton::clicked, this, [this, group, key, paint] {
        const QColor current = app()->setMgr()->getSubSetting(group, key).value<QColor>();
        const QColor chosen = QColorDialog::getColor(current, this, tr("Choose a color"));
        if (!chosen.isValid())
            return;
        app()->setMgr()->setSubSetting(group, key, chosen);
        paint(chosen);
    });
    return button;
}

void MainWidget::addCommonOverlaySettings(QVBoxLayout *layout, BaseSettings::Settings group,
                                          const QStringList &keys)
{
    BaseSettings *settings = app()->setMgr();
    auto addLine = [layout](QWidget *line) {
        line->setContentsMargins(8, 0, 8, 0);
        layout->addWidget(line);
    };
    if (keys.contains("toggle")) {
        QCheckBox *box = nullptr;
        addLine(gui::createToggleSetting(
            tr("Show"), settings->getSubSetting(group, BaseSettings::Enabled).toBool(),
            [group](bool checked) { app()->setMgr()->setSubSetting(group, BaseSettings::Enabled, checked); }, 60,
            &box));
        followStore(box, group, [box, group] {
            const QSignalBlocker block(box);
            box->setChecked(app()->setMgr()->getSubSetting(group, BaseSettings::Enabled).toBool());
        });
    }
    struct Slider
    {
        const char *key;
        const char *title;
        BaseSettings::SubSettings entry;
        int minimum;
    };
    static const Slider sliders[] = {
        {"size", "Size", BaseSettings::Size, 1},
        {"opacity", "Opacity", BaseSettings::Opacity, 1},
        {"horizontal", "Horizontal", BaseSettings::MarginX, 0},
        {"vertical", "Vertical", BaseSettings::MarginY, 0},
    };
    for (const Slider &slider : sliders) {
        if (!keys.contains(slider.key))
            continue;
        addLine(fractionSlider(tr(slider.title), group, slider.entry, slider.minimum));
    }
}

QWidget *MainWidget::fractionSlider(const QString &title, BaseSettings::Settings group,
                                    BaseSettings::SubSettings entry, int minimum)
{
    const double fraction = app()->setMgr()->getSubSetting(group, entry).toDouble();
    return gui::createSliderSetting(
        title, {minimum, 100}, int(std::trunc(fraction * 100)),
        [group, entry](int value, bool changedByUser) {
            if (changedByUser)
                app()->setMgr()->setSubSetting(group, entry, float(value) / 100.0f);
            return QString("%1%").arg(value);
        },
        60, 35);
}

void MainWidget::addLogoSettingLayout(QVBoxLayout *layout, const QString &name)
{
    if (name != "Logo" || findRow(layout, "Setting_Logo"))
        return;
    DraggableFrame *frame = createRow(layout, "icon_logo", name, "Setting_Logo");
    auto *lines = static_cast<QVBoxLayout *>(frame->layout());

    auto *buttons = new QHBoxLayout;
    buttons->setContentsMargins(8, 0, 8, 0);
    buttons->setSpacing(6);
    auto *imageButton = static_cast<QPushButton *>(createOverlayButton("icon_logo", tr("Choose an image")));
    connect(imageButton, &QPushButton::clicked, this, [this] {
        const QString path = QFileDialog::getOpenFileName(this, tr("Open Image File"), QString(),
                                                          tr("Image Files (*.png *.jpg *.jpeg *.bmp *.gif)"));
        if (path.isEmpty())
            return;
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            app()->showMessage(tr("Unable to read file!"), "", tr("Ok"), "");
            return;
        }
        const QByteArray data = file.readAll();
        if (QImage::fromData(data).isNull()) {
            app()->showMessage(tr("Invalid image data!"), "", tr("Ok"), "");
            return;
        }
        app()->setMgr()->setSubSetting(BaseSettings::LogoOverlay, BaseSettings::ImageData, data);
    });
    buttons->addWidget(gui::createTitleLabel(tr("Image"), 60));
    buttons->addWidget(imageButton);
    buttons->addWidget(
        createColorButton(BaseSettings::LogoOverlay, BaseSettings::LogoShadowColor, "icon_logo_shadow", tr("Shadow")));
    buttons->addStretch(1);
    addCommonOverlaySettings(lines, BaseSettings::LogoOverlay, {"toggle"});
    lines->addLayout(buttons);
    addCommonOverlaySettings(lines, BaseSettings::LogoOverlay, {"size", "opacity", "horizontal", "vertical"});
}

void MainWidget::addTextSettingLayout(QVBoxLayout *layout, const QString &name)
{
    if (name != "Text" || findRow(layout, "Setting_Text"))
        return;
    DraggableFrame *frame = createRow(layout, "icon_text_fill", name, "Setting_Text");
    auto *lines = static_cast<QVBoxLayout *>(frame->layout());
    BaseSettings *settings = app()->setMgr();
    const auto group = BaseSettings::TextOverlay;

    addCommonOverlaySettings(lines, group, {"toggle"});

    struct TextLine
    {
        const char *title;
        BaseSettings::SubSettings text;
        BaseSettings::SubSettings size;
    };
    static const TextLine textLines[] = {
        {"Line 1", BaseSettings::TextLine1, BaseSettings::Line1Size},
        {"Line 2", BaseSettings::TextLine2, BaseSettings::Line2Size},
    };
    for (const TextLine &line : textLines) {
        const BaseSettings::SubSettings key = line.text;
        QLineEdit *field = nullptr;
        QWidget *edit = gui::createTextEditSetting(
            tr(line.title), settings->getSubSetting(group, key).toString(),
            [group, key](const QString &text) { app()->setMgr()->setSubSetting(group, key, text); }, 60, &field);
        // Only a text that differs is put in: the user's own typing is stored as it comes.
        followStore(field, group, [field, group, key] {
            const QString stored = app()->setMgr()->getSubSetting(group, key).toString();
            if (field->text() != stored)
                field->setText(stored);
        });
        edit->setContentsMargins(8, 0, 8, 0);
        lines->addWidget(edit);
        QWidget *size = fractionSlider(tr("Size"), group, line.size, 1);
        size->setContentsMargins(8, 0, 8, 0);
        lines->addWidget(size);
    }

    // Font, weight, colours and alignment on one line.
    auto *tools = new QHBoxLayout;
    tools->setContentsMargins(8, 0, 8, 0);
    tools->setSpacing(5);
    auto *font = new QPushButton(settings->getSubSetting(group, BaseSettings::TextFontFamily).toString());
    font->setObjectName("font_button");
    font->setCursor(Qt::PointingHandCursor);
    font->setMaximumWidth(96);
    gui::setTextButtonStyle(font, gui::gts(gui::TextSize::Small), "500", "5px 8px 5px 8px",
                            color(App::ButtonText), color(App::ButtonBackground));
    connect(font, &QPushButton::clicked, this, [this, font, group] {
        FontFamilyWidget dialog(font->text(), this);
        if (dialog.exec() != QDialog::Accepted || dialog.family().isEmpty())
            return;
        app()->setMgr()->setSubSetting(group, BaseSettings::TextFontFamily, dialog.family());
        font->setText(dialog.family());
    });
    tools->addWidget(font);

    auto *bold = static_cast<QPushButton *>(createOverlayButton("icon_bold", tr("Bold")));
    bold->setCheckable(true);
    bold->setChecked(settings->getSubSetting(group, BaseSettings::TextBold).toBool());
    gui::setButtonIconStyle(bold, 18, "icon_bold", 3, color(App::Separator), "transparent");
    connect(bold, &QPushButton::toggled, this,
            [group](bool checked) { app()->setMgr()->setSubSetting(group, BaseSettings::TextBold, checked); });
    tools->addWidget(bold);
    tools->addWidget(createColorButton(group, BaseSettings::TextShadowColor, "icon_text_shadow", tr("Shadow colour")));
    tools->addWidget(createColorButton(group, BaseSettings::TextFillColor, "icon_text_fill", tr("Text colour")));
    tools->addWidget(gui::getVerticalSeparator());

    auto *alignment = new QButtonGroup(frame);
    alignment->setExclusive(true);
    const int current = settings->getSubSetting(group, BaseSettings::TextHAlign).toInt();
    static const std::pair<const char *, Qt::AlignmentFlag> aligns[] = {
        {"icon_align_left", Qt::AlignLeft}, {"icon_align_center", Qt::AlignHCenter}, {"icon_align_right", Qt::AlignRight}};
    for (const auto &[icon, flag] : aligns) {
        auto *button = static_cast<QPushButton *>(createOverlayButton(icon, tr("Alignment")));
        button->setCheckable(true);
        button->setChecked(current == int(flag));
        gui::setButtonIconStyle(button, 18, icon, 3, color(App::Separator), "transparent");
        alignment->addButton(button, int(flag));
        tools->addWidget(button);
    }
    connect(alignment, &QButtonGroup::idClicked, this,
            [group](int flag) { app()->setMgr()->setSubSetting(group, BaseSettings::TextHAlign, flag); });
    tools->addStretch(1);
    lines->addLayout(tools);

    addCommonOverlaySettings(lines, group, {"opacity", "horizontal", "vertical"});
}

#pragma once

#include <QCursor>
#include <QImage>
#include <QList>
#include <QString>

#include <functional>
#include <utility>

class DraggableFrame;
class QBoxLayout;
class QCheckBox;
class QColor;
class QFrame;
class QLabel;
class QLineEdit;
class QPushButton;
class QSlider;
class QWidget;

/// Builders and styles of the settings window's rows and of the setup wizard.
/// Every colour comes from the application's colour table, so a widget built
/// here follows the appearance that was current when it was built.
namespace gui {

/// Font sizes of the design, before the 1.35 scale that gives its pixel sizes.
enum class TextSize { Small = 9, Normal = 10, Large = 12, Title = 14, Heading = 18 };

/// Slider looks of createSettingLayout.
enum SliderStyle { PlainSlider = 0, HeatSlider = 1, SkinSlider = 2 };

/// The style-sheet text of a size, "%1px" with trunc(size x 1.35): the design's pixels,
/// which Qt scales by the screen's device-pixel ratio alone (not by its dots per inch).
QString gts(TextSize size);
int gtsn(TextSize size);

/// The text a slider row shows for a value, chosen by the row's kind:
/// "TEMP", "PERC", "SKIN", "ROT", "DEG", a bracketed list such as "[Off, On]",
/// anything else shows nothing.
QString valueText(const QString &kind, long value, long minimum, long maximum);

/// ":/assets/<name>.png", else ".svg"; names that already start with ":/" are
/// taken as paths without extension. Empty when neither exists.
QString assetPath(const QString &name);
/// The asset rendered at the given pixel height (SVG) or as stored (PNG).
QImage loadAsset(const QString &path, int pixelHeight);

DraggableFrame *createSettingLayoutEx(QBoxLayout *layout, const QString &icon, const QString &name);
/// A slider row. onChange runs when the user moves the slider or flips the toggle: it applies the
/// value and shows it. A value announced to the row (onValueHasExternallyChanged) comes from the
/// device or the store already, so it is only shown: the slider and the toggle take it without
/// signalling, the slider is enabled while the toggle is, and onShow (when given) shows the text.
DraggableFrame *createSettingLayout(QBoxLayout *layout, const QString &icon, const QString &name, int style,
                                    bool autoAvailable, bool autoEnabled, long minimum, long maximum,
                                    long defaultValue, long step, long value,
                                    std::function<void(QCheckBox *, QSlider *, QLabel *)> onChange,
                                    std::function<void(QCheckBox *, QSlider *, QLabel *)> onShow = {});

/// format(value, changedByUser) gives the value text; it is called once with
/// the initial value and after every change.
QWidget *createSliderSetting(const QString &title, std::pair<int, int> range, int value,
                             std::function<QString(int, bool)> format, int titleWidth, int valueWidth,
                             QSlider **out = nullptr);
/// The title of a small setting: a label at least titleWidth (design units) wide.
QLabel *createTitleLabel(const QString &title, int titleWidth);
QWidget *createToggleSetting(const QString &title, bool checked, std::function<void(bool)> onToggled,
                             int titleWidth, QCheckBox **out = nullptr);
QWidget *createTextEditSetting(const QString &title, const QString &text,
                               std::function<void(QString)> onChanged, int titleWidth, QLineEdit **out = nullptr);

/// Shows an asset in a label of the given height. adapt recolours a dark
/// glyph for the current appearance.
void setIconLabel(QLabel *label, int size, const QString &name, bool adapt);
/// The glyph recoloured for the current appearance (see setIconLabel).
QImage adaptedIcon(const QString &path, int pixelHeight);
/// The soft shadow of `shape`'s alpha: the same size, `color` where the blurred
/// alpha is full, fading over `blurRadius` pixels.
QImage shadowOf(const QImage &shape, qreal blurRadius, const QColor &color);

void setTextEditTitleStyle(QWidget *widget, const QString &color, const QString &size, const QString &weight,
                           const QString &border, const QString &background);
void setButtonIconStyle(QWidget *widget, int size, const QString &icon, int padding, const QString &borderColor,
                        const QString &background);
/// As setButtonIconStyle, with the checked and unchecked pictures named apart.
void setButtonIconStyle(QWidget *widget, int size, const QString &checkedIcon, const QString &uncheckedIcon,
                        int padding, const QString &borderColor, const QString &background);
void setCheckableButtonIconStyle(QPushButton *button, int size, const QString &icon, const QString &color,
                                 const QString &checkedColor, int padding);
void setColorButtonStyle(QPushButton *button, int padding, const QString &background, const QString &border);
void setTextButtonStyle(QWidget *widget, const QString &size, const QString &weight, const QString &padding,
                        const QString &color, const QString &background);
void setSliderStyle(QWidget *widget, const QString &groove, const QString &subPage, const QString &handle);
void setHeatSliderStyle(QWidget *widget, const QString &handle);
void setSkinSliderStyle(QWidget *widget, const QString &handle);
void setMiniSliderStyle(QWidget *widget, const QString &groove, const QString &subPage, const QString &handle);
void setComboBoxStyle(QWidget *widget, int width);

QFrame *getHorizontalSeparator();
QFrame *getVerticalSeparator();

void invertPixels(QImage &image);
void tintImage(QImage &image, const QColor &color);
QImage tintImage(const QString &path, const QColor &color);
QCursor makeTransparentCursor(const QString &path, float opacity);

void processChildren(QWidget *widget, const bool &flag, const std::function<void(bool, QWidget *)> &action,
                     const QList<QWidget *> &except = {});
void enableChildren(QWidget *widget, const bool &enabled, const QList<QWidget *> &except = {});
void showChildren(QWidget *widget, const bool &visible, const QList<QWidget *> &except = {});

/// Brings the window (and with it the application) in front of other applications.
void forceWindowToBeInFront(long long windowId);

} // namespace gui

#include "app/colorscheme.h"

#include <QEvent>
#include <QGuiApplication>
#include <QPalette>
#include <QStyleHints>

namespace colorscheme {

#if QT_VERSION >= QT_VERSION_CHECK(6, 5, 0)

bool isDark()
{
    return QGuiApplication::styleHints()->colorScheme() == Qt::ColorScheme::Dark;
}

void watch(QObject *context, std::function<void()> handler)
{
    QObject::connect(QGuiApplication::styleHints(), &QStyleHints::colorSchemeChanged, context,
                     [handler = std::move(handler)](Qt::ColorScheme) { handler(); });
}

#else

bool isDark()
{
    const QPalette palette = QGuiApplication::palette();
    return palette.color(QPalette::Window).lightness() < palette.color(QPalette::WindowText).lightness();
}

namespace {
// Qt announces a new application palette (a theme switch included) with this event on the
// application object.
class PaletteWatcher : public QObject
{
public:
    PaletteWatcher(QObject *parent, std::function<void()> handler)
        : QObject(parent)
        , m_handler(std::move(handler))
    {
        qApp->installEventFilter(this);
    }

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == qApp && event->type() == QEvent::ApplicationPaletteChange)
            m_handler();
        return false;
    }

private:
    std::function<void()> m_handler;
};
} // namespace

void watch(QObject *context, std::function<void()> handler)
{
    new PaletteWatcher(context, std::move(handler));
}

#endif

} // namespace colorscheme

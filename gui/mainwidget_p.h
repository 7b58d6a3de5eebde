#pragma once

// Helpers shared by the files that make up MainWidget, one file per page.

#include "app/app.h"

namespace mainwidgetparts {

inline App *app()
{
    return static_cast<App *>(qApp);
}

inline QString color(App::UIElement role)
{
    return app()->getColorStr(role);
}

/// Keeps `widget` showing a store entry that changes elsewhere too (the bus, the command line):
/// `show` runs on the widget's thread whenever the store reports a write to `group`. It shows
/// the stored value without signalling, so that nothing is written back.
inline void followStore(QObject *widget, BaseSettings::Settings group, std::function<void()> show)
{
    QObject::connect(app()->setMgr(), &BaseSettings::changed, widget,
                     [group, show = std::move(show)](BaseSettings::Settings changed) {
                         if (changed == group)
                             show();
                     });
}

// The camera preview at the top of the window.
constexpr int PreviewWidth = 320;
constexpr int PreviewHeight = 180;

} // namespace mainwidgetparts

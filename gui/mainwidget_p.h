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

// The camera preview at the top of the window.
constexpr int PreviewWidth = 320;
constexpr int PreviewHeight = 180;

} // namespace mainwidgetparts

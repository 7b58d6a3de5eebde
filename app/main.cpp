#include "app/app.h"

#include <memory>

int main(int argc, char *argv[])
{
    auto app = std::make_shared<App>(argc, argv, QApplication::ApplicationFlags);
    if (app->isQuitting())
        return 0;
    if (app->isSingleInstance()) {
        app->run([app = app.get()] { app->showMainWindow(); }, 300);
        return QApplication::exec();
    }
    app->showMessage(App::tr("The application is already running.\n"
                             "you are allowed to run only one instance of the application."),
                     "", "Ok", "");
    return 1;
}

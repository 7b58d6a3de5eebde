#include "app/app.h"
#include "app/control/controlclient.h"

#include <memory>

int main(int argc, char *argv[])
{
    // A command for the running instance needs no application of its own.
    if (const int result = control::runCommands(argc, argv); result >= 0)
        return result;
    return runApplication(std::make_shared<App>(argc, argv, QApplication::ApplicationFlags));
}

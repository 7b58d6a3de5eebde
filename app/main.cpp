#include "app/app.h"

#include <memory>

int main(int argc, char *argv[])
{
    return runApplication(std::make_shared<App>(argc, argv, QApplication::ApplicationFlags));
}

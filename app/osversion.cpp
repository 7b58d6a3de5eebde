#include "app/osversion.h"

#include <QStringList>

int versionComponent(const QString &version, int index)
{
    const QStringList parts = version.split(QLatin1Char('.'), Qt::KeepEmptyParts);
    if (index < 0 || index >= parts.size())
        return 0;
    bool ok = false;
    const int value = parts.at(index).toInt(&ok, 10);
    return ok ? value : 0;
}

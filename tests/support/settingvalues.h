#pragma once

#include <QLatin1Char>
#include <QString>
#include <QStringList>

#include "qtnpropertyset.h"

// The values of the listener's first six settings (port, path and the
// timeouts, which the loading cases are about) in their order, joined by '|'.
inline QString values(const QtnPropertySet &set)
{
    QStringList texts;
    for (const QtnProperty *property : set.childProperties().mid(0, 6))
        texts.append(property->toStr());
    return texts.join(QLatin1Char('|'));
}

// The server settings as they are before any config.json.
inline const char DEFAULTS[] = "5050|/endpoint|60|60|60|30";

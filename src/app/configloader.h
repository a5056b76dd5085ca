#pragma once

#include <QString>

class QtnPropertySet;

// Applies the JSON settings file at `path` (relative to the working directory)
// to `settings`. Nothing stops start-up: a missing or malformed file and every
// bad member end in debug messages, and whatever the file does not set keeps
// its value.
void loadConfig(QtnPropertySet &settings, const QString &path = QStringLiteral("config.json"));

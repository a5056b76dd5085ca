#pragma once

#include <QDir>
#include <QString>

// Changes the working directory for its lifetime.
struct WorkingDirectory {
    const QString m_previous = QDir::currentPath();
    explicit WorkingDirectory(const QString &path) { QDir::setCurrent(path); }
    ~WorkingDirectory() { QDir::setCurrent(m_previous); }
};

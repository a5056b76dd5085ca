#include "qtnpropertyqstring.h"

QtnPropertyQString::QtnPropertyQString(QObject *parent, const QString &defaultValue)
    : QtnProperty(parent)
    , m_value(defaultValue)
{
}

void QtnPropertyQString::setValue(const QString &value)
{
    if (value == m_value)
        return;
    m_value = value;
    emit propertyDidChange();
}

bool QtnPropertyQString::fromStr(const QString &text)
{
    setValue(text.trimmed());
    return true;
}

QString QtnPropertyQString::toStr() const
{
    if (m_secret && !m_value.isEmpty())
        return QStringLiteral("(hidden)");
    return m_value;
}

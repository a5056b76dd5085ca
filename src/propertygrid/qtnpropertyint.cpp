#include "qtnpropertyint.h"

#include <QRegularExpression>

QtnPropertyInt::QtnPropertyInt(QObject *parent, qint32 defaultValue)
    : QtnProperty(parent)
    , m_value(defaultValue)
{
}

void QtnPropertyInt::setValue(qint32 value)
{
    if (value == m_value)
        return;
    m_value = value;
    emit propertyDidChange();
}

void QtnPropertyInt::setRange(qint32 minValue, qint32 maxValue)
{
    m_min = minValue;
    m_max = maxValue;
}

bool QtnPropertyInt::fromStr(const QString &text)
{
    static const QRegularExpression decimal(QStringLiteral("^[+-]?[0-9]+$"));
    const QString trimmed = text.trimmed();
    if (!decimal.match(trimmed).hasMatch())
        return false;
    bool ok = false;
    const qlonglong parsed = trimmed.toLongLong(&ok);
    if (!ok || parsed < m_min || parsed > m_max)
        return false;
    setValue(static_cast<qint32>(parsed));
    return true;
}

QString QtnPropertyInt::toStr() const
{
    return QString::number(m_value);
}

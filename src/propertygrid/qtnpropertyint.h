#pragma once

#include <limits>

#include "qtnproperty.h"

// A 32-bit signed integer within [minValue, maxValue], the whole range by default.
class QtnPropertyInt : public QtnProperty
{
    Q_OBJECT

public:
    explicit QtnPropertyInt(QObject *parent = nullptr, qint32 defaultValue = 0);

    qint32 value() const { return m_value; }
    void setValue(qint32 value);
    qint32 minValue() const { return m_min; }
    qint32 maxValue() const { return m_max; }
    void setRange(qint32 minValue, qint32 maxValue);

    // An optional sign and decimal digits; no fractions, hex or separators.
    bool fromStr(const QString &text) override;
    QString toStr() const override;

private:
    qint32 m_value;
    qint32 m_min = std::numeric_limits<qint32>::min();
    qint32 m_max = std::numeric_limits<qint32>::max();
};

#pragma once

#include "qtnproperty.h"

class QtnPropertyQString : public QtnProperty
{
    Q_OBJECT

public:
    explicit QtnPropertyQString(QObject *parent = nullptr, const QString &defaultValue = QString());

    QString value() const { return m_value; }
    void setValue(const QString &value);

    // Accepts any text, the empty text included, trimmed.
    bool fromStr(const QString &text) override;
    QString toStr() const override;

private:
    QString m_value;
};

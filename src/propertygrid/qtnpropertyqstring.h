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
    // A secret's text shows as "(hidden)" wherever the property is displayed.
    QString toStr() const override;
    void setSecret(bool secret) { m_secret = secret; }

private:
    QString m_value;
    bool m_secret = false;
};

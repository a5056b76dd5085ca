#include "qtnproperty.h"

QtnProperty::QtnProperty(QObject *parent)
    : QObject(parent)
{
}

QtnProperty::~QtnProperty() = default;

QString QtnProperty::name() const
{
    return objectName();
}

void QtnProperty::setName(const QString &name)
{
    setObjectName(name);
}

#include "qtnpropertyset.h"

QtnPropertySet::QtnPropertySet(QObject *parent)
    : QObject(parent)
{
}

QtnPropertySet::~QtnPropertySet() = default;

QString QtnPropertySet::name() const
{
    return objectName();
}

void QtnPropertySet::setName(const QString &name)
{
    setObjectName(name);
}

void QtnPropertySet::addChildProperty(QtnProperty *property)
{
    property->setParent(this);
    m_properties.append(property);
}

QList<QtnProperty *> QtnPropertySet::findChildProperties(const QString &name) const
{
    QList<QtnProperty *> found;
    for (QtnProperty *property : m_properties) {
        if (property->name() == name)
            found.append(property);
    }
    return found;
}

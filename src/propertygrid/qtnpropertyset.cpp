#include "qtnpropertyset.h"

#include <QDebug>
#include <QJsonValue>

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

bool QtnPropertySet::fromJson(const QJsonObject &object)
{
    bool applied = true;
    for (auto member = object.constBegin(); member != object.constEnd(); ++member) {
        if (!member.value().isObject()) {
            qDebug() << "Json object expected";
            applied = false;
            continue;
        }

        const QString name = member.key().trimmed();
        // A dotted key names a property of an inner set, and sets here hold none.
        const QList<QtnProperty *> properties = name.contains(QLatin1Char('.'))
            ? QList<QtnProperty *>()
            : findChildProperties(name);
        if (properties.isEmpty()) {
            qDebug() << "Cannot find property " << member.key();
            applied = false;
            continue;
        }

        const QJsonObject attributes = member.value().toObject();
        const auto value = attributes.constFind(QLatin1String("value"));
        if (value == attributes.constEnd()) {
            qDebug() << "Cannot parse \"value\" attribute";
            applied = false;
            continue;
        }

        // Anything but a JSON string reads as empty text, which integers refuse.
        const QString text = value->toString();
        for (QtnProperty *property : properties) {
            if (!property->fromStr(text)) {
                qDebug() << "Cannot convert value" << text << "to property" << property->name();
                applied = false;
            }
        }
    }
    return applied;
}

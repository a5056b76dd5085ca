#pragma once

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>

#include "qtnproperty.h"

// A named container that owns its properties in the order they were added.
// Threading: a GUI-thread object; other threads only read it.
class QtnPropertySet : public QObject
{
    Q_OBJECT

public:
    explicit QtnPropertySet(QObject *parent = nullptr);
    ~QtnPropertySet() override;

    QString name() const;
    void setName(const QString &name);

    // Takes ownership.
    void addChildProperty(QtnProperty *property);
    const QList<QtnProperty *> &childProperties() const { return m_properties; }
    // Direct children whose name equals `name` exactly.
    QList<QtnProperty *> findChildProperties(const QString &name) const;

    // Applies members of the form "name": {"value": "text"} through each
    // property's fromStr(). Every member is tried on its own; a bad one is
    // logged at debug level and leaves its property as it was. Returns true
    // when every member was applied.
    bool fromJson(const QJsonObject &object);

private:
    QList<QtnProperty *> m_properties;
};

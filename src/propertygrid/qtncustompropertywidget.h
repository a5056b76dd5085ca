#pragma once

#include <vector>

#include <QMetaObject>
#include <QPointer>
#include <QWidget>

#include "qtnpropertyset.h"

class QTreeWidget;

// A read-only grid of a property set: the set's name as the root row and,
// under it, one row per property with its name and its value as text. Values
// follow the properties' changes; nothing in the grid edits them.
// Threading: GUI thread only.
class QtnCustomPropertyWidget : public QWidget
{
    Q_OBJECT

public:
    explicit QtnCustomPropertyWidget(QWidget *parent = nullptr);
    ~QtnCustomPropertyWidget() override;

    QtnPropertySet *propertySet() const { return m_set; }
    // Does not take ownership. The properties are read once, here; if the set
    // is destroyed first, the grid empties instead of keeping stale pointers.
    void setPropertySet(QtnPropertySet *set);

private:
    void clear();

    QTreeWidget *m_tree;
    QPointer<QtnPropertySet> m_set;
    std::vector<QMetaObject::Connection> m_connections;
};

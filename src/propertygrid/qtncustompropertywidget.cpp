#include "qtncustompropertywidget.h"

#include <QHeaderView>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "qtnproperty.h"
#include "qtnpropertyset.h"

QtnCustomPropertyWidget::QtnCustomPropertyWidget(QWidget *parent)
    : QWidget(parent)
    , m_tree(new QTreeWidget(this))
{
    m_tree->setColumnCount(2);
    m_tree->setHeaderLabels({tr("Property"), tr("Value")});
    m_tree->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    m_tree->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_tree->setSelectionMode(QAbstractItemView::SingleSelection);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_tree);
}

QtnCustomPropertyWidget::~QtnCustomPropertyWidget()
{
    clear();
}

void QtnCustomPropertyWidget::setPropertySet(QtnPropertySet *set)
{
    if (set == m_set)
        return;
    clear();
    m_set = set;
    if (!set)
        return;

    m_connections.push_back(connect(set, &QObject::destroyed, this, [this] {
        clear();
        m_set = nullptr;
    }));

    auto *root = new QTreeWidgetItem(m_tree, {set->name()});
    root->setFirstColumnSpanned(true);
    for (QtnProperty *property : set->childProperties()) {
        auto *row = new QTreeWidgetItem(root, {property->name(), property->toStr()});
        // The row belongs to m_tree, so clear() cuts this link before the row goes.
        m_connections.push_back(connect(property, &QtnProperty::propertyDidChange, this,
                                        [row, property] { row->setText(1, property->toStr()); }));
    }
    root->setExpanded(true);
}

void QtnCustomPropertyWidget::clear()
{
    for (const QMetaObject::Connection &connection : m_connections)
        disconnect(connection);
    m_connections.clear();
    m_tree->clear();
}

#pragma once

#include <QObject>
#include <QString>

// A named, typed value with a text conversion. The name is the object name.
// Threading: a GUI-thread object; other threads only read it while it does
// not change.
class QtnProperty : public QObject
{
    Q_OBJECT

public:
    explicit QtnProperty(QObject *parent = nullptr);
    ~QtnProperty() override;

    QString name() const;
    void setName(const QString &name);

    // Text conversion. fromStr() trims blanks at both ends and returns false,
    // leaving the value as it was, when the text does not fit the kind.
    virtual bool fromStr(const QString &text) = 0;
    virtual QString toStr() const = 0;

signals:
    void propertyDidChange();
};

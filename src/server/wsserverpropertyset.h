#pragma once

#include "qtnpropertyint.h"
#include "qtnpropertyqstring.h"
#include "qtnpropertyset.h"

// The listener's settings, named "WSServer". Timeouts are in the HTTP
// engine's units: seconds when positive, 0 for none, microseconds when negative.
struct WSServerPropertySet : public QtnPropertySet
{
    Q_OBJECT

public:
    explicit WSServerPropertySet(QObject *parent = nullptr);
    ~WSServerPropertySet() override;

    QtnPropertyInt *const port;
    QtnPropertyQString *const path;
    QtnPropertyInt *const idleTimeOut;      // shown only; never applied
    QtnPropertyInt *const sendTimeOut;
    QtnPropertyInt *const recvTimeOut;
    QtnPropertyInt *const transferTimeOut;
};

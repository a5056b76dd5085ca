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
    // Long enough for a slow link's request line and headers, short enough
    // that idle connections cannot keep the workers from everyone else.
    static constexpr int DEFAULT_HEADER_TIMEOUT = 10;

    explicit WSServerPropertySet(QObject *parent = nullptr);
    ~WSServerPropertySet() override;

    QtnPropertyInt *const port;
    QtnPropertyQString *const path;
    QtnPropertyInt *const idleTimeOut;      // shown only; never applied
    QtnPropertyInt *const sendTimeOut;
    QtnPropertyInt *const recvTimeOut;
    QtnPropertyInt *const transferTimeOut;
    QtnPropertyInt *const headerTimeOut;    // from the accept to the end of the headers
    QtnPropertyQString *const address;      // to listen on; empty for every interface
    QtnPropertyQString *const apiKey;       // required as "Authorization: Bearer <key>"; empty for none
    QtnPropertyQString *const apiKeyFile;   // holds the key instead, out of config.json and ps
    QtnPropertyInt *const localImages;      // 0 refuses every local image_path
    QtnPropertyQString *const imageFolders; // ":"-separated; when set, local paths only beneath these
    QtnPropertyInt *const urlImages;        // 0 refuses every image URL
    QtnPropertyInt *const publicUrlsOnly;   // 1: downloads connect only to public addresses
    QtnPropertyQString *const urlPrefixes;  // space-separated; when set, every hop starts with one
    QtnPropertyInt *const maxRedirects;     // 50 by default, as Qt itself follows
    QtnPropertyInt *const metricsPort;      // /metrics and /health; 0 for none
};

#include "wsserverpropertyset.h"

namespace {

template <class Property, class Value>
Property *makeProperty(QtnPropertySet *set, const char *name, const Value &defaultValue)
{
    auto *property = new Property(set, defaultValue);  // owned by the set
    property->setName(QString::fromLatin1(name));
    set->addChildProperty(property);
    return property;
}

} // namespace

WSServerPropertySet::WSServerPropertySet(QObject *parent)
    : QtnPropertySet(parent)
    , port(makeProperty<QtnPropertyInt>(this, "port", 5050))
    , path(makeProperty<QtnPropertyQString>(this, "path", QStringLiteral("/endpoint")))
    , idleTimeOut(makeProperty<QtnPropertyInt>(this, "idleTimeOut", 60))
    , sendTimeOut(makeProperty<QtnPropertyInt>(this, "sendTimeOut", 60))
    , recvTimeOut(makeProperty<QtnPropertyInt>(this, "recvTimeOut", 60))
    , transferTimeOut(makeProperty<QtnPropertyInt>(this, "transferTimeOut", 30))
    , headerTimeOut(makeProperty<QtnPropertyInt>(this, "headerTimeOut", DEFAULT_HEADER_TIMEOUT))
    , address(makeProperty<QtnPropertyQString>(this, "address", QString()))
    , apiKey(makeProperty<QtnPropertyQString>(this, "apiKey", QString()))
    , apiKeyFile(makeProperty<QtnPropertyQString>(this, "apiKeyFile", QString()))
    , localImages(makeProperty<QtnPropertyInt>(this, "localImages", 1))
    , imageFolders(makeProperty<QtnPropertyQString>(this, "imageFolders", QString()))
    , urlImages(makeProperty<QtnPropertyInt>(this, "urlImages", 1))
    , publicUrlsOnly(makeProperty<QtnPropertyInt>(this, "publicUrlsOnly", 0))
    , urlPrefixes(makeProperty<QtnPropertyQString>(this, "urlPrefixes", QString()))
    , maxRedirects(makeProperty<QtnPropertyInt>(this, "maxRedirects", 50))
    , metricsPort(makeProperty<QtnPropertyInt>(this, "metricsPort", 0))
{
    setName(QStringLiteral("WSServer"));
    apiKey->setSecret(true);
}

WSServerPropertySet::~WSServerPropertySet() = default;

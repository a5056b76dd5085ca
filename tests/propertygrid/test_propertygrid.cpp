#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>
#include <QTreeWidget>

#include "messagecapture.h"
#include "qtncustompropertywidget.h"
#include "settingvalues.h"
#include "wsserverpropertyset.h"

namespace {

QString grid(const QtnCustomPropertyWidget &widget)
{
    const QTreeWidget *tree = widget.findChild<QTreeWidget *>();
    QStringList rows;
    for (int i = 0; i < tree->topLevelItemCount(); ++i) {
        const QTreeWidgetItem *set = tree->topLevelItem(i);
        rows.append(set->text(0) + QLatin1Char(':'));
        for (int j = 0; j < set->childCount(); ++j)
            rows.append(set->child(j)->text(0) + QLatin1Char('=') + set->child(j)->text(1));
    }
    return rows.join(QLatin1Char(' '));
}

} // namespace

TEST(SettingsLoader, EachMemberStandsOnItsOwn)
{
    struct Case { const char *json; bool applied; QStringList messages; const char *values; };
    const Case cases[] = {
        {R"({"port":"8080"})", false, {"Json object expected"}, DEFAULTS},
        {R"({"port":{"value":8080}})", false, {R"(Cannot convert value "" to property "port")"}, DEFAULTS},
        {R"({"port":{"value":" 8080\t","note":"x"}})", true, {}, "8080|/endpoint|60|60|60|30"},
        {R"({"Port":{"value":"8080"}})", false, {R"(Cannot find property  "Port")"}, DEFAULTS},
        {R"({"port":{"val":"8080"}})", false, {R"(Cannot parse "value" attribute)"}, DEFAULTS},
        {R"({"path":{"value":8080}})", true, {}, "5050||60|60|60|30"},
        {R"({"port":{"value":"8080"},"bogus":{"value":"1"},"path":{"value":" /read "}})", false,
         {R"(Cannot find property  "bogus")"}, "8080|/read|60|60|60|30"},
        {R"({"idleTimeOut":{"value":"-2147483649"},"port":{"value":"2147483648"},"recvTimeOut":{"value":"80.5"},)"
         R"("sendTimeOut":{"value":"0x50"},"transferTimeOut":{"value":"1,000"}})", false,
         {R"(Cannot convert value "-2147483649" to property "idleTimeOut")",
          R"(Cannot convert value "2147483648" to property "port")",
          R"(Cannot convert value "80.5" to property "recvTimeOut")",
          R"(Cannot convert value "0x50" to property "sendTimeOut")",
          R"(Cannot convert value "1,000" to property "transferTimeOut")"}, DEFAULTS},
        {R"({"idleTimeOut":{"value":"-2147483648"},"port":{"value":"+2147483647"}})", true, {},
         "2147483647|/endpoint|-2147483648|60|60|30"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.json);
        const QJsonDocument document = QJsonDocument::fromJson(c.json);
        ASSERT_TRUE(document.isObject());
        WSServerPropertySet settings;
        const MessageCapture capture;
        EXPECT_EQ(settings.fromJson(document.object()), c.applied);
        EXPECT_EQ(capture.messages(), c.messages);
        EXPECT_EQ(values(settings), c.values);
    }
}

TEST(PropertyGrid, ShowsTheSetItIsGivenForAsLongAsItLives)
{
    WSServerPropertySet settings;
    ASSERT_TRUE(settings.fromJson(
        QJsonDocument::fromJson(R"({"port":{"value":"8080"},"path":{"value":"/read"},"apiKey":{"value":"k"}})").object()));
    const auto shown = [](const char *set, int port, const char *path, const char *apiKey) {
        return QStringLiteral("%1: port=%2 path=%3 idleTimeOut=60 sendTimeOut=60 recvTimeOut=60 transferTimeOut=30"
                              " headerTimeOut=10 address= apiKey=%4 apiKeyFile= localImages=1 imageFolders="
                              " urlImages=1 publicUrlsOnly=0 urlPrefixes= maxRedirects=50 metricsPort=0")
            .arg(QLatin1String(set)).arg(port).arg(QLatin1String(path), QLatin1String(apiKey));
    };
    QtnCustomPropertyWidget widget;
    widget.setPropertySet(&settings);
    widget.setEnabled(false);
    EXPECT_EQ(grid(widget), shown("WSServer", 8080, "/read", "(hidden)"));
    settings.port->setValue(9090);
    EXPECT_EQ(grid(widget), shown("WSServer", 9090, "/read", "(hidden)"));

    {
        WSServerPropertySet other;
        other.setName(QStringLiteral("Other"));
        widget.setPropertySet(&other);
        settings.port->setValue(1);  // must not reach the rows it had before
        EXPECT_EQ(grid(widget), shown("Other", 5050, "/endpoint", ""));
    }
    EXPECT_EQ(widget.propertySet(), nullptr);
    EXPECT_EQ(grid(widget), "");
}

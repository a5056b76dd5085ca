#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>

#include "configloader.h"
#include "messagecapture.h"
#include "settingvalues.h"
#include "workingdirectory.h"
#include "wsserverpropertyset.h"

TEST(ConfigFile, OnlyAReadableObjectChangesTheDefaults)
{
    const char *const DIRECTORY = "/";
    struct Case { const char *name, *content; QStringList messages; const char *values; };  // content nullptr: no file
    const Case cases[] = {
        {"missing", nullptr, {"Could not open file for reading: config.json Error: \"No such file or directory\" , will use default vaue."}, DEFAULTS},
        {"directory", DIRECTORY, {"Could not open file for reading: config.json Error: \"file to open is a directory\" , will use default vaue."}, DEFAULTS},
        {"empty", "", {"Failed to parse config JSON: \"illegal value\""}, DEFAULTS},
        {"array", R"([{"port":{"value":"8080"}}])", {"Failed to parse config JSON: \"no error occurred\""}, DEFAULTS},
        {"truncated", R"({"port":{"value":"8080"})", {"Failed to parse config JSON: \"unterminated object\""}, DEFAULTS},
        {"saved on Windows", "\xEF\xBB\xBF{\r\n\"port\":{\"value\":\"8080\"},\r\n\"path\":{\"value\":\"/read\"}\r\n}\r\n", {}, "8080|/read|60|60|60|30"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir dir;
        ASSERT_TRUE(dir.isValid());
        const WorkingDirectory cwd(dir.path());
        if (c.content == DIRECTORY) {
            ASSERT_TRUE(QDir().mkdir(QStringLiteral("config.json")));
        } else if (c.content) {
            QFile file(QStringLiteral("config.json"));
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            file.write(c.content);
        }
        WSServerPropertySet settings;
        const MessageCapture capture;
        loadConfig(settings);
        EXPECT_EQ(capture.messages(), c.messages);
        EXPECT_EQ(values(settings), c.values);
    }
}

// Operator messages are written in UTF-8 source and reach the log file as
// Windows-1250 bytes in the windows lane (and by option on Linux), UTF-8
// otherwise. The expected bytes are spelled as escapes, which the
// compiler's character-set conversion leaves alone.
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "common/log/CLog.h"
#include "common/log/flogstream.h"

namespace {
#ifdef OSTRA_CP1250
const std::string kCitanje = "\xE8itanje";  // č = E8
const std::string kPostavkeSustava =
    "\x9A"
    "to";  // š = 9A
#else
const std::string kCitanje = "\xC4\x8Ditanje";
const std::string kPostavkeSustava = "\xC5\xA1to";
#endif
}  // namespace

TEST(MessageBytes, CroatianLettersReachTheLogFileInTheLanesCodePage) {
    testing_support::ScratchDir dir;
    std::string path = dir.file("OstraService.log");
    flogstream file;
    ASSERT_TRUE(file.open(path.c_str()));
    CLog log;
    log.addStream(&file);
    log.log(LOG_LEVEL_ERROR, "OstraService", __LINE__,
            "Neuspelo čitanje konfiguracijske datoteke, što sada");
    file.flush();

    std::string expected =
        "Neuspelo " + kCitanje + " konfiguracijske datoteke, " + kPostavkeSustava + " sada";
    EXPECT_EQ(testing_support::readLines(path), std::vector<std::string>{expected});
#ifdef _WIN32
    EXPECT_EQ(testing_support::readFile(path), expected + "\r\n");
#endif
}

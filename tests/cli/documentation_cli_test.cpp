// The documentation against the program: every message the program can print is explained in
// the man page's DIAGNOSTICS section, and the program still writes, byte for byte, the worked
// example of the format description and the example record in examples/.
#include "cli/cli_test.h"

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <sys/stat.h>

namespace {

std::string readText(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The message texts of failures and console lines in the sources: "%s" reads "name", line
// ends are dropped, and formats that are only numbers or names (progress, console lines,
// banner) are left out.
std::set<std::string> programMessages()
{
    const std::regex call(
        R"re((?:fail\(\s*Status::\w+,|report\.line\(|fprintf\(\s*stderr,|fputs\()\s*"((?:[^"\\]|\\.)*)")re");
    std::set<std::string> messages;
    for (const auto& entry :
         std::filesystem::recursive_directory_iterator(std::string(ZEP_SOURCE_DIR) + "/src")) {
        const std::string text = readText(entry.path());
        for (std::sregex_iterator it(text.begin(), text.end(), call), end; it != end; ++it) {
            std::string message = (*it)[1];
            message = std::regex_replace(message, std::regex(R"(\\[nrt])"), "");
            if (std::regex_search(message, std::regex("%[^s]")))
                continue;
            if (!std::regex_search(std::regex_replace(message, std::regex("%s"), ""),
                                   std::regex("[A-Za-z]")))
                continue;
            messages.insert(std::regex_replace(message, std::regex("%s"), "name"));
        }
    }
    return messages;
}

std::string diagnosticsSection()
{
    const std::string page = readText(std::string(ZEP_SOURCE_DIR) + "/docs/zep.1");
    const size_t start = page.find(".SH DIAGNOSTICS");
    const size_t end = page.find(".SH", start + 1);
    std::string section = page.substr(start, end - start);
    section = std::regex_replace(section, std::regex(R"(\\f[BIRP])"), "");
    section = std::regex_replace(section, std::regex(R"(\\-)"), "-");
    return std::regex_replace(section, std::regex(R"(\\e)"), "\\");
}

// The bytes of the hex dump that follows the worked-example marker in the format description.
std::string workedExampleBytes()
{
    const std::string doc = readText(std::string(ZEP_SOURCE_DIR) + "/docs/format.md");
    const size_t marker = doc.find("<!-- worked-example -->");
    const size_t start = doc.find("```\n", marker) + 4;
    std::istringstream dump(doc.substr(start, doc.find("```", start) - start));
    std::string bytes;
    for (std::string line; std::getline(dump, line);) {
        std::istringstream fields(line);
        std::string offset, hex;
        fields >> offset;
        while (fields >> hex)
            bytes += static_cast<char>(std::stoi(hex, nullptr, 16));
    }
    return bytes;
}

// 2026-01-02 03:04:05.678 and 2026-02-03 04:05:06.789 UTC, the times the examples were made at.
constexpr long long kOldSeconds = 1767323045;
constexpr long long kNewSeconds = 1770091506;

using DocumentedRecordTest = CliTest;

}  // namespace

TEST_F(DocumentedRecordTest, TheWorkedExampleIsWhatTheProgramWrites)
{
    writeFile("old.conf", "name = zep\nversion = 1.12\nmode = fast\nretries = 3\n");
    writeFile("new.conf", "name = zep\nversion = 1.13\nmode = safe\nretries = 3\nlog = on\n");
    setModified("old.conf", kOldSeconds, 678000000);
    setModified("new.conf", kNewSeconds, 789000000);
    const ToolRun run = runTool({"old.conf", "new.conf", "ex.zep"}, {"TZ=UTC"});
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string expected = workedExampleBytes();
    ASSERT_EQ(expected.size(), 135u);
    EXPECT_TRUE(readFile("ex.zep") == expected);
}

TEST_F(DocumentedRecordTest, TheExampleRecordIsWhatTheProgramWrites)
{
    const std::string examples = std::string(ZEP_SOURCE_DIR) + "/examples/";
    ASSERT_EQ(mkdir(path("old").c_str(), 0700), 0);
    ASSERT_EQ(mkdir(path("new").c_str(), 0700), 0);
    writeFile("old/settings.conf", readText(examples + "old/settings.conf"));
    writeFile("new/settings.conf", readText(examples + "new/settings.conf"));
    setModified("old/settings.conf", kOldSeconds, 678000000);
    setModified("new/settings.conf", kNewSeconds, 789000000);
    const ToolRun run =
        runTool({"old/settings.conf", "new/settings.conf", "settings.zep"}, {"TZ=UTC"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(readFile("settings.zep") == readText(examples + "settings.zep"));
}

TEST(DocumentationCliTest, EveryMessageIsExplainedInTheManPage)
{
    const std::set<std::string> messages = programMessages();
    ASSERT_GE(messages.size(), 18u);  // the scan itself still finds the messages
    const std::string diagnostics = diagnosticsSection();
    for (const std::string& message : messages)
        EXPECT_NE(diagnostics.find(message), std::string::npos) << message;
}

// The documentation against the program: every message the program can print is explained in
// the man page's DIAGNOSTICS section.
#include "cli/cli_test.h"

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

namespace {

std::string readText(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The message texts in fatal exits and stderr prints of the sources: "%s" reads "name", line
// ends are dropped, and formats that are only numbers or names (progress, console lines,
// banner) are left out.
std::set<std::string> programMessages()
{
    const std::regex call(
        R"re((?:fatalExit\(\s*ExitCode::\w+,|fprintf\(\s*stderr,)\s*"((?:[^"\\]|\\.)*)")re");
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

}  // namespace

TEST(DocumentationCliTest, EveryMessageIsExplainedInTheManPage)
{
    const std::set<std::string> messages = programMessages();
    ASSERT_GE(messages.size(), 18u);  // the scan itself still finds the messages
    const std::string diagnostics = diagnosticsSection();
    for (const std::string& message : messages)
        EXPECT_NE(diagnostics.find(message), std::string::npos) << message;
}

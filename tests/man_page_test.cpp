// The manual page, rendered by man, documents every message and exit status
// that the program's source can produce.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <string>

namespace {

std::string read_file(const char* path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The page as a reader sees it, with overstrike and runs of white space
// folded away. The width is large so that no message is broken or hyphenated.
std::string rendered_page()
{
    std::string text;
    FILE* man = popen("LC_ALL=C MANWIDTH=1000 MAN_KEEP_FORMATTING= man -l '" MAN_PAGE "' 2>&1", "r");
    if (man == nullptr)
        return text;
    for (int c; (c = std::fgetc(man)) != EOF;) {
        if (c == '\b') {
            if (!text.empty())
                text.pop_back();
        } else if (std::isspace(c)) {
            if (!text.empty() && text.back() != ' ')
                text.push_back(' ');
        } else {
            text.push_back(static_cast<char>(c));
        }
    }
    EXPECT_EQ(pclose(man), 0) << text;
    return text;
}

// The fixed words of every message: the literal format strings the program
// prints, cut at each conversion and at escapes.
std::set<std::string> message_fragments(const std::string& source)
{
    static const std::regex call(R"((?:report\(\w+, |printf\(|puts\(|fprintf\(stderr, )\"((?:[^"\\]|\\.)*)\")");
    static const std::regex piece(R"(%[-0-9]*[a-z]|\\[a-z])");
    std::set<std::string> fragments;
    for (std::sregex_iterator m(source.begin(), source.end(), call), end; m != end; ++m) {
        std::string format = (*m)[1];
        for (std::sregex_token_iterator t(format.begin(), format.end(), piece, -1), none; t != none; ++t) {
            std::string f = *t;
            f.erase(0, f.find_first_not_of(' '));
            f.erase(f.find_last_not_of(' ') + 1);
            if (f.size() > 2)
                fragments.insert(f);
        }
    }
    return fragments;
}

TEST(ManPage, NamesEveryMessage)
{
    std::string page = rendered_page();
    std::set<std::string> fragments = message_fragments(read_file(SOURCE_FILE));
    for (const char* expected : {"usage: tavikcut <filename> <prefix>", "error: can't open", "illegal disk",
                                 "written as", "can't write:"})
        EXPECT_TRUE(fragments.count(expected)) << "not found in the source: " << expected;
    for (const std::string& f : fragments)
        EXPECT_NE(page.find(f), std::string::npos) << "not in the manual page: " << f;
}

TEST(ManPage, NamesEveryExitStatus)
{
    std::string page = rendered_page();
    static const std::regex status(R"( -([0-9]);)"); // return -2; or ... : -4;
    std::string source = read_file(SOURCE_FILE);
    std::set<int> statuses;
    for (std::sregex_iterator m(source.begin(), source.end(), status), end; m != end; ++m)
        statuses.insert(std::stoi((*m)[1]));
    EXPECT_EQ(statuses, (std::set<int>{1, 2, 3, 4}));
    size_t section = page.find("EXIT STATUS");
    ASSERT_NE(section, std::string::npos);
    EXPECT_NE(page.find(" 0 The ", section), std::string::npos);
    for (int s : statuses) {
        std::string entry = std::to_string(256 - s) + " (-" + std::to_string(s) + ")";
        EXPECT_NE(page.find(entry), std::string::npos) << entry;
    }
}

} // namespace

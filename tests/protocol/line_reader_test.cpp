// Request lines as they come off a connection: split at line feeds, never more than one line's
// worth kept, a line over the limit dropped and reported once its end comes.
#include "line_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

TEST(LineReaderTest, SplitsLinesAndDropsOnlyThoseOverTheLimit) {
    struct Case {
        const char* name;
        std::vector<std::string> chunks;
        std::vector<std::pair<bool, std::string>> lines;  // too long, text
        bool partial;
    };
    const Case cases[] = {
        {"two lines in one chunk", {"get\nstatus\n"}, {{false, "get"}, {false, "status"}}, false},
        {"a line in pieces", {"se", "t r", "ed\nge"}, {{false, "set red"}}, true},
        {"exactly the limit", {std::string(8, 'x') + "\n"}, {{false, std::string(8, 'x')}}, false},
        {"over the limit, then a good line", {std::string(9, 'x') + "\nget\n"}, {{true, ""}, {false, "get"}}, false},
        {"over the limit across chunks", {"xxxxx", "xxxxx", "xx", "\nget\n"}, {{true, ""}, {false, "get"}}, false},
        {"over the limit, no end yet", {std::string(20, 'x')}, {}, true},
        {"the limit and a carriage return", {std::string(8, 'x') + "\r\n"}, {{false, std::string(8, 'x') + "\r"}}, false},
        {"one over the limit and a carriage return", {std::string(9, 'x') + "\r\n"}, {{true, ""}}, false},
        {"the limit and a byte that is no carriage return", {std::string(8, 'x') + "y\n"}, {{true, ""}}, false},
        {"an empty line", {"\n"}, {{false, ""}}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        protocol::LineReader reader(8);
        std::vector<protocol::LineReader::Line> lines;
        for (const std::string& chunk : c.chunks) {
            reader.feed(chunk, lines);
        }
        ASSERT_EQ(lines.size(), c.lines.size());
        for (std::size_t index = 0; index < lines.size(); ++index) {
            EXPECT_EQ(lines[index].too_long, c.lines[index].first);
            EXPECT_EQ(lines[index].text, c.lines[index].second);
        }
        EXPECT_EQ(reader.partial(), c.partial);
    }
}

}  // namespace

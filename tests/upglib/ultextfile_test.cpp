#include "ultextfile.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "tempdir.h"
#include "testutil.h"
#include "ulerror.h"
#include "ulfile.h"

namespace {

std::string errorText() {
    return u8(ul_errorgetmsg());
}

struct Line {
    std::u16string text;
    int number;
    bool incomplete;
    bool operator==(const Line& other) const {
        return text == other.text && number == other.number && incomplete == other.incomplete;
    }
};

void PrintTo(const Line& line, std::ostream* os) {
    *os << "{\"" << u8(line.text) << "\", " << line.number << ", " << line.incomplete << "}";
}

int openDescriptors() {
    int count = 0;
    if (DIR* fds = opendir("/proc/self/fd")) {
        while (readdir(fds)) ++count;
        closedir(fds);
    }
    return count;
}

class UlTextFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir.ok());
        ul_errorsetmsg(0, nullptr);
    }

    // All lines of a file with these bytes, as the reader delivers them.
    std::vector<Line> readAll(const std::string& bytes, int flags = 0) {
        dir.write("input", bytes);
        ULTextFileReader reader;
        EXPECT_EQ(reader.open(dir.wpath("input").c_str(), flags), 0);
        std::vector<Line> lines;
        int rc;
        while ((rc = reader.readLine()) == 1) {
            EXPECT_EQ(reader.length(), ul_strlen(reader.line()));
            lines.push_back({reader.line(), reader.lineNumber(), reader.lastLineIncomplete()});
        }
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(reader.readLine(), 0);  // the end stays the end
        return lines;
    }

    TempDir dir;
};

// ---- reading -------------------------------------------------------------------------------

TEST_F(UlTextFileTest, LineEndsAndIncompleteLastLine) {
    struct {
        std::string bytes;
        std::vector<Line> expected;
    } cases[] = {
        {"", {}},
        {"\n", {{u"", 1, false}}},
        {"a\nb\n", {{u"a", 1, false}, {u"b", 2, false}}},
        {"a\nb", {{u"a", 1, false}, {u"b", 2, true}}},
        {"a\r\nb\r\n", {{u"a", 1, false}, {u"b", 2, false}}},
        {"a\r\n\r\nb", {{u"a", 1, false}, {u"", 2, false}, {u"b", 3, true}}},
        // A carriage return is a line end only before a line feed.
        {"a\rb\n", {{u"a\rb", 1, false}}},
        {"cut\r", {{u"cut\r", 1, true}}},
        {"a\r\r\n", {{u"a\r", 1, false}}},
        // A byte order mark is dropped at the start of the file only.
        {"\xEF\xBB\xBFone\n\xEF\xBB\xBFtwo\n", {{u"one", 1, false}, {u"\uFEFFtwo", 2, false}}},
        {"tab\there\n", {{u"tab\there", 1, false}}},
    };
    for (const auto& c : cases) EXPECT_EQ(readAll(c.bytes), c.expected) << c.bytes;
}

TEST_F(UlTextFileTest, ContinuationLinesAreJoinedOnRequest) {
    const std::string bytes = "whr: WHERE a = 1 \\\n\tAND b = 2\\\r\n AND c\nnext \\ x\nlast\\";
    EXPECT_EQ(readAll(bytes, UL_TEXT_JOINLINES),
              (std::vector<Line>{{u"whr: WHERE a = 1 \tAND b = 2 AND c", 1, false},
                                 {u"next \\ x", 4, false},
                                 {u"last", 5, true}}));
    EXPECT_EQ(readAll(bytes), (std::vector<Line>{{u"whr: WHERE a = 1 \\", 1, false},
                                                 {u"\tAND b = 2\\", 2, false},
                                                 {u" AND c", 3, false},
                                                 {u"next \\ x", 4, false},
                                                 {u"last\\", 5, true}}));
    // A continuation announced on the last line finds nothing to join: the line is incomplete.
    EXPECT_EQ(readAll("x\\\n", UL_TEXT_JOINLINES), (std::vector<Line>{{u"x", 1, true}}));
    EXPECT_EQ(readAll("x\\\ny\n", UL_TEXT_JOINLINES), (std::vector<Line>{{u"xy", 1, false}}));
}

TEST_F(UlTextFileTest, LineOffsetsLeadBackToTheirLines) {
    // Offsets count bytes of the file: a byte order mark, CRLF ends, multi-byte characters and
    // joined continuation lines all move them.
    struct {
        std::string bytes;
        int flags;
        std::vector<long> offsets;
    } cases[] = {
        {"a\nbc\n\nd", 0, {0, 2, 5, 6}},
        {"\xEF\xBB\xBFx\r\ny\r\n", 0, {0, 6}},
        {"\xC3\xA4\xE2\x82\xAC\nz\n", 0, {0, 6}},
        {"a\\\nb\nc\n", UL_TEXT_JOINLINES, {0, 5}},
    };
    for (const auto& c : cases) {
        dir.write("input", c.bytes);
        ULTextFileReader reader;
        ASSERT_EQ(reader.open(dir.wpath("input").c_str(), c.flags), 0);
        EXPECT_EQ(reader.lineOffset(), 0);
        std::vector<long> offsets;
        std::vector<Line> lines;
        while (reader.readLine() == 1) {
            offsets.push_back(reader.lineOffset());
            lines.push_back({reader.line(), reader.lineNumber(), reader.lastLineIncomplete()});
        }
        EXPECT_EQ(offsets, c.offsets) << c.bytes;
        // Every recorded line is read again, with its number, after seeking back to it, and
        // reading goes on from there.
        for (size_t i = lines.size(); i-- > 0;) {
            ASSERT_EQ(reader.seek(offsets[i], lines[i].number), 0);
            ASSERT_EQ(reader.readLine(), 1);
            EXPECT_EQ((Line{reader.line(), reader.lineNumber(), reader.lastLineIncomplete()}),
                      lines[i]);
            EXPECT_EQ(reader.lineOffset(), offsets[i]);
            if (i + 1 < lines.size()) {
                ASSERT_EQ(reader.readLine(), 1);
                EXPECT_EQ(reader.lineNumber(), lines[i + 1].number);
            }
        }
    }
    ULTextFileReader reader;
    EXPECT_EQ(reader.seek(0, 1), -1);
    dir.write("input", "x\n");
    ASSERT_EQ(reader.open(dir.wpath("input").c_str()), 0);
    EXPECT_EQ(reader.seek(-1, 1), -1);
    EXPECT_NE(errorText().find("Cannot seek to offset -1 in '"), std::string::npos);
}

TEST_F(UlTextFileTest, VeryLongLines) {
    std::string big(1 << 20, 'x');
    for (size_t i = 0; i < big.size(); i += 997) big[i] = static_cast<char>('a' + i % 26);
    std::u16string wide(big.begin(), big.end());
    EXPECT_EQ(readAll(big + "\nshort\n" + big),
              (std::vector<Line>{{wide, 1, false}, {u"short", 2, false}, {wide, 3, true}}));
}

// Only regular files are opened (a FIFO without writer must not block, a device must not be read
// without end), and a line over the limit is an error naming file and line.
TEST_F(UlTextFileTest, OnlyRegularFilesAndBoundedLines) {
    ASSERT_EQ(mkfifo(dir.path("fifo").c_str(), 0600), 0);
    dir.write("long", "short\n" + std::string(UL_FILE_MAXLINEBYTES + 1, 'x') + "\n");
    const struct {
        std::string path;
        std::string error;
    } cases[] = {
        {dir.path("fifo"), "Cannot open '" + dir.path("fifo") + "' mode='r': not a regular file"},
        {"/dev/zero", "Cannot open '/dev/zero' mode='r': not a regular file"},
        {dir.path(), "Cannot open '" + dir.path() + "' mode='r': " + strerror(EISDIR)},
        {dir.path("long"), "Line 2 of '" + dir.path("long") + "' is longer than 1048576 bytes"},
    };
    for (const auto& c : cases) {
        ULTextFileReader reader;
        int rc = reader.open(ul_utf8to16(c.path.c_str()).c_str());
        while (rc == 0 || rc == 1) rc = reader.readLine();
        EXPECT_EQ(rc, -1) << c.path;
        EXPECT_EQ(errorText(), c.error);
    }
}

TEST_F(UlTextFileTest, InvalidUtf8DecodesLikeTheStringHelpers) {
    const char* samples[] = {
        "\xC3",               // truncated
        "\xC3\x28",           // bad continuation
        "\xC0\xAF",           // overlong
        "\xED\xA0\x80",       // surrogate
        "\xF4\x90\x80\x80",   // above U+10FFFF
        "\xF0\x9F\x98\x80z",  // valid, outside the BMP
        "a\xFF\xFE"
        "b",         // bytes that never occur
        "\xE2\x82",  // truncated at the line end
    };
    for (const char* sample : samples) {
        std::vector<Line> lines = readAll(std::string(sample) + "\n");
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].text, ul_utf8to16(sample)) << sample;
    }
}

TEST_F(UlTextFileTest, LinesCanBeEditedInPlace) {
    dir.write("input", "  padded  \n");
    ULTextFileReader reader;
    ASSERT_EQ(reader.open(dir.wpath("input").c_str()), 0);
    ASSERT_EQ(reader.readLine(), 1);
    EXPECT_EQ(ul_stringtrimtail(reader.line()), 8u);
    EXPECT_EQ(u8(reader.line()), "  padded");
}

TEST_F(UlTextFileTest, OpenFailuresAndStandardStreams) {
    ULTextFileReader reader;
    EXPECT_EQ(reader.open(dir.wpath("missing").c_str()), -1);
    EXPECT_EQ(errorText(),
              "Cannot open '" + dir.path("missing") + "' mode='r': " + strerror(ENOENT));
    EXPECT_FALSE(reader.isOpen());
    EXPECT_EQ(reader.readLine(), 0);

    ULTextFileWriter writer;
    EXPECT_EQ(writer.open(dir.wpath("no/dir/out").c_str()), -1);
    EXPECT_EQ(errorText(),
              "Cannot open '" + dir.path("no/dir/out") + "' mode='w': " + strerror(ENOENT));
    EXPECT_EQ(writer.open(dir.wpath("no/dir/out").c_str(), UL_TEXT_APPEND), -1);
    EXPECT_EQ(errorText(),
              "Cannot open '" + dir.path("no/dir/out") + "' mode='a': " + strerror(ENOENT));
    EXPECT_EQ(writer.writeLine(u"nowhere"), -1);
    EXPECT_EQ(errorText(), "Cannot write to '" + dir.path("no/dir/out") + "': " + strerror(EBADF));

    // An attached stream stays open after close.
    FILE* stream = fopen(dir.write("attached", "one\ntwo\n").c_str(), "r");
    ASSERT_NE(stream, nullptr);
    ASSERT_EQ(reader.attach(stream, u"<input>"), 0);
    ASSERT_EQ(reader.readLine(), 1);
    EXPECT_EQ(u8(reader.path()), "<input>");
    reader.close();
    char rest[8] = {};
    EXPECT_NE(fgets(rest, sizeof rest, stream), nullptr);
    EXPECT_STREQ(rest, "two\n");
    fclose(stream);
}

TEST_F(UlTextFileTest, FilesAreClosedWhenTheObjectsEnd) {
    dir.write("input", "x\n");
    int before = openDescriptors();
    for (int i = 0; i < 50; ++i) {
        ULTextFileReader reader;
        ASSERT_EQ(reader.open(dir.wpath("input").c_str()), 0);
        ULTextFileWriter writer;
        ASSERT_EQ(writer.open(dir.wpath("output").c_str()), 0);
        // Opening again closes the file opened before.
        ASSERT_EQ(reader.open(dir.wpath("input").c_str()), 0);
    }
    EXPECT_EQ(openDescriptors(), before);
}

// ---- writing -------------------------------------------------------------------------------

TEST_F(UlTextFileTest, Utf8RoundTripOfNonAsciiText) {
    const std::u16string lines[] = {
        u"\u00C4nderung \u00FCber Stra\u00DFe",  // German
        u"\u0391\u03B8\u03AE\u03BD\u03B1",       // Greek
        u"\u6570\u636E\u5E93",                   // CJK
        u"\U0001F600 \U00010348",                // outside the BMP: surrogate pairs
        u"",
        u"tab:\tend \\",
    };
    ULTextFileWriter writer;
    ASSERT_EQ(writer.open(dir.wpath("out").c_str()), 0);
    for (const auto& line : lines) ASSERT_EQ(writer.writeLine(line.c_str()), 0);
    ASSERT_EQ(writer.writeFmt(u"%s=%d\n", u"\u00E9t\u00E9", 42), 0);
    ASSERT_EQ(writer.write(u"no line end"), 0);
    ASSERT_EQ(writer.close(), 0);

    std::string bytes = readFileBytes(dir.path("out"));
    EXPECT_EQ(bytes.substr(0, 9), "\xC3\x84nderung");
    EXPECT_NE(bytes.find("\xF0\x9F\x98\x80"), std::string::npos);  // one 4-byte sequence

    ULTextFileReader reader;
    ASSERT_EQ(reader.open(dir.wpath("out").c_str()), 0);
    for (const auto& line : lines) {
        ASSERT_EQ(reader.readLine(), 1);
        EXPECT_EQ(std::u16string(reader.line()), line);
        EXPECT_FALSE(reader.lastLineIncomplete());
    }
    ASSERT_EQ(reader.readLine(), 1);
    EXPECT_EQ(std::u16string(reader.line()), u"\u00E9t\u00E9=42");
    ASSERT_EQ(reader.readLine(), 1);
    EXPECT_EQ(std::u16string(reader.line()), u"no line end");
    EXPECT_TRUE(reader.lastLineIncomplete());
    EXPECT_EQ(reader.readLine(), 0);
}

TEST_F(UlTextFileTest, UnpairedSurrogatesAreWrittenAsReplacementCharacters) {
    ULTextFileWriter writer;
    ASSERT_EQ(writer.open(dir.wpath("out").c_str()), 0);
    const char16_t broken[] = {u'a', 0xD800, u'b', 0xDC00, 0};
    ASSERT_EQ(writer.writeLine(broken), 0);
    ASSERT_EQ(writer.close(), 0);
    EXPECT_EQ(readFileBytes(dir.path("out")),
              "a\xEF\xBF\xBD"
              "b\xEF\xBF\xBD\n");
}

TEST_F(UlTextFileTest, AppendModeKeepsExistingLines) {
    dir.write("log", "first\n");
    {
        ULTextFileWriter writer;
        ASSERT_EQ(writer.open(dir.wpath("log").c_str(), UL_TEXT_APPEND), 0);
        ASSERT_EQ(writer.writeLine(u"second"), 0);
    }
    {
        ULTextFileWriter writer;  // without append the file starts anew
        ASSERT_EQ(writer.open(dir.wpath("fresh").c_str()), 0);
        ASSERT_EQ(writer.writeLine(u"only"), 0);
        ASSERT_EQ(writer.open(dir.wpath("fresh").c_str()), 0);
        ASSERT_EQ(writer.writeLine(u"replaced"), 0);
    }
    EXPECT_EQ(readFileBytes(dir.path("log")), "first\nsecond\n");
    EXPECT_EQ(readFileBytes(dir.path("fresh")), "replaced\n");
}

TEST_F(UlTextFileTest, FlushPerLineMakesEveryLineVisibleAtOnce) {
    ULTextFileWriter progress, buffered;
    ASSERT_EQ(progress.open(dir.wpath("progress").c_str(), UL_TEXT_APPEND | UL_TEXT_FLUSHLINES), 0);
    ASSERT_EQ(buffered.open(dir.wpath("buffered").c_str()), 0);
    for (int i = 1; i <= 3; ++i) {
        std::u16string line = u"table" + ul_utf8to16(std::to_string(i).c_str());
        ASSERT_EQ(progress.writeLine(line.c_str()), 0);
        ASSERT_EQ(buffered.writeLine(line.c_str()), 0);
        // What another process (or a rerun after a crash) would find now:
        std::vector<Line> seen = readAll(readFileBytes(dir.path("progress")));
        ASSERT_EQ(seen.size(), static_cast<size_t>(i));
        EXPECT_EQ(seen.back(), (Line{line, i, false}));
    }
    EXPECT_EQ(readFileBytes(dir.path("buffered")), "");  // still in the stream's buffer
    ASSERT_EQ(buffered.flush(), 0);
    EXPECT_EQ(readFileBytes(dir.path("buffered")), "table1\ntable2\ntable3\n");
}

TEST_F(UlTextFileTest, WriteErrorsNameTheFile) {
    FILE* probe = fopen("/dev/full", "w");
    if (!probe) GTEST_SKIP() << "no /dev/full";
    fclose(probe);
    const std::string expected = std::string("Cannot write to '/dev/full': ") + strerror(ENOSPC);

    ULTextFileWriter flushing;
    ASSERT_EQ(flushing.open(u"/dev/full", UL_TEXT_FLUSHLINES), 0);
    EXPECT_EQ(flushing.writeLine(u"lost"), -1);
    EXPECT_EQ(errorText(), expected);

    ULTextFileWriter buffered;
    ASSERT_EQ(buffered.open(u"/dev/full"), 0);
    EXPECT_EQ(buffered.writeLine(u"lost"), 0);  // only buffered so far
    ul_errorsetmsg(0, nullptr);
    EXPECT_EQ(buffered.close(), -1);
    EXPECT_EQ(errorText(), expected);
    EXPECT_FALSE(buffered.isOpen());
    EXPECT_EQ(buffered.close(), 0);
}

}  // namespace

#include "ultextfile.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "tempdir.h"
#include "testutil.h"
#include "ulerror.h"
#include "ulfile.h"

namespace {

struct Line {
    std::u16string text;
    int number;
    bool incomplete;
    bool operator==(const Line& other) const = default;
};

void PrintTo(const Line& line, std::ostream* os) {
    *os << "{\"" << u8(line.text) << "\", " << line.number << ", " << line.incomplete << "}";
}

using Lines = std::vector<Line>;

Line current(ULTextFileReader& reader) {
    return {reader.line(), reader.lineNumber(), reader.lastLineIncomplete()};
}

class UlTextFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir.ok());
        ul_errorsetmsg(0, nullptr);
    }

    // All lines of a file with these bytes, as the reader delivers them.
    Lines readAll(const std::string& bytes, int flags = 0) {
        dir.write("input", bytes);
        ULTextFileReader reader;
        EXPECT_EQ(reader.open(dir.wpath("input").c_str(), flags), 0);
        Lines lines;
        int rc;
        while ((rc = reader.readLine()) == 1) {
            EXPECT_EQ(reader.length(), ul_strlen(reader.line()));
            lines.push_back(current(reader));
        }
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(reader.readLine(), 0);  // the end stays the end
        return lines;
    }

    TempDir dir;
};

// ---- reading -------------------------------------------------------------------------------

TEST_F(UlTextFileTest, LineEndsContinuationsAndIncompleteLastLine) {
    const std::string joined = "whr: WHERE a = 1 \\\n\tAND b = 2\\\r\n AND c\nnext \\ x\nlast\\";
    const std::string big(1 << 20, 'x');
    const std::u16string wideBig(big.begin(), big.end());
    const std::tuple<std::string, int, Lines> cases[] = {
        {"", 0, {}},
        {"\n", 0, {{u"", 1, false}}},
        {"a\nb", 0, {{u"a", 1, false}, {u"b", 2, true}}},
        {"a\r\n\r\nb\r\n", 0, {{u"a", 1, false}, {u"", 2, false}, {u"b", 3, false}}},
        // A carriage return is a line end only before a line feed.
        {"a\rb\n", 0, {{u"a\rb", 1, false}}},
        {"cut\r", 0, {{u"cut\r", 1, true}}},
        {"a\r\r\n", 0, {{u"a\r", 1, false}}},
        // A byte order mark is dropped at the start of the file only.
        {"\xEF\xBB\xBFone\n\xEF\xBB\xBFtwo\n", 0, {{u"one", 1, false}, {u"\uFEFFtwo", 2, false}}},
        {joined, UL_TEXT_JOINLINES,
         {{u"whr: WHERE a = 1 \tAND b = 2 AND c", 1, false}, {u"next \\ x", 4, false}, {u"last", 5, true}}},
        {joined, 0,
         {{u"whr: WHERE a = 1 \\", 1, false}, {u"\tAND b = 2\\", 2, false}, {u" AND c", 3, false},
          {u"next \\ x", 4, false}, {u"last\\", 5, true}}},
        // A continuation announced on the last line finds nothing to join: the line is incomplete.
        {"x\\\n", UL_TEXT_JOINLINES, {{u"x", 1, true}}},
        {"x\\\ny\n", UL_TEXT_JOINLINES, {{u"xy", 1, false}}},
        {big + "\nshort\n" + big, 0, {{wideBig, 1, false}, {u"short", 2, false}, {wideBig, 3, true}}},
    };
    for (const auto& [bytes, flags, expected] : cases)
        EXPECT_EQ(readAll(bytes, flags), expected) << bytes.substr(0, 40);
}

// Invalid UTF-8 decodes as the string helpers decode it.
TEST_F(UlTextFileTest, InvalidUtf8DecodesLikeTheStringHelpers) {
    const char* sample = "\xC3\x28 \xC0\xAF \xED\xA0\x80 \xF4\x90\x80\x80 \xF0\x9F\x98\x80 a\xFF\xFE \xE2\x82";
    EXPECT_EQ(readAll(std::string(sample) + "\n"), (Lines{{ul_utf8to16(sample), 1, false}}));
}

// Offsets count bytes of the file: a byte order mark, CRLF ends, multi-byte characters and
// joined continuation lines all move them. Every line is read again after seeking to it.
TEST_F(UlTextFileTest, LineOffsetsLeadBackToTheirLines) {
    const std::tuple<std::string, int, std::vector<long>> cases[] = {
        {"a\nbc\n\nd", 0, {0, 2, 5, 6}}, {"\xEF\xBB\xBFx\r\ny\r\n", 0, {0, 6}},
        {"\xC3\xA4\xE2\x82\xAC\nz\n", 0, {0, 6}}, {"a\\\nb\nc\n", UL_TEXT_JOINLINES, {0, 5}}};
    for (const auto& [bytes, flags, expectedOffsets] : cases) {
        dir.write("input", bytes);
        ULTextFileReader reader;
        ASSERT_EQ(reader.open(dir.wpath("input").c_str(), flags), 0);
        EXPECT_EQ(reader.lineOffset(), 0);
        std::vector<long> offsets;
        Lines lines;
        while (reader.readLine() == 1) {
            offsets.push_back(reader.lineOffset());
            lines.push_back(current(reader));
        }
        EXPECT_EQ(offsets, expectedOffsets) << bytes;
        for (size_t i = lines.size(); i-- > 0;) {
            ASSERT_EQ(reader.seek(offsets[i], lines[i].number), 0);
            ASSERT_EQ(reader.readLine(), 1);
            EXPECT_EQ(current(reader), lines[i]);
            EXPECT_EQ(reader.lineOffset(), offsets[i]);
            if (i + 1 < lines.size()) {
                ASSERT_EQ(reader.readLine(), 1);
                EXPECT_EQ(reader.lineNumber(), lines[i + 1].number);
            }
        }
    }
    ULTextFileReader reader;
    EXPECT_EQ(reader.seek(0, 1), -1);
    ASSERT_EQ(reader.open(dir.wpath("input").c_str()), 0);
    EXPECT_EQ(reader.seek(-1, 1), -1);
    EXPECT_NE(errorUtf8().find("Cannot seek to offset -1 in '"), std::string::npos);
}

// Only regular files are opened (a FIFO without writer must not block, a device must not be read
// without end), and a line over the limit is an error naming file and line.
TEST_F(UlTextFileTest, OpenAndReadErrors) {
    ASSERT_EQ(mkfifo(dir.path("fifo").c_str(), 0600), 0);
    dir.write("long", "short\n" + std::string(UL_FILE_MAXLINEBYTES + 1, 'x') + "\n");
    const std::tuple<std::string, std::string> cases[] = {
        {dir.path("fifo"), "Cannot open '" + dir.path("fifo") + "' mode='r': not a regular file"},
        {"/dev/zero", "Cannot open '/dev/zero' mode='r': not a regular file"},
        {dir.path(), "Cannot open '" + dir.path() + "' mode='r': " + strerror(EISDIR)},
        {dir.path("missing"), "Cannot open '" + dir.path("missing") + "' mode='r': " + strerror(ENOENT)},
        {dir.path("long"), "Line 2 of '" + dir.path("long") + "' is longer than 1048576 bytes"}};
    for (const auto& [path, error] : cases) {
        ULTextFileReader reader;
        int rc = reader.open(ul_utf8to16(path.c_str()).c_str());
        if (rc == 0) {
            while ((rc = reader.readLine()) == 1) {
            }
        }
        EXPECT_EQ(rc, -1) << path;
        EXPECT_EQ(errorUtf8(), error);
        if (path == dir.path("missing")) {
            EXPECT_FALSE(reader.isOpen());
            EXPECT_EQ(reader.readLine(), 0);
        }
    }
}

TEST_F(UlTextFileTest, AttachedStreamsStayOpenAndLinesCanBeEdited) {
    FILE* stream = fopen(dir.write("attached", "  padded  \ntwo\n").c_str(), "r");
    ASSERT_NE(stream, nullptr);
    ULTextFileReader reader;
    ASSERT_EQ(reader.attach(stream, u"<input>"), 0);
    ASSERT_EQ(reader.readLine(), 1);
    EXPECT_EQ(u8(reader.path()), "<input>");
    EXPECT_EQ(ul_stringtrimtail(reader.line()), 8u);
    EXPECT_EQ(u8(reader.line()), "  padded");
    reader.close();
    char rest[8] = {};
    EXPECT_NE(fgets(rest, sizeof rest, stream), nullptr);
    EXPECT_STREQ(rest, "two\n");
    fclose(stream);
}

int openDescriptors() {
    int count = 0;
    if (DIR* fds = opendir("/proc/self/fd")) {
        while (readdir(fds)) ++count;
        closedir(fds);
    }
    return count;
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
        ASSERT_EQ(writer.open(dir.wpath("output").c_str(), UL_TEXT_APPEND), 0);
        ASSERT_EQ(reader.open(dir.wpath("input").c_str()), 0);
    }
    EXPECT_EQ(openDescriptors(), before);
}

// ---- writing -------------------------------------------------------------------------------

TEST_F(UlTextFileTest, Utf8RoundTripOfNonAsciiText) {
    const std::u16string lines[] = {u"\u00C4nderung \u00FCber Stra\u00DFe", u"\u0391\u03B8\u03AE\u03BD\u03B1",
                                    u"\u6570\u636E\u5E93", u"\U0001F600 \U00010348", u"", u"tab:\tend \\"};
    ULTextFileWriter writer;
    ASSERT_EQ(writer.open(dir.wpath("out").c_str()), 0);
    for (const auto& line : lines) ASSERT_EQ(writer.writeLine(line.c_str()), 0);
    ASSERT_EQ(writer.writeFmt(u"%s=%d\n", u"\u00E9t\u00E9", 42), 0);
    const char16_t broken[] = {u'a', 0xD800, u'b', 0xDC00, u'\n', 0};
    ASSERT_EQ(writer.write(broken), 0);
    ASSERT_EQ(writer.write(u"no line end"), 0);
    ASSERT_EQ(writer.close(), 0);
    // The bytes are those of the string helpers, checked there; read back, unpaired surrogates
    // have become replacement characters.
    Lines expected;
    for (const auto& line : lines) expected.push_back({line, static_cast<int>(expected.size()) + 1, false});
    expected.push_back({u"\u00E9t\u00E9=42", 7, false});
    expected.push_back({u"a\uFFFDb\uFFFD", 8, false});
    expected.push_back({u"no line end", 9, true});
    EXPECT_EQ(readAll(readFileBytes(dir.path("out"))), expected);
}

// A progress file is appended to and flushed per line; a writer without append starts the file
// anew and holds its lines back until flushed.
TEST_F(UlTextFileTest, FlushPerLineMakesEveryLineVisibleAtOnce) {
    dir.write("progress", "earlier run\n");
    dir.write("buffered", "old content\n");
    ULTextFileWriter progress, buffered;
    ASSERT_EQ(progress.open(dir.wpath("progress").c_str(), UL_TEXT_APPEND | UL_TEXT_FLUSHLINES), 0);
    ASSERT_EQ(buffered.open(dir.wpath("buffered").c_str()), 0);
    for (int i = 1; i <= 3; ++i) {
        std::u16string line = u"table" + ul_utf8to16(std::to_string(i).c_str());
        ASSERT_EQ(progress.writeLine(line.c_str()), 0);
        ASSERT_EQ(buffered.writeLine(line.c_str()), 0);
        // What another process (or a rerun after a crash) would find now:
        Lines seen = readAll(readFileBytes(dir.path("progress")));
        ASSERT_EQ(seen.size(), static_cast<size_t>(i) + 1);
        EXPECT_EQ(seen.back(), (Line{line, i + 1, false}));
    }
    EXPECT_EQ(readFileBytes(dir.path("buffered")), "");  // emptied, the lines still buffered
    ASSERT_EQ(buffered.flush(), 0);
    EXPECT_EQ(readFileBytes(dir.path("buffered")), "table1\ntable2\ntable3\n");
}

TEST_F(UlTextFileTest, WriteErrorsNameTheFile) {
    ULTextFileWriter nowhere, flushing, buffered;
    const std::string out = dir.path("no/dir/out");
    EXPECT_EQ(nowhere.open(dir.wpath("no/dir/out").c_str()), -1);
    EXPECT_EQ(errorUtf8(), "Cannot open '" + out + "' mode='w': " + strerror(ENOENT));
    EXPECT_EQ(nowhere.open(dir.wpath("no/dir/out").c_str(), UL_TEXT_APPEND), -1);
    EXPECT_EQ(errorUtf8(), "Cannot open '" + out + "' mode='a': " + strerror(ENOENT));
    EXPECT_EQ(nowhere.writeLine(u"nowhere"), -1);
    EXPECT_EQ(errorUtf8(), "Cannot write to '" + out + "': " + strerror(EBADF));

    const std::string full = std::string("Cannot write to '/dev/full': ") + strerror(ENOSPC);
    ASSERT_EQ(flushing.open(u"/dev/full", UL_TEXT_FLUSHLINES), 0);
    EXPECT_EQ(flushing.writeLine(u"lost"), -1);
    EXPECT_EQ(errorUtf8(), full);
    ASSERT_EQ(buffered.open(u"/dev/full"), 0);
    EXPECT_EQ(buffered.writeLine(u"lost"), 0);  // only buffered so far
    ul_errorsetmsg(0, nullptr);
    EXPECT_EQ(buffered.close(), -1);
    EXPECT_EQ(errorUtf8(), full);
    EXPECT_FALSE(buffered.isOpen());
    EXPECT_EQ(buffered.close(), 0);
}

}  // namespace

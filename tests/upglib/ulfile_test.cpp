#include "ulfile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "tempdir.h"
#include "testutil.h"
#include "ulcrc.h"
#include "ulerror.h"
#include "ultrace.h"

namespace {

std::string errorText() {
    return u8(ul_errorgetmsg());
}
std::string sysText(int code) {
    return strerror(code);
}

mode_t modeOf(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

bool exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::string randomContent(size_t n, unsigned seed) {
    std::mt19937 generator(seed);
    std::string data(n, '\0');
    for (char& c : data) c = static_cast<char>(generator());
    return data;
}

class UlFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir.ok());
        ul_errorsetmsg(0, nullptr);
    }
    TempDir dir;
};

// ---- open, copy, move --------------------------------------------------------------------

TEST_F(UlFileTest, OpenFailureNamesPathModeAndSystemError) {
    std::u16string missing = dir.wpath("missing.txt");
    EXPECT_EQ(ul_filefopen(missing.c_str(), u"r", 0), nullptr);
    EXPECT_EQ(errorText(),
              "Cannot open '" + dir.path("missing.txt") + "' mode='r': " + sysText(ENOENT));

    ul_errorsetmsg(0, u"untouched");
    errno = 0;
    EXPECT_EQ(ul_filefopen(missing.c_str(), u"r", UL_FILE_NOMSG), nullptr);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(errorText(), "untouched");

    FILE* created = ul_filefopen(missing.c_str(), u"w", 0);
    ASSERT_NE(created, nullptr);
    fclose(created);
}

TEST_F(UlFileTest, CopyReplacesDestinationAtomicallyWithSourcePermissions) {
    // Several blocks and a partial one, so that block boundaries are crossed.
    std::string content = randomContent(3 * 8192 + 17, 7);
    std::string source = dir.write("source.bin", content);
    ASSERT_EQ(chmod(source.c_str(), 0640), 0);
    std::string destination = dir.write("dest.bin", "old content");
    ASSERT_EQ(chmod(destination.c_str(), 0600), 0);
    // A second name of the old destination: a rename leaves it alone, an in-place rewrite
    // would change it, so it shows that the destination was replaced in one step.
    ASSERT_EQ(link(destination.c_str(), dir.path("old-link").c_str()), 0);

    ASSERT_EQ(ul_filecopy(dir.wpath("source.bin").c_str(), dir.wpath("dest.bin").c_str(), 0), 0)
        << errorText();
    EXPECT_EQ(readFileBytes(destination), content);
    EXPECT_EQ(modeOf(destination), 0640u);
    EXPECT_FALSE(exists(destination + ".tmp"));
    EXPECT_EQ(readFileBytes(dir.path("old-link")), "old content");
    EXPECT_EQ(ul_filecompare(dir.wpath("source.bin").c_str(), dir.wpath("dest.bin").c_str(), 0), 0);
}

TEST_F(UlFileTest, CopyOfEmptyAndExecutableFilesKeepsContentAndModes) {
    struct Case {
        std::string content;
        mode_t mode;
    } cases[] = {{"", 0644}, {"#!/bin/sh\n", 0755}, {"x", 0400}};
    for (const Case& c : cases) {
        std::string source = dir.write("s", c.content);
        ASSERT_EQ(chmod(source.c_str(), c.mode), 0);
        ASSERT_EQ(unlink(dir.path("d").c_str()) == 0 || errno == ENOENT, true);
        ASSERT_EQ(ul_filecopy(dir.wpath("s").c_str(), dir.wpath("d").c_str(), 0), 0) << errorText();
        EXPECT_EQ(readFileBytes(dir.path("d")), c.content);
        EXPECT_EQ(modeOf(dir.path("d")), c.mode);
        ASSERT_EQ(chmod(source.c_str(), 0644), 0);
    }
}

TEST_F(UlFileTest, CopyNeverWritesThroughAStaleTemporaryName) {
    dir.write("source", "new");
    std::string victim = dir.write("victim", "precious");
    ASSERT_EQ(symlink(victim.c_str(), dir.path("dest.tmp").c_str()), 0);
    ASSERT_EQ(ul_filecopy(dir.wpath("source").c_str(), dir.wpath("dest").c_str(), 0), 0)
        << errorText();
    EXPECT_EQ(readFileBytes(victim), "precious");
    EXPECT_EQ(readFileBytes(dir.path("dest")), "new");
    EXPECT_FALSE(exists(dir.path("dest.tmp")));
}

TEST_F(UlFileTest, CopyRefusesDirectorySourceAndReportsFailures) {
    ASSERT_EQ(mkdir(dir.path("subdir").c_str(), 0755), 0);
    dir.write("file", "data");
    std::u16string subdir = dir.wpath("subdir"), file = dir.wpath("file");

    EXPECT_EQ(ul_filecopy(subdir.c_str(), dir.wpath("copy").c_str(), 0), -1);
    EXPECT_EQ(errorText(), "Source file '" + dir.path("subdir") + "' is a directory");
    EXPECT_FALSE(exists(dir.path("copy")));
    EXPECT_FALSE(exists(dir.path("copy.tmp")));

    EXPECT_EQ(ul_filecopy(dir.wpath("nothing").c_str(), dir.wpath("copy").c_str(), 0), -1);
    EXPECT_EQ(errorText(), "Cannot read '" + dir.path("nothing") + "': " + sysText(ENOENT) +
                               "\nCannot copy '" + dir.path("nothing") + "' to '" +
                               dir.path("copy") + "'");

    std::string target = dir.path("no/such/dir/copy");
    EXPECT_EQ(ul_filecopy(file.c_str(), ul_utf8to16(target.c_str()).c_str(), 0), -1);
    EXPECT_EQ(errorText(), "Cannot write to '" + target + ".tmp': " + sysText(ENOENT) +
                               "\nCannot copy '" + dir.path("file") + "' to '" + target + "'");

    // The rename fails on an existing directory; the temporary file must not stay behind.
    EXPECT_EQ(ul_filecopy(file.c_str(), subdir.c_str(), 0), -1);
    EXPECT_EQ(errorText(), "Cannot rename '" + dir.path("subdir") + ".tmp' to '" +
                               dir.path("subdir") + "': " + sysText(EISDIR) + "\nCannot copy '" +
                               dir.path("file") + "' to '" + dir.path("subdir") + "'");
    EXPECT_FALSE(exists(dir.path("subdir.tmp")));
}

TEST_F(UlFileTest, CopyIsTraced) {
    dir.write("a", "x");
    MemoryStream trace;
    FILE* previous = ul_tracegetglobalfileptr();
    ul_tracesetglobalfileptr(trace.get());
    ul_tracesetlevel(UL_TRC_FILE, 2, 0);
    int rc = ul_filecopy(dir.wpath("a").c_str(), dir.wpath("b").c_str(), 0);
    ul_traceresetlevels();
    ul_tracesetglobalfileptr(previous);
    ASSERT_EQ(rc, 0);
    std::string expected = "Copied '" + dir.path("a") + "' to '" + dir.path("b") + "'.\n";
    EXPECT_NE(trace.text().find(expected), std::string::npos) << trace.text();
}

TEST_F(UlFileTest, AtomicMove) {
    dir.write("from", "payload");
    dir.write("to", "old");
    ASSERT_EQ(ul_fileatomicmove(dir.wpath("from").c_str(), dir.wpath("to").c_str()), 0);
    EXPECT_EQ(readFileBytes(dir.path("to")), "payload");
    EXPECT_FALSE(exists(dir.path("from")));

    EXPECT_EQ(ul_fileatomicmove(dir.wpath("from").c_str(), dir.wpath("to").c_str()), -1);
    EXPECT_EQ(errorText(), "Cannot rename '" + dir.path("from") + "' to '" + dir.path("to") +
                               "': " + sysText(ENOENT));
    EXPECT_EQ(readFileBytes(dir.path("to")), "payload");
}

// ---- sizes and dates -----------------------------------------------------------------------

TEST_F(UlFileTest, SizeOfFilesStreamsAndRefusals) {
    dir.write("empty", "");
    dir.write("ten", "0123456789");
    EXPECT_EQ(ul_filesize(dir.wpath("empty").c_str(), 0), 0);
    EXPECT_EQ(ul_filesize(dir.wpath("ten").c_str(), 0), 10);

    EXPECT_EQ(ul_filesize(dir.wpath().c_str(), 0), -1);
    EXPECT_EQ(errorText(), "ul_filesize() not allowed for directory '" + dir.path() + "'");
    EXPECT_EQ(ul_filesize(dir.wpath("gone").c_str(), 0), -1);
    EXPECT_EQ(errorText(), "Cannot stat '" + dir.path("gone") + "': " + sysText(ENOENT));

    ul_errorsetmsg(0, u"untouched");
    EXPECT_EQ(ul_filesize(dir.wpath("gone").c_str(), UL_FILE_NOMSG), -1);
    EXPECT_EQ(errorText(), "untouched");

    FILE* stream = fopen(dir.path("growing").c_str(), "w");
    ASSERT_NE(stream, nullptr);
    fputs("12345", stream);  // still in the stream's buffer
    EXPECT_EQ(ul_filesize1(stream, 0), 5);
    fputs("678", stream);
    EXPECT_EQ(ul_filesize1(stream, 0), 8);
    fclose(stream);
}

TEST_F(UlFileTest, DateIsTheModificationTimeAsStamp) {
    ScopedEnv zone("TZ", "UTC");
    tzset();
    std::string file = dir.write("dated", "x");
    struct timeval times[2] = {{1705314600, 0}, {1705314600, 0}};  // 2024-01-15 10:30:00 UTC
    ASSERT_EQ(utimes(file.c_str(), times), 0);
    char16_t stamp[32];
    EXPECT_EQ(ul_filegetdate(dir.wpath("dated").c_str(), stamp, 32, 1), 14);
    EXPECT_EQ(u8(stamp), "20240115103000");
    EXPECT_EQ(ul_filegetdate(dir.wpath("dated").c_str(), stamp, 32, 0), 19);
    EXPECT_EQ(u8(stamp), "2024/01/15 10:30:00");
    EXPECT_EQ(ul_filegetdate(dir.wpath("none").c_str(), stamp, 32, 1), -1);
    EXPECT_EQ(errorText(), "Cannot stat '" + dir.path("none") + "': " + sysText(ENOENT));
}

// ---- normalisation -----------------------------------------------------------------------

class UlFileNormalizeTest : public UlFileTest {
  protected:
    void SetUp() override {
        UlFileTest::SetUp();
        ASSERT_EQ(mkdir(dir.path("a").c_str(), 0755), 0);
        ASSERT_EQ(mkdir(dir.path("a/b").c_str(), 0755), 0);
        dir.write("a/b/file", "");
        ASSERT_EQ(symlink("a/b", dir.path("rel").c_str()), 0);                  // relative target
        ASSERT_EQ(symlink(dir.path("a").c_str(), dir.path("abs").c_str()), 0);  // absolute
        ASSERT_EQ(symlink("rel", dir.path("chain1").c_str()), 0);               // chain of links
        ASSERT_EQ(symlink("chain1", dir.path("chain2").c_str()), 0);
        ASSERT_EQ(symlink("../../abs", dir.path("a/b/up").c_str()), 0);  // counts from a/b
        ASSERT_EQ(symlink("loop2", dir.path("loop1").c_str()), 0);
        ASSERT_EQ(symlink("loop1", dir.path("loop2").c_str()), 0);
        ASSERT_EQ(symlink("self", dir.path("self").c_str()), 0);
    }

    // Normalises text in a buffer of 4096; returns the result or "ERROR: <message>".
    std::string normalize(const std::string& text, size_t size = 4096) {
        std::u16string buffer(size, u'\0');
        std::u16string input = ul_utf8to16(text.c_str());
        ul_strlcpy(buffer.data(), input.c_str(), size);
        int n = ul_filenormalize(buffer.data(), size);
        if (n < 0) return "ERROR: " + errorText();
        EXPECT_EQ(static_cast<size_t>(n), ul_strlen(buffer.c_str()));
        return u8(buffer.c_str());
    }
};

TEST_F(UlFileNormalizeTest, ResolvesLinksPartByPart) {
    const std::string t = dir.path();
    struct {
        std::string input, expected;
    } cases[] = {
        {t, t},
        {t + "/", t},
        {t + "//a/./b/", t + "/a/b"},
        {t + "/rel", t + "/a/b"},
        {t + "/rel/file", t + "/a/b/file"},
        {t + "/abs/b/file", t + "/a/b/file"},
        {t + "/chain2/file", t + "/a/b/file"},
        {t + "/a/b/up/b", t + "/a/b"},
        // ".." applies to the resolved directory, not to the name of the link.
        {t + "/rel/..", t + "/a"},
        {t + "/chain2/../../rel", t + "/a/b"},
        // Missing parts are kept, so that files still to be created can be named.
        {t + "/rel/new/sub", t + "/a/b/new/sub"},
        {t + "/a/missing/../b", t + "/a/b"},
        {"/", "/"},
        {"/..", "/"},
    };
    for (const auto& c : cases) EXPECT_EQ(normalize(c.input), c.expected) << c.input;
}

TEST_F(UlFileNormalizeTest, RelativePathsStartAtTheCurrentDirectory) {
    ScopedCwd inside(dir.path("a"));
    EXPECT_EQ(normalize("b/file"), dir.path("a/b/file"));
    EXPECT_EQ(normalize("../chain1"), dir.path("a/b"));
    EXPECT_EQ(normalize("."), dir.path("a"));
}

TEST_F(UlFileNormalizeTest, LoopsEndWithTheIndirectionMessage) {
    for (const std::string name : {"loop1", "self", "chain2/../../loop2/x"}) {
        std::string path = dir.path(name);
        EXPECT_EQ(normalize(path),
                  "ERROR: Too many indirections when resolving symlink '" + path + "'");
    }
}

TEST_F(UlFileNormalizeTest, ChainsUpToTheBoundResolve) {
    // link0 -> a, link1 -> link0, ...: UL_FILE_MAXSYMLINKS links resolve, one more is too many.
    ASSERT_EQ(symlink("a", dir.path("link0").c_str()), 0);
    for (int i = 1; i <= UL_FILE_MAXSYMLINKS; ++i)
        ASSERT_EQ(symlink(("link" + std::to_string(i - 1)).c_str(),
                          dir.path("link" + std::to_string(i)).c_str()),
                  0);
    std::string last = "link" + std::to_string(UL_FILE_MAXSYMLINKS - 1);
    EXPECT_EQ(normalize(dir.path(last)), dir.path("a"));
    std::string tooLong = dir.path("link" + std::to_string(UL_FILE_MAXSYMLINKS));
    EXPECT_EQ(normalize(tooLong),
              "ERROR: Too many indirections when resolving symlink '" + tooLong + "'");
}

TEST_F(UlFileNormalizeTest, ResultMustFitTheBuffer) {
    // The input must fit into the buffer, the longer result need not.
    ASSERT_EQ(symlink("a/b", dir.path("r").c_str()), 0);
    std::string expected = dir.path("a/b/file");
    size_t exact = expected.size() + 1;
    std::string input = dir.path("r/file");
    EXPECT_EQ(normalize(input, exact), expected);
    EXPECT_EQ(normalize(input, exact - 1), "ERROR: Path '" + expected + "' too long (at most " +
                                               std::to_string(exact - 2) + " characters)");
}

// ---- executables -------------------------------------------------------------------------

TEST_F(UlFileTest, LocatesExecutablesInPathVariables) {
    ASSERT_EQ(mkdir(dir.path("bin1").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dir.path("bin2").c_str(), 0755), 0);
    std::string tool = dir.write("bin2/tool", "#!/bin/sh\n");
    ASSERT_EQ(chmod(tool.c_str(), 0755), 0);
    dir.write("bin1/data", "not executable");
    ASSERT_EQ(mkdir(dir.path("bin1/tooldir").c_str(), 0755), 0);  // executable, but no file
    std::string value = dir.path("bin1") + ":" + dir.path("bin2");
    ScopedEnv variable("TABRIX_TEST_PATH", value.c_str());

    char16_t buffer[4096];
    EXPECT_EQ(ul_filelocateexebypath(u"tool", u"TABRIX_TEST_PATH", buffer, 4096),
              static_cast<int>(tool.size()));
    EXPECT_EQ(u8(buffer), tool);

    for (const char16_t* name : {u"data", u"tooldir", u"absent"}) {
        EXPECT_EQ(ul_filelocateexebypath(name, u"TABRIX_TEST_PATH", buffer, 4096), -1);
        EXPECT_EQ(errorText(), "Cannot locate '" + u8(name) + "' in path '" + value + "'");
    }

    EXPECT_EQ(ul_filelocateexebypath(u"tool", u"TABRIX_NO_SUCH_VARIABLE", buffer, 4096), -1);
    EXPECT_EQ(errorText(),
              "Environment variable 'TABRIX_NO_SUCH_VARIABLE' does not exist, cannot locate "
              "executables");

    EXPECT_EQ(ul_filelocateexebypath(u"tool", u"TABRIX_TEST_PATH", buffer, 10), -1);
    EXPECT_EQ(errorText(), "Path '" + tool + "' too long (at most 9 characters)");
}

TEST_F(UlFileTest, EmptyPathEntryIsTheCurrentDirectoryAndResultIsAbsolute) {
    std::string tool = dir.write("tool", "#!/bin/sh\n");
    ASSERT_EQ(chmod(tool.c_str(), 0700), 0);
    ScopedEnv variable("TABRIX_TEST_PATH", "/nonexistent::/also/not");
    ScopedCwd inside(dir.path());
    char16_t buffer[4096];
    ASSERT_GT(ul_filelocateexebypath(u"tool", u"TABRIX_TEST_PATH", buffer, 4096), 0) << errorText();
    EXPECT_EQ(u8(buffer), dir.path("./tool"));
}

TEST_F(UlFileTest, FindExecutableChecksNamesWithSlashDirectly) {
    std::string tool = dir.write("tool", "#!/bin/sh\n");
    ASSERT_EQ(chmod(tool.c_str(), 0755), 0);
    dir.write("plain", "");
    char16_t buffer[4096];
    EXPECT_GT(ul_filefindexecutable(ul_utf8to16(tool.c_str()).c_str(), buffer, 4096), 0);
    EXPECT_EQ(u8(buffer), tool);
    {
        ScopedCwd inside(dir.path());
        EXPECT_GT(ul_filefindexecutable(u"./tool", buffer, 4096), 0);
        EXPECT_EQ(u8(buffer), dir.path("./tool"));
    }
    EXPECT_EQ(ul_filefindexecutable(ul_utf8to16(dir.path("plain").c_str()).c_str(), buffer, 4096),
              -1);
    EXPECT_EQ(errorText(), "Cannot locate 'plain' in path '" + dir.path() + "'");

    // A plain name goes through PATH.
    ScopedEnv path("PATH", (dir.path() + ":/bin").c_str());
    EXPECT_GT(ul_filefindexecutable(u"tool", buffer, 4096), 0);
    EXPECT_EQ(u8(buffer), tool);
}

// ---- lines -------------------------------------------------------------------------------

TEST_F(UlFileTest, ReadLineDecodesUtf8AndReportsTheLineEnd) {
    std::string path =
        dir.write("lines", "plain\r\n\xC3\x84rger \xE2\x82\xAC \xF0\x9F\x98\x80\n\nlast");
    FILE* stream = fopen(path.c_str(), "r");
    ASSERT_NE(stream, nullptr);
    char16_t buffer[64];
    EXPECT_EQ(ul_filereadline(stream, buffer, 64), UL_LINE_COMPLETE);
    EXPECT_EQ(u8(buffer), "plain");
    EXPECT_EQ(ul_filereadline(stream, buffer, 64), UL_LINE_COMPLETE);
    EXPECT_EQ(std::u16string(buffer), u"\u00C4rger \u20AC \U0001F600");
    EXPECT_EQ(ul_filereadline(stream, buffer, 64), UL_LINE_COMPLETE);
    EXPECT_EQ(u8(buffer), "");
    EXPECT_EQ(ul_filereadline(stream, buffer, 64), UL_LINE_INCOMPLETE);
    EXPECT_EQ(u8(buffer), "last");
    EXPECT_EQ(ul_filereadline(stream, buffer, 64), UL_LINE_EOF);
    EXPECT_EQ(u8(buffer), "");
    fclose(stream);
}

TEST_F(UlFileTest, ReadLineBufferBoundary) {
    // Five characters need six code units with the terminator, whatever their UTF-8 length.
    for (const std::string& line : {std::string("abcde"), std::string("\xE2\x82\xAC\xE2\x82\xAC"
                                                                      "\xE2\x82\xAC\xE2\x82\xAC"
                                                                      "\xE2\x82\xAC")}) {
        std::string path = dir.write("one", line + "\r\n");
        char16_t buffer[6];
        FILE* stream = fopen(path.c_str(), "r");
        ASSERT_NE(stream, nullptr);
        EXPECT_EQ(ul_filereadline(stream, buffer, 6), UL_LINE_COMPLETE);
        EXPECT_EQ(ul_strlen(buffer), 5u);
        fclose(stream);
        stream = fopen(path.c_str(), "r");
        EXPECT_EQ(ul_filereadline(stream, buffer, 5), -1);
        EXPECT_EQ(errorText(), "Line longer than 4 characters in '" + path + "'");
        fclose(stream);
    }
}

TEST_F(UlFileTest, RawLinesRoundTripEveryByteValue) {
    std::u16string line;
    for (char16_t c = 1; c < 256; ++c)
        if (c != u'\n') line.push_back(c);
    std::string path = dir.path("raw");
    FILE* out = fopen(path.c_str(), "w");
    ASSERT_NE(out, nullptr);
    ASSERT_EQ(ul_filerawlinewrite(out, line.c_str()), 0);
    ASSERT_EQ(ul_filerawlinewrite(out, u"second\r"), 0);
    fclose(out);
    EXPECT_EQ(readFileBytes(path).size(), line.size() + 1 + 8);

    FILE* in = fopen(path.c_str(), "r");
    ASSERT_NE(in, nullptr);
    char16_t buffer[300];
    EXPECT_EQ(ul_filerawlineread(in, buffer, 300), UL_LINE_COMPLETE);
    EXPECT_EQ(std::u16string(buffer), line);
    EXPECT_EQ(ul_filerawlineread(in, buffer, 300), UL_LINE_COMPLETE);
    EXPECT_EQ(std::u16string(buffer), u"second\r");  // raw: only the line feed goes
    EXPECT_EQ(ul_filerawlineread(in, buffer, 300), UL_LINE_EOF);
    fclose(in);

    in = fopen(path.c_str(), "r");
    EXPECT_EQ(ul_filerawlineread(in, buffer, 255), UL_LINE_COMPLETE);  // 254 bytes + terminator
    EXPECT_EQ(ul_filerawlineread(in, buffer, 7), -1);                  // "second\r" needs 8
    EXPECT_EQ(errorText(), "Line longer than 6 characters in '" + path + "'");
    fclose(in);
}

TEST_F(UlFileTest, RawLineWriteRefusesCharactersAbove255) {
    std::string path = dir.path("raw");
    FILE* out = fopen(path.c_str(), "w");
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(ul_filerawlinewrite(out, u"ab\u0100c"), -1);
    EXPECT_EQ(errorText(),
              "Invalid byte 256 found in string 'ab\xC4\x80"
              "c' at offset 2");
    EXPECT_EQ(ul_filerawlinewrite(out, u"\u20AC"), -1);
    EXPECT_EQ(errorText(), "Invalid byte 8364 found in string '\xE2\x82\xAC' at offset 0");
    fclose(out);
    EXPECT_EQ(readFileBytes(path), "");  // nothing of a refused line is written
}

TEST_F(UlFileTest, RawLineWriteReportsWriteErrors) {
    FILE* full = fopen("/dev/full", "w");
    if (!full) GTEST_SKIP() << "no /dev/full";
    setvbuf(full, nullptr, _IONBF, 0);
    EXPECT_EQ(ul_filerawlinewrite(full, u"data"), -1);
    EXPECT_EQ(errorText(), "Cannot write to '/dev/full': " + sysText(ENOSPC));
    fclose(full);
}

// ---- comparison and checksum ----------------------------------------------------------------

TEST_F(UlFileTest, CompareFindsEveryKindOfDifference) {
    std::string base = randomContent(20000, 3);
    std::string lastByte = base;
    lastByte.back() ^= 1;
    std::string firstByte = base;
    firstByte.front() ^= 1;
    struct {
        std::string other;
        int expected;
    } cases[] = {
        {base, 0},       {lastByte, 1}, {firstByte, 1}, {base.substr(0, 8192), 1},
        {base + "x", 1}, {"", 1},
    };
    dir.write("base", base);
    for (const auto& c : cases) {
        dir.write("other", c.other);
        EXPECT_EQ(ul_filecompare(dir.wpath("base").c_str(), dir.wpath("other").c_str(), 0),
                  c.expected)
            << c.other.size();
    }
    EXPECT_EQ(ul_filecompare(dir.wpath("base").c_str(), dir.wpath("gone").c_str(), 0), -1);
    EXPECT_EQ(errorText(), "Cannot read '" + dir.path("gone") + "': " + sysText(ENOENT));
}

TEST_F(UlFileTest, ChecksumIsTheCrcOfAllBytes) {
    dir.write("check", "123456789");
    unsigned crc = 0;
    ASSERT_EQ(ul_filechecksum(dir.wpath("check").c_str(), &crc), 0);
    EXPECT_EQ(crc, 0x0376E6E7u);

    std::string big = randomContent(3 * 8192 + 5, 9);
    dir.write("big", big);
    ASSERT_EQ(ul_filechecksum(dir.wpath("big").c_str(), &crc), 0);
    EXPECT_EQ(crc, ul_crccalc(UL_CRC_INIT, reinterpret_cast<const unsigned char*>(big.data()),
                              big.size()));

    dir.write("empty", "");
    ASSERT_EQ(ul_filechecksum(dir.wpath("empty").c_str(), &crc), 0);
    EXPECT_EQ(crc, UL_CRC_INIT);

    EXPECT_EQ(ul_filechecksum(dir.wpath("gone").c_str(), &crc), -1);
    EXPECT_EQ(errorText(), "Cannot read '" + dir.path("gone") + "': " + sysText(ENOENT));
}

}  // namespace

#include "ulfile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <string>
#include <tuple>

#include "tempdir.h"
#include "testutil.h"
#include "tracecapture.h"
#include "ulcrc.h"
#include "ulerror.h"

namespace {

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
    std::u16string w(const std::string& name) const { return dir.wpath(name); }
    TempDir dir;
};

// ---- open, copy, move --------------------------------------------------------------------

// The copy replaces the destination in one step with the source's content and permissions.
TEST_F(UlFileTest, CopyReplacesDestinationAtomicallyWithSourcePermissions) {
    // Several blocks and a partial one, so that block boundaries are crossed.
    const std::tuple<std::string, mode_t> cases[] = {
        {randomContent(3 * 8192 + 17, 7), 0640}, {"", 0644}, {"#!/bin/sh\n", 0755}, {"x", 0400}};
    for (const auto& [content, mode] : cases) {
        SCOPED_TRACE(content.size());
        std::string source = dir.write("source", content);
        ASSERT_EQ(chmod(source.c_str(), mode), 0);
        std::string destination = dir.write("dest", "old content");
        // A second name of the old destination: a rename leaves it alone, an in-place rewrite
        // would change it.
        unlink(dir.path("old-link").c_str());
        ASSERT_EQ(link(destination.c_str(), dir.path("old-link").c_str()), 0);
        ASSERT_EQ(ul_filecopy(w("source").c_str(), w("dest").c_str(), 0), 0) << errorUtf8();
        EXPECT_EQ(readFileBytes(destination), content);
        EXPECT_EQ(modeOf(destination), mode);
        EXPECT_FALSE(exists(destination + ".tmp"));
        EXPECT_EQ(readFileBytes(dir.path("old-link")), "old content");
        EXPECT_EQ(ul_filecompare(w("source").c_str(), w("dest").c_str(), 0), 0);
        ASSERT_EQ(chmod(source.c_str(), 0644), 0);
    }
    // A stale temporary name that is a link is never written through.
    std::string victim = dir.write("victim", "precious");
    ASSERT_EQ(symlink(victim.c_str(), dir.path("other.tmp").c_str()), 0);
    ASSERT_EQ(ul_filecopy(w("source").c_str(), w("other").c_str(), 0), 0) << errorUtf8();
    EXPECT_EQ(readFileBytes(victim), "precious");
    EXPECT_EQ(readFileBytes(dir.path("other")), "x");
    EXPECT_FALSE(exists(dir.path("other.tmp")));
}

TEST_F(UlFileTest, CopyRefusesDirectorySourceAndReportsFailures) {
    ASSERT_EQ(mkdir(dir.path("subdir").c_str(), 0755), 0);
    dir.write("file", "data");
    const std::string file = dir.path("file"), subdir = dir.path("subdir"), copy = dir.path("copy");
    const std::string target = dir.path("no/such/dir/copy");
    const std::tuple<std::string, std::string, std::string> cases[] = {
        {subdir, copy, "Source file '" + subdir + "' is a directory"},
        {dir.path("nothing"), copy,
         "Cannot read '" + dir.path("nothing") + "': " + sysText(ENOENT) + "\nCannot copy '" +
             dir.path("nothing") + "' to '" + copy + "'"},
        {file, target,
         "Cannot write to '" + target + ".tmp': " + sysText(ENOENT) + "\nCannot copy '" + file +
             "' to '" + target + "'"},
        // The rename fails on an existing directory; the temporary file must not stay behind.
        {file, subdir,
         "Cannot rename '" + subdir + ".tmp' to '" + subdir + "': " + sysText(EISDIR) +
             "\nCannot copy '" + file + "' to '" + subdir + "'"},
    };
    for (const auto& [from, to, message] : cases) {
        EXPECT_EQ(ul_filecopy(ul_utf8to16(from.c_str()).c_str(), ul_utf8to16(to.c_str()).c_str(), 0), -1);
        EXPECT_EQ(errorUtf8(), message);
        EXPECT_FALSE(exists(to + ".tmp"));
    }
    EXPECT_FALSE(exists(copy));
    TraceCapture trace(UL_TRC_FILE, 2);
    ASSERT_EQ(ul_filecopy(w("file").c_str(), w("b").c_str(), 0), 0);
    EXPECT_NE(trace.text().find("Copied '" + file + "' to '" + dir.path("b") + "'.\n"), std::string::npos)
        << trace.text();
}

TEST_F(UlFileTest, AtomicMove) {
    dir.write("from", "payload");
    dir.write("to", "old");
    ASSERT_EQ(ul_fileatomicmove(w("from").c_str(), w("to").c_str()), 0);
    EXPECT_EQ(readFileBytes(dir.path("to")), "payload");
    EXPECT_FALSE(exists(dir.path("from")));
    EXPECT_EQ(ul_fileatomicmove(w("from").c_str(), w("to").c_str()), -1);
    EXPECT_EQ(errorUtf8(), "Cannot rename '" + dir.path("from") + "' to '" + dir.path("to") + "': " + sysText(ENOENT));
    EXPECT_EQ(readFileBytes(dir.path("to")), "payload");
}

// ---- sizes and dates -----------------------------------------------------------------------

TEST_F(UlFileTest, SizeOfFilesStreamsAndRefusals) {
    dir.write("empty", "");
    dir.write("ten", "0123456789");
    EXPECT_EQ(ul_filesize(w("empty").c_str(), 0), 0);
    EXPECT_EQ(ul_filesize(w("ten").c_str(), 0), 10);
    EXPECT_EQ(ul_filesize(dir.wpath().c_str(), 0), -1);
    EXPECT_EQ(errorUtf8(), "ul_filesize() not allowed for directory '" + dir.path() + "'");
    EXPECT_EQ(ul_filesize(w("gone").c_str(), 0), -1);
    EXPECT_EQ(errorUtf8(), "Cannot stat '" + dir.path("gone") + "': " + sysText(ENOENT));
    // UL_FILE_NOMSG leaves the error buffer alone (the open messages are the text reader's).
    ul_errorsetmsg(0, u"untouched");
    EXPECT_EQ(ul_filesize(w("gone").c_str(), UL_FILE_NOMSG), -1);
    errno = 0;
    EXPECT_EQ(ul_filefopen(w("gone").c_str(), u"r", UL_FILE_NOMSG), nullptr);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(errorUtf8(), "untouched");
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
    EXPECT_EQ(ul_filegetdate(w("dated").c_str(), stamp, 32, 1), 14);
    EXPECT_EQ(u8(stamp), "20240115103000");
    EXPECT_EQ(ul_filegetdate(w("dated").c_str(), stamp, 32, 0), 19);
    EXPECT_EQ(u8(stamp), "2024/01/15 10:30:00");
    EXPECT_EQ(ul_filegetdate(w("none").c_str(), stamp, 32, 1), -1);
    EXPECT_EQ(errorUtf8(), "Cannot stat '" + dir.path("none") + "': " + sysText(ENOENT));
}

// ---- normalisation -----------------------------------------------------------------------

class UlFileNormalizeTest : public UlFileTest {
  protected:
    void SetUp() override {
        UlFileTest::SetUp();
        ASSERT_EQ(mkdir(dir.path("a").c_str(), 0755), 0);
        ASSERT_EQ(mkdir(dir.path("a/b").c_str(), 0755), 0);
        dir.write("a/b/file", "");
        const std::pair<std::string, std::string> links[] = {
            {"a/b", "rel"}, {"a/b", "r"},         {dir.path("a"), "abs"},  {"rel", "chain1"},  {"chain1", "chain2"},
            {"../../abs", "a/b/up"},  // counts from a/b
            {"loop2", "loop1"},     {"loop1", "loop2"},      {"self", "self"},   {"a", "link0"}};
        for (const auto& [target, name] : links)
            ASSERT_EQ(symlink(target.c_str(), dir.path(name).c_str()), 0) << name;
        // link0 -> a, link1 -> link0, ...: UL_FILE_MAXSYMLINKS links in a chain.
        for (int i = 1; i <= UL_FILE_MAXSYMLINKS; ++i)
            ASSERT_EQ(symlink(("link" + std::to_string(i - 1)).c_str(), dir.path("link" + std::to_string(i)).c_str()),
                      0);
    }

    // Normalises text in a buffer of the given size; returns the result or "ERROR: <message>".
    std::string normalize(const std::string& text, size_t size = 4096) {
        std::u16string buffer(size, u'\0');
        ul_strlcpy(buffer.data(), ul_utf8to16(text.c_str()).c_str(), size);
        int n = ul_filenormalize(buffer.data(), size);
        if (n < 0) return "ERROR: " + errorUtf8();
        EXPECT_EQ(static_cast<size_t>(n), ul_strlen(buffer.c_str()));
        return u8(buffer.c_str());
    }
};

TEST_F(UlFileNormalizeTest, ResolvesLinksPartByPart) {
    const std::string t = dir.path();
    const std::string last = "link" + std::to_string(UL_FILE_MAXSYMLINKS - 1);
    const std::tuple<std::string, std::string> cases[] = {
        {t, t},                            {t + "/", t},
        {t + "//a/./b/", t + "/a/b"},      {t + "/rel/file", t + "/a/b/file"},
        {t + "/abs/b/file", t + "/a/b/file"}, {t + "/chain2/file", t + "/a/b/file"},
        {t + "/a/b/up/b", t + "/a/b"},     {t + "/" + last, t + "/a"},
        // ".." applies to the resolved directory, not to the name of the link.
        {t + "/rel/..", t + "/a"},         {t + "/chain2/../../rel", t + "/a/b"},
        // Missing parts are kept, so that files still to be created can be named.
        {t + "/rel/new/sub", t + "/a/b/new/sub"}, {t + "/a/missing/../b", t + "/a/b"},
        {"/", "/"},                        {"/..", "/"},
    };
    for (const auto& [input, expected] : cases) EXPECT_EQ(normalize(input), expected) << input;
    for (const std::string& name : {std::string("loop1"), std::string("self"), std::string("chain2/../../loop2/x"),
                                    "link" + std::to_string(UL_FILE_MAXSYMLINKS)})
        EXPECT_EQ(normalize(dir.path(name)),
                  "ERROR: Too many indirections when resolving symlink '" + dir.path(name) + "'");
    ScopedCwd inside(dir.path("a"));
    EXPECT_EQ(normalize("b/file"), dir.path("a/b/file"));
    EXPECT_EQ(normalize("../chain1"), dir.path("a/b"));
    EXPECT_EQ(normalize("."), dir.path("a"));
}

TEST_F(UlFileNormalizeTest, ResultMustFitTheBuffer) {
    // The input must fit into the buffer, the longer result need not.
    const std::string expected = dir.path("a/b/file"), input = dir.path("r/file");
    const size_t exact = expected.size() + 1;
    EXPECT_EQ(normalize(input, exact), expected);
    EXPECT_EQ(normalize(input, exact - 1),
              "ERROR: Path '" + expected + "' too long (at most " + std::to_string(exact - 2) + " characters)");
}

// ---- executables -------------------------------------------------------------------------

// By a path with a slash, by PATH, or by another variable naming directories.
TEST_F(UlFileTest, LocatesExecutables) {
    for (const char* sub : {"bin1", "bin2", "bin1/tooldir"})  // tooldir: executable, no file
        ASSERT_EQ(mkdir(dir.path(sub).c_str(), 0755), 0);
    std::string tool = dir.write("bin2/tool", "#!/bin/sh\n");
    ASSERT_EQ(chmod(tool.c_str(), 0755), 0);
    dir.write("bin1/data", "not executable");
    std::string value = dir.path("bin1") + ":" + dir.path("bin2");
    ScopedEnv variable("TABRIX_TEST_PATH", value.c_str());
    char16_t buffer[4096];
    EXPECT_EQ(ul_filelocateexebypath(u"tool", u"TABRIX_TEST_PATH", buffer, 4096), static_cast<int>(tool.size()));
    EXPECT_EQ(u8(buffer), tool);
    for (const char16_t* name : {u"data", u"tooldir", u"absent"}) {
        EXPECT_EQ(ul_filelocateexebypath(name, u"TABRIX_TEST_PATH", buffer, 4096), -1);
        EXPECT_EQ(errorUtf8(), "Cannot locate '" + u8(name) + "' in path '" + value + "'");
    }
    EXPECT_EQ(ul_filelocateexebypath(u"tool", u"TABRIX_NO_SUCH_VARIABLE", buffer, 4096), -1);
    EXPECT_EQ(errorUtf8(), "Environment variable 'TABRIX_NO_SUCH_VARIABLE' does not exist, cannot locate executables");
    EXPECT_EQ(ul_filelocateexebypath(u"tool", u"TABRIX_TEST_PATH", buffer, 10), -1);
    EXPECT_EQ(errorUtf8(), "Path '" + tool + "' too long (at most 9 characters)");

    EXPECT_GT(ul_filefindexecutable(ul_utf8to16(tool.c_str()).c_str(), buffer, 4096), 0);
    EXPECT_EQ(u8(buffer), tool);
    EXPECT_EQ(ul_filefindexecutable(w("bin1/data").c_str(), buffer, 4096), -1);
    EXPECT_EQ(errorUtf8(), "Cannot locate 'data' in path '" + dir.path("bin1") + "'");
    ScopedCwd inside(dir.path("bin2"));
    EXPECT_GT(ul_filefindexecutable(u"./tool", buffer, 4096), 0);
    EXPECT_EQ(u8(buffer), dir.path("bin2/./tool"));
    {
        // An empty entry is the current directory, and the result is absolute.
        ScopedEnv variable("TABRIX_TEST_PATH", "/nonexistent::/also/not");
        ASSERT_GT(ul_filelocateexebypath(u"tool", u"TABRIX_TEST_PATH", buffer, 4096), 0) << errorUtf8();
        EXPECT_EQ(u8(buffer), dir.path("bin2/./tool"));
    }
    // A plain name goes through PATH.
    ScopedEnv path("PATH", ("/nonexistent:" + dir.path("bin2") + ":/bin").c_str());
    EXPECT_GT(ul_filefindexecutable(u"tool", buffer, 4096), 0);
    EXPECT_EQ(u8(buffer), tool);
}

// ---- lines -------------------------------------------------------------------------------

TEST_F(UlFileTest, ReadLineDecodesUtf8AndReportsTheLineEnd) {
    std::string path = dir.write("lines", "plain\r\n\xC3\x84rger \xE2\x82\xAC \xF0\x9F\x98\x80\n\nlast");
    FILE* stream = fopen(path.c_str(), "r");
    ASSERT_NE(stream, nullptr);
    const std::pair<int, std::u16string> expected[] = {
        {UL_LINE_COMPLETE, u"plain"}, {UL_LINE_COMPLETE, u"\u00C4rger \u20AC \U0001F600"},
        {UL_LINE_COMPLETE, u""}, {UL_LINE_INCOMPLETE, u"last"}, {UL_LINE_EOF, u""}};
    char16_t buffer[64];
    for (const auto& [rc, text] : expected) {
        EXPECT_EQ(ul_filereadline(stream, buffer, 64), rc);
        EXPECT_EQ(std::u16string(buffer), text);
    }
    fclose(stream);
    // Five characters need six code units with the terminator, whatever their UTF-8 length.
    for (const std::string line : {"abcde", "\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC"}) {
        path = dir.write("one", line + "\r\n");
        for (size_t size : {6, 5}) {
            stream = fopen(path.c_str(), "r");
            ASSERT_NE(stream, nullptr);
            EXPECT_EQ(ul_filereadline(stream, buffer, size), size == 6 ? UL_LINE_COMPLETE : -1);
            if (size == 6) { EXPECT_EQ(ul_strlen(buffer), 5u); }
            fclose(stream);
        }
        EXPECT_EQ(errorUtf8(), "Line longer than 4 characters in '" + path + "'");
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
    // Nothing of a refused line is written.
    EXPECT_EQ(ul_filerawlinewrite(out, u"ab\u0100c"), -1);
    EXPECT_EQ(errorUtf8(), "Invalid byte 256 found in string 'ab\xC4\x80" "c' at offset 2");
    EXPECT_EQ(ul_filerawlinewrite(out, u"\u20AC"), -1);
    EXPECT_EQ(errorUtf8(), "Invalid byte 8364 found in string '\xE2\x82\xAC' at offset 0");
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
    rewind(in);
    EXPECT_EQ(ul_filerawlineread(in, buffer, 255), UL_LINE_COMPLETE);  // 254 bytes + terminator
    EXPECT_EQ(ul_filerawlineread(in, buffer, 7), -1);                  // "second\r" needs 8
    EXPECT_EQ(errorUtf8(), "Line longer than 6 characters in '" + path + "'");
    fclose(in);

    FILE* full = fopen("/dev/full", "w");
    ASSERT_NE(full, nullptr);
    setvbuf(full, nullptr, _IONBF, 0);
    EXPECT_EQ(ul_filerawlinewrite(full, u"data"), -1);
    EXPECT_EQ(errorUtf8(), "Cannot write to '/dev/full': " + sysText(ENOSPC));
    fclose(full);
}

// ---- comparison and checksum ----------------------------------------------------------------

// Both read every byte, across block boundaries, and name a file they cannot read.
TEST_F(UlFileTest, CompareAndChecksumReadEveryByte) {
    std::string base = randomContent(20000, 3), lastByte = base, firstByte = base;
    lastByte.back() ^= 1;
    firstByte.front() ^= 1;
    dir.write("base", base);
    for (const auto& [other, expected] : {std::pair{base, 0}, {lastByte, 1}, {firstByte, 1},
                                          {base.substr(0, 8192), 1}, {base + "x", 1}, {std::string(), 1}}) {
        dir.write("other", other);
        EXPECT_EQ(ul_filecompare(w("base").c_str(), w("other").c_str(), 0), expected) << other.size();
    }
    EXPECT_EQ(ul_filecompare(w("base").c_str(), w("gone").c_str(), 0), -1);
    EXPECT_EQ(errorUtf8(), "Cannot read '" + dir.path("gone") + "': " + sysText(ENOENT));
    unsigned crc = 0;
    for (const std::string& content : {std::string(), std::string("123456789"), randomContent(3 * 8192 + 5, 9)}) {
        dir.write("check", content);
        ASSERT_EQ(ul_filechecksum(w("check").c_str(), &crc), 0);
        EXPECT_EQ(crc, ul_crccalc(UL_CRC_INIT, reinterpret_cast<const unsigned char*>(content.data()), content.size()));
    }
    EXPECT_EQ(ul_filechecksum(w("gone").c_str(), &crc), -1);
    EXPECT_EQ(errorUtf8(), "Cannot read '" + dir.path("gone") + "': " + sysText(ENOENT));
}

}  // namespace

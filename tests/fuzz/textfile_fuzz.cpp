// Text files: the reader takes any file, with and without joined lines; seek() returns to a
// line read before; the lines written by the writer read back unchanged.
#include <string>
#include <vector>

#include "fuzzutil.h"
#include "ultextfile.h"

namespace {

struct Line {
    std::u16string text;
    int number;
    long offset;
};

// Every line of the file, or false when reading fails.
bool readAll(const std::u16string& path, int flags, std::vector<Line>* lines) {
    ULTextFileReader reader;
    if (reader.open(path.c_str(), flags) < 0) return false;
    int rc;
    while ((rc = reader.readLine()) == 1)
        lines->push_back({std::u16string(reader.line(), reader.length()), reader.lineNumber(),
                          reader.lineOffset()});
    return rc == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const FuzzDir& dir = FuzzDir::get();
    const std::u16string input = dir.write("in.txt", data, size);
    for (int flags : {0, static_cast<int>(UL_TEXT_JOINLINES)}) {
        std::vector<Line> lines;
        if (!readAll(input, flags, &lines) || lines.empty()) continue;
        const Line& remembered = lines[lines.size() / 2];
        ULTextFileReader reader;
        FUZZ_CHECK(reader.open(input.c_str(), flags) == 0, remembered.text);
        FUZZ_CHECK(reader.seek(remembered.offset, remembered.number) == 0, remembered.text);
        FUZZ_CHECK(reader.readLine() == 1, remembered.text);
        FUZZ_CHECK(std::u16string(reader.line(), reader.length()) == remembered.text &&
                       reader.lineNumber() == remembered.number,
                   u"first [" + remembered.text + u"] after seek [" + reader.line() + u"]");
    }

    std::vector<Line> lines;
    if (!readAll(input, 0, &lines)) return 0;
    // A line ending in a carriage return, or a first line starting with a byte order mark,
    // cannot be written as it is: the reader takes them for a CRLF line end and a file's mark.
    for (const Line& line : lines)
        if (!line.text.empty() && line.text.back() == u'\r') return 0;
    if (!lines.empty() && !lines[0].text.empty() && lines[0].text[0] == u'\uFEFF') return 0;
    const std::u16string output = dir.wpath("out.txt");
    ULTextFileWriter writer;
    FUZZ_CHECK(writer.open(output.c_str()) == 0, u"open");
    for (const Line& line : lines) {
        FUZZ_CHECK(
            writer.write(line.text.c_str(), line.text.size()) == 0 && writer.write(u"\n") == 0,
            line.text);
    }
    FUZZ_CHECK(writer.close() == 0, u"close");
    std::vector<Line> back;
    FUZZ_CHECK(readAll(output, 0, &back) && back.size() == lines.size(), u"read back");
    for (size_t i = 0; i < lines.size(); ++i)
        FUZZ_CHECK(back[i].text == lines[i].text,
                   u"written [" + lines[i].text + u"] read back [" + back[i].text + u"]");
    return 0;
}

// Structure files: the reader takes any file; the objects it read, written by the writer in the
// file's version, read back to objects that the writer writes to the same text.
#include <string>
#include <vector>

#include "fuzzutil.h"
#include "ulq7ldobjreader.h"
#include "ulq7ldobjwriter.h"

namespace {

// Reads every object of the file. Returns 0, or -1 when the file or an object is refused.
int readAll(const std::u16string& path, std::vector<ULLDObject>* objects, unsigned* version) {
    ULLDObjBaseReader reader;
    if (reader.open(path.c_str()) < 0) return -1;
    *version = reader.version();
    std::u16string name;
    int kind;
    while ((kind = reader.getNextObjName(&name)) > 0) {
        objects->emplace_back();
        if (reader.readObject(&objects->back(), name.c_str()) < 0) return -1;
    }
    return kind;
}

// Writes the objects the version can express. Returns how many were written, -1 when the file
// could not be written.
int writeAll(const std::u16string& path, const std::vector<ULLDObject>& objects, unsigned version) {
    ULLDObjWriter writer;
    if (writer.open(path.c_str(), version) < 0) return -1;
    int written = 0;
    for (const ULLDObject& object : objects)
        if (writer.writeObject(object) == 0) ++written;
    return writer.close() < 0 ? -1 : written;
}

std::u16string fileText(const FuzzDir& dir, const char* name) {
    std::ifstream in(dir.path(name), std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return ul_utf8to16(bytes.c_str(), bytes.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const FuzzDir& dir = FuzzDir::get();
    std::vector<ULLDObject> objects;
    unsigned version = 0;
    if (readAll(dir.write("in.str", data, size), &objects, &version) < 0) return 0;

    const std::u16string first = dir.wpath("first.str"), second = dir.wpath("second.str");
    const int written = writeAll(first, objects, version);
    FUZZ_CHECK(written >= 0, u"cannot write");
    if (written == 0) return 0;  // a file of the version header alone is refused by design
    std::vector<ULLDObject> back;
    unsigned backVersion = 0;
    FUZZ_CHECK(readAll(first, &back, &backVersion) == 0, fileText(dir, "first.str"));
    FUZZ_CHECK(backVersion == version && back.size() == static_cast<size_t>(written),
               fileText(dir, "first.str"));
    FUZZ_CHECK(writeAll(second, back, version) == written, fileText(dir, "first.str"));
    const std::u16string text = fileText(dir, "first.str");
    FUZZ_CHECK(text == fileText(dir, "second.str"),
               u"written:\n" + text + u"\nread back and written:\n" + fileText(dir, "second.str"));
    return 0;
}

// The object cache under a working set ten times its size: a structure file of 50,000 tables
// with 20 fields each is written through ULLDObjWriter, then 50,000 random table names are
// fetched through ULLDObjectCache with m_maxcachedobjects at 5,000, each released after use.
// Prints objects per second, peak memory (getrusage) and how often the file was scanned from
// its start (the cache records every position, so this must be 1). For scale, the same file is
// read once from start to end with the plain reader, and the time per object of the two is
// printed as a ratio.
//
//   ldobjcache_bench [tables [fetches]]
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>

#include "benchutil.h"
#include "ulerror.h"
#include "ulq7ldobjcache.h"
#include "ulq7ldobjwriter.h"
#include "ulstring.h"
#include "ulstring2.h"

namespace {

constexpr unsigned kFields = 20;

std::u16string tableName(long i) {
    return ul_format(u"ZTAB%06ld", i);
}

void writeFile(const std::u16string& path, long tables) {
    ULLDObjWriter writer;
    if (writer.open(path.c_str(), UL_LDSTR_WRITEVERSION) < 0) benchDie("open");
    ULLDObject table;
    for (long i = 0; i < tables; ++i) {
        if (table.setupTableObj(tableName(i).c_str()) < 0) benchDie("setup");
        for (unsigned f = 0; f < kFields; ++f) {
            ULLDObjField field;
            field.name = ul_format(u"FIELD%02u", f);
            field.ddicType = f == 0 ? UL_DDIC_CLNT : f % 3 == 0 ? UL_DDIC_DEC : UL_DDIC_CHAR;
            field.length = f == 0 ? 3 : 10 + f;
            field.decimals = f % 3 == 0 ? 2 : 0;
            field.keyPos = f < 2 ? f + 1 : 0;
            field.notNull = f < 2;
            if (table.structure.addField(field) < 0) benchDie("field");
        }
        table.structure.nkeys = table.options.nkeys = 2;
        if (writer.writeObject(table) < 0) benchDie("write");
    }
    if (writer.close() < 0) benchDie("close");
}

// Reads every object of the file in order; returns the number read.
long readSequentially(const std::u16string& path) {
    ULLDObjBaseReader reader;
    if (reader.open(path.c_str()) < 0) benchDie("open for reading");
    ULLDObject object;
    std::u16string name;
    long count = 0;
    int kind;
    while ((kind = reader.getNextObjName(&name)) > 0) {
        if (reader.readObject(&object, name.c_str()) < 0) benchDie("readObject");
        ++count;
    }
    if (kind < 0) benchDie("getNextObjName");
    return count;
}

}  // namespace

int main(int argc, char** argv) {
    const long tables = argc > 1 ? atol(argv[1]) : 50000;
    const long fetches = argc > 2 ? atol(argv[2]) : 50000;
    std::string dir = (std::filesystem::temp_directory_path() / "ldobjcache-XXXXXX").string();
    if (!mkdtemp(dir.data())) benchDie("mkdtemp");
    const std::u16string path = ul_utf8to16((dir + "/bench.STR").c_str());

    double start = benchNow();
    writeFile(path, tables);
    const double written = benchNow() - start;

    ULLDObjectCache::m_maxcachedobjects = 5000;
    std::mt19937 random(12345);
    std::uniform_int_distribution<long> pick(0, tables - 1);
    int scans = 0, recorded = 0, reads = 0;
    start = benchNow();
    {
        ULLDObjectCache cache;
        if (cache.addFilePath(path.c_str()) < 0) benchDie("addFilePath");
        for (long i = 0; i < fetches; ++i) {
            const std::u16string name = tableName(pick(random));
            ULLDObject* object = nullptr;
            if (cache.getObject(&object, UL_LDTASK_IMPORT, name.c_str(), -1, UL_LDCP_ANY, 0) < 0)
                benchDie("getObject");
            if (object->structure.fields.size() != kFields) benchDie("wrong object");
            if (cache.releaseObject(object, 0) < 0) benchDie("releaseObject");
        }
        scans = cache.scanCount(0);
        recorded = cache.scannedObjects(0);
        reads = cache.readCount();
    }
    const double fetched = benchNow() - start;

    start = benchNow();
    const long sequential = readSequentially(path);
    const double readAll = benchNow() - start;
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    std::filesystem::remove_all(dir);

    printf("structure file: %ld tables x %u fields written in %.2f s\n", tables, kFields, written);
    printf("fetches: %ld in %.2f s = %.0f objects/s (objects read from the file: %d)\n", fetches,
           fetched, static_cast<double>(fetches) / fetched, reads);
    printf("sequential read: %ld objects in %.2f s = %.0f objects/s\n", sequential, readAll,
           static_cast<double>(sequential) / readAll);
    printf("time per object, cached random fetch / sequential read: %.2f\n",
           (fetched / static_cast<double>(fetches)) / (readAll / static_cast<double>(sequential)));
    printf("peak memory: %ld MB\n", usage.ru_maxrss / 1024);
    printf("scans of the file: %d (objects recorded: %d)\n", scans, recorded);
    return scans == 1 && recorded == tables ? 0 : 1;
}

// External sort against coreutils sort on the same data, side by side in one run: N random
// 40-byte printable records (default 20,000,000, about 800 MB) under a 64 MB memory limit.
// Both read the records as fixed-width lines from one file and write the sorted lines to a
// file of their own; the two outputs must be equal.
// Usage: bigsort_bench [entries] [memory MB] [scratch directory]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "benchutil.h"
#include "ulbigsort.h"

namespace {

constexpr size_t kWidth = 40;
constexpr size_t kLine = kWidth + 1;

struct Memcmp : ULBigSortCompare {
    int compare(const void* a, uint32_t, const void* b, uint32_t) override {
        return memcmp(a, b, kWidth);
    }
};

FILE* openOrDie(const std::string& path, const char* mode) {
    FILE* f = fopen(path.c_str(), mode);
    if (!f) benchDie("open " + path);
    setvbuf(f, nullptr, _IOFBF, 1 << 20);
    return f;
}

void writeInput(const std::string& path, long n) {
    static const char kAlphabet[] =
        "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    std::mt19937_64 rng(20261206);
    FILE* out = openOrDie(path, "w");
    char line[kLine];
    line[kWidth] = '\n';
    for (long i = 0; i < n; ++i) {
        for (size_t k = 0; k < kWidth; ++k) line[k] = kAlphabet[rng() % 62];
        if (fwrite(line, 1, kLine, out) != kLine) benchDie("write input");
    }
    if (fclose(out) != 0) benchDie("close input");
}

// FNV-1a over a file, to compare the two outputs.
uint64_t fileHash(const std::string& path, long* lines) {
    FILE* in = openOrDie(path, "r");
    uint64_t h = 1469598103934665603ull;
    *lines = 0;
    for (int c; (c = getc_unlocked(in)) != EOF;) {
        h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ull;
        *lines += c == '\n';
    }
    fclose(in);
    return h;
}

struct Result {
    double seconds;
    long rssMb;
};

Result runTabrix(const std::string& input, const std::string& output, const std::string& dir,
                 ULBigSortHandle& h) {
    Memcmp order;
    std::u16string tempDir = ul_utf8to16(dir.c_str());
    ULBigSortHandle::m_sorttempfileptr = tempDir.data();
    double start = benchNow();
    FILE* in = openOrDie(input, "r");
    FILE* out = openOrDie(output, "w");
    if (h.open(kWidth, 0, &order, 0) < 0) benchDie("open");
    char line[kLine];
    while (fread(line, 1, kLine, in) == kLine)
        if (h.put(line, kWidth) < 0) benchDie("put");
    if (h.endInput() < 0) benchDie("end of input");
    line[kWidth] = '\n';
    for (int rc;;) {
        uint32_t length = kWidth;
        if ((rc = h.get(UL_BIGSORT_NEXT, line, &length)) == UL_BIGSORT_END) break;
        if (rc < 0) benchDie("get");
        if (fwrite(line, 1, kLine, out) != kLine) benchDie("write output");
    }
    fclose(in);
    if (fclose(out) != 0) benchDie("close output");
    double seconds = benchNow() - start;
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return {seconds, usage.ru_maxrss / 1024};
}

Result runCoreutils(const std::string& input, const std::string& output, const std::string& dir,
                    long memoryMb) {
    std::string size = std::to_string(memoryMb) + "M";
    double start = benchNow();
    pid_t pid = fork();
    if (pid == 0) {
        setenv("LC_ALL", "C", 1);
        execlp("sort", "sort", "-S", size.c_str(), "--parallel=1", "-T", dir.c_str(), "-o",
               output.c_str(), input.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0)
        benchDie("coreutils sort");
    return {benchNow() - start, usage.ru_maxrss / 1024};
}

}  // namespace

int main(int argc, char** argv) {
    long n = argc > 1 ? atol(argv[1]) : 20000000;
    long memoryMb = argc > 2 ? atol(argv[2]) : 64;
    std::string base = argc > 3 ? argv[3] : "/tmp";
    std::string dir = base + "/tabrix-bigsort-XXXXXX";
    if (!mkdtemp(dir.data())) benchDie("mkdtemp");
    std::string input = dir + "/input", ours = dir + "/tabrix.out", theirs = dir + "/sort.out";
    writeInput(input, n);
    ULBigSortHandle::m_maxmemory = static_cast<size_t>(memoryMb) << 20;

    ULBigSortHandle h;
    Result a = runTabrix(input, ours, dir, h);
    Result b = runCoreutils(input, theirs, dir, memoryMb);
    long linesA = 0, linesB = 0;
    bool equal = fileHash(ours, &linesA) == fileHash(theirs, &linesB) && linesA == n &&
                 linesB == n;

    printf("%ld entries of %zu bytes, memory limit %ld MB\n", n, kWidth, memoryMb);
    printf("%-16s %9s %9s  %s\n", "", "seconds", "peak RSS", "details");
    printf("%-16s %9.2f %6ld MB  %d merge levels, %lu runs, %d temp files, %lu/%lu MB "
           "written/read\n",
           "tabrix", a.seconds, a.rssMb, h.mergeLevels(), static_cast<unsigned long>(h.runCount()),
           h.tempFilesUsed(), static_cast<unsigned long>(h.bytesWritten() >> 20),
           static_cast<unsigned long>(h.bytesRead() >> 20));
    printf("%-16s %9.2f %6ld MB  LC_ALL=C sort -S %ldM --parallel=1\n", "coreutils sort",
           b.seconds, b.rssMb, memoryMb);
    printf("ratio tabrix/coreutils: %.2f (target at most 1.5); outputs %s\n",
           a.seconds / b.seconds, equal ? "equal" : "DIFFER");
    h.close();
    for (const std::string& f : {input, ours, theirs}) unlink(f.c_str());
    rmdir(dir.c_str());
    return equal ? 0 : 1;
}

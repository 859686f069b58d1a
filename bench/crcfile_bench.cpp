// CRC files: reading an own and a reference file, merging them into line trees and evaluating
// the differences, against reading the same two files line by line with the text reader alone.
// The files: TABLES tables, LINES checksum lines in all, and a few hundred differences whose
// lines are nested three levels deep. Each measurement runs in a child process, so that its
// peak resident memory is its own.
//   crcfile_bench [tables] [lines]        defaults 1000 and 2000000
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "benchutil.h"
#include "ulsqlcrcutil.h"
#include "ultextfile.h"

namespace {

// Writes one side. Each table: top-level blocks of 1000 rows; every fifth table has one block
// dug into (10 blocks of 100 rows), one of those dug into single rows (10 lines), and the
// reference side differs in one single row, so that the difference is three levels down.
void writeSide(const std::string& path, long tables, long linesPerTable, bool ref) {
    FILE* out = fopen(path.c_str(), "w");
    if (!out) benchDie("create " + path);
    for (long t = 0; t < tables; ++t) {
        fprintf(out, "tab: TAB%05ld\nkey: MANDT, DOCNR\nsel: MANDT, DOCNR, TEXT, AMOUNT\n"
                     "typ: CCCP\n",
                t);
        const bool dig = t % 5 == 0;
        const long top = linesPerTable - (dig ? 22 : 0);
        for (long i = 1; i <= top; ++i)
            fprintf(out, "lcrc: 1000  0x%08lx '100', 'D%09ld'\n",
                    ((t * 7919 + i) & 0xffffffff) + (ref && dig && i == 5 ? 1 : 0), i * 1000);
        if (!dig) continue;
        const long base = 5000;  // the block (D4000, D5000] is dug into
        fprintf(out, "lcrc:    -           - '100', 'D%09ld'\n", base - 1000);
        for (long j = 1; j <= 10; ++j)
            fprintf(out, "lcrc:  100  0x%08lx '100', 'D%09ld'\n", (ref && j == 3) ? 1ul : 2ul,
                    base - 1000 + j * 100);
        fprintf(out, "lcrc:    -           - '100', 'D%09ld'\n", base - 800);
        for (long k = 1; k <= 10; ++k)
            fprintf(out, "lcrc:    1  0x%08lx '100', 'D%09ld'\n", (ref && k == 7) ? 3ul : 4ul,
                    base - 800 + k * 10);
    }
    if (fclose(out) != 0) benchDie("write " + path);
}

long plainRead(const std::u16string& own, const std::u16string& ref) {
    long lines = 0;
    for (const std::u16string* path : {&own, &ref}) {
        ULTextFileReader reader;
        if (reader.open(path->c_str(), UL_TEXT_JOINLINES) < 0) benchDie("open");
        int rc;
        while ((rc = reader.readLine()) > 0) lines += reader.length() > 0;
        if (rc < 0) benchDie("read");
    }
    return lines;
}

long crcEval(const std::u16string& own, const std::u16string& ref) {
    ULCheckCRCFile file;
    if (file.read(own.c_str(), ref.c_str(), 0) < 0) benchDie("read CRC files");
    auxlogcrc_t log;  // no log stream: counts only
    const int reported = file.evaluate(&log, UL_CRCEVAL_GIVEN, nullptr);
    if (reported < 0) benchDie("evaluate");
    return reported;
}

constexpr int kRuns = 5;

// Runs work on the two files in a child process.
BenchChildResult inChild(long (*work)(const std::u16string&, const std::u16string&),
                         const std::u16string& own, const std::u16string& ref) {
    return benchInChild([&](long* value) {
        *value = work(own, ref);
        return true;
    });
}

}  // namespace

int main(int argc, char** argv) {
    const long tables = argc > 1 ? atol(argv[1]) : 1000;
    const long lines = argc > 2 ? atol(argv[2]) : 2000000;
    if (tables < 1 || lines / tables < 30) benchDie("need at least 30 lines per table");
    char dir[] = "/tmp/tabrix-crcbench-XXXXXX";
    if (!mkdtemp(dir)) benchDie("mkdtemp");
    const std::string own = std::string(dir) + "/OWN.CRC", ref = std::string(dir) + "/REF.CRC";
    writeSide(own, tables, lines / tables, false);
    writeSide(ref, tables, lines / tables, true);
    const std::u16string wown = ul_utf8to16(own.c_str()), wref = ul_utf8to16(ref.c_str());

    // Best of a few alternating runs: a single run on a shared machine varies by a factor of two.
    BenchChildResult plain = inChild(plainRead, wown, wref);
    BenchChildResult eval = inChild(crcEval, wown, wref);
    for (int run = 1; run < kRuns; ++run) {
        const BenchChildResult p = inChild(plainRead, wown, wref), e = inChild(crcEval, wown, wref);
        if (p.seconds < plain.seconds) plain = p;
        if (e.seconds < eval.seconds) eval = e;
    }
    // Matched reference lines are merged into the own lines as they are read: the lines
    // held are those of one side.
    const double millions = static_cast<double>(plain.value) / 2e6;
    printf("files: %ld tables, %ld lines per side, %ld differences reported; best of %d runs\n",
           tables,
           plain.value / 2, eval.value, kRuns);
    printf("plain line read of both files: %8.3f s  peak RSS %7.1f MiB\n", plain.seconds,
           plain.peakKb / 1024.0);
    printf("read, merge and evaluate:      %8.3f s  peak RSS %7.1f MiB\n", eval.seconds,
           eval.peakKb / 1024.0);
    printf("ratio to the plain read: %.2fx; peak RSS per million lines held: %.1f MiB\n",
           eval.seconds / plain.seconds, (eval.peakKb - plain.peakKb) / 1024.0 / millions);
    unlink(own.c_str());
    unlink(ref.c_str());
    rmdir(dir);
    return 0;
}

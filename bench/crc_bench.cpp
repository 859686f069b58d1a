// The CRC register update: the byte-at-a-time reference against the sliced tables and the
// carry-less folding, for field-sized inputs (as a table scan feeds them, one field per call,
// the register carried from call to call) and for 64 KiB inputs, one register (ul_crccalc) and
// two registers in one pass (ul_crcdupcalc). Every round measures every method once, side by
// side; the best round of each counts, so that a busy machine disturbs the ratios less.
//   crc_bench [megabytes per measurement] [rounds]      defaults 32 and 5
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "benchutil.h"
#include "ulcrc.h"

namespace {

struct Method {
    const char* name;
    ul_crcmethod_t method;
};
const Method kMethods[] = {{"reference", ul_crcmethod_t::BYTEWISE},
                           {"sliced", ul_crcmethod_t::SLICED},
                           {"carry-less", ul_crcmethod_t::CARRYLESS},
                           {"auto", ul_crcmethod_t::AUTO}};
constexpr int kMethodCount = sizeof kMethods / sizeof kMethods[0];

volatile unsigned sink;

// Feeds `total` bytes in calls of `size` bytes, walking through the buffer at varying
// alignments; returns the seconds taken.
double measure(const Method& m, bool dup, const std::vector<unsigned char>& buffer, size_t size,
               size_t total) {
    const size_t span = buffer.size() - size - 16;
    unsigned a = UL_CRC_INIT, b = 0;
    size_t pos = 0;
    const double start = benchNow();
    for (size_t done = 0; done < total; done += size) {
        const unsigned char* data = buffer.data() + pos;
        if (dup)
            ul_crcdupcalcby(m.method, &a, &b, data, size);
        else
            a = ul_crccalcby(m.method, a, data, size);
        pos += size + 1;
        if (pos > span) pos = pos % 16;
    }
    const double seconds = benchNow() - start;
    sink = a ^ b;
    return seconds;
}

}  // namespace

int main(int argc, char** argv) {
    const double megabytes = argc > 1 ? atof(argv[1]) : 32;
    const int rounds = argc > 2 ? atoi(argv[2]) : 5;
    if (megabytes <= 0 || rounds <= 0) {
        fprintf(stderr, "usage: crc_bench [megabytes per measurement] [rounds]\n");
        return 2;
    }
    const size_t total = static_cast<size_t>(megabytes * 1024 * 1024);
    std::vector<unsigned char> buffer(1 << 20);
    std::mt19937 generator(1);
    for (auto& byte : buffer) byte = static_cast<unsigned char>(generator());

    printf("carry-less multiplication on this CPU: %s\n", ul_crchascarryless() ? "yes" : "no");
    printf(
        "%.0f MB per measurement, best of %d rounds; MB/s and ns per call, ratio = method "
        "throughput / reference throughput\n",
        megabytes, rounds);
    for (bool dup : {false, true}) {
        printf("\n%s\n",
               dup ? "ul_crcdupcalc (two registers, one pass)" : "ul_crccalc (one register)");
        printf("%-8s", "bytes");
        for (const Method& m : kMethods) printf(" %27s", m.name);
        printf("\n");
        for (size_t size : {size_t{8}, size_t{32}, size_t{100}, size_t{65536}}) {
            double best[kMethodCount];
            for (double& b : best) b = 1e30;
            for (int round = 0; round < rounds; ++round)
                for (int i = 0; i < kMethodCount; ++i) {
                    const double s = measure(kMethods[i], dup, buffer, size, total);
                    if (s < best[i]) best[i] = s;
                }
            const double calls = static_cast<double>(total) / size;
            printf("%-8zu", size);
            for (int i = 0; i < kMethodCount; ++i)
                printf(" %7.0f %11.1fns %5.1fx", total / best[i] / 1e6, best[i] / calls * 1e9,
                       best[0] / best[i]);
            printf("\n");
        }
    }
    return 0;
}

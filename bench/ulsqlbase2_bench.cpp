// Value conversion on the fetch path: 1,000,000 rows of five mixed columns as an engine
// delivers them, converted to raw bytes with and without the text form. Prints the time per
// run and per value so that a change of the converter shows as a change of the figures. CPU
// time is printed beside wall time because a busy machine stretches the wall time alone.
#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "ulsqlbase2.h"

namespace {

constexpr unsigned kRows = 1000000;
constexpr unsigned kColumns = 5;

struct Column {
    ul_sqlfielddesc_t desc;
    std::vector<dbif_cell_t> cells;  // one per distinct value, cycled through
};

// Texts the cells point to; kept alive for the whole run.
std::vector<std::u16string> g_texts;

dbif_cell_t textCell(dbif_kind kind, const std::u16string& text) {
    g_texts.push_back(text);
    dbif_cell_t c;
    c.kind = kind;
    c.text = g_texts.back().data();
    c.length = g_texts.back().size();
    return c;
}

std::vector<Column> makeColumns() {
    g_texts.reserve(4096);
    std::vector<Column> cols(kColumns);
    cols[0].desc = {u"ID", UL_SQLFLD_INT, -1, 0, 4};
    cols[1].desc = {u"PRICE", UL_SQLFLD_FLOAT, -1, 0, 8};
    cols[2].desc = {u"AMOUNT", 0, DBIF_TYPE_PACKED, 15 | (2u << 16), 15};
    cols[3].desc = {u"NAME", UL_SQLFLD_CHAR, -1, 0, 40};
    cols[4].desc = {u"RATE", 0, DBIF_TYPE_DECIMAL, 0, 0};
    for (int k = 0; k < 1000; ++k) {
        dbif_cell_t id;
        id.kind = dbif_kind::integer;
        id.integer = k * 7919;
        cols[0].cells.push_back(id);
        dbif_cell_t price;
        price.kind = dbif_kind::real;
        price.real = k * 1.25 + 0.1;
        cols[1].cells.push_back(price);
        std::string amount = std::to_string(k * 1234567 - 500000) + "." + std::to_string(k % 100);
        cols[2].cells.push_back(
            textCell(dbif_kind::decimal, std::u16string(amount.begin(), amount.end())));
        cols[3].cells.push_back(
            textCell(dbif_kind::text, u"Customer name " + std::u16string(size_t(k % 20), u'x')));
        std::string rate = "0." + std::to_string(k * 37 % 10000) + "00";
        cols[4].cells.push_back(
            textCell(dbif_kind::decimal, std::u16string(rate.begin(), rate.end())));
    }
    return cols;
}

struct Timing {
    double wall;
    double cpu;
};

// Converts every row; false when a conversion failed.
bool run(const std::vector<Column>& cols, bool withText, unsigned long* checksum, Timing* t) {
    ULSQLValueConverter conv;
    auto start = std::chrono::steady_clock::now();
    std::clock_t cpuStart = std::clock();
    unsigned long sum = 0;
    for (unsigned r = 0; r < kRows; ++r) {
        conv.beginRow(kColumns);
        for (unsigned i = 0; i < kColumns; ++i) {
            const Column& c = cols[i];
            if (conv.convert(i, c.cells[r % c.cells.size()], c.desc, withText) != 0) return false;
        }
        const ul_sqlvalue_t* v = conv.values();
        for (unsigned i = 0; i < kColumns; ++i) sum += v[i].rawLength + v[i].raw[0];
    }
    *checksum = sum;
    t->cpu = double(std::clock() - cpuStart) / CLOCKS_PER_SEC;
    t->wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return true;
}

}  // namespace

int main() {
    std::vector<Column> cols = makeColumns();
    for (bool withText : {true, false}) {
        unsigned long checksum = 0;
        Timing t;
        if (!run(cols, withText, &checksum, &t)) {
            std::fprintf(stderr, "conversion failed\n");
            return 1;
        }
        std::printf(
            "%u rows x %u columns, %s: %.3f s CPU, %.3f s wall (%.1f ns CPU per value, "
            "checksum %lu)\n",
            kRows, kColumns, withText ? "raw and text" : "raw only", t.cpu, t.wall,
            t.cpu * 1e9 / (double(kRows) * kColumns), checksum);
    }
    return 0;
}

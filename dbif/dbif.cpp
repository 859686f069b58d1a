// Row batches and the engine registry.
#include "dbif.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "dbif_engines.h"
#include "ulstring.h"

// ---- row batches -----------------------------------------------------------------------------
//
// Text and bytes of all cells live in two buffers that clear() empties without giving back
// their capacity, so a batch that is filled again and again stops allocating once it has seen
// its largest content. A cell set by setText and friends first holds an offset (in pending_);
// row() turns the offsets into pointers. When a buffer has to grow after row() handed out
// pointers, the cells that point into it get offsets again, so row() always answers with
// pointers into the current buffers.

namespace {

const char16_t kEmptyText[1] = {0};
const unsigned char kEmptyBytes[1] = {0};

bool isTextKind(dbif_kind kind) {
    return kind == dbif_kind::text || kind == dbif_kind::decimal;
}

// Before a buffer moves: the cells that point into it get their offsets back and lose their
// pointers. PendingList is the batch's private list type.
template <class PendingList>
void unresolveTexts(std::vector<dbif_cell_t>& cells, PendingList& pending, const char16_t* base) {
    for (size_t i = 0; i < cells.size(); ++i) {
        dbif_cell_t& c = cells[i];
        if (c.length == 0 || !isTextKind(c.kind) || !c.text) continue;
        pending.push_back({i, static_cast<size_t>(c.text - base), true});
        c.text = nullptr;
    }
}

template <class PendingList>
void unresolveBytes(std::vector<dbif_cell_t>& cells, PendingList& pending,
                    const unsigned char* base) {
    for (size_t i = 0; i < cells.size(); ++i) {
        dbif_cell_t& c = cells[i];
        if (c.length == 0 || c.kind != dbif_kind::bytes || !c.bytes) continue;
        pending.push_back({i, static_cast<size_t>(c.bytes - base), false});
        c.bytes = nullptr;
    }
}

// Capacity for at least `needed` units, growing geometrically.
size_t grownCapacity(size_t capacity, size_t needed) {
    return std::max(needed, capacity * 2 + 64);
}

}  // namespace

void DbIfRowBatch::setInteger(size_t row, unsigned col, int64_t value) {
    dbif_cell_t& c = cell(row, col);
    c = dbif_cell_t();
    c.kind = dbif_kind::integer;
    c.integer = value;
}

void DbIfRowBatch::setReal(size_t row, unsigned col, double value) {
    dbif_cell_t& c = cell(row, col);
    c = dbif_cell_t();
    c.kind = dbif_kind::real;
    c.real = value;
}

// Resets the cell to an empty value of the kind and makes room for length more code units.
// Returns the cell's index, or SIZE_MAX when the value is empty (nothing to store).
size_t DbIfRowBatch::beginText(size_t row, unsigned col, dbif_kind kind, size_t length) {
    size_t index = static_cast<size_t>(&cell(row, col) - cells_.data());
    dbif_cell_t& c = cells_[index];
    c = dbif_cell_t();
    c.kind = kind;
    if (length == 0) {
        c.text = kEmptyText;
        return SIZE_MAX;
    }
    if (texts_.capacity() - texts_.size() < length) {
        unresolveTexts(cells_, pending_, texts_.data());
        texts_.reserve(grownCapacity(texts_.capacity(), texts_.size() + length));
    }
    return index;
}

void DbIfRowBatch::setText(size_t row, unsigned col, const char16_t* text, size_t length) {
    size_t index = beginText(row, col, dbif_kind::text, length);
    if (index == SIZE_MAX) return;
    cells_[index].length = length;
    pending_.push_back({index, texts_.size(), true});
    texts_.append(text, length);
}

void DbIfRowBatch::setTextUtf8(size_t row, unsigned col, const char* text, size_t length) {
    // A UTF-8 byte never yields more than one UTF-16 code unit, so length units suffice.
    size_t index = beginText(row, col, dbif_kind::text, length);
    if (index == SIZE_MAX) return;
    size_t offset = texts_.size();
    // The ASCII head, most often the whole value, is widened in place (beginText reserved the
    // room); the decoder takes the rest.
    size_t ascii = 0;
    for (; ascii + 8 <= length; ascii += 8) {  // eight bytes at a time while none has bit 7
        uint64_t word;
        std::memcpy(&word, text + ascii, 8);
        if (word & 0x8080808080808080ull) break;
    }
    while (ascii < length && static_cast<unsigned char>(text[ascii]) < 0x80) ++ascii;
    texts_.resize(offset + ascii);
    char16_t* out = texts_.data() + offset;
    for (size_t i = 0; i < ascii; ++i) out[i] = static_cast<unsigned char>(text[i]);
    if (ascii < length) ul_utf8to16append(texts_, text + ascii, length - ascii);
    cells_[index].length = texts_.size() - offset;
    pending_.push_back({index, offset, true});
}

void DbIfRowBatch::setDecimal(size_t row, unsigned col, const char* text, size_t length) {
    size_t index = beginText(row, col, dbif_kind::decimal, length);
    if (index == SIZE_MAX) return;
    cells_[index].length = length;
    const size_t offset = texts_.size();
    pending_.push_back({index, offset, true});
    texts_.resize(offset + length);  // within the capacity beginText reserved
    char16_t* out = texts_.data() + offset;
    for (size_t i = 0; i < length; ++i) out[i] = static_cast<unsigned char>(text[i]);
}

void DbIfRowBatch::setBytes(size_t row, unsigned col, const unsigned char* bytes, size_t length) {
    size_t index = static_cast<size_t>(&cell(row, col) - cells_.data());
    dbif_cell_t& c = cells_[index];
    c = dbif_cell_t();
    c.kind = dbif_kind::bytes;
    c.length = length;
    if (length == 0) {
        c.bytes = kEmptyBytes;
        return;
    }
    if (bytes_.capacity() - bytes_.size() < length) {
        unresolveBytes(cells_, pending_, bytes_.data());
        bytes_.reserve(grownCapacity(bytes_.capacity(), bytes_.size() + length));
    }
    pending_.push_back({index, bytes_.size(), false});
    bytes_.insert(bytes_.end(), bytes, bytes + length);
}

void DbIfRowBatch::resolve() {
    // Entries are applied in the order they were made, so the latest value of a cell wins; an
    // entry whose cell has since been set to another kind is skipped.
    for (const Pending& p : pending_) {
        dbif_cell_t& c = cells_[p.index];
        if (c.length == 0) continue;  // empty values point to static storage
        if (p.isText && isTextKind(c.kind)) {
            c.text = texts_.data() + p.offset;
        } else if (!p.isText && c.kind == dbif_kind::bytes) {
            c.bytes = bytes_.data() + p.offset;
        }
    }
    pending_.clear();
}

// ---- long values in pieces ------------------------------------------------------------------

int DbIfStatement::lobGetPiece(DbIfRowBatch* batch, size_t row, unsigned column, size_t offset,
                               size_t capacity, dbif_cell_t* piece) {
    if (row >= batch->rows() || column >= batch->width() || capacity == 0)
        return DBIF_RC_DB_ERROR;
    const dbif_cell_t& value = batch->row(row)[column];
    const bool isText = value.kind == dbif_kind::text;
    if (!isText && value.kind != dbif_kind::bytes) return DBIF_RC_DB_ERROR;
    if (offset >= value.length) return DBIF_RC_NO_MORE_ROWS;
    *piece = value;
    piece->length = std::min(capacity, value.length - offset);
    if (isText)
        piece->text = value.text + offset;
    else
        piece->bytes = value.bytes + offset;
    return DBIF_RC_OK;
}

// ---- engine registry -------------------------------------------------------------------------

namespace {

struct Engine {
    std::u16string code;
    dbif_factory_t factory;
};

std::vector<Engine>& engines() {
    static std::vector<Engine> list = {
        {u"SQLITE", dbif_sqlite_create},
        {u"PGSQL", dbif_pgsql_create},
        {u"ODBC", dbif_odbc_create},
    };
    return list;
}

Engine* findEngine(const char16_t* code) {
    for (Engine& e : engines()) {
        if (ul_stricmp(e.code.c_str(), code) == 0) return &e;
    }
    return nullptr;
}

}  // namespace

void dbif_register(const char16_t* engineCode, dbif_factory_t factory) {
    if (!engineCode || !*engineCode) return;
    if (Engine* e = findEngine(engineCode)) {
        e->factory = factory;
        return;
    }
    engines().push_back({engineCode, factory});
}

std::unique_ptr<DbIfConnection> dbif_open(const char16_t* engineCode) {
    if (!engineCode) return nullptr;
    Engine* e = findEngine(engineCode);
    if (!e || !e->factory) return nullptr;
    return e->factory();
}

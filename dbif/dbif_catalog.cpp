// The catalogue service of the database interface: table descriptions from the nametab tables
// or, where a database has none, from the engine's own catalogue (dbif.h, docs/nametab-layout.md).
// Everything here runs over the connection's own statements; an engine only adds
// describeNative() for its catalogue.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>

#include "dbif.h"
#include "dbif_engines.h"
#include "ulstring.h"
#include "ulstring2.h"

struct DbIfCatalogCache {
    // DDNTT name -> whether that table exists in the database.
    std::map<std::u16string, bool> nametabs;
    // (DDNTT name, or empty for engine-only requests; table) -> description, or none when the
    // table has no description.
    std::map<std::pair<std::u16string, std::u16string>, std::optional<dbif_cattable_t>> tables;
};

DbIfConnection::DbIfConnection() : catalog_(std::make_unique<DbIfCatalogCache>()) {}

DbIfConnection::~DbIfConnection() = default;

int DbIfConnection::describeNative(const char16_t*, dbif_cattable_t*) {
    return DBIF_RC_NOT_SUPPORTED;
}

// ---- queries ---------------------------------------------------------------------------------

int dbif_catalogquery(DbIfConnection& conn, const std::u16string& sql,
                      const std::vector<std::u16string>& params, const dbif_catrowfn_t& onRow) {
    std::unique_ptr<DbIfStatement> stmt;
    if (int rc = conn.prepare(sql.c_str(), DBIF_CLASS_READ, &stmt)) return rc;
    DbIfRowBatch paramRow(static_cast<unsigned>(params.size()));
    if (!params.empty()) {
        paramRow.addRow();
        for (unsigned i = 0; i < params.size(); ++i)
            paramRow.setText(0, i, params[i].data(), params[i].size());
    }
    if (int rc = stmt->begRead(params.empty() ? nullptr : &paramRow)) return rc;
    DbIfRowBatch rows;
    int rc;
    do {
        rc = stmt->exeRead(&rows, 64);
        for (size_t r = 0; r < rows.rows() && (rc == DBIF_RC_PARTIAL || rc == DBIF_RC_LAST_BATCH);
             ++r) {
            if (int stop = onRow(rows.row(r), rows.width())) rc = stop;
        }
    } while (rc == DBIF_RC_PARTIAL);
    const int endRc = stmt->endRead();
    if (rc != DBIF_RC_LAST_BATCH && rc != DBIF_RC_NO_MORE_ROWS) return rc;
    return endRc;
}

std::u16string dbif_cattext(const dbif_cell_t& cell) {
    if ((cell.kind != dbif_kind::text && cell.kind != dbif_kind::decimal) || !cell.length)
        return u"";
    return std::u16string(cell.text, cell.length);
}

bool dbif_catnumber(const dbif_cell_t& cell, long* value) {
    switch (cell.kind) {
        case dbif_kind::null:
            *value = 0;
            return true;
        case dbif_kind::integer:
            *value = static_cast<long>(cell.integer);
            return true;
        case dbif_kind::text:
        case dbif_kind::decimal: {
            std::u16string text = dbif_cattext(cell);
            return ul_stringtolong(text.c_str(), value) == 0;
        }
        default:
            return false;
    }
}

namespace {

// "name" with every double quote doubled: a table name in a catalogue statement.
std::u16string quoted(const char16_t* name) {
    std::u16string out = u"\"";
    for (const char16_t* p = name; *p; ++p) {
        if (*p == u'"') out.push_back(u'"');
        out.push_back(*p);
    }
    out.push_back(u'"');
    return out;
}

char16_t firstChar(const dbif_cell_t& cell, char16_t empty) {
    std::u16string text = dbif_cattext(cell);
    return text.empty() || text[0] == u' ' ? empty : text[0];
}

// Reads column `col` of a nametab row as a number that must lie in [0, max].
class RowReader {
  public:
    RowReader(const dbif_cell_t* cells, const char16_t* table) : cells_(cells), table_(table) {}
    bool number(unsigned col, const char16_t* column, long max, long* value) {
        if (!dbif_catnumber(cells_[col], value) || *value < 0 || *value > max) {
            bad_ = ul_format(u"Invalid value '%s' in %s.%s", dbif_cattext(cells_[col]).c_str(),
                             table_, column);
            return false;
        }
        return true;
    }
    unsigned count(unsigned col, const char16_t* column, bool* ok) {
        long v = 0;
        *ok = *ok && number(col, column, 0xFFFF, &v);
        return static_cast<unsigned>(v);
    }
    const std::u16string& error() const { return bad_; }

  private:
    const dbif_cell_t* cells_;
    const char16_t* table_;
    std::u16string bad_;
};

constexpr const char16_t* kHeaderColumns =
    u"TABTYPE, TABFORM, REFNAME, CLIDEP, CLIPOS, FLDCNT, KEYCNT, PKEYCNT, KEYLEN, TABLEN, "
    u"SHRTYPE, TEMPFLAG, STORETYPE";
constexpr const char16_t* kFieldColumns =
    u"FIELDPOS, FIELDNAME, DDTYPE, DDLEN, DIGITS, DECIMALS, DBTYPE, DBLEN, KEYFLAG, NOTNULLFLAG, "
    u"FLDOFFS";

// Dictionary types of the engine's column types; character columns are typed apart. digits
// is the fixed number of digits of the type, 0 when the column's length gives them.
struct DictionaryType {
    int dbType;
    unsigned dbLength;  // 0: any length
    int ddicType;
    unsigned digits;
};
constexpr DictionaryType kDictionaryTypes[] = {
    {DBIF_TYPE_INT, 1, DBIF_DDIC_INT1, 3},
    {DBIF_TYPE_INT, 2, DBIF_DDIC_INT2, 5},
    {DBIF_TYPE_INT, 4, DBIF_DDIC_INT4, 10},
    {DBIF_TYPE_INT, 0, DBIF_DDIC_INT8, 19},  // 8 bytes, also for an integer without size
    {DBIF_TYPE_FLOAT, 0, DBIF_DDIC_FLTP, 16},
    {DBIF_TYPE_DECFLOAT16, 0, DBIF_DDIC_D16N, 16},
    {DBIF_TYPE_DECFLOAT34, 0, DBIF_DDIC_D34N, 34},
    {DBIF_TYPE_PACKED, 0, DBIF_DDIC_DEC, 0},
    {DBIF_TYPE_DECIMAL, 0, DBIF_DDIC_NUM, 0},
    {DBIF_TYPE_RAW, 0, DBIF_DDIC_RAW, 0},
    {DBIF_TYPE_BLOB, 0, DBIF_DDIC_RSTR, 0},
    {DBIF_TYPE_LONGCHAR, 0, DBIF_DDIC_STRG, 0},
};

// The dictionary type of a column the engine described, chosen so that the type table maps it
// back to the column's own database type.
void assignDictionaryType(dbif_catfield_t* f) {
    f->ddicLength = f->dbLength;
    f->digits = f->dbType == DBIF_TYPE_PACKED ? f->dbLength : 0;
    for (const DictionaryType& t : kDictionaryTypes) {
        if (t.dbType != f->dbType || (t.dbLength && t.dbLength != f->dbLength)) continue;
        f->ddicType = t.ddicType;
        if (t.dbType == DBIF_TYPE_INT) f->dbLength = t.dbLength ? t.dbLength : 8;
        if (t.digits) f->ddicLength = f->digits = t.digits;
        return;
    }
    f->dbType = DBIF_TYPE_CHAR;
    f->ddicType = f->dbLength ? DBIF_DDIC_CHAR : DBIF_DDIC_SSTR;
}

// Completes what the engine's catalogue described with the facts the nametab would hold.
void completeEngineDescription(const char16_t* table, dbif_cattable_t* t) {
    t->name = table;
    t->source = DBIF_CATSRC_ENGINE;
    t->nkeys = 0;
    for (dbif_catfield_t& f : t->fields) {
        assignDictionaryType(&f);
        if (f.key) ++t->nkeys;
    }
    if (t->fields.empty()) return;
    dbif_catfield_t& first = t->fields[0];
    if (first.key && first.dbType == DBIF_TYPE_CHAR && first.dbLength == 3 &&
        (ul_stricmp(first.name.c_str(), u"MANDT") == 0 ||
         ul_stricmp(first.name.c_str(), u"CLIENT") == 0)) {
        first.ddicType = DBIF_DDIC_CLNT;
        t->clientDependent = true;
        t->clientPos = 1;
    }
}

}  // namespace

// ---- service ---------------------------------------------------------------------------------

int DbIfConnection::catalogFail(int rc, const std::u16string& text) {
    commArea_.dbCode = -1;
    commArea_.errorText = text;
    return rc;
}

int DbIfConnection::listObjects(dbif_catobjects_t*) {
    return catalogFail(DBIF_RC_NOT_SUPPORTED, u"The engine has no catalogue of native objects");
}

int DbIfConnection::listDependencies(dbif_catobjects_t*) {
    return catalogFail(DBIF_RC_NOT_SUPPORTED, u"The engine has no catalogue of dependencies");
}

int DbIfConnection::catalogControl(int code, dbif_control_t* argument) {
    if (code == DBIF_CTL_CATALOG_OBJECTS || code == DBIF_CTL_CATALOG_DEPENDENCIES) {
        dbif_catobjects_t* request = argument ? argument->objects : nullptr;
        if (!request) {
            return catalogFail(DBIF_RC_NOT_SUPPORTED,
                               ul_format(u"Invalid catalogue request (control code %d)", code));
        }
        request->objects.clear();
        request->dependencies.clear();
        return code == DBIF_CTL_CATALOG_OBJECTS ? listObjects(request) : listDependencies(request);
    }
    if (code == DBIF_CTL_CATALOG_FLUSH) {
        catalog_->tables.clear();
        if (argument && argument->intValue == DBIF_CATFLUSH_ALL) catalog_->nametabs.clear();
        return DBIF_RC_OK;
    }
    dbif_catrequest_t* request = argument ? argument->catalog : nullptr;
    const bool named =
        request && request->table &&
        ((request->flags & DBIF_CATREQ_ENGINE) || (request->ddntt && request->ddntf));
    if (code != DBIF_CTL_CATALOG_DESCRIBE || !named) {
        return catalogFail(DBIF_RC_NOT_SUPPORTED,
                           ul_format(u"Invalid catalogue request (control code %d)", code));
    }
    auto key =
        std::make_pair(std::u16string(request->flags & DBIF_CATREQ_ENGINE ? u"" : request->ddntt),
                       std::u16string(request->table));
    auto cached = catalog_->tables.find(key);
    if (cached != catalog_->tables.end()) {
        if (!cached->second) return DBIF_RC_NOT_FOUND;
        request->result = *cached->second;
        return DBIF_RC_OK;
    }
    request->result = dbif_cattable_t();
    const int rc = describeCataloged(request);
    if (rc == DBIF_RC_OK) {
        catalog_->tables[key] = request->result;
    } else if (rc == DBIF_RC_NOT_FOUND) {
        catalog_->tables[key] = std::nullopt;
    }
    return rc;
}

int DbIfConnection::describeCataloged(dbif_catrequest_t* request) {
    bool fromNametab = false;
    if (request->flags & DBIF_CATREQ_ENGINE) {
        const int rc = describeNative(request->table, &request->result);
        if (rc != DBIF_RC_NOT_SUPPORTED) {
            if (rc == DBIF_RC_OK) completeEngineDescription(request->table, &request->result);
            return rc;
        }
        if (!request->ddntt || !request->ddntf) {
            return catalogFail(DBIF_RC_NOT_SUPPORTED,
                               u"The engine has no catalogue and no nametab was named");
        }
        fromNametab = true;
    } else if (int rc = nametabExists(*request, &fromNametab)) {
        return rc;
    }
    if (fromNametab) return readNametab(*request, &request->result);
    const int rc = describeNative(request->table, &request->result);
    if (rc == DBIF_RC_OK) completeEngineDescription(request->table, &request->result);
    return rc;
}

int DbIfConnection::nametabExists(const dbif_catrequest_t& request, bool* exists) {
    auto known = catalog_->nametabs.find(request.ddntt);
    if (known != catalog_->nametabs.end()) {
        *exists = known->second;
        return DBIF_RC_OK;
    }
    dbif_cattable_t probe;
    const int rc = describeNative(request.ddntt, &probe);
    if (rc != DBIF_RC_OK && rc != DBIF_RC_NOT_FOUND && rc != DBIF_RC_NOT_SUPPORTED) return rc;
    *exists = rc != DBIF_RC_NOT_FOUND;
    catalog_->nametabs[request.ddntt] = *exists;
    return DBIF_RC_OK;
}

int DbIfConnection::readNametab(const dbif_catrequest_t& request, dbif_cattable_t* out) {
    const char16_t* ddntt = request.ddntt;
    const char16_t* ddntf = request.ddntf;
    const std::vector<std::u16string> params{request.table};
    unsigned headers = 0;
    unsigned announcedFields = 0;
    std::u16string bad;
    auto onHeader = [&](const dbif_cell_t* c, unsigned) -> int {
        if (++headers > 1) return DBIF_RC_OK;
        RowReader row(c, ddntt);
        bool ok = true;
        out->tabType = firstChar(c[0], u'T');
        out->tabForm = firstChar(c[1], u'T');
        out->refName = dbif_cattext(c[2]);
        out->clientDependent = row.count(3, u"CLIDEP", &ok) != 0;
        out->clientPos = row.count(4, u"CLIPOS", &ok);
        announcedFields = row.count(5, u"FLDCNT", &ok);
        out->nkeys = row.count(6, u"KEYCNT", &ok);
        out->packedKeys = row.count(7, u"PKEYCNT", &ok);
        long length = 0;
        ok = ok && row.number(8, u"KEYLEN", INT32_MAX, &length);
        out->keyLength = static_cast<unsigned>(length);
        ok = ok && row.number(9, u"TABLEN", INT32_MAX, &length);
        out->tableLength = static_cast<unsigned>(length);
        out->shareType = static_cast<int>(row.count(10, u"SHRTYPE", &ok));
        out->temporary = row.count(11, u"TEMPFLAG", &ok) != 0;
        out->storeType = firstChar(c[12], 0);
        if (!ok) bad = row.error();
        return DBIF_RC_OK;
    };
    int rc = dbif_catalogquery(
        *this,
        ul_format(u"SELECT %s FROM %s WHERE TABNAME = ?", kHeaderColumns, quoted(ddntt).c_str()),
        params, onHeader);
    if (rc) return rc;
    if (!bad.empty()) return catalogFail(DBIF_RC_DB_ERROR, bad + u" for '" + request.table + u"'");
    if (headers == 0) return DBIF_RC_NOT_FOUND;
    if (headers > 1) {
        return catalogFail(DBIF_RC_DB_ERROR, ul_format(u"Nametab '%s' has %u entries for '%s'",
                                                       ddntt, headers, request.table));
    }

    auto onField = [&](const dbif_cell_t* c, unsigned) -> int {
        RowReader row(c, ddntf);
        bool ok = true;
        dbif_catfield_t f;
        const unsigned position = row.count(0, u"FIELDPOS", &ok);
        f.name = dbif_cattext(c[1]);
        long number = 0;
        ok = ok && row.number(2, u"DDTYPE", 0xFFFF, &number);
        f.ddicType = static_cast<int>(number);
        f.ddicLength = row.count(3, u"DDLEN", &ok);
        f.digits = row.count(4, u"DIGITS", &ok);
        f.decimals = row.count(5, u"DECIMALS", &ok);
        ok = ok && row.number(6, u"DBTYPE", 0xFFFF, &number);
        f.dbType = static_cast<int>(number);
        f.dbLength = row.count(7, u"DBLEN", &ok);
        f.key = row.count(8, u"KEYFLAG", &ok) != 0;
        f.notNull = row.count(9, u"NOTNULLFLAG", &ok) != 0;
        if (c[10].kind != dbif_kind::null) {
            ok = ok && row.number(10, u"FLDOFFS", INT32_MAX, &number);
            f.offset = static_cast<int>(number);
        }
        if (!ok) {
            bad = row.error();
        } else if (position != out->fields.size() + 1) {
            bad = ul_format(u"Field '%s' at position %u of '%s' in %s: expected position %u",
                            f.name.c_str(), position, request.table, ddntf,
                            static_cast<unsigned>(out->fields.size() + 1));
        }
        if (!bad.empty()) return DBIF_RC_DB_ERROR;
        out->fields.push_back(std::move(f));
        return DBIF_RC_OK;
    };
    rc = dbif_catalogquery(*this,
                           ul_format(u"SELECT %s FROM %s WHERE TABNAME = ? ORDER BY FIELDPOS",
                                     kFieldColumns, quoted(ddntf).c_str()),
                           params, onField);
    if (!bad.empty()) return catalogFail(DBIF_RC_DB_ERROR, bad);
    if (rc) return rc;
    if (out->fields.size() != announcedFields) {
        return catalogFail(DBIF_RC_DB_ERROR,
                           ul_format(u"Nametab '%s' gives %u fields for '%s', but %s has %u", ddntt,
                                     announcedFields, request.table, ddntf,
                                     static_cast<unsigned>(out->fields.size())));
    }
    out->name = request.table;
    out->source = DBIF_CATSRC_NAMETAB;
    return DBIF_RC_OK;
}

// ---- object sizes ----------------------------------------------------------------------------

namespace {

const char16_t* objectKindName(dbif_objkind kind) {
    switch (kind) {
        case dbif_objkind::table:
            return u"Table";
        case dbif_objkind::index:
            return u"Index";
        case dbif_objkind::database:
            return u"Database";
    }
    return u"Object";
}

}  // namespace

int DbIfConnection::objectSizeControl(const dbif_objsizequeries_t& queries,
                                      dbif_control_t* argument) {
    if (!argument || !argument->objectSizes)
        return catalogFail(DBIF_RC_NOT_SUPPORTED, u"Object size request without objects");
    for (dbif_objsize_t& object : *argument->objectSizes) {
        std::vector<std::u16string> params;
        const char16_t* sql = queries.database;
        int64_t unit = 1024 * 1024;
        if (object.kind == dbif_objkind::database) {
            params.push_back(object.name);
        } else {
            sql = object.kind == dbif_objkind::table ? queries.table : queries.index;
            unit = 1024;
            params.push_back(catalogName(object.name));
            if (object.kind == dbif_objkind::index) params.push_back(catalogName(object.table));
        }
        long bytes = -1;
        auto onRow = [&](const dbif_cell_t* c, unsigned) -> int {
            long value = 0;
            if (!dbif_catnumber(c[0], &value) || value < 0) value = -1;
            bytes = value < 0 ? -2 : value;
            return DBIF_RC_OK;
        };
        if (int rc = dbif_catalogquery(*this, sql, params, onRow)) return rc;
        if (bytes == -2)
            return catalogFail(DBIF_RC_DB_ERROR, ul_format(u"%s '%s' has no valid size",
                                                           objectKindName(object.kind),
                                                           object.name.c_str()));
        if (bytes < 0) {
            if (object.kind == dbif_objkind::index)
                return catalogFail(DBIF_RC_NOT_FOUND,
                                   ul_format(u"Index '%s' of table '%s' not found",
                                             object.name.c_str(), object.table.c_str()));
            return catalogFail(DBIF_RC_NOT_FOUND, ul_format(u"%s '%s' not found",
                                                            objectKindName(object.kind),
                                                            object.name.c_str()));
        }
        object.size = (static_cast<int64_t>(bytes) + unit - 1) / unit;
    }
    return DBIF_RC_OK;
}

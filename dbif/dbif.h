// The database interface: the one boundary between the tool and a database engine.
//
// The SQL layer (upglib/ulsqlbase) talks to every engine through DbIfConnection and
// DbIfStatement. One file per engine implements them (dbif_sqlite.cpp, dbif_pgsql.cpp, and the
// in-memory engines used by tests); dbif_open() picks the engine by its code. Nothing of an
// engine's own client library appears in this header or passes it.
//
// Values cross the boundary as typed cells (integer, floating point, decimal text, UTF-16 text,
// bytes), so that the SQL layer alone decides the raw byte form and the text form of a column
// from its field description: the same value of the same declared type gives the same bytes
// on every engine. docs/dbif-types.md lists how each engine's column types map onto the types
// below.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Return codes of every operation.
enum : int {
    DBIF_RC_OK = 0,
    DBIF_RC_REPREPARE = 13,      // the prepared statement became invalid: prepare again
    DBIF_RC_NOT_SUPPORTED = 15,  // the engine does not offer this operation
    DBIF_RC_NOT_FOUND = 17,      // an object named by the statement does not exist
    DBIF_RC_PARTIAL = 21,        // rows were delivered, more may follow
    DBIF_RC_ROW_ERROR = 23,      // processing a row failed (the text says why)
    DBIF_RC_NO_MORE_ROWS = 24,   // no (more) rows
    DBIF_RC_LAST_BATCH = 25,     // rows were delivered and they are the last ones
    DBIF_RC_DUPLICATE = 26,      // a unique key would be duplicated
    DBIF_RC_DB_ERROR = 99,       // any other database error
    DBIF_RC_REJECTED = 103,      // the statement was rejected: a table or column is missing
};

// Statement classes given to prepare().
enum : int {
    DBIF_CLASS_INSERT = 0,
    DBIF_CLASS_DELETE = 1,
    DBIF_CLASS_UPDATE = 2,
    DBIF_CLASS_READ = 3,
    DBIF_CLASS_OTHER = 11,
};

// Column types. The numbers are those the tool's field descriptions carry as database type.
enum : int {
    DBIF_TYPE_PACKED = 0,       // fixed-point decimal: `length` digits, `decimals` of them after
                                // the point (NUMERIC(p,s), DECIMAL(p,s))
    DBIF_TYPE_FLOAT = 1,        // IEEE 754 binary floating point, 8 bytes
    DBIF_TYPE_RAW = 5,          // binary of at most `length` bytes
    DBIF_TYPE_DECIMAL = 6,      // decimal without fixed scale, delivered as decimal text
    DBIF_TYPE_LONGCHAR = 7,     // character large object
    DBIF_TYPE_BLOB = 8,         // binary large object
    DBIF_TYPE_CHAR = 11,        // character of at most `length` characters (0: unbounded)
    DBIF_TYPE_DECFLOAT16 = 16,  // IEEE 754 decimal64
    DBIF_TYPE_DECFLOAT34 = 17,  // IEEE 754 decimal128
    DBIF_TYPE_INT = 22,         // signed integer of `length` bytes: 1, 2, 4 or 8
};

// Control codes of DbIfConnection::control().
enum : int {
    DBIF_CTL_ISOLATION = 9,       // in: intValue 0 = default, 2 = read committed
    DBIF_CTL_USER = 11,           // out: text
    DBIF_CTL_HOST = 21,           // out: text
    DBIF_CTL_VERSION = 24,        // out: text, the database's version
    DBIF_CTL_TRACE = 47,          // in: intValue = level (0 = off), trace = callback
    DBIF_CTL_CLIENT_VERSION = 52, // out: text, the client library's version
    DBIF_CTL_SCHEMA = 86,         // out: text, the schema of the database user
    DBIF_CTL_VIEW_LAYER = 105,    // result 0 = yes, 24 = no, 15 = not supported
    DBIF_CTL_CATALOG_DESCRIBE = 130,  // in: catalog request; see "catalogue service" below
    DBIF_CTL_CATALOG_FLUSH = 131,     // in: intValue DBIF_CATFLUSH_*
    DBIF_CTL_CATALOG_OBJECTS = 132,   // in/out: objects request; see "native objects" below
    DBIF_CTL_CATALOG_DEPENDENCIES = 133,  // in/out: objects request, dependencies filled
    DBIF_CTL_OBJECT_SIZES = 140,      // in/out: objects; see "object sizes" below
};

// Receives the engine's own trace lines (source file, line, level, text).
using dbif_tracefn_t = void (*)(void* context, const char* file, int line, int level,
                                const char16_t* text);

struct dbif_catrequest_t;
struct dbif_catobjects_t;
struct dbif_objsize_t;

struct dbif_control_t {
    long intValue = 0;
    std::u16string text;
    dbif_tracefn_t trace = nullptr;
    void* traceContext = nullptr;
    dbif_catrequest_t* catalog = nullptr;  // DBIF_CTL_CATALOG_DESCRIBE
    dbif_catobjects_t* objects = nullptr;  // DBIF_CTL_CATALOG_OBJECTS, _DEPENDENCIES
    std::vector<dbif_objsize_t>* objectSizes = nullptr;  // DBIF_CTL_OBJECT_SIZES
};

// The communication area: what the last call left behind.
struct dbif_commarea_t {
    long dbCode = 0;             // the engine's own error code, -1 when unknown
    long rowCount = 0;           // rows processed by the last call
    std::u16string errorText;    // the engine's message for the last failure
};

// One result column or statement parameter as the engine describes it.
struct dbif_coldesc_t {
    std::u16string name;
    int type = DBIF_TYPE_CHAR;
    unsigned length = 0;    // characters for CHAR and LONGCHAR, bytes for INT, FLOAT, RAW and
                            // BLOB, digits for PACKED (0: not bounded)
    unsigned decimals = 0;  // digits after the point for PACKED
    bool nullable = true;
    // Why the same value may read otherwise here than on another engine (this engine stores or
    // compares it differently), or null. Static text, for the user.
    const char16_t* crossEngineNote = nullptr;
};

// How a cell's value is carried.
enum class dbif_kind : uint8_t {
    null,
    integer,  // `integer`
    real,     // `real`
    decimal,  // `text`/`length`: ASCII decimal text, e.g. "-12.50" (within the UTF-16 buffer)
    text,     // `text`/`length`: UTF-16 code units, not terminated
    bytes,    // `bytes`/`length`: the bytes
};

struct dbif_cell_t {
    dbif_kind kind = dbif_kind::null;
    int64_t integer = 0;
    double real = 0;
    const char16_t* text = nullptr;
    const unsigned char* bytes = nullptr;
    size_t length = 0;  // code units for text and decimal, bytes for bytes
};

// A batch of rows of equal width: the cells of row r are cells()[r * width .. + width].
// Text and bytes live in storage owned by the batch until the next clear(). Used for
// fetched rows and for parameter rows alike.
class DbIfRowBatch {
public:
    explicit DbIfRowBatch(unsigned width = 0) : width_(width) {}
    void reset(unsigned width) {
        width_ = width;
        clear();
    }
    void clear() {
        cells_.clear();
        texts_.clear();
        bytes_.clear();
        pending_.clear();
    }
    unsigned width() const { return width_; }
    size_t rows() const { return width_ ? cells_.size() / width_ : 0; }

    // Appends one row of null cells and returns its index.
    size_t addRow() {
        cells_.resize(cells_.size() + width_);
        return rows() - 1;
    }
    void setNull(size_t row, unsigned col) { cell(row, col) = dbif_cell_t(); }
    void setInteger(size_t row, unsigned col, int64_t value);
    void setReal(size_t row, unsigned col, double value);
    void setText(size_t row, unsigned col, const char16_t* text, size_t length);
    void setTextUtf8(size_t row, unsigned col, const char* text, size_t length);
    void setDecimal(size_t row, unsigned col, const char* text, size_t length);
    void setBytes(size_t row, unsigned col, const unsigned char* bytes, size_t length);

    // The cells of a row. Valid until the next change of the batch.
    const dbif_cell_t* row(size_t r) {
        resolve();
        return cells_.data() + r * width_;
    }

private:
    dbif_cell_t& cell(size_t row, unsigned col) { return cells_[row * width_ + col]; }
    size_t beginText(size_t row, unsigned col, dbif_kind kind, size_t length);
    void resolve();

    // Storage grows while cells are added, so cells first record offsets and get their
    // pointers when rows are read.
    struct Pending {
        size_t index;
        size_t offset;
        bool isText;
    };
    unsigned width_;
    std::vector<dbif_cell_t> cells_;
    std::u16string texts_;
    std::vector<unsigned char> bytes_;
    std::vector<Pending> pending_;
};

// A prepared statement. Parameters are marked by "?" outside quoted text; hint phrases
// "#DBIF_HINT(...)" are removed by engines that have no hint syntax.
class DbIfStatement {
public:
    virtual ~DbIfStatement() = default;
    virtual unsigned paramCount() const = 0;

    // Reading: begRead executes the query with the parameters of row 0 of params (null when
    // there are none); describe lists the result columns; each exeRead replaces the content of
    // batch with up to maxRows rows and returns DBIF_RC_PARTIAL (full batch, maybe more),
    // DBIF_RC_LAST_BATCH (the last rows) or DBIF_RC_NO_MORE_ROWS; endRead releases the result.
    // Memory does not grow with the size of the result.
    virtual int begRead(DbIfRowBatch* params) = 0;
    virtual int describe(std::vector<dbif_coldesc_t>* columns) = 0;
    virtual int exeRead(DbIfRowBatch* batch, unsigned maxRows) = 0;
    virtual int endRead() = 0;

    // Long values (LONGCHAR, BLOB) in pieces: points *piece at no more than `capacity` units
    // (code units for text, bytes otherwise) of the value in `column` of row `row` of the batch
    // the last exeRead filled, from unit `offset` on. Returns DBIF_RC_OK, or DBIF_RC_NO_MORE_ROWS
    // once offset reaches the end of the value. The piece stays valid until the batch changes.
    // This implementation serves engines that deliver whole values in the batch; an engine that
    // streams long values overrides it.
    virtual int lobGetPiece(DbIfRowBatch* batch, size_t row, unsigned column, size_t offset,
                            size_t capacity, dbif_cell_t* piece);

    // Insert, update, delete and other statements: executes the statement once for every
    // parameter row (once without parameters when params is null) and adds the rows the
    // database processed to *processed. A failing row ends the call; *processed then counts
    // the rows before it.
    virtual int modify(DbIfRowBatch* params, unsigned long* processed) = 0;
};

// ---- catalogue service ----------------------------------------------------------------------
//
// Describes a table by name for the nametab reader. The description comes from the nametab
// tables of the request (layout in docs/nametab-layout.md) when its DDNTT table exists in the
// database, and otherwise from the engine's own catalogue, so that tables of any database can
// be described. Descriptions, and the knowledge which nametab tables exist, are cached per
// connection object until DBIF_CTL_CATALOG_FLUSH.
//
// Every engine answers the two control codes: DBIF_CTL_CATALOG_DESCRIBE returns DBIF_RC_OK with
// the description, DBIF_RC_NOT_FOUND when the table has no description (no nametab entry, or
// no such table in the engine's catalogue), or the code of a failure with its text in the comm
// area; DBIF_CTL_CATALOG_FLUSH always succeeds.

// Dictionary type codes the engine's catalogue assigns to the columns it describes. A nametab
// field carries any code of the dictionary type table (upglib/ulq7ldobj.h); these are the codes
// whose database type is the column's own type, so that a field keeps its type whichever
// source described it.
enum : int {
    DBIF_DDIC_NUM = 4,     // DECIMAL: a number without fixed scale
    DBIF_DDIC_CHAR = 40,   // CHAR(n), n > 0
    DBIF_DDIC_D16N = 98,   // DECFLOAT16
    DBIF_DDIC_D34N = 102,  // DECFLOAT34
    DBIF_DDIC_FLTP = 136,  // FLOAT
    DBIF_DDIC_CLNT = 152,  // the client field: CHAR(3) named MANDT or CLIENT, first key field
    DBIF_DDIC_DEC = 160,   // PACKED(p,s)
    DBIF_DDIC_INT1 = 164,
    DBIF_DDIC_INT2 = 168,
    DBIF_DDIC_INT4 = 172,
    DBIF_DDIC_RAW = 184,   // RAW(n)
    DBIF_DDIC_STRG = 228,  // LONGCHAR
    DBIF_DDIC_RSTR = 232,  // BLOB
    DBIF_DDIC_SSTR = 236,  // CHAR without length
    DBIF_DDIC_INT8 = 244,
};

// One field of a described table.
struct dbif_catfield_t {
    std::u16string name;
    int ddicType = 0;         // dictionary type code
    unsigned ddicLength = 0;  // dictionary length: characters, bytes of raw types, digits of
                              // numbers (0: unbounded)
    unsigned digits = 0;
    unsigned decimals = 0;
    int dbType = DBIF_TYPE_CHAR;  // the column's type in the database, as describe() gives it
    unsigned dbLength = 0;        // its length in the units of dbif_coldesc_t
    int offset = -1;              // byte offset in the nametab's row layout; -1: not given
    bool key = false;
    bool notNull = false;
};

enum : int {
    DBIF_CATSRC_NAMETAB = 1,  // read from the nametab tables
    DBIF_CATSRC_ENGINE = 2,   // read from the engine's own catalogue
};

// A described table. Key fields are flagged where the source has them; the nametab reader
// checks that they come first.
struct dbif_cattable_t {
    std::u16string name;
    int source = 0;           // DBIF_CATSRC_*
    char16_t tabType = u'T';  // 'T' transparent, 'C' logical cluster table, 'P' logical pool
    char16_t tabForm = u'T';  // 'T' table, 'C' physical cluster, 'P' physical pool, a view
                              // form ('V' database view, 'H', 'J', 'R', 'F', 'S', 'W')
    std::u16string refName;   // the physical table of a logical cluster or pool table
    bool clientDependent = false;
    unsigned clientPos = 0;  // 1-based position of the client field, 0: none
    unsigned nkeys = 0;
    unsigned packedKeys = 0;   // key fields of the packed key; 0: not given
    unsigned keyLength = 0;    // bytes of the key area, 0: not given
    unsigned tableLength = 0;  // bytes of the row area, 0: not given
    int shareType = 0;         // sharing type code, 0: none
    bool temporary = false;    // global temporary table
    char16_t storeType = 0;    // 'C' column store, 'R' row store, 0: not given
    std::vector<dbif_catfield_t> fields;
};

enum : int {
    // Ask the engine's catalogue only (whether the table exists in the database); the nametab
    // is read only when the engine has no catalogue of its own.
    DBIF_CATREQ_ENGINE = 1,
};

struct dbif_catrequest_t {
    const char16_t* ddntt = nullptr;      // the nametab set: table headers,
    const char16_t* ddntf = nullptr;      // field rows,
    const char16_t* ddnttHist = nullptr;  // and earlier header versions
    const char16_t* table = nullptr;
    int flags = 0;           // DBIF_CATREQ_*
    dbif_cattable_t result;  // filled on DBIF_RC_OK
};

enum : long {
    DBIF_CATFLUSH_TABLES = 0,  // forget the cached descriptions
    DBIF_CATFLUSH_ALL = 1,     // also forget which nametab tables exist
};

// ---- native objects and their dependencies --------------------------------------------------
//
// The objects of the database's own catalogue (tables, views, functions, procedures, sequences,
// triggers) and which of them depend on which, for migrations that move database objects
// outside the dictionary. Names come in the tool's case (upper). An engine lists what its
// catalogue knows: a kind of object the engine does not have is simply absent, and an engine
// without any such catalogue answers DBIF_RC_NOT_SUPPORTED.

// One object. type is one of "TABLE", "TEMPTABLE", "TABLETYPE", "VIEW", "FUNCTION",
// "PROCEDURE", "SEQUENCE", "TRIGGER", "SYNONYM".
struct dbif_catobject_t {
    std::u16string schema;
    std::u16string name;
    std::u16string type;
    bool system = false;  // the object belongs to one of the engine's own system schemas
    bool operator==(const dbif_catobject_t&) const = default;
};

// `dependent` cannot exist without `base` (a view reads a table or view, a trigger belongs to
// its table).
struct dbif_catdependency_t {
    dbif_catobject_t base;
    dbif_catobject_t dependent;
};

struct dbif_catobjects_t {
    // DBIF_CTL_CATALOG_OBJECTS: the schemas to list, in the tool's case (empty: the current
    // schema). DBIF_CTL_CATALOG_DEPENDENCIES lists the dependencies of every schema.
    std::vector<std::u16string> schemas;
    std::vector<dbif_catobject_t> objects;            // filled by DBIF_CTL_CATALOG_OBJECTS
    std::vector<dbif_catdependency_t> dependencies;   // filled by DBIF_CTL_CATALOG_DEPENDENCIES
};

// ---- object sizes ----------------------------------------------------------------------------
//
// DBIF_CTL_OBJECT_SIZES fills the size of every entry from the engine's own storage figures:
// tables and indexes in KB, databases in MB, each rounded up to a whole unit. A table's size is
// its row storage without its indexes. An index names its table, and must belong to it. An
// object that does not exist fails the call with DBIF_RC_NOT_FOUND and its name in the comm
// area; an engine without such figures answers DBIF_RC_NOT_SUPPORTED. Sizes of entries after
// a failing one are left as they were.

enum class dbif_objkind : uint8_t { table, index, database };

struct dbif_objsize_t {
    dbif_objkind kind = dbif_objkind::table;
    std::u16string name;
    std::u16string table;  // the table of an index
    int64_t size = -1;     // filled: KB, or MB for a database
};

// The queries by which an engine answers DBIF_CTL_OBJECT_SIZES: each takes the object's name
// as its first parameter (an index also its table as the second) and yields one row with the
// size in bytes when the object exists, no row when it does not.
struct dbif_objsizequeries_t {
    const char16_t* table;
    const char16_t* index;
    const char16_t* database;
};

struct DbIfCatalogCache;

class DbIfConnection {
public:
    DbIfConnection();
    virtual ~DbIfConnection();

    // Connects with the engine's own environment (see the engine's file). A connection always
    // has an open transaction: commit and rollback end it and start the next one.
    virtual int connect() = 0;
    virtual int disconnect() = 0;
    virtual int commit() = 0;
    virtual int rollback() = 0;

    virtual int prepare(const char16_t* sql, int stmtClass,
                        std::unique_ptr<DbIfStatement>* statement) = 0;
    // A statement without parameters, executed once; the row count goes to the comm area.
    virtual int execute(const char16_t* sql) = 0;
    virtual int control(int code, dbif_control_t* argument) = 0;

    const dbif_commarea_t& commArea() const { return commArea_; }

protected:
    // The catalogue service's answer to DBIF_CTL_CATALOG_DESCRIBE and DBIF_CTL_CATALOG_FLUSH,
    // built on prepare() and describeNative(); an engine's control() passes these codes here.
    int catalogControl(int code, dbif_control_t* argument);
    // The engine's own catalogue: the columns of a table or view of the database in table
    // order with type, length, decimals, not-null and key flags (dictionary types are left to
    // the service). DBIF_RC_NOT_FOUND when there is no such table; DBIF_RC_NOT_SUPPORTED (the
    // default) for an engine without a catalogue, which then relies on the nametab tables.
    virtual int describeNative(const char16_t* table, dbif_cattable_t* out);
    // The engine's native objects and dependencies (see "native objects" above); both
    // DBIF_RC_NOT_SUPPORTED by default.
    virtual int listObjects(dbif_catobjects_t* request);
    virtual int listDependencies(dbif_catobjects_t* request);
    // The answer to DBIF_CTL_OBJECT_SIZES over the engine's queries; table and index names
    // pass through catalogName() first.
    int objectSizeControl(const dbif_objsizequeries_t& queries, dbif_control_t* argument);
    // A table or index name of the tool as the engine's catalogue spells it.
    virtual std::u16string catalogName(const std::u16string& name) { return name; }

    dbif_commarea_t commArea_;

private:
    int describeCataloged(dbif_catrequest_t* request);
    int nametabExists(const dbif_catrequest_t& request, bool* exists);
    int readNametab(const dbif_catrequest_t& request, dbif_cattable_t* out);
    int catalogFail(int rc, const std::u16string& text);

    std::unique_ptr<DbIfCatalogCache> catalog_;
};

// A new, unconnected connection of the engine with this code ("SQLITE", "PGSQL", or an engine
// registered by tests), or null when this build has none.
std::unique_ptr<DbIfConnection> dbif_open(const char16_t* engineCode);

// Engines register a factory under their code; the built-in engines are always registered.
using dbif_factory_t = std::unique_ptr<DbIfConnection> (*)();
void dbif_register(const char16_t* engineCode, dbif_factory_t factory);

// The SQL layer's main module: the process-wide database connection, the database support
// table, prepared statements with "?" parameter markers, array-wise fetching and modification,
// and the row callbacks through which every query hands its rows to the code that asked for
// them.
//
// Ownership: a ULSQLStmt owns its statement text copy, its engine statement and its buffers;
// the connection owns nothing a statement holds. Disconnecting releases the engine statements
// of all live ULSQLStmt objects; such a statement is prepared again by its next execute.
#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "dbif.h"
#include "ulsqlbase2.h"

// ---- database support table ---------------------------------------------------------------

enum : int {
    UL_DBTYPE_ZMX = 0,
    UL_DBTYPE_ZDB = 1,
    UL_DBTYPE_DB2 = 2,
    UL_DBTYPE_DB4 = 3,
    UL_DBTYPE_DB6 = 4,
    UL_DBTYPE_MSS = 5,
    UL_DBTYPE_ORA = 6,
    UL_DBTYPE_ZSE = 7,
    UL_DBTYPE_SQLITE = 8,
    UL_DBTYPE_PGSQL = 9,
    UL_DBTYPE_ODBC = 10,  // any other database, reached through its ODBC driver
};

// Row flags.
enum : unsigned {
    // Set for DB4 and ORA, for the code that treats these two apart; nothing in this module
    // depends on it.
    UL_DBSUPPORT_FLAG1 = 0x1,
};

// How a query locks the rows it reads so that the same transaction can claim them while other
// sessions wait. An engine with row locks names a hint behind the table name or a clause at the
// end of the query (either may be null; both null: the engine locks what it reads by itself).
// An engine without row locks names instead a statement that writes nothing but takes the
// database's write lock (%s: the quoted table); it must be the first statement of every
// transaction that reads and then writes, so that no two sessions both read and then wait for
// each other's lock.
struct ul_sqlrowlock_t {
    const char16_t* tableHint;
    const char16_t* clause;
    const char16_t* writeLockFormat;
};

// A figure the database monitor samples: its column in the monitor file, whether it is a
// cumulative CPU counter in milliseconds (sampled as a share in percent), and the query whose
// first column yields it as an unsigned number.
struct ul_sqlmonitorstmt_t {
    const char16_t* name;  // null ends a table
    int cpuCounter;
    const char16_t* statement;
};

struct ul_sqldbsupport_t {
    int type;
    const char16_t* code;  // dbms_type must begin with it (ignoring case)
    const char16_t* shortCode;
    const char16_t* separators;   // the three separator characters of table suffixes
    unsigned flags;               // UL_DBSUPPORT_*
    const char16_t* quoteFormat;  // identifier quoting, e.g. "\"%s\""
    const char16_t* engine;       // code for dbif_open(); null: none of its own (see ul_sqlconnect2)
    // Called with 0 before and with 1 after the connection is made. Returns 0 or -1.
    int (*initHook)(int phase);
    // Rewrites the statement text in sql (capacity size, terminator included) in place.
    // Returns 0 or -1 (the rewritten text would not fit).
    int (*rewriteHook)(char16_t* sql, size_t size);
    // Returns 1 and sets the description of the database's row-identifier pseudo column when
    // name is that column, else 0.
    int (*fieldFlagHook)(const char16_t* name, ul_sqlfielddesc_t* desc);
    const ul_sqlrowlock_t* rowLock;  // null: no locking read
    // The monitor's figures (ending with a null name); null: the database offers none.
    const ul_sqlmonitorstmt_t* monitorStmts = nullptr;
    // A one-row query of the server's clock: local time and UTC as fourteen digits
    // YYYYMMDDhhmmss in its two columns; null: none.
    const char16_t* clockStmt = nullptr;
};

extern const ul_sqldbsupport_t SQLDBSupport[];
extern const size_t SQLDBSupportCount;

// Rows that tests add in front of the table, e.g. to connect to an in-memory engine under a
// type number of their choice. The rows must outlive their use; null or n = 0 removes them.
void ul_sqlsettestdbsupport(const ul_sqldbsupport_t* rows, size_t n);

// The row dbms_type selects (first the test rows, then SQLDBSupport). Null with "Missing
// environment variable '%s' to determine DB type" or "Unsupported DB type '%s'".
const ul_sqldbsupport_t* ul_sqlselectdbsupport();
// The connected row, else the row dbms_type selects, else null; sets no error text.
const ul_sqldbsupport_t* ul_sqlcurrentdbsupport();

// Type number of a support table code (ignoring case), or -1 with "Unknown database type
// '%s'". The code of a type number, or null with the same message.
[[nodiscard]] int ul_sqlgetdbatypefromstring(const char16_t* name);
const char16_t* ul_sqlgetstringfromdbatype(int type);

// ---- connection ---------------------------------------------------------------------------

enum : int {
    UL_CONNECT_QUIET = 1,     // no "Connecting to database" message
    UL_CONNECT_ALT = 2,       // the alternative connect call
    UL_CONNECT_NOTRACE = 16,  // leave the database library's trace off
};
enum : int {
    UL_DISCONNECT_NOCOMMIT = 1,
    UL_DISCONNECT_ALTCOMMIT = 2,
};
enum : int {
    UL_COMMIT_QUIET = 1,  // with a null note: no "Committing." message
    UL_COMMIT_ALT = 2,    // the alternative commit call
};
enum : int {
    UL_ROLLBACK_QUIET = 1,
    UL_ROLLBACK_ALT = 2,
};

// Connects the process-wide connection to the database dbms_type selects. While connected
// it warns "DBIF already connected." and only runs the initialisation hook again. A failing
// connect sets "DBIF error %d (db code %ld): Connect failed" and the engine's message; with
// the SQL trace level 0 it also logs that text, repeats the connect with the engine's trace
// collected in memory and logs the collected lines. Returns 0 or -1.
[[nodiscard]] int ul_sqlconnect2(int flags);
// Commits (unless UL_DISCONNECT_NOCOMMIT), disconnects and forgets the connection, also when
// the commit or the disconnect fails. Not connected: warning, result 0.
[[nodiscard]] int ul_sqldisconnect(int flags);
// After a failure: disconnects without commit when connected, keeping the failure's text (not
// the disconnect's) in the error buffer. Returns -1.
int ul_sqldisconnectfailed();

// Modules above this one keep state per connection (schemas, view layer). They register
// hooks here, so that this module never calls up: `reset` runs whenever a connection is made
// (before the database type's own initialisation) and when it ends; `viewLayer` runs when the
// in-memory database is connected and returns 0 or -1 with the reason set. Either may be
// null. Hooks run in registration order; registering the same hooks twice has no effect.
struct ul_sqlsessionhooks_t {
    void (*reset)();
    int (*viewLayer)();
    bool operator==(const ul_sqlsessionhooks_t&) const = default;
};
void ul_sqladdsessionhooks(const ul_sqlsessionhooks_t& hooks);
bool ul_sqlisconnected();
// The connected row's type number, else the one dbms_type selects, else -1.
[[nodiscard]] int ul_sqlgetdbatype();
[[nodiscard]] int ul_sqlcommit2(const char16_t* note, int flags);
[[nodiscard]] int ul_sqlrollback2(int flags);
// The database version and the client library version, each at most 32 characters with runs
// of blanks condensed. Connects and disconnects around the call when not connected.
[[nodiscard]] int ul_sqlgetdbversion(char16_t* version, unsigned size, char16_t* clientVersion,
                                     unsigned clientSize);

// The client library version (at most 32 characters, runs of blanks condensed) without
// connecting: from the connection when there is one, else from an unconnected engine of the
// database dbms_type selects ("Getting DB client version failed").
[[nodiscard]] int ul_sqlgetclientversion(char16_t* clientVersion, unsigned clientSize);

// The engine's communication area of the connection, null when not connected.
const dbif_commarea_t* ul_sqlcommarea();

// Passes a control code to the connected engine and returns the engine's return code (the
// caller judges it), or -1 with "Not connected to the database for control code %d".
[[nodiscard]] int ul_sqldbifcontrol(int code, dbif_control_t* argument);
// Sets "DBIF error %d (db code %ld): <what>" with the connection's database error code and
// appends the engine's message on a new line.
void ul_sqlsetdbiferror(int returnCode, const char16_t* what);

// ---- isolation level ----------------------------------------------------------------------

enum : int {
    UL_ISOLEVEL_DEFAULT = 0,    // the database's default isolation
    UL_ISOLEVEL_COMMITTED = 1,  // read committed
};

// Stores the isolation level (0 or 1), applies it at once when connected ("Setting
// isolation level failed") and logs the change. Returns 0, or -1 with "Invalid isolation
// level %d" for any other value.
[[nodiscard]] int ul_sqlsetisolevel(int level);
[[nodiscard]] int ul_sqlgetisolevel();

// Isolation level of a keyword "committed" (1) or "default" (0), case-insensitive; -1 for any
// other text. Sets no error text; the caller names the context.
[[nodiscard]] int ul_sqlisolevelfromstring(const char16_t* keyword);

// ---- row callbacks ------------------------------------------------------------------------

// handleRow flags.
enum : unsigned {
    UL_ROW_HDR_TYPE = 1,       // header row: the type letter of each column
    UL_ROW_HDR_LENGTH = 2,     // header row: the maximum length
    UL_ROW_HDR_NAME = 4,       // header row: the column name
    UL_ROW_DATA = 32,          // a fetched row
    UL_ROW_PARAMS = 64,        // supply one parameter row
    UL_ROW_PARAMSFIRST = 128,  // the first parameter row of an execute
};
// Results of a parameter supply call (besides -1 for an error).
enum : int {
    UL_PARAMS_END = 1,     // no more rows; nothing was supplied
    UL_PARAMS_COMMIT = 2,  // commit after the batch holding this row has been executed
};

// Receives the rows of a query, or supplies the parameter rows of a modifying statement.
// For a fetched row raw[i]/lengths[i] are the column's bytes (raw[i] null for NULL) and
// values[i] its text (null for NULL, for columns without a text form and for columns the
// receiver declined through wantsText; values itself is null when no column has text: raw-only
// mode, raw columns only, or every column declined). Returns -1 on error (with the error text
// set), 0 to go on, any other value to stop; execute then returns that value.
// A character value may hold NUL characters, so values[i] can end before the value does;
// textLength() gives its whole length. A fetch hands such a value only to receivers that say
// they take it (takesNulInText) and fails for the others with "Value of column #%d '%s' holds
// a NUL character", so that none works on a shortened value.
class ULSQLCallBack {
  public:
    virtual ~ULSQLCallBack() = default;
    [[nodiscard]] virtual int handleRow(unsigned flags, const unsigned char** raw,
                                        const char16_t** values, unsigned* lengths,
                                        unsigned ncols) = 0;
    virtual bool takesNulInText() const { return false; }
    // Whether the text of result column `column` (0-based) is wanted. A query asks once per
    // execute for every column, after describing the result and before the first row; a
    // declined column is handed over as raw bytes only, and its text is never built. Header
    // rows and parameter rows are not affected. Every column by default.
    virtual bool wantsText(unsigned column) const {
        (void)column;
        return true;
    }
    // A receiver that compares the bytes it gets with those another database gave (a checksum)
    // names the table it checks. A query then warns, once per connection, table and column,
    // about every column whose values the engine stores or compares otherwise than other
    // engines do, so that such a difference is never left unexplained. Null by default.
    virtual const char16_t* crossEngineTable() const { return nullptr; }

  protected:
    // Appends the values of a row to line, joined by ",": a text value whole in the escaped
    // form that ul_stringreadescape reads back with terminator ',' and UL_ESCAPE_C |
    // UL_ESCAPE_CONTROL (no control character stays in the line), a value without text as
    // "\"" + lower-case hex + "\"", NULL as nothing. With quoteLeadingHash a first value that
    // would begin with "#" is put in double quotes. Returns 0, or -1 when escaping fails.
    [[nodiscard]] int appendCsvValues(std::u16string* line, const unsigned char** raw,
                                      const char16_t** values, const unsigned* lengths,
                                      unsigned ncols, bool quoteLeadingHash) const;
    // The length of text value i of the fetched row being handled; outside a fetch (header
    // rows, parameter rows) the zero-terminated length.
    size_t textLength(unsigned i, const char16_t* value) const {
        if (textLengths_ && i < nTextLengths_) return textLengths_[i];
        return value ? std::char_traits<char16_t>::length(value) : 0;
    }
    // The text lengths of the fetched row being handled when it has at least ncols columns,
    // else null: a callback that passes the row on hands them over as they are.
    const size_t* rowTextLengths(unsigned ncols) const {
        return textLengths_ && nTextLengths_ >= ncols ? textLengths_ : nullptr;
    }

  private:
    friend class ULSQLExec;
    friend void ul_sqlsettextlengths(ULSQLCallBack* callback, const size_t* lengths, unsigned n);
    const size_t* textLengths_ = nullptr;
    unsigned nTextLengths_ = 0;
};

// For callbacks that pass rows on: the text lengths the next receiver's textLength() reports
// while it handles one row (null, 0: none).
inline void ul_sqlsettextlengths(ULSQLCallBack* callback, const size_t* lengths, unsigned n) {
    callback->textLengths_ = lengths;
    callback->nTextLengths_ = n;
}

// For receivers that only want the text values.
class ULSQLCallBackChar : public ULSQLCallBack {
  public:
    [[nodiscard]] int handleRow(unsigned flags, const unsigned char** raw, const char16_t** values,
                                unsigned* lengths, unsigned ncols) override;
    [[nodiscard]] virtual int handleRow(unsigned flags, const char16_t** values,
                                        unsigned ncols) = 0;
};

// Writes rows to the log as level-4 messages: ">v1;v2", "HDR>" for a header row, "<NULL>",
// "<RAW>" for values without text, "BLOB(#n)" for long values.
class ULSQLLogWrapper : public ULSQLCallBack {
  public:
    bool takesNulInText() const override { return true; }
    // descs (optional, ndescs entries) tell which columns are long values; they must outlive
    // the wrapper.
    explicit ULSQLLogWrapper(const ul_sqlfielddesc_t* descs = nullptr, unsigned ndescs = 0)
        : descs_(descs), ndescs_(ndescs) {}
    [[nodiscard]] int handleRow(unsigned flags, const unsigned char** raw, const char16_t** values,
                                unsigned* lengths, unsigned ncols) override;

  private:
    const ul_sqlfielddesc_t* descs_;
    unsigned ndescs_;
    std::u16string line_;
};

// Writes rows as lines of comma-separated values to a stream (UTF-8): a text value whole in
// the escaped form that ul_stringreadescape reads back with terminator ',' and escapeFlags()
// (no line holds a control character), a value without text as "\"" + lower-case hex + "\"",
// NULL as nothing; a header row (flag UL_ROW_HDR_NAME) begins with "#", and a data row whose
// first value would begin with "#" has that value in double quotes.
class ULSQLLogCSVLines : public ULSQLCallBack {
  public:
    bool takesNulInText() const override { return true; }
    // fileName (optional) names the stream in error texts.
    explicit ULSQLLogCSVLines(FILE* stream, const char16_t* fileName = nullptr)
        : stream_(stream), fileName_(fileName ? fileName : u"") {}
    [[nodiscard]] int handleRow(unsigned flags, const unsigned char** raw, const char16_t** values,
                                unsigned* lengths, unsigned ncols) override;
    // The escaping flags of text values (UL_ESCAPE_C | UL_ESCAPE_CONTROL).
    [[nodiscard]] static int escapeFlags();

  private:
    FILE* stream_;
    std::u16string fileName_;
    std::u16string line_;
    std::string utf8_;
};

// ---- statements ---------------------------------------------------------------------------

// Statement mode bits of prepare, execute and run.
enum : int {
    UL_SQLMODE_HDR_TYPE = 0x1,  // execute: header row with type letters
    UL_SQLMODE_HDR_LENGTH = 0x2,
    UL_SQLMODE_HDR_NAME = 0x4,
    UL_SQLMODE_SELECT = 0x100,  // treat the statement as a query
    // prepare: any statement with parameters is an update; execute of a query: raw only.
    UL_SQLMODE_ANYUPDATE_RAWONLY = 0x400,
    UL_SQLMODE_MISSINGTABLE = 0x400000,  // a missing table makes execute return -2
    UL_SQLMODE_TOLERATE = 0x1000000,     // tolerate harmless failures (drop of missing objects)
    UL_SQLMODE_IGNOREERRORS = 0x2000000,
    UL_SQLMODE_IGNOREDUPS = 0x4000000,
    UL_SQLMODE_NOBULK = 0x8000000,
    UL_SQLMODE_LOBONEPIECE = 0x10000000,
};
// The bits run() passes to prepare.
constexpr int UL_SQLMODE_PREPAREBITS = 0x1F000000;

// Statement kinds.
enum : int {
    UL_SQLKIND_NONE = 0,
    UL_SQLKIND_SELECT = 1,
    UL_SQLKIND_INSERT = 10,
    UL_SQLKIND_UPDATE = 11,
    UL_SQLKIND_DELETE = 12,
    UL_SQLKIND_OTHER = 99,
};

// Error filter: returns a value above 0 when the database error code is harmless.
using ul_sqlerrorfilter_t = int (*)(void* context, unsigned dbErrorCode);

class ULSQLStmtBase {
  public:
    virtual ~ULSQLStmtBase() = default;
    // Binds parameter index (0-based). Text flag 1: the statement reads the caller's text
    // when it executes (it must stay valid until then) instead of copying it now.
    [[nodiscard]] virtual int bindParam(unsigned index, const char16_t* value, int flags) = 0;
    [[nodiscard]] virtual int bindParam(unsigned index, const unsigned char* raw,
                                        unsigned long length, int flags) = 0;
    [[nodiscard]] virtual int bindParam(unsigned index, long value) = 0;
    [[nodiscard]] virtual long execute(ULSQLCallBack* callback, unsigned long* count, int mode) = 0;

    // Values converted to the parameter's type from text, raw bytes or an integer.
    [[nodiscard]] int bindParamS(unsigned index, const char16_t* value) {
        return bindParam(index, value, 0);
    }
    [[nodiscard]] int bindParamR(unsigned index, const unsigned char* raw, unsigned long length) {
        return bindParam(index, raw, length, 0);
    }
    [[nodiscard]] int bindParamI(unsigned index, long value) { return bindParam(index, value); }
    // Binds parameters 0..n-1 from n texts, n being the statement's parameter count.
    [[nodiscard]] int bindParam(const char16_t** values);
    virtual unsigned getNParams() const = 0;
};

class ULSQLExec;

class ULSQLStmt : public ULSQLStmtBase {
  public:
    ULSQLStmt() = default;
    ~ULSQLStmt() override;
    ULSQLStmt(const ULSQLStmt&) = delete;
    ULSQLStmt& operator=(const ULSQLStmt&) = delete;

    // Prepares sql on the connection. in/nIn describe the parameters (missing ones are text of
    // defaultcolumnspace characters), out/nOut the result columns of a query (null: text).
    [[nodiscard]] int prepare(const char16_t* sql, const ul_sqlfielddesc_t* in, unsigned nIn,
                              const ul_sqlfielddesc_t* out, unsigned nOut, int mode);
    using ULSQLStmtBase::bindParam;
    [[nodiscard]] int bindParam(unsigned index, const char16_t* value, int flags) override;
    [[nodiscard]] int bindParam(unsigned index, const unsigned char* raw, unsigned long length,
                                int flags) override;
    [[nodiscard]] int bindParam(unsigned index, long value) override;
    // Binds SQL NULL.
    [[nodiscard]] int bindNull(unsigned index);
    // A query calls callback per row (the log when null) and returns its stop value or 0;
    // insert, update and delete return the rows processed, other statements the database's
    // row count. -1 on error, -2 for a missing table under UL_SQLMODE_MISSINGTABLE.
    [[nodiscard]] long execute(ULSQLCallBack* callback, unsigned long* count, int mode) override;
    // Prepares and executes sql without parameters on a temporary statement, connecting
    // before and disconnecting after when no connection exists.
    [[nodiscard]] static int run(const char16_t* sql, const ul_sqlfielddesc_t* out, unsigned nOut,
                                 ULSQLCallBack* callback, unsigned long* count, int mode);
    void freeMemory();
    unsigned getNParams() const override { return nParams_; }
    [[nodiscard]] int getKind() const { return kind_; }
    // Rows per engine call (1: single rows).
    unsigned getBulkRows() const { return bulkRows_; }
    void setPrepareCallback(ul_sqlerrorfilter_t filter, void* context) {
        filter_ = filter;
        filterContext_ = context;
    }

    // The statement text after the rewrite hook (null before prepare).
    const char16_t* getText() const { return sql_.empty() ? nullptr : sql_.c_str(); }

    // Drops the engine statement; the next execute prepares it again. Called for every live
    // statement before the connection goes away.
    void releaseHandle() {
        handle_.reset();
        registered_ = false;
    }

  private:
    friend class ULSQLExec;

    // A bound parameter value, kept until the next bind of the same parameter and put into the
    // parameter batch at every execute.
    struct BoundValue {
        enum class Kind : unsigned char { none, null, text, textRef, raw, rawRef, integer };
        Kind kind = Kind::none;
        std::u16string text;
        std::vector<unsigned char> raw;
        const char16_t* textRef = nullptr;
        const unsigned char* rawRef = nullptr;
        unsigned long rawLength = 0;
        long integer = 0;
    };

    // The engine's return code of preparing sql_ (-1 with the error text when not connected).
    [[nodiscard]] int prepareEngine();
    [[nodiscard]] int bindCheck(unsigned index);
    // Puts a text or raw value of parameter index into a batch cell (empty text is NULL under
    // the global flag sqlinsertemptyasnull).
    [[nodiscard]] int putValue(DbIfRowBatch* batch, size_t row, unsigned index,
                               const char16_t* text, const unsigned char* raw, unsigned long length,
                               bool isRaw);
    [[nodiscard]] int putBound(DbIfRowBatch* batch, size_t row, unsigned index);
    [[nodiscard]] int dbClass() const;
    void computeBulkRows(int mode);
    // Critical-error rules; true (with the error text set) when the failure is an error. A
    // harmless failure is followed by a commit when commit is set.
    bool isCriticalStmt(int returnCode, bool commit, int mode);

    std::u16string sql_;
    int kind_ = UL_SQLKIND_NONE;
    int prepareMode_ = 0;
    unsigned nParams_ = 0;
    unsigned nHints_ = 0;
    bool prepareFailed_ = false;  // harmlessly failed prepare: execute does nothing
    bool missingTable_ = false;   // prepare found the table missing: execute returns -2
    bool insertSelect_ = false;
    std::unique_ptr<DbIfStatement> handle_;
    std::vector<ul_sqlfielddesc_t> in_;
    std::vector<ul_sqlfielddesc_t> out_;
    std::vector<std::u16string> names_;  // owned copies of the description names
    std::vector<BoundValue> bound_;
    // Reused by every execute, so memory does not grow with the result.
    DbIfRowBatch batch_;
    DbIfRowBatch params_;
    DbIfRowBatch scratch_;  // checks a value at bind time
    unsigned bulkRows_ = 1;
    ul_sqlerrorfilter_t filter_ = nullptr;
    void* filterContext_ = nullptr;
    bool registered_ = false;
};

// Runs one execute of a prepared statement: holds the callback, the mode, the row counters
// and the per-row conversion buffers. Built on the stack by ULSQLStmt::execute.
class ULSQLExec {
  public:
    ULSQLExec(ULSQLStmt* stmt, ULSQLCallBack* callback, int mode);
    [[nodiscard]] long run(unsigned long* count);

    // Reads the result column descriptions and fits the output descriptions to them.
    [[nodiscard]] int processRowTypes();
    // Converts fetched row r of the batch and hands it to the callback; returns the callback's
    // result.
    [[nodiscard]] int selProcessRow(DbIfRowBatch* batch, size_t r);
    // Asks the callback for one parameter row and appends it to the parameter batch unless
    // the callback has no more. Returns the callback's result (UL_PARAMS_* bits) or -1.
    [[nodiscard]] int modProcessRow(DbIfRowBatch* batch, bool first);
    // Makes the conversion buffer of long column i hold at least `length` units: it starts at
    // the long-value column space and doubles. Returns 0, or -1 when memory runs out.
    [[nodiscard]] int allocSingleField(unsigned i, size_t length);

  private:
    [[nodiscard]] long runQuery(unsigned long* count);
    [[nodiscard]] long runModify(unsigned long* count);
    [[nodiscard]] long runOther(unsigned long* count);
    [[nodiscard]] int headerRow();
    // Decides per column whether its text is built, asking the callback.
    void chooseTextColumns();
    // The warnings of crossEngineTable(). Returns 0 or -1.
    [[nodiscard]] int warnCrossEngine();
    [[nodiscard]] int readLongPieces(DbIfRowBatch* batch, size_t r, unsigned i, dbif_cell_t* cell);
    [[nodiscard]] int executeBatch(DbIfRowBatch* batch, unsigned long* processed, bool* tolerated);

    ULSQLStmt* stmt_;
    ULSQLCallBack* callback_;
    int mode_;
    unsigned traceLevel_;
    unsigned long rowsDelivered_ = 0;
    unsigned long rowsSupplied_ = 0;
    std::vector<dbif_coldesc_t> columns_;
    std::vector<ul_sqlfielddesc_t> descs_;  // effective output descriptions of this execute
    bool allRaw_ = false;
    // Per column: its text is built for the callback (mode, description and wantsText agree).
    std::vector<unsigned char> withText_;
    bool anyText_ = false;
    ULSQLValueConverter converter_;
    std::vector<const unsigned char*> raw_;
    std::vector<const char16_t*> values_;
    std::vector<unsigned> lengths_;
    std::vector<size_t> textLengths_;
    std::vector<dbif_cell_t> cells_;  // a row's cells after length correction and piece reading
    // Long values longer than the column space are read in pieces into these buffers.
    bool piecewise_ = false;
    struct LongField {
        std::u16string text;
        std::vector<unsigned char> bytes;
    };
    std::vector<LongField> longFields_;
    std::u16string header_;
};

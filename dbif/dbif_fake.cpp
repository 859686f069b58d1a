// The in-memory engine "FAKE": answers from the script of dbif_fake.h and records what it saw.
#include "dbif_fake.h"

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <utility>

#include "dbif_engines.h"
#include "ulstring.h"
#include "ulstring2.h"

namespace {

struct Failure {
    dbif_fakefailure_t setting;
    unsigned long seen = 0;    // calls (rows) counted so far
    unsigned long failed = 0;  // failures given so far
};

struct Script {
    std::vector<dbif_coldesc_t> columns;
    std::vector<dbif_fakerow_t> rows;
    std::optional<long> rowCount;
};

struct ControlAnswer {
    int rc;
    std::u16string text;
};

struct State {
    std::map<std::u16string, Script> scripts;
    // Keyed by operation and statement text; the empty text stands for every statement.
    std::map<std::pair<dbif_fakeop, std::u16string>, Failure> failures;
    std::map<int, ControlAnswer> controls;
    std::map<std::u16string, std::optional<dbif_cattable_t>> catalog;
    std::vector<dbif_fakecall_t> calls;
};

State& state() {
    static State s;
    return s;
}

std::u16string trimmed(const char16_t* sql) {
    return ul_trimmed(sql ? sql : u"");
}

// "?" outside single- and double-quoted text.
unsigned countMarkers(const std::u16string& sql) {
    unsigned count = 0;
    char16_t quote = 0;
    for (char16_t c : sql) {
        if (quote) {
            if (c == quote) quote = 0;  // a doubled quote reopens at once
        } else if (c == u'\'' || c == u'"') {
            quote = c;
        } else if (c == u'?') {
            ++count;
        }
    }
    return count;
}

// The failure due now for op on sql, counting this call, or null.
const dbif_fakefailure_t* dueFailure(dbif_fakeop op, const std::u16string& sql) {
    State& s = state();
    auto it = s.failures.find({op, sql});
    if (it == s.failures.end()) it = s.failures.find({op, u""});
    if (it == s.failures.end()) return nullptr;
    Failure& f = it->second;
    unsigned long call = f.seen++;
    if (call < f.setting.after) return nullptr;
    if (f.setting.times != 0 && f.failed >= f.setting.times) return nullptr;
    ++f.failed;
    return &f.setting;
}

const Script* scriptOf(const std::u16string& sql) {
    auto it = state().scripts.find(sql);
    return it == state().scripts.end() ? nullptr : &it->second;
}

dbif_fakerow_t rowOf(DbIfRowBatch* batch, size_t row) {
    dbif_fakerow_t values;
    if (!batch || row >= batch->rows()) return values;
    const dbif_cell_t* cells = batch->row(row);
    for (unsigned i = 0; i < batch->width(); ++i) values.push_back(dbif_fakefromcell(cells[i]));
    return values;
}

}  // namespace

void dbif_fakeputvalue(DbIfRowBatch* batch, size_t row, unsigned col, const dbif_fakevalue_t& v) {
    switch (v.kind) {
        case dbif_kind::null:
            batch->setNull(row, col);
            break;
        case dbif_kind::integer:
            batch->setInteger(row, col, v.integer);
            break;
        case dbif_kind::real:
            batch->setReal(row, col, v.real);
            break;
        case dbif_kind::decimal: {
            std::string ascii(v.text.begin(), v.text.end());
            batch->setDecimal(row, col, ascii.data(), ascii.size());
            break;
        }
        case dbif_kind::text:
            batch->setText(row, col, v.text.data(), v.text.size());
            break;
        case dbif_kind::bytes:
            batch->setBytes(row, col, v.bytes.data(), v.bytes.size());
            break;
    }
}

namespace {

class FakeConnection;

// Statements reach their connection's comm area through this link; the connection cuts it when
// it goes, and its statements fail from then on.
struct Link {
    FakeConnection* connection;
};

class FakeConnection final : public DbIfConnection {
  public:
    FakeConnection() : link_(std::make_shared<Link>(Link{this})) {}
    ~FakeConnection() override { link_->connection = nullptr; }

    int connect() override { return simple(dbif_fakeop::connect, true); }
    int disconnect() override { return simple(dbif_fakeop::disconnect, true); }
    int commit() override { return simple(dbif_fakeop::commit, connected_); }
    int rollback() override { return simple(dbif_fakeop::rollback, connected_); }
    int prepare(const char16_t* sql, int stmtClass,
                std::unique_ptr<DbIfStatement>* statement) override;
    int execute(const char16_t* sql) override;
    int control(int code, dbif_control_t* argument) override;
    int describeNative(const char16_t* table, dbif_cattable_t* out) override;

    dbif_commarea_t& area() { return commArea_; }
    bool connected() const { return connected_; }

    void begin() {
        commArea_.dbCode = 0;
        commArea_.rowCount = 0;
        commArea_.errorText.clear();
    }
    int fail(const dbif_fakefailure_t& f) {
        commArea_.dbCode = f.dbCode;
        commArea_.errorText = f.text;
        return f.rc;
    }
    int notConnected() {
        commArea_.dbCode = -1;
        commArea_.errorText = u"Not connected to the FAKE database";
        return DBIF_RC_DB_ERROR;
    }
    // Appends a record and returns rc.
    int record(dbif_fakeop op, const std::u16string& sql, std::vector<dbif_fakerow_t> params,
               int rc) {
        state().calls.push_back({op, sql, std::move(params), rc});
        return rc;
    }

  private:
    int simple(dbif_fakeop op, bool allowed);

    std::shared_ptr<Link> link_;
    bool connected_ = false;
};

class FakeStatement final : public DbIfStatement {
  public:
    FakeStatement(std::shared_ptr<Link> link, std::u16string sql)
        : link_(std::move(link)), sql_(std::move(sql)), params_(countMarkers(sql_)) {}

    unsigned paramCount() const override { return params_; }
    int begRead(DbIfRowBatch* params) override;
    int describe(std::vector<dbif_coldesc_t>* columns) override;
    int exeRead(DbIfRowBatch* batch, unsigned maxRows) override;
    int endRead() override;
    int modify(DbIfRowBatch* params, unsigned long* processed) override;

  private:
    // The connection for a call, after its comm area was reset; null when it is gone.
    FakeConnection* start() {
        FakeConnection* c = link_->connection;
        if (c) c->begin();
        return c;
    }
    int checkParams(FakeConnection* c, DbIfRowBatch* params, size_t row) {
        unsigned given = params && row < params->rows() ? params->width() : 0;
        if (params_ == 0 || given >= params_) return DBIF_RC_OK;
        c->area().dbCode = -1;
        c->area().errorText =
            ul_format(u"The statement has %u parameters, %u were given", params_, given);
        return DBIF_RC_DB_ERROR;
    }

    std::shared_ptr<Link> link_;
    std::u16string sql_;
    unsigned params_;
    std::vector<dbif_fakerow_t> rows_;  // the result of the current read
    size_t next_ = 0;
};

int FakeConnection::simple(dbif_fakeop op, bool allowed) {
    return dbif_guard(commArea_, [&]() -> int {
        begin();
        if (!allowed) return record(op, u"", {}, notConnected());
        if (op == dbif_fakeop::connect && connected_) {
            commArea_.dbCode = -1;
            commArea_.errorText = u"Already connected to the FAKE database";
            return record(op, u"", {}, DBIF_RC_DB_ERROR);
        }
        if (const dbif_fakefailure_t* f = dueFailure(op, u"")) return record(op, u"", {}, fail(*f));
        if (op == dbif_fakeop::connect) connected_ = true;
        if (op == dbif_fakeop::disconnect) connected_ = false;
        return record(op, u"", {}, DBIF_RC_OK);
    });
}

int FakeConnection::prepare(const char16_t* sql, int, std::unique_ptr<DbIfStatement>* statement) {
    return dbif_guard(commArea_, [&]() -> int {
        begin();
        statement->reset();
        std::u16string text = trimmed(sql);
        if (!connected_) return record(dbif_fakeop::prepare, text, {}, notConnected());
        if (const dbif_fakefailure_t* f = dueFailure(dbif_fakeop::prepare, text)) {
            return record(dbif_fakeop::prepare, text, {}, fail(*f));
        }
        *statement = std::make_unique<FakeStatement>(link_, text);
        return record(dbif_fakeop::prepare, text, {}, DBIF_RC_OK);
    });
}

int FakeConnection::execute(const char16_t* sql) {
    return dbif_guard(commArea_, [&]() -> int {
        begin();
        std::u16string text = trimmed(sql);
        if (!connected_) return record(dbif_fakeop::execute, text, {}, notConnected());
        if (const dbif_fakefailure_t* f = dueFailure(dbif_fakeop::execute, text)) {
            return record(dbif_fakeop::execute, text, {}, fail(*f));
        }
        const Script* s = scriptOf(text);
        commArea_.rowCount = s && s->rowCount ? *s->rowCount : 0;
        return record(dbif_fakeop::execute, text, {}, DBIF_RC_OK);
    });
}

int FakeConnection::control(int code, dbif_control_t* argument) {
    return dbif_guard(commArea_, [&]() -> int {
        begin();
        auto it = state().controls.find(code);
        if (it != state().controls.end()) {
            if (it->second.rc == DBIF_RC_OK) {
                argument->text = it->second.text;
            } else {
                commArea_.dbCode = -1;
                commArea_.errorText = it->second.text;
            }
            return it->second.rc;
        }
        switch (code) {
            case DBIF_CTL_ISOLATION:
            case DBIF_CTL_TRACE:
                return DBIF_RC_OK;
            case DBIF_CTL_USER:
                argument->text = u"fakeuser";
                return DBIF_RC_OK;
            case DBIF_CTL_HOST:
                argument->text = u"localhost";
                return DBIF_RC_OK;
            case DBIF_CTL_VERSION:
            case DBIF_CTL_CLIENT_VERSION:
                argument->text = u"FAKE 1.0";
                return DBIF_RC_OK;
            case DBIF_CTL_SCHEMA:
                argument->text = u"fake";
                return DBIF_RC_OK;
            case DBIF_CTL_CATALOG_DESCRIBE:
            case DBIF_CTL_CATALOG_FLUSH:
            case DBIF_CTL_CATALOG_OBJECTS:
            case DBIF_CTL_CATALOG_DEPENDENCIES:
                return catalogControl(code, argument);
            default:
                return DBIF_RC_NOT_SUPPORTED;
        }
    });
}

int FakeConnection::describeNative(const char16_t* table, dbif_cattable_t* out) {
    const auto& catalog = state().catalog;
    if (catalog.empty()) return DBIF_RC_NOT_SUPPORTED;
    auto it = catalog.find(table);
    if (it == catalog.end() || !it->second) return DBIF_RC_NOT_FOUND;
    *out = *it->second;
    return DBIF_RC_OK;
}

int FakeStatement::begRead(DbIfRowBatch* params) {
    FakeConnection* c = start();
    if (!c) return DBIF_RC_DB_ERROR;
    return dbif_guard(c->area(), [&]() -> int {
        rows_.clear();
        next_ = 0;
        std::vector<dbif_fakerow_t> bound;
        if (params_) bound.push_back(rowOf(params, 0));
        auto done = [&](int rc) { return c->record(dbif_fakeop::begRead, sql_, bound, rc); };
        if (!c->connected()) return done(c->notConnected());
        if (int rc = checkParams(c, params, 0)) return done(rc);
        if (const dbif_fakefailure_t* f = dueFailure(dbif_fakeop::begRead, sql_)) {
            return done(c->fail(*f));
        }
        if (const Script* s = scriptOf(sql_)) rows_ = s->rows;
        return done(DBIF_RC_OK);
    });
}

int FakeStatement::describe(std::vector<dbif_coldesc_t>* columns) {
    FakeConnection* c = start();
    if (!c) return DBIF_RC_DB_ERROR;
    return dbif_guard(c->area(), [&]() -> int {
        columns->clear();
        if (const dbif_fakefailure_t* f = dueFailure(dbif_fakeop::describe, sql_)) {
            return c->record(dbif_fakeop::describe, sql_, {}, c->fail(*f));
        }
        if (const Script* s = scriptOf(sql_)) *columns = s->columns;
        return c->record(dbif_fakeop::describe, sql_, {}, DBIF_RC_OK);
    });
}

int FakeStatement::exeRead(DbIfRowBatch* batch, unsigned maxRows) {
    FakeConnection* c = start();
    if (!c) return DBIF_RC_DB_ERROR;
    return dbif_guard(c->area(), [&]() -> int {
        const Script* s = scriptOf(sql_);
        unsigned width = s ? static_cast<unsigned>(s->columns.size()) : 0;
        batch->reset(width);
        c->area().rowCount = static_cast<long>(next_);
        if (const dbif_fakefailure_t* f = dueFailure(dbif_fakeop::exeRead, sql_)) {
            return c->record(dbif_fakeop::exeRead, sql_, {}, c->fail(*f));
        }
        unsigned limit = std::max(maxRows, 1u);
        while (width > 0 && next_ < rows_.size() && batch->rows() < limit) {
            size_t row = batch->addRow();
            const dbif_fakerow_t& values = rows_[next_++];
            for (unsigned i = 0; i < width && i < values.size(); ++i) {
                dbif_fakeputvalue(batch, row, i, values[i]);
            }
        }
        c->area().rowCount = static_cast<long>(next_);
        size_t rows = batch->rows();
        int rc = rows == 0       ? DBIF_RC_NO_MORE_ROWS
                 : rows == limit ? DBIF_RC_PARTIAL
                                 : DBIF_RC_LAST_BATCH;
        return c->record(dbif_fakeop::exeRead, sql_, {}, rc);
    });
}

int FakeStatement::endRead() {
    FakeConnection* c = start();
    if (!c) return DBIF_RC_DB_ERROR;
    return dbif_guard(c->area(), [&]() -> int {
        c->area().rowCount = static_cast<long>(next_);
        rows_.clear();
        if (const dbif_fakefailure_t* f = dueFailure(dbif_fakeop::endRead, sql_)) {
            return c->record(dbif_fakeop::endRead, sql_, {}, c->fail(*f));
        }
        return c->record(dbif_fakeop::endRead, sql_, {}, DBIF_RC_OK);
    });
}

int FakeStatement::modify(DbIfRowBatch* params, unsigned long* processed) {
    FakeConnection* c = start();
    if (!c) return DBIF_RC_DB_ERROR;
    return dbif_guard(c->area(), [&]() -> int {
        if (!c->connected()) return c->record(dbif_fakeop::modify, sql_, {}, c->notConnected());
        const Script* s = scriptOf(sql_);
        long perRow = s && s->rowCount ? *s->rowCount : 1;
        size_t rows = params ? params->rows() : 1;
        long done = 0;
        int rc = DBIF_RC_OK;
        std::vector<dbif_fakerow_t> bound;
        for (size_t r = 0; r < rows && rc == DBIF_RC_OK; ++r) {
            if (params) bound.push_back(rowOf(params, r));
            rc = params ? checkParams(c, params, r) : checkParams(c, nullptr, 0);
            if (rc == DBIF_RC_OK) {
                if (const dbif_fakefailure_t* f = dueFailure(dbif_fakeop::modify, sql_)) {
                    rc = c->fail(*f);
                }
            }
            if (rc == DBIF_RC_OK) done += perRow;
        }
        c->record(dbif_fakeop::modify, sql_, std::move(bound), rc);
        c->area().rowCount = done;
        if (processed) *processed += static_cast<unsigned long>(done);
        return rc;
    });
}

}  // namespace

dbif_fakevalue_t dbif_fakenull() {
    return dbif_fakevalue_t();
}

dbif_fakevalue_t dbif_fakeint(int64_t value) {
    dbif_fakevalue_t v;
    v.kind = dbif_kind::integer;
    v.integer = value;
    return v;
}

dbif_fakevalue_t dbif_fakereal(double value) {
    dbif_fakevalue_t v;
    v.kind = dbif_kind::real;
    v.real = value;
    return v;
}

dbif_fakevalue_t dbif_fakedecimal(const char16_t* text) {
    dbif_fakevalue_t v;
    v.kind = dbif_kind::decimal;
    v.text = text;
    return v;
}

dbif_fakevalue_t dbif_faketext(const char16_t* text) {
    dbif_fakevalue_t v;
    v.kind = dbif_kind::text;
    v.text = text;
    return v;
}

dbif_fakevalue_t dbif_fakebytes(std::vector<unsigned char> bytes) {
    dbif_fakevalue_t v;
    v.kind = dbif_kind::bytes;
    v.bytes = std::move(bytes);
    return v;
}

dbif_fakevalue_t dbif_fakefromcell(const dbif_cell_t& cell) {
    dbif_fakevalue_t v;
    v.kind = cell.kind;
    switch (cell.kind) {
        case dbif_kind::null:
            break;
        case dbif_kind::integer:
            v.integer = cell.integer;
            break;
        case dbif_kind::real:
            v.real = cell.real;
            break;
        case dbif_kind::decimal:
        case dbif_kind::text:
            v.text.assign(cell.text, cell.length);
            break;
        case dbif_kind::bytes:
            v.bytes.assign(cell.bytes, cell.bytes + cell.length);
            break;
    }
    return v;
}

void dbif_fake_register() {
    dbif_fake_reset();
    dbif_register(u"FAKE", []() -> std::unique_ptr<DbIfConnection> {
        return std::make_unique<FakeConnection>();
    });
}

void dbif_fake_reset() {
    state() = State();
}

void dbif_fake_setresult(const char16_t* sql, std::vector<dbif_coldesc_t> columns,
                         std::vector<dbif_fakerow_t> rows) {
    Script& s = state().scripts[trimmed(sql)];
    s.columns = std::move(columns);
    s.rows = std::move(rows);
}

void dbif_fake_setrowcount(const char16_t* sql, long rows) {
    state().scripts[trimmed(sql)].rowCount = rows;
}

void dbif_fake_setfailure(dbif_fakeop op, const char16_t* sql, dbif_fakefailure_t failure) {
    state().failures[{op, trimmed(sql)}] = Failure{std::move(failure)};
}

void dbif_fake_setcontrol(int code, int rc, const char16_t* text) {
    state().controls[code] = ControlAnswer{rc, text ? text : u""};
}

void dbif_fake_setcatalog(const char16_t* table, const dbif_cattable_t* description) {
    if (!table) return;
    state().catalog[table] = description ? std::optional(*description) : std::nullopt;
}

const std::vector<dbif_fakecall_t>& dbif_fake_calls() {
    return state().calls;
}

std::vector<std::u16string> dbif_fake_statements() {
    std::vector<std::u16string> texts;
    for (const dbif_fakecall_t& c : state().calls) {
        if (c.op == dbif_fakeop::execute || c.op == dbif_fakeop::begRead ||
            c.op == dbif_fakeop::modify) {
            texts.push_back(c.sql);
        }
    }
    return texts;
}

std::vector<dbif_fakerow_t> dbif_fake_modifiedrows(const char16_t* sql) {
    std::u16string text = trimmed(sql);
    std::vector<dbif_fakerow_t> rows;
    for (const dbif_fakecall_t& c : state().calls) {
        if (c.op != dbif_fakeop::modify || c.sql != text) continue;
        size_t n = c.params.size();
        if (c.rc != DBIF_RC_OK && n > 0) --n;
        rows.insert(rows.end(), c.params.begin(), c.params.begin() + static_cast<long>(n));
    }
    return rows;
}

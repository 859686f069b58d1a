// The engine "FAULTY": a wrapper that fails the Nth call (dbif_faulty.h).
#include "dbif_faulty.h"

#include <memory>
#include <string>
#include <utility>

#include "dbif_engines.h"

namespace {

struct Config {
    std::u16string inner;
    unsigned long failAt = 0;
    int rc = DBIF_RC_DB_ERROR;
    std::u16string text;
    unsigned long calls = 0;
};

Config& config() {
    static Config c;
    return c;
}

// Counts a call; true when it is the one to fail.
bool failsNow() {
    Config& c = config();
    return ++c.calls == c.failAt;
}

class FaultyConnection;

// Statements reach their connection's comm area through this link; the connection cuts it when
// it goes.
struct Link {
    FaultyConnection* connection;
};

class FaultyConnection final : public DbIfConnection {
  public:
    explicit FaultyConnection(std::unique_ptr<DbIfConnection> inner)
        : inner_(std::move(inner)), link_(std::make_shared<Link>(Link{this})) {}
    ~FaultyConnection() override { link_->connection = nullptr; }

    int connect() override {
        return pass([&] { return inner_->connect(); });
    }
    int disconnect() override {
        return pass([&] { return inner_->disconnect(); });
    }
    int commit() override {
        return pass([&] { return inner_->commit(); });
    }
    int rollback() override {
        return pass([&] { return inner_->rollback(); });
    }
    int prepare(const char16_t* sql, int stmtClass,
                std::unique_ptr<DbIfStatement>* statement) override;
    int execute(const char16_t* sql) override {
        return pass([&] { return inner_->execute(sql); });
    }
    int control(int code, dbif_control_t* argument) override {
        return pass([&] { return inner_->control(code, argument); });
    }

    // Runs call on the inner engine unless this is the call that fails.
    template <class Call>
    int pass(Call&& call) {
        return dbif_guard(commArea_, [&]() -> int {
            if (failsNow()) return fail();
            int rc = call();
            commArea_ = inner_->commArea();
            return rc;
        });
    }
    int fail() {
        commArea_.dbCode = -1;
        commArea_.rowCount = 0;
        commArea_.errorText = config().text;
        return config().rc;
    }

  private:
    std::unique_ptr<DbIfConnection> inner_;
    std::shared_ptr<Link> link_;
};

class FaultyStatement final : public DbIfStatement {
  public:
    FaultyStatement(std::shared_ptr<Link> link, std::unique_ptr<DbIfStatement> inner)
        : link_(std::move(link)), inner_(std::move(inner)) {}

    unsigned paramCount() const override { return inner_->paramCount(); }
    int begRead(DbIfRowBatch* params) override {
        return pass([&] { return inner_->begRead(params); });
    }
    int describe(std::vector<dbif_coldesc_t>* columns) override {
        return pass([&] { return inner_->describe(columns); });
    }
    int exeRead(DbIfRowBatch* batch, unsigned maxRows) override {
        batch->clear();  // a failing call delivers no rows
        return pass([&] { return inner_->exeRead(batch, maxRows); });
    }
    int endRead() override {
        return pass([&] { return inner_->endRead(); });
    }
    int modify(DbIfRowBatch* params, unsigned long* processed) override {
        return pass([&] { return inner_->modify(params, processed); });
    }

  private:
    template <class Call>
    int pass(Call&& call) {
        FaultyConnection* c = link_->connection;
        if (!c) return call();  // the inner statement knows its connection is gone
        return c->pass(std::forward<Call>(call));
    }

    std::shared_ptr<Link> link_;
    std::unique_ptr<DbIfStatement> inner_;
};

int FaultyConnection::prepare(const char16_t* sql, int stmtClass,
                              std::unique_ptr<DbIfStatement>* statement) {
    statement->reset();
    return pass([&]() -> int {
        std::unique_ptr<DbIfStatement> inner;
        int rc = inner_->prepare(sql, stmtClass, &inner);
        if (rc == DBIF_RC_OK)
            *statement = std::make_unique<FaultyStatement>(link_, std::move(inner));
        return rc;
    });
}

std::unique_ptr<DbIfConnection> createFaulty() {
    std::unique_ptr<DbIfConnection> inner = dbif_open(config().inner.c_str());
    if (!inner) return nullptr;
    return std::make_unique<FaultyConnection>(std::move(inner));
}

}  // namespace

void dbif_faulty_register(const char16_t* inner) {
    dbif_faulty_set(inner, 0, DBIF_RC_DB_ERROR, u"");
    dbif_register(u"FAULTY", createFaulty);
}

void dbif_faulty_set(const char16_t* inner, unsigned long failAt, int rc, const char16_t* text) {
    Config& c = config();
    c.inner = inner ? inner : u"";
    c.failAt = failAt;
    c.rc = rc;
    c.text = text ? text : u"";
    c.calls = 0;
}

unsigned long dbif_faulty_calls() {
    return config().calls;
}

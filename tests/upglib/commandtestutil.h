// A fixture for commands that work on tables of fixed names: the tables live in a fresh place
// (a schema of this process on PostgreSQL, found through the search path; the temporary
// database file on SQLite), and the command runs in this process with its log captured.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "sqltestutil.h"
#include "tabrix.h"

class CommandEngineTest : public ::testing::TestWithParam<const char*> {
  protected:
    // The tables to create (statements) and to drop at the end (names).
    void open(const std::vector<std::string>& creates, std::vector<std::string> tables) {
        ul_msgwrite_reset();
        ul_sqlresetglobalflags();
        std::string why;
        if (!session_.open(GetParam(), &why)) GTEST_SKIP() << why;
        if (session_.isPg()) {
            schema_ = "cmd" + std::to_string(getpid());
            pgOptions_ =
                std::make_unique<ScopedEnv>("PGOPTIONS", ("-c search_path=" + schema_).c_str());
        }
        tables_ = std::move(tables);
        ASSERT_EQ(ul_sqlconnect2(UL_CONNECT_QUIET), 0) << u8(errorText());
        if (session_.isPg()) exec("CREATE SCHEMA " + schema_);
        for (const std::string& sql : creates) exec(sql);
        ASSERT_EQ(ul_sqldisconnect(0), 0);
        ASSERT_EQ(ul_msgwrite_register(u"TQ", UL_TQMessages), 0);
    }
    void TearDown() override {
        if (!schema_.empty()) {
            for (const std::string& table : tables_) exec("DROP TABLE \"" + table + "\"");
            exec("DROP SCHEMA " + schema_);
            (void)ul_sqldisconnect(0);  // cleanup only
        }
        ul_msgwrite_reset();
        ul_sqlresetglobalflags();
    }
    static void exec(const std::string& sql) {
        if (!ul_sqlisconnected()) {
            ASSERT_EQ(ul_sqlconnect2(UL_CONNECT_QUIET), 0);
        }
        ASSERT_GE(ULSQLStmt::run(w(sql).c_str(), nullptr, 0, nullptr, nullptr, 0), 0)
            << sql << ": " << u8(errorText());
    }
    // The rows of a query, columns joined by "|".
    static std::vector<std::string> query(const std::string& sql) {
        std::vector<std::string> out;
        if (!ul_sqlisconnected() && ul_sqlconnect2(UL_CONNECT_QUIET) != 0) return out;
        CollectRows rows;
        EXPECT_EQ(ULSQLStmt::run(w(sql).c_str(), nullptr, 0, &rows, nullptr, 0), 0) << sql;
        for (const CollectRows::Row& r : rows.rows) {
            if (!(r.flags & UL_ROW_DATA)) continue;
            std::string line;
            for (size_t i = 0; i < r.texts.size(); ++i)
                line += (i ? "|" : "") + u8(r.texts[i].value_or(u"<null>"));
            out.push_back(line);
        }
        (void)ul_sqldisconnect(0);
        return out;
    }
    // Runs a command handler with the words as argv[0..]; the log (and the error text behind
    // "ERROR: ") goes to *log.
    static int run(ul_cmdhandler_t handler, const std::vector<std::string>& words,
                   std::string* log) {
        if (ul_sqlisconnected()) (void)ul_sqldisconnect(0);
        MemoryStream stream;
        ul_msgwrite_setfp(stream.get());
        std::vector<std::u16string> texts;
        for (const std::string& word : words) texts.push_back(w(word));
        std::vector<const char16_t*> argv;
        for (const std::u16string& t : texts) argv.push_back(t.c_str());
        argv.push_back(nullptr);
        const int rc = handler(static_cast<unsigned>(texts.size()), argv.data());
        ul_msgwrite_setfp(nullptr);
        *log = stream.text() + (rc < 0 ? "ERROR: " + u8(errorText()) : "");
        if (ul_sqlisconnected()) (void)ul_sqldisconnect(UL_DISCONNECT_NOCOMMIT);
        return rc;
    }

    EngineSession session_;
    TempDir dir_;

  private:
    std::unique_ptr<ScopedEnv> pgOptions_;
    std::string schema_;
    std::vector<std::string> tables_;
};

// The text PostgreSQL gets for a statement of the tool: one table of statements, each with its
// text for a schema in upper case and for one in lower case.
#include "dbif_pgsqltext.h"

#include <gtest/gtest.h>

#include <iterator>
#include <regex>
#include <string>

#include "ulstring.h"

namespace {

struct Case {
    const char16_t* sql;
    const char* upper;  // dbs_pgsql_namecase=upper
    const char* lower;  // dbs_pgsql_namecase=lower
};

const Case kCases[] = {
    // The fixed statement of dbping; keywords stay.
    {u"SELECT * FROM SVERS", R"(SELECT * FROM "SVERS")", R"(SELECT * FROM "svers")"},
    // Quoted names of generated statements take the schema's case; markers get numbers.
    {u"SELECT \"K\" FROM \"T1\" WHERE \"K\" > ?", R"(SELECT "K" FROM "T1" WHERE "K" > $1)",
     R"(SELECT "k" FROM "t1" WHERE "k" > $1)"},
    {u"SELECT \"lc\", \"A\"\"B\" FROM \"DDNTT~\"", R"(SELECT "LC", "A""B" FROM "DDNTT~")",
     R"(SELECT "lc", "a""b" FROM "ddntt~")"},
    // Unquoted columns of the nametab queries; names like unreserved keywords are names.
    {u"SELECT TABTYPE, VERSION, TEXT, KEY, VALUE FROM T WHERE TABNAME = ?",
     R"(SELECT "TABTYPE", "VERSION", "TEXT", "KEY", "VALUE" FROM "T" WHERE "TABNAME" = $1)",
     R"(SELECT "tabtype", "version", "text", "key", "value" FROM "t" WHERE "tabname" = $1)"},
    // Mixed case is a name too; lower case is PostgreSQL's own (catalogue, functions, types).
    {u"SELECT Tabname, a.attname FROM pg_catalog.pg_class c WHERE c.oid = to_regclass(?)",
     R"(SELECT "TABNAME", a.attname FROM pg_catalog.pg_class c WHERE c.oid = to_regclass($1))",
     R"(SELECT "tabname", a.attname FROM pg_catalog.pg_class c WHERE c.oid = to_regclass($1))"},
    // Literals, comments and dollar quotes stay; so do literal prefixes.
    {u"SELECT 'SVERS', X'0A', E'\\'A', U&'B' FROM T -- T ?\n/* T ? */ WHERE V = $$A?$$",
     "SELECT 'SVERS', X'0A', E'\\'A', U&'B' FROM \"T\" -- T ?\n/* T ? */ WHERE \"V\" = $$A?$$",
     "SELECT 'SVERS', X'0A', E'\\'A', U&'B' FROM \"t\" -- T ?\n/* T ? */ WHERE \"v\" = $$A?$$"},
    // Functions and types directly followed by "(", keywords, numbers.
    {u"SELECT COUNT(*), CAST(K AS INTEGER), SUBSTR(V, 1E2) FROM T WHERE K IS NOT NULL",
     R"(SELECT COUNT(*), CAST("K" AS INTEGER), SUBSTR("V", 1E2) FROM "T" WHERE "K" IS NOT NULL)",
     R"(SELECT COUNT(*), CAST("k" AS INTEGER), SUBSTR("v", 1E2) FROM "t" WHERE "k" IS NOT NULL)"},
    // The row-number split statement: aliases and qualified names are names.
    {u"SELECT \"K\" FROM ( SELECT \"K\", ROW_NUMBER() OVER( ORDER BY \"K\" ) AS ROWN FROM \"T\") "
     u"AS Q WHERE MOD(Q.ROWN, 3) = 0",
     R"(SELECT "K" FROM ( SELECT "K", ROW_NUMBER() OVER( ORDER BY "K" ) AS "ROWN" FROM "T") AS "Q" WHERE MOD("Q"."ROWN", 3) = 0)",
     R"(SELECT "k" FROM ( SELECT "k", ROW_NUMBER() OVER( ORDER BY "k" ) AS "rown" FROM "t") AS "q" WHERE MOD("q"."rown", 3) = 0)"},
    // Definitions: a table before its column list, PRIMARY KEY, IF EXISTS, object kinds.
    {u"CREATE TABLE IF NOT EXISTS T(K INTEGER PRIMARY KEY, V VARCHAR(28) NOT NULL)",
     R"(CREATE TABLE IF NOT EXISTS "T"("K" INTEGER PRIMARY KEY, "V" VARCHAR(28) NOT NULL))",
     R"(CREATE TABLE IF NOT EXISTS "t"("k" INTEGER PRIMARY KEY, "v" VARCHAR(28) NOT NULL))"},
    {u"INSERT INTO T(K) VALUES(?); DROP INDEX IF EXISTS I; DEALLOCATE ALL",
     R"(INSERT INTO "T"("K") VALUES($1); DROP INDEX IF EXISTS "I"; DEALLOCATE ALL)",
     R"(INSERT INTO "t"("k") VALUES($1); DROP INDEX IF EXISTS "i"; DEALLOCATE ALL)"},
    // No marker in nested comments, quoted names, tagged dollar quotes, escaped or doubled quotes
    // and hint phrases.
    {u"SELECT /* ? /* ? */ ? */ ? \"?\", $q$ '? $q$, E'\\'?', 'it''s ?', ? #DBIF_HINT(PG, 'a ?') "
     u"AS A",
     R"(SELECT /* ? /* ? */ ? */ $1 "?", $q$ '? $q$, E'\'?', 'it''s ?', $2   AS "A")",
     R"(SELECT /* ? /* ? */ ? */ $1 "?", $q$ '? $q$, E'\'?', 'it''s ?', $2   AS "a")"},
    // Hint phrases go; letters beyond ASCII keep their case, as PostgreSQL folds them.
    {u"SELECT #DBIF_HINT(index(T K)) \u00c4B FROM T", "SELECT   \"\u00c4B\" FROM \"T\"",
     "SELECT   \"\u00c4b\" FROM \"t\""},
};

// The statement's parameter count is the number of markers numbered.
TEST(DbifPgsqlText, IdentifiersReachTheServerQuotedInTheSchemasCase) {
    for (const Case& c : kCases) {
        const std::string what = ul_utf16to8(c.sql);
        std::string out;
        const long markers = dbif_pgconvertsql(c.sql, true, dbif_pgnamecase::upper, &out);
        EXPECT_EQ(out, c.upper) << what;
        const std::regex numbered("\\$[0-9]+");
        EXPECT_EQ(markers, std::distance(std::sregex_iterator(out.begin(), out.end(), numbered),
                                         std::sregex_iterator()))
            << what;
        dbif_pgconvertsql(c.sql, true, dbif_pgnamecase::lower, &out);
        EXPECT_EQ(out, c.lower) << what;
    }
    std::string out;
    EXPECT_EQ(
        dbif_pgconvertsql(u"SELECT #DBIF_HINT(x K FROM T", true, dbif_pgnamecase::upper, &out), -1);
}

}  // namespace

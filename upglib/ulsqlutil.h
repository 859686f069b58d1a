// Session settings of the SQL layer that do not need a database connection: which nametab
// tables describe the tables (a standard and an optional alternate set, each chosen by a
// nametab type or an explicit suffix), the suffix of the application tables, and the
// database's separator characters from which the standard suffixes are built.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>

// Nametab types. Types 2 to 4 build their suffix from the first separator character.
enum : unsigned {
    UL_NTTYPE_OFF = 0,      // nametab access disabled
    UL_NTTYPE_STD = 1,      // DDNTT, DDNTF, DDNTT_HIST
    UL_NTTYPE_SHD = 2,      // separator once: DDNTT~
    UL_NTTYPE_BRI = 3,      // separator twice: DDNTT~~
    UL_NTTYPE_SWOLD = 4,    // separator twice and "OLD": DDNTT~~OLD
    UL_NTTYPE_SUFFIX = 10,  // explicit suffix
};

// Nametab slots.
enum : int { UL_NTSLOT_STANDARD = 0, UL_NTSLOT_ALTERNATE = 1 };

// Flags of ul_sqlntsettype.
enum : int {
    UL_NTSET_ALTERNATE = 1,    // set the alternate slot instead of the standard one
    UL_NTSET_KEEPCURRENT = 2,  // do not change the current slot
};

// Selectors of ul_ntgetname; without UL_NTNAME_DDNTF or UL_NTNAME_HIST the DDNTT name.
enum : int {
    UL_NTNAME_DDNTF = 1,
    UL_NTNAME_ALTERNATE = 2,  // the alternate slot instead of the current one
    UL_NTNAME_HIST = 4,       // DDNTT_HIST; not together with UL_NTNAME_DDNTF
};

// Longest nametab suffix and table suffix in code units (terminator not counted).
constexpr size_t UL_NTSUFFIXMAX = 20;
constexpr size_t UL_TABSUFFIXMAX = 20;
// Longest nametab table name in code units (terminator not counted).
constexpr size_t UL_NTNAMEMAX = 39;

// Sets the type of a slot. Type 10 takes the suffix; type 10 without a (non-empty) suffix
// clears the slot's suffix and leaves the slot unconfigured; type 0 stores the type only;
// types 1 to 4 derive the suffix. Types 1 to 4 and type 10 with a suffix mark the slot as
// configured. Unless UL_NTSET_KEEPCURRENT is given, the alternate slot becomes current when
// it is configured, the standard one otherwise. Returns 0, or -1 for an invalid type
// ("Invalid suffix type %d") or a suffix longer than UL_NTSUFFIXMAX.
[[nodiscard]] int ul_sqlntsettype(unsigned type, const char16_t* suffix, int flags);

// The type of a slot (0 or 1), or -1 for another slot number.
[[nodiscard]] int ul_sqlntgettype(int slot);
// 1 when the alternate slot is configured, else 0.
[[nodiscard]] int ul_sqlnthavealttype();
// The current slot, 0 or 1.
[[nodiscard]] int ul_sqlntcurrentslot();
// The suffix of a slot (empty for type 0 and 1), or null for another slot number.
const char16_t* ul_sqlntgetsuffix(int slot);

// Flags of ul_sqlntswitch.
enum : int { UL_NTSWITCH_RESETCACHE = 2 };  // also reset the nametab reader's cache
// Only reports the current slot.
constexpr unsigned UL_NTSLOT_REPORT = ~0u;
// Makes a slot current for every nametab read that follows; a set made current directly with
// ULNameTab::setNameTab is dropped (by the reader's switch hook), so that the reader follows
// the slot. Returns the slot, or
// -1 with "Nametab access disabled", "No alternative nametab configured" or "Invalid nametab
// slot %d".
[[nodiscard]] int ul_sqlntswitch(unsigned slot, int flags = 0);
// The nametab reader, a module above this one, registers here what a slot switch must drop:
// the hook runs before the switch with the flags of ul_sqlntswitch, and its -1 (reason set)
// fails the switch. Registering a hook twice has no effect.
void ul_sqlntaddswitchhook(int (*hook)(int flags));

// A nametab table name of the current slot (or of the alternate one, UL_NTNAME_ALTERNATE),
// valid until the slot is set again. Null with the reason in the error buffer when the
// standard or the selected slot has type 0 ("Nametab access disabled") or the alternate
// slot is asked for but not configured ("No alternative nametab configured").
const char16_t* ul_ntgetname(int which);

// Nametab type of a keyword "off", "std", "shd", "bri" or "swold" (case-insensitive): 0 to 4;
// -1 for any other text. Sets no error text; the caller names the context.
[[nodiscard]] int ul_sqlntgettypefromstring(const char16_t* keyword);

// The database's separator characters: the first for kind 1, the second for kind 3, the
// third for every other kind.
char16_t ul_sqlgetseparator(int kind);
// The three separator characters of the database in use.
const char16_t* ul_sqlcurrentseparators();

// Sets the table suffix: type 10 takes the suffix (null clears it), type 0 clears it, types
// 1 to 4 derive it like the nametab suffix. Returns 0 or -1 ("Invalid suffix type %d", or
// a suffix longer than UL_TABSUFFIXMAX).
[[nodiscard]] int ul_sqltablesuffixsettype(unsigned type, const char16_t* suffix);
// Sets the table suffix (null or empty: none). Returns 0 or -1 when it is too long.
[[nodiscard]] int ul_sqltabsuffixset(const char16_t* suffix);
// The table suffix, or null when none is set.
const char16_t* ul_sqltabsuffixget();
// 1 when a table suffix is set and name is longer than it and ends with it, else 0.
[[nodiscard]] int ul_sqltabsuffixendswith(const char16_t* name);
// Removes the table suffix from the end of name in place when ul_sqltabsuffixendswith says
// so. Returns 1 when removed, 0 otherwise.
[[nodiscard]] int ul_sqltabsuffixcut(char16_t* name);
// Compares two table names like ul_strcmp after removing the table suffix from each.
[[nodiscard]] int ul_sqltabsuffixcompare(const char16_t* a, const char16_t* b);
// Writes name followed by the table suffix. Returns the length, or -1 when out is too small.
[[nodiscard]] int ul_sqltabsuffixadd(char16_t* out, unsigned size, const char16_t* name);

// Suffix sources of ul_sqladdsuffix.
enum : int { UL_SUFFIX_TABLE = 0, UL_SUFFIX_NTSTANDARD = 1, UL_SUFFIX_NTALTERNATE = 2 };
// Writes name followed by the table suffix, the standard or the alternate nametab suffix.
// Returns the length, or -1 when out is too small or flags is none of the three.
[[nodiscard]] int ul_sqladdsuffix(char16_t* out, unsigned size, const char16_t* name, int flags);

// Writes name without the table suffix. Returns the length, or -1 when out is too small.
[[nodiscard]] int ul_ntrealtablename(char16_t* out, unsigned size, const char16_t* name);

// Normalises a nametab table name for comparisons across variants: "DD" + N|X + "T" + T|F
// followed by the end, "~" or "?" gets "_2B" behind its first five characters, and the same
// prefix with "_CONV_UC" followed by the end, "~" or "?" gets "_1B" in place of "_CONV_UC".
// Any other name is copied unchanged. Returns the length, or -1 when out is too small.
[[nodiscard]] int ul_sqlnametabnormalize(char16_t* out, unsigned size, const char16_t* name);

enum : int { UL_NAMETABS_WITHREPO = 1 };  // include "REPOSRC_ADM"
// 1 when name (exactly, case-sensitive) is one of the nametab tables, else 0.
[[nodiscard]] int ul_sqltableisnametab(const char16_t* name, int flags);

// A table of the nametab itself, known by name.
struct ul_nametabdef_t {
    const char16_t* name;
    const char16_t* companion;  // null when the table has none
    unsigned nkeys;             // number of key fields
    bool onRequest;             // only listed with UL_NAMETABS_WITHREPO
};
extern const ul_nametabdef_t NameTabs[];
extern const size_t NameTabsCount;

struct ul_dllist_t;
// Appends the names of the nametab tables to list as string nodes, in table order. Returns
// the number appended, or -1 when out of memory.
[[nodiscard]] int ul_sqltablegetnametabs(ul_dllist_t* list, int flags);

// ---- quoting ------------------------------------------------------------------------------

enum : int {
    UL_QUOTE_TABSUFFIX = 1,     // append the table suffix
    UL_QUOTE_ALWAYS = 2,        // quote with "\"%s\"" whatever the database
    UL_QUOTE_PARENTHESES = 4,   // quote an upper-cased name even when it holds "("
    UL_QUOTE_KEEPCASE = 8,      // never upper-case
    UL_QUOTE_NTSTANDARD = 16,   // append the standard nametab suffix (not with TABSUFFIX)
    UL_QUOTE_NTALTERNATE = 32,  // append the alternate nametab suffix (not with the two above)
};
// Writes name as statements use it: the suffix chosen by flags appended (at most 255 code
// units), upper-cased when the global flag objname2upper is set (unless UL_QUOTE_KEEPCASE),
// and quoted with the database's quoting format, every double quote doubled. A name that
// holds "(" and no double quote is an expression and stays unquoted, unless
// UL_QUOTE_PARENTHESES is given and the name was upper-cased. Without a database to ask, only
// UL_QUOTE_ALWAYS quotes. Returns the length, or -1 when the name is too long or out is too
// small.
[[nodiscard]] int ul_sqlquotetable(char16_t* out, unsigned size, const char16_t* name, int flags);
// ul_sqlquotetable appended to a statement being built: 0, or -1 as ul_sqlquotetable.
[[nodiscard]] int ul_sqlappendquotedname(std::u16string* sql, const char16_t* name, int flags);

// A statement from a format: every "{NAME}" becomes NAME quoted as the database wants table
// and column names (so that every engine finds them as written), "{%s}" the next of the values
// quoted so, and every other "%s" the next of the values as it stands. Returns 0, or -1
// (too few values, a "{" without "}", a name too long).
[[nodiscard]] int ul_sqlquotenames(std::u16string* out, const char16_t* format,
                                   std::initializer_list<std::u16string_view> values);

// Locking reads on the connected database (its ul_sqlrowlock_t). The hint that follows the
// table name and the clause that ends a query reading rows to claim them, appended to a
// statement being built: 0, or -1 when memory runs out; nothing is appended when the engine
// has none.
[[nodiscard]] int ul_sqlappendlockhint(std::u16string* sql);
[[nodiscard]] int ul_sqlappendlockclause(std::u16string* sql);
// On an engine without row locks, takes the database's write lock now (quotedTable: a table
// the transaction changes); on the others nothing. Must be the transaction's first statement.
// Returns 0, or -1 with the database's error.
[[nodiscard]] int ul_sqltakewritelock(const char16_t* quotedTable);

// ---- schemas and the view layer -----------------------------------------------------------
//
// Only the in-memory database (type ZDB) may run a view layer: one database user whose tables
// are seen through a blue and a green tools schema, one of them active. Every other database
// is never a view-layer system. All results need a connection and are kept until disconnect.

// Selectors of ul_sqlgetdbschema0.
enum : unsigned {
    UL_SCHEMA_USER = 0,          // the database user (after the view-layer checks)
    UL_SCHEMA_WORK = 1,          // the schema to work in
    UL_SCHEMA_TOOLSBLUE = 2,     // the tools schema of the blue side
    UL_SCHEMA_TOOLSGREEN = 3,    // the tools schema of the green side
    UL_SCHEMA_USERPLAIN = 4,     // the database user, without view-layer handling
    UL_SCHEMA_ACCEPTEMPTY = 16,  // added: an empty result is no error
};
// The schema a selector names, or null with the reason ("Getting DB user failed", "Getting
// DB schema failed", "Empty value for database schema #%d", "Invalid database schema
// selector %u", or a failing view-layer determination). Valid until disconnect.
const char16_t* ul_sqlgetdbschema0(unsigned selector);

// Active sides of a view-layer system.
enum : int { UL_VIEWLAYER_BLUE = 1, UL_VIEWLAYER_GREEN = 2 };
enum : int { UL_VIEWLAYER_REDETERMINE = 1 };  // flag: determine again instead of the kept result
// 0 for no view-layer system, else the active side (1 blue, 2 green); -1 on error.
[[nodiscard]] int ul_sqlisviewlayer(int flags);

enum : int { UL_VLTABLE_HIGHEST = 1 };  // flag: the highest ordinal instead of the lowest
// The physical name of a logical table on a view-layer system, where table T may exist as T
// (ordinal 0) and as T#n (ordinal n). Returns 1 with the name and its ordinal, 0 when neither
// exists, -1 on error ("Invalid database setup: too many tables found: '%s', '%s', and '%s'"
// for three or more). On other systems the name itself with ordinal 0, result 1.
[[nodiscard]] int ul_sqlvlgetacttablename(char16_t* out, unsigned size, unsigned* ordinal,
                                          const char16_t* name, int flags);

// Run (as a session hook of ulsqlbase) once the in-memory database is connected: determines the
// view layer and, on a view-layer system, makes the active tools schema current ("set schema").
[[nodiscard]] int ul_sqlviewlayerconnected();
// Forgets the schemas and the view-layer result; a session hook that runs when a connection is
// made or ends.
void ul_sqlresetschemas();

// The database host of the connection. Returns the length, or -1 ("Getting DB host failed",
// or out too small).
[[nodiscard]] int ul_sqlgetdbhost(char16_t* out, unsigned size);

// Back to the start state: both slots type 1 without suffix and unconfigured, the standard
// slot current, no table suffix.
void ul_sqlresetsession();

#include "ulsqlaux.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <string_view>

#include "ulerror.h"
#include "ulmsgwrite.h"
#include "ulstring.h"
#include "ulstring2.h"
#include "ultrace.h"

namespace {

enum class FlagWord { Sql, Crc, Nt, Sort };

// Public options are listed by "help"; special ones only by "help2" and above, because
// they are meant for analysis together with development support.
enum class Audience { Public, Special };

struct FlagKeyword {
    const char16_t* name;
    FlagWord word;
    unsigned bit;
    bool defaultOn;
    Audience audience;
    // "On" means the bit is cleared: the bit records the deviation from the usual behaviour.
    bool inverted;
    const char16_t* help;
};

constexpr FlagKeyword kFlagKeywords[] = {
    {u"ignoreddictype", FlagWord::Sql, UL_SQLFLAG_IGNOREDDICTYPE, false, Audience::Special, false,
     u"do not map dictionary types to database types"},
    {u"corrlongdatalength", FlagWord::Sql, UL_SQLFLAG_CORRLONGDATALENGTH, false, Audience::Public,
     false, u"correct long character/raw length fields"},
    {u"corrclustlongdatalength", FlagWord::Sql, UL_SQLFLAG_CORRCLUSTLONGDATALENGTH, true,
     Audience::Public, false, u"correct long length fields in logical cluster tables"},
    {u"keepsyntax", FlagWord::Sql, UL_SQLFLAG_KEEPSYNTAX, false, Audience::Public, false,
     u"do not rewrite statements (hex values, empty strings)"},
    {u"sqlhints", FlagWord::Sql, UL_SQLFLAG_SQLHINTS, true, Audience::Public, false,
     u"use statement hints"},
    {u"migtablesnametab", FlagWord::Sql, UL_SQLFLAG_MIGTABLESNAMETAB, false, Audience::Special,
     false, u"use the nametab interface in migtables"},
    {u"lobspiecewise", FlagWord::Sql, UL_SQLFLAG_NOLOBSPIECEWISE, true, Audience::Public, true,
     u"read long values piecewise"},
    {u"sqlstringcompare", FlagWord::Sql, UL_SQLFLAG_SQLSTRINGCOMPARE, false, Audience::Special,
     false, u"special comparison function for SQL strings"},
    {u"sqlcharkeepnullbytes", FlagWord::Sql, UL_SQLFLAG_SQLCHARKEEPNULLBYTES, false,
     Audience::Special, false, u"keep null bytes in character values"},
    {u"hexformat0x", FlagWord::Sql, UL_SQLFLAG_HEXFORMAT0X, false, Audience::Special, false,
     u"hex literals in the form 0x..."},
    {u"estimatecount", FlagWord::Sql, UL_SQLFLAG_ESTIMATECOUNT, true, Audience::Public, false,
     u"use estimated row counts where requested"},
    {u"checksplits4dbhextype", FlagWord::Sql, UL_SQLFLAG_CHECKSPLITS4DBHEXTYPE, true,
     Audience::Public, false, u"check for types the database cannot compare natively"},
    {u"checkbcdnumbersexactly", FlagWord::Sql, UL_SQLFLAG_CHECKBCDNUMBERSEXACTLY, false,
     Audience::Special, false, u"reject packed numbers with sign nibbles a, b, e, f"},
    {u"sqlinsertemptyasnull", FlagWord::Sql, UL_SQLFLAG_SQLINSERTEMPTYASNULL, false,
     Audience::Special, false, u"bind empty values as NULL"},
    {u"check4tablepartitions", FlagWord::Sql, UL_SQLFLAG_CHECK4TABLEPARTITIONS, false,
     Audience::Public, false, u"respect table partitions when splitting"},
    {u"q7ldforcequoting", FlagWord::Sql, UL_SQLFLAG_Q7LDFORCEQUOTING, false, Audience::Special,
     false, u"force quoting of names in structure files"},
    {u"objname2upper", FlagWord::Sql, UL_SQLFLAG_OBJNAME2UPPER, true, Audience::Public, false,
     u"object names to upper case"},
    {u"sqlcstylecomments", FlagWord::Sql, UL_SQLFLAG_SQLCSTYLECOMMENTS, true, Audience::Special,
     false, u"accept C-style comments in statements"},
    {u"squarebracketidents", FlagWord::Sql, UL_SQLFLAG_SQUAREBRACKETIDENTS, false,
     Audience::Special, false, u"recognise identifiers in square brackets"},
    {u"checkobjntoffsets", FlagWord::Sql, UL_SQLFLAG_CHECKOBJNTOFFSETS, true, Audience::Special,
     false, u"verify that nametab offsets of objects do not overlap"},
    {u"crccommentlines", FlagWord::Crc, UL_SQLCRCFLAG_COMMENTLINES, true, Audience::Public, false,
     u"comment lines in checksum files"},
    {u"crcsortdupalways", FlagWord::Crc, UL_SQLCRCFLAG_SORTDUPALWAYS, false, Audience::Public,
     false, u"always sort for duplicate rows"},
    {u"crcfilterbadchar", FlagWord::Crc, UL_SQLCRCFLAG_FILTERBADCHAR, false, Audience::Public,
     false, u"filter rows with invalid characters in key fields"},
    {u"crckeepemptykey", FlagWord::Crc, UL_SQLCRCFLAG_KEEPEMPTYKEY, false, Audience::Special, false,
     u"keep empty strings instead of a blank"},
    {u"crcforceorderby", FlagWord::Crc, UL_SQLCRCFLAG_FORCEORDERBY, false, Audience::Public, false,
     u"force ORDER BY also for the fast checksum"},
    {u"crcfieldchecksums", FlagWord::Crc, UL_SQLCRCFLAG_FIELDCHECKSUMS, true, Audience::Public,
     false, u"checksums per field"},
    {u"crcquickrun", FlagWord::Crc, UL_SQLCRCFLAG_QUICKRUN, true, Audience::Public, false,
     u"start with the quick checksum run"},
    {u"crcverifyquickrun", FlagWord::Crc, UL_SQLCRCFLAG_VERIFYQUICKRUN, false, Audience::Public,
     false, u"verify the quick run with another round"},
    {u"crccompnumstringplain", FlagWord::Crc, UL_SQLCRCFLAG_COMPNUMSTRINGPLAIN, true,
     Audience::Special, false, u"compare numeric-text values as strings"},
    {u"crcrepairlines", FlagWord::Crc, UL_SQLCRCFLAG_REPAIRLINES, true, Audience::Special, false,
     u"repair incomplete last lines of checksum files"},
    {u"crcfixbcdminuszero", FlagWord::Crc, UL_SQLCRCFLAG_FIXBCDMINUSZERO, true, Audience::Special,
     false, u"ignore packed -0.0 values in checksums"},
    {u"crcneutralformat", FlagWord::Crc, UL_SQLCRCFLAG_NEUTRALFORMAT, false, Audience::Special,
     false, u"convert to a neutral format before checksumming"},
    {u"crcmergedifflogs", FlagWord::Crc, UL_SQLCRCFLAG_MERGEDIFFLOGS, true, Audience::Public, false,
     u"merge ranges in the evaluation log"},
    {u"crcfieldchecksum4keys", FlagWord::Crc, UL_SQLCRCFLAG_FIELDCHECKSUM4KEYS, false,
     Audience::Public, false, u"field checksums also for key fields"},
    {u"ntignorealiascheck", FlagWord::Nt, UL_NTFLAG_IGNOREALIASCHECK, false, Audience::Special,
     false, u"nametab: skip the alias check"},
    {u"ntverifyclientpos", FlagWord::Nt, UL_NTFLAG_VERIFYCLIENTPOS, false, Audience::Special, false,
     u"nametab: verify client field positions"},
    {u"bigsorttruncate", FlagWord::Sort, UL_BIGSORTFLAG_TRUNCATE, false, Audience::Special, false,
     u"external sort: truncate files intermediately"},
    {u"bigsortmaxalignentry", FlagWord::Sort, UL_BIGSORTFLAG_MAXALIGNENTRY, false,
     Audience::Special, false, u"external sort: align entries maximally"},
};

// Integer: a decimal integer. Real: a decimal number. Fraction: a decimal number where values
// above 1 are percent.
enum class NumKind { Integer, Real, Fraction };

struct NumericSetting {
    const char16_t* name;  // without the "="
    NumKind kind;
    long* integer;  // target of an Integer setting
    double* real;   // target of a Real or Fraction setting
    double defaultValue;
    double minimum;
    const char16_t* help;
};

constexpr double kNoMinimum = std::numeric_limits<double>::lowest();

constexpr NumericSetting kNumericSettings[] = {
    {u"maxbulkrows", NumKind::Integer, &UL_SQLMaxBulkRows, nullptr, 10000, kNoMinimum,
     u"rows per fetch; 0: no bulk access; -n: n rows without long values"},
    {u"maxtracelen", NumKind::Integer, &UL_SQLMaxTraceLen, nullptr, 200, 0,
     u"bytes traced per value at trace level 10"},
    {u"lowcountlimit", NumKind::Integer, &UL_SQLLowCountLimit, nullptr, 5000, 0,
     u"smaller row count estimates are replaced by a full count"},
    {u"lowsplitseclimit", NumKind::Integer, &UL_SQLLowSplitSecLimit, nullptr, 1000, 0,
     u"smaller trailing split sections are merged"},
    {u"splitpartitionthreshold", NumKind::Fraction, nullptr, &UL_SQLSplitPartitionThreshold, 0.02,
     0, u"fraction (above 1: percent) a partition may exceed a segment"},
    {u"defaultcolumnspace", NumKind::Integer, &UL_SQLDefaultColumnSpace, nullptr, 512, 1,
     u"length reserved for normal columns"},
    {u"lobcolumnspace", NumKind::Integer, &UL_SQLLobColumnSpace, nullptr, 32768, 1,
     u"buffer length for piecewise long-value access"},
    {u"stressfactor", NumKind::Real, nullptr, &UL_SQLStressFactor, 0.5, 0, u"stress-data factor"},
    {u"minstressrate", NumKind::Real, nullptr, &UL_SQLMinStressRate, 0, 0,
     u"minimum stress rate in MB/sec"},
    {u"maxstressrate", NumKind::Real, nullptr, &UL_SQLMaxStressRate, 0, 0,
     u"maximum stress rate in MB/sec"},
    {u"stressnumspecials", NumKind::Integer, &UL_SQLStressNumSpecials, nullptr, 0, 0,
     u"number of special stress rows"},
    {u"updaterate", NumKind::Real, nullptr, &UL_SQLUpdateRate, 20.0, 0, u"update rate"},
    {u"commitrate", NumKind::Real, nullptr, &UL_SQLCommitRate, 5.0, 0, u"commit rate"},
    {u"rollbackrate", NumKind::Real, nullptr, &UL_SQLRollbackRate, 0.0, 0, u"rollback rate"},
    {u"sleeptime", NumKind::Real, nullptr, &UL_SQLSleepTime, 0.5, 0, u"sleep time"},
    {u"pidcheckrate", NumKind::Real, nullptr, &UL_SQLPidCheckRate, 10.0, 0,
     u"seconds between checks for stop requests"},
};

constexpr unsigned defaultWord(FlagWord word) {
    unsigned value = 0;
    for (const FlagKeyword& k : kFlagKeywords)
        if (k.word == word && k.defaultOn != k.inverted) value |= k.bit;
    return value;
}

// Fails to compile (under constinit) when the name is missing from the table.
constexpr double numericDefault(std::u16string_view name) {
    for (const NumericSetting& s : kNumericSettings)
        if (name == s.name) return s.defaultValue;
    throw "unknown numeric setting";
}

}  // namespace

constinit unsigned UL_SQLGlobalFlags = defaultWord(FlagWord::Sql);
constinit unsigned UL_SQLGlobalCRCFlags = defaultWord(FlagWord::Crc);
constinit unsigned UL_NTGlobalFlags = defaultWord(FlagWord::Nt);
constinit unsigned UL_BigSortGlobalFlags = defaultWord(FlagWord::Sort);

constinit long UL_SQLMaxBulkRows = static_cast<long>(numericDefault(u"maxbulkrows"));
constinit long UL_SQLMaxTraceLen = static_cast<long>(numericDefault(u"maxtracelen"));
constinit long UL_SQLLowCountLimit = static_cast<long>(numericDefault(u"lowcountlimit"));
constinit long UL_SQLLowSplitSecLimit = static_cast<long>(numericDefault(u"lowsplitseclimit"));
constinit double UL_SQLSplitPartitionThreshold = numericDefault(u"splitpartitionthreshold");
constinit long UL_SQLDefaultColumnSpace = static_cast<long>(numericDefault(u"defaultcolumnspace"));
constinit long UL_SQLLobColumnSpace = static_cast<long>(numericDefault(u"lobcolumnspace"));
constinit double UL_SQLStressFactor = numericDefault(u"stressfactor");
constinit double UL_SQLMinStressRate = numericDefault(u"minstressrate");
constinit double UL_SQLMaxStressRate = numericDefault(u"maxstressrate");
constinit long UL_SQLStressNumSpecials = static_cast<long>(numericDefault(u"stressnumspecials"));
constinit double UL_SQLUpdateRate = numericDefault(u"updaterate");
constinit double UL_SQLCommitRate = numericDefault(u"commitrate");
constinit double UL_SQLRollbackRate = numericDefault(u"rollbackrate");
constinit double UL_SQLSleepTime = numericDefault(u"sleeptime");
constinit double UL_SQLPidCheckRate = numericDefault(u"pidcheckrate");

namespace {

constexpr size_t kWordSize = 256;

unsigned& wordOf(FlagWord word) {
    switch (word) {
        case FlagWord::Sql:
            return UL_SQLGlobalFlags;
        case FlagWord::Crc:
            return UL_SQLGlobalCRCFlags;
        case FlagWord::Nt:
            return UL_NTGlobalFlags;
        case FlagWord::Sort:
            break;
    }
    return UL_BigSortGlobalFlags;
}

bool isOn(const FlagKeyword& k) {
    return ((wordOf(k.word) & k.bit) != 0) != k.inverted;
}

void setFlag(const FlagKeyword& k, bool on) {
    if (on != k.inverted)
        wordOf(k.word) |= k.bit;
    else
        wordOf(k.word) &= ~k.bit;
}

const FlagKeyword* findFlag(const char16_t* name) {
    for (const FlagKeyword& k : kFlagKeywords)
        if (ul_stricmp(name, k.name) == 0) return &k;
    return nullptr;
}

// Looks up the first length code units of name.
const NumericSetting* findNumeric(const char16_t* name, size_t length) {
    for (const NumericSetting& s : kNumericSettings)
        if (ul_strlen(s.name) == length && ul_strnicmp(name, s.name, length) == 0) return &s;
    return nullptr;
}

std::u16string formatValue(const NumericSetting& s) {
    if (s.kind == NumKind::Integer) return ul_format(u"%ld", *s.integer);
    return ul_format(u"%g", *s.real);
}

int setNumeric(const NumericSetting& s, const char16_t* value) {
    long integer = 0;
    double number = 0;
    if (s.kind == NumKind::Integer) {
        if (ul_stringtolong(value, &integer) < 0) {
            ul_errorsetmsgfmt(0, u"Invalid value '%s' for global flag '%s': integer expected",
                              value, s.name);
            return UL_ERROR_RETURN(-1);
        }
        number = static_cast<double>(integer);
    } else if (ul_sqlparsenumber(value, &number) < 0) {
        ul_errorsetmsgfmt(0, u"Invalid value '%s' for global flag '%s': number expected", value,
                          s.name);
        return UL_ERROR_RETURN(-1);
    }
    if (number < s.minimum) {
        ul_errorsetmsgfmt(0, u"Invalid value '%s' for global flag '%s': must be at least %g", value,
                          s.name, s.minimum);
        return UL_ERROR_RETURN(-1);
    }
    if (s.kind == NumKind::Integer)
        *s.integer = integer;
    else
        *s.real = s.kind == NumKind::Fraction && number > 1 ? number * 0.01 : number;
    UL_TRACE(UL_TRC_SQL, 3, u"Global setting %s=%s\n", s.name, formatValue(s).c_str());
    return 0;
}

void printHelp(long level) {
    std::u16string text = u"Global SQL options:\n";
    auto flagLines = [&text](Audience audience) {
        for (const FlagKeyword& k : kFlagKeywords)
            if (k.audience == audience)
                text += ul_format(u"  %-28s %-8s %s\n", k.name, isOn(k) ? u"on" : u"off", k.help);
    };
    flagLines(Audience::Public);
    if (level > 1) {
        text += u"Special options, only use with development support:\n";
        flagLines(Audience::Special);
        for (const NumericSetting& s : kNumericSettings) {
            std::u16string keyword =
                ul_format(u"%s=<%s>", s.name, s.kind == NumKind::Integer ? u"n" : u"x");
            text +=
                ul_format(u"  %-28s %-8s %s\n", keyword.c_str(), formatValue(s).c_str(), s.help);
        }
        text += ul_format(u"  %-28s %-8s %s\n", u"forcetimeprint", u"",
                          u"print every time stamp, even within one second");
        text += ul_format(u"  %-28s %-8s %s\n", u"help<level>", u"",
                          u"this help; level 2 adds the special options");
    }
    text += u"Must be comma separated and may be negated with prefix \"no\"\n";
    std::fputs(ul_utf16to8(text.c_str()).c_str(), stdout);
    std::fflush(stdout);
}

// "help" or "help<level>": returns true and the level, else false.
bool parseHelp(const char16_t* word, long* level) {
    const char16_t* rest = ul_stringstarticmp(word, u"help");
    if (!rest) return false;
    *level = 1;
    if (!*rest) return true;
    return ul_isdigit(*rest) && ul_stringtolong(rest, level) == 0;
}

int applyWord(const char16_t* word) {
    if (const char16_t* equals = ul_strchr(word, u'=')) {
        const NumericSetting* s = findNumeric(word, static_cast<size_t>(equals - word));
        if (s) return setNumeric(*s, equals + 1);
    } else {
        if (const FlagKeyword* k = findFlag(word)) {
            setFlag(*k, true);
            return 0;
        }
        const char16_t* negated = ul_stringstarticmp(word, u"no");
        if (const FlagKeyword* k = negated ? findFlag(negated) : nullptr) {
            setFlag(*k, false);
            return 0;
        }
        long level = 0;
        if (parseHelp(word, &level)) {
            printHelp(level);
            return 0;
        }
        if (ul_stricmp(word, u"forcetimeprint") == 0) {
            if (ul_msgwrite_outputcntrl(UL_MSGCTL_FORCETIME) < 0) return UL_ERROR_RETURN(-1);
            return 0;
        }
        if (const NumericSetting* s = findNumeric(word, ul_strlen(word))) {
            ul_errorsetmsgfmt(0, u"Global flag '%s' needs a value: '%s=<value>'", word, s->name);
            return UL_ERROR_RETURN(-1);
        }
    }
    ul_errorsetmsgfmt(0, u"Unknown global flag '%s' in environment", word);
    return UL_ERROR_RETURN(-1);
}

}  // namespace

int ul_sqlparsenumber(const char16_t* text, double* value) {
    if (!text || !*text) return -1;
    for (const char16_t* p = text; *p; ++p)
        if (!ul_isdigit(*p) && *p != u'.' && *p != u'+' && *p != u'-' && *p != u'e' && *p != u'E')
            return -1;
    std::string utf8 = ul_utf16to8(text);
    char* end = nullptr;
    double parsed = std::strtod(utf8.c_str(), &end);
    if (end == utf8.c_str() || *end || !std::isfinite(parsed)) return -1;
    *value = parsed;
    return 0;
}

int ul_sqlparseglobalflags(const char16_t* list) {
    const char16_t* cursor = list;
    char16_t word[kWordSize];
    for (;;) {
        int rc = ul_stringexpwordlist(&cursor, u',', word, kWordSize,
                                      UL_WORDLIST_TRIM | UL_WORDLIST_SKIP_EMPTY);
        if (rc == 0) break;
        if (rc < 0) {
            ul_errorsetmsgfmt(UL_ERR_APPEND, u"Cannot parse global flags '%s'", list);
            return UL_ERROR_RETURN(-1);
        }
        if (applyWord(word) < 0) return UL_ERROR_RETURN(-1);
    }
    UL_TRACE(UL_TRC_SQL, 2, u"Global flags: SQL %#x, CRC %#x, NT %#x, sort %#x\n",
             UL_SQLGlobalFlags, UL_SQLGlobalCRCFlags, UL_NTGlobalFlags, UL_BigSortGlobalFlags);
    return 0;
}

void ul_sqlresetglobalflags() {
    for (FlagWord word : {FlagWord::Sql, FlagWord::Crc, FlagWord::Nt, FlagWord::Sort})
        wordOf(word) = defaultWord(word);
    for (const NumericSetting& s : kNumericSettings) {
        if (s.kind == NumKind::Integer)
            *s.integer = static_cast<long>(s.defaultValue);
        else
            *s.real = s.defaultValue;
    }
}

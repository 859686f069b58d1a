// Global SQL flags: four process-wide flag words and the numeric tuning settings that shape
// database access, checksums, nametab reading and the external sort. They are set from the
// environment and the command line before a command starts (ul_sqlparseglobalflags) and only
// read afterwards.
#pragma once

// Flag word for statements, values and structure files.
extern unsigned UL_SQLGlobalFlags;
// Flag word for checksum generation and checksum files.
extern unsigned UL_SQLGlobalCRCFlags;
// Flag word for the nametab reader.
extern unsigned UL_NTGlobalFlags;
// Flag word for the external sort.
extern unsigned UL_BigSortGlobalFlags;

enum : unsigned {
    UL_SQLFLAG_IGNOREDDICTYPE = 0x1,
    UL_SQLFLAG_CORRLONGDATALENGTH = 0x2,
    UL_SQLFLAG_CORRCLUSTLONGDATALENGTH = 0x4,
    UL_SQLFLAG_KEEPSYNTAX = 0x8,
    UL_SQLFLAG_SQLHINTS = 0x10,
    UL_SQLFLAG_MIGTABLESNAMETAB = 0x20,
    // Set: long values are read in one piece. Cleared by the keyword "lobspiecewise".
    UL_SQLFLAG_NOLOBSPIECEWISE = 0x40,
    UL_SQLFLAG_SQLSTRINGCOMPARE = 0x80,
    UL_SQLFLAG_SQLCHARKEEPNULLBYTES = 0x100,
    UL_SQLFLAG_HEXFORMAT0X = 0x200,
    UL_SQLFLAG_ESTIMATECOUNT = 0x400,
    UL_SQLFLAG_CHECKSPLITS4DBHEXTYPE = 0x800,
    UL_SQLFLAG_CHECKBCDNUMBERSEXACTLY = 0x1000,
    UL_SQLFLAG_SQLINSERTEMPTYASNULL = 0x2000,
    UL_SQLFLAG_CHECK4TABLEPARTITIONS = 0x4000,
    UL_SQLFLAG_Q7LDFORCEQUOTING = 0x8000,
    UL_SQLFLAG_OBJNAME2UPPER = 0x10000,
    UL_SQLFLAG_SQLCSTYLECOMMENTS = 0x20000,
    UL_SQLFLAG_SQUAREBRACKETIDENTS = 0x40000,
    UL_SQLFLAG_CHECKOBJNTOFFSETS = 0x80000,
};

enum : unsigned {
    UL_SQLCRCFLAG_COMMENTLINES = 0x1,
    UL_SQLCRCFLAG_SORTDUPALWAYS = 0x2,
    UL_SQLCRCFLAG_FILTERBADCHAR = 0x4,
    UL_SQLCRCFLAG_KEEPEMPTYKEY = 0x8,
    UL_SQLCRCFLAG_FORCEORDERBY = 0x10,
    UL_SQLCRCFLAG_FIELDCHECKSUMS = 0x20,
    UL_SQLCRCFLAG_QUICKRUN = 0x40,
    UL_SQLCRCFLAG_VERIFYQUICKRUN = 0x80,
    UL_SQLCRCFLAG_COMPNUMSTRINGPLAIN = 0x100,
    UL_SQLCRCFLAG_REPAIRLINES = 0x200,
    UL_SQLCRCFLAG_FIXBCDMINUSZERO = 0x1000,
    UL_SQLCRCFLAG_NEUTRALFORMAT = 0x4000,
    UL_SQLCRCFLAG_MERGEDIFFLOGS = 0x8000,
    UL_SQLCRCFLAG_FIELDCHECKSUM4KEYS = 0x10000,
};

enum : unsigned {
    UL_NTFLAG_IGNOREALIASCHECK = 0x1,
    UL_NTFLAG_VERIFYCLIENTPOS = 0x2,
};

enum : unsigned {
    UL_BIGSORTFLAG_TRUNCATE = 0x1,
    UL_BIGSORTFLAG_MAXALIGNENTRY = 0x2,
};

// Numeric settings ("<keyword>=<value>").
// Rows per array fetch; 0 = single rows; -n = n rows, but only for tables without long values.
extern long UL_SQLMaxBulkRows;
// Bytes traced per value at trace level 10 and above.
extern long UL_SQLMaxTraceLen;
// An estimated row count below this is replaced by a full count.
extern long UL_SQLLowCountLimit;
// A trailing split section with fewer rows is merged into the previous one.
extern long UL_SQLLowSplitSecLimit;
// Fraction by which a partition may exceed the segment size and still be used whole.
// Given values above 1 are percent.
extern double UL_SQLSplitPartitionThreshold;
// Length reserved for normal columns.
extern long UL_SQLDefaultColumnSpace;
// Buffer length for piecewise long-value access.
extern long UL_SQLLobColumnSpace;
extern double UL_SQLStressFactor;
// Stress rates in MB/sec.
extern double UL_SQLMinStressRate;
extern double UL_SQLMaxStressRate;
extern long UL_SQLStressNumSpecials;
extern double UL_SQLUpdateRate;
extern double UL_SQLCommitRate;
extern double UL_SQLRollbackRate;
extern double UL_SQLSleepTime;
// Seconds between two reads of the PID file for stop requests.
extern double UL_SQLPidCheckRate;

// Applies a comma-separated list of keywords (case-insensitive). A flag keyword sets its
// flag, the same keyword behind "no" clears it; numeric settings are "<keyword>=<value>" and
// take no "no". "help" or "help<level>" prints the option help to standard output,
// "forcetimeprint" makes the message writer print time stamps. Words before a bad one stay
// applied. Returns 0, or -1 with the reason in the error buffer.
[[nodiscard]] int ul_sqlparseglobalflags(const char16_t* list);

// A plain decimal number as the numeric settings take it: sign, digits, point, exponent; no
// white space, hexadecimal, infinity or NaN. Returns 0 and the value, or -1 (no error text; the
// caller names the context).
[[nodiscard]] int ul_sqlparsenumber(const char16_t* text, double* value);

// Restores every flag word and numeric setting to its default.
void ul_sqlresetglobalflags();

#include "crctable.h"

#include <sys/stat.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "tabrix.h"
#include "ulerror.h"
#include "ulmsgwrite.h"
#include "ulnametab.h"
#include "ulsqlaux.h"
#include "ulsqlbase.h"
#include "ulsqlcrc.h"
#include "ulsqlutil.h"
#include "ulstring.h"
#include "ulstring2.h"
#include "ultime.h"

namespace {

int say(const std::u16string& text, char16_t severity = u' ') {
    return ul_msgwrite_line399(1, severity, text);
}

std::u16string timeStamp() {
    char16_t stamp[32];
    if (ul_timegetstamp(stamp, 32, -1, UL_STAMP_READABLE) < 0) return u"?";
    return stamp;
}

bool fileExists(const char16_t* path) {
    struct stat st;
    return stat(ul_utf16to8(path).c_str(), &st) == 0;
}

bool sameName(const std::u16string& a, const std::u16string& b) {
    return ul_stricmp(a.c_str(), b.c_str()) == 0;
}

// Tables whose long values are stored compressed.
bool compressedLobs(const std::u16string& name) {
    static const char16_t* const prefixes[] = {u"DYNPSOURCE", u"DYNPTEST", u"D021S", u"D022S",
                                               u"D023S",      u"REPOSRC",  u"REPOTEXT"};
    const std::u16string upper = ul_stringupper(name);
    for (const char16_t* p : prefixes)
        if (upper.starts_with(p)) return true;
    if (upper.starts_with(u"D010S")) return !upper.starts_with(u"D010SINF");
    if (upper.starts_with(u"D010T"))
        return !upper.starts_with(u"D010TAB") && !upper.starts_with(u"D010TINF");
    return false;
}

void appendNames(std::u16string* out, const char16_t* keyword,
                 const std::vector<std::u16string>& names) {
    out->append(keyword);
    for (size_t i = 0; i < names.size(); ++i) {
        out->append(i ? u", " : u" ");
        ul_sqlcrcappendname(out, names[i]);
    }
    out->push_back(u'\n');
}

}  // namespace

// ==== one run ===================================================================================

AuxCRCTableRun::AuxCRCTableRun(const char16_t* crcfile, const char16_t* reffile,
                               unsigned runFlags)
    : m_crcfile(crcfile), m_reffile(reffile ? reffile : u""), m_runFlags(runFlags) {}

int AuxCRCTableRun::read() {
    m_file = std::make_unique<ULCheckCRCFile>(UL_SQLCRCSliceCount);
    if (m_file->read1(m_crcfile.c_str(), 0) < 0) return UL_ERROR_RETURN(-1);
    if (m_out.open(m_crcfile.c_str(), UL_TEXT_APPEND) < 0) return UL_ERROR_RETURN(-1);
    if (!m_file->str().empty()) {
        // The structure file: as written when absolute, else beside the CRC file.
        std::u16string path = m_file->str();
        if (path[0] != u'/') {
            const size_t slash = m_crcfile.rfind(u'/');
            if (slash != std::u16string::npos) path = m_crcfile.substr(0, slash + 1) + path;
        }
        m_cache = std::make_unique<ULLDObjectCache>();
        if (m_cache->addFilePath(path.c_str()) < 0) return UL_ERROR_RETURN(-1);
    }
    // The own lists are complete before the reference side is merged into them. Header lines
    // added are read back as every later run reads them.
    bool added = false;
    for (auto& t : m_file->tables()) {
        const int rc = completeTable(t.get());
        if (rc < 0) return UL_ERROR_RETURN(-1);
        added = added || rc > 0;
    }
    if (added) {
        if (m_out.flush() < 0) return UL_ERROR_RETURN(-1);
        m_file = std::make_unique<ULCheckCRCFile>(UL_SQLCRCSliceCount);
        m_tabWritten = nullptr;
        if (m_file->read1(m_crcfile.c_str(), 0) < 0) return UL_ERROR_RETURN(-1);
        for (auto& t : m_file->tables())
            if (ignoreFields(t.get()) < 0) return UL_ERROR_RETURN(-1);
    }
    if (!m_reffile.empty() && m_file->read1(m_reffile.c_str(), UL_CRCREAD_REFERENCE) < 0)
        return UL_ERROR_RETURN(-1);
    const int rc = m_file->setup();
    if (rc < 0) return UL_ERROR_RETURN(-1);
    for (auto& t : m_file->tables()) {
        if (!t->refOnly && t->check() < 0) {
            ul_errorsetmsgfmt(UL_ERR_APPEND, u"Setup for '%s' failed", t->name().c_str());
            return UL_ERROR_RETURN(-1);
        }
    }
    return rc;
}

int AuxCRCTableRun::getFields(ULCheckCRCTable* table, ULLDObject** object,
                              std::unique_ptr<ULLDObject>* holder) {
    if (m_cache) {
        *object = m_cache->getObject(UL_LDTASK_TABLE | UL_LDTASK_EXPORT, table->name().c_str(), 0);
        return *object ? 0 : UL_ERROR_RETURN(-1);
    }
    const std::u16string& nttab = table->getOption(UL_CHKCRCOPT_NTTAB);
    ULNameTab nametab(nttab.empty() ? table->name().c_str() : nttab.c_str(), 0);
    *holder = std::make_unique<ULLDObject>();
    if (nametab.getTableInfo(holder->get()) < 0) return UL_ERROR_RETURN(-1);
    *object = holder->get();
    return 0;
}

int AuxCRCTableRun::addFields(ULCheckCRCTable* table, const ULLDObject& object, bool keys) {
    std::vector<std::u16string>& list = keys ? table->own.keys : table->own.sels;
    const std::vector<ULLDObjField>& fields = object.structure.fields;
    const bool dateTime = table->flags() & UL_TABCHK_IGNDATETIME;
    const size_t nkeys = std::min<size_t>(object.structure.nkeys, fields.size());
    list.clear();
    if (keys && nkeys == 0) {
        // Without a primary key the rows are ordered by the fields that cannot be null (all
        // fields when every one can), long values left out; equal keys are duplicates.
        for (int pass = 0; pass < 2 && list.empty(); ++pass)
            for (const ULLDObjField& f : fields)
                if (!(f.mode & UL_LDFLDMODE_LOB) && (pass || f.notNull)) list.push_back(f.name);
    } else {
        for (size_t i = 0; i < (keys ? nkeys : fields.size()); ++i)
            if (keys || i < nkeys || !dateTime || !(fields[i].mode & UL_LDFLDMODE_DATETIME))
                list.push_back(fields[i].name);
    }
    if (list.empty())
        return ul_errorfail(ul_format(u"Table '%s' has no fields", table->name().c_str()));
    return say(ul_format(u"Adding %s fields to '%s'.", keys ? u"key" : u"selection",
                         table->name().c_str()));
}

int AuxCRCTableRun::addSelTypes(ULCheckCRCTable* table, const ULLDObject& object) {
    std::vector<const char16_t*> names;
    for (const std::u16string& s : table->own.sels) names.push_back(s.c_str());
    ul_sqlfielddesc_t* descs = nullptr;
    unsigned n = 0;
    const int oiflags = ul_sqltablegetoiflags(&object, names.data(),
                                              static_cast<unsigned>(names.size()), &descs, &n, 0);
    if (oiflags < 0) return UL_ERROR_RETURN(-1);
    std::u16string types;
    int rc = 0;
    for (unsigned i = 0; i < n && rc == 0; ++i) {
        const char16_t c = ul_sqlfldflag2char(descs[i]);
        if (c)
            types.push_back(c);
        else
            rc = ul_errorfail(ul_format(u"Unknown dbif field type %#x",
                                        static_cast<unsigned>(ul_sqlfieldtype(descs[i]))));
    }
    free(descs);
    if (rc < 0) return UL_ERROR_RETURN(-1);
    table->own.types = types;
    return setOptionsFromObject(table, object, static_cast<unsigned>(oiflags));
}

int AuxCRCTableRun::setOptionsFromObject(ULCheckCRCTable* table, const ULLDObject& object,
                                         unsigned oiflags) {
    unsigned flags = table->flags();
    struct Rule {
        bool applies;
        unsigned bit;
        const char16_t* text;
    };
    const Rule rules[] = {
        {(oiflags & UL_OIFLAG_PACKED) != 0, UL_TABCHK_PACKED, u"Table needs packing."},
        {compressedLobs(table->name()), UL_TABCHK_DECOMPRESS, u"Table has compressed LOB's."},
        {(oiflags & UL_OIFLAG_POOL) != 0, UL_TABCHK_POOLED, u"Table is a physical pool."},
        {object.structure.nkeys == 0, UL_TABCHK_SORTDUPS,
         u"Table has no primary key and may have duplicates."},
    };
    for (const Rule& r : rules) {
        if (!r.applies || (flags & r.bit)) continue;
        flags |= r.bit;
        if (say(r.text) < 0) return UL_ERROR_RETURN(-1);
    }
    table->setFlags(flags);
    return 0;
}

int AuxCRCTableRun::ignoreFields(ULCheckCRCTable* table) {
    const std::u16string& text = table->getOption(UL_CHKCRCOPT_IGNSEL);
    if (text.empty()) return 0;
    std::vector<std::u16string> ignored;
    if (ul_sqlcrcreadnames(text.c_str(), &ignored) < 0) return UL_ERROR_RETURN(-1);
    std::u16string dropped;
    auto listed = [&](const std::u16string& name) {
        for (const std::u16string& i : ignored)
            if (sameName(i, name)) return true;
        return false;
    };
    std::vector<std::u16string>& keys = table->own.keys;
    std::vector<std::u16string> keptKeys;
    for (const std::u16string& k : keys) {
        if (!listed(k)) {
            keptKeys.push_back(k);
            continue;
        }
        if (say(ul_format(u"Ignoring key field '%s' - preparing to handle duplicates.",
                          k.c_str())) < 0)
            return UL_ERROR_RETURN(-1);
        table->setFlags(table->flags() | UL_TABCHK_SORTDUPS);
    }
    if (keptKeys.empty() && !keys.empty()) {
        keptKeys.push_back(keys.front());
        if (say(ul_format(u"Cannot ignore all key fields in table, keeping at least '%s'!",
                          keys.front().c_str()),
                u'W') < 0)
            return UL_ERROR_RETURN(-1);
    }
    std::vector<std::u16string> sels;
    std::u16string types;
    std::vector<std::u16string>& own = table->own.sels;
    for (size_t i = 0; i < own.size(); ++i) {
        bool key = false;
        for (const std::u16string& k : keptKeys) key = key || sameName(k, own[i]);
        if (listed(own[i]) && !key) {
            dropped += u" " + own[i];
            continue;
        }
        sels.push_back(own[i]);
        if (i < table->own.types.size()) types.push_back(table->own.types[i]);
    }
    // The kept key fields lead the selection list.
    keys.swap(keptKeys);
    own.swap(sels);
    if (!table->own.types.empty()) table->own.types.swap(types);
    if (dropped.empty()) return 0;
    return say(ul_format(u"Ignore fields in table '%s':%s", table->name().c_str(),
                         dropped.c_str()));
}

int AuxCRCTableRun::writeTabLine(ULCheckCRCTable* table) {
    if (m_tabWritten == table) return 0;
    std::u16string text = u"tab: ";
    ul_sqlcrcappendname(&text, table->name());
    if (!sameName(table->refName(), table->name())) {
        text.push_back(u' ');
        ul_sqlcrcappendname(&text, table->refName());
    }
    text.push_back(u'\n');
    if (m_out.write(text.c_str()) < 0) return UL_ERROR_RETURN(-1);
    m_tabWritten = table;
    return 0;
}

int AuxCRCTableRun::writeFields(int kind, ULCheckCRCTable* table) {
    static const char16_t* const what[] = {u"key fields", u"selection fields",
                                           u"selection types"};
    if (say(ul_format(u"Writing %s for '%s'.", what[kind - 1], table->name().c_str())) < 0)
        return UL_ERROR_RETURN(-1);
    std::u16string text;
    if (kind == 1)
        appendNames(&text, u"key:", table->own.keys);
    else if (kind == 2)
        appendNames(&text, u"sel:", table->own.sels);
    else
        text = u"typ: " + table->own.types + u"\n";
    if (writeTabLine(table) < 0 || m_out.write(text.c_str()) < 0 || m_out.flush() < 0)
        return UL_ERROR_RETURN(-1);
    return 0;
}

int AuxCRCTableRun::writeOptions(ULCheckCRCTable* table, unsigned old) {
    std::u16string words;
    const unsigned changed = old ^ table->flags();
    for (const ul_tabchkflagname_t* o = TabChkFlagNames; o->name; ++o)
        if (changed & o->bit)
            words += ul_format((table->flags() & o->bit) ? u" %s" : u" no%s", o->name);
    if (words.empty()) return 0;
    const std::u16string text = u"opt:" + words + u"\n";
    if (writeTabLine(table) < 0 || m_out.write(text.c_str()) < 0 || m_out.flush() < 0)
        return UL_ERROR_RETURN(-1);
    return 0;
}

int AuxCRCTableRun::completeTable(ULCheckCRCTable* table) {
    ul_chkcrcside_t& own = table->own;
    const bool needKeys = own.keys.empty(), needSels = own.sels.empty();
    const bool needTypes = own.types.empty();
    if (!needKeys && !needSels && !needTypes) return ignoreFields(table);
    if (own.sawCRCLines)
        return ul_errorfail(
            ul_format(u"Cannot add header lines for table '%s': already have checksum lines",
                      table->name().c_str()));
    const unsigned oldFlags = table->flags();
    ULLDObject* object = nullptr;
    std::unique_ptr<ULLDObject> holder;
    if (getFields(table, &object, &holder) < 0) return UL_ERROR_RETURN(-1);
    int rc = 0;
    if (needKeys) rc = addFields(table, *object, true);
    if (rc == 0 && needSels) rc = addFields(table, *object, false);
    if (rc == 0) rc = ignoreFields(table);
    if (rc == 0 && needTypes) rc = addSelTypes(table, *object);
    if (m_cache && m_cache->releaseObject(object, 0) < 0) rc = -1;
    if (rc < 0) return UL_ERROR_RETURN(-1);
    if ((needKeys && writeFields(1, table) < 0) || (needSels && writeFields(2, table) < 0) ||
        (needTypes && writeFields(3, table) < 0) || writeOptions(table, oldFlags) < 0)
        return UL_ERROR_RETURN(-1);
    return 1;
}

int AuxCRCTableRun::refPartsMissing(const ULCheckCRCTable& table) {
    const struct {
        bool missing;
        const char16_t* what;
    } parts[] = {{table.ref.keys.empty(), u"key fields"},
                 {table.ref.sels.empty(), u"selections"},
                 {table.ref.types.empty(), u"field types"}};
    std::u16string text = ul_format(u"Request to run other side for table '%s' due to missing "
                                    u"parts from reference file",
                                    table.name().c_str());
    bool any = false;
    for (const auto& p : parts) {
        if (!p.missing) continue;
        text += ul_format(u"%c %s", any ? u',' : u':', p.what);
        any = true;
    }
    if (!any) return 0;
    return say(text) < 0 ? UL_ERROR_RETURN(-1) : 1;
}

ul_crcanalyzeargs_t AuxCRCTableRun::analyzeArgs(unsigned runFlags, bool quiet) const {
    ul_crcanalyzeargs_t args;
    args.runFlags = runFlags;
    args.ownFile = m_crcfile.c_str();
    args.refFile = m_reffile.empty() ? nullptr : m_reffile.c_str();
    args.quiet = quiet;
    return args;
}

int AuxCRCTableRun::workLeft(ULCheckCRCTable* table) {
    ul_crcscanrequest_t request;
    if (ul_crcanalyzetable(table, analyzeArgs(m_runFlags, true), &request) < 0)
        return UL_ERROR_RETURN(-1);
    return request.kind != ul_crcscankind_t::NONE;
}

int AuxCRCTableRun::execRun(ULCheckCRCTable* table, unsigned runFlags) {
    const char16_t* name = table->name().c_str();
    if (!m_reffile.empty()) {
        const int missing = refPartsMissing(*table);
        if (missing < 0) return UL_ERROR_RETURN(-1);
        if (missing) return UL_CRCRESULT_OTHERSIDE;
    }
    const bool digging = runFlags & UL_CRCRUN_DIGGING;
    if (say(u"") < 0 || ul_msgwrite_timeprint(1) < 0 ||
        say(ul_format(u"Looking for region to %s in table '%s'.",
                      digging ? u"scan differences" : u"scan from reference file", name)) < 0)
        return UL_ERROR_RETURN(-1);
    ul_crcscanrequest_t request;
    if (ul_crcanalyzetable(table, analyzeArgs(runFlags, false), &request) < 0)
        return UL_ERROR_RETURN(-1);
    if (request.kind == ul_crcscankind_t::OTHERSIDE) return UL_CRCRESULT_OTHERSIDE;
    if (request.kind == ul_crcscankind_t::NONE) return 0;
    if (table->flags() & UL_TABCHK_ALTNAMETAB) {
        if (say(u"Using alternative nametab.") < 0 || ul_sqlntswitch(1) < 0)
            return UL_ERROR_RETURN(-1);
    } else if (ul_sqlnthavealttype()) {
        if (say(u"Using standard nametab.") < 0 || ul_sqlntswitch(0) < 0)
            return UL_ERROR_RETURN(-1);
    }
    const size_t before = table->lines.size();
    AuxCalcCRCValues calc(m_file.get(), table, &m_out, runFlags);
    if (calc.runCRCTable(request) < 0) {
        ul_errorsetmsgfmt(UL_ERR_APPEND, u"Cannot execute crc scan for table '%s'", name);
        return UL_ERROR_RETURN(-1);
    }
    m_tabWritten = table;  // the scan's lines follow a tab: line of this table
    // The new lines join the reference lines of their ranges, so that the other side is asked
    // to run only for lines it has not got.
    const int differing = ul_crcmergenewlines(table, before);
    if (differing < 0) return UL_ERROR_RETURN(-1);
    int result = calc.newLines() ? UL_CRCRESULT_NEWLINES : 0;
    if (ul_crcownlinesmissing(*table)) result |= UL_CRCRESULT_OTHERSIDE;
    if (differing > 0 || calc.newDifferences()) result |= UL_CRCRESULT_DIFFS;
    return result;
}

// ==== the run over all tables ===================================================================

namespace {

int runTables(AuxCRCTableRun* run, unsigned runFlags, int result) {
    std::vector<ULCheckCRCTable*> tables;
    for (auto& t : run->file()->tables())
        if (!t->refOnly) tables.push_back(t.get());
    std::vector<bool> finished(tables.size(), false);
    for (size_t i = 0; i < tables.size(); ++i) {
        const int rc = run->execRun(tables[i], runFlags & ~unsigned{UL_CRCRUN_DIGGING});
        if (rc < 0) return UL_ERROR_RETURN(-1);
        result |= rc;
        const bool last = i + 1 == tables.size();
        finished[i] = last ? rc == UL_CRCRESULT_OTHERSIDE : (rc & UL_CRCRESULT_OTHERSIDE) != 0;
    }
    for (size_t i = 0; i < tables.size() && (runFlags & UL_CRCRUN_DIGGING); ++i) {
        if (finished[i]) continue;
        const int rc = run->execRun(tables[i], runFlags);
        if (rc < 0) return UL_ERROR_RETURN(-1);
        result |= rc;
    }
    // Work left in a table that the passes did not reach (one region per table and run)
    // needs another run, which the other side's run hands back when it is this side's.
    for (size_t i = 0; i < tables.size() && !(result & UL_CRCRESULT_OTHERSIDE); ++i) {
        const int left = run->workLeft(tables[i]);
        if (left < 0) return UL_ERROR_RETURN(-1);
        if (left) result |= UL_CRCRESULT_OTHERSIDE;
    }
    return result;
}

}  // namespace

int ul_sqltablecrcrun(const char16_t* crcfile, const char16_t* reffile, unsigned runFlags) {
    return ul_guarded([&]() -> int {
        const bool connect = !ul_sqlisconnected();
        if (connect && ul_sqlconnect2(0) < 0) return UL_ERROR_RETURN(-1);
        int result = -1;
        {
            AuxCRCTableRun run(crcfile, reffile, runFlags);
            const int known = run.read();
            if (known >= 0)
                result = runTables(&run, runFlags, known > 0 ? UL_CRCRESULT_DIFFS : 0);
            if (result >= 0 && (result & UL_CRCRESULT_NEWLINES) &&
                (UL_SQLGlobalCRCFlags & UL_SQLCRCFLAG_COMMENTLINES)) {
                ULTextFileWriter out;
                if (out.open(crcfile, UL_TEXT_APPEND) < 0 ||
                    out.writeFmt(u"# %s: Finished all scans.\n", timeStamp().c_str()) < 0 ||
                    out.close() < 0)
                    result = -1;
            }
        }
        if (result < 0) {
            if (connect && ul_sqlisconnected()) {
                const std::u16string error = ul_errorgetmsg();
                (void)ul_sqldisconnect(UL_DISCONNECT_NOCOMMIT);  // the first failure counts
                ul_errorsetmsg(0, error.c_str());
            }
            return UL_ERROR_RETURN(-1);
        }
        if (connect && ul_sqldisconnect(0) < 0) return UL_ERROR_RETURN(-1);
        return result;
    });
}

// ==== the command ===============================================================================

namespace {

struct CrcTableOptions {
    const char16_t* crcfile = nullptr;
    const char16_t* reffile = nullptr;
    std::vector<std::u16string> tables, keys, sels, ignsels;
    bool force = false;
    unsigned runFlags = UL_CRCRUN_DIGGING;
    unsigned long maxDiffs = 49, sliceCount = 1000, maxSlices = 50, maxFieldLen = 100,
                  nrSamples = 1000;
};

int readNumber(const char16_t* value, unsigned long* out) {
    long number = 0;
    if (ul_stringtocount(value, &number) < 0) return UL_ERROR_RETURN(-1);
    *out = static_cast<unsigned long>(number);
    return 0;
}

int readList(const char16_t* value, size_t maxFields, const char16_t* tooMany,
             std::vector<std::u16string>* out) {
    if (ul_strlen(value) > UL_CRCTABLE_MAXLIST) return ul_errorfail(ul_format(tooMany, value));
    const int n = ul_sqlcrcreadnames(value, out);
    if (n < 0) return UL_ERROR_RETURN(-1);
    if (static_cast<size_t>(n) > maxFields) return ul_errorfail(ul_format(tooMany, value));
    return 0;
}

int usage() {
    const std::u16string text =
        u"Usage: crctable <options> <crcfile> [<reffile>]\n"
        u"  Generates and adds cyclic redundancy checksums to <crcfile>.\n"
        u"  With <reffile>, the file of the other side, its blocks are checksummed\n"
        u"  as well and differing blocks are investigated with smaller blocks.\n"
        u"  Options:\n"
        u"    table=<name>,...       tables of a new <crcfile> (prepares the file)\n"
        u"    keyfields=<field>,...  key fields of the new sections (default: nametab)\n"
        u"    selfields=<field>,...  selection fields of the new sections (default: nametab)\n"
        u"    ignselfields=<field>,... fields to ignore (default: none)\n"
        u"    force                  run on <crcfile> without preparing it\n" +
        ul_format(u"    maxdiffs=<n>|all       stop digging after this many differences "
                  u"(default %lu)\n"
                  u"    slicecount=<n>         rows per block (default %lu)\n"
                  u"    maxslices=<n>          blocks per scan (default %lu)\n"
                  u"    maxfieldlen=<n>        characters kept of a field value (default %lu)\n",
                  49ul, 1000ul, 50ul, 100ul) +
        u"    nodigging              only generate the first blocks\n"
        u"    declustered            read logical cluster tables as transparent tables\n"
        u"    depooled               read logical pool tables as transparent tables\n"
        u"    sampling               stop a table after nrsamples= rows\n" +
        ul_format(u"    nrsamples=<n>          rows read in sampling mode (default %lu)\n",
                  1000ul) +
        u"  Return code (bit mask):\n"
        u"    1  More checksums have been generated.\n"
        u"    2  Tool needs to run on reference side as well to verify checksums.\n"
        u"    8  Differences in checksums are found.\n";
    ULTextFileWriter out;
    if (out.attach(stdout, u"stdout") < 0 || out.write(text.c_str()) < 0 || out.flush() < 0)
        return UL_ERROR_RETURN(-1);
    return UL_EXIT_USAGE;
}

int parseOptions(unsigned argc, const char16_t** argv, CrcTableOptions* o) {
    struct NumberOption {
        const char16_t* prefix;
        unsigned long* value;
    };
    const NumberOption numbers[] = {{u"slicecount=", &o->sliceCount},
                                    {u"maxslices=", &o->maxSlices},
                                    {u"maxfieldlen=", &o->maxFieldLen},
                                    {u"nrsamples=", &o->nrSamples}};
    struct FlagOption {
        const char16_t* word;
        unsigned set, clear;
    };
    const FlagOption flags[] = {{u"nodigging", 0, UL_CRCRUN_DIGGING},
                                {u"declustered", UL_CRCRUN_DECLUSTERED, 0},
                                {u"depooled", UL_CRCRUN_DEPOOLED, 0},
                                {u"sampling", UL_CRCRUN_SAMPLING, 0}};
    for (unsigned i = 1; i < argc; ++i) {
        const char16_t* arg = argv[i];
        const char16_t* v = nullptr;
        bool done = false;
        for (const NumberOption& n : numbers)
            if ((v = ul_stringstarticmp(arg, n.prefix))) {
                if (readNumber(v, n.value) < 0) return UL_ERROR_RETURN(-1);
                done = true;
                break;
            }
        for (const FlagOption& f : flags)
            if (!done && ul_stricmp(arg, f.word) == 0) {
                o->runFlags = (o->runFlags | f.set) & ~f.clear;
                done = true;
            }
        if (done) continue;
        if ((v = ul_stringstarticmp(arg, u"maxdiffs="))) {
            if (ul_stricmp(v, u"all") == 0)
                o->maxDiffs = ~0ul;
            else if (readNumber(v, &o->maxDiffs) < 0)
                return UL_ERROR_RETURN(-1);
        } else if ((v = ul_stringstarticmp(arg, u"table="))) {
            if (ul_sqlcrcreadnames(v, &o->tables) < 0) return UL_ERROR_RETURN(-1);
        } else if ((v = ul_stringstarticmp(arg, u"keyfields="))) {
            if (readList(v, UL_CRCTABLE_MAXKEYS, u"Too many key fields in '%s'", &o->keys) < 0)
                return UL_ERROR_RETURN(-1);
        } else if ((v = ul_stringstarticmp(arg, u"selfields="))) {
            if (readList(v, UL_CRCTABLE_MAXSELS, u"Too many selection fields in '%s'", &o->sels) <
                0)
                return UL_ERROR_RETURN(-1);
        } else if ((v = ul_stringstarticmp(arg, u"ignselfields="))) {
            if (readList(v, UL_CRCTABLE_MAXSELS, u"Too many selection fields in '%s'",
                         &o->ignsels) < 0)
                return UL_ERROR_RETURN(-1);
        } else if (ul_stricmp(arg, u"force") == 0) {
            o->force = true;
        } else if (!o->crcfile && !ul_strchr(arg, u'=')) {
            o->crcfile = arg;
        } else if (!o->reffile && !ul_strchr(arg, u'=')) {
            o->reffile = arg;
        } else {
            return ul_errorfail(ul_format(u"Unknown option '%s'", arg));
        }
    }
    return 0;
}

// Writes the header sections of a new CRC file, one per table.
int prepareFile(const CrcTableOptions& o) {
    std::u16string list;
    for (const std::u16string& t : o.tables) list += (list.empty() ? u"" : u",") + t;
    if (say(ul_format(u"Preparing table check for '%s' in '%s'.", list.c_str(), o.crcfile)) < 0)
        return UL_ERROR_RETURN(-1);
    auto pointers = [](const std::vector<std::u16string>& names) {
        std::vector<const char16_t*> p;
        for (const std::u16string& n : names) p.push_back(n.c_str());
        return p;
    };
    const std::vector<const char16_t*> keys = pointers(o.keys), sels = pointers(o.sels),
                                       ign = pointers(o.ignsels);
    ULTextFileWriter out;
    if (out.open(o.crcfile) < 0) {
        ul_errorsetmsgfmt(UL_ERR_APPEND, u"Cannot create '%s'", o.crcfile);
        return UL_ERROR_RETURN(-1);
    }
    for (size_t i = 0; i < o.tables.size(); ++i)
        if (ULCheckCRCFile::prepare(&out, o.tables[i].c_str(), nullptr, nullptr, keys.data(),
                                    static_cast<unsigned>(keys.size()), sels.data(),
                                    static_cast<unsigned>(sels.size()), ign.data(),
                                    static_cast<unsigned>(ign.size()), nullptr, ~0u,
                                    i + 1 == o.tables.size()) < 0)
            return UL_ERROR_RETURN(-1);
    if (out.close() < 0) {
        ul_errorsetmsgfmt(UL_ERR_APPEND, u"Cannot write to '%s'", o.crcfile);
        return UL_ERROR_RETURN(-1);
    }
    return 0;
}

int printResult(int result, time_t started) {
    struct Text {
        int bit;
        char16_t severity;
        const char16_t* text;
    };
    static const Text texts[] = {
        {UL_CRCRESULT_NEWLINES, u' ', u"New checksums were generated."},
        {UL_CRCRESULT_OTHERSIDE, u'W', u"Need to analyze further on other side."},
        {UL_CRCRESULT_DIFFS, u'E', u"Differences in count or checksum were detected."},
    };
    for (const Text& t : texts)
        if ((result & t.bit) && say(t.text, t.severity) < 0) return UL_ERROR_RETURN(-1);
    if (result == 0 && say(u"No differences found and nothing left to do.") < 0)
        return UL_ERROR_RETURN(-1);
    char16_t elapsed[32];
    if (ul_formatelapsed(elapsed, 32, static_cast<long>(time(nullptr) - started)) < 0 ||
        say(ul_format(u"Elapsed time: %s.", elapsed)) < 0)
        return UL_ERROR_RETURN(-1);
    return 0;
}

}  // namespace

int cmd_CRCTABLE(unsigned int argc, const char16_t** argv) {
    return ul_guarded([&]() -> int {
        const time_t started = time(nullptr);
        CrcTableOptions o;
        if (parseOptions(argc, argv, &o) < 0) return UL_ERROR_RETURN(-1);
        if (!o.crcfile) return usage();
        UL_TabChkMaxDifferences = o.maxDiffs;
        UL_SQLCRCSliceCount = o.sliceCount;
        UL_TabChkMaxSlices = o.maxSlices;
        UL_SQLCRCMaxFieldLen = o.maxFieldLen;
        UL_SQLCRCNrSamples = o.nrSamples;
        if (!o.force && !fileExists(o.crcfile)) {
            if (o.tables.empty())
                return ul_errorfail(ul_format(
                    u"CRC file '%s' does not exist, need 'table=' phrase to prepare it",
                    o.crcfile));
            if (prepareFile(o) < 0) return UL_ERROR_RETURN(-1);
        }
        if (say(o.reffile ? ul_format(u"Running table check in '%s', verifying against '%s'.",
                                      o.crcfile, o.reffile)
                          : ul_format(u"Running table check in '%s'.", o.crcfile)) < 0)
            return UL_ERROR_RETURN(-1);
        const int result = ul_sqltablecrcrun(o.crcfile, o.reffile, o.runFlags);
        if (result < 0) return UL_ERROR_RETURN(-1);
        if (printResult(result, started) < 0) return UL_ERROR_RETURN(-1);
        return result;
    });
}

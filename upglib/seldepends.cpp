#include "seldepends.h"

#include "tabrix.h"
#include "ulerror.h"
#include "ullistfile.h"
#include "ulmsgwrite.h"
#include "ulstring.h"
#include "ulstring2.h"
#include "ulsqlutilext.h"
#include "ultextfile.h"
#include "ultrace.h"

namespace {

constexpr char16_t kUsage[] =
    u"Usage: tabrix seldepends <repair|writepmsg|creategraph> [infile=<path> modeflag=<V>]\n";
constexpr size_t kMaxTablSize = 7;
constexpr unsigned kMsgViewFailed = 740;

constexpr char16_t kTableInfoQuery[] = u"SELECT TABNAME, MODEFLAG, TABLSIZE FROM DDXTT";
constexpr char16_t kViewsQuery[] = u"SELECT VIEWNAME FROM DD26S WHERE TABNAME = ?";
constexpr char16_t kCdsViewsQuery[] =
    u"SELECT CLS.ENTITY_NAME   FROM DDLDEPENDENCY AS VIEW     INNER JOIN DDLDEPENDENCY AS STOB "
    u"      ON VIEW.DDLNAME = STOB.DDLNAME       AND VIEW.STATE = STOB.STATE     INNER JOIN "
    u"DDCDS_FROMCLAUSE AS CLS       ON STOB.OBJECTNAME = CLS.BASE_OBJ_NAME       AND "
    u"CLS.AS4LOCAL IN ('A', 'I')   WHERE VIEW.OBJECTNAME = ?     AND VIEW.STATE = 'A'     AND "
    u"STOB.OBJECTTYPE = 'STOB'     AND VIEW.OBJECTTYPE = 'VIEW'     AND CLS.PARAMETER_NAME = "
    u"'DIRECT_BASE_OBJECT'";
constexpr char16_t kRepairUpdate[] = u"UPDATE DDXTT SET MODEFLAG = 'A' WHERE TABNAME = ?";

struct Keyword {
    const char16_t* word;
    unsigned bit;
};
constexpr Keyword kOperations[] = {
    {u"repair", UL_SELDEP_REPAIR},
    {u"writepmsg", UL_SELDEP_WRITEPMSG},
    {u"creategraph", UL_SELDEP_CREATEGRAPH},
    {u"checkddls", UL_SELDEP_CHECKDDLS},
};

int message(const char16_t* format, const char16_t* value = nullptr) {
    return ul_msgwrite_printf399(1, u' ', format, value) < 0 ? UL_ERROR_RETURN(-1) : 0;
}

int separator() {
    return ul_msgwrite_print(1, u' ', 0, 0) < 0 ? UL_ERROR_RETURN(-1) : 0;
}

// An empty name, or one longer than the listing's names, fails the run.
int checkName(const std::u16string& name) {
    if (name.empty()) return ul_errorfail(u"Empty object name");
    if (name.size() > UL_LISTNAME_MAX)
        return ul_errorfail(ul_format(u"Object name '%s' is longer than %d characters",
                                      name.c_str(), static_cast<int>(UL_LISTNAME_MAX)));
    return 0;
}

bool parseArguments(unsigned argc, const char16_t** argv, ul_seldepoptions_t* options) {
    for (unsigned i = 1; i < argc; ++i) {
        const char16_t* arg = argv[i];
        bool known = false;
        for (const Keyword& k : kOperations) {
            if (ul_stricmp(arg, k.word) == 0) {
                options->operations |= k.bit;
                known = true;
            }
        }
        if (known) continue;
        if (const char16_t* v = ul_stringstarticmp(arg, u"modeflag=")) {
            if (!*v) return false;
            options->modeFlag = *v;
        } else if (const char16_t* l = ul_stringstarticmp(arg, u"level=")) {
            options->level = l;
        } else if (const char16_t* f = ul_stringstarticmp(arg, u"infile=")) {
            options->inFile = f;
        } else {
            return false;
        }
    }
    return options->operations != 0;
}


}  // namespace

int AuxSelectDeps::handleRow(unsigned flags, const char16_t** values, unsigned ncols) {
    if (!(flags & UL_ROW_DATA) || ncols == 0 || !values || !values[0]) return 0;
    const std::u16string name = ul_trimmed(values[0]);
    return ul_guarded([&]() -> int {
        switch (mode_) {
            case 1:
                owner_->addTableInfo(name.c_str(), ncols > 1 ? values[1] : nullptr,
                                     ncols > 2 ? values[2] : nullptr);
                return 0;
            case 2:
                return owner_->addLowest(name);
            default:
                return owner_->addView(parent_, name);
        }
    });
}

void ULSelDepends::addTableInfo(const char16_t* name, const char16_t* modeFlag,
                                const char16_t* tablSize) {
    ul_seldeptableinfo_t& info = tables_[name];
    info.modeFlag = modeFlag && *modeFlag ? *modeFlag : 0;
    info.tablSize = tablSize ? std::u16string(tablSize).substr(0, kMaxTablSize) : u"";
}

const ul_seldepobject_t* ULSelDepends::find(const std::u16string& name) const {
    auto it = byName_.find(name);
    return it == byName_.end() ? nullptr : it->second;
}

ul_seldepobject_t* ULSelDepends::newObject(const std::u16string& name) {
    auto object = std::make_unique<ul_seldepobject_t>();
    object->name = name;
    auto info = tables_.find(name);
    if (info != tables_.end()) object->info = &info->second;
    order_.push_back(std::move(object));
    byName_[name] = order_.back().get();
    return order_.back().get();
}

int ULSelDepends::addLowest(const std::u16string& name) {
    if (checkName(name) < 0) return UL_ERROR_RETURN(-1);
    if (byName_.count(name)) return 0;
    ul_seldepobject_t* object = newObject(name);
    object->lowest = true;
    lowest_.push_back(object);
    todo_.push_back(object);
    return 0;
}

int ULSelDepends::addView(ul_seldepobject_t* parent, const std::u16string& name) {
    if (checkName(name) < 0) return UL_ERROR_RETURN(-1);
    auto it = byName_.find(name);
    ul_seldepobject_t* view = it != byName_.end() ? it->second : nullptr;
    if (!view) {
        view = newObject(name);
        // Depth first: the new view is examined before the objects already waiting.
        todo_.push_front(view);
    }
    UL_TRACE(UL_TRC_SELDEPENDS, 2, u"Save view '%s' into children list of table '%s'\n",
             name.c_str(), parent->name.c_str());
    parent->children.push_back(view);
    return 0;
}

int ULSelDepends::collectTableInfo() {
    if (separator() < 0 || message(u"Collect table information") < 0) return UL_ERROR_RETURN(-1);
    AuxSelectDeps rows(this, 1);
    return ULSQLStmt::run(kTableInfoQuery, nullptr, 0, &rows, nullptr, 0) < 0
               ? UL_ERROR_RETURN(-1)
               : 0;
}

int ULSelDepends::readInputFile() {
    if (message(u"Get list of tables by reading '%s'", options_.inFile.c_str()) < 0)
        return UL_ERROR_RETURN(-1);
    return ul_guarded([&]() -> int {
        ULListFileReader list;
        if (list.open(options_.inFile.c_str(), u"Cannot read '%s'") < 0)
            return UL_ERROR_RETURN(-1);
        int rc;
        while ((rc = list.next(u"Cannot read '%s'")) > 0) {
            const char16_t* p = list.line();
            std::u16string name;
            const int got = ul_listreadname(&p, &name);
            if (got < 0) return UL_ERROR_RETURN(-1);
            if (got == 0) return list.fail(u"No object name in line '%s'");
            if (addLowest(name) < 0) return UL_ERROR_RETURN(-1);
        }
        return rc < 0 ? UL_ERROR_RETURN(-1) : 0;
    });
}

int ULSelDepends::collectLowest() {
    if (!options_.inFile.empty()) return readInputFile();
    if (message(u"Collect tables from database with level '%s'",
                options_.level.empty() ? u"lowest" : options_.level.c_str()) < 0)
        return UL_ERROR_RETURN(-1);
    std::u16string sql = ul_format(
        u"SELECT TABNAME FROM DDXTT WHERE MODEFLAG = '%c' AND TABLSIZE = ", options_.modeFlag);
    if (options_.level.empty()) {
        sql += ul_format(u"(SELECT MIN(TABLSIZE) FROM DDXTT WHERE MODEFLAG = '%c' AND "
                         u"TABLSIZE <> ' ')",
                         options_.modeFlag);
    } else if (ul_sqlappendliteral(&sql, options_.level.c_str(), UL_SQLTOKEN_STRING,
                                   ul_sqlcurrentliteralform()) < 0) {
        return UL_ERROR_RETURN(-1);
    }
    AuxSelectDeps rows(this, 2);
    return ULSQLStmt::run(sql.c_str(), nullptr, 0, &rows, nullptr, 0) < 0 ? UL_ERROR_RETURN(-1)
                                                                         : 0;
}

int ULSelDepends::buildGraph() {
    if (ul_msgwrite_timeprint(0) < 0 || message(u"Start to create dependency graph") < 0)
        return UL_ERROR_RETURN(-1);
    const bool cds = options_.operations & UL_SELDEP_CREATEGRAPH;
    ULSQLStmt views;
    ULSQLStmt cdsViews;
    if (views.prepare(kViewsQuery, nullptr, 0, nullptr, 0, 0) < 0 ||
        (cds && cdsViews.prepare(kCdsViewsQuery, nullptr, 0, nullptr, 0, 0) < 0))
        return UL_ERROR_RETURN(-1);
    AuxSelectDeps rows(this, 3);
    while (!todo_.empty()) {
        ul_seldepobject_t* object = todo_.front();
        todo_.pop_front();
        UL_TRACE(UL_TRC_SELDEPENDS, 2, u"Check dependency of object '%s'\n", object->name.c_str());
        rows.setParent(object);
        if (views.bindParamS(0, object->name.c_str()) < 0 ||
            views.execute(&rows, nullptr, 0) < 0)
            return UL_ERROR_RETURN(-1);
        if (cds && (cdsViews.bindParamS(0, object->name.c_str()) < 0 ||
                    cdsViews.execute(&rows, nullptr, 0) < 0))
            return UL_ERROR_RETURN(-1);
    }
    return 0;
}

int ULSelDepends::printNode(ul_seldepobject_t* node, int depth) {
    node->visited = true;
    std::u16string line = ul_format(u"%*s+-> %s", depth * 2, u"", node->name.c_str());
    if (node->info)
        line += ul_format(u" [modeflag='%c', tablsize='%s']",
                          node->info->modeFlag ? node->info->modeFlag : u' ',
                          node->info->tablSize.c_str());
    if (ul_msgwrite_line399(1, u' ', line) < 0) return UL_ERROR_RETURN(-1);
    for (ul_seldepobject_t* child : node->children)
        if (!child->visited && printNode(child, depth + 1) < 0) return UL_ERROR_RETURN(-1);
    return 0;
}

int ULSelDepends::printGraph() {
    if (separator() < 0 || message(u"Print dependency graph") < 0) return UL_ERROR_RETURN(-1);
    for (ul_seldepobject_t* object : lowest_)
        if (!object->visited && printNode(object, 0) < 0) return UL_ERROR_RETURN(-1);
    return 0;
}

int ULSelDepends::listViews() {
    const bool repair = options_.operations & UL_SELDEP_REPAIR;
    ULSQLStmt update;
    if (repair && update.prepare(kRepairUpdate, nullptr, 0, nullptr, 0, 0) < 0)
        return UL_ERROR_RETURN(-1);
    if (separator() < 0 ||
        message(u"[%s] List of dependent views:", repair ? u"REPAIR" : u"LIST") < 0)
        return UL_ERROR_RETURN(-1);
    for (const auto& object : order_) {
        if (!object->info) continue;
        if (repair) {
            UL_TRACE(UL_TRC_SELDEPENDS, 6, u"Repair object '%s'\n", object->name.c_str());
            if (update.bindParamS(0, object->name.c_str()) < 0 ||
                update.execute(nullptr, nullptr, 0) < 0)
                return UL_ERROR_RETURN(-1);
        }
        const char16_t severity =
            (options_.operations & UL_SELDEP_WRITEPMSG) && object->lowest ? u'P' : u' ';
        if (ul_msgwrite_print(1, severity, kMsgViewFailed, 0, object->name.c_str()) < 0)
            return UL_ERROR_RETURN(-1);
    }
    return 0;
}

int ULSelDepends::run() {
    if (collectTableInfo() < 0 || collectLowest() < 0 || buildGraph() < 0)
        return UL_ERROR_RETURN(-1);
    if ((options_.operations & UL_SELDEP_CREATEGRAPH) && printGraph() < 0)
        return UL_ERROR_RETURN(-1);
    return listViews();
}

int cmd_SELDEPENDS(unsigned int argc, const char16_t** argv) {
    ul_seldepoptions_t options;
    if (!parseArguments(argc, argv, &options)) return ul_cmdprintusage(kUsage);
    if (ul_sqlconnect2(0) < 0) return UL_ERROR_RETURN(-1);
    ULSelDepends run(std::move(options));
    if (run.run() < 0) return ul_sqldisconnectfailed();
    return ul_sqldisconnect(0) < 0 ? UL_ERROR_RETURN(-1) : 0;
}

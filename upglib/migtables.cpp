#include "migtables.h"

#include <string>
#include <vector>

#include "tabrix.h"
#include "ulerror.h"
#include "ulmsgwrite.h"
#include "ulsqlbase.h"
#include "ulsqlmigtables.h"
#include "ulstring.h"
#include "ulstring2.h"
#include "ultextfile.h"

namespace {

constexpr char16_t kUsage[] =
    u"Usage: migtables [<options>] <action> ...\n"
    u"Options:\n"
    u"  outfile=<filepath>       write the result list to this file (default: the log)\n"
    u"  targetdb=<targetdb>      exclude objects for the given target database\n"
    u"  schemas=<schemas>        additional schemas, comma separated (native mode)\n"
    u"  schemalist=<schemafile>  additional schemas, one per line\n"
    u"  ignschemas=<schemas>     ignore objects of these schemas in native mode\n"
    u"Actions (run in the order given, on one list):\n"
    u"  select <tableselection>  add the objects of a selection: keywords joined by '+'\n"
    u"                           (nametabs, nolobtables, lobtables, transparenttables,\n"
    u"                           [non]emptyclustertables, clustertables, [non]emptypooltables,\n"
    u"                           pooltables, logicalcluster, logicalpools, logicaltables,\n"
    u"                           tables, tables4crc, dbfunctions, amdps, druls, dtdcs, dbviews,\n"
    u"                           cdsviews, views, all, nodbdiff, native, adddependencies,\n"
    u"                           noignsystemschemas)\n"
    u"  exptables:<options>      add the tables for the export tool; options comma separated:\n"
    u"                           emptytables=<emptyfile>, condenseempty,\n"
    u"                           release=<vexrel> instead of the content of 'SVERS'\n"
    u"  read <listfile>          add the objects of a list file\n"
    u"  remove <listfile>        remove the objects of a list file\n"
    u"  adddeps:<options>        add dependent objects; options comma separated:\n"
    u"                           reversed, native, noignsystemschemas\n";

int usage() {
    ULTextFileWriter out;
    if (out.attach(stdout, u"stdout") < 0 || out.write(kUsage) < 0 || out.flush() < 0)
        return UL_ERROR_RETURN(-1);
    return UL_EXIT_USAGE;
}

int message(const std::u16string& text) {
    return ul_msgwrite_line399(1, u' ', text) < 0 ? UL_ERROR_RETURN(-1) : 0;
}

enum class ActionKind { select, exptables, read, remove, adddeps };

struct Action {
    ActionKind kind;
    std::u16string argument;  // selection text or file
    unsigned selection = 0;
    ul_migexpoptions_t exp;
    int depFlags = 0;
};

struct Settings {
    std::u16string outFile;
    std::u16string targetDb;
    std::vector<std::u16string> schemas;
    std::vector<std::u16string> ignSchemas;
    std::vector<Action> actions;
};

// The words of a comma-separated list, trimmed, empty ones skipped.
int splitList(const char16_t* text, std::vector<std::u16string>* words) {
    char16_t buffer[256];
    const char16_t* cursor = text;
    int rc;
    while ((rc = ul_stringexpwordlist(&cursor, u',', buffer, std::size(buffer),
                                      UL_WORDLIST_TRIM | UL_WORDLIST_SKIP_EMPTY)) > 0)
        words->emplace_back(buffer);
    return rc < 0 ? UL_ERROR_RETURN(-1) : 0;
}

int readSchemaList(const char16_t* file, std::vector<std::u16string>* schemas) {
    ULTextFileReader in;
    if (in.open(file) < 0) {
        ul_errorsetmsgfmt(UL_ERR_PREPEND, u"Cannot read '%s'", file);
        return UL_ERROR_RETURN(-1);
    }
    int count = 0;
    int rc;
    while ((rc = in.readLine()) > 0) {
        if (in.length() > 255) {
            return ul_errorfail(ul_format(u"Line %d of '%s' is longer than %d characters",
                                          in.lineNumber(), file, 255));
        }
        char16_t* line = in.line();
        ul_stringtrim(line);
        if (!*line || *line == u'#') continue;
        schemas->emplace_back(line);
        ++count;
    }
    if (rc < 0) return UL_ERROR_RETURN(-1);
    return message(ul_format(u"Read %d additional schemas from '%s'.", count, file));
}

// The options behind "<action>:", comma separated.
int parseActionOptions(const char16_t* options, Action* action) {
    std::vector<std::u16string> words;
    if (splitList(options, &words) < 0) return UL_ERROR_RETURN(-1);
    const bool exp = action->kind == ActionKind::exptables;
    for (const auto& w : words) {
        const char16_t* v = nullptr;
        if (exp && (v = ul_stringstarticmp(w.c_str(), u"emptytables=")) && *v) {
            action->exp.emptyTables = v;
        } else if (exp && (v = ul_stringstarticmp(w.c_str(), u"release=")) && *v) {
            action->exp.release = v;
        } else if (exp && ul_stricmp(w.c_str(), u"condenseempty") == 0) {
            action->exp.condenseEmpty = true;
        } else if (!exp && ul_stricmp(w.c_str(), u"reversed") == 0) {
            action->depFlags |= UL_MIGDEPS_REVERSED;
        } else if (!exp && ul_stricmp(w.c_str(), u"native") == 0) {
            action->depFlags |= UL_MIGDEPS_NATIVE;
        } else if (!exp && ul_stricmp(w.c_str(), u"noignsystemschemas") == 0) {
            action->depFlags |= UL_MIGDEPS_NOIGNSYSSCHEMAS;
        } else {
            return ul_errorfail(ul_format(u"Invalid option '%s' for '%s'", w.c_str(),
                                          exp ? u"exptables" : u"adddeps"));
        }
    }
    if (action->exp.condenseEmpty && action->exp.emptyTables.empty())
        return ul_errorfail(u"Option 'condenseempty' for 'exptables' needs 'emptytables='");
    return 0;
}

// An action word with its argument at argv[*i]; *i moves past what it takes.
int parseAction(unsigned argc, const char16_t** argv, unsigned* i, Action* action) {
    const char16_t* word = argv[*i];
    struct Word {
        const char16_t* name;
        ActionKind kind;
        bool takesArgument;
    };
    static constexpr Word kWords[] = {
        {u"select", ActionKind::select, true},       {u"read", ActionKind::read, true},
        {u"remove", ActionKind::remove, true},       {u"exptables", ActionKind::exptables, false},
        {u"adddeps", ActionKind::adddeps, false},
    };
    for (const auto& w : kWords) {
        const char16_t* rest = ul_stringstarticmp(word, w.name);
        if (!rest || (*rest && (w.takesArgument || *rest != u':'))) continue;
        action->kind = w.kind;
        ++*i;
        if (!w.takesArgument) return *rest ? parseActionOptions(rest + 1, action) : 0;
        if (*i >= argc || !*argv[*i])
            return ul_errorfail(ul_format(u"Missing argument for action '%s'", word));
        action->argument = argv[(*i)++];
        if (w.kind == ActionKind::select &&
            ul_sqlmapmigtablename(action->argument.c_str(), &action->selection) < 0)
            return UL_ERROR_RETURN(-1);
        return 0;
    }
    return ul_errorfail(ul_format(u"Unknown action '%s'", word));
}

int parseOption(const char16_t* word, Settings* s, bool* taken) {
    *taken = true;
    const char16_t* v;
    if ((v = ul_stringstarticmp(word, u"outfile="))) {
        s->outFile = v;
    } else if ((v = ul_stringstarticmp(word, u"targetdb="))) {
        s->targetDb = v;
    } else if ((v = ul_stringstarticmp(word, u"schemas="))) {
        return splitList(v, &s->schemas);
    } else if ((v = ul_stringstarticmp(word, u"schemalist="))) {
        return readSchemaList(v, &s->schemas);
    } else if ((v = ul_stringstarticmp(word, u"ignschemas="))) {
        return splitList(v, &s->ignSchemas);
    } else {
        *taken = false;
    }
    return 0;
}

int parseArguments(unsigned argc, const char16_t** argv, Settings* s) {
    unsigned i = 1;
    for (bool taken = true; i < argc; ++i) {
        if (parseOption(argv[i], s, &taken) < 0) return UL_ERROR_RETURN(-1);
        if (!taken) break;
    }
    for (const auto& schema : s->schemas) {
        for (const auto& ignored : s->ignSchemas) {
            if (ul_stricmp(schema.c_str(), ignored.c_str()) == 0) {
                return ul_errorfail(ul_format(
                    u"Schema '%s' appears in list of ignored and additional schema", schema.c_str()));
            }
        }
    }
    while (i < argc) {
        if (s->actions.size() >= static_cast<size_t>(UL_MIGTABLES_MAXACTIONS))
            return ul_errorfail(ul_format(u"Too many actions with '%s'", argv[i]));
        Action action{};
        if (parseAction(argc, argv, &i, &action) < 0) return UL_ERROR_RETURN(-1);
        s->actions.push_back(std::move(action));
    }
    return 0;
}

int runAction(const Action& a, const Settings& s, ULMigTableList* list) {
    int n = 0;
    switch (a.kind) {
        case ActionKind::select:
            if (message(ul_format(u"Action: Selecting objects type '%s'.", a.argument.c_str())) < 0)
                return UL_ERROR_RETURN(-1);
            n = ul_sqllistmigrationtables(list, s.schemas, s.ignSchemas, s.targetDb.c_str(),
                                          a.selection);
            return n < 0 ? UL_ERROR_RETURN(-1) : message(ul_format(u"Selected %d objects.", n));
        case ActionKind::exptables:
            if (message(u"Action: Listing tables for the export tool.") < 0)
                return UL_ERROR_RETURN(-1);
            n = ul_sqlmigexptables(list, a.exp);
            return n < 0 ? UL_ERROR_RETURN(-1) : message(ul_format(u"Listed %d tables.", n));
        case ActionKind::read:
            if (message(ul_format(u"Action: Reading input file '%s'.", a.argument.c_str())) < 0)
                return UL_ERROR_RETURN(-1);
            n = ul_sqlmigtablesread(list, a.argument.c_str());
            return n < 0 ? UL_ERROR_RETURN(-1) : message(ul_format(u"Read %d objects.", n));
        case ActionKind::remove:
            if (message(ul_format(u"Action: Removing objects from input file '%s'.",
                                  a.argument.c_str())) < 0)
                return UL_ERROR_RETURN(-1);
            n = ul_sqlmigtablesremove(list, a.argument.c_str());
            return n < 0 ? UL_ERROR_RETURN(-1) : message(ul_format(u"Removed %d objects.", n));
        case ActionKind::adddeps:
            if (message(ul_format(u"Action: Adding dependent objects%s.",
                                  (a.depFlags & UL_MIGDEPS_REVERSED) ? u" reversed" : u"")) < 0)
                return UL_ERROR_RETURN(-1);
            return ul_sqlmigadddependencies(list, s.schemas, a.depFlags) < 0 ? UL_ERROR_RETURN(-1)
                                                                             : 0;
    }
    return 0;
}

bool needsDatabase(const Action& a) {
    return a.kind == ActionKind::select || a.kind == ActionKind::exptables ||
           a.kind == ActionKind::adddeps;
}

int run(const Settings& s) {
    ULMigTableList list;
    for (const auto& a : s.actions) {
        if (needsDatabase(a) && !ul_sqlisconnected() && ul_sqlconnect2(0) < 0)
            return UL_ERROR_RETURN(-1);
        if (runAction(a, s, &list) < 0)
            return ul_sqlisconnected() ? ul_sqldisconnectfailed() : UL_ERROR_RETURN(-1);
    }
    if (ul_sqlisconnected() && ul_sqldisconnect(0) < 0) return UL_ERROR_RETURN(-1);
    if (!s.outFile.empty() &&
        message(ul_format(u"Dumping result to '%s'.", s.outFile.c_str())) < 0)
        return UL_ERROR_RETURN(-1);
    if (ul_sqlmigtableswrite(list, s.outFile.empty() ? nullptr : s.outFile.c_str()) < 0)
        return UL_ERROR_RETURN(-1);
    return 0;
}

}  // namespace

int cmd_MIGTABLES(unsigned int argc, const char16_t** argv) {
    if (argc < 2) return usage();
    return ul_guarded([&]() -> int {
        Settings settings;
        if (parseArguments(argc, argv, &settings) < 0) return UL_ERROR_RETURN(-1);
        if (settings.actions.empty()) return usage();
        return run(settings);
    });
}

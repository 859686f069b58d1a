#include "objsize.h"

#include <cstdio>

#include "tabrix.h"
#include "ulerror.h"
#include "ullistfile.h"
#include "ulsqlbase.h"
#include "ulstring.h"
#include "ulstring2.h"
#include "ultextfile.h"

namespace {

constexpr char16_t kUsage[] = u"Usage: tabrix objsize <infile> [<outfile>]\n";

struct KindPrefix {
    const char16_t* prefix;
    dbif_objkind kind;
};
constexpr KindPrefix kKinds[] = {
    {u"tab:", dbif_objkind::table},
    {u"ind:", dbif_objkind::index},
    {u"dbs:", dbif_objkind::database},
};

// One entry line into object; -1 with the line's message.
int parseLine(const ULListFileReader& list, dbif_objsize_t* object) {
    const char16_t* line = list.line();
    const char16_t* p = nullptr;
    for (const KindPrefix& k : kKinds) {
        if (ul_strncmp(line, k.prefix, 4) == 0) {
            p = line + 4;
            object->kind = k.kind;
        }
    }
    if (!p) return list.fail(u"Invalid line '%s'");
    int rc = ul_listreadname(&p, &object->name);
    if (rc > 0 && object->kind == dbif_objkind::index) rc = ul_listreadname(&p, &object->table);
    if (rc < 0) return UL_ERROR_RETURN(-1);
    if (rc == 0) return list.fail(u"Invalid line '%s'");
    if (!ul_listatend(p)) return list.fail(u"Garbage in line '%s'");
    return 0;
}

const char16_t* kindName(dbif_objkind kind) {
    switch (kind) {
        case dbif_objkind::table:
            return u"tab";
        case dbif_objkind::index:
            return u"ind";
        case dbif_objkind::database:
            return u"dbs";
    }
    return u"???";
}

int writeSizes(const char16_t* outFile, const std::vector<dbif_objsize_t>& objects) {
    ULTextFileWriter out;
    const int rc = outFile ? out.open(outFile) : out.attach(stdout, u"stdout");
    if (rc < 0) {
        ul_errorsetmsgfmt(UL_ERR_PREPEND, u"Cannot write to '%s'", outFile);
        return UL_ERROR_RETURN(-1);
    }
    for (const dbif_objsize_t& object : objects)
        if (out.writeLine(ul_objsizeformat(object).c_str()) < 0) return UL_ERROR_RETURN(-1);
    return out.close();
}


}  // namespace

int ul_objsizereadlist(const char16_t* path, std::vector<dbif_objsize_t>* objects) {
    return ul_guarded([&]() -> int {
        ULListFileReader list;
        if (list.open(path, u"Cannot read '%s'") < 0) return UL_ERROR_RETURN(-1);
        int rc;
        while ((rc = list.next(u"Read error for '%s'")) > 0) {
            dbif_objsize_t object;
            if (parseLine(list, &object) < 0) return UL_ERROR_RETURN(-1);
            objects->push_back(std::move(object));
        }
        return rc < 0 ? UL_ERROR_RETURN(-1) : 0;
    });
}

int ul_objsizeget(std::vector<dbif_objsize_t>* objects) {
    if (objects->empty()) return 0;
    dbif_control_t argument;
    argument.objectSizes = objects;
    const int rc = ul_sqldbifcontrol(DBIF_CTL_OBJECT_SIZES, &argument);
    if (rc == DBIF_RC_OK) return 0;
    const dbif_commarea_t* area = ul_sqlcommarea();
    ul_errorsetmsgfmt(0, u"Cannot get object sizes for %d objects",
                      static_cast<int>(objects->size()));
    if (rc > 0 && area && !area->errorText.empty())
        ul_errorsetmsgfmt(UL_ERR_APPEND, u"%s", area->errorText.c_str());
    return UL_ERROR_RETURN(-1);
}

std::u16string ul_objsizeformat(const dbif_objsize_t& object) {
    std::u16string line = ul_format(u"%s: %-20s %20ld%s \"%s\"", kindName(object.kind),
                                    object.name.c_str(), static_cast<long>(object.size),
                                    object.kind == dbif_objkind::database ? u"MB" : u"KB",
                                    object.name.c_str());
    if (object.kind == dbif_objkind::index) line += u" \"" + object.table + u"\"";
    return line;
}

int cmd_OBJSIZE(unsigned int argc, const char16_t** argv) {
    const char16_t* files[2] = {nullptr, nullptr};
    unsigned nfiles = 0;
    for (unsigned i = 1; i < argc; ++i) {
        if (ul_stricmp(argv[i], u"check_sharingtype") == 0) continue;
        if (nfiles == 2) return ul_errorfail(ul_format(u"Unknown argument '%s'", argv[i]));
        files[nfiles++] = argv[i];
    }
    if (nfiles == 0) return ul_cmdprintusage(kUsage);
    std::vector<dbif_objsize_t> objects;
    if (ul_objsizereadlist(files[0], &objects) < 0) return UL_ERROR_RETURN(-1);
    if (ul_sqlconnect2(0) < 0) return UL_ERROR_RETURN(-1);
    if (ul_objsizeget(&objects) < 0) return ul_sqldisconnectfailed();
    if (ul_sqldisconnect(0) < 0) return UL_ERROR_RETURN(-1);
    return writeSizes(files[1], objects) < 0 ? UL_ERROR_RETURN(-1) : 0;
}

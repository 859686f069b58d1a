#include "ulsqlbase.h"

#include <iterator>

#include "ulerror.h"
#include "ulmsgwrite.h"
#include "ulstring.h"

// ---- isolation level ----------------------------------------------------------------------

namespace {

int g_isoLevel = UL_ISOLEVEL_DEFAULT;

struct IsoLevelName {
    const char16_t* keyword;
    const char16_t* logName;
};
constexpr IsoLevelName kIsoLevelNames[] = {
    {u"default", u"DEFAULT"},      // UL_ISOLEVEL_DEFAULT
    {u"committed", u"COMMITTED"},  // UL_ISOLEVEL_COMMITTED
};

}  // namespace

int ul_sqlsetisolevel(int level) {
    if (level != UL_ISOLEVEL_DEFAULT && level != UL_ISOLEVEL_COMMITTED) {
        ul_errorsetmsgfmt(0, u"Invalid isolation level %d", level);
        return UL_ERROR_RETURN(-1);
    }
    g_isoLevel = level;
    // Without a connection the level only takes effect at the next connect.
    if (ul_msgwrite_printf399(3, u' ', u"Setting isolation level to '%s'%s.",
                              kIsoLevelNames[level].logName, u" for future") < 0)
        return UL_ERROR_RETURN(-1);
    return 0;
}

int ul_sqlgetisolevel() {
    return g_isoLevel;
}

int ul_sqlisolevelfromstring(const char16_t* keyword) {
    if (!keyword) return -1;
    for (int level = 0; level < static_cast<int>(std::size(kIsoLevelNames)); ++level)
        if (ul_stricmp(keyword, kIsoLevelNames[level].keyword) == 0) return level;
    return -1;
}

#include "ullistfile.h"

#include "ulerror.h"
#include "ulstring.h"
#include "ulstring2.h"

namespace {

constexpr int kNameEscape = UL_ESCAPE_C | UL_ESCAPE_CONTROL;

bool isBlank(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\r';
}

}  // namespace

int ULListFileReader::open(const char16_t* path, const char16_t* failText) {
    if (reader_.open(path) < 0) {
        ul_errorsetmsgfmt(UL_ERR_PREPEND, failText, path);
        return UL_ERROR_RETURN(-1);
    }
    return 0;
}

int ULListFileReader::next(const char16_t* readFailText) {
    for (;;) {
        const int rc = reader_.readLine();
        if (rc < 0) {
            ul_errorsetmsgfmt(UL_ERR_PREPEND, readFailText, reader_.path());
            return UL_ERROR_RETURN(-1);
        }
        if (rc == 0) return 0;
        const char16_t* begin = reader_.line();
        const char16_t* end = begin + reader_.length();
        while (begin < end && isBlank(*begin)) ++begin;
        while (end > begin && isBlank(end[-1])) --end;
        if (begin == end || *begin == u'#') continue;
        line_.assign(begin, end);
        return 1;
    }
}

int ULListFileReader::fail(const char16_t* format) const {
    ul_errorsetmsgfmt(0, format, line_.c_str());
    return failHere();
}

int ULListFileReader::failHere() const {
    ul_errorsetmsgfmt(UL_ERR_APPEND, u"(line %d of '%s')", reader_.lineNumber(), reader_.path());
    return UL_ERROR_RETURN(-1);
}

int ul_listreadname(const char16_t** p, std::u16string* name) {
    char16_t buffer[UL_LISTNAME_MAX + 1];
    const char16_t* end = *p;
    const int rc = ul_stringreadescape(buffer, std::size(buffer), *p, 0, &end, kNameEscape);
    if (rc < 0) return UL_ERROR_RETURN(-1);
    *p = end;
    if (rc == 0 || buffer[0] == 0) return 0;
    *name = buffer;
    return 1;
}

bool ul_listatend(const char16_t* p) {
    while (isBlank(*p)) ++p;
    return *p == 0;
}

// Statement text: quoted text, comments and hint phrases.
#include "dbif_sqltext.h"

#include "ulstring.h"

size_t dbif_skipquoted(const char16_t* s, size_t n, size_t i) {
    char16_t quote = s[i++];
    while (i < n) {
        if (s[i] == quote) {
            if (i + 1 < n && s[i + 1] == quote) {
                i += 2;
                continue;
            }
            return i + 1;
        }
        ++i;
    }
    return n;
}

size_t dbif_skipcomment(const char16_t* s, size_t n, size_t i) {
    if (i + 1 < n && s[i] == u'-' && s[i + 1] == u'-') {
        while (i < n && s[i] != u'\n') ++i;
        return i;
    }
    if (i + 1 < n && s[i] == u'/' && s[i + 1] == u'*') {
        for (i += 2; i + 1 < n; ++i) {
            if (s[i] == u'*' && s[i + 1] == u'/') return i + 2;
        }
        return n;
    }
    return i;
}

size_t dbif_hintend(const char16_t* s, size_t n, size_t i) {
    int depth = 1;
    while (i < n) {
        char16_t c = s[i];
        if (c == u'\'' || c == u'"') {
            i = dbif_skipquoted(s, n, i);
            continue;
        }
        if (c == u'(') ++depth;
        if (c == u')' && --depth == 0) return i + 1;
        ++i;
    }
    return n + 1;
}

long dbif_striphints(const char16_t* sql, std::u16string* out) {
    static constexpr char16_t kHint[] = u"#DBIF_HINT(";
    constexpr size_t kHintLength = sizeof(kHint) / sizeof(kHint[0]) - 1;
    const size_t n = ul_strlen(sql);
    out->clear();
    out->reserve(n);
    long markers = 0;
    size_t copied = 0;
    size_t i = 0;
    while (i < n) {
        char16_t c = sql[i];
        if (c == u'\'' || c == u'"') {
            i = dbif_skipquoted(sql, n, i);
            continue;
        }
        size_t behind = dbif_skipcomment(sql, n, i);
        if (behind != i) {
            i = behind;
            continue;
        }
        if (c == u'?') ++markers;
        if (c == u'#' && ul_strncmp(sql + i, kHint, kHintLength) == 0) {
            size_t end = dbif_hintend(sql, n, i + kHintLength);
            if (end > n) {
                markers = -1;
                break;
            }
            out->append(sql + copied, i - copied);
            out->push_back(u' ');
            copied = i = end;
            continue;
        }
        ++i;
    }
    out->append(sql + copied, n - copied);
    return markers;
}

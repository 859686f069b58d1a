#include "ulsqlcondition.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "ulerror.h"
#include "ulfile.h"
#include "ulmacro.h"
#include "ulmsgwrite.h"
#include "ulnametab.h"
#include "ulsqlaux.h"
#include "ulsqlbase.h"
#include "ulsqlbase2.h"
#include "ulsqlutil.h"
#include "ulsqlutilext.h"
#include "ulstring.h"
#include "ulstring2.h"
#include "ultextfile.h"
#include "ultrace.h"


namespace {

int copyOut(char16_t* buffer, size_t size, const std::u16string& text, const char16_t* what) {
    if (text.size() >= size) {
        ul_errorsetmsgfmt(0, u"%s exceeds %zu characters", what, size ? size - 1 : 0);
        return UL_ERROR_RETURN(-1);
    }
    std::copy(text.begin(), text.end(), buffer);
    buffer[text.size()] = 0;
    return static_cast<int>(text.size());
}

}  // namespace

// ==== row counts ===============================================================================

bool ul_sqlparserowcount(const char16_t* text, ul_dbrowcount_t* count) {
    const char16_t* p = text;
    while (*p == u' ') ++p;
    const bool negative = *p == u'-';
    if (*p == u'-' || *p == u'+') ++p;
    if (!ul_isdigit(*p)) return false;
    ul_dbrowcount_t value = 0;
    for (; ul_isdigit(*p); ++p) value = value * 10 + static_cast<ul_dbrowcount_t>(*p - u'0');
    if (*p == u'.')
        for (++p; *p == u'0'; ++p) {
        }
    while (*p == u' ') ++p;
    if (*p) return false;
    *count = negative ? 0 : value;
    return true;
}

// ==== condition lists ===========================================================================

int ULTableSplit::createSegmentEntry(ul_dbrowcount_t rows, const char16_t* condition, int flags) {
    std::u16string text;
    if (flags & UL_SEGMENT_INVERT) {
        text = u"NOT( ";
        ul_sqlappendembedded(&text, condition ? condition : u"", u" )");
    } else if (condition) {
        text = condition;
    }
    ul_dllistnode_t* node =
        ul_dllistcreatenode(nullptr, sizeof(ul_tablesegment_t) + (text.size() + 1) * 2);
    if (!node) return UL_ERROR_RETURN(-1);
    auto* segment = static_cast<ul_tablesegment_t*>(node->data());
    segment->rows = rows;
    std::copy(text.begin(), text.end(), segment->condition());
    segment->condition()[text.size()] = 0;
    entries.addNode(node, -1);
    return 0;
}

int ULTableSplit::reduce2SingleCondition(int pos) {
    const int count = getCount();
    if (pos < 0 || pos >= count) {
        ul_errorsetmsgfmt(0, u"Invalid position %d exceeding number of conditions", pos);
        return UL_ERROR_RETURN(-1);
    }
    ul_dllistnode_t* keep = entries.getNode(pos);
    ul_dllist_t::unlinkNode(keep);
    entries.freeList(0);
    entries.addNode(keep, -1);
    return 0;
}

ul_dbrowcount_t ULTableSplit::getNumberRows() const {
    ul_dbrowcount_t total = 0;
    for (const ul_tablesegment_t& s : *this) {
        if (s.rows == UL_DBROWCOUNT_INVALID) return UL_DBROWCOUNT_INVALID;
        total += s.rows;
    }
    return total;
}

void ULTableSplit::takeEntries(ULTableSplit* other) {
    while (!other->entries.isEmpty()) {
        ul_dllistnode_t* node = other->entries.head;
        ul_dllist_t::unlinkNode(node);
        entries.addNode(node, -1);
    }
}

void ul_sqltablesplitsfree(ULTableSplitList* list) {
    if (list) list->clearHash();
}

void ULSqlCommentScan::feed(std::u16string_view text) {
    lineComment_ = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        const char16_t next = i + 1 < text.size() ? text[i + 1] : 0;
        if (lineComment_) {
            lineComment_ = c != u'\n' && c != u'\r';
        } else if (block_) {
            if (c == u'*' && next == u'/') {
                block_ = false;
                ++i;
            }
        } else if (quote_) {
            if (c == quote_) quote_ = 0;
        } else if (c == u'\'' || c == u'"') {
            quote_ = c;
        } else if (c == u'-' && next == u'-') {
            lineComment_ = true;
            ++i;
        } else if (c == u'/' && next == u'*') {
            block_ = true;
            ++i;
        }
    }
}

void ul_sqlappendembedded(std::u16string* out, std::u16string_view condition,
                          std::u16string_view follow) {
    *out += condition;
    ULSqlCommentScan scan;
    scan.feed(condition);
    if (scan.inLineComment()) {
        out->push_back(u'\n');
        while (!follow.empty() && follow.front() == u' ') follow.remove_prefix(1);
    }
    *out += follow;
}

// ==== key boundaries ============================================================================

void ul_sqlboundary_t::copy(const ul_sqlboundary_t& from) {
    SQBND_NValues = from.SQBND_NValues;
    std::copy_n(from.fields, SQBND_NValues, fields);
    std::copy_n(from.values, SQBND_NValues, values);
    std::copy_n(from.lengths, SQBND_NValues, lengths);
    std::copy_n(from.tokenClasses, SQBND_NValues, tokenClasses);
}

int ul_sqlboundary_t::comparePrefix(const ul_sqlboundary_t& other, unsigned n) const {
    for (unsigned i = 0; i < n; ++i) {
        const int c = ul_sqlvaluecompare(value(i), other.value(i), tokenClasses[i]);
        if (c != 0) return c < 0 ? -1 : 1;
    }
    return 0;
}

int ul_sqlboundary_t::compare(const ul_sqlboundary_t& other) const {
    const int c = comparePrefix(other, std::min(SQBND_NValues, other.SQBND_NValues));
    if (c != 0) return c;
    return SQBND_NValues < other.SQBND_NValues ? -1 : SQBND_NValues > other.SQBND_NValues ? 1 : 0;
}

int ul_sqlboundary_t::boundaryAddCheckValue(ul_strpool_t* pool, const char16_t* field,
                                            std::u16string_view value, int tokenClass) {
    if (SQBND_NValues >= UL_SQLBOUNDARY_MAXVALUES) {
        ul_errorsetmsgfmt(0, u"Too many values for boundary (%d)",
                          static_cast<int>(SQBND_NValues + 1));
        return UL_ERROR_RETURN(-1);
    }
    const char16_t* f = pool->dupString(field ? field : u"", UL_STRPOOL_DEDUP);
    const char16_t* v = pool->dupString(value);
    if (!f || !v) return UL_ERROR_RETURN(-1);
    fields[SQBND_NValues] = f;
    values[SQBND_NValues] = v;
    lengths[SQBND_NValues] = value.size();
    tokenClasses[SQBND_NValues] = tokenClass;
    ++SQBND_NValues;
    return 0;
}

// ==== condition generator =======================================================================

namespace {

// Writes the pieces of one key-range condition.
class ConditionWriter {
  public:
    ConditionWriter(const char16_t* qualifier, const char16_t* const* fields,
                    const int* tokenClasses, ul_sqlfieldquoter_t quoter, bool asIs)
        : qualifier_(qualifier),
          fields_(fields),
          classes_(tokenClasses),
          quoter_(quoter),
          asIs_(asIs),
          form_(ul_sqlcurrentliteralform()) {}

    int write(std::u16string* out, const std::u16string_view* low, unsigned nlow,
              const std::u16string_view* high, unsigned nhigh, int mode) {
        const bool lowIncl = mode & UL_WHERECOND_LOWINCL;
        const bool highExcl = mode & UL_WHERECOND_HIGHEXCL;
        unsigned neq = 0;
        if (nlow > 0 && nhigh > 0) {
            const unsigned m = std::min(nlow, nhigh);
            const unsigned limit = (lowIncl && !highExcl) ? m : m - 1;
            while (neq < limit && low[neq] == high[neq]) ++neq;
        }
        const bool lowPart = nlow > neq;
        const bool highPart = nhigh > neq;
        if (neq == 0 && !lowPart && !highPart) return 0;
        const bool brackets = mode & UL_WHERECOND_BRACKETS;
        if (brackets) out->push_back(u'(');
        for (unsigned i = 0; i < neq; ++i) {
            if (i > 0) *out += u" AND ";
            if (equality(out, i, low[i]) < 0) return UL_ERROR_RETURN(-1);
        }
        if (lowPart) {
            if (neq > 0) *out += u" AND ";
            if (bound(out, low, neq, nlow, true, lowIncl, highPart || neq > 0) < 0)
                return UL_ERROR_RETURN(-1);
        }
        if (highPart) {
            if (neq > 0 || lowPart) *out += u" AND ";
            if (bound(out, high, neq, nhigh, false, !highExcl, neq > 0 || lowPart) < 0)
                return UL_ERROR_RETURN(-1);
        }
        if (brackets) out->push_back(u')');
        return 0;
    }

  private:
    int field(std::u16string* out, unsigned i) {
        if (qualifier_) *out += qualifier_;
        if (!quoter_) {
            *out += fields_[i];
            return 0;
        }
        char16_t quoted[UL_SQLNAMESIZE];
        if (quoter_(quoted, UL_SQLNAMESIZE, fields_[i], 0) < 0) return UL_ERROR_RETURN(-1);
        *out += quoted;
        return 0;
    }
    int value(std::u16string* out, unsigned i, std::u16string_view v) {
        if (asIs_) {
            *out += v;
            return 0;
        }
        return ul_sqlappendliteral(out, v, classes_[i], form_) < 0 ? UL_ERROR_RETURN(-1) : 0;
    }
    int equality(std::u16string* out, unsigned i, std::u16string_view v) {
        if (field(out, i) < 0) return UL_ERROR_RETURN(-1);
        *out += u" = ";
        return value(out, i, v);
    }
    int comparison(std::u16string* out, unsigned i, std::u16string_view v, bool lower,
                   bool orEqual) {
        const char16_t* op = orEqual ? u" <= " : u" < ";
        if (lower) {
            if (value(out, i, v) < 0) return UL_ERROR_RETURN(-1);
            *out += op;
            return field(out, i);
        }
        if (field(out, i) < 0) return UL_ERROR_RETURN(-1);
        *out += op;
        return value(out, i, v);
    }
    // The alternatives of one bound over the fields from..n-1.
    int bound(std::u16string* out, const std::u16string_view* values, unsigned from, unsigned n,
              bool lower, bool inclusive, bool bracketed) {
        if (bracketed) out->push_back(u'(');
        for (unsigned j = from; j < n; ++j) {
            if (j > from) *out += u" OR (";
            for (unsigned k = from; k < j; ++k) {
                if (k > from) *out += u" AND ";
                if (equality(out, k, values[k]) < 0) return UL_ERROR_RETURN(-1);
            }
            if (j > from) *out += u" AND ";
            if (comparison(out, j, values[j], lower, inclusive && j == n - 1) < 0)
                return UL_ERROR_RETURN(-1);
            if (j > from) out->push_back(u')');
        }
        if (bracketed) out->push_back(u')');
        return 0;
    }

    const char16_t* qualifier_;
    const char16_t* const* fields_;
    const int* classes_;
    ul_sqlfieldquoter_t quoter_;
    bool asIs_;
    const ul_sqlliteralform_t* form_;
};

}  // namespace

namespace {

std::vector<std::u16string_view> views(const char16_t* const* values, unsigned n) {
    std::vector<std::u16string_view> out;
    for (unsigned i = 0; i < n; ++i) out.emplace_back(values[i] ? values[i] : u"");
    return out;
}

}  // namespace

int ul_sqlappendwherecondition(std::u16string* out, const char16_t* qualifier,
                               const char16_t* const* fields, const int* tokenClasses,
                               const char16_t* const* low, unsigned nlow,
                               const char16_t* const* high, unsigned nhigh,
                               ul_sqlfieldquoter_t quoter, int mode) {
    if (mode & UL_WHERECOND_NOLOWER) nlow = 0;
    const std::vector<std::u16string_view> lowViews = views(low, nlow);
    const std::vector<std::u16string_view> highViews = views(high, nhigh);
    return ul_sqlappendwherecondition(out, qualifier, fields, tokenClasses, lowViews.data(), nlow,
                                      highViews.data(), nhigh, quoter, mode);
}

int ul_sqlappendwherecondition(std::u16string* out, const char16_t* qualifier,
                               const char16_t* const* fields, const int* tokenClasses,
                               const std::u16string_view* low, unsigned nlow,
                               const std::u16string_view* high, unsigned nhigh,
                               ul_sqlfieldquoter_t quoter, int mode) {
    ConditionWriter writer(qualifier, fields, tokenClasses, quoter, mode & UL_WHERECOND_ASIS);
    return writer.write(out, low, (mode & UL_WHERECOND_NOLOWER) ? 0 : nlow, high, nhigh, mode);
}

int ul_sqlgenwherecondition(char16_t* buffer, size_t size, const char16_t* qualifier,
                            const char16_t* const* fields, const int* tokenClasses,
                            const char16_t* const* low, unsigned nlow, const char16_t* const* high,
                            unsigned nhigh, ul_sqlfieldquoter_t quoter, int mode) {
    return ul_guarded([&]() -> int {
        std::u16string text;
        if (ul_sqlappendwherecondition(&text, qualifier, fields, tokenClasses, low, nlow, high, nhigh, quoter,
                            mode) < 0)
            return UL_ERROR_RETURN(-1);
        return copyOut(buffer, size, text, u"Where condition");
    });
}

// ==== condition parser ==========================================================================

namespace {

enum class Tok { End, LParen, RParen, And, Or, Op, Field, Literal, Bad };

struct Token {
    Tok kind = Tok::End;
    std::u16string text;  // field name, literal value or operator
    int tokenClass = 0;
};

bool isIdentStart(char16_t c) {
    return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || c == u'_' || c == u'/' ||
           c > 127;
}
bool isIdentChar(char16_t c) {
    return isIdentStart(c) || ul_isdigit(c) || c == u'#' || c == u'$';
}

class Lexer {
  public:
    explicit Lexer(const char16_t* text) : p_(text) {}

    Token next() {
        while (ul_isspace(*p_)) ++p_;
        Token t;
        if (!*p_ || (p_[0] == u'-' && p_[1] == u'-')) return t;
        if (startsLiteral()) {
            const size_t n = ul_sqlreadliteral(p_, &t.text, &t.tokenClass);
            if (n > 0) {
                p_ += n;
                t.kind = Tok::Literal;
                return t;
            }
        }
        if (*p_ == u'(' || *p_ == u')') {
            t.kind = *p_++ == u'(' ? Tok::LParen : Tok::RParen;
            return t;
        }
        if (*p_ == u'<' || *p_ == u'=') {
            t.kind = Tok::Op;
            t.text.push_back(*p_++);
            if (t.text[0] == u'<' && *p_ == u'=') t.text.push_back(*p_++);
            return t;
        }
        if (keyword(u"AND")) return Token{Tok::And, u"", 0};
        if (keyword(u"OR")) return Token{Tok::Or, u"", 0};
        if (*p_ == u'"' || isIdentStart(*p_)) return fieldName();
        t.kind = Tok::Bad;
        return t;
    }

  private:
    bool startsLiteral() const {
        const char16_t c = *p_;
        return c == u'\'' || c == u'(' || ul_isdigit(c) || c == u'.' ||
               ((c == u'-' || c == u'+') && (ul_isdigit(p_[1]) || p_[1] == u'.')) ||
               ul_stringstarticmp(p_, u"X'") || ul_stringstarticmp(p_, u"HEXTORAW(") ||
               ul_stringstarticmp(p_, u"decode(");
    }
    bool keyword(const char16_t* word) {
        const char16_t* end = ul_stringstarticmp(p_, word);
        if (!end || isIdentChar(*end) || *end == u'"') return false;
        p_ = end;
        return true;
    }
    // A name, quoted or bare, possibly behind qualifiers ("T"."K1", T.K1); a bare name may end
    // in "()" (a pseudo column). The last part is the field.
    Token fieldName() {
        Token t;
        t.kind = Tok::Field;
        for (;;) {
            t.text.clear();
            if (*p_ == u'"') {
                ++p_;
                for (;;) {
                    if (!*p_) return Token{Tok::Bad, u"", 0};
                    if (*p_ == u'"') {
                        if (p_[1] != u'"') break;
                        ++p_;
                    }
                    t.text.push_back(*p_++);
                }
                ++p_;
            } else {
                while (isIdentChar(*p_)) t.text.push_back(*p_++);
                if (p_[0] == u'(' && p_[1] == u')') {
                    t.text += u"()";
                    p_ += 2;
                }
            }
            if (*p_ != u'.') return t;
            ++p_;
        }
    }

    const char16_t* p_;
};

// A parsed condition: comparisons joined by AND and OR.
struct Expr {
    enum class Kind { Compare, And, Or } kind = Kind::Compare;
    std::vector<Expr> parts;
    bool fieldLeft = false;  // field op literal (else literal op field)
    std::u16string op;
    std::u16string field;
    std::u16string value;
    int tokenClass = 0;
};

class Parser {
  public:
    explicit Parser(const char16_t* text) : lexer_(text) { advance(); }

    bool parse(Expr* out, std::u16string* why) {
        if (!parseOr(out)) {
            *why = why_;
            return false;
        }
        if (token_.kind != Tok::End) {
            *why = u"unexpected text after the condition";
            return false;
        }
        return true;
    }

  private:
    void advance() { token_ = lexer_.next(); }
    bool fail(const char16_t* why) {
        if (why_.empty()) why_ = why;
        return false;
    }
    bool parseList(Expr* out, Tok separator, Expr::Kind kind, bool (Parser::*item)(Expr*)) {
        Expr first;
        if (!(this->*item)(&first)) return false;
        if (token_.kind != separator) {
            *out = std::move(first);
            return true;
        }
        out->kind = kind;
        out->parts.push_back(std::move(first));
        while (token_.kind == separator) {
            advance();
            Expr next;
            if (!(this->*item)(&next)) return false;
            // (a AND b) AND c is the same list as a AND b AND c.
            if (next.kind == kind) {
                for (Expr& e : next.parts) out->parts.push_back(std::move(e));
            } else {
                out->parts.push_back(std::move(next));
            }
        }
        return true;
    }
    bool parseOr(Expr* out) { return parseList(out, Tok::Or, Expr::Kind::Or, &Parser::parseAnd); }
    bool parseAnd(Expr* out) {
        return parseList(out, Tok::And, Expr::Kind::And, &Parser::parsePrimary);
    }
    bool parsePrimary(Expr* out) {
        if (token_.kind == Tok::LParen) {
            // Each bracket costs a level of recursion; the generator nests two deep.
            if (depth_ == UL_SQLWHERE_MAXDEPTH) return fail(u"brackets nested too deep");
            ++depth_;
            advance();
            if (!parseOr(out)) return false;
            if (token_.kind != Tok::RParen) return fail(u"missing closing bracket");
            --depth_;
            advance();
            return true;
        }
        Token left = token_;
        advance();
        if (token_.kind != Tok::Op) return fail(u"comparison expected");
        out->op = token_.text;
        advance();
        Token right = token_;
        advance();
        if (left.kind == Tok::Field && right.kind == Tok::Literal) {
            out->fieldLeft = true;
            out->field = left.text;
            out->value = right.text;
            out->tokenClass = right.tokenClass;
            return true;
        }
        if (left.kind == Tok::Literal && right.kind == Tok::Field && out->op != u"=") {
            out->field = right.text;
            out->value = left.text;
            out->tokenClass = left.tokenClass;
            return true;
        }
        return fail(u"comparison of a field with a value expected");
    }

    Lexer lexer_;
    Token token_;
    std::u16string why_;
    unsigned depth_ = 0;
};

// One bound as its alternatives describe it: the fields and values of the last alternative.
struct ParsedBound {
    bool present = false;
    std::vector<const Expr*> path;  // equalities and the final comparison of the last alternative
    bool orEqual = false;
};

bool isEquality(const Expr& e) {
    return e.kind == Expr::Kind::Compare && e.fieldLeft && e.op == u"=";
}

// Reads a bound written as alternatives; false when the structure is another one.
bool readBound(const Expr& e, ParsedBound* lower, ParsedBound* upper) {
    std::vector<const Expr*> alternatives;
    if (e.kind == Expr::Kind::Or) {
        for (const Expr& a : e.parts) alternatives.push_back(&a);
    } else {
        alternatives.push_back(&e);
    }
    std::optional<bool> isUpper;
    ParsedBound bound;
    for (size_t i = 0; i < alternatives.size(); ++i) {
        const Expr& alt = *alternatives[i];
        std::vector<const Expr*> items;
        if (alt.kind == Expr::Kind::And) {
            for (const Expr& a : alt.parts) items.push_back(&a);
        } else {
            items.push_back(&alt);
        }
        if (items.size() != i + 1) return false;
        for (size_t k = 0; k + 1 < items.size(); ++k)
            if (!isEquality(*items[k])) return false;
        const Expr& last = *items.back();
        if (last.kind != Expr::Kind::Compare || last.op == u"=") return false;
        if (isUpper && *isUpper != last.fieldLeft) return false;
        isUpper = last.fieldLeft;
        // Alternative i repeats the values that the alternatives before it compared.
        for (size_t k = 0; k < i; ++k) {
            const Expr& earlier = *bound.path[k];
            if (items[k]->field != earlier.field || items[k]->value != earlier.value) return false;
        }
        bound.path = items;
        bound.orEqual = last.op == u"<=";
    }
    bound.present = true;
    ParsedBound* target = *isUpper ? upper : lower;
    if (target->present) return false;
    *target = std::move(bound);
    return true;
}

int addValues(ul_sqlboundary_t* boundary, const std::vector<const Expr*>& items,
              ul_strpool_t* pool) {
    for (const Expr* e : items)
        if (boundary->boundaryAddCheckValue(pool, e->field.c_str(), e->value,
                                            e->tokenClass) < 0)
            return UL_ERROR_RETURN(-1);
    return 0;
}

int noKeyRange(const char16_t* condition, const std::u16string& why) {
    ul_errorsetmsgfmt(0, u"Where condition '%s' is no key range: %s", condition, why.c_str());
    return UL_ERROR_RETURN(-1);
}

}  // namespace

int ul_sqlwhere2range(const char16_t* condition, ul_sqlrange_t* range, ul_strpool_t* pool) {
    return ul_guarded([&]() -> int {
        range->low.clear();
        range->high.clear();
        range->lowInclusive = false;
        range->highExclusive = false;
        Expr root;
        std::u16string why;
        Parser parser(condition);
        if (!parser.parse(&root, &why)) return noKeyRange(condition, why);
        std::vector<const Expr*> items;
        if (root.kind == Expr::Kind::And) {
            for (const Expr& e : root.parts) items.push_back(&e);
        } else {
            items.push_back(&root);
        }
        std::vector<const Expr*> equalities;
        ParsedBound lower;
        ParsedBound upper;
        for (const Expr* e : items) {
            if (isEquality(*e)) {
                if (lower.present || upper.present)
                    return noKeyRange(condition, u"equality behind a bound");
                equalities.push_back(e);
            } else if (!readBound(*e, &lower, &upper)) {
                return noKeyRange(condition, u"no bound over the key fields");
            }
        }
        if (addValues(&range->low, equalities, pool) < 0 ||
            addValues(&range->high, equalities, pool) < 0)
            return UL_ERROR_RETURN(-1);
        // Equalities alone stand for a bound that equals them, inclusive on both sides.
        range->lowInclusive = !lower.present || lower.orEqual;
        range->highExclusive = upper.present && !upper.orEqual;
        if (lower.present && addValues(&range->low, lower.path, pool) < 0)
            return UL_ERROR_RETURN(-1);
        if (upper.present && addValues(&range->high, upper.path, pool) < 0)
            return UL_ERROR_RETURN(-1);
        if (equalities.empty()) {
            if (!lower.present) range->lowInclusive = false;
        }
        return 0;
    });
}

size_t ul_sqlwherekeyword(std::u16string_view condition) {
    if (condition.size() < 5 || ul_strnicmp(condition.data(), u"WHERE", 5) != 0) return 0;
    if (condition.size() == 5) return 5;
    // Characters that continue an unquoted identifier in SQL: letters (non-ASCII too), digits,
    // '_', '$' and '#'.
    const char16_t c = condition[5];
    const bool continues = (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || ul_isdigit(c) ||
                           c == u'_' || c == u'$' || c == u'#' || c > 127;
    return continues ? 0 : 5;
}

#include "ulsqlcrcanalyze.h"

#include <algorithm>

#include "ulerror.h"
#include "ulmsgwrite.h"
#include "ulstring2.h"

namespace {

using Line = ul_chkcrcline_t;

constexpr unsigned kRefBits = UL_CRCLINE_REF | UL_CRCLINE_REFBOUNDARY | UL_CRCLINE_REFSINGLE |
                              UL_CRCLINE_REFFIELD | UL_CRCLINE_REFUNVERIFIED |
                              UL_CRCLINE_REFNOCRC;

bool valid(ul_dbrowcount_t n) {
    return n != UL_DBROWCOUNT_INVALID;
}

bool hasOwn(const Line& l) {
    return l.flags & UL_CRCLINE_OWN;
}

bool hasRef(const Line& l) {
    return l.flags & UL_CRCLINE_REF;
}

bool differs(const Line& l) {
    return l.flags & UL_CRCLINE_DIFFS;
}

bool unverified(const Line& l) {
    return l.flags & (UL_CRCLINE_OWNUNVERIFIED | UL_CRCLINE_REFUNVERIFIED);
}

// The smaller non-zero of the two counts, at least 1: a reproduced line becomes one block.
unsigned long lineSlice(const Line& l) {
    unsigned long slice = 0;
    for (ul_dbrowcount_t n : {l.ownCount, l.refCount})
        if (valid(n) && n != 0 && (slice == 0 || n < slice)) slice = static_cast<unsigned long>(n);
    return slice ? slice : 1;
}

// Rows per block when digging into n rows: the range is cut into about maxslices blocks.
unsigned long digSlice(ul_dbrowcount_t n) {
    const unsigned long maxSlices = UL_TabChkMaxSlices;
    if (maxSlices == 0 || n < maxSlices) return 1;
    return static_cast<unsigned long>(n / maxSlices);
}

// Fields per slice when digging into a row: the non-key selections in about five slices.
unsigned long fieldSlice(const ULCheckCRCTable& t) {
    const size_t sels = t.own.sels.size(), keys = t.own.keys.size();
    const unsigned long nonKey = sels > keys ? static_cast<unsigned long>(sels - keys) : 0;
    return std::max(1ul, nonKey / UL_TabChkMaxFldSlices);
}

unsigned nkeys(const ULCheckCRCTable& t) {
    return static_cast<unsigned>(t.own.keys.size());
}

// The number of fields a field line covers.
unsigned long fieldCount(const ULCheckCRCTable& t, const Line& l) {
    const unsigned first = l.firstField(nkeys(t));
    return l.end.field >= first ? l.end.field - first + 1 : 1;
}

// The last field a line's field lines reach: a slice's own, else the row's last.
unsigned lastField(const ULCheckCRCTable& t, const Line& l) {
    if (l.isField()) return l.end.field;
    return t.own.sels.empty() ? 0 : static_cast<unsigned>(t.own.sels.size() - 1);
}

std::u16string keyText(const ul_sqlcrcboundary_t& b) {
    std::u16string out;
    for (unsigned i = 0; i < b.nvalues; ++i) {
        if (i) out.append(u", ");
        out.append(b.values[i]);
    }
    return out;
}

char diffLetter(const Line& l, unsigned bit, char letter) {
    return (l.flags & bit) ? letter : '-';
}

// The lines of the tree in depth-first order, parents before their children.
std::vector<Line*> preorder(ULCheckCRCTable* t) {
    std::vector<Line*> order, stack;
    for (Line* c = t->top()->child; c; c = c->next) stack.push_back(c);
    std::reverse(stack.begin(), stack.end());
    while (!stack.empty()) {
        Line* l = stack.back();
        stack.pop_back();
        order.push_back(l);
        const size_t mark = stack.size();
        for (Line* c = l->child; c; c = c->next) stack.push_back(c);
        std::reverse(stack.begin() + static_cast<long>(mark), stack.end());
    }
    return order;
}

Line* lastChild(const Line& l) {
    Line* c = l.child;
    while (c && c->next) c = c->next;
    return c;
}

// The own field lines below a line, in field order; empty when its fields were not scanned
// on this side.
std::vector<Line*> ownFieldChildren(const Line& parent) {
    std::vector<Line*> out;
    for (Line* c = parent.child; c; c = c->next)
        if (c->isField() && hasOwn(*c)) out.push_back(c);
    return out;
}

// A field scan of this side that stops before the last field of its row or slice.
bool fieldsUnfinished(const ULCheckCRCTable& t, const Line& parent) {
    if (parent.flags & (UL_CRCLINE_TOP | UL_CRCLINE_QUICK)) return false;
    const std::vector<Line*> fields = ownFieldChildren(parent);
    return !fields.empty() && fields.back()->end.field < lastField(t, parent);
}

// A level of own lines (not yet on the reference side) that stops before the end of its
// parent: a scan that was cut off.
bool unfinished(const ULCheckCRCTable& t, const Line& parent) {
    if (fieldsUnfinished(t, parent)) return true;
    const Line* last = lastChild(parent);
    if (!last || hasRef(*last) || last->isField() || (last->flags & UL_CRCLINE_QUICK))
        return false;
    if (parent.flags & UL_CRCLINE_TOP) return last->end.nvalues != 0;
    return last->end.compareTo(parent.end, t.keyClasses(), true, true) != 0;
}

// Whether one side's rows of a line can be cut into smaller blocks: more than one row, unless
// the table may hold duplicates and the line comes from slices of one row, so that its rows
// may all have one key.
bool splittable(const ULCheckCRCTable& t, const Line& l, bool own) {
    const ul_dbrowcount_t n = own ? l.ownCount : l.refCount;
    if (!valid(n) || n <= 1) return false;
    const Line* p = l.parent;
    if (!(t.flags() & UL_TABCHK_SORTDUPS) || !p || (p->flags & UL_CRCLINE_TOP)) return true;
    return digSlice(std::min(p->ownCount, p->refCount)) != 1;
}

// The key of one side's row in a single-row line, as the field lines of that side below the
// line name it; null when that side has no field lines there.
const ul_sqlcrcboundary_t* rowKey(const Line& l, bool own) {
    for (const Line* c = l.child; c; c = c->next)
        if (c->isField() && (c->flags & (own ? UL_CRCLINE_OWN : UL_CRCLINE_REF))) return &c->end;
    return nullptr;
}

bool sameKey(const ULCheckCRCTable& t, const ul_sqlcrcboundary_t& a,
             const ul_sqlcrcboundary_t& b) {
    ul_sqlcrcboundary_t x = a, y = b;
    x.field = y.field = UL_CRCFIELD_WHOLEROW;
    return x.compareTo(y, t.keyClasses(), true, true) == 0;
}

bool singleRow(const Line& l) {
    return valid(l.ownCount) && valid(l.refCount) && l.ownCount <= 1 && l.refCount <= 1;
}

bool rangeChildren(const Line& l) {
    for (const Line* c = l.child; c; c = c->next)
        if (!c->isField()) return true;
    return false;
}

// Field checksums can name a row's key and its differing fields.
bool fieldChecks(const ULCheckCRCTable& t) {
    return (t.flags() & UL_TABCHK_FIELDCHECKSUMS) && t.own.sels.size() > t.own.keys.size();
}

// Whether the side of a field line that lacks it can still compute it: it has the row and has
// no field lines of its own for it (which would name another key).
// A slice of a row's fields is cut into smaller slices by the side that holds the slice.
bool fieldReproducible(const Line& l, bool bySelf) {
    const Line* row = l.parent;
    if (!row || (row->flags & UL_CRCLINE_TOP)) return true;
    const bool holds = row->isField() ? (row->flags & (bySelf ? UL_CRCLINE_OWN : UL_CRCLINE_REF))
                                      : (bySelf ? row->ownCount : row->refCount) == 1;
    return holds && !rowKey(*row, bySelf);
}

// A line one side lacks and that side is to compute.
bool awaited(const Line& l, bool bySelf) {
    if (!l.flags || (l.flags & UL_CRCLINE_EXCLUDED)) return false;
    if (hasOwn(l) == hasRef(l) || hasOwn(l) == bySelf) return false;
    return !l.isField() || fieldReproducible(l, bySelf);
}

// What digging finds over the whole tree: the first line this side can dig into, and the
// analysis bits of every candidate.
struct DigSurvey {
    Line* first = nullptr;
    ul_crcscankind_t kind = ul_crcscankind_t::NONE;
    unsigned long slice = 0;
    const ul_sqlcrcboundary_t* splitAt = nullptr;  // a row's key to cut the line at
    Line* otherSide = nullptr;  // first line only the other side can split
    int bits = 0;
};

enum class RowStep { FINAL, PROBE, PROBEOTHER, SPLIT, SPLITOTHER };

// A differing single-row line is final once each side's row is known by its key (the field
// lines of a side name it) and the line ends at that key, or both rows have the same key (the
// field lines then name the differing fields). Until then a side with an unknown key computes
// its field lines, and a side whose key lies before the line's end cuts the line there.
int singleRowStep(const ULCheckCRCTable& t, const Line& l, RowStep* step,
                  const ul_sqlcrcboundary_t** key) {
    const bool own1 = l.ownCount == 1, ref1 = l.refCount == 1;
    const ul_sqlcrcboundary_t* ko = own1 ? rowKey(l, true) : nullptr;
    const ul_sqlcrcboundary_t* kr = ref1 ? rowKey(l, false) : nullptr;
    *step = RowStep::FINAL;
    if (own1 && !ko)
        *step = RowStep::PROBE;
    else if (ref1 && !kr)
        *step = RowStep::PROBEOTHER;
    else if (own1 && ref1 && sameKey(t, *ko, *kr))
        *step = RowStep::FINAL;
    else if (own1 && !sameKey(t, *ko, l.end))
        *step = RowStep::SPLIT, *key = ko;
    else if (ref1 && !sameKey(t, *kr, l.end))
        *step = RowStep::SPLITOTHER;
    if (*step == RowStep::SPLIT) {
        ul_sqlcrcboundary_t k = **key;
        k.field = UL_CRCFIELD_WHOLEROW;
        if (k.compareTo(l.start, t.keyClasses(), true, false) <= 0)
            return ul_errorfail(
                ul_format(u"Internal error: Invalid single row range l. %d[%d] unsuitable for "
                          u"splitting",
                          l.ownLine, l.refLine));
    }
    return 0;
}

int surveyDigging(ULCheckCRCTable* t, const std::vector<Line*>& order, DigSurvey* s) {
    for (Line* l : order) {
        if (l->isField()) {
            // A differing slice of several fields is cut into slices of one field.
            if (l->child || !differs(*l) || !hasOwn(*l) || !hasRef(*l) ||
                fieldCount(*t, *l) <= 1)
                continue;
            s->bits |= 32;
            if (!s->first) {
                s->first = l;
                s->kind = ul_crcscankind_t::FIELDS;
                s->slice = 1;
            }
            continue;
        }
        const bool single = differs(*l) && singleRow(*l) && fieldChecks(*t);
        if (l->child && !(single && !rangeChildren(*l))) continue;
        ul_crcscankind_t kind = ul_crcscankind_t::NONE;
        unsigned long slice = 0;
        const ul_sqlcrcboundary_t* splitAt = nullptr;
        if ((l->flags & UL_CRCLINE_QUICK) && unverified(*l)) {
            kind = ul_crcscankind_t::VERIFYQUICK;
            slice = digSlice(std::min(l->ownCount, l->refCount));
        } else if (!differs(*l) || singleRow(*l)) {
            if (!single) continue;
            RowStep step;
            if (singleRowStep(*t, *l, &step, &splitAt) < 0) return UL_ERROR_RETURN(-1);
            if (step == RowStep::FINAL) continue;
            if (step == RowStep::PROBEOTHER || step == RowStep::SPLITOTHER) {
                s->bits |= 16;
                if (!s->otherSide) s->otherSide = l;
                continue;
            }
            kind = step == RowStep::PROBE ? ul_crcscankind_t::FIELDS : ul_crcscankind_t::REPRODUCE;
            slice = step == RowStep::PROBE ? fieldSlice(*t) : 1;
        } else if (!splittable(*t, *l, true)) {
            // Blocks of this side would repeat the line's own range: the other side splits
            // it, unless its rows cannot be split either (duplicates of one key).
            if (!splittable(*t, *l, false)) continue;
            s->bits |= 16;
            if (!s->otherSide) s->otherSide = l;
            continue;
        } else {
            kind = ul_crcscankind_t::DIG;
            slice = digSlice(std::min(l->ownCount, l->refCount));
        }
        s->bits |= kind == ul_crcscankind_t::FIELDS ? 32 : 8;
        if (!s->first) {
            s->first = l;
            s->kind = kind;
            s->slice = slice;
            s->splitAt = splitAt;
        }
    }
    return 0;
}

// Differences found down to single rows and fields: the lines an evaluation reports as such.
unsigned long isolatedDifferences(const std::vector<Line*>& order) {
    unsigned long n = 0;
    for (const Line* l : order) {
        if (!differs(*l) || !(l->isField() || singleRow(*l))) continue;
        bool childDiffers = false;
        for (const Line* c = l->child; c; c = c->next) childDiffers = childDiffers || differs(*c);
        n += !childDiffers;
    }
    return n;
}

bool thresholdReached(unsigned long differences) {
    return UL_TabChkMaxDifferences != ~0ul && differences >= UL_TabChkMaxDifferences;
}

class Analysis {
  public:
    Analysis(ULCheckCRCTable* t, const ul_crcanalyzeargs_t& args, ul_crcscanrequest_t* r)
        : m_t(t), m_args(args), m_r(r) {}

    int run() {
        *m_r = ul_crcscanrequest_t{};
        m_r->region = m_t->top();
        const std::vector<Line*> order = preorder(m_t);
        const bool ownLines =
            std::any_of(order.begin(), order.end(), [](const Line* l) { return hasOwn(*l); });
        if (!ownLines) return wholeTable(order);
        for (Line* l : order)
            if (awaited(*l, true)) return reproduce(l);
        if (unfinished(*m_t, *m_t->top())) return resume(m_t->top());
        for (Line* l : order)
            if (unfinished(*m_t, *l)) return resume(l);
        if (m_args.refFile)
            for (Line* l : order)
                if (awaited(*l, false)) return ownLineMissing(*l);
        if (m_args.runFlags & UL_CRCRUN_DIGGING) return dig(order);
        return nothing();
    }

  private:
    int say(const std::u16string& text, char16_t severity = u' ') {
        if (m_args.quiet) return 0;
        return ul_msgwrite_line399(1, severity, text);
    }

    int wholeTable(const std::vector<Line*>& order) {
        const char16_t* name = m_t->name().c_str();
        m_r->sliceSize = lineSlice(*m_t->top());
        Line* first = order.empty() ? nullptr : m_t->top()->child;
        if (!first) {
            m_r->kind = ul_crcscankind_t::WHOLE;
            m_r->quick = m_t->flags() & UL_TABCHK_QUICKRUN;
            return say(m_r->quick ? ul_format(u"Scanning whole table '%s'.", name)
                                  : ul_format(u"Scanning whole table '%s' with slices of %lu.",
                                              name, m_r->sliceSize));
        }
        m_r->kind = ul_crcscankind_t::ALONGREF;
        m_r->from = first;
        m_r->quick = first->flags & UL_CRCLINE_QUICK;
        for (Line* l = first; l; l = l->next) m_r->boundaries.push_back(l);
        return say(m_r->quick
                       ? ul_format(u"Scanning whole table '%s', using existing boundaries.", name)
                       : ul_format(u"Scanning whole table '%s' with slices of %lu, using "
                                   u"existing boundaries.",
                                   name, m_r->sliceSize));
    }

    int reproduce(Line* from) {
        Line* parent = from->parent;
        if (!(parent->flags & UL_CRCLINE_TOP) && !hasRef(*parent))
            return ul_errorfail(
                ul_format(u"Line %d from '%s' appears to have been digged into, but is missing "
                          u"in '%s'!",
                          parent->ownLine, m_args.ownFile, m_args.refFile ? m_args.refFile : u""));
        m_r->region = parent;
        m_r->from = from;
        if (from->isField()) return reproduceFields(from);
        m_r->kind = ul_crcscankind_t::REPRODUCE;
        m_r->quick = from->flags & UL_CRCLINE_QUICK;
        m_r->sliceSize = lineSlice(*from);
        m_r->start = from->start;
        Line* l = from;
        for (; l && awaited(*l, true); l = l->next) m_r->boundaries.push_back(l);
        m_r->end = l ? m_r->boundaries.back()->end : parent->end;
        m_r->lastLine = !from->next;
        // A level reproduced from its beginning to its end covers the parent's rows exactly.
        if (!l && from == parent->child && hasOwn(*parent) &&
            !(parent->flags & (UL_CRCLINE_TOP | UL_CRCLINE_QUICK | UL_CRCLINE_OWNNOCRC)))
            m_r->checkAgainst = parent;
        return say(ul_format(u"%s reference line %d[%d] '%s'%s for table '%s' with slices of %lu.",
                             (from->flags & UL_CRCLINE_HASPARENT) ? u"Scanning"
                                                                 : u"Continue scanning from",
                             from->ownLine, from->refLine, keyText(from->end).c_str(),
                             m_r->lastLine ? u" (last line)" : u"", m_t->name().c_str(),
                             m_r->sliceSize));
    }

    // The field lines of a row, in the slices the other side used: they name this side's row
    // as well, which may have another key than the other side's.
    int reproduceFields(Line* from) {
        m_r->kind = ul_crcscankind_t::FIELDS;
        m_r->start = from->parent->start;
        m_r->end = from->parent->end;
        m_r->sliceSize = from->parent->isField() ? fieldCount(*m_t, *from) : fieldSlice(*m_t);
        m_r->lastLine = !from->next;
        return say(ul_format(u"Scanning reference line %d[%d] '%s'%s for table '%s' with slices "
                             u"of %lu.",
                             from->ownLine, from->refLine, keyText(from->end).c_str(),
                             m_r->lastLine ? u" (last line)" : u"", m_t->name().c_str(),
                             m_r->sliceSize));
    }

    int resume(Line* line) {
        m_r->kind = ul_crcscankind_t::RESUME;
        m_r->region = line;
        if (fieldsUnfinished(*m_t, *line)) {
            // The fields of the row or slice are scanned again: the slices written already
            // are compared, the rest written, the total checked against the line.
            m_r->kind = ul_crcscankind_t::FIELDS;
            m_r->start = line->start;
            m_r->end = line->end;
            m_r->sliceSize = line->isField() ? 1 : fieldSlice(*m_t);
            for (Line* c : ownFieldChildren(*line)) m_r->boundaries.push_back(c);
            m_r->nExisting = m_r->boundaries.size();
            if (!(line->flags & UL_CRCLINE_OWNNOCRC) && valid(line->ownCount))
                m_r->checkAgainst = line;
        } else if (line->flags & UL_CRCLINE_TOP) {
            // A whole-table scan goes on behind its last line.
            m_r->start = lastChild(*line)->end;
            m_r->sliceSize = lineSlice(*line);
        } else {
            // A detail scan starts again at the line's beginning, so that its total can be
            // checked against the line; the blocks written already are compared.
            m_r->start = line->start;
            m_r->end = line->end;
            m_r->sliceSize = digSlice(std::min(line->ownCount, line->refCount));
            for (Line* c = line->child; c; c = c->next) m_r->boundaries.push_back(c);
            m_r->nExisting = m_r->boundaries.size();
            if (!(line->flags & (UL_CRCLINE_QUICK | UL_CRCLINE_OWNNOCRC)) && valid(line->ownCount))
                m_r->checkAgainst = line;
        }
        // A whole-table scan is named by its last line.
        const Line* named = (line->flags & UL_CRCLINE_TOP) ? lastChild(*line) : line;
        m_r->lastLine = !named->next;
        return say(ul_format(u"Picking up detailed scan of %sline %d[%d], using slices of %lu "
                             u"entries.",
                             m_r->lastLine ? u"last " : u"", named->ownLine, named->refLine,
                             m_r->sliceSize));
    }

    int ownLineMissing(const Line& l) {
        m_r->kind = ul_crcscankind_t::OTHERSIDE;
        return say(ul_format(u"Line %d[%d] missing in '%s', so other side needs to run first!",
                             l.ownLine, l.refLine, m_args.refFile));
    }

    int dig(const std::vector<Line*>& order) {
        if (!m_args.quiet)
            for (const Line* l : order)
                if (l->child && differs(*l) &&
                    say(ul_format(u"Difference in line %d[%d] is already taken care of.",
                                  l->ownLine, l->refLine)) < 0)
                    return UL_ERROR_RETURN(-1);
        DigSurvey s;
        if (surveyDigging(m_t, order, &s) < 0) return UL_ERROR_RETURN(-1);
        if (!s.first && !s.otherSide) return nothing();
        const unsigned long known = isolatedDifferences(order);
        if (thresholdReached(known)) {
            if (say(ul_format(u"Already detected %lu differences, stop further investigation "
                              u"due to threshold %lu!",
                              known, UL_TabChkMaxDifferences),
                    u'W') < 0)
                return UL_ERROR_RETURN(-1);
            return 0;
        }
        if (!s.first) {
            m_r->kind = ul_crcscankind_t::OTHERSIDE;
            return say(ul_format(u"Line %d[%d] has count <=1, but not in '%s', other side needs "
                                 u"to run!",
                                 s.otherSide->ownLine, s.otherSide->refLine,
                                 m_args.refFile ? m_args.refFile : u""));
        }
        Line* l = s.first;
        m_r->kind = s.kind;
        m_r->region = l;
        m_r->start = l->start;
        m_r->end = l->end;
        m_r->sliceSize = s.slice;
        m_r->lastLine = !l->next;
        if (s.splitAt) {
            // The row's line is cut at the row's key: the scan follows that one boundary.
            Line cut;
            cut.start = l->start;
            cut.end = *s.splitAt;
            cut.end.field = UL_CRCFIELD_WHOLEROW;
            m_t->lines.push_back(cut);  // no flags: never part of the tree
            m_r->from = &m_t->lines.back();
            m_r->boundaries.push_back(m_r->from);
        }
        if (s.kind != ul_crcscankind_t::FIELDS && valid(l->ownCount) &&
            !(l->flags & UL_CRCLINE_OWNNOCRC) &&
            (s.kind == ul_crcscankind_t::VERIFYQUICK || !(l->flags & UL_CRCLINE_QUICK)))
            m_r->checkAgainst = l;  // a verified quick line: its quick checksum is recomputed
        if (s.kind == ul_crcscankind_t::VERIFYQUICK)
            return say(ul_format(u"Verifying quick run in l.%d[%d] '%s', digging deeper using "
                                 u"slices of %lu.",
                                 l->ownLine, l->refLine, keyText(l->end).c_str(), s.slice));
        return say(ul_format(u"Found difference %c%c in l.%d[%d] '%s', digging deeper using "
                             u"slices of %lu.",
                             diffLetter(*l, UL_CRCLINE_COUNTDIFF, 'C'),
                             diffLetter(*l, UL_CRCLINE_CRCDIFF, 'X'), l->ownLine, l->refLine,
                             keyText(l->end).c_str(), s.slice));
    }

    int nothing() {
        m_r->kind = ul_crcscankind_t::NONE;
        return say(ul_format(u"Nothing to execute for table '%s'!", m_t->name().c_str()));
    }

    ULCheckCRCTable* m_t;
    const ul_crcanalyzeargs_t& m_args;
    ul_crcscanrequest_t* m_r;
};

}  // namespace

int ul_crcanalyzetable(ULCheckCRCTable* table, const ul_crcanalyzeargs_t& args,
                       ul_crcscanrequest_t* request) {
    return ul_guarded([&]() -> int { return Analysis(table, args, request).run(); });
}

int ul_crcanalyzebits(ULCheckCRCFile* file, const char16_t* refFile) {
    return ul_guarded([&]() -> int {
        int bits = 0;
        for (auto& t : file->tables()) {
            const std::vector<Line*> order = preorder(t.get());
            bool ownLines = false;
            for (const Line* l : order) {
                if (l->flags & UL_CRCLINE_COUNTDIFF) bits |= 64;
                if (l->flags & UL_CRCLINE_CRCDIFF) bits |= 128;
                if (awaited(*l, true)) bits |= 8;
                if (refFile && awaited(*l, false)) bits |= 16;
                if (unfinished(*t, *l)) bits |= 8;
                ownLines = ownLines || hasOwn(*l);
            }
            if (!ownLines || unfinished(*t, *t->top())) bits |= 8;
            DigSurvey s;
            if (surveyDigging(t.get(), order, &s) < 0) return UL_ERROR_RETURN(-1);
            if (!thresholdReached(isolatedDifferences(order))) bits |= s.bits;
        }
        return bits;
    });
}

int ul_crcmergenewlines(ULCheckCRCTable* table, size_t first) {
    return ul_guarded([&]() -> int {
        auto less = [table](const Line* a, const Line* b) {
            return table->compareCRCRange(*a, *b) < 0;
        };
        std::vector<Line*> refOnly;
        for (size_t i = 0; i < first && i < table->lines.size(); ++i) {
            Line& l = table->lines[i];
            if (hasRef(l) && !hasOwn(l) && !(l.flags & UL_CRCLINE_EXCLUDED)) refOnly.push_back(&l);
        }
        std::stable_sort(refOnly.begin(), refOnly.end(), less);
        int differing = 0;
        for (size_t i = first; i < table->lines.size(); ++i) {
            Line& n = table->lines[i];
            if (!hasOwn(n)) continue;
            auto it = std::lower_bound(refOnly.begin(), refOnly.end(), &n, less);
            if (it != refOnly.end() && table->compareCRCRange(**it, n) == 0 &&
                (*it)->end.field == n.end.field && (*it)->flags && !hasOwn(**it)) {
                Line& r = **it;
                if (!hasRef(n)) {  // the scan did not match it itself
                    n.refLine = r.refLine;
                    n.refCount = r.refCount;
                    n.refCrc = r.refCrc;
                    n.refClient = r.refClient;
                    n.refValue = r.refValue;
                    n.flags |= r.flags & kRefBits;
                }
                r.flags = 0;  // the new line stands for both sides: left out of the tree
            }
            if (!hasRef(n)) continue;
            n.flags &= ~(UL_CRCLINE_DIFFS | UL_CRCLINE_INSERT | UL_CRCLINE_DELETE);
            if (valid(n.ownCount) && valid(n.refCount) && n.ownCount != n.refCount)
                n.flags |= UL_CRCLINE_COUNTDIFF |
                           (n.refCount > n.ownCount ? UL_CRCLINE_INSERT : UL_CRCLINE_DELETE);
            if (!(n.flags & (UL_CRCLINE_OWNNOCRC | UL_CRCLINE_REFNOCRC)) && n.ownCrc != n.refCrc)
                n.flags |= UL_CRCLINE_CRCDIFF;
            differing += differs(n);
        }
        if (table->setup() < 0) return UL_ERROR_RETURN(-1);
        return differing;
    });
}

bool ul_crcownlinesmissing(const ULCheckCRCTable& table) {
    for (const Line& l : table.lines)
        if (!(l.flags & UL_CRCLINE_TOP) && awaited(l, false)) return true;
    return false;
}

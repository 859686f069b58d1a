// Maintenance of CRC files: clearing checksum lines or whole table sections so that a table
// check can be repeated (ul_sqlcrcclear), and turning the first difference of an evaluation
// into a new CRC file restricted to the differing key range (auxcrcdiff2whr_t).
//
// Every status function returns 0 (or a result code) and -1 after setting the error text.
#pragma once

#include <string>
#include <unordered_set>

#include "ulsqlcrcutil.h"

// Clear mode bits.
enum : int {
    UL_CRCCLEAR_COMMENT = 0x1,   // keep affected lines behind a "#"
    UL_CRCCLEAR_FULLY = 0x2,     // the whole section, not only the checksum lines
    UL_CRCCLEAR_SHOWONLY = 0x100,  // decide and report, change nothing
};

// Decides per table whether and how it is cleared.
class ULCRCModifier {
  public:
    virtual ~ULCRCModifier() = default;
    // 0: leave the table unchanged; -1: error; otherwise the clear mode (bits 0x1, 0x2) plus 1.
    [[nodiscard]] virtual int modifyCRC(const char16_t* table) = 0;
};

// Clears the listed tables (names ignoring case) with one mode, leaves the others.
class AuxCRCClearTables : public ULCRCModifier {
  public:
    explicit AuxCRCClearTables(int mode) : m_mode(mode) {}
    // Adds a comma-separated list of names. Returns 0 or -1.
    [[nodiscard]] int addTables(const char16_t* list);
    int modifyCRC(const char16_t* table) override;
    bool empty() const { return m_tables.empty(); }

  private:
    int m_mode;
    std::unordered_set<std::u16string> m_tables;  // upper case
};

// Rewrites file through "<file>.tmp": the affected tables' lines are deleted or commented out
// as mode and modifier say (no modifier: every table, by mode). The file is replaced only after
// the copy is complete; a failure leaves it as it was. Returns 0 when nothing had to change, 1
// when the file was rewritten (or would have been, with UL_CRCCLEAR_SHOWONLY), or -1.
[[nodiscard]] int ul_sqlcrcclear(const char16_t* file, ULCRCModifier* modifier, int mode);

// Writes the first difference it receives as a prepared section of a new CRC file, restricted
// by a whr: condition to the difference's key range; later differences are only passed on.
class auxcrcdiff2whr_t : public ULCRCEvaluator {
  public:
    auxcrcdiff2whr_t(ULCheckCRCFile* file, const char16_t* output, const char16_t* onlyTable,
                     ULCRCEvaluator* chained = nullptr)
        : ULCRCEvaluator(chained), m_file(file), m_output(output ? output : u""),
          m_table(onlyTable ? onlyTable : u"") {}
    int report(int type, const char16_t* table, const char16_t* const* keys, unsigned nkeys,
               const std::u16string_view* start, unsigned nstart, const char16_t* field,
               const std::u16string_view* end, unsigned nend, ul_dbrowcount_t ownCount,
               ul_dbrowcount_t refCount, const ul_chkcrcline_t* line) override;
    // The condition of the file written; empty before.
    const std::u16string& condition() const { return m_condition; }

  private:
    [[nodiscard]] int writeFile(const char16_t* table, const std::u16string_view* start,
                                unsigned nstart, const std::u16string_view* end, unsigned nend);

    ULCheckCRCFile* m_file;
    std::u16string m_output;  // cleared once written
    std::u16string m_table;
    std::u16string m_condition;
};

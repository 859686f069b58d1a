// Row callbacks shared by the SQL-layer tests.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "ulsqlbase.h"

// Supplies parameter rows as texts; asks for a commit after the rows listed in commitAfter.
class Supply : public ULSQLCallBack {
  public:
    explicit Supply(std::vector<std::vector<std::u16string>> rows) : rows_(std::move(rows)) {}
    int handleRow(unsigned flags, const unsigned char**, const char16_t** values, unsigned*,
                  unsigned ncols) override {
        flags_.push_back(flags);
        if (next_ == rows_.size()) return UL_PARAMS_END;
        for (unsigned i = 0; i < ncols && i < rows_[next_].size(); ++i)
            values[i] = rows_[next_][i].c_str();
        bool commit = false;
        for (size_t c : commitAfter) commit = commit || c == next_;
        ++next_;
        return commit ? UL_PARAMS_COMMIT : 0;
    }
    std::vector<size_t> commitAfter;
    const std::vector<unsigned>& flags() const { return flags_; }

  private:
    std::vector<std::vector<std::u16string>> rows_;
    size_t next_ = 0;
    std::vector<unsigned> flags_;
};

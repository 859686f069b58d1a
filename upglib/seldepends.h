// seldepends: the database views that depend, directly or through other views, on a set of
// lowest-level tables or views; lists them with the message for views that failed to be
// created and, with "repair", marks them in DDXTT for re-creation. The handler cmd_SELDEPENDS
// is declared with the command table in tabrix.h.
#pragma once

#include <deque>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "ulsqlbase.h"

// Operation bits.
enum : unsigned {
    UL_SELDEP_REPAIR = 1,
    UL_SELDEP_WRITEPMSG = 2,
    UL_SELDEP_CREATEGRAPH = 4,
    UL_SELDEP_CHECKDDLS = 8,
};

struct ul_seldepoptions_t {
    unsigned operations = 0;
    char16_t modeFlag = u'V';
    std::u16string level;   // empty: the lowest size level
    std::u16string inFile;  // empty: the lowest-level set comes from DDXTT
};

// The DDXTT row of a table: first character of MODEFLAG (0 when empty), TABLSIZE (at most 7).
struct ul_seldeptableinfo_t {
    char16_t modeFlag = 0;
    std::u16string tablSize;
};

struct ul_seldepobject_t {
    std::u16string name;
    bool lowest = false;   // from the input set
    bool visited = false;  // printed in the graph
    std::vector<ul_seldepobject_t*> children;  // the views found on it, in the order found
    const ul_seldeptableinfo_t* info = nullptr;  // null: no DDXTT row
};

class ULSelDepends;

// Rows of the three queries: 1 a DDXTT row, 2 a lowest-level object, 3 a view on `parent`.
class AuxSelectDeps : public ULSQLCallBackChar {
  public:
    AuxSelectDeps(ULSelDepends* owner, int mode) : owner_(owner), mode_(mode) {}
    void setParent(ul_seldepobject_t* parent) { parent_ = parent; }
    using ULSQLCallBackChar::handleRow;
    [[nodiscard]] int handleRow(unsigned flags, const char16_t** values, unsigned ncols) override;

  private:
    ULSelDepends* owner_;
    int mode_;
    ul_seldepobject_t* parent_ = nullptr;
};

// One run over the connection. Every step returns 0, or -1 with the reason set.
class ULSelDepends {
  public:
    explicit ULSelDepends(ul_seldepoptions_t options) : options_(std::move(options)) {}
    [[nodiscard]] int collectTableInfo();
    [[nodiscard]] int collectLowest();
    [[nodiscard]] int buildGraph();
    [[nodiscard]] int printGraph();
    [[nodiscard]] int listViews();
    // All steps in order.
    [[nodiscard]] int run();

    void addTableInfo(const char16_t* name, const char16_t* modeFlag, const char16_t* tablSize);
    [[nodiscard]] int addLowest(const std::u16string& name);
    [[nodiscard]] int addView(ul_seldepobject_t* parent, const std::u16string& name);

    // Known objects in the order they were met.
    const std::vector<std::unique_ptr<ul_seldepobject_t>>& objects() const { return order_; }
    const ul_seldepobject_t* find(const std::u16string& name) const;

  private:
    [[nodiscard]] int readInputFile();
    [[nodiscard]] int printNode(ul_seldepobject_t* node, int depth);
    ul_seldepobject_t* newObject(const std::u16string& name);

    ul_seldepoptions_t options_;
    std::unordered_map<std::u16string, ul_seldeptableinfo_t> tables_;
    std::unordered_map<std::u16string, ul_seldepobject_t*> byName_;
    std::vector<std::unique_ptr<ul_seldepobject_t>> order_;
    std::deque<ul_seldepobject_t*> todo_;
    std::vector<ul_seldepobject_t*> lowest_;
};

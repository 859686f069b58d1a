// repoclean: renumbers the methods of classes in alphabetical order of their names in the class
// directory and renames their source programs to match, so that the same class has the same
// rows on two systems. The handler cmd_REPOCLEAN is declared with the command table in tabrix.h.
#pragma once

#include <cstddef>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

// A set of parallel renames (every name at most once as source and once as target), turned by
// eval() into single renames in an order in which no name is taken while it is still in use.
class ul_optrename_t {
  public:
    struct step_t {
        std::u16string from;
        std::u16string to;
        bool commit = false;  // no temporary name is held after this step
    };
    // Adds a rename; -1 with "Name '%s' appears twice as source name" / "... target name".
    [[nodiscard]] int add(const std::u16string& from, const std::u16string& to);
    size_t size() const { return pairs_.size(); }
    void clear();
    // Orders the renames; a loop is opened through tempName (empty: fails with "Loop detected,
    // but no temporary name given."). Returns the number of steps, or -1.
    [[nodiscard]] int eval(const std::u16string& tempName);
    // The evaluated steps in order: true and *step, false after the last one.
    bool next(step_t* step);
    const std::vector<step_t>& steps() const { return steps_; }

  private:
    std::vector<std::pair<std::u16string, std::u16string>> pairs_;
    std::unordered_set<std::u16string> sources_;
    std::unordered_set<std::u16string> targets_;
    std::vector<step_t> steps_;
    size_t next_ = 0;
};

// "CM" and the method index in three base-36 digits; -1 with "Invalid method index '%s'" when
// index is not a decimal number (or too large for three digits).
[[nodiscard]] int ul_repomethodsuffix(const std::u16string& index, std::u16string* suffix);

// Table names and settings of a run.
struct ul_repocleanoptions_t {
    std::u16string tmdir = u"TMDIR";
    std::u16string reposrc = u"REPOSRC";
    std::u16string reposrcAdm;  // empty: none
    std::u16string repoload = u"REPOLOAD";  // empty: loads are kept
    std::u16string tfdir = u"TFDIR";
    std::u16string tftit = u"TFTIT";
    std::u16string funct = u"FUNCT";
    std::u16string tempName = u"XXXXX";  // empty: loops cannot be renamed
    std::u16string outputFile;  // empty: execute
    std::u16string inputFile;
    std::u16string testRenames;
    long autocommit = 100000;
    bool showOnly = false;
    bool testOnly = false;
    bool verbose = false;
    bool extended = false;
    bool all = false;
    std::vector<std::u16string> classes;
};

// Parses the arguments. Returns 0, 5 after the usage text (no class selection), or -1 with
// the reason ("Duplicate option '%s'", a bad number).
[[nodiscard]] int ul_repocleanparse(unsigned argc, const char16_t** argv,
                                    ul_repocleanoptions_t* options);

// Runs the clean-up (or the rename test) of parsed options. Returns 0 or -1.
[[nodiscard]] int ul_repocleanrun(ul_repocleanoptions_t* options);

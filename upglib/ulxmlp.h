// Macro and condition processing of XML trees (ulxml.h). ul_xmlprocessnode walks a tree depth
// first, replaces macro calls (ulmacro.h) in attribute values and content, and replaces each
// processing element by its result:
//
//   <if test="COND">...</if>                  the children if COND is true, else nothing
//   <choose><when test="COND">...</when>...<otherwise>...</otherwise></choose>
//                                             the children of the first true when, else of
//                                             otherwise
//   <for-each table="T" into="ROW" [intoprev="P"] [intonext="N"] [reverse="true"]
//             [test="COND"]>...</for-each>    the children once per row of table T
//   <define-macro name="M" [nargs="n"] [scope="global"]>value</define-macro>
//   <define-table name="T" [scope="global"]><entry col="v"><col2>v2</col2></entry>...
//   <define-table name="T" start="a" end="b" [step="s"]/>   the numbers a, a+s, ... b
//   <define-node name="N"><element/></define-node>
//   <expand-node refname="N"/>                a copy of the element remembered as N
//   <include name="F" [optional="true"] [childsonly="true"]/>
//                                             the processed tree of file F (relative to the
//                                             directory of the file being processed)
// COND is an expression (ulexpr.h) after macro replacement. Definitions hold from the
// definition to the end of the enclosing element (each nesting level is a scope; every row of a
// for-each has its own), or to the end of the processing with scope="global".
//
// Macros while processing, besides those of the caller's provider:
//   $(M), $M(a,b)        a define-macro value; $(1) ... $(n) in it stand for the arguments
//   $(ROW@FIELD)         column FIELD of the current row of the for-each into="ROW" (also of
//                        the neighbouring rows through intoprev/intonext; empty at the ends)
//   $(ROW)               the current number of a for-each over an iterator table
//   $_REFERENCE(ROW@F)   the reference text "T[index].F" of the current row, $_REFERENCE(ROW)
//                        "T[index]"
//   $(T[i].FIELD)        column FIELD of row i (from 0) of table T; $(T[]) its number of rows;
//                        $(T[i]) the number i of an iterator table
//   $(__FILE__), $(__FILEPATH__)   the name (last path component) and the path of the file
//                        being processed
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "ulvarlist.h"
#include "ulxml.h"

class ULMacroProvider;

// Most nesting levels of processed elements, included files and loop bodies together.
constexpr int UL_XMLP_MAXLEVELS = 256;
// Most rows of an iterator table.
constexpr long UL_XMLP_MAXITERATIONS = 10000000;

// A table for for-each loops and table references: rows of named columns, or the numbers of an
// iterator from start to end by step.
class ULXMLTable {
  public:
    explicit ULXMLTable(const char16_t* name) : m_name(name) {}
    ULXMLTable(const ULXMLTable&) = delete;
    ULXMLTable& operator=(const ULXMLTable&) = delete;
    ~ULXMLTable();

    const char16_t* name() const { return m_name.c_str(); }
    [[nodiscard]] int rowCount() const;

    // Appends an empty row and returns its index, or -1.
    [[nodiscard]] int addRow();
    // Sets a column of a row; -1 with "Duplicate column '%s' in row of table '%s'" when the
    // row has it already.
    [[nodiscard]] int setField(int row, const char16_t* field, const char16_t* value);
    // The value of a column of a row, or null when the row has no such column.
    const char16_t* getField(int row, const char16_t* field) const;

    // Makes this an iterator table ("Illegal iterator table '%s' with interval [%g,%g] step size
    // %g" when step is 0, points away from end, or gives more than UL_XMLP_MAXITERATIONS rows).
    [[nodiscard]] int setIterator(double start, double end, double step);
    bool isIterator() const { return m_iterator; }
    // The number of row index as text ("%.0f" for a whole step, else "%g").
    std::u16string number(int index) const;

  private:
    std::u16string m_name;
    std::vector<ul_varlist_t> m_rows;
    bool m_iterator = false;
    double m_start = 0, m_step = 1;
    long m_count = 0;
};

// Supplies tables by name.
class ULXMLTableProvider {
  public:
    virtual ~ULXMLTableProvider() = default;
    // The table, or null when there is none of that name (no message).
    virtual ULXMLTable* findTable(const char16_t* name) = 0;
};

// Resolves a table reference: "T[i].FIELD" (column FIELD of row i, counted from 0), "T[]"
// (the number of rows) or "T[i]" (the number i of an iterator table) into buffer. Returns 1,
// 0 when row i has no column FIELD ("Unknown column '%s' in row %d of table '%s'"), or -1:
// "Syntax error in reference string '%s'", "No definition for table '%s'", "Index %d for table
// '%s' exceeds table size %d", "No field name '%s' allowed for iterator table '%s'", "Not enough
// space for macro expansion".
[[nodiscard]] int ul_xmlcallreftable(const char16_t* reference, char16_t* buffer, size_t size,
                                     ULXMLTableProvider* tables);

// Processes the sibling list *tree in place. macros and tables (may be null) supply what the
// tree does not define; walker (may be null) is shown every node that stays in the tree, after
// its macros were replaced and with the tree's definitions in effect (its result -1 stops the
// processing, UL_XMLWALK_NOCHILDREN leaves the node's children unprocessed; other bits are
// ignored). fileName (may be null) is the file the tree was read from: includes are found
// relative to its directory. macroFlags go to ul_macroreplace; flags: UL_XMLCHECK_CRC
// verifies the checksum of every included file. Returns 0, or -1 with the tree partly
// processed (the caller still frees it).
[[nodiscard]] int ul_xmlprocessnode(ul_xmlnode_t** tree, ULMacroProvider* macros,
                                    ULXMLTableProvider* tables, ULXMLTreeWalker* walker,
                                    const char16_t* fileName, int macroFlags, int flags);

// ---- checked files and includes ---------------------------------------------------------

enum : int {
    UL_XMLCHECK_CRC = 1,      // verify the "crcvalue" checksum ("Corrupted file '%s'")
    UL_XMLCHECK_INCLUDE = 2,  // expand include elements relative to the file's directory
    UL_XMLCHECK_MACROS = 4,   // macro and condition processing (ulxmlp.h), includes too
};

// Versions that ul_xmlreadcheck does not compare.
constexpr int UL_XMLVERSION_ANY = -1;
constexpr int UL_XMLVERSION_ANY2 = -2;

// Reads the file with white space kept, verifies it by flags (UL_XMLCHECK_*), checks that
// the top-level tag is tag ("Illegal tag '%s' - expected '%s'") and that its "version"
// attribute (missing: 0) equals *version ("File '%s' has version %d, but expected %d") unless
// *version is UL_XMLVERSION_ANY or UL_XMLVERSION_ANY2. *version (if not null) receives the
// version found. Returns the tree or null.
ul_xmlnode_t* ul_xmlreadcheck(const char16_t* path, const char16_t* tag, int* version, int flags);

// Expands every element "include" with a "name" attribute in the sibling list *tree: the file
// baseDir "/" name (name alone when baseDir is null or empty or name is absolute) is read and
// put in place of the element: its top-level tag, or with attribute "childsonly" true that
// tag's children. With "optional" true a file that is not accessible removes the element.
// The attributes "srcid", "xmlns:xsi" and "xsi:noNamespaceSchemaLocation" of the included
// top-level tag are dropped. Includes inside included files are expanded too (a file that
// includes itself is "Recursive inclusion of file '%s'"). flags: UL_XMLCHECK_CRC verifies
// every included file ("Corrupted file '%s'"), UL_XMLCHECK_MACROS runs the macro processing
// with provider over each included tree. Returns the number of files included, or -1.
[[nodiscard]] int ul_xmlfileprocinclude(ul_xmlnode_t** tree, const char16_t* baseDir,
                                        ULMacroProvider* provider, int flags);

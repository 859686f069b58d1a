// Expressions: one-line conditions and values such as
//     NAME like 'DD0%' and (rows > 1000 || force) ? max(a, b) : substr(s, 1, 3)
// mixing script-style operators (==, &&, ||, !, ~=) and SQL-style ones (=, <>, and, or, not,
// like, in). An expression is compiled once into operation codes (ULExprCompiled) and then
// evaluated, as often as wanted, against the names a caller supplies (ULExprVarProvider).
//
// Every failing function stores its reason in the error buffer and returns -1.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "ulauxfcts.h"

struct ul_varlist_t;

// ==== Values ================================================================================

// Representation flags: a value may carry several forms at once (a numeric literal keeps its
// text, its integer and its double). A value without any form is the null value.
enum : uint32_t {
    UL_EXPR_STRING = 1,
    UL_EXPR_DOUBLE = 2,
    UL_EXPR_INTEGER = 4,
    UL_EXPR_BOOLEAN = 0x20000,  // with UL_EXPR_INTEGER: the integer is 0 or 1
    UL_EXPR_FORMS = UL_EXPR_STRING | UL_EXPR_DOUBLE | UL_EXPR_INTEGER,
};

// Flags of ULExprValue::setText.
enum : int {
    // A text that reads as a number also gets the numeric forms a literal of that text has.
    UL_EXPR_TEXT_NUMBER = 1,
};

// The text of the null value.
inline constexpr const char16_t* UL_EXPR_NULLTEXT = u"<NULL>";

struct ULExprValue {
    uint32_t flags = 0;
    int64_t intValue = 0;
    double doubleValue = 0;
    // Not owned: it lives in a string pool or in the compiled expression that produced it.
    const char16_t* string = nullptr;

    bool isNull() const { return (flags & UL_EXPR_FORMS) == 0; }
    bool hasString() const { return flags & UL_EXPR_STRING; }
    bool hasDouble() const { return flags & UL_EXPR_DOUBLE; }
    bool hasInteger() const { return flags & UL_EXPR_INTEGER; }
    bool hasNumber() const { return flags & (UL_EXPR_DOUBLE | UL_EXPR_INTEGER); }
    bool isBoolean() const { return flags & UL_EXPR_BOOLEAN; }

    void setNull() { *this = ULExprValue(); }
    void setInteger(int64_t value);
    void setDouble(double value);
    void setBoolean(bool value);
    // Refers to text without copying it; the text must outlive every use of the value.
    void setString(const char16_t* text);
    // Stores a pooled copy of text (see UL_EXPR_TEXT_NUMBER). -1 when the pool fails.
    [[nodiscard]] int setText(const char16_t* text, ul_strpool_t* pool, int flags = 0);

    // The printed form: the string, else the double by "%f", else the integer by "%ld", else
    // "<NULL>". Returns its length, or -1 with "Output buffer for expression evaluation too
    // small %lu >= %d" when it does not fit into size code units.
    [[nodiscard]] int print(char16_t* buffer, size_t size) const;
};

// Order of two values: by their integers when both have integer forms, else as doubles when
// both have a numeric form, else by their texts code unit by code unit (a value without a
// string form takes its printed form, the null value the empty text). Negative, zero,
// positive.
[[nodiscard]] int compare_value(const ULExprValue& a, const ULExprValue& b);

// ==== Names =================================================================================

// Supplies the variables and functions an expression names.
class ULExprVarProvider {
  public:
    virtual ~ULExprVarProvider() = default;

    // name is a variable when argc is -1 (args null), else a function called with argc
    // arguments.
    // At compile time index is -1 and args is null: return -1 when the name is unknown, 0
    // when it is known and must be fetched at evaluation, or 1 when it is constant: a
    // constant variable's value is then in result (the compiler copies its string), and a
    // constant function depends on nothing but its arguments, so that a call with constant
    // arguments may be computed while compiling.
    // At evaluation index is >= 0 (the position of the call in the compiled code): fill
    // result and return 0, or -1 with the reason in the error buffer (ul_exprunresolved for
    // a name it does not know). Strings of the result must live at least as long as the
    // pool (allocating them from it is the usual way).
    [[nodiscard]] virtual int getValue(ULExprValue* result, const char16_t* name, int index,
                                       const ULExprValue* args, int argc, ul_strpool_t* pool) = 0;
};

// Stores "Identifier '%s' cannot be resolved" (argc -1) or "Function '%s' with %d arguments
// cannot be resolved" and returns -1: the answer for a name unknown at evaluation.
[[nodiscard]] int ul_exprunresolved(const char16_t* name, int argc);

// The variables of a name/value list. Values are read as numeric literals are where they
// can be (ULExprValue::setText with UL_EXPR_TEXT_NUMBER), so that "10" compares as a number;
// a name without a value is the null value. Values are fetched at evaluation, so the list
// may change between evaluations.
class ULExprVarListProvider : public ULExprVarProvider {
  public:
    explicit ULExprVarListProvider(ul_varlist_t* vars) : vars_(vars) {}
    [[nodiscard]] int getValue(ULExprValue* result, const char16_t* name, int index,
                               const ULExprValue* args, int argc, ul_strpool_t* pool) override;

  private:
    ul_varlist_t* vars_;
};

// ==== Compiled expressions ==================================================================

enum class ULExprOp : uint8_t {
    PUSHCONST,         // push constant a
    PUSHFUNCNAME,      // push the variable whose name is constant a
    FUNCTIONCALL,      // call function (name constant a) with b arguments; may be folded
    FUNCTIONCALLVOL,   // the same for a function whose result may change between calls
    OPERATOR,          // apply operator a to the b topmost values
    JUMP,              // continue at a
    JUMPIFFALSE,       // pop a truth value; continue at a when it is false
    OPTIMIZEIFTRUE,    // ||: when the top is true, make it true and continue at a
    OPTIMIZEIFFALSE,   // &&: when the top is false, make it false and continue at a
    OPTIMIZEDINVALUE,  // in / not in (b = 1) over the sorted constant list a
};

struct ul_exprcode_t {
    ULExprOp op;
    int32_t a;
    int32_t b;
    int32_t c;  // FUNCTIONCALL: index of the built-in function, -1 for the provider's
};

// Most arguments of one function call.
constexpr int UL_EXPR_MAXARGS = 64;
// Most operators and brackets waiting at once while compiling.
constexpr int UL_EXPR_MAXNESTING = 256;

class ULExprCompiled {
  public:
    // Grammar switches for new objects (compile uses the object's own copy, getFlags()).
    static unsigned GlobalFlags;
    enum : unsigned {
        FOLD = 0x1,           // compute constant sub-expressions after compiling
        OPTIMIZE = 0x4,       // short-cuts for &&/||, jumps for ?:, sorted in lists
        PLAINIDENT = 0x100,   // a bare identifier without a provider is a string constant
        SQLSTYLE = 0x400,     // =, <>, and, or, not, like, in and SQL string literals
        SCRIPTSTYLE = 0x800,  // ==, !=, &&, ||, !, ~=, eq, ne, le, ge, lt, gt
        DEFAULTFLAGS = 0xF17,
    };

    ULExprCompiled();
    ~ULExprCompiled();
    ULExprCompiled(const ULExprCompiled&) = delete;
    ULExprCompiled& operator=(const ULExprCompiled&) = delete;

    unsigned getFlags() const { return flags_; }
    void setFlags(unsigned flags) { flags_ = flags; }

    // Compiles text, replacing what the object held. The provider (may be null) is asked
    // about every name. With end, the expression stops where no operator continues it and
    // *end receives that position; without it, text behind the expression is an error.
    [[nodiscard]] int compile(const char16_t* text, ULExprVarProvider* provider = nullptr,
                              const char16_t** end = nullptr);

    // Evaluates into result. Strings of the result live in pool or in this object; a null
    // pool uses a pool of this object that is recycled by the next evaluation.
    [[nodiscard]] int evaluate(ULExprValue* result, ULExprVarProvider* provider,
                               ul_strpool_t* pool);

    // Evaluates and hands the result out: its printed form into buffer (if not null), its
    // double and integer forms into dout and iout (if not null; "Not a floating point
    // expression '%s'", "Not an integer expression '%s'" when the result lacks the form).
    [[nodiscard]] int evaluate(char16_t* buffer, size_t size, double* dout, int64_t* iout,
                               ULExprVarProvider* provider, ul_strpool_t* pool);
    // Sets the grammar switches to flags, compiles text into this object, then evaluates as
    // above.
    [[nodiscard]] int evaluate(char16_t* buffer, size_t size, double* dout, int64_t* iout,
                               const char16_t* text, ULExprVarProvider* provider,
                               ul_strpool_t* pool, unsigned flags);

    // Evaluates a condition: 1 true, 0 false, -1 on error ("Cannot treat '%s' as boolean
    // value" for a result without a numeric form).
    [[nodiscard]] int evaluateCondition(ULExprVarProvider* provider, ul_strpool_t* pool);

    // The text compiled last, the code, the value-stack depth evaluation needs, and whether
    // the result is known to be a boolean.
    const char16_t* getText() const;
    const std::vector<ul_exprcode_t>& getCode() const { return code_; }
    [[nodiscard]] int getMaxDepth() const { return maxDepth_; }
    bool isBoolean() const { return boolean_; }

    // Writes the code as trace records of component EXPR at the given level.
    void traceCode(unsigned level) const;

    struct Impl;

  private:
    unsigned flags_;
    std::vector<ul_exprcode_t> code_;
    int maxDepth_ = 0;
    bool boolean_ = false;
    std::unique_ptr<Impl> impl_;
};

// Name of an operation code as traces show it ("PUSHCONST", ...).
const char16_t* ul_exprcodename(ULExprOp op);

// ==== User-defined functions ================================================================

// A value or function computed by the caller's code, to be registered with ULExprFunctions.
// nargs -1 makes it a variable. The callback fills result (strings from pool) and returns 0,
// or -1 with the error buffer set. A constant one is computed while compiling when it can be.
struct InternalVarFunction {
    const char16_t* name;
    int nargs;
    int (*callback)(ULExprValue* result, const ULExprValue* args, int argc, ul_strpool_t* pool,
                    void* context);
    void* context;
    bool constant;
};

class ExprFunctionArgProvider;

// A provider holding functions defined by expressions, for example
//     add(u"between", {u"x", u"lo", u"hi"}, 3, u"x >= lo && x <= hi")
// and values computed by the caller's code. A function is identified by its name together
// with its argument count. Names it does not know go to the parent provider (may be null).
// Function bodies can call functions defined before them, never themselves.
class ULExprFunctions : public ULExprVarProvider {
  public:
    explicit ULExprFunctions(ULExprVarProvider* parent = nullptr);
    ~ULExprFunctions() override;
    ULExprFunctions(const ULExprFunctions&) = delete;
    ULExprFunctions& operator=(const ULExprFunctions&) = delete;

    // Defines name(params[0], ..., params[count - 1]) as body. Errors: "Duplicate definition
    // for function '%s' nargs=%d", and those of compiling the body.
    [[nodiscard]] int add(const char16_t* name, const char16_t* const* params, int count,
                          const char16_t* body);
    // Registers a caller-computed value or function (the strings are copied; the context is
    // not owned). The same duplicate rule applies.
    [[nodiscard]] int addInternal(const InternalVarFunction& definition);

    [[nodiscard]] int getValue(ULExprValue* result, const char16_t* name, int index,
                               const ULExprValue* args, int argc, ul_strpool_t* pool) override;

    struct Function;

  private:
    friend class ExprFunctionArgProvider;
    Function* find(const char16_t* name, int argc) const;
    [[nodiscard]] int insert(std::unique_ptr<Function> function);

    ULExprVarProvider* parent_;
    std::vector<std::unique_ptr<Function>> functions_;
};

// Resolves the parameters of one user-defined function call to its arguments and every other
// name through the functions object.
class ExprFunctionArgProvider : public ULExprVarProvider {
  public:
    ExprFunctionArgProvider(ULExprFunctions* functions, const char16_t* const* params, int count,
                            const ULExprValue* args)
        : functions_(functions), params_(params), count_(count), args_(args) {}
    [[nodiscard]] int getValue(ULExprValue* result, const char16_t* name, int index,
                               const ULExprValue* args, int argc, ul_strpool_t* pool) override;
    // While compiling a body: whether it named something that is not constant.
    bool sawVolatile() const { return volatile_; }

  private:
    [[nodiscard]] int parameter(const char16_t* name) const;

    ULExprFunctions* functions_;
    const char16_t* const* params_;
    int count_;
    const ULExprValue* args_;  // null while compiling
    bool volatile_ = false;
};

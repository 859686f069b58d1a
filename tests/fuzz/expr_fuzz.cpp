// Expressions: the first byte chooses the grammar, the rest is the expression. One compiled
// with constant folding and short-cuts evaluates to what the plain compilation does.
#include <string>

#include "fuzzutil.h"
#include "ulexpr.h"

namespace {

// Names the expressions may use: an integer, a text, a null value and a function of the
// caller, all fetched at evaluation.
class FuzzNames : public ULExprVarProvider {
  public:
    int getValue(ULExprValue* result, const char16_t* name, int index, const ULExprValue* args,
                 int argc, ul_strpool_t* pool) override {
        const std::u16string n = name;
        if (argc == -1 && (n == u"x" || n == u"s" || n == u"nothing")) {
            if (index < 0) return 0;
            if (n == u"x") result->setInteger(42);
            if (n == u"s") result->setString(u"abc");
            if (n == u"nothing") result->setNull();
            return 0;
        }
        if (n == u"first" && argc >= 1) {
            if (index >= 0) *result = args[0];
            return 0;
        }
        (void)pool;
        return ul_exprunresolved(name, argc);
    }
};

// Evaluates text compiled with flags: 1 with the printed result, 0 when it fails.
int run(const std::u16string& text, unsigned flags, std::u16string* printed) {
    FuzzNames names;
    ULExprCompiled expr;
    expr.setFlags(flags);
    if (expr.compile(text.c_str(), &names) < 0) return 0;
    ul_strpool_t pool;
    ULExprValue value;
    if (expr.evaluate(&value, &names, &pool) < 0) return 0;
    char16_t buffer[4096];
    if (value.print(buffer, std::size(buffer)) < 0) return 0;
    *printed = buffer;
    return 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const unsigned grammars[] = {
        ULExprCompiled::SQLSTYLE | ULExprCompiled::SCRIPTSTYLE,
        ULExprCompiled::SQLSTYLE,
        ULExprCompiled::SCRIPTSTYLE,
        ULExprCompiled::SQLSTYLE | ULExprCompiled::SCRIPTSTYLE | ULExprCompiled::PLAINIDENT,
    };
    const unsigned grammar = grammars[data[0] % std::size(grammars)];
    const std::u16string text = fuzz_text(data + 1, size - 1);
    std::u16string optimized, plain;
    const int a = run(text, grammar | ULExprCompiled::FOLD | ULExprCompiled::OPTIMIZE, &optimized);
    const int b = run(text, grammar, &plain);
    // Short-cuts may skip an operand that fails, so only two results are compared.
    if (a && b)
        FUZZ_CHECK(optimized == plain, text + u"\noptimized: " + optimized + u"\nplain: " + plain);
    return 0;
}

#include "compute/formula.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <array>
#include <cfloat>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <locale>
#include <optional>
#include <string>
#include <vector>

namespace {

using tavro::ParsedExpression;
using Vars = std::array<float, tavro::kFormulaVariableCount>;  // exx, eyy, exy, eI, eII, omega

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

const std::string kTrailing = "Invalid expression: unexpected characters at end";
const std::string kExpected = "Expression expected, found: ";
const std::string kCloseParen = "')' expected";
const std::string kComma = "',' attendue entre les arguments";
const std::string kOutOfRange = "stof argument out of range";
const std::string kTooDeep = "Expression too deeply nested (more than 256 levels).";
const std::string kTooLong = "Expression too long (more than 256 chained operations).";

struct ValueCase {
    std::string text;
    float expected;
    Vars vars = {};
};

struct ErrorCase {
    std::string text;
    std::string message;
};

std::optional<float> valueOf(const std::string& text, const Vars& vars = {})
{
    ParsedExpression parsed;
    std::string error;
    if (!tavro::parseExpression(parsed, text, error)) {
        ADD_FAILURE() << "'" << text << "' did not parse: " << error;
        return std::nullopt;
    }
    return parsed.root->evaluate(vars.data());
}

void expectValues(const std::vector<ValueCase>& cases)
{
    for (const ValueCase& c : cases) {
        SCOPED_TRACE(c.text);
        const std::optional<float> value = valueOf(c.text, c.vars);
        if (!value) continue;
        if (std::isnan(c.expected)) EXPECT_TRUE(std::isnan(*value)) << *value;
        else if (std::isinf(c.expected)) EXPECT_EQ(*value, c.expected);
        else EXPECT_FLOAT_EQ(*value, c.expected);
    }
}

void expectErrors(const std::vector<ErrorCase>& cases)
{
    for (const ErrorCase& c : cases) {
        SCOPED_TRACE(c.text);
        ParsedExpression parsed;
        std::string error;
        EXPECT_FALSE(tavro::parseExpression(parsed, c.text, error));
        EXPECT_EQ(error, c.message);
        EXPECT_EQ(parsed.root, nullptr);
        EXPECT_TRUE(parsed.source.empty());
    }
}

std::string repeat(const std::string& piece, int count)
{
    std::string out;
    out.reserve(piece.size() * count);
    for (int i = 0; i < count; ++i) out += piece;
    return out;
}

TEST(FormulaPrecedence, OperatorsBindAndAssociateAsDocumented)
{
    expectValues({
        {"1 + 2 * 3", 7}, {"(1 + 2) * 3", 9}, {"8 / 4 / 2", 1}, {"5 - 3 - 1", 1},
        {"2 * 3 ** 2", 18}, {"2 ** 3 * 2", 16}, {"2 ** 3 ** 2", 512}, {"(2 ** 3) ** 2", 64},
        {"2**-1", 0.5f}, {"2 * -3", -6}, {"1 - -1", 2}, {"-2 ** 2", 4}, {"-(2 ** 2)", -4},
        {"-2 ** 3 ** 2", -512}, {"-exx ** 2", 9, {3}}, {"--exx", 3, {3}}, {"---exx", -3, {3}},
        {" \t\n\v\f\rexx\r\n", 3, {3}},
    });
}

TEST(FormulaNumbers, LiteralsReadTheLongestDecimalPrefix)
{
    expectValues({
        {".5", 0.5f}, {"5.", 5}, {"1.e2", 100}, {"1E2", 100}, {"1e-3", 0.001f}, {"2.5e+1", 25},
        {"007", 7}, {"1e5e3", 100000}, {"1e+e5", 1}, {"2e+", 2}, {"0e-50", 0},
        {"3.4028235e38", FLT_MAX}, {"1.1754944e-38", 1.1754944e-38f},
    });
}

TEST(FormulaFunctions, FunctionsAndCriteriaEvaluate)
{
    const float root6 = std::sqrt(6.0f);
    expectValues({
        {"sqrt(16)", 4}, {"sqrt(-4)", 0}, {"abs(-3)", 3}, {"abs(3)", 3}, {"max(1, 2)", 2},
        {"max(2, 1)", 2}, {"min(1, 2)", 1}, {"min(-1, -2)", -2}, {"max (exx , eyy)", 4, {3, 4}},
        {"sqrt(exx*exx + eyy*eyy)", 5, {3, 4}},
        {"sqrt(2/3 * (eI**2 + eII**2 - eI*eII))", root6, {0, 0, 0, 3, 0}},
        {"(eI - eII)/2", 1.5f, {0, 0, 0, 3, 0}}, {"1 / 0", 0}, {"0 / 0", 0}, {"exx / 0", 0, {5}},
        {"exx / -0", 0, {5}},
        // Variables by index: exx, eyy, exy, eI, eII, omega.
        {"exx + 10*eyy + 100*exy + 1000*eI + 10000*eII + 100000*omega", 654321, {1, 2, 3, 4, 5, 6}},
    });
}

TEST(FormulaEvaluation, NanAndInfinitiesFlowAsDocumented)
{
    const std::vector<ValueCase> cases{
        {"max(exx, eyy)", kNaN, {kNaN, 1}}, {"max(exx, eyy)", -kInf, {1, -kInf}},
        {"min(exx, eyy)", kInf, {1, kInf}}, {"min(exx, eyy)", -kInf, {-kInf, kNaN}},
        {"max(exx, eyy)", -kInf, {-kInf, kInf}}, {"sqrt(exx)", -kInf, {-kInf}},
        {"sqrt(exx)", kNaN, {kNaN}}, {"abs(exx)", kInf, {-kInf}}, {"exx / 0", 0, {kNaN}},
        {"1 / exx", kNaN, {kNaN}}, {"1 / exx", 0, {kInf}}, {"exx - exx", kNaN, {kInf}},
        {"exx ** 2", kInf, {-kInf}}, {"(-1) ** 0.5", kNaN}, {"exx ** 0", 1, {kNaN}},
    };
    expectValues(cases);
}

TEST(FormulaEvaluation, NegationFlipsAndAbsClearsTheSignBit)
{
    EXPECT_TRUE(std::signbit(valueOf("-exx", {0.0f}).value()));
    EXPECT_TRUE(std::signbit(valueOf("-exx", {kNaN}).value()));
    EXPECT_FALSE(std::signbit(valueOf("abs(exx)", {-kNaN}).value()));
    EXPECT_FALSE(std::signbit(valueOf("abs(exx)", {-0.0f}).value()));
}

TEST(FormulaErrors, EveryFailureReportsItsMessage)
{
    expectErrors({
        {"exx eyy", kTrailing}, {"exx)", kTrailing}, {"1.5.3", kTrailing}, {"exx $", kTrailing},
        {"exx \xc3\xa9", kTrailing}, {"2exx", kTrailing}, {"1e", kTrailing},
        {"+exx", kExpected + "+"}, {"", kExpected}, {" \t\n\v\f\r", kExpected},
        {"exx +", kExpected}, {"sqrt()", kExpected + ")"}, {"max(, 1)", kExpected + ","},
        {"** 2", kExpected + "**"}, {"exx * * 2", kExpected + "*"}, {". 5", kExpected + "."},
        {"\xc3\xa9", kExpected + "\xc3\xa9"}, {"exx * \xe4\xb8\xad", kExpected + "\xe4\xb8\xad"},
        {"\xf0\x9f\x98\x80", kExpected + "\xf0\x9f\x98\x80"}, {"\xa9", kExpected + "\xa9"},
        {"(exx", kCloseParen}, {"(exx eyy)", kCloseParen},
        {"sqrt(exx", kCloseParen}, {"sqrt(exx, eyy)", kCloseParen},
        {"max(exx, eyy, exy)", kCloseParen}, {"max(exx)", kComma}, {"min(exx eyy)", kComma},
        {"foo(1)", "Fonction inconnue : foo"}, {"exx(1)", "Fonction inconnue : exx"},
        {"Sqrt(1)", "Fonction inconnue : Sqrt"}, {"foo (", "Fonction inconnue : foo"},
        {"ei", "Unknown variable: ei"}, {"Exx", "Unknown variable: Exx"}, {"exx2", "Unknown variable: exx2"},
        {"_exx", "Unknown variable: _exx"}, {"e", "Unknown variable: e"}, {"1e39", kOutOfRange}, {"-1e39", kOutOfRange},
        {"exx + 1e400", kOutOfRange}, {"3.40282357e38", kOutOfRange}, {"1e-50", kOutOfRange},
        {"1e-40", kOutOfRange},
    });
}

TEST(FormulaParse, SuccessReplacesTheRecordAndFailureEmptiesIt)
{
    ParsedExpression parsed;
    std::string error = "stale";
    const Vars vars{1, 2};
    ASSERT_TRUE(tavro::parseExpression(parsed, "exx", error));
    EXPECT_TRUE(error.empty());
    // The record's own source as the text: it must survive being replaced.
    ASSERT_TRUE(tavro::parseExpression(parsed, "eyy * 3", error));
    ASSERT_TRUE(tavro::parseExpression(parsed, parsed.source, error)) << error;
    EXPECT_EQ(parsed.source, "eyy * 3");
    EXPECT_EQ(parsed.root->evaluate(vars.data()), 6.0f);
    EXPECT_FALSE(tavro::parseExpression(parsed, "exx +", error));
    EXPECT_EQ(parsed.root, nullptr);
    EXPECT_TRUE(parsed.source.empty());
    EXPECT_EQ(error, kExpected);
}

struct NestingCase {
    const char* construct;
    std::function<std::string(int)> text;
    float valueAtLimit;  // with every variable 1
    const std::string& refusal;
};

// Refusal stops at the limit: a hundred thousand levels would otherwise overflow the stack.
TEST(FormulaNesting, DepthUpToTheLimitParsesAndBeyondIsRefused)
{
    const Vars ones{1, 1, 1, 1, 1, 1};
    const int limit = tavro::kMaxFormulaNesting;
    const NestingCase cases[] = {
        {"parentheses", [](int n) { return repeat("(", n) + "exx" + repeat(")", n); }, 1, kTooDeep},
        {"prefix minus", [](int n) { return repeat("-", n) + "exx"; }, limit % 2 == 0 ? 1.0f : -1.0f, kTooDeep},
        {"power", [](int n) { return "exx" + repeat(" ** exx", n); }, 1, kTooDeep},
        {"sum", [](int n) { return "exx" + repeat(" + exx", n); }, static_cast<float>(limit + 1), kTooLong},
        {"quotient", [](int n) { return "exx" + repeat(" / exx", n); }, 1, kTooLong},
        {"sqrt", [](int n) { return repeat("sqrt(", n) + "exx" + repeat(")", n); }, 1, kTooDeep},
        {"max", [](int n) { return repeat("max(", n) + "exx" + repeat(", 0)", n); }, 1, kTooDeep},
    };
    for (const NestingCase& c : cases) {
        SCOPED_TRACE(c.construct);
        const std::optional<float> value = valueOf(c.text(limit), ones);
        if (value) {
            EXPECT_EQ(*value, c.valueAtLimit);
        }
        expectErrors({{c.text(limit + 1), c.refusal}, {c.text(100000), c.refusal}});
    }
    expectErrors({{"exx + " + repeat("-", limit) + "exx", kTooDeep}});
}

class CommaDecimalPoint : public std::numpunct<char> {
protected:
    char do_decimal_point() const override { return ','; }
    char do_thousands_sep() const override { return '.'; }
};

// Puts back the C and C++ locales and LOCPATH whatever the test's outcome.
class LocaleRestorer {
public:
    LocaleRestorer() : cLocale_(std::setlocale(LC_ALL, nullptr))
    {
        if (const char* path = std::getenv("LOCPATH")) locPath_ = path;
    }
    ~LocaleRestorer()
    {
        if (locPath_) setenv("LOCPATH", locPath_->c_str(), 1);
        else unsetenv("LOCPATH");
        std::locale::global(cppLocale_);
        std::setlocale(LC_ALL, cLocale_.c_str());
    }
    LocaleRestorer(const LocaleRestorer&) = delete;
    LocaleRestorer& operator=(const LocaleRestorer&) = delete;

private:
    std::string cLocale_;
    std::locale cppLocale_;
    std::optional<std::string> locPath_;
};

bool commaIsTheCDecimalPoint()
{
    return std::strcmp(std::localeconv()->decimal_point, ",") == 0;
}

// glibc reads locales from LOCPATH, so without root a locale holding only LC_NUMERIC can
// be compiled when no comma-decimal locale is installed.
bool compileCommaLocale(const QString& dir)
{
    QFile definition(dir + "/comma.def");
    if (!definition.open(QIODevice::WriteOnly)) return false;
    definition.write("LC_NUMERIC\ndecimal_point \"<U002C>\"\nthousands_sep \"<U002E>\"\n"
                     "grouping 3;3\nEND LC_NUMERIC\n");
    definition.close();
    QProcess localedef;
    // -c: the other categories are missing on purpose, which localedef only warns about.
    localedef.start("localedef", {"-c", "-i", definition.fileName(), dir + "/tavro_comma"});
    if (!localedef.waitForFinished(30000)) return false;
    if (!QFile::exists(dir + "/tavro_comma/LC_NUMERIC")) return false;
    return setenv("LOCPATH", QFile::encodeName(dir).constData(), 1) == 0;
}

bool selectCommaDecimalCLocale(const QString& scratchDir)
{
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8", "de_DE", "fr_FR"})
        if (std::setlocale(LC_NUMERIC, name) && commaIsTheCDecimalPoint()) return true;
    return compileCommaLocale(scratchDir) && std::setlocale(LC_NUMERIC, "tavro_comma") &&
           commaIsTheCDecimalPoint();
}

void expectNumbersIgnoreTheLocale()
{
    expectValues({
        {"0.5", 0.5f}, {"exx * 0.25", 1, {4}}, {"1.5e3", 1500}, {".5 + 5.", 5.5f}, {"max(1,5)", 5},
    });
    expectErrors({{"1,5", kTrailing}, {"3.40282357e38", kOutOfRange}});
}

// Qt sets the C locale from the environment when the application object is
// made; streams follow the C++ global locale. Neither may change a formula.
TEST(FormulaLocale, CommaDecimalLocalesDoNotChangeNumbers)
{
    const LocaleRestorer restorer;
    int argc = 1;
    char name[] = "formula_test";
    char* argv[] = {name, nullptr};
    const QCoreApplication app(argc, argv);
    std::locale::global(std::locale(std::locale::classic(), new CommaDecimalPoint));
    expectNumbersIgnoreTheLocale();
    const QTemporaryDir scratch;
    ASSERT_TRUE(scratch.isValid());
    if (!selectCommaDecimalCLocale(scratch.path())) {
        GTEST_SKIP() << "no C locale with a comma decimal separator could be installed or compiled";
    }
    ASSERT_EQ(std::strtof("0.5", nullptr), 0.0f) << "the C library should now stop at the point";
    expectNumbersIgnoreTheLocale();
}

}  // namespace


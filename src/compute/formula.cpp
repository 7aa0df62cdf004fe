#include "compute/formula.h"

#include <algorithm>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <stdexcept>
#include <utility>

namespace tavro {

float ConstantNode::evaluate(const float*) const
{
    return value_;
}

float VariableNode::evaluate(const float* vars) const
{
    return index_ >= 0 && index_ < kFormulaVariableCount ? vars[index_] : 0.0f;
}

float UnaryOpNode::evaluate(const float* vars) const
{
    const float x = operand_->evaluate(vars);
    return op_ == UnaryOperator::Negate ? -x : 0.0f;
}

float BinaryOpNode::evaluate(const float* vars) const
{
    const float a = left_->evaluate(vars);
    const float b = right_->evaluate(vars);
    switch (op_) {
    case BinaryOperator::Add: return a + b;
    case BinaryOperator::Subtract: return a - b;
    case BinaryOperator::Multiply: return a * b;
    case BinaryOperator::Divide: return b == 0.0f ? 0.0f : a / b;
    case BinaryOperator::Power: return std::pow(a, b);
    }
    return 0.0f;
}

float Function1Node::evaluate(const float* vars) const
{
    const float x = argument_->evaluate(vars);
    switch (function_) {
    case Function1::Sqrt:
        if (!std::isfinite(x)) return x;
        return x < 0.0f ? 0.0f : std::sqrt(x);
    case Function1::Abs: return std::fabs(x);
    }
    return 0.0f;
}

float Function2Node::evaluate(const float* vars) const
{
    const float a = first_->evaluate(vars);
    const float b = second_->evaluate(vars);
    if (!std::isfinite(a)) return a;
    if (!std::isfinite(b)) return b;
    switch (function_) {
    case Function2::Max: return std::max(a, b);
    case Function2::Min: return std::min(a, b);
    }
    return 0.0f;
}

namespace {

enum class TokenKind {
    Number, Identifier, Plus, Minus, Star, Slash, Power, LeftParen, RightParen, Comma, End, Unknown
};

struct Token {
    TokenKind kind = TokenKind::End;
    std::string text;
    float value = 0.0f;
};

// Plain ASCII classes on single bytes: the <cctype> functions would follow the C locale.
bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool isLetter(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

[[noreturn]] void fail(std::string message)
{
    throw std::runtime_error(std::move(message));
}

// The longest decimal literal at the start of run, with '.' as separator whatever the
// locale. The range check matches the C library's: a result that would be subnormal
// counts as underflow, not only one that rounds to zero.
float toFloat(std::string_view run)
{
    const char* const first = run.data();
    float value = 0.0f;
    const auto [last, ec] = std::from_chars(first, first + run.size(), value);
    if (ec == std::errc::result_out_of_range) fail("stof argument out of range");
    double wide = 0.0;
    std::from_chars(first, last, wide);
    if (wide != 0.0 && std::fabs(wide) < FLT_MIN) fail("stof argument out of range");
    return value;
}

class Lexer {
public:
    explicit Lexer(std::string_view text) : text_(text) { advance(); }

    const Token& current() const { return token_; }
    TokenKind kind() const { return token_.kind; }

    void advance()
    {
        while (pos_ < text_.size() && isSpace(text_[pos_])) ++pos_;
        if (pos_ == text_.size()) {
            token_ = Token{};
            return;
        }
        const char c = text_[pos_];
        if (isDigit(c) || (c == '.' && pos_ + 1 < text_.size() && isDigit(text_[pos_ + 1]))) {
            const std::size_t end = numberEnd(pos_);
            const std::string_view run = text_.substr(pos_, end - pos_);
            token_ = Token{TokenKind::Number, std::string(run), toFloat(run)};
            pos_ = end;
            return;
        }
        if (isLetter(c) || c == '_') {
            std::size_t end = pos_ + 1;
            while (end < text_.size() && (isLetter(text_[end]) || isDigit(text_[end]) || text_[end] == '_')) ++end;
            token_ = Token{TokenKind::Identifier, std::string(text_.substr(pos_, end - pos_)), 0.0f};
            pos_ = end;
            return;
        }
        if (c == '*' && pos_ + 1 < text_.size() && text_[pos_ + 1] == '*') {
            token_ = Token{TokenKind::Power, "**", 0.0f};
            pos_ += 2;
            return;
        }
        const TokenKind single = singleCharKind(c);
        if (single == TokenKind::Unknown) {
            // Nothing ever consumes an unknown character, so the position stays on it.
            token_ = Token{single, std::string(text_.substr(pos_, characterLength(pos_))), 0.0f};
            return;
        }
        token_ = Token{single, std::string(1, c), 0.0f};
        ++pos_;
    }

private:
    static TokenKind singleCharKind(char c)
    {
        switch (c) {
        case '(': return TokenKind::LeftParen;
        case ')': return TokenKind::RightParen;
        case '+': return TokenKind::Plus;
        case ',': return TokenKind::Comma;
        case '-': return TokenKind::Minus;
        case '/': return TokenKind::Slash;
        case '*': return TokenKind::Star;
        default: return TokenKind::Unknown;
        }
    }

    // Bytes of the UTF-8 character at pos, so that a message shows it whole;
    // a byte that starts no valid sequence stands alone.
    std::size_t characterLength(std::size_t pos) const
    {
        const auto lead = static_cast<unsigned char>(text_[pos]);
        const std::size_t expected = lead >= 0xF0 && lead < 0xF8 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
        std::size_t length = 1;
        while (length < expected && pos + length < text_.size()
               && (static_cast<unsigned char>(text_[pos + length]) & 0xC0) == 0x80)
            ++length;
        return length == expected ? length : 1;
    }

    std::size_t numberEnd(std::size_t pos) const
    {
        bool pointTaken = false;
        while (pos < text_.size()) {
            const char c = text_[pos];
            if (isDigit(c)) {
                ++pos;
            } else if (c == '.' && !pointTaken) {
                pointTaken = true;
                ++pos;
            } else if ((c == 'e' || c == 'E') && pos + 1 < text_.size()) {
                ++pos;
                if (text_[pos] == '+' || text_[pos] == '-') ++pos;
            } else {
                break;
            }
        }
        return pos;
    }

    std::string_view text_;
    std::size_t pos_ = 0;
    Token token_;
};

// A subtree and its height in operator levels (a leaf is 0), which bounds the recursion
// of evaluation and destruction.
struct Subtree {
    std::unique_ptr<ExprNode> node;
    int height = 0;
};

class Parser {
public:
    explicit Parser(std::string_view text) : lexer_(text) {}

    std::unique_ptr<ExprNode> parse()
    {
        Subtree tree = expression();
        if (lexer_.kind() != TokenKind::End) fail("Invalid expression: unexpected characters at end");
        return std::move(tree.node);
    }

private:
    // Parentheses add recursion without adding height, so parser depth is counted apart.
    class Nesting {
    public:
        explicit Nesting(int& depth) : depth_(depth)
        {
            if (++depth_ > kMaxFormulaNesting) tooDeep();
        }
        ~Nesting() { --depth_; }
        Nesting(const Nesting&) = delete;
        Nesting& operator=(const Nesting&) = delete;

    private:
        int& depth_;
    };

    [[noreturn]] static void tooDeep()
    {
        fail("Expression too deeply nested (more than " + std::to_string(kMaxFormulaNesting) + " levels).");
    }

    // A chain of "+" or "*" nests no parentheses, yet each operator adds a level to the tree.
    [[noreturn]] static void tooLong()
    {
        fail("Expression too long (more than " + std::to_string(kMaxFormulaNesting) + " chained operations).");
    }

    template <typename Node, typename Op>
    static Subtree make(Op op, Subtree only)
    {
        const int height = only.height + 1;
        if (height > kMaxFormulaNesting) tooDeep();
        return {std::make_unique<Node>(op, std::move(only.node)), height};
    }

    template <typename Node, typename Op>
    static Subtree make(Op op, Subtree first, Subtree second, bool chained = false)
    {
        const int height = std::max(first.height, second.height) + 1;
        if (height > kMaxFormulaNesting) {
            if (chained && first.height >= second.height) tooLong();
            tooDeep();
        }
        return {std::make_unique<Node>(op, std::move(first.node), std::move(second.node)), height};
    }

    void expect(TokenKind kind, const char* message)
    {
        if (lexer_.kind() != kind) fail(message);
        lexer_.advance();
    }

    Subtree expression()
    {
        Subtree left = term();
        while (lexer_.kind() == TokenKind::Plus || lexer_.kind() == TokenKind::Minus) {
            const auto op = lexer_.kind() == TokenKind::Plus ? BinaryOperator::Add : BinaryOperator::Subtract;
            lexer_.advance();
            left = make<BinaryOpNode>(op, std::move(left), term(), true);
        }
        return left;
    }

    Subtree term()
    {
        Subtree left = power();
        while (lexer_.kind() == TokenKind::Star || lexer_.kind() == TokenKind::Slash) {
            const auto op = lexer_.kind() == TokenKind::Star ? BinaryOperator::Multiply : BinaryOperator::Divide;
            lexer_.advance();
            left = make<BinaryOpNode>(op, std::move(left), power(), true);
        }
        return left;
    }

    // The base is a unary, so a prefix minus binds tighter than "**": -2 ** 2 is 4.
    Subtree power()
    {
        Subtree base = unary();
        if (lexer_.kind() != TokenKind::Power) return base;
        lexer_.advance();
        const Nesting nesting(depth_);
        return make<BinaryOpNode>(BinaryOperator::Power, std::move(base), power());
    }

    Subtree unary()
    {
        if (lexer_.kind() != TokenKind::Minus) return primary();
        lexer_.advance();
        const Nesting nesting(depth_);
        return make<UnaryOpNode>(UnaryOperator::Negate, unary());
    }

    Subtree primary()
    {
        switch (lexer_.kind()) {
        case TokenKind::Number: {
            auto node = std::make_unique<ConstantNode>(lexer_.current().value);
            lexer_.advance();
            return {std::move(node), 0};
        }
        case TokenKind::Identifier: {
            std::string name = lexer_.current().text;
            lexer_.advance();
            if (lexer_.kind() == TokenKind::LeftParen) return call(name);
            return variable(name);
        }
        case TokenKind::LeftParen: {
            lexer_.advance();
            const Nesting nesting(depth_);
            Subtree inner = expression();
            expect(TokenKind::RightParen, "')' expected");
            return inner;
        }
        default: fail("Expression expected, found: " + lexer_.current().text);
        }
    }

    static Subtree variable(const std::string& name)
    {
        for (int i = 0; i < kFormulaVariableCount; ++i) {
            if (name == kFormulaVariableNames[i]) return {std::make_unique<VariableNode>(i), 0};
        }
        fail("Unknown variable: " + name);
    }

    Subtree call(const std::string& name)
    {
        lexer_.advance();
        const Nesting nesting(depth_);
        if (name == "sqrt" || name == "abs") {
            Subtree argument = expression();
            expect(TokenKind::RightParen, "')' expected");
            return make<Function1Node>(name == "sqrt" ? Function1::Sqrt : Function1::Abs, std::move(argument));
        }
        if (name == "max" || name == "min") {
            Subtree first = expression();
            expect(TokenKind::Comma, "',' attendue entre les arguments");
            Subtree second = expression();
            expect(TokenKind::RightParen, "')' expected");
            return make<Function2Node>(name == "max" ? Function2::Max : Function2::Min, std::move(first),
                                       std::move(second));
        }
        fail("Fonction inconnue : " + name);
    }

    Lexer lexer_;
    int depth_ = 0;
};

void setError(std::string& error, const char* message) noexcept
{
    try {
        error = message;
    } catch (...) {
        error.clear();
    }
}

}  // namespace

bool parseExpression(ParsedExpression& out, const std::string& text, std::string& error) noexcept
{
    try {
        std::unique_ptr<ExprNode> root = Parser(text).parse();
        out.source = text;
        out.root = std::move(root);
        error.clear();
        return true;
    } catch (const std::exception& e) {
        setError(error, e.what());
    } catch (...) {
        setError(error, "Unknown error");
    }
    out.root.reset();
    out.source.clear();
    return false;
}

}  // namespace tavro

#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace tavro {

// A formula sees these six strain values of one grid point, always in this order.
inline constexpr int kFormulaVariableCount = 6;
inline constexpr std::array<std::string_view, kFormulaVariableCount> kFormulaVariableNames{
    "exx", "eyy", "exy", "eI", "eII", "omega"};

// Every recursive walk over a tree (parsing, evaluation, destruction) uses the stack, so a
// formula nested deeper than this is refused instead of overflowing it.
inline constexpr int kMaxFormulaNesting = 256;

enum class UnaryOperator : std::int32_t { Negate = 0 };
enum class BinaryOperator : std::int32_t { Add = 0, Subtract = 1, Multiply = 2, Divide = 3, Power = 4 };
enum class Function1 : std::int32_t { Sqrt = 0, Abs = 1 };
enum class Function2 : std::int32_t { Max = 0, Min = 1 };

class ExprNode {
public:
    ExprNode() = default;
    ExprNode(const ExprNode&) = delete;
    ExprNode& operator=(const ExprNode&) = delete;
    virtual ~ExprNode() = default;

    // vars points at kFormulaVariableCount values. Never fails; reads no shared state, so
    // one tree may be evaluated from several threads at once.
    virtual float evaluate(const float* vars) const = 0;
};

class ConstantNode final : public ExprNode {
public:
    explicit ConstantNode(float value) : value_(value) {}
    float evaluate(const float* vars) const override;

private:
    float value_;
};

class VariableNode final : public ExprNode {
public:
    explicit VariableNode(std::int32_t index) : index_(index) {}
    float evaluate(const float* vars) const override;

private:
    std::int32_t index_;
};

class UnaryOpNode final : public ExprNode {
public:
    UnaryOpNode(UnaryOperator op, std::unique_ptr<ExprNode> operand)
        : op_(op), operand_(std::move(operand)) {}
    float evaluate(const float* vars) const override;

private:
    UnaryOperator op_;
    std::unique_ptr<ExprNode> operand_;
};

// Members are destroyed in reverse order, so the right operand goes before the left.
class BinaryOpNode final : public ExprNode {
public:
    BinaryOpNode(BinaryOperator op, std::unique_ptr<ExprNode> left, std::unique_ptr<ExprNode> right)
        : op_(op), left_(std::move(left)), right_(std::move(right)) {}
    float evaluate(const float* vars) const override;

private:
    BinaryOperator op_;
    std::unique_ptr<ExprNode> left_;
    std::unique_ptr<ExprNode> right_;
};

class Function1Node final : public ExprNode {
public:
    Function1Node(Function1 function, std::unique_ptr<ExprNode> argument)
        : function_(function), argument_(std::move(argument)) {}
    float evaluate(const float* vars) const override;

private:
    Function1 function_;
    std::unique_ptr<ExprNode> argument_;
};

class Function2Node final : public ExprNode {
public:
    Function2Node(Function2 function, std::unique_ptr<ExprNode> first, std::unique_ptr<ExprNode> second)
        : function_(function), first_(std::move(first)), second_(std::move(second)) {}
    float evaluate(const float* vars) const override;

private:
    Function2 function_;
    std::unique_ptr<ExprNode> first_;
    std::unique_ptr<ExprNode> second_;
};

struct ParsedExpression {
    std::unique_ptr<ExprNode> root;  // null when nothing valid was parsed
    std::string source;
};

// On success replaces out's tree, sets out.source to text and clears error. On failure
// sets error to the user-facing message and leaves out empty. Never throws; text may be
// out.source itself.
bool parseExpression(ParsedExpression& out, const std::string& text, std::string& error) noexcept;

}  // namespace tavro

#pragma once
// Sequences of user actions as the model test draws, prints, replays and
// shrinks them. Nothing here knows the window: an action is a name and two
// small numbers, read by whoever plays it modulo what exists at that moment,
// so that any sub-sequence of a valid sequence is valid too.

#include <cstdint>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace tavro::gui::model {

struct Action {
    std::string name;
    int a = 0;
    int b = 0;
    bool operator==(const Action&) const = default;
};

struct Sequence {
    std::string mode;
    std::vector<Action> actions;
    bool operator==(const Sequence&) const = default;
};

// One kind of action the generator may draw: how often, and how many numbers it takes below `range`.
struct ActionKind {
    std::string name;
    int weight = 1;
    int arity = 0;
    int range = 1;
};

// "mode: Name Name(a) Name(a,b)", the form a failure prints and a regression test replays.
std::string format(const Sequence& sequence);
std::optional<Sequence> parse(const std::string& text);

Sequence generate(std::mt19937_64& random, const std::string& mode, int length, const std::vector<ActionKind>& kinds);

// A failure is "[tag] details"; shrinking keeps only candidates failing with the same tag, so that it does not
// slide from one fault to another.
std::string failureTag(const std::string& failure);

using Runner = std::function<std::string(const Sequence&)>;

struct Shrunk {
    Sequence sequence;
    std::string failure;
    int runs = 0;
};

// Drops runs of actions (halves, quarters, ... single ones), then lowers numbers to zero, while the failure stays.
Shrunk shrink(const Sequence& failing, const std::string& failure, const Runner& run, int budget);

}  // namespace tavro::gui::model

#include "action_sequence.h"

#include <cctype>
#include <sstream>

namespace tavro::gui::model {

std::string format(const Sequence& sequence) {
    std::ostringstream out;
    out << sequence.mode << ':';
    for (const Action& action : sequence.actions) {
        out << ' ' << action.name;
        if (action.a != 0 || action.b != 0) {
            out << '(' << action.a;
            if (action.b != 0)
                out << ',' << action.b;
            out << ')';
        }
    }
    return out.str();
}

std::optional<Sequence> parse(const std::string& text) {
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos || colon == 0)
        return std::nullopt;
    Sequence sequence;
    sequence.mode = text.substr(0, colon);
    std::istringstream words(text.substr(colon + 1));
    std::string word;
    while (words >> word) {
        Action action;
        const std::size_t open = word.find('(');
        action.name = word.substr(0, open);
        if (action.name.empty() || !std::isalpha(static_cast<unsigned char>(action.name.front())))
            return std::nullopt;
        if (open != std::string::npos) {
            if (word.back() != ')')
                return std::nullopt;
            std::istringstream numbers(word.substr(open + 1, word.size() - open - 2));
            char comma = 0;
            if (!(numbers >> action.a))
                return std::nullopt;
            if (numbers >> comma && (comma != ',' || !(numbers >> action.b)))
                return std::nullopt;
        }
        sequence.actions.push_back(action);
    }
    return sequence;
}

Sequence generate(std::mt19937_64& random, const std::string& mode, int length, const std::vector<ActionKind>& kinds) {
    std::vector<int> weights;
    for (const ActionKind& kind : kinds)
        weights.push_back(kind.weight);
    std::discrete_distribution<std::size_t> pick(weights.begin(), weights.end());
    Sequence sequence{mode, {}};
    for (int i = 0; i < length; ++i) {
        const ActionKind& kind = kinds[pick(random)];
        Action action{kind.name};
        std::uniform_int_distribution<int> number(0, std::max(0, kind.range - 1));
        if (kind.arity >= 1)
            action.a = number(random);
        if (kind.arity >= 2)
            action.b = number(random);
        sequence.actions.push_back(action);
    }
    return sequence;
}

std::string failureTag(const std::string& failure) {
    if (failure.empty() || failure.front() != '[')
        return failure;
    return failure.substr(0, failure.find(']') + 1);
}

Shrunk shrink(const Sequence& failing, const std::string& failure, const Runner& run, int budget) {
    Shrunk best{failing, failure, 0};
    const std::string tag = failureTag(failure);
    const auto tryCandidate = [&](const Sequence& candidate) {
        if (best.runs >= budget)
            return false;
        ++best.runs;
        const std::string result = run(candidate);
        if (result.empty() || failureTag(result) != tag)
            return false;
        best.sequence = candidate;
        best.failure = result;
        return true;
    };
    bool progress = true;
    while (progress && best.runs < budget) {
        progress = false;
        for (std::size_t chunk = std::max<std::size_t>(1, best.sequence.actions.size() / 2); chunk >= 1; chunk /= 2) {
            for (std::size_t start = 0; start + chunk <= best.sequence.actions.size();) {
                Sequence candidate = best.sequence;
                candidate.actions.erase(candidate.actions.begin() + static_cast<std::ptrdiff_t>(start),
                                        candidate.actions.begin() + static_cast<std::ptrdiff_t>(start + chunk));
                if (tryCandidate(candidate))
                    progress = true;
                else
                    start += chunk;
            }
            if (chunk == 1)
                break;
        }
        for (std::size_t i = 0; i < best.sequence.actions.size(); ++i)
            for (int field = 0; field < 2; ++field) {
                Sequence candidate = best.sequence;
                int& number = field == 0 ? candidate.actions[i].a : candidate.actions[i].b;
                if (number == 0)
                    continue;
                number = 0;
                if (tryCandidate(candidate))
                    progress = true;
            }
    }
    return best;
}

}  // namespace tavro::gui::model

// Scenario text: lines of words, comments, and the marks that say a line
// is meant to fail.
#pragma once

#include <string>
#include <vector>

namespace sim {

struct ScriptLine {
    std::vector<std::string> Words;  // empty for a blank or comment line
    bool ExpectFailure = false;      // "!" prefix or "expect-fail"
    std::string Error;               // set when the line cannot be split
};

// Splits one line into words. Double quotes group words ("a b" is one word,
// "" an empty one); a backslash is an ordinary character; "#" outside
// quotes starts a comment.
ScriptLine ParseScriptLine(const std::string& line);

// The words joined back for messages, quoted where needed.
std::string JoinWords(const std::vector<std::string>& words, size_t first = 0);

}  // namespace sim

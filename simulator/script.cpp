#include "script.h"

namespace sim {

ScriptLine ParseScriptLine(const std::string& line) {
    ScriptLine result;
    std::string word;
    bool inWord = false;
    bool quoted = false;
    for (char c : line) {
        if (quoted) {
            if (c == '"') quoted = false;
            else word += c;
            continue;
        }
        if (c == '#') break;
        if (c == '"') {
            quoted = true;
            inWord = true;
        } else if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            if (inWord) result.Words.push_back(word);
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (quoted) {
        result.Error = "unterminated quote";
        result.Words.clear();
        return result;
    }
    if (inWord) result.Words.push_back(word);

    if (!result.Words.empty() && result.Words[0] == "expect-fail") {
        result.ExpectFailure = true;
        result.Words.erase(result.Words.begin());
    } else if (!result.Words.empty() && result.Words[0][0] == '!') {
        result.ExpectFailure = true;
        if (result.Words[0].size() == 1) result.Words.erase(result.Words.begin());
        else result.Words[0].erase(0, 1);
    }
    if (result.ExpectFailure && result.Words.empty()) result.Error = "nothing is expected to fail";
    return result;
}

std::string JoinWords(const std::vector<std::string>& words, size_t first) {
    std::string out;
    for (size_t i = first; i < words.size(); ++i) {
        if (i > first) out += ' ';
        bool quote = words[i].empty() || words[i].find_first_of(" \t#") != std::string::npos;
        out += quote ? "\"" + words[i] + "\"" : words[i];
    }
    return out;
}

}  // namespace sim

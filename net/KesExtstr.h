#pragma once
// A list of text lines with helpers for lines of the form name, ": ", value (request headers).
#include <string>
#include <vector>

class TExStringList : public std::vector<std::string> {
public:
    void Add(const std::string& line) { push_back(line); }
    int Count() const { return static_cast<int>(size()); }
    void Delete(int index) { erase(begin() + index); }
    // Every line followed by CR LF.
    std::string Text() const;

    // Index of the first line whose text before its first colon equals the name, ignoring ASCII
    // case; -1 when there is none. Lines without a colon never match.
    int IndexOfHeader(const std::string& name) const;
    // With a value: replaces the matching line by name, ": " and the value, or appends such a
    // line. With an empty value: deletes the matching line, if any.
    void SetHeader(const std::string& name, const std::string& value);
};

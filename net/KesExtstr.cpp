#include "net/KesExtstr.h"

#include "ui/core/Big5.h"

std::string TExStringList::Text() const {
    std::string text;
    for (const std::string& line : *this) {
        text += line;
        text += "\r\n";
    }
    return text;
}

int TExStringList::IndexOfHeader(const std::string& name) const {
    for (std::size_t i = 0; i < size(); ++i) {
        const std::string& line = (*this)[i];
        std::size_t colon = line.find(':');
        if (colon != std::string::npos && ui::SameText(std::string_view(line).substr(0, colon), name))
            return static_cast<int>(i);
    }
    return -1;
}

void TExStringList::SetHeader(const std::string& name, const std::string& value) {
    int index = IndexOfHeader(name);
    if (value.empty()) {
        if (index >= 0) Delete(index);
        return;
    }
    std::string line = name + ": " + value;
    if (index >= 0)
        (*this)[static_cast<std::size_t>(index)] = line;
    else
        Add(line);
}

#include "server/Universe.h"

#include "ui/core/Exception.h"
#include "ui/core/TextFile.h"

#include <fstream>
#include <set>
#include <sstream>

namespace server {

std::vector<Listing> ParseUniverse(const std::string& text, const std::string& source) {
    std::vector<Listing> stocks;
    std::set<std::string> seen;
    int lineNo = 0;
    for (const std::string& line : ui::SplitLines(text)) {
        ++lineNo;
        if (line.empty() || line[0] == '#') continue;
        auto fail = [&](const std::string& why) {
            throw Exception(source + ":" + std::to_string(lineNo) + ": " + why);
        };
        std::size_t tab1 = line.find('\t');
        std::size_t tab2 = tab1 == std::string::npos ? tab1 : line.find('\t', tab1 + 1);
        if (tab2 == std::string::npos || line.find('\t', tab2 + 1) != std::string::npos)
            fail("expected code, name and previous close separated by tabs");
        Listing s;
        s.code = line.substr(0, tab1);
        s.name = line.substr(tab1 + 1, tab2 - tab1 - 1);
        s.etf = s.code.rfind("00", 0) == 0;
        s.prevClose = ParsePrice(line.substr(tab2 + 1));
        if (s.code.empty() || s.code.find_first_of(" <>&\"'") != std::string::npos) fail("bad stock code");
        if (s.name.empty() || s.name.find_first_of("<>&\"") != std::string::npos) fail("bad name");
        for (char c : s.name)
            if (static_cast<unsigned char>(c) < 0x20) fail("bad name");
        if (!OnGrid(s.prevClose, s.etf)) fail("previous close is not a price of its tick band");
        if (!seen.insert(s.code).second) fail("duplicate code " + s.code);
        stocks.push_back(std::move(s));
    }
    if (stocks.empty()) throw Exception(source + ": no stocks");
    return stocks;
}

std::vector<Listing> LoadUniverse(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw EFileError("Cannot open file " + path);
    std::ostringstream text;
    text << in.rdbuf();
    return ParseUniverse(text.str(), path);
}

}  // namespace server

#pragma once
// The stocks the quote server knows, read from its data file (data/MARKET.TXT by default).
//
// File format: Big5 text, one stock per line: code, TAB, short name, TAB, previous close
// ("2330<TAB>台積電<TAB>1025"). Lines may end in CR LF or LF; empty lines and lines starting
// with "#" are notes. Codes are unique; the previous close must be a price of its tick band.
// Codes starting with "00" are ETFs and trade with the ETF ticks.
#include "server/PriceRules.h"

#include <string>
#include <vector>

namespace server {

struct Listing {
    std::string code;  // "2330"
    std::string name;  // Big5, without padding: "台積電", "台泥"
    Cents prevClose = 0;
    bool etf = false;
};

// Raises EFileError when the file cannot be read, Exception naming the line for a bad line.
std::vector<Listing> LoadUniverse(const std::string& path);

// Parses the text of such a file; source names it in error messages.
std::vector<Listing> ParseUniverse(const std::string& text, const std::string& source);

}  // namespace server

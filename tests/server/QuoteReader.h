#pragma once
// The server's pages are read here by the board's own page scraper (quote/), so they are checked
// against the reader that uses them rather than against the server's own code. QuoteValue
// (quote/fQuoteDef.h) reads a cell as the board does.
#include "quote/fQuoteDef.h"

#include <optional>
#include <string>
#include <vector>

namespace pagescraper {

using Fields = std::vector<std::string>;

// The eleven fields of the stock's quote row, or nothing when the page has no row for the code.
inline std::optional<Fields> Scrape(const std::string& body, const std::string& code) {
    float refPrice = 0;
    Fields fields;
    if (!ScrapeQuotePage(body, code, refPrice, fields)) return std::nullopt;
    return fields;
}

}  // namespace pagescraper

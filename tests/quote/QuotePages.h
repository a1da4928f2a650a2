#pragma once
// Quote pages for the tests, laid out as the quote server lays them out: a table row with the
// stock's anchor line and then one cell per line.
#include "ui/core/Big5.h"

#include <string>
#include <vector>

namespace quotetest {

inline const std::string Cell = "<td align=\"center\" bgcolor=\"#FFFfff\" nowrap>";

struct PageQuote {
    std::string code = "2330";
    std::string name = "台積電";  // UTF-8; converted to Big5
    std::string time = "10:31:05";
    std::string last = "1,085";
    std::string bid = "1,080";
    std::string ask = "1,085";
    std::string change = "△15";  // UTF-8 mark and figure; empty: unchanged
    std::string volume = "23,456";
    std::string prev = "1,070";
    std::string open = "1,075";
    std::string high = "1,090";
    std::string low = "1,070";
};

// The lines of the quote row (anchor line first), Big5.
inline std::vector<std::string> QuoteRowLines(const PageQuote& q) {
    auto b = [](const std::string& s) { return ui::Utf8ToBig5(s); };
    std::vector<std::string> lines;
    lines.push_back("<td width=\"90\" align=\"center\" nowrap><a href=\"/q/bc?s=" + q.code + "\">" + q.code +
                    b(q.name) + "</a><br><a href=\"/pf/pfsel?stocklist=" + q.code + "\">" + b("加到投資組合") +
                    "</a></td>");
    lines.push_back("    " + Cell + q.time + "</td>");
    lines.push_back("    " + Cell + "<b>" + q.last + "</b></td>");
    lines.push_back(Cell + q.bid + "</td>");
    lines.push_back(Cell + q.ask + "</td>");
    std::string colour = q.change.empty()                                       ? "#000000"
                         : (q.change.find("▽") == 0 || q.change.find("▼") == 0) ? "#009900"
                                                                                : "#ff0000";
    lines.push_back(Cell + "<font color=\"" + colour + "\">" + b(q.change) + "</font></td>");
    lines.push_back(Cell + q.volume + "</td>");
    lines.push_back(Cell + q.prev + "</td>");
    lines.push_back(Cell + q.open + "</td>");
    lines.push_back(Cell + q.high + "</td>");
    lines.push_back(Cell + q.low + "</td>");
    return lines;
}

// A whole page around the row, lines joined with the given terminator.
inline std::string QuotePage(const PageQuote& q, const std::string& eol = "\r\n") {
    std::vector<std::string> lines = {
        "<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=big5\">",
        "<title>" + ui::Utf8ToBig5("個股行情") + "</title></head><body>",
        "<table border=\"0\" cellpadding=\"1\" cellspacing=\"1\">",
        "<tr><th>" + ui::Utf8ToBig5("股票代號") + "</th><th>" + ui::Utf8ToBig5("成交價") + "</th></tr>", "<tr>"};
    for (std::string& l : QuoteRowLines(q)) lines.push_back(l);
    lines.push_back("</tr></table>");
    lines.push_back("<p>" + ui::Utf8ToBig5("資料僅供參考") + "</p></body></html>");
    std::string page;
    for (const std::string& l : lines) page += l + eol;
    return page;
}

}  // namespace quotetest

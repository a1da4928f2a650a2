#include "server/QuotePage.h"

#include "ui/core/Big5.h"

namespace server {

namespace {

// The fixed parts of the pages, converted to Big5 once.
struct PageText {
    std::string head1, head2, tableTop, unknown1, unknown2, unavailable1, unavailable2, tail, addToPortfolio, rowTail1,
        rowTail2, rowTail3, rowTail4;

    PageText() {
        SetTop();
        SetRows();
        SetBottom();
    }

    // The page down to its table's header row.
    void SetTop() {
        auto b = [](std::string_view utf8) { return ui::Utf8ToBig5(utf8); };
        head1 = b("<html>\r\n<head>\r\n"
                  "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=big5\">\r\n"
                  "<title>");
        head2 = b(" - 個股報價 - 台股行情</title>\r\n"
                  "<style type=\"text/css\">\r\n"
                  "body { font-family: sans-serif; font-size: 13px; background: #ffffff; }\r\n"
                  "th { background: #fff0c1; font-weight: normal; }\r\n"
                  ".tt { font-size: 12px; }\r\n"
                  "</style>\r\n"
                  "</head>\r\n"
                  "<body>\r\n"
                  "<table width=\"750\" border=\"0\" cellspacing=\"0\" cellpadding=\"0\">\r\n"
                  "<tr><td><b>台股行情</b> | <a href=\"/\">首頁</a> | <a href=\"/q/i\">大盤</a> | "
                  "<a href=\"/q/r\">排行</a> | <a href=\"/q/s\">類股</a></td></tr>\r\n"
                  "</table>\r\n"
                  "<form action=\"/q/q\" method=\"get\">\r\n"
                  "股票代號 <input type=\"text\" name=\"s\" size=\"8\"> <input type=\"submit\" value=\"查詢\">\r\n"
                  "</form>\r\n");
        tableTop = b("<table border=\"0\" cellpadding=\"1\" cellspacing=\"1\" width=\"750\">\r\n"
                     "<tr bgcolor=\"#fff0c1\">\r\n"
                     "<th align=\"center\">股票<br>代號</th>\r\n"
                     "<th align=\"center\">時間</th>\r\n"
                     "<th align=\"center\">成交</th>\r\n"
                     "<th align=\"center\">買進</th>\r\n"
                     "<th align=\"center\">賣出</th>\r\n"
                     "<th align=\"center\">漲跌</th>\r\n"
                     "<th align=\"center\">張數</th>\r\n"
                     "<th align=\"center\">昨收</th>\r\n"
                     "<th align=\"center\">開盤</th>\r\n"
                     "<th align=\"center\">最高</th>\r\n"
                     "<th align=\"center\">最低</th>\r\n"
                     "<th align=\"center\">個股資料</th>\r\n"
                     "</tr>\r\n");
    }

    // The rows' texts: a quote's, an unknown code's and an unavailable one's.
    void SetRows() {
        auto b = [](std::string_view utf8) { return ui::Utf8ToBig5(utf8); };
        unknown1 = b("<tr>\r\n<td align=\"center\" colspan=\"12\">查無此股票代號：");
        unknown2 = b("，請確認後重新查詢。</td>\r\n</tr>\r\n");
        unavailable1 = b("<tr>\r\n<td align=\"center\" colspan=\"12\">暫時無法取得報價：");
        unavailable2 = b("，請稍後再試。</td>\r\n</tr>\r\n");
        addToPortfolio = b("加到投資組合");
        rowTail1 = b("<td align=\"center\" width=\"137\" class=\"tt\"><a href=\"/q/ts?s=");
        rowTail2 = b("\">成交明細</a><br><a href=\"/q/ta?s=");
        rowTail3 = b("\">技術</a> <a href=\"/q/h?s=");
        rowTail4 = b("\">新聞</a></td>\r\n</tr>\r\n");
        markUp = b("△");
        markDown = b("▽");
        markLimitUp = b("▲");
        markLimitDown = b("▼");
    }

    // The page below its table.
    void SetBottom() {
        auto b = [](std::string_view utf8) { return ui::Utf8ToBig5(utf8); };
        tail = b("</table>\r\n"
                 "<table width=\"750\" border=\"0\" cellspacing=\"0\" cellpadding=\"2\">\r\n"
                 "<tr><td class=\"tt\">\r\n"
                 "說明：成交量單位為張（一千股）。漲跌幅限制為前一營業日收盤價的百分之十，"
                 "▲ 與 ▼ 表示漲停與跌停。\r\n"
                 "</td></tr>\r\n"
                 "<tr><td class=\"tt\">\r\n"
                 "交易時間為週一至週五 09:00 至 13:30，報價僅供參考，投資人應自行判斷。\r\n"
                 "</td></tr>\r\n"
                 "<tr><td class=\"tt\" align=\"center\">\r\n"
                 "<a href=\"/\">首頁</a> | <a href=\"/q/help\">使用說明</a> | "
                 "<a href=\"/q/terms\">服務條款</a> | <a href=\"/q/privacy\">隱私權政策</a>\r\n"
                 "</td></tr>\r\n"
                 "</table>\r\n"
                 "</body>\r\n"
                 "</html>\r\n");
    }
    std::string markUp, markDown, markLimitUp, markLimitDown;
};

const PageText& Text() {
    static const PageText text;
    return text;
}

const char* const Cell = "<td align=\"center\" bgcolor=\"#FFFfff\" nowrap>";

void AddCell(std::string& page, const std::string& value) {
    page += Cell;
    page += value;
    page += "</td>\r\n";
}

std::string EscapeHtml(std::string_view s) {
    std::string out;
    for (char c : s) {
        switch (c) {
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '&':
            out += "&amp;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\r':
        case '\n':
        case '\0':
            out += ' ';
            break;
        default:
            out += c;
        }
    }
    return out;
}

void AddHead(std::string& page, std::string_view title) {
    const PageText& t = Text();
    page += t.head1;
    page += title;
    page += t.head2;
    page += t.tableTop;
}

}  // namespace

std::string FormatTimeOfDay(std::int64_t secondOfDay) {
    std::int64_t s = ((secondOfDay % 86400) + 86400) % 86400;
    char buf[9];
    int h = static_cast<int>(s / 3600), m = static_cast<int>(s / 60 % 60), sec = static_cast<int>(s % 60);
    buf[0] = static_cast<char>('0' + h / 10);
    buf[1] = static_cast<char>('0' + h % 10);
    buf[2] = ':';
    buf[3] = static_cast<char>('0' + m / 10);
    buf[4] = static_cast<char>('0' + m % 10);
    buf[5] = ':';
    buf[6] = static_cast<char>('0' + sec / 10);
    buf[7] = static_cast<char>('0' + sec % 10);
    buf[8] = 0;
    return buf;
}

std::string QuotePage(const Listing& stock, const Quote& q, int openSecondOfDay) {
    const PageText& t = Text();
    std::string page;
    page.reserve(4096);
    AddHead(page, stock.code + " " + stock.name);

    page += "<tr>\r\n<td align=\"center\" width=\"105\"><a href=\"/q/bc?s=";
    page += stock.code;
    page += "\">";
    page += stock.code;
    page += stock.name;
    page += "</a><br><a href=\"/pf/pfsel?stocklist=";
    page += stock.code;
    page += ";\"><font size=\"-1\">";
    page += t.addToPortfolio;
    page += "</font></a></td>\r\n";

    // A price the quote does not have (a live feed's empty order book) shows "-" as well.
    auto price = [&](Cents p) { return q.traded && p > 0 ? FormatPrice(p, stock.etf) : std::string("-"); };
    AddCell(page, q.traded ? FormatTimeOfDay(openSecondOfDay + q.tradeSecond) : std::string("-"));
    page += Cell;
    page += "<b>" + price(q.last) + "</b></td>\r\n";
    AddCell(page, price(q.bid));
    AddCell(page, price(q.ask));

    page += Cell;
    if (!q.traded || q.last <= 0) {  // no trade yet, or a live feed that has not told its price
        page += "<font color=\"#000000\">-</font></td>\r\n";
    } else {
        const char* colour = "#000000";
        const std::string* mark = nullptr;
        if (q.last > q.prevClose) {
            colour = "#ff0000";
            mark = q.last == q.limitUp ? &t.markLimitUp : &t.markUp;
        } else if (q.last < q.prevClose) {
            colour = "#009900";
            mark = q.last == q.limitDown ? &t.markLimitDown : &t.markDown;
        }
        page += "<font color=\"";
        page += colour;
        page += "\">";
        if (mark) page += *mark;
        page += FormatChange(q.last, q.prevClose, stock.etf);
        page += "</font></td>\r\n";
    }

    AddCell(page, FormatLots(q.volume));
    AddCell(page, FormatPrice(q.prevClose, stock.etf));
    AddCell(page, price(q.open));
    AddCell(page, price(q.high));
    AddCell(page, price(q.low));

    page += t.rowTail1 + stock.code + t.rowTail2 + stock.code + t.rowTail3 + stock.code + t.rowTail4;
    page += t.tail;
    return page;
}

std::string UnknownStockPage(std::string_view code) {
    const PageText& t = Text();
    std::string escaped = EscapeHtml(code);
    std::string page;
    AddHead(page, escaped);
    page += t.unknown1;
    page += escaped;
    page += t.unknown2;
    page += t.tail;
    return page;
}

std::string UnavailablePage(std::string_view code) {
    const PageText& t = Text();
    std::string escaped = EscapeHtml(code);
    std::string page;
    AddHead(page, escaped);
    page += t.unavailable1;
    page += escaped;
    page += t.unavailable2;
    page += t.tail;
    return page;
}

bool IsUnavailablePage(std::string_view page) {
    // The message row stands where a quote page has its quote row; a name cannot carry its markup.
    return page.find(Text().unavailable1) != std::string_view::npos;
}

std::string ErrorPage(int status) {
    std::string reason = status == 404   ? "Not Found"
                         : status == 400 ? "Bad Request"
                         : status == 405 ? "Method Not Allowed"
                         : status == 408 ? "Request Timeout"
                         : status == 503 ? "Service Unavailable"
                                         : "Error";
    std::string line = std::to_string(status) + " " + reason;
    return "<html>\r\n<head><title>" + line + "</title></head>\r\n<body>\r\n<h1>" + line +
           "</h1>\r\n</body>\r\n</html>\r\n";
}

}  // namespace server

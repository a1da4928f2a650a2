// Cells written as inline HTML: their formatted runs.
#include "grid/RichStringGrid.h"

namespace grid {

bool IsHtmlText(std::string_view text) {
    return text.find("</") != std::string_view::npos || text.find("<B") != std::string_view::npos ||
           text.find("<I") != std::string_view::npos;
}

namespace {

QString DecodeEntity(const QString& name) {
    if (name == u"amp") return QStringLiteral("&");
    if (name == u"lt") return QStringLiteral("<");
    if (name == u"gt") return QStringLiteral(">");
    if (name == u"quot") return QStringLiteral("\"");
    if (name == u"apos") return QStringLiteral("'");
    if (name == u"nbsp") return QString(QChar(0x00a0));
    if (name.startsWith(u'#')) {
        bool ok = false;
        uint code = name.size() > 1 && (name.at(1) == u'x' || name.at(1) == u'X') ? name.mid(2).toUInt(&ok, 16)
                                                                                  : name.mid(1).toUInt(&ok, 10);
        if (ok && code > 0 && code <= 0x10ffff) {
            char32_t c = code;
            return QString::fromUcs4(&c, 1);
        }
    }
    return {};
}

// The value of attribute "color" in the inside of a tag, quoted or not.
QColor FontColorOf(const QString& tag) {
    int at = tag.indexOf(QStringLiteral("color"), 0, Qt::CaseInsensitive);
    if (at < 0) return {};
    int i = at + 5;
    while (i < tag.size() && tag.at(i).isSpace()) ++i;
    if (i >= tag.size() || tag.at(i) != u'=') return {};
    ++i;
    while (i < tag.size() && tag.at(i).isSpace()) ++i;
    QString value;
    if (i < tag.size() && (tag.at(i) == u'"' || tag.at(i) == u'\'')) {
        QChar quote = tag.at(i++);
        int end = tag.indexOf(quote, i);
        value = tag.mid(i, end < 0 ? -1 : end - i);
    } else {
        int end = i;
        while (end < tag.size() && !tag.at(end).isSpace() && tag.at(end) != u'/') ++end;
        value = tag.mid(i, end - i);
    }
    QColor c = QColor::fromString(value.trimmed());
    return c.isValid() ? c : QColor();
}

}  // namespace

std::vector<THtmlRun> ParseHtmlRuns(const QString& html, bool bold, bool italic) {
    struct TOpen {
        QString Name;
        THtmlRun Style;
    };
    std::vector<THtmlRun> runs;
    THtmlRun style;
    style.Bold = bold;
    style.Italic = italic;
    std::vector<TOpen> open;
    QString text;
    auto flush = [&] {
        if (text.isEmpty()) return;
        THtmlRun run = style;
        run.Text = text;
        text.clear();
        if (!runs.empty() && runs.back().Bold == run.Bold && runs.back().Italic == run.Italic &&
            runs.back().Underline == run.Underline && runs.back().Color == run.Color)
            runs.back().Text += run.Text;
        else
            runs.push_back(std::move(run));
    };
    const int n = html.size();
    for (int i = 0; i < n;) {
        QChar ch = html.at(i);
        if (ch == u'<') {
            int end = html.indexOf(u'>', i + 1);
            if (end < 0) {  // an unfinished tag is hidden to the end of the text
                break;
            }
            QString inside = html.mid(i + 1, end - i - 1).trimmed();
            i = end + 1;
            bool closing = inside.startsWith(u'/');
            if (closing) inside = inside.mid(1).trimmed();
            int nameEnd = 0;
            while (nameEnd < inside.size() && (inside.at(nameEnd).isLetterOrNumber())) ++nameEnd;
            QString name = inside.left(nameEnd).toLower();
            if (name == u"strong") name = QStringLiteral("b");
            if (name == u"em") name = QStringLiteral("i");
            if (name != u"b" && name != u"i" && name != u"u" && name != u"font") continue;
            flush();
            if (closing) {
                for (auto it = open.rbegin(); it != open.rend(); ++it) {
                    if (it->Name == name) {
                        style = it->Style;
                        open.erase(std::next(it).base(), open.end());
                        break;
                    }
                }
                continue;
            }
            if (inside.endsWith(u'/')) continue;  // <b/> formats nothing
            open.push_back({name, style});
            if (name == u"b") style.Bold = true;
            if (name == u"i") style.Italic = true;
            if (name == u"u") style.Underline = true;
            if (name == u"font") {
                QColor c = FontColorOf(inside);
                if (c.isValid()) style.Color = c;
            }
            continue;
        }
        if (ch == u'&') {
            int end = html.indexOf(u';', i + 1);
            if (end > i + 1 && end - i <= 10) {
                QString decoded = DecodeEntity(html.mid(i + 1, end - i - 1));
                if (!decoded.isEmpty()) {
                    text += decoded;
                    i = end + 1;
                    continue;
                }
            }
        }
        if (ch == u'\r' || ch == u'\n' || ch == u'\t') ch = u' ';
        text += ch;
        ++i;
    }
    flush();
    return runs;
}

}  // namespace grid

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

namespace {

// The formatting state of a text being read: the runs so far, the style in force and the tags
// that set it.
class THtmlReader {
public:
    THtmlReader(bool bold, bool italic) {
        FStyle.Bold = bold;
        FStyle.Italic = italic;
    }

    void Add(QChar ch) { FText += ch; }
    void Add(const QString& text) { FText += text; }

    // A tag's inside (between "<" and ">"): formatting tags change the style, others nothing.
    void Tag(QString inside) {
        bool closing = inside.startsWith(u'/');
        if (closing) inside = inside.mid(1).trimmed();
        int nameEnd = 0;
        while (nameEnd < inside.size() && (inside.at(nameEnd).isLetterOrNumber())) ++nameEnd;
        QString name = inside.left(nameEnd).toLower();
        if (name == u"strong") name = QStringLiteral("b");
        if (name == u"em") name = QStringLiteral("i");
        if (name != u"b" && name != u"i" && name != u"u" && name != u"font") return;
        Flush();
        if (closing) {
            for (auto it = FOpen.rbegin(); it != FOpen.rend(); ++it) {
                if (it->Name == name) {
                    FStyle = it->Style;
                    FOpen.erase(std::next(it).base(), FOpen.end());
                    break;
                }
            }
            return;
        }
        if (inside.endsWith(u'/')) return;  // <b/> formats nothing
        FOpen.push_back({name, FStyle});
        if (name == u"b") FStyle.Bold = true;
        if (name == u"i") FStyle.Italic = true;
        if (name == u"u") FStyle.Underline = true;
        if (name == u"font") {
            QColor c = FontColorOf(inside);
            if (c.isValid()) FStyle.Color = c;
        }
    }

    std::vector<THtmlRun> Finish() {
        Flush();
        return std::move(FRuns);
    }

private:
    struct TOpen {
        QString Name;
        THtmlRun Style;
    };

    // The text read since the last change of style becomes a run (or joins the last one).
    void Flush() {
        if (FText.isEmpty()) return;
        THtmlRun run = FStyle;
        run.Text = FText;
        FText.clear();
        if (!FRuns.empty() && FRuns.back().Bold == run.Bold && FRuns.back().Italic == run.Italic &&
            FRuns.back().Underline == run.Underline && FRuns.back().Color == run.Color)
            FRuns.back().Text += run.Text;
        else
            FRuns.push_back(std::move(run));
    }

    std::vector<THtmlRun> FRuns;
    THtmlRun FStyle;
    std::vector<TOpen> FOpen;
    QString FText;
};

}  // namespace

std::vector<THtmlRun> ParseHtmlRuns(const QString& html, bool bold, bool italic) {
    THtmlReader reader(bold, italic);
    const int n = html.size();
    for (int i = 0; i < n;) {
        QChar ch = html.at(i);
        if (ch == u'<') {
            int end = html.indexOf(u'>', i + 1);
            if (end < 0) break;  // an unfinished tag is hidden to the end of the text
            reader.Tag(html.mid(i + 1, end - i - 1).trimmed());
            i = end + 1;
            continue;
        }
        if (ch == u'&') {
            int end = html.indexOf(u';', i + 1);
            if (end > i + 1 && end - i <= 10) {
                QString decoded = DecodeEntity(html.mid(i + 1, end - i - 1));
                if (!decoded.isEmpty()) {
                    reader.Add(decoded);
                    i = end + 1;
                    continue;
                }
            }
        }
        if (ch == u'\r' || ch == u'\n' || ch == u'\t') ch = u' ';
        reader.Add(ch);
        ++i;
    }
    return reader.Finish();
}

}  // namespace grid

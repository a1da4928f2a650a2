#pragma once
// Text as the model and the network layer hold it: std::string of Big5 bytes. Lengths,
// positions and searches count bytes; positions given to and returned by the Delphi-style
// helpers are 1-based, 0 meaning "not found". Decoding to QString happens only where text is
// drawn or edited.
#include <QString>
#include <QStringList>
#include <string>
#include <string_view>
#include <vector>

namespace ui {

// Big5 bytes to Unicode for drawing, and back for editing. Bytes that are not valid Big5
// become U+FFFD; characters that Big5 cannot hold become "?".
QString Big5ToQString(std::string_view big5);
std::string QStringToBig5(const QString& text);
// Many lines at once, each decoded as Big5ToQString decodes it, with one converter for all.
QStringList Big5ToQStrings(const std::vector<std::string>& lines);

// Big5 bytes to UTF-8, for console output.
std::string Big5ToUtf8(std::string_view big5);
// UTF-8 to Big5 bytes, for texts written in the sources.
std::string Utf8ToBig5(std::string_view utf8);

// Removes every byte from 0x00 to 0x20 at both ends. The full-width space (A1 40) stays.
std::string Trim(std::string_view s);

// 1-based byte position of the first occurrence of sub in s; 0 when absent or sub is empty.
std::size_t Pos(std::string_view sub, std::string_view s);

// count bytes of s from the 1-based position index (Delphi's Copy): an index below 1 counts
// from 1; whatever lies past the end is left out.
std::string Copy(std::string_view s, long long index, long long count);

// ASCII case folding; bytes of 0x80 and up are left as they are.
std::string UpperCase(std::string_view s);
std::string LowerCase(std::string_view s);
bool SameText(std::string_view a, std::string_view b);

// Byte-wise comparison: negative, 0 or positive, a proper prefix sorting first.
int CompareStr(std::string_view a, std::string_view b);

// A whole number in decimal digits alone (no sign, no spaces) of at most max: true with it in
// value; false, value untouched, for an empty text, any other character or a larger number.
bool ParseWhole(std::string_view s, unsigned long long max, unsigned long long& value);

}  // namespace ui

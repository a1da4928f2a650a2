#pragma once
// URL encoding. TKesURL encodes form data (a space becomes "+"); the quote pages' URLs use
// PercentEncode directly, where a space becomes "%20".
#include <QObject>
#include <functional>
#include <string>
#include <string_view>

// Percent-encoding, the one encoder of the program: ASCII letters and digits stay, every other
// byte becomes "%" and two uppercase hexadecimal digits; a space becomes "+" when spaceAsPlus is
// set (form data), else "%20" (a query value in a URL).
std::string PercentEncode(std::string_view text, bool spaceAsPlus);

// Sender, operation, message.
using TOnErrorEvent = std::function<void(QObject* sender, const std::string& operation, const std::string& message)>;

class TKesURL : public QObject {
public:
    explicit TKesURL(QObject* owner = nullptr);

    std::string InputString;
    TOnErrorEvent OnError;

    // The encoded text. On an error OnError is fired and the text comes back unchanged.
    std::string EncodeText(const std::string& text);
    std::string Encode() { return EncodeText(InputString); }
};

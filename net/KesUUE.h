#pragma once
// Encodes a stream of bytes into lines of 6-bit characters, with the Base64 alphabet (uuMime)
// or the UU alphabet (uuCode). Lines carry up to 45 input bytes and end with CR LF.
#include "ui/core/Events.h"

#include <QObject>
#include <functional>
#include <iosfwd>
#include <string>

enum UUMethods { uuMime = 0, uuCode = 1 };

class TKesUUProcessor : public QObject {
public:
    explicit TKesUUProcessor(QObject* owner = nullptr);

    TNotifyEvent OnBeginEncode, OnEndEncode;
    // Published for symmetry; there is no decoder, so they never fire.
    TNotifyEvent OnBeginDecode, OnEndDecode;
    UUMethods Method = uuMime;

    // Streams set and owned by the caller; both must be set before Encode.
    std::iostream* InputStream = nullptr;
    std::iostream* OutputStream = nullptr;

    void SetAlphabet();
    // Encodes all of InputStream into OutputStream. Stream errors pass on to the caller, after
    // OutputStream has been rewound and OnEndEncode fired.
    void Encode();

    const std::string& Alphabet() const { return FAlphabet; }

private:
    void EncodeLines();
    std::string FAlphabet;
};

// Convenience for in-memory use: the encoding of the bytes, lines ended by CR LF.
std::string UUEncodeString(const std::string& bytes, UUMethods method);

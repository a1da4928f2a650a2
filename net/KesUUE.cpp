#include "net/KesUUE.h"

#include "ui/core/Exception.h"

#include <istream>
#include <ostream>
#include <sstream>

namespace {
// UU alphabet first (grave accent, then "!" to "_"), then Base64.
const char Alphabets[] = "`!\"#$%&'()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_"
                         "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
static_assert(sizeof(Alphabets) == 129, "two alphabets of 64 characters");
}  // namespace

TKesUUProcessor::TKesUUProcessor(QObject* owner) : QObject(owner) { SetAlphabet(); }

void TKesUUProcessor::SetAlphabet() { FAlphabet.assign(Alphabets + (Method == uuCode ? 0 : 64), 64); }

void TKesUUProcessor::Encode() {
    if (!InputStream || !OutputStream) throw Exception("Encode needs an input and an output stream");
    InputStream->clear();
    InputStream->seekg(0);
    if (OnBeginEncode) OnBeginEncode(this);
    // The output is rewound and OnEndEncode fired on every way out. Both run here rather than in
    // a destructor, so that an exception from the handler reaches the caller.
    auto finish = [this] {
        OutputStream->clear();
        OutputStream->seekg(0);
        OutputStream->seekp(0);
        if (OnEndEncode) OnEndEncode(this);
    };
    try {
        EncodeLines();
    } catch (...) {
        finish();
        throw;
    }
    finish();
}

void TKesUUProcessor::EncodeLines() {
    SetAlphabet();
    const std::string& a = FAlphabet;
    unsigned char chunk[45];
    for (;;) {
        InputStream->read(reinterpret_cast<char*>(chunk), sizeof chunk);
        std::size_t n = static_cast<std::size_t>(InputStream->gcount());
        if (n == 0) {
            if (InputStream->bad()) throw Exception("Stream read error");
            break;
        }
        std::string line;
        if (Method == uuCode) line += a[n % 64];
        std::size_t i = 0;
        for (; i + 3 <= n; i += 3) {
            unsigned b0 = chunk[i], b1 = chunk[i + 1], b2 = chunk[i + 2];
            line += a[b0 >> 2];
            line += a[((b0 << 4) & 63) | (b1 >> 4)];
            line += a[((b1 << 2) & 63) | (b2 >> 6)];
            line += a[b2 & 63];
        }
        if (n - i == 1) {
            unsigned b0 = chunk[i];
            line += a[b0 >> 2];
            line += a[(b0 << 4) & 48];
            if (Method == uuMime) line += "==";
        } else if (n - i == 2) {
            unsigned b0 = chunk[i], b1 = chunk[i + 1];
            line += a[b0 >> 2];
            line += a[((b0 << 4) & 63) | (b1 >> 4)];
            line += a[(b1 << 2) & 60];
            if (Method == uuMime) line += "=";
        }
        line += "\r\n";
        OutputStream->write(line.data(), static_cast<std::streamsize>(line.size()));
        if (!*OutputStream) throw Exception("Stream write error");
        if (n < sizeof chunk) break;
    }
    if (Method == uuCode) {
        OutputStream->write("`\r\n", 3);
        if (!*OutputStream) throw Exception("Stream write error");
    }
}

std::string UUEncodeString(const std::string& bytes, UUMethods method) {
    std::stringstream in(bytes), out;
    TKesUUProcessor encoder;
    encoder.Method = method;
    encoder.InputStream = &in;
    encoder.OutputStream = &out;
    encoder.Encode();
    return out.str();
}

#pragma once
// What the programs that watch quotes check and report around the refresh cycle: the quote
// server's address, once at start, and each stock's fetch error, once each time it changes.
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

class TStockObjList;

// Empty when address is a quote server the socket layer can reach: a host name or a dotted IPv4
// address, optionally followed by ":" and a port from 1 to 65535 (none means 80), whose name is
// not known to be missing. Otherwise a message that says what is wrong with it.
std::string QuoteServerProblem(const std::string& address);

// Writes "<program>: hh:nn:ss row N CODE: error" for every stock whose fetch error changed since
// the last call (a cleared error prints nothing), in UTF-8.
class TFetchErrorReport {
public:
    explicit TFetchErrorReport(std::string program, std::FILE* out = stderr)
        : FProgram(std::move(program)), FOut(out) {}
    void Report(TStockObjList& list);

private:
    std::string FProgram;
    std::FILE* FOut;
    std::vector<std::string> FReported;
};

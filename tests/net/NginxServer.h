#pragma once
// A real web server for the HTTP tests: nginx, started on two free loopback ports with a
// generated configuration and temporary document roots, and stopped with the object.
#include "support/TempDir.h"

#include <string>
#include <sys/types.h>

namespace nettest {

class NginxServer {
public:
    // Extra server-level directives for the first port, in which "@SECOND_PORT@" stands for
    // the second port's number; the second port serves www2/.
    explicit NginxServer(const std::string& firstServerDirectives);
    ~NginxServer();
    NginxServer(const NginxServer&) = delete;
    NginxServer& operator=(const NginxServer&) = delete;

    int Port() const { return FPort; }
    int SecondPort() const { return FSecondPort; }
    // Document roots of the two servers.
    std::string Root() const { return FDir.file("www"); }
    std::string SecondRoot() const { return FDir.file("www2"); }
    std::string ErrorLog() const;
    void Stop();

private:
    testsupport::TempDir FDir;
    int FPort = 0;
    int FSecondPort = 0;
    pid_t FPid = -1;
};

// The nginx program, or empty when it is not installed.
std::string NginxProgram();

// A port on 127.0.0.1 that was free a moment ago.
int FreePort();

}  // namespace nettest

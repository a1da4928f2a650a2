#include "NginxServer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace nettest {
namespace {

bool Accepts(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    ::close(fd);
    return ok;
}

}  // namespace

std::string NginxProgram() {
    for (const char* candidate : {"/usr/sbin/nginx", "/usr/local/sbin/nginx", "/usr/bin/nginx"})
        if (::access(candidate, X_OK) == 0) return candidate;
    return {};
}

int FreePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    socklen_t len = sizeof sa;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    ::close(fd);
    return ntohs(sa.sin_port);
}

NginxServer::NginxServer(const std::string& firstServerDirectives) {
    const std::string program = NginxProgram();
    if (program.empty()) throw std::runtime_error("nginx is not installed");
    namespace fs = std::filesystem;
    fs::create_directories(FDir.file("www"));
    fs::create_directories(FDir.file("www2"));
    fs::create_directories(FDir.file("temp"));
    // The server runs as this user in one process; let it read the roots whoever we are.
    fs::permissions(FDir.path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                     fs::perms::others_read | fs::perms::others_exec);
    FPort = FreePort();
    FSecondPort = FreePort();
    while (FSecondPort == FPort) FSecondPort = FreePort();

    std::string directives = firstServerDirectives;
    const std::string mark = "@SECOND_PORT@";
    for (std::size_t at; (at = directives.find(mark)) != std::string::npos;)
        directives.replace(at, mark.size(), std::to_string(FSecondPort));
    const std::string d = FDir.path();
    std::ofstream conf(FDir.file("nginx.conf"));
    conf << "daemon off;\nmaster_process off;\nworker_processes 1;\n"
         << "pid " << d << "/nginx.pid;\nerror_log " << d << "/error.log warn;\n"
         << "events { worker_connections 64; }\n"
         << "http {\n  access_log off;\n"
         << "  client_body_temp_path " << d << "/temp/body;\n  proxy_temp_path " << d << "/temp/proxy;\n"
         << "  fastcgi_temp_path " << d << "/temp/fastcgi;\n  uwsgi_temp_path " << d << "/temp/uwsgi;\n"
         << "  scgi_temp_path " << d << "/temp/scgi;\n"
         << "  types { text/html htm html; text/plain txt; }\n  default_type application/octet-stream;\n"
         << "  absolute_redirect off;\n  server_tokens off;\n"
         << "  server {\n    listen 127.0.0.1:" << FPort << ";\n    root " << d << "/www;\n"
         << directives << "\n  }\n"
         << "  server {\n    listen 127.0.0.1:" << FSecondPort << ";\n    root " << d << "/www2;\n  }\n"
         << "}\n";
    conf.close();

    const std::string prefix = d + "/", confPath = FDir.file("nginx.conf"), errorLog = ErrorLog();
    pid_t parent = ::getpid();
    FPid = ::fork();
    if (FPid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);  // never outlive the test
        if (::getppid() != parent) ::_exit(127);
        ::execl(program.c_str(), program.c_str(), "-p", prefix.c_str(), "-c", confPath.c_str(), "-e", errorLog.c_str(),
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    if (FPid < 0) throw std::runtime_error("fork failed");
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!(Accepts(FPort) && Accepts(FSecondPort))) {
        int status = 0;
        if (::waitpid(FPid, &status, WNOHANG) == FPid) {
            FPid = -1;
            std::ifstream log(ErrorLog());
            std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
            throw std::runtime_error("nginx did not start: " + text);
        }
        if (std::chrono::steady_clock::now() > until) {
            Stop();
            throw std::runtime_error("nginx did not answer");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

NginxServer::~NginxServer() { Stop(); }

std::string NginxServer::ErrorLog() const { return FDir.file("error.log"); }

void NginxServer::Stop() {
    if (FPid <= 0) return;
    ::kill(FPid, SIGTERM);
    int status = 0;
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (::waitpid(FPid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > until) {
            ::kill(FPid, SIGKILL);
            ::waitpid(FPid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    FPid = -1;
}

}  // namespace nettest

// The quote server's address as QUOTE_SERVER gives it: what the socket layer can reach passes,
// everything else is refused with a message naming the fault (the port would otherwise be cut to
// 16 bits, an empty host or port would fail once per stock and cycle).
#include "quote/StartupChecks.h"

#include <gtest/gtest.h>

TEST(QuoteServerAddress, AcceptsHostsAndIPv4WithAnOptionalPortAndRefusesTheRest) {
    for (const char* good : {"127.0.0.1:8086", "127.0.0.1", "localhost:1", "localhost:65535", "10.0.0.255:80"})
        EXPECT_EQ(QuoteServerProblem(good), "") << good;

    struct Case {
        const char* address;
        const char* says;
    };
    for (const Case& c : std::initializer_list<Case>{
             {"", "empty"},
             {":", "port"},
             {"localhost:", "port"},
             {":8086", "host is missing"},
             {"host:99999", "1 to 65535"},
             {"127.0.0.1:108833", "1 to 65535"},
             {"127.0.0.1:0", "1 to 65535"},
             {"127.0.0.1:80a", "port"},
             {"127.0.0.1:8086:1", "port"},
             {"[::1]:8086", "IPv6"},
             {"::1", "port"},
             {"1.2.3:80", "neither"},
             {"256.1.1.1", "neither"},
             {"01.2.3.4", "neither"},
             {"bad_host:80", "neither"},
             {"-lead.example:80", "neither"},
             {"a..b:80", "neither"},
             {"http://localhost:8086", "port"},
             {"localhost/q:80", "neither"},
         }) {
        std::string problem = QuoteServerProblem(c.address);
        EXPECT_NE(problem.find(c.says), std::string::npos) << c.address << " -> " << problem;
        if (*c.address) {
            EXPECT_NE(problem.find(std::string("\"") + c.address + "\""), std::string::npos) << problem;
        }
    }
}

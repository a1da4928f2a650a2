// The programs' command-line faces: --help and --version answer and end, an unknown argument is
// refused with a usage line and status 2, a malformed QUOTE_SERVER is refused once at start, and
// the board without a display says so in one line instead of aborting.
#include "Harness.h"
#include "support/TempDir.h"

#include <algorithm>
#include <gtest/gtest.h>

namespace {

struct Ran {
    int status;
    std::string output;  // standard output and error
};

Ran RunIt(const std::vector<std::string>& argv, const std::vector<std::string>& env, const std::string& dir = {}) {
    e2e::Child child;
    if (!child.Start(argv, dir, env, true)) return {-1, "could not start " + argv[0]};
    int status = child.Wait(20000);
    if (status == -1) status = child.Stop();
    return {status, child.Output()};
}

const std::vector<std::string> Programs = {"board/quoteboard", "server/quote-server", "quote/quotewatch"};

}  // namespace

TEST(CommandLine, EveryProgramAnswersHelpAndVersionAndRefusesAnUnknownArgument) {
    for (const std::string& program : Programs) {
        const std::string path = e2e::ProgramPath(program);
        const std::string name = program.substr(program.find('/') + 1);
        // No display: none of these may need one.
        Ran help = RunIt({path, "--help"}, e2e::BaseEnvironment());
        EXPECT_EQ(help.status, 0) << program << help.output;
        EXPECT_NE(help.output.find("sage: " + name), std::string::npos) << help.output;
        EXPECT_NE(help.output.find("--version"), std::string::npos) << help.output;

        Ran version = RunIt({path, "--version"}, e2e::BaseEnvironment());
        EXPECT_EQ(version.status, 0) << program;
        EXPECT_EQ(version.output, name + " 1.0.0\n");

        Ran bogus = RunIt({path, "--bogus"}, e2e::BaseEnvironment());
        EXPECT_EQ(bogus.status, 2) << program << bogus.output;
        EXPECT_NE(bogus.output.find("unknown argument --bogus"), std::string::npos) << bogus.output;
        EXPECT_NE(bogus.output.find("sage: " + name), std::string::npos) << bogus.output;
    }
}

TEST(CommandLine, AMalformedQuoteServerIsRefusedOnceAtStartAndTheListIsLeftAlone) {
    testsupport::TempDir dir;
    const std::string list = "2330\r\n2317\r\n";
    testsupport::WriteFileBytes(dir.file("STOCKLIST.TXT"), list);
    for (const char* address : {"host:99999", ":", "[::1]:8086", "127.0.0.1:108833"}) {
        // The board would end with 1 for want of a display, quotewatch after its one cycle with 0.
        for (const std::vector<std::string>& argv :
             {std::vector<std::string>{e2e::ProgramPath("board/quoteboard")},
              std::vector<std::string>{e2e::ProgramPath("quote/quotewatch"), "--cycles", "1"}}) {
            const std::string& program = argv[0];
            Ran ran = RunIt(argv, e2e::BaseEnvironment({std::string("QUOTE_SERVER=") + address}), dir.path());
            EXPECT_EQ(ran.status, 2) << program << " " << address << ": " << ran.output;
            EXPECT_NE(ran.output.find(std::string("QUOTE_SERVER \"") + address + "\""), std::string::npos)
                << ran.output;
            EXPECT_EQ(std::count(ran.output.begin(), ran.output.end(), '\n'), 1) << ran.output;
        }
    }
    EXPECT_EQ(testsupport::ReadFileBytes(dir.file("STOCKLIST.TXT")), list);
}

TEST(CommandLine, TheBoardWithoutADisplaySaysSoInOneLineAndEndsWithStatusOne) {
    testsupport::TempDir dir;
    Ran none = RunIt({e2e::ProgramPath("board/quoteboard")}, e2e::BaseEnvironment(), dir.path());
    EXPECT_EQ(none.status, 1) << none.output;
    EXPECT_EQ(none.output, "quoteboard: no display to show the board on (DISPLAY is not set)\n");

    // A display that names no running X server.
    Ran gone = RunIt({e2e::ProgramPath("board/quoteboard")}, e2e::BaseEnvironment({"DISPLAY=:987"}), dir.path());
    EXPECT_EQ(gone.status, 1) << gone.output;
    EXPECT_EQ(gone.output, "quoteboard: cannot open the display :987\n");
}

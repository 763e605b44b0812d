// The command line as a user meets it: the usage on standard output, written whole
// at exit, and why the emulator will not start on standard error.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace
{

// What the emulator writes with `arguments` (a redirection among them picks the stream).
std::string RunEmulator(const std::string& arguments, int& status)
{
    FILE* pipe = popen(("'" S2T_EMULATOR "' " + arguments).c_str(), "r");
    std::string output;
    char chunk[4096];
    for (size_t n = 0; pipe && (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;)
        output.append(chunk, n);
    status = pipe ? WEXITSTATUS(pclose(pipe)) : -1;
    return output;
}

} // namespace

TEST(CommandLine, UsageGoesToStandardOutputAndComplaintsToStandardError)
{
    int status = -1;
    const std::string usage = RunEmulator("--help 2>/dev/null", status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(usage.rfind("Usage: ", 0), 0u) << usage;
    EXPECT_NE(usage.find("then one line per request.\n"), std::string::npos) << usage;
    EXPECT_EQ(RunEmulator("--port http 2>&1 >/dev/null", status),
              "s2t-cloud-emulator: --port wants a number from 0 to 65535, not \"http\"\n");
    EXPECT_EQ(status, 2);
}

// The service role's command line.
#include "service/CommandLine.h"
#include "service/DesktopPlatform.h"

#include <gtest/gtest.h>

using namespace tovo;

TEST(CommandLine, ServiceArguments) {
    auto parsed = parseServiceArguments({"--socket", "/a/b/c.sock", "--exit-on-stdin-eof", "--remote"});
    EXPECT_FALSE(parsed.unknownArgument);
    EXPECT_EQ(parsed.options.socketPath, "/a/b/c.sock");
    EXPECT_TRUE(parsed.options.exitOnStdinEOF);
    EXPECT_EQ(parsed.options.remoteHome(), "/a/b");

    // --socket takes the next argument whatever it is.
    parsed = parseServiceArguments({"--socket", "--remote"});
    EXPECT_EQ(parsed.options.socketPath, "--remote");
    EXPECT_FALSE(parsed.options.remote);
    EXPECT_EQ(parsed.options.remoteHome(), std::nullopt);

    // The last --socket wins, and a trailing one leaves the path absent.
    EXPECT_EQ(parseServiceArguments({"--socket", "/a", "--socket", "/b"}).options.socketPath, "/b");
    EXPECT_EQ(parseServiceArguments({"--socket", "/a", "--socket"}).options.socketPath, std::nullopt);

    // The first unknown argument is reported, even after a valid prefix.
    EXPECT_EQ(parseServiceArguments({"--remote", "-v", "--bogus"}).unknownArgument, "-v");

    // --backend names the desktop platform; this build knows x11 only, and says so.
    EXPECT_EQ(parseServiceArguments({"--backend", "x11"}).options.backend, "x11");
    EXPECT_EQ(parseServiceArguments({"--backend"}).unknownArgument, "--backend");
    EXPECT_EQ(chooseDesktopPlatform(std::nullopt).name, "x11");
    EXPECT_EQ(chooseDesktopPlatform("x11").name, "x11");
    auto unknown = chooseDesktopPlatform("mir");
    EXPECT_FALSE(unknown.name);
    EXPECT_EQ(unknown.error, "unknown backend mir (this build has x11)");

    EXPECT_EQ(parseServiceArguments({"--remote", "--socket", "/c.sock"}).options.remoteHome(), "/");
    EXPECT_EQ(parseServiceArguments({"--remote", "--socket", "c.sock"}).options.remoteHome(), ".");
}
